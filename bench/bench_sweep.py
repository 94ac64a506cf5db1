"""Sweep throughput: 16 combinations on the default synthetic set, in one process and on Dask workers.

usage: python bench/bench_sweep.py [--quick] [--workers N] [--repeat R]

- command, 1 vs N workers: ``python -m zopt_kelv_backtest.sweep --workers 1`` and ``--workers N`` in fresh
  processes, end to end: start-up, the core's import (once in the process, or once in each worker, side
  by side; its report libraries are left unloaded), the embedded LocalCluster's start and stop, the runs,
  the page;
- side by side: N ``--workers 1`` commands at once, each on its share of the grid, without Dask: what N
  processes can give on this machine at best, start-up included;
- warm, 1 vs N workers: ``run_sweep(workers=1)`` in this process with the core imported, and the same sweep
  on an already running N-worker LocalCluster whose workers have imported it (``scheduler=``): the sweeps
  alone, as on a long-lived cluster.

The sweeps take turns ``--repeat`` times (default 2) and each keeps its fastest: the machine is shared, so
the best of a few interleaved tries is the figure least bent by other jobs.

Dask overhead per combination, against the mean run (``run_seconds``, measured on the worker around the
whole run):
- from Dask's task stream of the warm cluster: the idle gap between two runs on a worker (dispatch,
  result report, scheduling) plus what the task held beyond the run (argument unpickling, the call);
- from the wall: (N x wall - sum of the runs' seconds) / runs, which also counts the tail (a worker idle
  while the last runs finish).
Every sweep's rows must equal the serial rows bit for bit (figures), or the bench fails.

Wall-clock figures (``perf_counter``). ``--quick``: a 2-day synthetic set, one try each.
"""

from __future__ import annotations

import argparse
import logging
import os
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
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


def command(ticks: Any, grid: dict[str, list[int]], workers: int, out: str) -> list[str]:
    """The sweep command's argv for `grid` on `ticks`."""
    args = [arg for name, values in grid.items() for arg in ("--grid", f"{name}={','.join(map(str, values))}")]
    return [sys.executable, "-m", "zopt_kelv_backtest.sweep", *args, "--codes", ",".join(CODES),
            "--start", ticks.start.isoformat(), "--days", str(ticks.days), "--seed", str(ticks.seed),
            "--workers", str(workers), "--quiet", "--top", "0", "--out", out]


def timed_commands(ticks: Any, grids: list[dict[str, list[int]]], workers: int) -> tuple[float, Any]:
    """Wall time of one sweep command per grid, run at once in fresh processes, and their rows together."""
    import polars as pl

    with tempfile.TemporaryDirectory(prefix="bench-sweep-") as tmp:
        outs = [os.path.join(tmp, str(i)) for i in range(len(grids))]
        started = time.perf_counter()
        procs = [subprocess.Popen(command(ticks, grid, workers, out), stdout=subprocess.DEVNULL)
                 for grid, out in zip(grids, outs)]
        for proc in procs:
            if proc.wait() != 0:
                raise SystemExit(f"a sweep command failed with status {proc.returncode}")
        wall = time.perf_counter() - started
        return wall, pl.concat([pl.read_parquet(os.path.join(out, "results.parquet")) for out in outs])


def timed_command(ticks: Any, workers: int) -> tuple[float, Any]:
    """Wall time of the sweep command in a fresh process, and its rows."""
    return timed_commands(ticks, [GRID], workers)


def timed_side_by_side(ticks: Any, n: int) -> tuple[float, Any]:
    """`n` ``--workers 1`` commands at once, each on its share of the "fast" values: the most any
    n-process command could get on this machine, without Dask."""
    return timed_commands(ticks, [{**GRID, "fast": GRID["fast"][i::n]} for i in range(n)], 1)


