"""The incremental K-bar query as the example's replay makes it, timed alone.

usage: python bench/bench_kbar_replay.py [--days N] [--repeat R] [--profile N]

Replays the default synthetic set (10 trading days from 2024-02-01, seed 7) into a fresh QuoteManager;
for each traded code ("2330", "MXF") the first tick of a new minute is followed by one
get_kbar(code, "m", 1), as the runner asks for the closed bars. Prints the CPU time (time.process_time)
of add_tick alone over the same ticks, of the queries alone (each timed around the call), per call, and
the queries' share against add_tick alone. Best of --repeat replays. --profile N runs N replays with
no timer around the queries so that `perf record` sees the query's own work.
Run with the module importable, e.g. PYTHONPATH=build/<dir>/stage.
"""

from __future__ import annotations

import argparse
import gc
import os
import time
from datetime import date

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

from zopt_kelv_backtest import synthetic  # noqa: E402
from zopt_kelv_backtest.modules.positions import positions as core  # noqa: E402

TRADE = ("2330", "MXF")


def add_tick_alone(ticks: list[dict]) -> float:
    qm = core.QuoteManager()
    add = qm.add_tick
    gc.collect()
    t = time.process_time()
    for tick in ticks:
        add(tick)
    return time.process_time() - t


def replay(ticks: list[dict], timer: bool = True) -> tuple[float, int, int]:
    """CPU time of the queries, their count, and the rows of the last frame."""
    qm = core.QuoteManager()
    add, get = qm.add_tick, qm.get_kbar
    minute: dict[str, float] = {}
    cpu = time.process_time
    spent, count, rows = 0.0, 0, 0
    gc.collect()
    for tick in ticks:
        add(tick)
        code = tick["code"]
        if code not in TRADE:
            continue
        m = tick["timestamp"] // 60
        if minute.get(code, m) != m:
            if timer:
                t = cpu()
                frame = get(code, "m", 1)
                spent += cpu() - t
            else:
                frame = get(code, "m", 1)
            rows = frame.height
            count += 1
        minute[code] = m
    return spent, count, rows


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--days", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--profile", type=int, default=0, metavar="N", help="N untimed replays, for perf")
    args = ap.parse_args()
    ticks = synthetic.generate_ticks(date(2024, 2, 1), args.days)
    if args.profile:
        for _ in range(args.profile):
            replay(ticks, timer=False)
        return
    alone, queries = [], []
    for _ in range(args.repeat):  # taking turns
        alone.append(add_tick_alone(ticks))
        queries.append(replay(ticks))
    a = min(alone)
    q, n, rows = min(queries)
    print(f"{len(ticks):,} ticks, {n:,} queries (last frame {rows:,} bars), load average {os.getloadavg()[0]:.1f}")
    print(f"add_tick alone        {a:8.3f} s  {a / len(ticks) * 1e6:6.2f} us/tick")
    print(f"queries alone         {q:8.3f} s  {q / n * 1e6:6.2f} us/query  {q / a:5.2f}x add_tick alone")


if __name__ == "__main__":
    main()
