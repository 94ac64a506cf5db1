"""QuoteManager.add_tick against its plain-Python rendering (baseline_ticks.py), same run.

usage: python bench/bench_add_tick.py [--quick] [--ticks N] [--repeat R] [--no-rss] [--wall]

Scenarios:
  (a) continuous: N stock and futures ticks (default 1,000,000) spread over the trading hours of
      5 trading days (Wed-Tue, a weekend between; futures night sessions included), evenly jittered;
  (b) sparse: one tick every 1-10 minutes inside trading hours, Jan-Mar 2024 (weekends and the
      lunar new year closure between), so most time goes into long gaps.
Also prints the floor (the same stored dicts and datetimes built by a C++ loop with no rule;
tick_floor.cpp) and the peak RSS of (a) in separate processes.
Run with the module importable, e.g. PYTHONPATH=build/<dir>/stage.
"""

import argparse
import gc
import os
import random
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time
from array import array
from datetime import date, datetime, timedelta
from pathlib import Path

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline_ticks  # noqa: E402
import zopt_kelv_backtest.modules.positions.positions as positions  # noqa: E402

SESSIONS = {  # market -> list of (start, end) as (hour, minute) offsets from the trading day
    "Stock": [((9, 0), (13, 30))],
    "Future": [((8, 45), (13, 45)), ((15, 0), (29, 0))],  # night session ends 05:00 next day
}
CODES = [("2330", "Stock"), ("TXFR1", "Future")]
# CPU time of this process: on a shared machine wall time mostly measures the neighbours.
# --wall switches to time.perf_counter.
CLOCK = time.process_time


def trading_days(first, last, closed):
    d = first
    while d <= last:
        if d.weekday() < 5 and d.strftime("%Y-%m-%d") not in closed:
            yield d
        d += timedelta(days=1)


def session_bounds(day, market):
    base = datetime(day.year, day.month, day.day).timestamp()
    for (h0, m0), (h1, m1) in SESSIONS[market]:
        yield base + h0 * 3600 + m0 * 60, base + h1 * 3600 + m1 * 60


def stamps(days, market, spacing, rng):
    """Timestamps inside the sessions, `spacing` (lo, hi) seconds apart."""
    out = array("d")
    lo, hi = spacing
    for day in days:
        for start, end in session_bounds(day, market):
            t = start + rng.uniform(0, hi)
            while t <= end:
                out.append(t)
                t += rng.uniform(lo, hi)
    return out


def merged(days, spacing, seed):
    rng = random.Random(seed)
    streams = [(code, market, stamps(days, market, spacing, rng)) for code, market in CODES]
    order = sorted(((ts, k) for k, (_, _, arr) in enumerate(streams) for ts in arr))
    return order, streams


def tick_dicts(order, streams, seed):
    rng = random.Random(seed + 1)
    price = [600.0, 17000.0]
    for ts, k in order:
        code, market, _ = streams[k]
        price[k] = round(price[k] + rng.choice((-1.0, 0.0, 1.0)), 2)
        yield {"timestamp": ts, "code": code, "market_type": market, "close": price[k],
               "qty": rng.randint(1, 10), "tick_type": rng.choice((1, 2)), "is_simulate": False}


def continuous_stream(n, seed=7):
    closed = baseline_ticks.QuoteManager().holiday_search_set
    days = list(trading_days(date(2024, 5, 8), date(2024, 5, 14), closed))
    open_seconds = sum(end - start for day in days for _, m in CODES for start, end in session_bounds(day, m))
    mean = open_seconds / n
    order, streams = merged(days, (0.5 * mean, 1.5 * mean), seed)
    return order[:n], streams, mean


def sparse_stream(seed=11):
    closed = baseline_ticks.QuoteManager().holiday_search_set
    days = list(trading_days(date(2024, 1, 2), date(2024, 3, 29), closed))
    return merged(days, (60.0, 600.0), seed)


