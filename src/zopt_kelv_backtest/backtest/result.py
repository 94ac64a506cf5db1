"""What a run leaves: the trades, the round trips, the daily equity, the headline figures and the reports."""

from __future__ import annotations

import contextlib
import io
import logging
import math
import os
import warnings
from collections.abc import Iterator
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = ["BacktestResult"]


@dataclass
class BacktestResult:
    """What a run leaves: the core objects, the trades and the figures a user looks at first.

    - ``trades``: one row per fill (trade_id, code, action, quantity, price, dt, product_type);
    - ``profit_rows``: the closed round trips (the core's profit rows, copied at the end of the run);
    - ``equity``: one row per calendar day with ticks of a traded code: date, profit (realised that day),
      equity, drawdown;
    - ``net_profit``, ``trade_count`` (round trips), ``win_rate`` (share of round trips with a profit
      above 0), ``total_cost`` (fees, tax and fixed costs of both legs), ``max_drawdown`` (largest fall of
      the daily equity from its running peak, in currency, >= 0) and ``sharpe`` (of daily returns on the
      initial capital, annualised with 252 days, risk-free 0; 0.0 with fewer than two days or no spread).
    """

    quote_manager: QuoteManager
    positions: Positions
    codes: list[str]
    capital: int
    fills: list[dict[str, Any]]
    days: list[date]
    tick_count: int
    trimmed: bool = False
    profit_rows: list[dict[str, Any]] = field(init=False)

    def __post_init__(self) -> None:
        rows = self.positions.get_profit_rows_by_code
        self.profit_rows = [dict(r) for code in self.codes for r in rows(code)]
        self.profit_rows.sort(key=lambda r: r["exit_dt"])

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

    def _daily(self) -> list[tuple[date, float]]:
        """Realised profit per day: the days with ticks of a traded code, and any day a trade closed."""
        by_day: dict[date, float] = dict.fromkeys(self.days, 0.0)
        for row in self.profit_rows:
            day = datetime.fromtimestamp(row["exit_dt"]).date()
            by_day[day] = by_day.get(day, 0.0) + row["profit"]
        return sorted(by_day.items())

    @property
    def daily_profit(self) -> list[float]:
        """Realised profit of each row of ``equity``."""
        return [profit for _, profit in self._daily()]

    @property
    def equity(self) -> pl.DataFrame:
        """One row per day: date, profit realised that day, equity, drawdown from the running peak."""
        import polars as pl

        equity, peak = float(self.capital), float(self.capital)
        rows: list[dict[str, Any]] = []
        for day, profit in self._daily():
            equity += profit
            peak = max(peak, equity)
            rows.append({"date": day, "profit": profit, "equity": equity, "drawdown": equity - peak})
        schema: dict[str, Any] = {"date": pl.Date, "profit": pl.Float64, "equity": pl.Float64,
                                  "drawdown": pl.Float64}
        return pl.DataFrame(rows, schema=schema)

    @property
    def net_profit(self) -> float:
        """Sum of the round trips' profits."""
        return float(math.fsum(r["profit"] for r in self.profit_rows))

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
        equity = peak = float(self.capital)
        worst = 0.0
        for profit in self.daily_profit:
            equity += profit
            peak = max(peak, equity)
            worst = max(worst, peak - equity)
        return worst

    @property
    def sharpe(self) -> float:
        """Annualised Sharpe ratio of the daily returns on the initial capital (252 days, risk-free 0)."""
        returns = [p / self.capital for p in self.daily_profit]
        if len(returns) < 2:
            return 0.0
        mean = math.fsum(returns) / len(returns)
        var = math.fsum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
        if var <= 0.0:
            return 0.0
        return mean / math.sqrt(var) * math.sqrt(252)

    def summary(self) -> dict[str, int | float]:
        """The six headline figures as plain Python numbers (same input, same numbers, bit for bit)."""
        return {
            "net_profit": self.net_profit,
            "trade_count": self.trade_count,
            "win_rate": self.win_rate,
            "total_cost": self.total_cost,
            "max_drawdown": self.max_drawdown,
            "sharpe": self.sharpe,
        }

    def write_reports(self, out_dir: str | os.PathLike[str], *, quantstats: bool = True,
                      quiet: bool = False) -> list[str]:
        """Write the trade log and, per traded code with round trips, the standard report and (unless
        ``quantstats`` is false) the QuantStats report with its profit CSV. Returns the paths written.

        ``quiet`` also silences the report library's own lines on standard output.
        """
        root = os.path.abspath(os.fspath(out_dir))
        before = _files(root)
        with _output_root(root), _report_noise_off(quiet):
            self.positions.export_trade_records()
            for code in self.codes:
                if not self.positions.get_profit_rows_by_code(code):
                    continue
                self.positions.generate_standard_report(code, self.quote_manager)
                if quantstats:
                    self.positions.generate_qs_profit_report(code, self.quote_manager)
        after = _files(root)
        return sorted(p for p, stamp in after.items() if before.get(p) != stamp)


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
                with contextlib.redirect_stdout(io.StringIO()):
                    yield
            else:
                yield
    finally:
        font_log.setLevel(level)
