"""Plain-Python rendering of QuoteManager's tick store, for the benchmarks.

The rendering is the tests' reference model (tests/tick_model.py); this module gives it the state the
native constructor reads from the package's calendar file.
"""

import os
import sys
from datetime import datetime

import polars as pl

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
STATIC_DIR = os.path.join(ROOT, "src", "zopt_kelv_backtest", "static")
sys.path.insert(0, os.path.join(ROOT, "tests"))

from tick_model import RefQuoteManager  # noqa: E402


class QuoteManager(RefQuoteManager):
    def __init__(self, static_dir=STATIC_DIR):
        holiday_search_df = pl.read_csv(os.path.join(static_dir, "holidays_search_from_2017.csv"), has_header=True)
        t = lambda text: datetime.strptime(text, "%H:%M:%S").time()  # noqa: E731
        super().__init__(set(holiday_search_df["Date"]), {
            "Stock": [[t("13:30:00"), t("23:59:59")], [t("00:00:00"), t("08:59:59")]],
            "Future": [[t("13:45:00"), t("14:59:59")], [t("05:00:00"), t("08:44:59")]],
        })
