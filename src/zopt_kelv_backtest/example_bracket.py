"""Example strategy with resting orders: a limit entry under the market, then a bracket of a take-profit
limit and a stop-loss stop, one cancelling the other.

On each closed one-minute bar, when flat and without open orders, it bids ``entry_ticks`` ticks under the
bar's close if that close is above the average of the last ``lookback`` closes (a "day" order: it ends
with its session). When the entry fills, it places a sell limit ``take_ticks`` ticks above the fill and a
sell stop ``stop_ticks`` ticks under it; when one of them fills it cancels the other. When a session ends
it closes what is left: the close cancels the open orders and its market order fills at the first tick of
the next session.

Run it on the synthetic set: ``python -m zopt_kelv_backtest.example_bracket [--days N] [--seed S]``.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from datetime import date
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.backtest import Order, Strategy

if TYPE_CHECKING:
    import polars as pl

__all__ = ["Bracket", "main"]


class Bracket(Strategy):
    """Limit entry under a rising market, with a take-profit and a stop-loss bracket; long only."""

    params = {"lookback": 20, "entry_ticks": 2, "take_ticks": 6, "stop_ticks": 4}
    bar_keys = (("m", 1),)
    lookback: int
    entry_ticks: int
    take_ticks: int
    stop_ticks: int

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        for name in self.params:
            value = getattr(self, name)
            if type(value) is not int or value < 1:
                raise ValueError(f"{name} must be a positive int, got {value!r}")
        self.bracket: dict[str, list[Order]] = {}

    def on_start(self) -> None:
        self.bracket = {}

    def on_bar(self, code: str, bars: pl.DataFrame) -> None:
        if bars.height < self.lookback or self.position(code) != 0 or self.orders(code):
            return
        closes = bars["Close"].tail(self.lookback).to_list()
        if closes[-1] > sum(closes) / len(closes):
            self.buy(code, limit=self.tick_price(code, closes[-1], -self.entry_ticks))

    def on_fill(self, order: Order) -> None:
        code = order.code
        legs = self.bracket.pop(code, [])
        if order in legs:  # one leg filled: the other goes
            for leg in legs:
                self.cancel(leg)
            return
        if order.action == "Buy" and order.limit is not None and self.position(code) > 0:
            price = order.fill_price if order.fill_price is not None else order.limit
            take = self.sell(code, order.quantity, limit=self.tick_price(code, price, self.take_ticks), tif="gtc")
            stop = self.sell(code, order.quantity, stop=self.tick_price(code, price, -self.stop_ticks), tif="gtc")
            self.bracket[code] = [take, stop]

    def on_session_end(self, code: str) -> None:
        self.bracket.pop(code, None)
        self.close(code)


def _parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m zopt_kelv_backtest.example_bracket",
                                description="The bracket strategy (limit entry, take-profit limit, stop-loss stop) "
                                "on the synthetic set: its figures and what became of its orders.")
    p.add_argument("--start", type=date.fromisoformat, default=date(2024, 2, 1), metavar="YYYY-MM-DD",
                   help="first day of the synthetic set (default: 2024-02-01)")
    p.add_argument("--days", type=int, default=10, help="trading days of the synthetic set (default: 10)")
    p.add_argument("--seed", type=int, default=7, help="seed of the synthetic set (default: 7)")
    for name, default in Bracket.params.items():
        p.add_argument(f"--{name.replace('_', '-')}", type=int, default=default, help=f"(default: {default})")
    args = p.parse_args(argv)
    if args.days < 1:
        p.error("--days must be at least 1")
    for name in Bracket.params:
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    """Run the bracket on the synthetic set; print its figures and its orders by kind and status."""
    from zopt_kelv_backtest import synthetic
    from zopt_kelv_backtest.backtest import run_backtest
    from zopt_kelv_backtest.utils import console

    args = _parse_args(argv)
    try:
        ticks = synthetic.iter_ticks(start=args.start, days=args.days, seed=args.seed)
    except ValueError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    quiet, console.quiet = console.quiet, True
    try:
        strategy = Bracket(**{name: getattr(args, name) for name in Bracket.params})
        result = run_backtest(ticks, strategy, codes=["2330", "MXF"])
    finally:
        console.quiet = quiet
    print(result.summary())
    print(result.orders.group_by("kind", "action", "status").len().sort("kind", "action", "status"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
