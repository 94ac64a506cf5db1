"""Sweep throughput: 16 combinations on the default synthetic set, in this process and on 2 Dask workers.

usage: python bench/bench_sweep.py [--quick] [--workers N]

- serial: ``run_sweep(workers=1)``, every run in this process, no Dask;
- embedded: ``run_sweep(workers=N)``, the wall time including the start of its LocalCluster;
- warm cluster: the same sweep on an already running N-worker LocalCluster (``scheduler=``), the wall
  time of the sweep alone.

Dask overhead per combination, against the mean run (``run_seconds``, measured on the worker around the
run itself):
- from Dask's task stream of the warm cluster: the idle gap between two runs on a worker (dispatch,
  result report, scheduling) plus what the task held beyond the run (argument unpickling, the call);
- from the driver's wall: (N x wall - sum of the runs' seconds) / runs, which also counts the tail (a
  worker idle while the last runs finish) and, for the embedded cluster, its start.
Every sweep's rows must equal the serial rows bit for bit (figures), or the bench fails.

Wall-clock figures (``perf_counter``); all from the same run. ``--quick``: a 2-day synthetic set.
"""

from __future__ import annotations

import argparse
import struct
import sys
import tempfile
import time
from typing import Any

GRID = {"fast": [5, 10, 15, 20], "slow": [30, 60]}
CODES = ["2330", "MXF"]  # 4 x 2 x 2 = 16 combinations


def figures(rows: Any) -> list[tuple[Any, ...]]:
    from zopt_kelv_backtest.sweep import FIGURES

    out = []
    for row in rows.sort("combination").iter_rows(named=True):
        out.append((row["combination"], row["error"],
                    *(struct.pack("<d", row[f]) if isinstance(row[f], float) else row[f] for f in FIGURES)))
    return out


def timed_sweep(ticks: Any, **kwargs: Any) -> tuple[float, Any]:
    from zopt_kelv_backtest.sweep import run_sweep

    with tempfile.TemporaryDirectory(prefix="bench-sweep-") as out:
        started = time.perf_counter()
        result = run_sweep(grid=GRID, ticks=ticks, codes=CODES, out_dir=out, progress=False, **kwargs)
        return time.perf_counter() - started, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2 trading days instead of the default 10")
    parser.add_argument("--workers", type=int, default=2, help="Dask workers (default: 2)")
    args = parser.parse_args()

    import logging

    import os

    from distributed import Client, LocalCluster, get_task_stream

    from zopt_kelv_backtest.backtest import pin_local_time
    from zopt_kelv_backtest.sweep import SyntheticTicks

    pin_local_time()
    ticks = SyntheticTicks(days=2) if args.quick else SyntheticTicks()
    n = args.workers

    load_before = os.getloadavg()[0]
    serial_s, serial = timed_sweep(ticks, workers=1)
    embedded_s, embedded = timed_sweep(ticks, workers=n)
    with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.ERROR, env={"TZ": "Asia/Taipei"}) as cluster, \
            Client(cluster) as client:
        with get_task_stream(client=client) as stream:
            warm_s, warm = timed_sweep(ticks, scheduler=cluster.scheduler_address)
    load_after = os.getloadavg()[0]

    reference = figures(serial.rows)
    for name, result in (("embedded", embedded), ("warm cluster", warm)):
        if figures(result.rows) != reference:
            print(f"FAIL: {name} rows differ from the serial rows", file=sys.stderr)
            return 1

    runs = serial.rows.height
    print(f"{runs} combinations, {ticks.describe()}, {n} workers; rows equal to the serial rows bit for bit; "
          f"load average {load_before:.1f} before, {load_after:.1f} after")
    print(f"| sweep | wall s | speed-up vs serial | sum of run s | mean run s | overhead per run |")
    print(f"|---|---|---|---|---|---|")
    for name, wall, result, workers in (("serial (in process)", serial_s, serial, 1),
                                        (f"{n} workers, embedded cluster", embedded_s, embedded, n),
                                        (f"{n} workers, warm cluster", warm_s, warm, n)):
        total = float(result.rows["run_seconds"].sum())
        mean = total / runs
        overhead = (workers * wall - total) / runs
        print(f"| {name} | {wall:.2f} | {serial_s / wall:.2f}x | {total:.2f} | {mean:.3f} | "
              f"{overhead:.3f} s ({overhead / mean:.1%}) |")

    # The warm cluster's task stream: per worker, runs in start order.
    computes: dict[str, list[tuple[float, float]]] = {}
    for item in stream.data:
        for step in item["startstops"]:
            if step["action"] == "compute":
                computes.setdefault(item["worker"], []).append((step["start"], step["stop"]))
    gaps = [b[0] - a[1] for spans in computes.values() for a, b in zip(sorted(spans), sorted(spans)[1:])]
    held = sum(stop - start for spans in computes.values() for start, stop in spans)
    total = float(warm.rows["run_seconds"].sum())
    mean = total / runs
    beyond = (held - total) / runs
    gap = sum(gaps) / len(gaps) if gaps else 0.0
    print(f"warm cluster, task stream: {sum(map(len, computes.values()))} tasks on {len(computes)} workers; "
          f"gap between runs {gap * 1000:.1f} ms, task beyond its run {beyond * 1000:.1f} ms; Dask overhead "
          f"per combination {(gap + beyond) * 1000:.1f} ms = {(gap + beyond) / mean:.2%} of the mean run "
          f"({mean:.3f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
