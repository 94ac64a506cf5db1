"""The example's whole run, stage by stage, on the default synthetic set and on one ten times as long.

usage: python bench/bench_backtest.py [--quick] [--days N ...] [--no-rss] [--no-qs] [--wall] [--repeat R]

Per tick set (default 10 and 100 trading days; --quick: 10 only, no RSS):
  - tick generation (the synthetic set, materialised once for the replays below);
  - replays over the same ticks: add_tick alone; the example's replay through the runner (bars as arrays,
    fill="this_tick": fills at once, as the loop below; the core's lines to a log file, as the example writes
    them); the same with a console that does nothing; the same strategy as a hand-written loop (the
    example's shape, K-bars from get_kbar) with that console; the same strategy on frames, and the frame
    strategy that sums the closes of each frame;
    the runner with a strategy that has no hooks (its own cost); the runner without trimming old ticks;
  - standard reports (trade log and the standard report of each traded code) and QuantStats reports.
Also: imports (fresh process; the core as the runner imports it, its report libraries waiting, and with
all of them) and peak RSS of `python -m zopt_kelv_backtest.example --days N` in fresh processes: the
default command (QuantStats reports included), `--quiet`, and `--skip-qs --quiet`. Times are CPU time of this process (time.process_time; --wall: perf_counter), the
best of --repeat replays for sets up to 20 days (the runner and the hand-written loop taking turns).
Run with the module importable, e.g. PYTHONPATH=build/<dir>/stage.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from datetime import date
from typing import Any

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

from zopt_kelv_backtest import backtest, example  # noqa: E402
from zopt_kelv_backtest.modules.positions import positions as core  # noqa: E402

CLOCK = time.process_time
START = date(2024, 2, 1)
TRADE = ["2330", "MXF"]


class NullConsole:
    def print(self, text: str) -> None:
        pass


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    gc.collect()
    t = CLOCK()
    out = fn()
    return CLOCK() - t, out


def best(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    """The shortest of `repeat` runs, and the last run's result."""
    runs = [timed(fn) for _ in range(repeat)]
    return min(t for t, _ in runs), runs[-1][1]


def add_tick_alone(ticks: list[dict]) -> None:
    qm = core.QuoteManager()
    add = qm.add_tick
    for t in ticks:
        add(t)


def _session_ends(ticks: list[dict]) -> set[int]:
    ends, last = set(), {}
    for i, t in enumerate(ticks):
        prev = last.get(t["code"])
        if prev is not None and t["timestamp"] - ticks[prev]["timestamp"] > backtest.SESSION_GAP:
            ends.add(prev)
        last[t["code"]] = i
    ends.update(last.values())
    return ends


def hand_written(ticks: list[dict], codes: list[str], fast: int = 10, slow: int = 60) -> list[tuple]:
    """The moving-average cross as one loop over the core, without the runner: look-ahead session ends,
    fills built by hand, closes from get_kbar when a minute changes."""
    qm = core.QuoteManager()
    pos = core.Positions()
    pos.set_initial_capital(5_000_000)
    ends = _session_ends(ticks)
    traded = set(codes)
    minute: dict[str, float] = {}
    signal: dict[str, int] = {}
    held: dict[str, int] = {}
    fills: list[tuple] = []

    def fill(t: dict, action: str) -> None:
        trade_id = f"{t['code']}-{len(fills) + 1:05d}"
        for status in ("Order", "Deal"):
            pos.add_trade_record(trade_id, t["code"], action, 1, t["close"], t["timestamp"], status)
        pos.set_positions({"trade_id": trade_id, "code": t["code"], "action": action, "price": t["close"],
                           "quantity": 1, "exchange_ts": t["timestamp"], "product_type": t["market_type"]},
                          t["market_type"])
        held[t["code"]] = held.get(t["code"], 0) + (1 if action == "Buy" else -1)
        fills.append((t["code"], action, t["close"], t["timestamp"]))

    for i, t in enumerate(ticks):
        qm.add_tick(t)
        pos.set_current_tick(t)
        code = t["code"]
        if code not in traded:
            continue
        m = t["timestamp"] // 60
        if code in minute and m != minute[code]:
            bars = qm.get_kbar(code, "m", 1)
            if bars.height > slow:
                closes = bars["Close"].slice(bars.height - 1 - slow, slow).to_list()
                f, s = sum(closes[-fast:]) / fast, sum(closes) / slow
                before = signal.get(code, 0)
                new = 1 if f > s else -1 if f < s else before
                signal[code] = new
                if new != before and before != 0:
                    h = held.get(code, 0)
                    if new > 0:
                        if h < 0:
                            fill(t, "Buy")
                        if h <= 0:
                            fill(t, "Buy")
                    else:
                        if h > 0:
                            fill(t, "Sell")
                        if h >= 0 and t["market_type"] == "Future":
                            fill(t, "Sell")
        minute[code] = m
        if i in ends:
            h = held.get(code, 0)
            if h:
                fill(t, "Sell" if h > 0 else "Buy")
    return fills


