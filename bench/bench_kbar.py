"""QuoteManager.get_kbar against its literal plain-Python rendering (baseline_kbar.py), same run.

usage: python bench/bench_kbar.py [--quick] [--scale S] [--no-rss]

Scenarios (sizes times --scale; --quick is --scale 0.05):
  (a) first query get_kbar(code, "m", 1) over 1,000,000 stored ticks (+ peak RSS growth, own processes);
  (b) strategy loop: 200,000 ticks, add_tick then get_kbar(code, "m", 1) after every tick;
      the baseline is timed over windows of 1,000 ticks at five points of the stream (its state
      brought there by one full build) and integrated, since its full run would take most of an hour;
  (c) five keys ("m" 1, "m" 5, "h" 1, "d" 1, "w" 1), each queried after every 100 ticks, 1,000,000 ticks;
  (d) repeated query with no new ticks (time per call).
Only get_kbar calls are timed; both sides hold the same stored tick dicts (made by add_tick).
Run with the module importable, e.g. PYTHONPATH=build/<dir>/stage.
"""

import argparse
import gc
import os
import random
import subprocess
import sys
import time
from datetime import datetime, timedelta
from pathlib import Path

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline_kbar  # noqa: E402
import zopt_kelv_backtest.modules.positions.positions as positions  # noqa: E402

CODE = "2330"
KEYS_C = [("m", 1), ("m", 5), ("h", 1), ("d", 1), ("w", 1)]


def records(n, seed=1):
    """Stock ticks 0.5-4 s apart inside 09:00-13:25 of weekdays from 2024-01-02."""
    rng = random.Random(seed)
    t = datetime(2024, 1, 2, 9, 0, 0)
    out = []
    for _ in range(n):
        t += timedelta(seconds=rng.uniform(0.5, 4.0))
        if t.hour >= 13 and t.minute >= 25:
            t = (t + timedelta(days=1)).replace(hour=9, minute=0, second=1)
            while t.weekday() >= 5:
                t += timedelta(days=1)
        out.append({"timestamp": t.timestamp(), "code": CODE, "market_type": "Stock",
                    "close": round(rng.uniform(500, 600), 1), "qty": rng.randint(1, 20), "tick_type": 1,
                    "is_simulate": rng.random() < 0.01})
    return out


def fill(recs):
    """Our QuoteManager after add_tick of every record, and the stored ticks of each call."""
    qm = positions.QuoteManager()
    pending = None
    batches = []
    for r in recs:
        qm.add_tick(r)
        if pending is not qm.ticks[CODE]["ticks"]:
            pending, seen = qm.ticks[CODE]["ticks"], 0
        batches.append(pending[seen:])
        seen = len(pending)
    return qm, batches


def base_with(batches):
    b = baseline_kbar.BaselineQuoteManager()
    for s in batches:
        b.add_stored(s)
    return b


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def row(name, ours, base, unit="s"):
    scale = 1e6 if unit == "us" else 1.0
    print(f"{name:<44} {ours * scale:>12.4f} {base * scale:>12.4f} {base / ours:>9.1f}x  ({unit})", flush=True)


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def mem_child(which, n):
    recs = records(n)
    qm, batches = fill(recs)
    subject = qm if which == "ours" else base_with(batches)
    del recs
    gc.collect()
    before = rss_mb()
    with open("/proc/self/clear_refs", "w") as f:  # restart the peak (VmHWM) from here
        f.write("5")
    subject.get_kbar(CODE, "m", 1)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM")) / 1024
    print(f"{max(peak - before, 0.0):.1f}")


def scenario_a(n, rss):
    recs = records(n)
    qm, batches = fill(recs)
    base = base_with(batches)
    ours = timed(lambda: qm.get_kbar(CODE, "m", 1))
    theirs = timed(lambda: base.get_kbar(CODE, "m", 1))
    row(f"(a) first query, {n:,} ticks", ours, theirs)
    if rss:
        got = {}
        for which in ("ours", "base"):
            out = subprocess.run([sys.executable, __file__, "--mem-child", which, str(n)],
                                 capture_output=True, text=True, check=True)
            got[which] = float(out.stdout.split()[-1])
        print(f"    peak RSS growth during the query: ours {got['ours']:.0f} MB, baseline {got['base']:.0f} MB")


def loop(subject, feed, batches, lo, hi, keys, every):
    total = 0.0
    pc = time.perf_counter
    for i in range(lo, hi):
        feed(i)
        if (i + 1 - lo) % every == 0:
            for unit, freq in keys:
                t = pc()
                subject.get_kbar(CODE, unit, freq)
                total += pc() - t
    return total


