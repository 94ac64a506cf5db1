"""What resting orders cost a replay: none, 1,000 on one code, 1,000 on the other, and 1,000 with one more
that the market keeps filling.

usage: python bench/bench_orders.py [--quick] [--days N] [--repeat R] [--orders K] [--idle-only]

The synthetic set (2330, 0050, MXF; default 10 trading days) is materialised once; each case replays it with
a strategy without bar hooks, so the replay itself dominates. "far" orders are gtc buy limits at half the
code's first price, placed at its first tick: they never fill. "touched" adds on MXF one gtc buy limit a
tick under the market; each fill of it places a sell limit a tick above its price and the same buy again, so
the position goes up and down with the market and the ticks at those two prices fill orders all run long.
"cancelled at once" places the far orders and cancels them at once: what placing and ending them costs,
without the ticks they rest through (the far cases less this one: what resting costs the ticks). The
yardstick is a strategy whose on_tick does the same first-tick test and places nothing ("no resting
orders"). --idle-only times only the runner with a strategy without hooks and with
the example's strategy (it runs on a build without orders too, to compare the replay loop with and without
its order check).
Times are CPU time (time.process_time), the best of --repeat replays. Run with the module importable
(PYTHONPATH=src).
"""

from __future__ import annotations

import argparse
import gc
import os
import time
from datetime import date
from typing import Any

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

from zopt_kelv_backtest import backtest, synthetic  # noqa: E402
from zopt_kelv_backtest.utils import console  # noqa: E402

TRADE = ["2330", "MXF"]


class Resting(backtest.Strategy):
    """Places ``count`` far gtc buy limits on ``code`` at its first tick (``touched``: and keeps one near)."""

    params = {"code": "", "count": 0, "touched": False, "then_cancel": False}
    code: str
    count: int
    touched: bool
    then_cancel: bool

    def on_start(self) -> None:
        self.placed = False
        self.near = 0.0

    def on_tick(self, tick: dict[str, Any]) -> None:
        if self.placed or tick["code"] != self.code:
            return
        self.placed = True
        far = self.tick_price(self.code, tick["close"] / 2)
        placed = [self.buy(self.code, limit=far, tif="gtc") for _ in range(self.count)]
        if self.then_cancel:  # what placing and ending them costs, without their ticks
            for order in placed:
                self.cancel(order)
        if self.touched:
            self.near = self.tick_price(self.code, tick["close"], -1)
            self.buy(self.code, limit=self.near, tif="gtc")

    def on_fill(self, order: Any) -> None:
        # The near buy's fills: a sell a tick above it, and the same buy again for the next dip.
        if self.touched and order.action == "Buy" and order.limit == self.near:
            self.sell(order.code, limit=self.tick_price(order.code, self.near, 1), tif="gtc")
            self.buy(order.code, limit=self.near, tif="gtc")


def run(ticks: list[dict[str, Any]], strategy: backtest.Strategy, repeat: int) -> tuple[float, Any]:
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        started = time.process_time()
        result = backtest.run_backtest(ticks, strategy, codes=TRADE)
        best = min(best, time.process_time() - started)
    return best, result


def main() -> None:
    p = argparse.ArgumentParser(description="What resting orders cost a replay.")
    p.add_argument("--days", type=int, default=10, help="trading days of the synthetic set (default: 10)")
    p.add_argument("--repeat", type=int, default=3, help="replays per case, the best counts (default: 3)")
    p.add_argument("--orders", type=int, default=1000, help="far orders per case (default: 1000)")
    p.add_argument("--quick", action="store_true", help="2 days, one replay per case")
    p.add_argument("--idle-only", action="store_true",
                   help="only the runner with a strategy without hooks and with the example's")
    args = p.parse_args()
    if args.quick:
        args.days, args.repeat = 2, 1
    if args.days < 1 or args.repeat < 1 or args.orders < 0:
        p.error("--days and --repeat must be at least 1, --orders at least 0")
    console.quiet = True
    ticks = synthetic.generate_ticks(start=date(2024, 2, 1), days=args.days, seed=7)
    per_code = {c: sum(1 for t in ticks if t["code"] == c) for c in ("2330", "MXF", "0050")}
    print(f"{len(ticks):,} ticks ({', '.join(f'{c} {n:,}' for c, n in per_code.items())}), {args.days} days, "
          f"best of {args.repeat}, load average {os.getloadavg()[0]:.1f}")
    if args.idle_only:
        from zopt_kelv_backtest import example

        run(ticks, backtest.Strategy(), 1)
        took, _ = run(ticks, backtest.Strategy(), args.repeat)
        print(f"runner, a strategy without hooks: {took:.3f} s")
        took, result = run(ticks, example.MovingAverageCross(), args.repeat)
        print(f"the example's strategy (market orders, this build's default fill): {took:.3f} s, "
              f"{len(result.fills)} fills")
        return
    run(ticks, Resting(), 1)  # warm up: first imports and allocations
    base, _ = run(ticks, Resting(), args.repeat)
    print(f"| case | replay s | vs none | orders | fills |\n|---|---|---|---|---|")
    print(f"| no resting orders | {base:.3f} | 1.000 | 0 | 0 |")
    for label, strategy in (
        (f"{args.orders:,} far on 2330", Resting(code="2330", count=args.orders)),
        (f"{args.orders:,} far on MXF", Resting(code="MXF", count=args.orders)),
        (f"{args.orders:,} on MXF, cancelled at once", Resting(code="MXF", count=args.orders, then_cancel=True)),
        (f"{args.orders:,} far on MXF, one touched", Resting(code="MXF", count=args.orders, touched=True)),
    ):
        took, result = run(ticks, strategy, args.repeat)
        print(f"| {label} | {took:.3f} | {took / base:.3f} | {len(result.order_list):,} | {len(result.fills):,} |")


if __name__ == "__main__":
    main()
