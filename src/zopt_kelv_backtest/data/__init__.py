"""Market data in: the futures exchange's daily tick files and a Parquet tick store that runs read fast.

- :func:`import_daily_files` (``python -m zopt_kelv_backtest.data import-taifex``) imports the exchange's
  ``Daily_YYYY_MM_DD.zip`` files: one Parquet file per product and trading day, and a continuous
  near-month series per product.
- :func:`write_store` (``import-ticks``) adds ticks of any other source, stocks for instance.
- :func:`read_store` reads the codes and days asked for as a
  :class:`~zopt_kelv_backtest.backtest.TickStream`, in time order, a trading day at a time.

The layout is described in :mod:`zopt_kelv_backtest.data.store`, the roll rules in
:mod:`zopt_kelv_backtest.data.continuous`.
"""

from __future__ import annotations

from zopt_kelv_backtest.data.continuous import last_trading_day, near_month, roll_table, update_rolls
from zopt_kelv_backtest.data.exchange_files import PRODUCT_CODES, parse_daily, resolve_products
from zopt_kelv_backtest.data.importer import ImportFailed, import_daily_files
from zopt_kelv_backtest.data.reader import StoreStream, read_store, stored_codes
from zopt_kelv_backtest.data.store import check_ticks, write_store

__all__ = [
    "PRODUCT_CODES",
    "ImportFailed",
    "StoreStream",
    "check_ticks",
    "import_daily_files",
    "last_trading_day",
    "near_month",
    "parse_daily",
    "read_store",
    "resolve_products",
    "roll_table",
    "stored_codes",
    "update_rolls",
    "write_store",
]