def with_console(console: Any, fn: Callable[[], Any]) -> Any:
    saved = core.console
    setattr(core, "console", console)
    try:
        return fn()
    finally:
        setattr(core, "console", saved)


class SumFrames(backtest.Strategy):
    """The example strategy as it was written on frames before bars came as arrays: the averages summed
    from the frame's closes at every bar. Kept to show what a frame-style strategy costs."""

    params = {"fast": 10, "slow": 60}
    bar_keys = (("m", 1),)

    def on_start(self) -> None:
        self.signal: dict[str, int] = {}

    def on_bar(self, code: str, bars: Any) -> None:
        if bars.height < self.slow:
            return
        closes = bars["Close"].tail(self.slow).to_list()
        fast = sum(closes[-self.fast:]) / self.fast
        slow = sum(closes) / self.slow
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


def runner(ticks: list[dict], console: Any, strategy: type = example.MovingAverageCross, fill: str = "this_tick",
           **kw: Any) -> backtest.BacktestResult:
    # Fills at once by default, as the hand-written loop fills: the two must give the same fills.
    return with_console(console, lambda: backtest.run_backtest(ticks, strategy(), codes=TRADE, fill=fill, **kw))


def fills_of(result: backtest.BacktestResult) -> list[tuple]:
    return sorted((f["code"], f["action"], f["price"], f["exchange_ts"]) for f in result.fills)


def reports(result: backtest.BacktestResult, out: str, qs: bool) -> tuple[float, float]:
    saved_console = core.console
    setattr(core, "console", NullConsole())
    try:
        with backtest.result._output_root(out), backtest.result._report_noise_off(quiet=True):
            standard, _ = timed(lambda: [result.positions.export_trade_records()] + [
                result.positions.generate_standard_report(c, result.quote_manager) for c in result.codes])
            quant = 0.0
            if qs:
                quant, _ = timed(lambda: [result.positions.generate_qs_profit_report(c, result.quote_manager)
                                          for c in result.codes])
    finally:
        setattr(core, "console", saved_console)
    return standard, quant


def imports_seconds(core: str) -> float:
    """Wall time of a fresh process importing the example, the runner, rich and the core: `core` is the
    statement that imports it (as the runner does, or the plain import statement)."""
    code = ("import time; t = time.perf_counter(); import zopt_kelv_backtest.example, zopt_kelv_backtest.backtest, "
            f"rich.progress; {core}; print(time.perf_counter() - t)")
    best = min(float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                    env=dict(os.environ), check=True).stdout) for _ in range(2))
    return best


RSS_RUNS = {"default": [], "--quiet": ["--quiet"], "--skip-qs --quiet": ["--skip-qs", "--quiet"]}


def peak_rss_mib(days: int, flags: list[str], out: str) -> float:
    code = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    args = [sys.executable, "-m", "zopt_kelv_backtest.example", "--days", str(days), *flags, "--out", out]
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, check=True)
    return int(done.stdout) / 1024


