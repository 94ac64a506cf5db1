"""Example back-test: replay ticks through QuoteManager and Positions, then write the reports.

By default it replays a deterministic synthetic tick set (see ``zopt_kelv_backtest.synthetic``): the
stock 2330, the benchmark ETF 0050 and mini-TAIEX futures (MXF, day and night sessions) over ten trading
days of the real holiday calendar. ``--ticks FILE`` replays your own ticks instead (CSV or Parquet with
the tick-record columns timestamp, code, market_type, close, qty and optionally tick_type, is_simulate).

The strategy is a moving-average cross on one-minute closes, one lot or contract at a time:

- when the fast average (``--fast`` minutes) crosses above the slow one (``--slow`` minutes) it buys;
  when it crosses below it sells; stocks only go long, futures go long or short;
- each fill is priced at the price of the tick that completed the minute;
- every position is closed at the last tick of its session, so nothing is held overnight.

Outputs, under ``--out`` (default ./backtest_output): the trade log (trade_records/), the standard HTML
report of each traded code (report/) and its QuantStats report with the profit CSV (kelv/profit_report/).
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import sys
import time
import warnings
from collections import deque
from dataclasses import dataclass, field
from datetime import date
from typing import Dict, List, Optional, Sequence

REQUIRED_COLUMNS = ("timestamp", "code", "market_type", "close", "qty")
OPTIONAL_COLUMNS = {"tick_type": 0, "is_simulate": False}
BENCHMARK = "0050"
TEXT_TIME_FORMATS = ("%Y-%m-%d %H:%M:%S%.f", "%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S",
                     "%Y-%m-%d %H:%M")
SESSION_GAP = 30 * 60  # seconds without a tick of a code that end its session


class InputError(Exception):
    """Bad input from the user: reported as one line, without a traceback."""


def _pin_local_time() -> None:
    # The module reads tick times as local wall-clock time; the markets are in Taipei.
    os.environ["TZ"] = "Asia/Taipei"
    if hasattr(time, "tzset"):
        time.tzset()


# --- reading a user's tick file -------------------------------------------------------------


def _bad_row(df, mask, column: str, what: str):
    idx = df.with_row_index("_row").filter(mask).select("_row", column).row(0)
    raise InputError(f"row {idx[0] + 1}: bad {what} {idx[1]!r}")


def _timestamps(df):
    """The "timestamp" column as float seconds since the epoch (text and dates are Taipei time)."""
    import polars as pl

    col = df["timestamp"]
    if col.dtype.is_numeric():
        ts = col.cast(pl.Float64)
    elif col.dtype == pl.Datetime:
        if col.dtype.time_zone is None:
            col = col.dt.replace_time_zone("Asia/Taipei")
        ts = col.dt.epoch("us").cast(pl.Float64) / 1e6
    elif col.dtype == pl.Utf8 or col.dtype == pl.String:
        text = col.str.strip_chars()
        parsed = pl.select(pl.coalesce([
            text.str.to_datetime(fmt, strict=False, time_unit="us") for fmt in TEXT_TIME_FORMATS
        ])).to_series()
        numeric = text.cast(pl.Float64, strict=False)
        as_text = parsed.dt.replace_time_zone("Asia/Taipei").dt.epoch("us").cast(pl.Float64) / 1e6
        ts = numeric.fill_null(as_text)
    else:
        raise InputError(f"column 'timestamp' has unsupported type {col.dtype}")
    bad = ts.is_null() | ts.is_nan() | ts.is_infinite()
    if bad.any():
        _bad_row(df, bad, "timestamp", "timestamp")
    return ts


def load_tick_file(path: str) -> List[Dict]:
    """Tick records from a CSV or Parquet file, sorted by time; InputError on any bad input."""
    import polars as pl

    if not os.path.isfile(path):
        raise InputError(f"tick file not found: {path}")
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".csv":
            # Codes such as "0050" must stay text, not become the number 50.
            df = pl.read_csv(path, infer_schema_length=10000,
                             schema_overrides={"code": pl.Utf8, "market_type": pl.Utf8})
        elif ext in (".parquet", ".pq"):
            df = pl.read_parquet(path)
        else:
            raise InputError(f"unsupported tick file type {ext or '(none)'!r}: use .csv or .parquet")
    except InputError:
        raise
    except Exception as exc:  # polars' own parse and I/O errors
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise InputError(f"cannot read {path}: {first}") from None
    missing = [c for c in REQUIRED_COLUMNS if c not in df.columns]
    if missing:
        raise InputError(f"tick file lacks column(s): {', '.join(missing)}")
    if df.height == 0:
        raise InputError("tick file holds no ticks")

    ts = _timestamps(df)
    code = df["code"].cast(pl.Utf8, strict=False)
    bad_code = code.is_null() | (code.str.strip_chars() == "") | code.str.contains(r"[/\\]") | code.is_in([".", ".."])
    if bad_code.any():
        _bad_row(df, bad_code, "code", "code")
    market = df["market_type"].cast(pl.Utf8, strict=False)
    bad_market = ~market.is_in(["Stock", "Future"]).fill_null(False)
    if bad_market.any():
        _bad_row(df, bad_market, "market_type", "market_type (use Stock or Future)")
    close = df["close"].cast(pl.Float64, strict=False)
    bad_close = close.is_null() | close.is_nan() | close.is_infinite() | (close <= 0)
    if bad_close.any():
        _bad_row(df, bad_close, "close", "close price")
    qty_f = df["qty"].cast(pl.Float64, strict=False)
    bad_qty = qty_f.is_null() | qty_f.is_nan() | (qty_f < 0) | (qty_f != qty_f.floor())
    if bad_qty.any():
        _bad_row(df, bad_qty, "qty", "qty")
    columns = {"timestamp": ts, "code": code, "market_type": market, "close": close, "qty": qty_f.cast(pl.Int64)}
    if "tick_type" in df.columns:
        tick_type = df["tick_type"].cast(pl.Int8, strict=False)
        bad = tick_type.is_null()
        if bad.any():
            _bad_row(df, bad, "tick_type", "tick_type")
        columns["tick_type"] = tick_type.cast(pl.Int64)
    else:
        columns["tick_type"] = pl.Series([OPTIONAL_COLUMNS["tick_type"]] * df.height, dtype=pl.Int64)
    if "is_simulate" in df.columns:
        raw = df["is_simulate"]
        if raw.dtype == pl.Boolean:
            sim = raw
        else:
            text = raw.cast(pl.Utf8, strict=False).str.strip_chars().str.to_lowercase()
            sim = text.replace_strict({"true": True, "1": True, "false": False, "0": False},
                                      default=None, return_dtype=pl.Boolean)
        bad = sim.is_null()
        if bad.any():
            _bad_row(df, bad, "is_simulate", "is_simulate (use true/false)")
        columns["is_simulate"] = sim
    else:
        columns["is_simulate"] = pl.Series([False] * df.height, dtype=pl.Boolean)
    frame = pl.DataFrame({k: columns[k] for k in ("timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate")})
    return frame.sort("timestamp", maintain_order=True).to_dicts()


# --- the strategy -----------------------------------------------------------------------------


@dataclass
class MovingAverageCross:
    """Fast/slow moving-average cross on one-minute closes of one code."""

    code: str
    product_type: str  # "Stock" (long only) or "Future" (long and short)
    fast: int
    slow: int
    closes: deque = field(default_factory=deque)
    minute: Optional[float] = None
    last_price: float = math.nan
    signal: int = 0
    position: int = 0  # +1 long, -1 short, 0 flat

    def on_tick(self, tick: Dict) -> List[str]:
        """Actions ("Buy"/"Sell") to fill at this tick's price."""
        minute = tick["timestamp"] - tick["timestamp"] % 60
        actions: List[str] = []
        if self.minute is not None and minute > self.minute:
            self.closes.append(self.last_price)
            if len(self.closes) > self.slow:
                self.closes.popleft()
            if len(self.closes) == self.slow:
                fast = sum(list(self.closes)[-self.fast:]) / self.fast
                slow = sum(self.closes) / self.slow
                signal = 1 if fast > slow else -1 if fast < slow else self.signal
                if signal != self.signal and self.signal != 0:
                    actions = self._turn(signal)
                self.signal = signal
        self.minute = minute
        self.last_price = tick["close"]
        return actions

    def _turn(self, signal: int) -> List[str]:
        actions = []
        if signal > 0:
            if self.position < 0:
                actions.append("Buy")
                self.position = 0
            if self.position == 0:
                actions.append("Buy")
                self.position = 1
        else:
            if self.position > 0:
                actions.append("Sell")
                self.position = 0
            if self.position == 0 and self.product_type == "Future":
                actions.append("Sell")
                self.position = -1
        return actions

    def flatten(self) -> List[str]:
        """Close the position at the session's last tick."""
        actions = ["Sell"] if self.position > 0 else ["Buy"] if self.position < 0 else []
        self.position = 0
        return actions


