"""Trade cost and tick ladder: native methods against the plain-Python rendering.

usage: python bench/bench_costs.py [--quick]
Each case is called through the instance as a caller would; prints time per
call for both, and the ratio (baseline / native), measured in the same run.
"""

import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline_costs  # noqa: E402
from zopt_kelv_backtest.modules.positions.positions import Positions  # noqa: E402

CASES = [
    ("trade cost, stock cover buy", "_Positions__calculate_trade_cost", ("2330", "Buy", 587.3, 2, "Stock"), {}),
    ("trade cost, stock entry sell", "_Positions__calculate_trade_cost", ("2330", "Sell", 100.0, 1, "Stock"),
     dict(ignore_tax=True, is_cover=False)),
    ("trade cost, futures cover", "_Positions__calculate_trade_cost", ("TXFA4", "Buy", 17321.0, 1, "Future"), {}),
    ("slippage, 3 ticks down", "_Positions__calculate_slippage_price", ("2330", 100.0, 3, "down"), {}),
    ("ceil price by tick", "_Positions__ceil_price_by_tick", ("0050", 120.02), {}),
]


def per_call_pair(native, base, args, kw, repeat, chunk=0.004):
    """Best time per call of each. The two are timed in alternation, in chunks
    of about the same wall time, so a loaded machine weighs on both alike."""
    tn = timeit.Timer(lambda: native(*args, **kw))
    tb = timeit.Timer(lambda: base(*args, **kw))
    nn = max(50, int(chunk / (tn.timeit(200) / 200)))
    nb = max(50, int(chunk / (tb.timeit(200) / 200)))
    best_n = best_b = float("inf")
    for _ in range(repeat):
        best_n = min(best_n, tn.timeit(nn) / nn)
        best_b = min(best_b, tb.timeit(nb) / nb)
    return best_n, best_b


def main():
    quick = "--quick" in sys.argv
    repeat = 10 if quick else 100
    native, base = Positions(), baseline_costs.Positions()
    print(f"{'case':32} {'native':>10} {'baseline':>10} {'ratio':>7}")
    for label, name, args, kw in CASES:
        n_fn, b_fn = getattr(native, name), getattr(base, name)
        assert n_fn(*args, **kw) == b_fn(*args, **kw), label
        t_native, t_base = per_call_pair(n_fn, b_fn, args, kw, repeat)
        print(f"{label:32} {t_native * 1e9:8.0f}ns {t_base * 1e9:8.0f}ns {t_base / t_native:6.1f}x")


if __name__ == "__main__":
    main()
