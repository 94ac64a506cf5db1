"""Example back-test: a moving-average cross on one-minute K-bars, run by the strategy runner.

By default it replays a deterministic synthetic tick set (see ``zopt_kelv_backtest.synthetic``): the
stock 2330, the benchmark ETF 0050 and mini-TAIEX futures (MXF, day and night sessions) over ten trading
days of the real holiday calendar. ``--ticks FILE`` replays your own ticks instead (CSV or Parquet with
the tick-record columns timestamp, code, market_type, close, qty and optionally tick_type, is_simulate).

The strategy is a moving-average cross on one-minute closes, one lot or contract at a time:

- the closes are the one-minute K-bars' (the bars of ``get_kbar(code, "m", 1)``), handed to the strategy
  as arrays when a minute closes and fed to two native moving averages; minutes without trades inside
  trading hours are bars too (the core fills them);
- when the fast average (``--fast`` bars) crosses above the slow one (``--slow`` bars) it buys; when it
  crosses below it sells; stocks only go long, futures go long or short;
- its orders are market orders: each fills at the code's next tick after the one that opened the new
  minute, with the fee settings' slippage (``--fill this_tick``: at that tick itself);
- every position is closed when its session ends: the close fills at the first tick of the next session
  (``--fill this_tick``: at the session's last tick, so nothing is held overnight). Each code's last close
  of the run has no tick after it and expires, leaving its position open.

Outputs, under ``--out`` (default ./backtest_output): the trade log (trade_records/), the standard HTML
report of each traded code (report/), its QuantStats report with the profit CSV (kelv/profit_report/) and
``backtest.log``, every line the core printed (fills, reports).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Sequence
from datetime import date
from typing import IO, TYPE_CHECKING, Any

from zopt_kelv_backtest.backtest import InputError, Strategy
from zopt_kelv_backtest.console import strip_core_tags
from zopt_kelv_backtest.indicators import SMA
from zopt_kelv_backtest.market import BENCHMARK

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.backtest.bars import Bars

DEFAULT_TRADE = ("2330", "MXF")
LOG_NAME = "backtest.log"


class _Cross(Strategy):
    """The cross itself, fed closes by either style of ``on_bar`` below."""

    params = {"fast": 10, "slow": 60}
    bar_keys = (("m", 1),)
    fast: int
    slow: int

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        if not (type(self.fast) is int and type(self.slow) is int and 1 <= self.fast < self.slow):
            raise ValueError(f"need ints 1 <= fast < slow, got fast={self.fast!r}, slow={self.slow!r}")
        self.on_start()

    def on_start(self) -> None:
        self.signal: dict[str, int] = {}
        self.averages: dict[str, tuple[SMA, SMA]] = {}
        self.seen: dict[str, int] = {}  # closed bars fed to the averages

    def feed(self, code: str, closes: list[float], closed: int) -> None:
        """The closes of the bars closed since the last call (``closed`` in all), then trade on the cross."""
        self.seen[code] = closed
        pair = self.averages.get(code)
        if pair is None:
            pair = self.averages[code] = (SMA(self.fast), SMA(self.slow))
        fast_avg, slow_avg = pair
        for close in closes:
            fast_avg.update(close)
            slow_avg.update(close)
        if closed < self.slow:
            return
        fast, slow = fast_avg.value, slow_avg.value
        before = self.signal.get(code, 0)
        signal = 1 if fast > slow else -1 if fast < slow else before
        self.signal[code] = signal
        if signal == before or before == 0:
            return
        held = self.position(code)
        if signal > 0:
            if held < 0:
                self.buy(code)
            if held <= 0:
                self.buy(code)
        else:
            if held > 0:
                self.sell(code)
            if held >= 0 and self.market_type(code) == "Future":
                self.sell(code)

    def on_session_end(self, code: str) -> None:
        self.close(code)


class MovingAverageCross(_Cross):
    """Fast/slow moving-average cross on one-minute closes, one lot or contract at a time.

    Closed bars come as arrays (``bars_as = "arrays"``) and feed two native moving averages, so each bar
    costs a few updates, not a frame. :class:`MovingAverageCrossFrames` is the same strategy on frames.
    """

    bars_as = "arrays"

    def on_bar(self, code: str, bars: Bars) -> None:
        closed, seen, close = len(bars), self.seen.get(code, 0), bars.close
        # Mostly one new bar: its close alone, without slicing the array.
        self.feed(code, [float(close[-1])] if closed - seen == 1 else close[seen:].tolist(), closed)


class MovingAverageCrossFrames(_Cross):
    """:class:`MovingAverageCross` on frames: each closed minute hands ``on_bar`` a polars frame of every
    closed bar (``get_kbar`` without the forming bar). Same trades; the frame costs tens of microseconds."""

    def on_bar(self, code: str, bars: pl.DataFrame) -> None:
        seen = self.seen.get(code, 0)
        self.feed(code, bars["Close"].slice(seen).to_list(), bars.height)


# --- console ------------------------------------------------------------------------------------

class _LogConsole:
    """Stands in for the core's console during a run: every line goes to the log file without its
    colour tags; with ``echo`` also to the package console."""

    def __init__(self, log: IO[str], echo: Any = None) -> None:
        self._log = log
        self._echo = echo

    def print(self, text: str) -> None:
        self._log.write(strip_core_tags(text) + "\n")
        if self._echo is not None:
            self._echo.print(text)


# --- the program --------------------------------------------------------------------------------


def _parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m zopt_kelv_backtest.example",
        description="Example back-test: replays ticks through QuoteManager and Positions with a "
        "moving-average cross strategy and writes the trade log and both reports.",
    )
    p.add_argument("--ticks", metavar="PATH",
                   help="your own ticks (.csv or .parquet file, or a tick store folder) instead of the synthetic set")
    p.add_argument("--out", metavar="DIR", default=os.path.join(".", "backtest_output"),
                   help="output folder (default: ./backtest_output)")
    p.add_argument("--trade", metavar="CODES",
                   help="comma-separated codes to trade (default: 2330,MXF; with --ticks every code but 0050)")
    p.add_argument("--start", metavar="YYYY-MM-DD", default="2024-02-01",
                   help="first day of the synthetic set (default: 2024-02-01)")
    p.add_argument("--days", type=int, default=10, help="trading days of the synthetic set (default: 10)")
    p.add_argument("--seed", type=int, default=7, help="seed of the synthetic set (default: 7)")
    p.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default: 5000000)")
    p.add_argument("--fast", type=int, default=10, help="fast moving average, one-minute bars (default: 10)")
    p.add_argument("--slow", type=int, default=60, help="slow moving average, one-minute bars (default: 60)")
    p.add_argument("--fill", choices=("next_tick", "this_tick"), default="next_tick",
                   help="market orders fill at the code's next tick (default) or at its latest tick, at once")
    p.add_argument("--skip-qs", action="store_true", help="skip the QuantStats reports (they take a few seconds each)")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("--verbose", action="store_true", help="also print every line of the core (fills, reports)")
    shown.add_argument("--quiet", action="store_true", help="print nothing but errors")
    args = p.parse_args(argv)
    if not 1 <= args.fast < args.slow:
        p.error("need 1 <= --fast < --slow")
    if args.days < 1:
        p.error("--days must be at least 1")
    if args.capital <= 0:
        p.error("--capital must be positive")
    try:
        args.start = date.fromisoformat(args.start)
    except ValueError:
        p.error(f"--start: not a date: {args.start!r}")
    return args


def _source(args: argparse.Namespace) -> tuple[Any, list[str], str, int | None]:
    """The ticks, the codes to trade, a description and the tick count when known."""
    from zopt_kelv_backtest import backtest, synthetic

    trade = [c.strip() for c in args.trade.split(",") if c.strip()] if args.trade else None
    if args.ticks:
        stream = backtest.load_ticks(args.ticks)
        known = set(stream.codes)
        codes = trade if trade is not None else sorted(known - {BENCHMARK})
        ticks: Any = stream
        described, total = args.ticks, len(stream)
    else:
        try:
            ticks = synthetic.iter_ticks(start=args.start, days=args.days, seed=args.seed)
        except ValueError as exc:
            raise InputError(f"--start/--days: {exc}") from None
        known = {p.code for p in synthetic.DEFAULT_PRODUCTS}
        codes = trade if trade is not None else list(DEFAULT_TRADE)
        described = f"synthetic ticks, seed {args.seed}, {args.days} trading days from {args.start}"
        total = None
    unknown = [c for c in codes if c not in known]
    if unknown:
        raise InputError(f"no ticks for code(s) to trade: {', '.join(unknown)}")
    if not codes:
        raise InputError("nothing to trade: the tick file holds only the benchmark 0050")
    return ticks, codes, described, total


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse_args(argv)
    from zopt_kelv_backtest import backtest, utils
    from zopt_kelv_backtest._lazy_imports import import_core

    import_core()  # the report libraries load when the QuantStats report needs them
    from zopt_kelv_backtest.modules.positions import positions as positions_module

    backtest.pin_local_time()
    try:
        ticks, codes, described, total = _source(args)
    except InputError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2

    out_dir = os.path.abspath(args.out)
    try:
        os.makedirs(out_dir, exist_ok=True)
        log = open(os.path.join(out_dir, LOG_NAME), "w", encoding="utf-8")
    except OSError as exc:
        print(f"error: cannot write to --out {out_dir}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    shown = utils.console
    saved_console = positions_module.console
    with log:
        log.write(f"{described}; trading {', '.join(codes)}\n")
        # The core takes any object with print(text) as its console.
        setattr(positions_module, "console", _LogConsole(log, shown if args.verbose else None))
        try:
            started = time.perf_counter()
            result = backtest.run_backtest(
                ticks, MovingAverageCross(fast=args.fast, slow=args.slow), codes=codes,
                capital=args.capital, progress=not args.quiet, total=total, fill=args.fill,
            )
            replay_s = time.perf_counter() - started
            written = result.write_reports(out_dir, quantstats=not args.skip_qs, quiet=args.quiet)
        finally:
            setattr(positions_module, "console", saved_console)
    if args.quiet:
        return 0
    _print_summary(shown, result, codes, described, replay_s, args.capital)
    shown.print(f"[bold green]輸出資料夾: {out_dir}[/bold green]")
    for path in [os.path.join(out_dir, LOG_NAME), *written]:
        shown.print(f"  {path}")
    return 0


def _print_summary(console: Any, result: Any, codes: list[str], described: str, replay_s: float,
                   capital: int) -> None:
    from rich.table import Table

    console.print(described)
    table = Table(title=f"回測結果 ({len(result.fills)} 筆成交, 回放 {replay_s:.1f} 秒)")
    for column in ("代號", "回合數", "勝率", "淨損益", "交易成本"):
        table.add_column(column, justify="right")
    for code in codes:
        rows = [r for r in result.profit_rows if r["code"] == code]
        wins = sum(1 for r in rows if r["profit"] > 0)
        table.add_row(code, str(len(rows)), f"{wins / len(rows):.0%}" if rows else "-",
                      f"{sum(r['profit'] for r in rows):,.0f}",
                      f"{sum(r['trade_cost'] + r['cover_cost'] for r in rows):,.0f}")
    s = result.summary()
    table.add_section()
    table.add_row("合計", str(s["trade_count"]), f"{s['win_rate']:.0%}", f"{s['net_profit']:,.0f}",
                  f"{s['total_cost']:,.0f}")
    console.print(table)
    console.print(f"最大回落: {s['max_drawdown']:,.0f}  夏普值: {s['sharpe']:.2f}  "
                  f"期末資金: {result.positions.fetch_account_balance():,.0f} (初始 {capital:,})")
    if result.open_positions.height:  # the run's last close had no tick left to fill at
        console.print(f"未平倉: {result.open_positions.height} 筆, 未實現損益 {s['open_profit']:,.0f}")


if __name__ == "__main__":
    sys.exit(main())