def bench_set(days: int, qs: bool, repeat: int) -> list[str]:
    gen_s, ticks = timed(lambda: list(backtest.ticks._synthetic_ticks(start=START, days=days)))
    n = len(ticks)
    alone_s, _ = best(repeat, lambda: add_tick_alone(ticks))
    with tempfile.TemporaryDirectory() as tmp, open(os.path.join(tmp, "backtest.log"), "w") as log:
        logged_s, logged = best(repeat, lambda: runner(ticks, example._LogConsole(log)))
    # The runner and the loop it replaces take turns, so both meet the same neighbours on this machine.
    null_s = hand_s = math.inf
    for _ in range(repeat):
        t, hand = timed(lambda: with_console(NullConsole(), lambda: hand_written(ticks, TRADE)))
        hand_s = min(hand_s, t)
        t, result = timed(lambda: runner(ticks, NullConsole()))
        null_s = min(null_s, t)
    next_s, _ = best(repeat, lambda: runner(ticks, NullConsole(), fill="next_tick"))
    frames_s, frames = best(repeat, lambda: runner(ticks, NullConsole(), example.MovingAverageCrossFrames))
    sums_s, sums = best(repeat, lambda: runner(ticks, NullConsole(), SumFrames))
    same_styles = fills_of(result) == fills_of(frames) == fills_of(sums) and result.summary() == frames.summary()
    idle_s, _ = best(repeat, lambda: with_console(NullConsole(), lambda: backtest.run_backtest(
        ticks, backtest.Strategy(), codes=TRADE)))
    kept_s, kept = timed(lambda: runner(ticks, NullConsole(), trim_every=None))
    same_hand = fills_of(result) == sorted(hand)
    same_kept = fills_of(result) == fills_of(kept) and result.summary() == kept.summary()
    with tempfile.TemporaryDirectory() as out:
        standard_s, qs_s = reports(result, out, qs)
    rows = [
        f"| {days} days, {n:,} ticks | generation | {gen_s:.2f} s | {gen_s / n * 1e6:.1f} us/tick |",
        f"| | add_tick alone | {alone_s:.2f} s | {n / alone_s:,.0f} ticks/s |",
        f"| | example replay (runner, lines to the log file) | {logged_s:.2f} s | {n / logged_s:,.0f} ticks/s,"
        f" {logged_s / alone_s:.2f}x add_tick alone |",
        f"| | same, console that does nothing | {null_s:.2f} s | {n / null_s:,.0f} ticks/s,"
        f" {null_s / alone_s:.2f}x add_tick alone |",
        f"| | hand-written loop, console that does nothing | {hand_s:.2f} s | runner {null_s / hand_s:.2f}x"
        f" the loop; same fills: {same_hand} |",
        f"| | same, orders filled at the next tick (the example's default) | {next_s:.2f} s |"
        f" {next_s / alone_s:.2f}x add_tick alone |",
        f"| | same strategy on frames (`MovingAverageCrossFrames`) | {frames_s:.2f} s | {frames_s / alone_s:.2f}x"
        f" add_tick alone; same fills and figures as on arrays: {same_styles} |",
        f"| | the frame strategy summing closes per bar (`SumFrames`) | {sums_s:.2f} s | {sums_s / alone_s:.2f}x"
        f" add_tick alone |",
        f"| | runner, a strategy without hooks | {idle_s:.2f} s | {idle_s / alone_s:.2f}x add_tick alone |",
        f"| | runner without trimming | {kept_s:.2f} s | the runs above trimmed: {result.trimmed}; same trades and figures:"
        f" {same_kept} |",
        f"| | standard reports ({', '.join(result.codes)}) | {standard_s:.2f} s | {len(result.fills)} fills |",
        f"| | QuantStats reports | {qs_s:.2f} s | {'skipped' if not qs else ''} |",
    ]
    return rows


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="the default set only, no RSS processes")
    p.add_argument("--days", type=int, nargs="+", help="trading days of each set (default: 10 100)")
    p.add_argument("--no-rss", action="store_true", help="skip the peak-RSS processes")
    p.add_argument("--no-qs", action="store_true", help="skip the QuantStats reports")
    p.add_argument("--wall", action="store_true", help="wall-clock time instead of CPU time")
    p.add_argument("--repeat", type=int, default=3, help="replays of sets up to 20 days, best kept (default: 3)")
    args = p.parse_args()
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter
    sets = args.days or ([10] if args.quick else [10, 100])
    lazy = imports_seconds("from zopt_kelv_backtest._lazy_imports import import_core; import_core()")
    eager = imports_seconds("import zopt_kelv_backtest.modules.positions.positions")
    print(f"Python {sys.version.split()[0]}, clock: {'wall' if args.wall else 'CPU'}; imports (fresh process, "
          f"wall): {lazy:.2f} s with the core as the runner imports it, {eager:.2f} s with every report "
          "library\n")
    print("| set | stage | time | figures |\n|---|---|---|---|")
    for days in sets:
        for row in bench_set(days, qs=not args.no_qs, repeat=args.repeat if days <= 20 else 1):
            print(row, flush=True)
    if not (args.quick or args.no_rss):
        print("\n| `python -m zopt_kelv_backtest.example` | " + " | ".join(f"--days {d}" for d in sets)
              + " | last vs first |\n|---|" + "---|" * (len(sets) + 1))
        for name, flags in RSS_RUNS.items():
            with tempfile.TemporaryDirectory() as out:
                rss = [peak_rss_mib(days, flags, os.path.join(out, str(days))) for days in sets]
            print(f"| {name} | " + " | ".join(f"{mib:.1f} MiB" for mib in rss) + f" | {rss[-1] / rss[0]:.2f}x |",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
