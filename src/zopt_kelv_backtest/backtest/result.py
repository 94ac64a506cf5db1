"""What a run leaves: the trades, the round trips, the daily equity, the headline figures and the reports."""

from __future__ import annotations

import contextlib
import io
import logging
import math
import os
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.market import trading_day_of

if TYPE_CHECKING:
    import pandas as pd
    import plotly.graph_objects as go
    import polars as pl

    from zopt_kelv_backtest.backtest.orders import Order
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = ["BacktestResult", "round_trip_sides"]

# Columns of ``round_trips``: the core's profit row with the side after the code, and the trading day.
ROUND_TRIP_COLUMNS = ("code", "side", "entry_dt", "entry_price", "entry_origin_price", "exit_dt", "exit_price",
                      "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "profit", "profit_ratio",
                      "trading_day")


@dataclass
class BacktestResult:
    """What a run leaves: the core objects, the trades and the figures a user looks at first.

    Tables (polars frames; times are naive Taipei wall-clock date-times, as the core reads them):

    - ``trades``: one row per fill (trade_id, code, action, quantity, price, dt, product_type);
    - ``round_trips``: the closed round trips, the core's profit rows with their ``side`` ("long" or
      "short"), typed ``entry_dt``/``exit_dt`` and the ``trading_day`` of the exit;
      ``profit_rows`` holds the same rows as the core's dicts (epoch-second times), exit order;
    - ``equity``: one row per trading day with ticks of a traded code (a night session counts in the next
      trading day): date, profit (the change of equity that day), equity, drawdown (<= 0);
      ``daily`` adds the split of each day's profit: realised, open_profit (open positions' worth at the
      end of the day);
    - ``open_positions``: the lots still open at the end: code, side, quantity, entry_price (before
      slippage), entry_dt, last_price, open_profit;
    - ``orders``: one row per order placed (``order_list`` holds the :class:`.orders.Order` objects).

    Equity is the capital plus the realised profit so far plus the open positions marked at each
    trading day's last tick of their code, by the core's rule (``Positions.fetch_positions``: price change
    times quantity and unit value, no costs; the exit costs come when a position closes).

    Figures: ``net_profit`` (realised: the closed round trips), ``open_profit`` (open positions at the
    end), ``trade_count`` (round trips), ``win_rate`` (share of round trips with a profit above 0),
    ``total_cost`` (fees, tax and fixed costs of both legs of the round trips), ``max_drawdown`` (largest
    fall of the daily equity from its running peak, in currency, >= 0) and ``sharpe`` (of the daily
    changes of equity on the initial capital, annualised with 252 days, risk-free 0; 0.0 with fewer than
    two days or no spread).
    """

    quote_manager: QuoteManager
    positions: Positions
    codes: list[str]
    capital: int
    fills: list[dict[str, Any]]
    days: list[date]
    tick_count: int
    trimmed: bool = False
    open_marks: list[float] = field(default_factory=list)  # open profit at the end of each of ``days``
    open_lots: list[dict[str, Any]] = field(default_factory=list)  # daily.open_lots at the end of the run
    order_list: list[Order] = field(default_factory=list)  # every order of the run, in the order placed
    profit_rows: list[dict[str, Any]] = field(init=False)

    def __post_init__(self) -> None:
        rows = self.positions.get_profit_rows_by_code
        self.profit_rows = [dict(r) for code in self.codes for r in rows(code)]
        # Stable: a code's rows keep the core's cover order, which is their exit order.
        self.profit_rows.sort(key=lambda r: r["exit_dt"])

    def _sides(self) -> list[str | None]:
        """The side of each profit row (:func:`round_trip_sides`), in ``profit_rows`` order."""
        side_of: dict[int, str | None] = {}
        for code in self.codes:
            of_code = [r for r in self.profit_rows if r["code"] == code]
            sides = round_trip_sides(of_code, [f for f in self.fills if f["code"] == code])
            side_of.update(zip(map(id, of_code), sides))
        return [side_of.get(id(r)) for r in self.profit_rows]

    # --- tables ------------------------------------------------------------------------------

    @property
    def orders(self) -> pl.DataFrame:
        """One row per order of the run, in the order placed (:func:`.orders.orders_frame`)."""
        from zopt_kelv_backtest.backtest.orders import orders_frame

        return orders_frame(self.order_list)

    @property
    def trades(self) -> pl.DataFrame:
        """One row per fill, in fill order."""
        import polars as pl

        schema: dict[str, Any] = {"trade_id": pl.String, "code": pl.String, "action": pl.String,
                                  "quantity": pl.Int64, "price": pl.Float64, "dt": pl.Datetime("us"),
                                  "product_type": pl.String}
        rows = [
            {**{k: f[k] for k in ("trade_id", "code", "action", "quantity", "price")},
             "dt": datetime.fromtimestamp(f["exchange_ts"]), "product_type": f["product_type"]}
            for f in self.fills
        ]
        return pl.DataFrame(rows, schema=schema)

    @property
    def round_trips(self) -> pl.DataFrame:
        """The closed round trips in exit order, with their side and typed times (see the class doc)."""
        import polars as pl

        floats = ("entry_price", "entry_origin_price", "exit_price", "exit_origin_price", "trade_cost",
                  "cover_cost", "profit", "profit_ratio")
        schema: dict[str, Any] = {"code": pl.String, "side": pl.String, "entry_dt": pl.Datetime("us"),
                                  "exit_dt": pl.Datetime("us"), "qty": pl.Int64, "min_qty": pl.Float64,
                                  "trading_day": pl.Date, **dict.fromkeys(floats, pl.Float64)}
        rows = [{**{k: row[k] for k in ("code", "qty", "min_qty", *floats)}, "side": side,
                 "entry_dt": datetime.fromtimestamp(row["entry_dt"]), "exit_dt": datetime.fromtimestamp(row["exit_dt"]),
                 "trading_day": trading_day_of(row["exit_dt"])}
                for row, side in zip(self.profit_rows, self._sides())]
        return pl.DataFrame(rows, schema=schema).select(ROUND_TRIP_COLUMNS)

    @property
    def open_positions(self) -> pl.DataFrame:
        """The lots open at the end of the run (empty when flat), valued at each code's last price."""
        import polars as pl

        schema: dict[str, Any] = {"code": pl.String, "side": pl.String, "quantity": pl.Int64,
                                  "entry_price": pl.Float64, "entry_dt": pl.Datetime("us"),
                                  "last_price": pl.Float64, "open_profit": pl.Float64}
        rows = [{**{k: lot[k] for k in schema if k != "entry_dt"},
                 "entry_dt": datetime.fromtimestamp(lot["entry_ts"])} for lot in self.open_lots]
        return pl.DataFrame(rows, schema=schema)

    def _daily(self) -> list[tuple[date, float, float]]:
        """Per trading day: realised profit and the open positions' worth at its end.

        The days are the run's and any trading day a round trip closed in; a day without a mark of its
        own keeps the open profit of the day before it.
        """
        marks = dict(zip(self.days, self.open_marks))
        realised: dict[date, float] = dict.fromkeys(self.days, 0.0)
        days_of_hour: dict[float, date] = {}  # the rule changes day only on whole hours (15:00, midnight)
        for row in self.profit_rows:
            hour = row["exit_dt"] // 3600
            day = days_of_hour.get(hour)
            if day is None:
                day = days_of_hour[hour] = trading_day_of(row["exit_dt"])
            realised[day] = realised.get(day, 0.0) + row["profit"]
        out, mark = [], 0.0
        for day in sorted(realised):
            mark = marks.get(day, mark)
            out.append((day, realised[day], mark))
        return out

    @property
    def daily(self) -> pl.DataFrame:
        """One row per trading day: date, realised (profit of the round trips closed that day),
        open_profit (open positions at the day's end), profit (change of equity), equity, drawdown."""
        import polars as pl

        equity = peak = float(self.capital)
        last_mark = 0.0
        rows: list[dict[str, Any]] = []
        for day, realised, marked in self._daily():
            # Flat at both ends of the day, the profit is the realised profit exactly.
            profit = realised + (marked - last_mark)
            equity += profit
            peak = max(peak, equity)
            rows.append({"date": day, "realised": realised, "open_profit": marked, "profit": profit,
                         "equity": equity, "drawdown": equity - peak})
            last_mark = marked
        schema: dict[str, Any] = {"date": pl.Date, **dict.fromkeys(
            ("realised", "open_profit", "profit", "equity", "drawdown"), pl.Float64)}
        return pl.DataFrame(rows, schema=schema)

    @property
    def equity(self) -> pl.DataFrame:
        """One row per trading day: date, profit (change of equity that day), equity, drawdown from the
        running peak (<= 0); open positions marked at the day's end."""
        return self.daily.select("date", "profit", "equity", "drawdown")

    def to_pandas(self) -> dict[str, pd.DataFrame]:
        """The tables as pandas frames: trades, round_trips, equity, daily, open_positions, orders."""
        return {name: getattr(self, name).to_pandas()
                for name in ("trades", "round_trips", "equity", "daily", "open_positions", "orders")}

    # --- figures -----------------------------------------------------------------------------

    @property
    def daily_profit(self) -> list[float]:
        """The change of equity on each row of ``equity``."""
        return [float(p) for p in self.daily["profit"]]

    @property
    def net_profit(self) -> float:
        """Realised profit: the sum of the round trips' profits."""
        return float(math.fsum(r["profit"] for r in self.profit_rows))

    @property
    def open_profit(self) -> float:
        """What the positions open at the end are worth by the core's rule (no exit costs; 0.0 when flat)."""
        if self.open_marks:
            return float(self.open_marks[-1])
        return float(math.fsum(lot["open_profit"] for lot in self.open_lots))

    @property
    def trade_count(self) -> int:
        """Number of round trips."""
        return len(self.profit_rows)

    @property
    def win_rate(self) -> float:
        """Share of round trips with a profit above 0 (0.0 without any)."""
        if not self.profit_rows:
            return 0.0
        return sum(1 for r in self.profit_rows if r["profit"] > 0) / len(self.profit_rows)

    @property
    def total_cost(self) -> float:
        """Fees, tax and fixed costs of both legs of every round trip."""
        return float(math.fsum(r["trade_cost"] + r["cover_cost"] for r in self.profit_rows))

    @property
    def max_drawdown(self) -> float:
        """Largest fall of the daily equity from its running peak (>= 0)."""
        return max(0.0, -float(min(self.daily["drawdown"], default=0.0)))

    @property
    def sharpe(self) -> float:
        """Annualised Sharpe ratio of the daily changes of equity on the initial capital (252 days, risk-free 0)."""
        returns = [p / self.capital for p in self.daily_profit]
        if len(returns) < 2:
            return 0.0
        mean = math.fsum(returns) / len(returns)
        var = math.fsum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
        if var <= 0.0:
            return 0.0
        return mean / math.sqrt(var) * math.sqrt(252)

    def summary(self) -> dict[str, int | float]:
        """The headline figures as plain Python numbers (same input, same numbers, bit for bit).

        ``net_profit`` is realised (closed round trips only); ``open_profit`` is what the positions open
        at the end are worth; ``max_drawdown`` and ``sharpe`` follow the equity curve, open positions
        included.
        """
        return {
            "net_profit": self.net_profit,
            "trade_count": self.trade_count,
            "win_rate": self.win_rate,
            "total_cost": self.total_cost,
            "max_drawdown": self.max_drawdown,
            "sharpe": self.sharpe,
            "open_profit": self.open_profit,
        }

    # --- notebooks ---------------------------------------------------------------------------

    def _repr_html_(self) -> str:
        """A compact HTML summary for notebooks: the figures, the trading days and the codes."""
        from zopt_kelv_backtest.backtest.display import result_html

        return result_html(self)

    def plot(self, code: str | None = None) -> go.Figure:
        """An interactive figure: the price of ``code`` (default the first traded code) with entries and
        exits, the equity and the drawdown (see :func:`display.result_figure`)."""
        from zopt_kelv_backtest.backtest.display import result_figure

        return result_figure(self, code)

    def to_html(self, code: str | None = None) -> str:
        """``plot(code)`` as a whole HTML page that works offline (plotly.js inline)."""
        return str(self.plot(code).to_html(include_plotlyjs=True, full_html=True))

    def write_html(self, path: str | os.PathLike[str], code: str | None = None) -> str:
        """Write :meth:`to_html` to ``path`` (UTF-8); returns the absolute path."""
        target = os.path.abspath(os.fspath(path))
        with open(target, "w", encoding="utf-8") as f:
            f.write(self.to_html(code))
        return target

    # --- files -------------------------------------------------------------------------------

    def write_reports(self, out_dir: str | os.PathLike[str], *, quantstats: bool = True,
                      quiet: bool | None = None) -> list[str]:
        """Write the trade log and, per traded code with round trips, the standard report and (unless
        ``quantstats`` is false) the QuantStats report with its profit CSV. Returns the paths written.

        ``quiet`` silences the core's console and the report library's own lines on standard output for
        the call; None (the default) follows the core's console (``console.quiet``,
        ``ZOPT_KELV_QUIET=1``). Errors still propagate.
        The QuantStats report is written under :func:`qs_fix.true_report_figures`: its figures keep the
        first day, and its drawdown rows show a drawdown that starts on that day.
        """
        from zopt_kelv_backtest.backtest.qs_fix import true_report_figures

        if quiet is None:
            quiet = _console_quiet()
        root = os.path.abspath(os.fspath(out_dir))
        before = _files(root)
        with _output_root(root), _report_noise_off(quiet):
            self.positions.export_trade_records()
            for code in self.codes:
                if not self.positions.get_profit_rows_by_code(code):
                    continue
                self.positions.generate_standard_report(code, self.quote_manager)
                if quantstats:
                    with true_report_figures():
                        self.positions.generate_qs_profit_report(code, self.quote_manager)
        after = _files(root)
        return sorted(p for p, stamp in after.items() if before.get(p) != stamp)