def task_stream_overhead(data: list[dict[str, Any]], run_seconds: float, runs: int) -> tuple[float, float]:
    """(mean idle gap between two runs on a worker, mean time a task held beyond its run), in seconds."""
    computes: dict[str, list[tuple[float, float]]] = {}
    for item in data:
        for step in item["startstops"]:
            if step["action"] == "compute":
                computes.setdefault(item["worker"], []).append((step["start"], step["stop"]))
    gaps: list[float] = []
    for spans in computes.values():
        spans.sort()
        gaps.extend(b[0] - a[1] for a, b in zip(spans, spans[1:]))
    held = sum(stop - start for spans in computes.values() for start, stop in spans)
    return (sum(gaps) / len(gaps) if gaps else 0.0), (held - run_seconds) / runs


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2 trading days instead of the default 10")
    parser.add_argument("--workers", type=int, default=2, help="Dask workers (default: 2)")
    parser.add_argument("--repeat", type=int, default=2, help="interleaved tries of each sweep (default: 2)")
    args = parser.parse_args()
    if args.workers < 2 or args.repeat < 1:
        parser.error("need --workers >= 2 and --repeat >= 1")

    from distributed import Client, LocalCluster, get_task_stream

    cluster_of: Callable[..., Any] = LocalCluster  # distributed's constructors are not annotated
    client_of: Callable[..., Any] = Client

    from zopt_kelv_backtest.backtest import pin_local_time
    from zopt_kelv_backtest.sweep import SyntheticTicks

    pin_local_time()
    ticks = SyntheticTicks(days=2) if args.quick else SyntheticTicks()
    n, repeat = args.workers, 1 if args.quick else args.repeat
    best: dict[str, tuple[float, Any]] = {}
    stream_best: tuple[float, list[dict[str, Any]]] = (float("inf"), [])

    def keep(name: str, wall: float, rows: Any) -> None:
        if name not in best or wall < best[name][0]:
            best[name] = (wall, rows)

    def warm_up() -> None:
        import zopt_kelv_backtest.example  # noqa: F401
        from zopt_kelv_backtest._lazy_imports import import_core

        import_core()  # as a run imports it: the report libraries wait

    warm_up()
    load_before = os.getloadavg()[0]
    for _ in range(repeat):
        keep("command 1", *timed_command(ticks, 1))
        keep(f"command {n}", *timed_command(ticks, n))
        keep(f"side by side {n}", *timed_side_by_side(ticks, n))
        wall, result = timed_sweep(ticks, workers=1)
        keep("warm 1", wall, result.rows)
        with cluster_of(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address=None, silence_logs=logging.ERROR,
                        env={"TZ": "Asia/Taipei"}) as cluster, client_of(cluster) as client:
            client.run(warm_up)
            with get_task_stream(client=client) as stream:
                wall, result = timed_sweep(ticks, scheduler=cluster.scheduler_address)
        keep(f"warm {n}", wall, result.rows)
        if wall < stream_best[0]:
            stream_best = (wall, stream.data)
    load_after = os.getloadavg()[0]

    reference = figures(best["warm 1"][1])
    for name, (_, rows) in best.items():
        if figures(rows) != reference:
            print(f"FAIL: the rows of '{name}' differ from the serial rows", file=sys.stderr)
            return 1

    print_table(best, stream_best[1], ticks, n, repeat, (load_before, load_after))
    return 0


def print_table(best: dict[str, tuple[float, Any]], stream: list[dict[str, Any]], ticks: Any, n: int, repeat: int,
                load: tuple[float, float]) -> None:
    """The bench's Markdown table and the warm cluster's Dask overhead."""
    load_before, load_after = load
    runs = best["warm 1"][1].height
    print(f"{runs} combinations, {ticks.describe()}, best of {repeat} interleaved tries; every sweep's rows "
          f"equal the serial rows bit for bit; load average {load_before:.1f} before, {load_after:.1f} after")
    print("| sweep | wall s | speed-up | sum of run s | mean run s | (workers x wall - runs) per run |")
    print("|---|---|---|---|---|---|")
    table = [("command 1", "command 1", 1, "python -m zopt_kelv_backtest.sweep --workers 1 (fresh process)"),
             (f"command {n}", "command 1", n, f"python -m zopt_kelv_backtest.sweep --workers {n} (fresh process)"),
             (f"side by side {n}", "command 1", n,
              f"{n} `--workers 1` commands side by side, a share of the grid each (no Dask)"),
             ("warm 1", "warm 1", 1, "warm: 1 worker(s), core imported"),
             (f"warm {n}", "warm 1", n, f"warm: {n} worker(s), core imported")]
    for key, base_key, workers, label in table:
        base = best[base_key][0]
        wall, rows = best[key]
        total = float(rows["run_seconds"].sum())
        mean = total / runs
        idle = (workers * wall - total) / runs
        print(f"| {label} | {wall:.2f} | {base / wall:.2f}x | {total:.2f} | {mean:.3f} | "
              f"{idle:.3f} s ({idle / mean:.1%}) |")

    total = float(best[f"warm {n}"][1]["run_seconds"].sum())
    gap, beyond = task_stream_overhead(stream, total, runs)
    mean = total / runs
    print(f"warm cluster, Dask's task stream: gap between runs on a worker {gap * 1000:.1f} ms, task beyond "
          f"its run {beyond * 1000:.1f} ms; Dask overhead per combination {(gap + beyond) * 1000:.1f} ms = "
          f"{(gap + beyond) / mean:.2%} of the mean run ({mean:.3f} s)")


if __name__ == "__main__":
    sys.exit(main())
