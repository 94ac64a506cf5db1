"""Indicators: cost of one update from Python, and compute() against plain Python.

usage: python bench/bench_indicators.py [--quick]

update: a loop `for x in xs: update(x)` over a prepared list of floats (update
bound once, as a strategy holding the indicator would call it), best of several
runs, per call; "net" subtracts the same loop (same unpacking of the row)
calling the trivial builtin abs() on the row's first value, which like update
returns a new float; for two and three arguments the net keeps the cost of
passing the extra ones, so it errs high. compute: the whole series at once against the
plain-Python rendering of the same algorithm (baseline_indicators.py) fed value
by value, in the same run. Times are CPU time of the process: the machine is
shared, and wall time there measures the neighbours.
"""

import math
import random
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import baseline_indicators as base  # noqa: E402
from zopt_kelv_backtest import indicators as ind  # noqa: E402

Row = tuple[float, ...]

# name, native instance, baseline instance, arity (1: price, 2: pair, 3: bar)
CASES: list[tuple[str, Callable[[], Any], Callable[[], Any], int]] = [
    ("SMA(20)", lambda: ind.SMA(20), lambda: base.SMA(20), 1),
    ("EMA(20)", lambda: ind.EMA(20), lambda: base.EMA(20), 1),
    ("RSI(14)", lambda: ind.RSI(14), lambda: base.RSI(14), 1),
    ("ATR(14)", lambda: ind.ATR(14), lambda: base.ATR(14), 3),
    ("Bollinger(20, 2)", lambda: ind.Bollinger(20, 2.0), lambda: base.Bollinger(20, 2.0), 1),
    ("MACD(12, 26, 9)", lambda: ind.MACD(), lambda: base.MACD(), 1),
    ("CrossOver", lambda: ind.CrossOver(), lambda: base.CrossOver(), 2),
]


def prices(size: int) -> list[float]:
    """A random walk in 0.5 steps around 580, often flat."""
    rng, p, out = random.Random(1), 580.0, []
    for _ in range(size):
        p = max(1.0, p + 0.5 * rng.choice((-2, -1, 0, 0, 0, 1, 2)))
        out.append(p)
    return out


def loop1(call: Callable[[float], object], xs: Sequence[float]) -> float:
    start = time.process_time_ns()
    for x in xs:
        call(x)
    return time.process_time_ns() - start


def loop2(call: Callable[[float, float], object], rows: Sequence[Row]) -> float:
    start = time.process_time_ns()
    for a, b in rows:
        call(a, b)
    return time.process_time_ns() - start


def loop3(call: Callable[[float, float, float], object], rows: Sequence[Row]) -> float:
    start = time.process_time_ns()
    for h, l, c in rows:
        call(h, l, c)
    return time.process_time_ns() - start


def empty2(call: Callable[[float], object], rows: Sequence[Row]) -> float:
    start = time.process_time_ns()
    for a, b in rows:
        call(a)
    return time.process_time_ns() - start


def empty3(call: Callable[[float], object], rows: Sequence[Row]) -> float:
    start = time.process_time_ns()
    for h, l, c in rows:
        call(h)
    return time.process_time_ns() - start


def best_per_call(loop: Callable[[Any, Any], float], call: Callable[..., object], data: Sequence[Any],
                  repeat: int) -> float:
    return min(loop(call, data) for _ in range(repeat)) / len(data)


def main() -> None:
    quick = "--quick" in sys.argv
    size, repeat = (50_000, 3) if quick else (200_000, 7)
    xs = prices(size)
    bars = [(max(a, b), min(a, b), b) for a, b in zip(xs, xs[1:] + xs[:1])]
    pairs = list(zip(xs, xs[20:] + xs[:20]))
    data: dict[int, Sequence[Any]] = {1: xs, 2: pairs, 3: bars}
    loops: dict[int, Callable[[Any, Any], float]] = {1: loop1, 2: loop2, 3: loop3}
    empty = {1: best_per_call(loop1, abs, xs, repeat), 2: best_per_call(empty2, abs, pairs, repeat),
             3: best_per_call(empty3, abs, bars, repeat)}
    columns = {1: (np.array(xs),), 2: tuple(np.array(c) for c in zip(*pairs)),
               3: tuple(np.array(c) for c in zip(*bars))}
    print(f"{size:,} values, best of {repeat}, CPU time; empty loop calling abs() on 1, 2, 3 values a row: "
          f"{empty[1]:.0f}, {empty[2]:.0f}, {empty[3]:.0f} ns per call")
    print(f"{'indicator':18} {'update raw':>11} {'net':>8} {'compute':>12} {'plain Python':>13} {'ratio':>7}")
    for name, make, make_base, arity in CASES:
        raw = best_per_call(loops[arity], make().update, data[arity], repeat)
        cols = columns[arity]
        t_compute = math.inf
        for _ in range(repeat):
            start = time.process_time_ns()
            got = make().compute(*cols)
            t_compute = min(t_compute, (time.process_time_ns() - start) / size)
        t_base = best_per_call(loops[arity], make_base().update, data[arity], max(2, repeat // 3))
        # the two agree (the baseline's plain sums drift a little, hence the loose check)
        last = make_base()
        for row in data[arity]:
            value = last.update(*row) if arity > 1 else last.update(row)
        mine = got[-1] if not isinstance(got, tuple) else tuple(g[-1] for g in got)
        assert np.allclose(mine, value, rtol=1e-6, equal_nan=True), (name, mine, value)
        print(f"{name:18} {raw:9.0f}ns {raw - empty[arity]:6.0f}ns {t_compute:8.1f}ns/v {t_base:9.0f}ns/v "
              f"{t_base / t_compute:6.0f}x")
    print(f"target: update net <= 300 ns; Python {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
