"""Small strategies for the sweep tests; worker processes import them by name."""

from __future__ import annotations

from typing import Any, ClassVar

from zopt_kelv_backtest.backtest import Strategy


class Momentum(Strategy):
    """Goes long after `up` rising ticks in a row, flat after `down` falling ones (futures also short)."""

    params: ClassVar[dict[str, Any]] = {"up": 3, "down": 3, "short": False, "scale": 1.0, "label": "m"}
    up: int  # the parameters, set by Strategy.__init__
    down: int
    short: bool

    def on_start(self) -> None:
        self.last: dict[str, float] = {}
        self.run: dict[str, int] = {}

    def on_tick(self, tick: dict[str, Any]) -> None:
        code, price = tick["code"], tick["close"]
        prev = self.last.get(code)
        self.last[code] = price
        if prev is None or price == prev:
            return
        step = 1 if price > prev else -1
        run = self.run.get(code, 0)
        run = run + step if run * step > 0 else step
        self.run[code] = run
        held = self.position(code)
        if run >= self.up and held <= 0:
            if held < 0:
                self.close(code)
            self.buy(code, 1)
        elif -run >= self.down and held > 0:
            self.close(code)
            if self.short and tick["market_type"] == "Future":
                self.sell(code, 1)


class FailsOnUp(Momentum):
    """Raises inside the run when `up` is 2: the sweep must record the error and go on."""

    def on_tick(self, tick: dict[str, Any]) -> None:
        if self.up == 2:
            raise RuntimeError(f"no trading on {tick['code']}\nwith [b]up=2[/b]")
        super().on_tick(tick)


class NotAStrategy:
    params: ClassVar[dict[str, Any]] = {"up": 1}
