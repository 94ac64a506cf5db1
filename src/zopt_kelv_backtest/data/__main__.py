"""``python -m zopt_kelv_backtest.data``."""

import sys

from zopt_kelv_backtest.data.cli import main

sys.exit(main())