# --- the run ----------------------------------------------------------------------------------


def _session_ends(ticks: Sequence[Dict]) -> set:
    """Indices of the last tick of each code's session (the next tick of the code is far away or absent)."""
    ends, last_index = set(), {}
    for i, tick in enumerate(ticks):
        prev = last_index.get(tick["code"])
        if prev is not None and tick["timestamp"] - ticks[prev]["timestamp"] > SESSION_GAP:
            ends.add(prev)
        last_index[tick["code"]] = i
    ends.update(last_index.values())
    return ends


def run_backtest(ticks: Sequence[Dict], trade_codes: Sequence[str], *, capital: int, fast: int, slow: int,
                 console, show_progress: bool = True):
    """Replay `ticks`, trading `trade_codes`; returns (QuoteManager, Positions, fills)."""
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

    qm = QuoteManager()
    positions = Positions()
    positions.set_initial_capital(capital)
    strategies: Dict[str, MovingAverageCross] = {}
    for tick in ticks:
        if tick["code"] in trade_codes and tick["code"] not in strategies:
            strategies[tick["code"]] = MovingAverageCross(tick["code"], tick["market_type"], fast, slow)
    ends = _session_ends(ticks)
    fills = 0

    def fill(tick: Dict, strategy: MovingAverageCross, action: str) -> None:
        nonlocal fills
        fills += 1
        trade_id = f"{tick['code']}-{fills:05d}"
        for status in ("Order", "Deal"):
            positions.add_trade_record(trade_id, tick["code"], action, 1, tick["close"], tick["timestamp"], status)
        positions.set_positions(
            {"trade_id": trade_id, "code": tick["code"], "action": action, "price": tick["close"], "quantity": 1,
             "exchange_ts": tick["timestamp"], "product_type": strategy.product_type},
            strategy.product_type,
        )

    step = max(1, len(ticks) // 200)
    with Progress(TextColumn("[bold blue]回放 ticks"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn(),
                  console=console, disable=not show_progress) as progress:
        task = progress.add_task("replay", total=len(ticks))
        for i, tick in enumerate(ticks):
            qm.add_tick(tick)
            positions.set_current_tick(tick)
            strategy = strategies.get(tick["code"])
            if strategy is not None:
                for action in strategy.on_tick(tick):
                    fill(tick, strategy, action)
                if i in ends:
                    for action in strategy.flatten():
                        fill(tick, strategy, action)
            if i % step == 0:
                progress.update(task, completed=i + 1)
        progress.update(task, completed=len(ticks))
    return qm, positions, fills


def _written_since(folder: str, since: float) -> List[str]:
    """Files under `folder` written by this run (older outputs may share the folder)."""
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            if os.path.getmtime(path) >= since - 1:
                found.append(path)
    return sorted(found)


def _parse_args(argv):
    p = argparse.ArgumentParser(
        prog="python -m zopt_kelv_backtest.example",
        description="Example back-test: replays ticks through QuoteManager and Positions with a "
                    "moving-average cross strategy and writes the trade log and both reports.",
    )
    p.add_argument("--ticks", metavar="FILE", help="your own ticks (.csv or .parquet) instead of the synthetic set")
    p.add_argument("--out", metavar="DIR", default=os.path.join(".", "backtest_output"),
                   help="output folder (default: ./backtest_output)")
    p.add_argument("--trade", metavar="CODES",
                   help="comma-separated codes to trade (default: 2330,MXF; with --ticks every code but 0050)")
    p.add_argument("--start", metavar="YYYY-MM-DD", default="2024-02-01",
                   help="first day of the synthetic set (default: 2024-02-01)")
    p.add_argument("--days", type=int, default=10, help="trading days of the synthetic set (default: 10)")
    p.add_argument("--seed", type=int, default=7, help="seed of the synthetic set (default: 7)")
    p.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default: 5000000)")
    p.add_argument("--fast", type=int, default=10, help="fast moving average, minutes (default: 10)")
    p.add_argument("--slow", type=int, default=60, help="slow moving average, minutes (default: 60)")
    p.add_argument("--skip-qs", action="store_true", help="skip the QuantStats reports (they take a few seconds each)")
    p.add_argument("--quiet", action="store_true", help="hide the per-trade console lines and the progress bar")
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parse_args(argv)
    _pin_local_time()
    # The report library asks matplotlib for fonts this machine may not have; one warning is enough.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore", category=UserWarning, module="quantstats_lumi")

    from rich.console import Console
    from rich.table import Table

    from zopt_kelv_backtest import synthetic, utils
    from zopt_kelv_backtest.constant import BASIC_INFO
    from zopt_kelv_backtest.modules.positions import positions as positions_module

    console = utils.console
    try:
        if args.ticks:
            ticks = load_tick_file(args.ticks)
            default_codes = sorted({t["code"] for t in ticks} - {BENCHMARK})
            source = args.ticks
        else:
            ticks = synthetic.generate_ticks(start=args.start, days=args.days, seed=args.seed)
            default_codes = ["2330", "MXF"]
            source = f"synthetic ticks, seed {args.seed}, {args.days} trading days from {args.start}"
        codes = [c.strip() for c in args.trade.split(",") if c.strip()] if args.trade else default_codes
        known = {t["code"] for t in ticks}
        unknown = [c for c in codes if c not in known]
        if unknown:
            raise InputError(f"no ticks for code(s) to trade: {', '.join(unknown)}")
        if not codes:
            raise InputError("nothing to trade: the tick file holds only the benchmark 0050")
    except InputError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2

    out_dir = os.path.abspath(args.out)
    BASIC_INFO.data_dir = out_dir
    saved_console = positions_module.console
    if args.quiet:
        positions_module.console = Console(quiet=True)
    try:
        run_started = time.time()
        console.print(f"[bold]範例回測[/bold]: {len(ticks):,} ticks ({source}); 交易 {', '.join(codes)}")
        started = time.perf_counter()
        qm, positions, fills = run_backtest(ticks, codes, capital=args.capital, fast=args.fast, slow=args.slow,
                                            console=console, show_progress=not args.quiet)
        replay_s = time.perf_counter() - started

        positions.export_trade_records()
        for code in codes:
            if not positions.get_profit_rows_by_code(code):
                console.print(f"[yellow]{code} 沒有已平倉的交易, 不產生報告[/yellow]")
                continue
            positions.generate_standard_report(code, qm)
            if not args.skip_qs:
                positions.generate_qs_profit_report(code, qm)
    finally:
        positions_module.console = saved_console

    table = Table(title=f"回測結果 ({fills} 筆成交, 回放 {replay_s:.1f} 秒)")
    for column in ("代號", "回合數", "勝率", "淨損益", "交易成本"):
        table.add_column(column, justify="right")
    for code in codes:
        rows = positions.get_profit_rows_by_code(code)
        wins = sum(1 for r in rows if r["profit"] > 0)
        table.add_row(code, str(len(rows)), f"{wins / len(rows):.0%}" if rows else "-",
                      f"{sum(r['profit'] for r in rows):,.0f}",
                      f"{sum(r['trade_cost'] + r['cover_cost'] for r in rows):,.0f}")
    console.print(table)
    console.print(f"期末資金: {positions.fetch_account_balance():,.0f} (初始 {args.capital:,})")
    console.print(f"[bold green]輸出資料夾: {out_dir}[/bold green]")
    for path in _written_since(out_dir, run_started):
        console.print(f"  {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