def round_trip_sides(rows: Sequence[dict[str, Any]], fills: Sequence[dict[str, Any]]) -> list[str | None]:
    """The side ("long"/"short") of each of one code's profit rows (in the core's cover order).

    The core covers oldest lots first and appends one row per lot a covering fill consumes: walking the
    code's fills, a sell that meets a long position closes long round trips, a buy that meets a short one
    short ones, row by row until the covered quantity is used up. Rows the fills do not account for
    (rows made outside the run's order helpers) are told by their prices: a long trip's gross profit is
    the exit amount less the entry amount. None where neither tells.
    """
    sides: list[str | None] = [None] * len(rows)
    held, i = 0, 0
    for fill in fills:
        quantity, buys = fill["quantity"], fill["action"] == "Buy"
        covered = min(quantity, -held) if buys and held < 0 else min(quantity, held) if not buys and held > 0 else 0
        while covered > 0 and i < len(rows):
            sides[i] = "short" if buys else "long"
            covered -= rows[i]["qty"]
            i += 1
        held += quantity if buys else -quantity
    for j in range(i, len(rows)):
        row = rows[j]
        try:
            gross = row["profit"] + row["trade_cost"] + row["cover_cost"]
            long_gross = (row["exit_price"] - row["entry_price"]) * row["min_qty"]
        except (KeyError, TypeError):
            continue
        if long_gross:
            sides[j] = "long" if abs(gross - long_gross) <= abs(gross + long_gross) else "short"
    return sides


