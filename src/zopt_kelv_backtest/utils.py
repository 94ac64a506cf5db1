"""File-system helpers, and the package console under the import path the native core reads.

The console lives in :mod:`zopt_kelv_backtest.console`; its public names are re-exported here, and the
native core imports ``console`` from this module at import time (``from zopt_kelv_backtest.utils import
console``), then looks it up in its own module globals at every call.
"""

from __future__ import annotations

import os

from zopt_kelv_backtest.console import BATCH_LINES as BATCH_LINES
from zopt_kelv_backtest.console import BATCH_SECONDS as BATCH_SECONDS
from zopt_kelv_backtest.console import CORE_TAGS as CORE_TAGS
from zopt_kelv_backtest.console import QUIET_ENV as QUIET_ENV
from zopt_kelv_backtest.console import LineConsole as LineConsole
from zopt_kelv_backtest.console import console as console

__all__ = ["LineConsole", "console", "make_dir", "QUIET_ENV"]


def make_dir(path: str) -> None:
    """Create ``path`` and any missing parents; an existing folder is fine."""
    os.makedirs(path, exist_ok=True)