def load_floor():
    src = HERE / "tick_floor.cpp"
    out_dir = Path(tempfile.gettempdir()) / f"zk_bench_{os.getuid()}"
    out_dir.mkdir(exist_ok=True)
    so = out_dir / f"tick_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    core = HERE.parent / "src/zopt_kelv_backtest/modules/positions/core"
    inputs = [src, core / "local_clock.hpp", core / "civil_time.hpp"]
    if not so.exists() or so.stat().st_mtime < max(p.stat().st_mtime for p in inputs):
        cxx = os.environ.get("CXX", "g++")
        subprocess.run([cxx, "-O2", "-std=c++20", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                        "-I", str(HERE.parent / "src/zopt_kelv_backtest/modules/positions"),
                        str(src), "-o", str(so)], check=True)
    import importlib.util
    spec = importlib.util.spec_from_file_location("tick_floor", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def time_adds(cls, ticks):
    q = cls()
    add = q.add_tick
    t0 = CLOCK()
    for t in ticks:
        add(t)
    return CLOCK() - t0, q


def time_floor(floor, ticks):
    t0 = CLOCK()
    out = floor.build(ticks)
    return CLOCK() - t0, out


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        result = None  # drop the previous run's store before the next one
        gc.collect()
        dt, result = fn()
        times.append(dt)
    return min(times), result


def same_store(a, b):
    return a.keys() == b.keys() and all(
        [list(t.items()) for t in a[c]["ticks"]] == [list(t.items()) for t in b[c]["ticks"]] for c in a)


def lean_order(streams, n):
    """The merged (timestamp, stream) order as a generator over the stamp arrays."""
    import heapq
    from itertools import islice
    its = [((ts, k) for ts in arr) for k, (_, _, arr) in enumerate(streams)]
    return islice(heapq.merge(*its), n)


def peak_rss_kib():
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's peak across exec.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_child(which, n):
    closed = baseline_ticks.QuoteManager().holiday_search_set
    days = list(trading_days(date(2024, 5, 8), date(2024, 5, 14), closed))
    open_seconds = sum(end - start for day in days for _, m in CODES for start, end in session_bounds(day, m))
    mean = open_seconds / n
    rng = random.Random(7)
    streams = [(code, market, stamps(days, market, (0.5 * mean, 1.5 * mean), rng)) for code, market in CODES]
    q = positions.QuoteManager() if which == "ours" else baseline_ticks.QuoteManager()
    gc.collect()
    before = peak_rss_kib()
    for t in tick_dicts(lean_order(streams, n), streams, 7):
        q.add_tick(t)
    after = peak_rss_kib()
    stored = sum(len(s["ticks"]) for s in q.ticks.values())
    print(before, after, stored)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="200,000 ticks, no RSS runs")
    ap.add_argument("--ticks", type=int, default=None)
    ap.add_argument("--repeat", type=int, default=None)
    ap.add_argument("--no-rss", action="store_true")
    ap.add_argument("--wall", action="store_true", help="time with perf_counter instead of CPU time")
    ap.add_argument("--rss-child", nargs=2, metavar=("WHICH", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        rss_child(args.rss_child[0], int(args.rss_child[1]))
        return
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter
    n = args.ticks or (200_000 if args.quick else 1_000_000)
    repeat = args.repeat or (3 if args.quick else 2)

    floor = load_floor()
    order, streams, mean = continuous_stream(n)
    ticks = list(tick_dicts(order, streams, 7))
    print(f"(a) continuous: {len(ticks):,} ticks over 5 trading days, mean spacing {mean:.2f} s per code; "
          f"best of {repeat}, {'wall' if args.wall else 'CPU'} time")
    ours, q_ours = best(lambda: time_adds(positions.QuoteManager, ticks), repeat)
    base, q_base = best(lambda: time_adds(baseline_ticks.QuoteManager, ticks), repeat)
    flo, _ = best(lambda: time_floor(floor, ticks), repeat)
    ok = same_store(q_ours.ticks, q_base.ticks)
    q_ours = q_base = None
    per = lambda s: s / len(ticks) * 1e9  # noqa: E731
    print(f"    ours {per(ours):8.1f} ns/tick   baseline {per(base):8.1f} ns/tick   "
          f"speed-up {base / ours:5.1f}x   floor {per(flo):6.1f} ns/tick   ours/floor {ours / flo:4.2f}x   "
          f"same output: {ok}")
    ticks = None

    order, streams = sparse_stream()
    sparse = list(tick_dicts(order, streams, 11))
    ours, q_ours = best(lambda: time_adds(positions.QuoteManager, sparse), max(repeat, 3))
    base, q_base = best(lambda: time_adds(baseline_ticks.QuoteManager, sparse), max(repeat, 3))
    virtual = sum(t["is_virtual"] for s in q_ours.ticks.values() for t in s["ticks"])
    ok = same_store(q_ours.ticks, q_base.ticks)
    per = lambda s: s / len(sparse) * 1e6  # noqa: E731
    print(f"(b) sparse: {len(sparse):,} ticks Jan-Mar 2024, {virtual:,} virtual ticks made")
    print(f"    ours {per(ours):8.2f} us/tick   baseline {per(base):8.2f} us/tick   "
          f"speed-up {base / ours:5.1f}x   same output: {ok}")

    if args.quick or args.no_rss:
        return
    print(f"peak RSS after (a), separate processes, {n:,} ticks (both import the same modules):")
    for which in ("ours", "baseline"):
        out = subprocess.run([sys.executable, __file__, "--rss-child", which, str(n)], check=True,
                             capture_output=True, text=True).stdout.split()
        before, after, stored = map(int, out)
        print(f"    {which:8s} peak {after / 1024:7.1f} MiB   (grew {(after - before) / 1024:7.1f} MiB "
              f"while storing {stored:,} ticks)")


if __name__ == "__main__":
    main()
