"""The synthetic tick set: the package's vectorised generator against a per-tick one in plain Python.

usage: python bench/bench_synthetic.py [--quick]

Both make the default set (10 trading days from 2024-02-01, seed 7, products 2330, 0050 and MXF) as a
list of tick records; the per-tick generator (Python's `random`, one tick at a time, the baseline) is
below, in this script only. Wall clock, best of 3 rounds (the two taking turns, each after a full collection); also the 100-day set, and the
peak memory (tracemalloc) of streaming `iter_ticks` against holding the list.
"""

from __future__ import annotations

import argparse
import gc
import math
import random
import sys
import time
import tracemalloc
from datetime import date, datetime, timedelta
from datetime import time as dtime

from zopt_kelv_backtest import synthetic
from zopt_kelv_backtest.synthetic import DEFAULT_PRODUCTS, TICK_TYPE_BUY, TICK_TYPE_SELL, _sessions, trading_days

# --- the baseline: one tick at a time with Python's random ---------------------------------------


def old_tick_size(code, market_type, price):
    if market_type == "Future":
        return 1.0
    if code.startswith("00") and price < 1000:
        return 0.01 if price < 50 else 0.05
    for limit, step in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < limit:
            return step
    return 5.0


def old_on_grid(code, market_type, price):
    step = old_tick_size(code, market_type, price)
    return round(round(price / step) * step, 2)


def old_intensity(fraction):
    return 0.6 + 4.0 * (fraction - 0.5) ** 2 + 1.3 * math.exp(-fraction * 40)


def old_poisson(rng, mean):
    limit, k, p = math.exp(-mean), 0, 1.0
    while True:
        p *= rng.random()
        if p <= limit:
            return k
        k += 1


def old_epoch(naive_taipei):
    return naive_taipei.replace(tzinfo=synthetic.TAIPEI).timestamp()


def old_generate_ticks(start=date(2024, 2, 1), days=10, seed=7, products=DEFAULT_PRODUCTS, holidays=None):
    rng = random.Random(seed)
    schedule = trading_days(start, days, holidays)
    closed = synthetic.load_holidays() if holidays is None else holidays
    out = []
    for n, product in enumerate(products):
        prng = random.Random(rng.randrange(2**32) + n)
        price = old_on_grid(product.code, product.market_type, product.start_price)
        for day in schedule:
            for begin, end in _sessions(product, day, closed):  # the package's session hours
                minutes = int((end - begin).total_seconds() // 60)
                for i in range(minutes):
                    minute = begin + timedelta(minutes=i)
                    count = old_poisson(prng, product.ticks_per_minute * old_intensity(i / minutes))
                    for second in sorted(prng.uniform(0, 60) for _ in range(count)):
                        step = old_tick_size(product.code, product.market_type, price)
                        move = round(prng.gauss(0, product.volatility))
                        price = old_on_grid(product.code, product.market_type, max(step, price + move * step))
                        qty = max(1, int(prng.expovariate(1 / (3 if product.market_type == "Stock" else 2))))
                        when = minute + timedelta(seconds=round(second, 3))
                        kind = TICK_TYPE_BUY if move >= 0 else TICK_TYPE_SELL
                        out.append((old_epoch(when), n, product, price, qty, kind))
            if product.market_type == "Stock":
                close_at = datetime.combine(day, dtime(13, 30))
                qty = max(1, int(prng.expovariate(1 / 40)))
                out.append((old_epoch(close_at), n, product, price, qty, TICK_TYPE_BUY))
    out.sort(key=lambda t: (t[0], t[1]))
    return [
        {"timestamp": ts, "code": p.code, "market_type": p.market_type, "close": px, "qty": qty, "tick_type": kind,
         "is_simulate": False}
        for ts, _, p, px, qty, kind in out
    ]  # fmt: skip


# --- measurement ----------------------------------------------------------------------------------


def timed(fn):
    """Seconds `fn` takes and the length of its list, the list dropped before returning."""
    gc.collect()
    t0 = time.perf_counter()
    n = len(fn())
    return time.perf_counter() - t0, n


def peak(fn):
    tracemalloc.start()
    fn()
    size = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return size


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="one round, no 100-day set")
    args = ap.parse_args()
    rounds = 1 if args.quick else 3
    trading_days(date(2024, 2, 1), 1)  # warm the calendar's file cache
    print(f"{'set':<28} {'ticks':>8} {'earlier s':>10} {'now s':>8} {'speed-up':>9}")
    sizes = [10] if args.quick else [10, 100]
    for days in sizes:
        old_t, new_t, n = [], [], 0
        for _ in range(rounds):
            t, _ = timed(lambda: old_generate_ticks(days=days))
            old_t.append(t)
            t, n = timed(lambda: synthetic.generate_ticks(days=days))
            new_t.append(t)
        print(f"{f'{days} days, seed 7':<28} {n:>8} {min(old_t):>10.3f} {min(new_t):>8.3f} {min(old_t) / min(new_t):>8.1f}x")
    days = sizes[-1]
    streamed = peak(lambda: sum(1 for _ in synthetic.iter_ticks(days=days)))
    held = peak(lambda: synthetic.generate_ticks(days=days))
    print(f"peak memory, {days} days: iter_ticks streamed {streamed / 2**20:.1f} MiB, "
          f"generate_ticks list {held / 2**20:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
