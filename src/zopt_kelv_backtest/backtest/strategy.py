"""The strategy base class: its hooks, its parameters, and the order helpers that place orders in the
run's order book (:mod:`.orders`)."""

from __future__ import annotations

import copy
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, ClassVar, Literal

from zopt_kelv_backtest.backtest.orders import Fill, Order, OrderBook

if TYPE_CHECKING:
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = ["Order", "Side", "Strategy", "UNITS", "Unit"]

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

    def on_order(self, order: Order) -> None:
        """Called on every change of an order's status (placed "open", "filled", "cancelled", "expired",
        "rejected"), after the account is updated."""

    def on_fill(self, order: Order) -> None:
        """Called when an order fills, after its ``on_order`` (the account already holds the fill)."""

    # Order helpers ----------------------------------------------------------------------------

    def buy(self, code: str, quantity: int = 1, *, limit: float | None = None, stop: float | None = None,
            tif: str = "day") -> Order:
        """Place a buy order of ``quantity`` lots (contracts) of ``code``; returns the :class:`Order`.

        Without ``limit`` and ``stop`` a market order: it fills at the code's next tick (at its latest
        tick with ``run_backtest(fill="this_tick")``). ``limit`` makes a limit order, ``stop`` a stop
        order, both a stop-limit. ``tif`` "day" ends the order with its session, "gtc" keeps it until it
        fills or is cancelled. An order that cannot stand comes back "rejected" with a ``reason``.
        """
        return self._active().book.place(code, "Buy", quantity, limit, stop, tif)

    def sell(self, code: str, quantity: int = 1, *, limit: float | None = None, stop: float | None = None,
             tif: str = "day") -> Order:
        """Place a sell order: the mirror of :meth:`buy`."""
        return self._active().book.place(code, "Sell", quantity, limit, stop, tif)

    def cancel(self, order: Order) -> bool:
        """Cancel an open order of this run; False when it is no longer open (or not this run's)."""
        return self._active().book.cancel(order)

    def orders(self, code: str | None = None) -> list[Order]:
        """The open orders (of ``code`` only, when given), oldest first."""
        return self._active().book.open_orders(code)

    def close(self, code: str) -> Order | None:
        """Flatten ``code``: cancel its open orders, then place a market order for the net position held
        (None when flat), so the position is flat once that order fills."""
        book = self._active().book
        for order in book.open_orders(code):
            book.cancel(order)
        held = self.position(code)
        if held > 0:
            return self.sell(code, held)
        if held < 0:
            return self.buy(code, -held)
        return None

    def position(self, code: str) -> int:
        """Net lots (contracts) of ``code`` filled so far: positive long, negative short. Open orders do
        not count (see :meth:`orders`)."""
        return self._active().held.get(code, 0)

    def tick_price(self, code: str, price: float, ticks: int = 0) -> float:
        """``price`` moved up onto the core's tick ladder of ``code``, then ``ticks`` steps along it
        (negative: down): where a limit or stop price must lie."""
        if type(ticks) is not int:
            raise TypeError(f"ticks must be an int, got {ticks!r}")
        book = self._active().book
        snapped = book.on_ladder(code, float(price))
        return book.moved(code, snapped, abs(ticks), "up" if ticks > 0 else "down") if ticks else snapped

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
    """What the order helpers act on during one run: the core objects, each traded code's latest tick
    and the order book (net holdings, fills, orders)."""

    def __init__(self, strategy: Strategy, qm: QuoteManager, positions: Positions, *, fill: Fill = "next_tick",
                 allow_short_stock: bool = True) -> None:
        self.strategy = strategy
        self.qm = qm
        self.positions = positions
        self.latest: dict[str, dict[str, Any]] = {}  # latest tick of each traded code
        hooks = type(strategy)
        self.book = OrderBook(positions, self.latest, fill=fill, allow_short_stock=allow_short_stock,
                              on_order=strategy.on_order if hooks.on_order is not Strategy.on_order else None,
                              on_fill=strategy.on_fill if hooks.on_fill is not Strategy.on_fill else None)
        self.held = self.book.held
        self.fills = self.book.fills


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
