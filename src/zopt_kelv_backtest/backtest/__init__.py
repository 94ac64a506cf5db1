"""Strategy runner: replay ticks through ``QuoteManager`` and ``Positions`` with a strategy's hooks.

A strategy subclasses :class:`Strategy`, overrides the hooks it needs and trades with the order helpers::

    class Breakout(Strategy):
        params = {"lookback": 30}
        bar_keys = (("m", 1),)

        def on_bar(self, code, bars):  # closed one-minute bars, oldest first
            before = bars.tail(self.lookback + 1).head(self.lookback)
            if self.position(code) == 0 and bars["Close"][-1] > before["High"].max():
                self.buy(code)

        def on_session_end(self, code):
            self.close(code)

    result = run_backtest(None, Breakout(lookback=20))
    print(result.summary())

``run_backtest`` streams the ticks (an iterable of tick records, a CSV/Parquet file through
:func:`load_ticks`, or the package's synthetic set), hands every tick to the quote manager and the account,
calls the hooks, and returns a :class:`BacktestResult` with the trades, the profit rows, the daily equity
curve and the headline figures. Memory does not grow with the run: old ticks are dropped once every cached
K-bar key of their code has read them.

The core reads tick times as the process's local time, and the markets are in Taipei: the runner pins
``TZ=Asia/Taipei`` for its process (:func:`pin_local_time`).

When the runner imports the core first, the core's report libraries (pandas, matplotlib, QuantStats and
what they pull in, seconds of imports) load on their first use, normally the QuantStats report; a replay
that writes no such report never loads them. ``ZOPT_KELV_EAGER_IMPORTS=1`` turns that off.

Its modules, by job: :mod:`.ticks` (tick files and sources, local time), :mod:`.strategy` (the base class
and its order helpers), :mod:`.orders` (orders and their matching on ticks), :mod:`.replay` (the run) and
:mod:`.result` (figures and reports).
"""

from __future__ import annotations

# The runner's constants and types are importable from here too (``X as X``: re-exported for type checkers).
from zopt_kelv_backtest.backtest.orders import Order
from zopt_kelv_backtest.backtest.replay import PROGRESS_EVERY as PROGRESS_EVERY
from zopt_kelv_backtest.backtest.replay import SESSION_GAP as SESSION_GAP
from zopt_kelv_backtest.backtest.replay import TRIM_EVERY as TRIM_EVERY
from zopt_kelv_backtest.backtest.replay import run_backtest, run_backtests
from zopt_kelv_backtest.backtest.result import BacktestResult
from zopt_kelv_backtest.backtest.strategy import UNITS as UNITS
from zopt_kelv_backtest.backtest.strategy import Side as Side
from zopt_kelv_backtest.backtest.strategy import Strategy
from zopt_kelv_backtest.backtest.strategy import Unit as Unit
from zopt_kelv_backtest.backtest.ticks import OFFSET_TIME_FORMATS as OFFSET_TIME_FORMATS
from zopt_kelv_backtest.backtest.ticks import REQUIRED_COLUMNS as REQUIRED_COLUMNS
from zopt_kelv_backtest.backtest.ticks import TEXT_TIME_FORMATS as TEXT_TIME_FORMATS
from zopt_kelv_backtest.backtest.ticks import TICK_KEYS as TICK_KEYS
from zopt_kelv_backtest.backtest.ticks import TIME_FORMS as TIME_FORMS
from zopt_kelv_backtest.backtest.ticks import InputError, TickStream, load_ticks, pin_local_time
from zopt_kelv_backtest.backtest.ticks import TickSource as TickSource
from zopt_kelv_backtest.market import BENCHMARK

__all__ = [
    "BENCHMARK",
    "BacktestResult",
    "InputError",
    "Order",
    "Strategy",
    "TickStream",
    "load_ticks",
    "pin_local_time",
    "run_backtest",
    "run_backtests",
]