def scenario_b(n, window):
    recs = records(n)
    _, batches = fill(recs)  # the stored ticks the baseline is fed
    qm = positions.QuoteManager()
    ours = loop(qm, lambda i: qm.add_tick(recs[i]), batches, 0, n, [("m", 1)], 1)
    # Baseline: windows at five points, integrated over the stream (trapezoid).
    points = sorted({0, n // 4, n // 2, 3 * n // 4, max(n - window, 0)})
    per_tick = []
    for p in points:
        base = base_with(batches[:p])
        if p:
            base.get_kbar(CODE, "m", 1)
        hi = min(p + window, n)
        t = loop(base, lambda i: base.add_stored(batches[i]), batches, p, hi, [("m", 1)], 1)
        per_tick.append((p, t / (hi - p)))
    est = sum((x1 - x0) * (y0 + y1) / 2 for (x0, y0), (x1, y1) in zip(per_tick, per_tick[1:]))
    est += per_tick[-1][1] * (n - per_tick[-1][0])
    row(f"(b) strategy loop, {n:,} ticks (total)", ours, est)
    print(f"    per query: ours {ours / n * 1e6:.1f} us; baseline "
          + ", ".join(f"{y * 1e6:.0f} us @{x:,}" for x, y in per_tick))


def scenario_c(n):
    recs = records(n)
    _, batches = fill(recs)
    qm = positions.QuoteManager()
    ours = loop(qm, lambda i: qm.add_tick(recs[i]), batches, 0, n, KEYS_C, 100)
    base = baseline_kbar.BaselineQuoteManager()
    theirs = loop(base, lambda i: base.add_stored(batches[i]), batches, 0, n, KEYS_C, 100)
    row(f"(c) five keys every 100 ticks, {n:,} ticks", ours, theirs)
    for unit, freq in KEYS_C[:1]:  # the first key drains every batch on both sides: same bars
        a = qm.get_kbar(CODE, unit, freq).sort("dt")
        b = base.get_kbar(CODE, unit, freq).sort("dt")
        assert a.height == b.height, (unit, freq, a.height, b.height)


def scenario_d(n_ticks, calls):
    recs = records(n_ticks)
    qm, batches = fill(recs)
    base = base_with(batches)
    qm.get_kbar(CODE, "m", 1)
    base.get_kbar(CODE, "m", 1)
    ours = timed(lambda: [qm.get_kbar(CODE, "m", 1) for _ in range(calls)]) / calls
    theirs = timed(lambda: [base.get_kbar(CODE, "m", 1) for _ in range(max(calls // 20, 1))]) / max(calls // 20, 1)
    row("(d) repeated query, no new ticks (per call)", ours, theirs, "us")
    # CPU time as well: on a shared machine the wall clock of a 1 us call is mostly waiting.
    def cpu(fn, k):
        t = time.process_time()
        for _ in range(k):
            fn()
        return (time.process_time() - t) / k
    ours_cpu = cpu(lambda: qm.get_kbar(CODE, "m", 1), calls)
    theirs_cpu = cpu(lambda: base.get_kbar(CODE, "m", 1), max(calls // 20, 1))
    row("(d) same, CPU time of the process", ours_cpu, theirs_cpu, "us")


def split(n=30_000):
    """CPU time of a merge query, of a query with nothing new, and of the polars floor of a merge
    (seven Arrow column imports, the frame, one slice, one vstack, the wrapper)."""
    import polars as pl
    from polars._plr import PyDataFrame, PySeries

    recs = records(n)
    qm = positions.QuoteManager()
    cut = 2 * n // 3
    for r in recs[:cut]:
        qm.add_tick(r)
    qm.get_kbar(CODE, "m", 1)
    cpu = time.process_time
    merge = 0.0
    for r in recs[cut:]:
        qm.add_tick(r)
        t = cpu()
        qm.get_kbar(CODE, "m", 1)
        merge += cpu() - t
    t = cpu()
    for _ in range(100_000):
        qm.get_kbar(CODE, "m", 1)
    idle = (cpu() - t) / 100_000
    frame = qm.get_kbar(CODE, "m", 1)
    last = frame.tail(1)

    class Col:
        def __init__(self, arr):
            self.arr = arr

        def __arrow_c_array__(self, requested_schema=None):
            return self.arr.__arrow_c_array__()

    arrays = {name: last[name].to_arrow() for name in frame.columns}

    def floor():
        series = []
        for name in frame.columns:
            s = PySeries.from_arrow_c_array(Col(arrays[name]))
            s.rename(name)
            series.append(s)
        return pl.DataFrame._from_pydf(frame._df.slice(0, frame.height - 1).vstack(PyDataFrame(series)))

    t = cpu()
    for _ in range(5_000):
        floor()
    fl = (cpu() - t) / 5_000
    print(f"split ({frame.height} bars): merge query {merge / (n - cut) * 1e6:.1f} us CPU, "
          f"query with nothing new {idle * 1e6:.2f} us, polars floor of a merge {fl * 1e6:.1f} us "
          "(its column objects built in Python, so a little above ours)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--no-rss", action="store_true")
    ap.add_argument("--only", default="abcds", help="scenarios to run; s is the cost split")
    ap.add_argument("--mem-child", nargs=2)
    args = ap.parse_args()
    if args.mem_child:
        return mem_child(args.mem_child[0], int(args.mem_child[1]))
    s = 0.05 if args.quick else args.scale
    print(f"{'scenario':<44} {'ours':>12} {'baseline':>12} {'ratio':>10}", flush=True)
    if "a" in args.only:
        scenario_a(int(1_000_000 * s), not args.no_rss)
    if "b" in args.only:
        scenario_b(int(200_000 * s), 1000)
    if "c" in args.only:
        scenario_c(int(1_000_000 * s))
    if "d" in args.only:
        scenario_d(int(100_000 * s), 200_000)
    if "s" in args.only:
        split()


if __name__ == "__main__":
    main()
