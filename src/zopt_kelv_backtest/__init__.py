"""Quote and position core of a back-tester for the Taiwan stock and futures markets.

Importing the package warns once (:class:`LocalTimeWarning`) when the process's local time is not
Taipei's: the core reads tick times as local time. It also keeps matplotlib's "findfont" lines, which the
QuantStats report causes on machines without its fonts, out of the log.
"""

from __future__ import annotations

import logging
import sys
import time
import warnings

from zopt_kelv_backtest.market import TAIPEI_OFFSET as TAIPEI_OFFSET

__version__ = "0.2.0"

# Programs of the package that pin the zone themselves before reading any tick.
_SELF_PINNING = ("zopt_kelv_backtest.example", "zopt_kelv_backtest.sweep", "zopt_kelv_backtest.data",
                 "zopt-backtest-example")


class LocalTimeWarning(UserWarning):
    """The process's local time is not Taipei's, so the core would read tick times in the wrong zone."""


def local_time_is_taipei() -> bool:
    """Whether local time is UTC+8 now and on a date of the holiday calendar's range."""
    return all(time.localtime(t).tm_gmtoff == TAIPEI_OFFSET for t in (1704067200, time.time()))


def _started_as_own_program() -> bool:
    argv = getattr(sys, "orig_argv", sys.argv)
    return any(arg in _SELF_PINNING or arg.endswith(("/zopt-backtest-example", "\\zopt-backtest-example.exe"))
               for arg in argv[:4])


class _NoFindfont(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("findfont:")


logging.getLogger("matplotlib.font_manager").addFilter(_NoFindfont())

if not local_time_is_taipei() and not _started_as_own_program():
    warnings.warn(
        "local time is not Asia/Taipei's, and the core reads tick times as local time: set TZ=Asia/Taipei "
        "in the environment, or call zopt_kelv_backtest.backtest.pin_local_time() before adding ticks "
        "(run_backtest does it for you)",
        LocalTimeWarning,
        stacklevel=2,
    )
