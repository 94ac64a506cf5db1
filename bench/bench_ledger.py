"""Position book and position queries: native against the plain-Python rendering.

usage: python bench/bench_ledger.py [--quick] [--profile] [--no-gc]
(a) 100,000 fills (50,000 with --quick) alternating opens and partial covers
    across 50 codes, console replaced by a no-op;
(b) fetch_positions summaries and details over 1,000 open lots (then
    pop_positions), console a no-op.
--no-gc turns the cyclic garbage collector off for both sides (its passes
over the growing rows and lots weigh on both alike). Prints time per call for both, and the ratio (baseline / native), measured in
the same run; the two sides alternate so a loaded machine weighs on both.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline_ledger  # noqa: E402
import zopt_kelv_backtest.modules.positions.positions as native_mod  # noqa: E402


class NoConsole:
    def print(self, text):
        pass


CODES = [f"{2300 + i}" for i in range(45)] + ["TXF", "MXF", "ZZF", "YYF", "XXF"]


def ptype(code):
    return "Future" if code.endswith("F") else "Stock"


def make_fills(n):
    """Per code: open 2, cover 1 (partial), open 2, cover 1, ... so every
    cover is a partial cover of the oldest lot and the book stays small."""
    fills = []
    for i in range(n):
        code = CODES[i % len(CODES)]
        rnd = i // len(CODES)
        opening = rnd % 2 == 0
        base = 17000.0 if ptype(code) == "Future" else 100.0
        fills.append({
            "code": code,
            "action": "Buy" if opening else "Sell",
            "price": base + (i % 7) * (5 if base > 1000 else 0.5),
            "quantity": 2 if opening else 1,
            "exchange_ts": 1_700_000_000.0 + i,
            "product_type": ptype(code),
            "trade_id": f"T{i}",
        })  # fmt: skip
    return fills


def run_fills(cls, fills):
    p = cls()
    sp = p.set_positions
    t0 = time.perf_counter()
    for f in fills:
        sp(f, f["product_type"])
    return time.perf_counter() - t0, p


def book_with_lots(cls, lots_per_code=20):
    p = cls()
    for i in range(lots_per_code * len(CODES)):
        code = CODES[i % len(CODES)]
        side = "Buy" if CODES.index(code) % 2 else "Sell"  # one side per code: nothing covers
        p.set_positions({"code": code, "action": side, "price": 100 + i % 11 + (i % 4) * 0.25,
                         "quantity": 1 + i % 3, "exchange_ts": 1.0 + i, "product_type": ptype(code),
                         "trade_id": f"T{i}"}, ptype(code))  # fmt: skip
    for code in CODES:
        p.set_current_tick({"code": code, "close": 103.5})
    return p


def time_fetch(p, account, detail, n):
    fetch, pop = p.fetch_positions, p.pop_positions
    t0 = time.perf_counter()
    for _ in range(n):
        fetch(account, detail)
        pop()
    return (time.perf_counter() - t0) / n


def best_pair(fn_native, fn_base, repeat):
    bn = bb = float("inf")
    for _ in range(repeat):
        bn = min(bn, fn_native())
        bb = min(bb, fn_base())
    return bn, bb


def main():
    quick = "--quick" in sys.argv
    if "--no-gc" in sys.argv:
        import gc

        gc.disable()
    native_mod.console = baseline_ledger.console = NoConsole()
    n = 50_000 if quick else 100_000
    fills = make_fills(n)

    # Both renderings must agree before their times mean anything.
    _, pn = run_fills(native_mod.Positions, fills[:5000])
    _, pb = run_fills(baseline_ledger.Positions, fills[:5000])
    assert repr(pn.positions) == repr(pb.positions) and repr(pn._profit_report) == repr(pb._profit_report)
    assert pn.current_capital == pb.current_capital and pn._account_infos == pb._account_infos

    if "--profile" in sys.argv:
        import cProfile
        import pstats

        cProfile.runctx("run_fills(native_mod.Positions, fills)", globals(), locals(), "/tmp/ledger.prof")
        pstats.Stats("/tmp/ledger.prof").sort_stats("tottime").print_stats(8)
        return

    print(f"{'case':40} {'native':>10} {'baseline':>10} {'ratio':>7}")
    repeat = 2 if quick else 3
    tn, tb = best_pair(lambda: run_fills(native_mod.Positions, fills)[0],
                       lambda: run_fills(baseline_ledger.Positions, fills)[0], repeat)  # fmt: skip
    print(f"{f'set_positions, {n:,} fills / 50 codes':40} {tn / n * 1e6:8.2f}us {tb / n * 1e6:8.2f}us {tb / tn:6.1f}x")

    pn, pb = book_with_lots(native_mod.Positions), book_with_lots(baseline_ledger.Positions)
    lots = sum(len(s) for b in pn.positions.values() for s in b.values())
    for account in ("Stock", "Future"):
        for detail in (False, True):
            pn.fetch_positions(account, detail)
            pb.fetch_positions(account, detail)
            assert repr(pn.pop_positions()).replace("<OrderCond.CASH: 'Cash'>", "C") == repr(
                pb.pop_positions()
            ).replace("<OrderCond.CASH: 'Cash'>", "C")
    reps = 20 if quick else 100
    for detail in (False, True):
        tn = tb = 0.0
        for account in ("Stock", "Future"):
            a, b = best_pair(lambda: time_fetch(pn, account, detail, reps),
                             lambda: time_fetch(pb, account, detail, reps), 5)  # fmt: skip
            tn, tb = tn + a, tb + b
        label = f"fetch_positions {'details' if detail else 'summaries'}, {lots:,} lots"
        print(f"{label:40} {tn * 1e6:8.1f}us {tb * 1e6:8.1f}us {tb / tn:6.1f}x")


if __name__ == "__main__":
    main()