def _console_quiet() -> bool:
    """Whether the console the core prints to is quiet."""
    from zopt_kelv_backtest.modules.positions import positions as core

    return bool(getattr(core.console, "quiet", False))


@contextlib.contextmanager
def _output_root(root: str) -> Iterator[None]:
    """``BASIC_INFO.data_dir`` set to ``root`` for the block, and restored after it, error or not.

    The core's report methods take no folder: they read the global ``BASIC_INFO.data_dir`` when they
    write, which keeps it the default for direct callers; so a folder chosen per call has to go through
    that global for the block's length.
    """
    from zopt_kelv_backtest.constant import BASIC_INFO

    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = root
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


def _files(root: str) -> dict[str, tuple[int, int]]:
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            st = os.stat(path)
            found[path] = (st.st_mtime_ns, st.st_ino)
    return found


@contextlib.contextmanager
def _report_noise_off(quiet: bool) -> Iterator[None]:
    """The report library asks matplotlib for fonts this machine may lack and warns as it draws."""
    font_log = logging.getLogger("matplotlib.font_manager")
    level = font_log.level
    font_log.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            warnings.simplefilter("ignore", FutureWarning)
            warnings.simplefilter("ignore", RuntimeWarning)
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            if quiet:
                with _console_quieted(), contextlib.redirect_stdout(io.StringIO()):
                    yield
            else:
                yield
    finally:
        font_log.setLevel(level)


@contextlib.contextmanager
def _console_quieted() -> Iterator[None]:
    """The core's console quiet for the block (a stand-in without ``quiet`` is left as it is)."""
    from zopt_kelv_backtest.modules.positions import positions as core

    console = core.console
    if not hasattr(console, "quiet"):
        yield
        return
    flush = getattr(console, "flush", None)
    if callable(flush):
        flush()  # lines of earlier calls still waiting are not this block's to drop
    saved = console.quiet
    console.quiet = True
    try:
        yield
    finally:
        console.quiet = saved
