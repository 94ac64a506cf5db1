"""One replay for many parameter sets: a sweep's combinations that share their ticks run together.

usage: python bench/bench_sweep_groups.py [--days N] [--repeat R] [--no-workers]

- in one process: 64 combinations of the example strategy (fast x slow, 8 x 8) on MXF over the synthetic
  set, as 64 separate ``run_backtest`` calls and as ``run_sweep(workers=1)``, which runs them in replay
  groups; every sweep row's figures must equal its separate run's bit for bit, or the bench fails;
- workers: ``python -m zopt_kelv_backtest.sweep`` with 32 parameter sets on 2330 and MXF (64 combinations),
  ``--workers 1`` and ``--workers 2`` in fresh processes, end to end.

In one process: CPU time of the process (``process_time``: the box is shared); the commands: wall-clock
time. The best of ``--repeat`` tries taking turns (default 2).
"""

from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
from datetime import date
from typing import Any

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

FAST = [3, 5, 8, 10, 12, 15, 20, 25]
SLOW = [30, 40, 50, 60, 80, 100, 120, 150]


def bits(value: Any) -> Any:
    return struct.pack("<d", value) if isinstance(value, float) else value


def separate(days: int) -> tuple[float, dict[tuple[int, int], list[Any]]]:
    from zopt_kelv_backtest import backtest, example, synthetic
    from zopt_kelv_backtest.sweep import FIGURES
    from zopt_kelv_backtest.sweep.backends import _quiet_core

    ticks = synthetic.generate_ticks(date(2024, 2, 1), days)
    started = time.process_time()
    out = {}
    with _quiet_core():
        for f in FAST:
            for s in SLOW:
                summary = backtest.run_backtest(iter(ticks), example.MovingAverageCross(fast=f, slow=s),
                                                codes=["MXF"]).summary()
                out[f, s] = [bits(summary[k]) for k in FIGURES]
    return time.process_time() - started, out


def grouped(days: int) -> tuple[float, dict[tuple[int, int], list[Any]]]:
    from zopt_kelv_backtest.sweep import FIGURES, SyntheticTicks, run_sweep

    with tempfile.TemporaryDirectory(prefix="bench-groups-") as out_dir:
        started = time.process_time()
        result = run_sweep(grid={"fast": FAST, "slow": SLOW}, ticks=SyntheticTicks(days=days), codes=["MXF"],
                           out_dir=out_dir, workers=1, progress=False)
        seconds = time.process_time() - started
    rows = {(r["fast"], r["slow"]): [bits(r[k]) for k in FIGURES] for r in result.rows.iter_rows(named=True)}
    return seconds, rows


def command(days: int, workers: int) -> float:
    grid = ["--grid", "fast=" + ",".join(map(str, FAST)), "--grid", "slow=" + ",".join(map(str, SLOW[:4]))]
    with tempfile.TemporaryDirectory(prefix="bench-groups-") as out_dir:
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "zopt_kelv_backtest.sweep", *grid, "--codes", "2330,MXF",
                        "--days", str(days), "--workers", str(workers), "--quiet", "--out", out_dir], check=True,
                       stdout=subprocess.DEVNULL)
        return time.perf_counter() - started


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--days", type=int, default=10, help="synthetic trading days (default: 10)")
    p.add_argument("--repeat", type=int, default=2, help="tries of each, best kept (default: 2)")
    p.add_argument("--no-workers", action="store_true", help="skip the 1- and 2-worker commands")
    args = p.parse_args()
    sep_s = grp_s = one_s = two_s = float("inf")
    for _ in range(args.repeat):
        t, sep_rows = separate(args.days)
        sep_s = min(sep_s, t)
        t, grp_rows = grouped(args.days)
        grp_s = min(grp_s, t)
        if sep_rows != grp_rows:
            print("FAIL: grouped rows differ from separate runs", file=sys.stderr)
            return 1
        if not args.no_workers:
            one_s = min(one_s, command(args.days, 1))
            two_s = min(two_s, command(args.days, 2))
    load = os.getloadavg()[0]
    print(f"{args.days} days, load {load:.1f}")
    print(f"| 64 combinations on MXF, one process | 64 x run_backtest {sep_s:.2f} s | run_sweep(workers=1) "
          f"{grp_s:.2f} s | {sep_s / grp_s:.2f}x; figures equal bit for bit |")
    if not args.no_workers:
        print(f"| command, 64 combinations on 2330 and MXF | --workers 1 {one_s:.2f} s | --workers 2 {two_s:.2f} s |"
              f" {one_s / two_s:.2f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
