"""The strategy base class: its hooks, its parameters, and the order helpers that fill at a code's latest
tick during a run."""

from __future__ import annotations

import copy
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, ClassVar, Literal

if TYPE_CHECKING:
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = ["Side", "Strategy", "UNITS", "Unit"]

Unit = Literal["m", "h", "d", "w", "mo", "q", "y"]
UNITS: tuple[Unit, ...] = ("m", "h", "d", "w", "mo", "q", "y")
Side = Literal["Buy", "Sell"]


class Strategy:
    """Base class of a strategy: override the hooks you need, trade with the order helpers.

    ``params`` names the tunable parameters and their defaults; ``Strategy(**params)`` sets each as an
    attribute (unknown names raise ``TypeError``). ``bar_keys`` lists the K-bar keys ``(unit, freq)``
    (unit one of "m", "h", "d", "w", "mo", "q", "y") whose ``on_bar`` is called when a bar closes.
    ``bars_as`` says how ``on_bar`` gets the closed bars: "frame" (a polars frame per call, the default)
    or "arrays" (a light :class:`~zopt_kelv_backtest.backtest.bars.Bars` view of numpy arrays, no frame
    and no copy per bar: use it when speed matters).

    During a run ``quote_manager`` and ``positions`` are the run's core objects. An instance keeps what
    its hooks store: give each run a new one, or reset that state in ``on_start``.
    """

    params: ClassVar[dict[str, Any]] = {}
    bar_keys: ClassVar[tuple[tuple[str, int], ...]] = ()
    bars_as: ClassVar[str] = "frame"

    def __init__(self, **params: Any) -> None:
        unknown = sorted(set(params) - set(self.params))
        if unknown:
            raise TypeError(
                f"{type(self).__name__} got unknown parameter(s): {', '.join(unknown)}"
                f" (it takes: {', '.join(self.params) or 'none'})"
            )
        for name, default in self.params.items():
            # A mutable default is the instance's own, as a parameter given at the call is.
            setattr(self, name, params[name] if name in params else copy.deepcopy(default))
        self.quote_manager: QuoteManager | None = None
        self.positions: Positions | None = None
        self._run: _Run | None = None

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={getattr(self, name, None)!r}" for name in self.params)
        return f"{type(self).__name__}({values})"

    # Hooks ------------------------------------------------------------------------------------

    def on_start(self) -> None:
        """Called once before the first tick."""

    def on_tick(self, tick: dict[str, Any]) -> None:
        """Called for every tick of a traded code, after the core has it (and after any ``on_bar``)."""

    def on_bar(self, code: str, bars: Any) -> None:
        """Called when a bar of a declared key closes: ``bars`` holds the closed bars, oldest first.

        The frame is ``QuoteManager.get_kbar(code, unit, freq)`` without its newest bar, which is still
        forming; bars are labelled by their start. ``bars.height`` is at least 1. With ``bars_as =
        "arrays"`` it is a :class:`~zopt_kelv_backtest.backtest.bars.Bars` view of the same bars. With
        several keys, declare a third parameter (``def on_bar(self, code, bars, key)``) to get the
        ``(unit, freq)`` of the call. Hooks return None.
        """

    def on_session_end(self, code: str) -> None:
        """Called after the last tick of a code's session (no tick of it for 30 minutes, or the end)."""

    def on_end(self) -> None:
        """Called once after the last tick."""

    # Order helpers ----------------------------------------------------------------------------

    def buy(self, code: str, quantity: int = 1) -> None:
        """Buy ``quantity`` lots (contracts) of ``code`` at the price of its latest tick."""
        self._active().fill(code, "Buy", quantity)

    def sell(self, code: str, quantity: int = 1) -> None:
        """Sell ``quantity`` lots (contracts) of ``code`` at the price of its latest tick."""
        self._active().fill(code, "Sell", quantity)

    def close(self, code: str) -> None:
        """Flatten the position of ``code`` at the price of its latest tick (nothing if flat)."""
        held = self.position(code)
        if held > 0:
            self.sell(code, held)
        elif held < 0:
            self.buy(code, -held)

    def position(self, code: str) -> int:
        """Net lots (contracts) held of ``code``: positive long, negative short."""
        return self._active().held.get(code, 0)

    def market_type(self, code: str) -> str:
        """"Stock" or "Future": the market type of the latest tick of ``code``."""
        tick = self._active().latest.get(code)
        if tick is None:
            raise ValueError(f"no tick of {code!r} yet")
        return str(tick["market_type"])

    def _active(self) -> _Run:
        if self._run is None:
            raise RuntimeError("order helpers work only while run_backtest runs this strategy")
        return self._run


class _Run:
    """What the order helpers act on during one run: the core objects, each traded code's latest tick,
    the net holdings and the fills so far."""

    def __init__(self, strategy: Strategy, qm: QuoteManager, positions: Positions) -> None:
        self.strategy = strategy
        self.qm = qm
        self.positions = positions
        self.latest: dict[str, dict[str, Any]] = {}  # latest tick of each traded code
        self.held: dict[str, int] = {}
        self.fills: list[dict[str, Any]] = []

    def fill(self, code: str, action: Side, quantity: int) -> None:
        if type(quantity) is not int or quantity < 1:
            raise ValueError(f"quantity must be a positive int, got {quantity!r}")
        tick = self.latest.get(code)
        if tick is None:
            raise ValueError(f"no tick of {code!r} to trade at yet (is it among the traded codes?)")
        product_type = tick["market_type"]
        trade_id = f"{code}-{len(self.fills) + 1:05d}"
        price, ts = tick["close"], tick["timestamp"]
        for status in ("Order", "Deal"):
            self.positions.add_trade_record(trade_id, code, action, quantity, price, ts, status)
        trade = {
            "trade_id": trade_id,
            "code": code,
            "action": action,
            "price": price,
            "quantity": quantity,
            "exchange_ts": ts,
            "product_type": product_type,
        }
        self.positions.set_positions(trade, product_type)
        self.held[code] = self.held.get(code, 0) + (quantity if action == "Buy" else -quantity)
        self.fills.append(trade)


def _check_bar_keys(keys: Iterable[Any]) -> list[tuple[Unit, int]]:
    """``keys`` as ``(unit, freq)`` pairs; ValueError names the first that is not one."""
    out: list[tuple[Unit, int]] = []
    for key in keys:
        if (
            not isinstance(key, tuple)
            or len(key) != 2
            or key[0] not in UNITS
            or type(key[1]) is not int
            or key[1] < 1
        ):
            raise ValueError(f"bad bar key {key!r}: use (unit, freq) with unit one of {list(UNITS)} and freq >= 1")
        out.append((key[0], key[1]))
    return out
