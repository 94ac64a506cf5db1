"""``python -m zopt_kelv_backtest.sweep``: see :func:`zopt_kelv_backtest.sweep.main`."""

import sys

from zopt_kelv_backtest.sweep.cli import main

if __name__ == "__main__":
    sys.exit(main())
