"""Orders as traders place them: market, limit, stop and stop-limit, matched on the ticks of their code.

The book stands apart from the replay loop, which touches it in one place: for a tick of a code in
:attr:`OrderBook.resting` (the codes with open orders) it calls :meth:`OrderBook.match`. A code without
open orders costs the loop one set lookup. Session ends and the run's end expire orders through
:meth:`OrderBook.expire` and :meth:`OrderBook.finish`.

Each code's open orders sit in heaps by the price that makes them fill (or trigger), so a tick costs a
few comparisons whatever the number of orders, and a tick that reaches some orders pays for those only.
"""

from __future__ import annotations

import heapq
import math
import numbers
from collections.abc import Callable
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import TYPE_CHECKING, Any, Literal

from zopt_kelv_backtest import market

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.modules.positions.positions import Positions

__all__ = ["FILL_MODES", "Fill", "Order", "OrderBook", "Status", "TIFS", "orders_frame", "session_end"]

Status = Literal["open", "filled", "cancelled", "expired", "rejected"]
Fill = Literal["next_tick", "this_tick"]
FILL_MODES: tuple[Fill, ...] = ("next_tick", "this_tick")
TIFS = ("day", "gtc")


@dataclass(eq=False)
class Order:
    """One order of a strategy and what became of it.

    ``limit`` and ``stop`` are None for a market order; ``status`` is "open", "filled", "cancelled",
    "expired" or "rejected" (then ``reason`` says why). ``fill_price`` is the price the account booked:
    the fee settings' slippage included for market and stop fills, the limit (or better) for limit fills;
    ``fill_time`` is the time of the tick it filled on (epoch seconds). ``placed`` is when it was placed;
    ``expires`` the end of its session for a "day" order (inf for "gtc").
    """

    id: int
    code: str
    action: Literal["Buy", "Sell"]
    quantity: int
    limit: float | None = None
    stop: float | None = None
    tif: str = "day"
    status: Status = "open"
    fill_price: float | None = None
    fill_time: float | None = None
    reason: str | None = None
    placed: float | None = None
    expires: float = math.inf
    marketable: bool = False  # a limit at or through the market when placed, or when its stop triggered
    triggered: bool = False  # a stop whose stop price has traded

    @property
    def kind(self) -> str:
        """"market", "limit", "stop" or "stop_limit"."""
        if self.stop is None:
            return "market" if self.limit is None else "limit"
        return "stop" if self.limit is None else "stop_limit"

    @property
    def is_open(self) -> bool:
        """Whether the order can still fill."""
        return self.status == "open"

    @property
    def trade_id(self) -> str:
        """The order's id in the trade log."""
        return f"{self.code}-{self.id:05d}"


# --- sessions -------------------------------------------------------------------------------------


def session_end(now: float, market_type: str) -> float:
    """The end (epoch seconds) of the session a "day" order placed at ``now`` belongs to: the session open
    at ``now``, or else the next one. Stocks end at 13:30; futures at 13:45 (day) and 05:00 (night, begun
    the evening of a trading day). Days the holiday calendar closes have no session."""
    # The answer found at t0 holds for every later time before it: no session ends in between. (The
    # calendar is read again from the next session on.)
    known = _SESSION_ENDS.get(market_type)
    if known is not None and known[0] == market.HOLIDAY_FILE and known[1] <= now < known[2]:
        return known[2]
    closed = market.holiday_dates()
    local = datetime(1970, 1, 1) + timedelta(seconds=now + market.TAIPEI_OFFSET)
    day = local.date() - timedelta(days=1)
    for _ in range(70):
        for end, session_day in _ends(day, market_type):
            when = (datetime.combine(day, end) - datetime(1970, 1, 1)).total_seconds() - market.TAIPEI_OFFSET
            if when > now and market.is_trading_day(session_day, closed):
                _SESSION_ENDS[market_type] = (market.HOLIDAY_FILE, now, when)
                return when
        day += timedelta(days=1)
    return math.inf


_SESSION_ENDS: dict[str, tuple[str, float, float]] = {}  # market type: (calendar file, t0, answer)


def _ends(day: date, market_type: str) -> list[tuple[time, date]]:
    """Session ends falling on ``day``, each with the trading day whose session it ends."""
    if market_type == "Stock":
        return [(market.STOCK_SESSION[1], day)]
    return [(market.NIGHT_SESSION[1], day - timedelta(days=1)), (market.DAY_SESSION[1], day)]


# --- one code's open orders -----------------------------------------------------------------------


class _Resting:
    """The open orders of one code, by what makes them fill.

    ``market`` holds the orders the code's next tick decides (market orders, marketable limits); the
    heaps hold (key, id, order), keyed so the top is the order a tick reaches first. A cancelled or
    filled order stays in its heap until it surfaces (``entries`` counts what the heaps hold, so the book
    can drop the dead ones when they pile up). ``buy_at``/``sell_at``/``due`` cache the tops: a tick at or
    below ``buy_at``, at or above ``sell_at``, or at ``due`` or later touches an order.
    """

    __slots__ = ("orders", "entries", "market", "buy_limits", "sell_limits", "buy_stops", "sell_stops", "expiries",
                 "buy_at", "sell_at", "due")

    def __init__(self) -> None:
        self.orders: dict[int, Order] = {}  # the open ones, by id (placing order)
        self.entries = 0
        self.market: list[Order] = []
        self.buy_limits: list[tuple[float, int, Order]] = []  # (-limit, id): the highest bid on top
        self.sell_limits: list[tuple[float, int, Order]] = []  # (limit, id)
        self.buy_stops: list[tuple[float, int, Order]] = []  # (stop, id): triggered by a tick at or above
        self.sell_stops: list[tuple[float, int, Order]] = []  # (-stop, id): triggered at or below
        self.expiries: list[tuple[float, int, Order]] = []  # (expires, id) of "day" orders
        self.tops()

    def tops(self) -> None:
        """Refresh the cached bounds from the heaps' tops."""
        bl, ss, sl, bs = self.buy_limits, self.sell_stops, self.sell_limits, self.buy_stops
        self.buy_at = max(-bl[0][0] if bl else -math.inf, -ss[0][0] if ss else -math.inf)
        self.sell_at = min(sl[0][0] if sl else math.inf, bs[0][0] if bs else math.inf)
        self.due = self.expiries[0][0] if self.expiries else math.inf

    def rest(self, order: Order) -> None:
        """Put an open order where the ticks that can fill or trigger it will find it."""
        buy = order.action == "Buy"
        if order.marketable or order.limit is None and (order.stop is None or order.triggered):
            self.market.append(order)
            return
        if order.stop is not None and not order.triggered:
            heap, key = (self.buy_stops, order.stop) if buy else (self.sell_stops, -order.stop)
        else:
            limit = float(order.limit)  # type: ignore[arg-type]
            heap, key = (self.buy_limits, -limit) if buy else (self.sell_limits, limit)
        heapq.heappush(heap, (key, order.id, order))
        self.entries += 1
        self.tops()

    def reached(self, price: float) -> list[Order]:
        """Take out every order a tick at ``price`` decides; oldest first."""
        batch, self.market = self.market, []
        for heap, sign, below in ((self.buy_limits, -1.0, True), (self.sell_stops, -1.0, True),
                                  (self.sell_limits, 1.0, False), (self.buy_stops, 1.0, False)):
            while heap and (sign * heap[0][0] >= price if below else heap[0][0] <= price):
                batch.append(heapq.heappop(heap)[2])
                self.entries -= 1
        self.tops()
        batch = [o for o in batch if o.status == "open"]
        batch.sort(key=lambda o: o.id)
        return batch

    def expiring(self, now: float) -> list[Order]:
        """Take out the "day" orders whose session ended by ``now``; oldest first."""
        out: list[Order] = []
        while self.expiries and self.expiries[0][0] <= now:
            order = heapq.heappop(self.expiries)[2]
            self.entries -= 1
            if order.status == "open":
                out.append(order)
        self.tops()
        out.sort(key=lambda o: o.id)
        return out

    def compact(self) -> None:
        """Drop the heaps' entries of orders no longer open."""
        for heap in (self.buy_limits, self.sell_limits, self.buy_stops, self.sell_stops, self.expiries):
            heap[:] = [e for e in heap if e[2].status == "open"]
            heapq.heapify(heap)
        self.market = [o for o in self.market if o.status == "open"]
        self.entries = sum(map(len, (self.buy_limits, self.sell_limits, self.buy_stops, self.sell_stops,
                                     self.expiries)))
        self.tops()


# --- the book -------------------------------------------------------------------------------------

Hook = Callable[[Order], Any]


class OrderBook:
    """The orders of one run, their matching on ticks and their fills into the account.

    See the README's "Orders" for the rules. ``latest`` is the replay's latest tick of each traded code;
    ``held`` the net lots filled per code; ``fills`` the fills in order (the result's trades); ``all``
    every order placed, rejected ones included.
    """

    def __init__(self, positions: Positions, latest: dict[str, dict[str, Any]], *, fill: Fill = "next_tick",
                 allow_short_stock: bool = True, on_order: Hook | None = None, on_fill: Hook | None = None) -> None:
        self.positions = positions
        self.latest = latest
        self.fill_mode = fill
        self.allow_short_stock = allow_short_stock
        self.on_order = on_order
        self.on_fill = on_fill
        self.resting: dict[str, _Resting] = {}
        """The codes with open orders, and nothing else: the replay loop calls :meth:`match` for each tick
        of a code in it (``if code in resting: match(code, tick)``)."""
        self.held: dict[str, int] = {}
        self.fills: list[dict[str, Any]] = []
        self.all: list[Order] = []
        self.clock = -math.inf  # the latest time the book was told of: matched ticks, session ends
        self.ended = False  # the run has ended: orders placed now are refused
        self.hooks = 0  # on_order/on_fill calls under way: what they place waits for a tick, even at once

    # --- placing and cancelling ---------------------------------------------------------------

    def now(self) -> float:
        """The time an order placed now is placed at: the latest tick of any traded code, or a later
        session end the book was told of."""
        return max(self.clock, max((t["timestamp"] for t in self.latest.values()), default=-math.inf))

    def place(self, code: str, action: Literal["Buy", "Sell"], quantity: Any, limit: Any = None,
              stop: Any = None, tif: Any = "day") -> Order:
        """A new order; "rejected" with a ``reason`` (and the account untouched) when it cannot stand."""
        order = Order(len(self.all) + 1, code, action, quantity, tif=tif)
        self.all.append(order)
        tick = self.latest.get(code) if isinstance(code, str) else None
        reason = self._refusal(order, tick, limit, stop)
        if reason is not None or tick is None:
            order.limit = float(limit) if _is_number(limit) else None
            order.stop = float(stop) if _is_number(stop) else None
            order.status, order.reason = "rejected", reason
            self._changed(order)
            return order
        order.limit = None if limit is None else float(limit)
        order.stop = None if stop is None else float(stop)
        last, now = tick["close"], self.now()
        order.placed = now
        if tif == "day":
            order.expires = session_end(now, tick["market_type"])
        if order.limit is not None and order.stop is None:
            order.marketable = last <= order.limit if action == "Buy" else last >= order.limit
        at_once = self.fill_mode == "this_tick" and not self.hooks and (order.marketable or order.kind == "market")
        # At once, the order and its fill carry the tick's own time, as a fill at the latest tick always did.
        shown = order.limit if order.limit is not None else order.stop if order.stop is not None else last
        self.positions.add_trade_record(order.trade_id, code, action, order.quantity, shown,
                                        tick["timestamp"] if at_once else now, "Order")
        resting = self.resting.get(code)
        if resting is None:
            resting = self.resting[code] = _Resting()
        resting.orders[order.id] = order
        if at_once:
            self._changed(order)
            if order.is_open:  # its on_order may have cancelled it
                self._fill(order, tick, last, slipped=order.kind == "market")
            return order
        resting.rest(order)
        if order.expires < math.inf:
            heapq.heappush(resting.expiries, (order.expires, order.id, order))
            resting.entries += 1
            resting.due = min(resting.due, order.expires)
        self._changed(order)
        return order

    def _refusal(self, order: Order, tick: dict[str, Any] | None, limit: Any, stop: Any) -> str | None:
        """Why ``order`` cannot stand, or None."""
        quantity = order.quantity
        if type(quantity) is not int or quantity < 1:
            return f"quantity must be a positive int, got {quantity!r}"
        if order.tif not in TIFS:
            return f"tif must be 'day' or 'gtc', got {order.tif!r}"
        if self.ended:
            return "the run has ended"
        if tick is None:
            return f"no tick of {order.code!r} to trade at yet (is it among the traded codes?)"
        for name, price in (("limit", limit), ("stop", stop)):
            if price is None:
                continue
            if not _is_number(price) or not math.isfinite(price) or price <= 0:
                return f"{name} must be a positive number, got {price!r}"
            if self.on_ladder(order.code, float(price)) != price:
                return f"{name} {price!r} is off the tick ladder of {order.code} (the nearest above: " \
                       f"{self.on_ladder(order.code, float(price))!r})"
        if order.action == "Sell" and tick["market_type"] == "Stock" and not self.allow_short_stock:
            selling = sum(o.quantity for o in self.open_orders(order.code) if o.action == "Sell")
            held = self.held.get(order.code, 0)
            if quantity + selling > held:
                return (f"sell of {quantity} {order.code} exceeds the {held} held less {selling} on open "
                        "sell orders (short stock is not allowed)")
        return None

    def cancel(self, order: Order, status: Status = "cancelled", when: float | None = None) -> bool:
        """End an open order of this book as ``status``; False when it is not open (filled, ended, or
        another run's)."""
        if not self._owns(order) or not order.is_open:
            return False
        order.status = status
        resting = self._closed(order)
        price = order.limit if order.limit is not None else order.stop
        if price is None:
            price = self.latest[order.code]["close"]
        self.positions.add_trade_record(order.trade_id, order.code, order.action, order.quantity, price,
                                        self.now() if when is None else when, "Cancel")
        if resting is not None and resting.entries > 2 * len(resting.orders) + 64:
            resting.compact()
        self._changed(order)
        return True

    def _owns(self, order: Order) -> bool:
        return isinstance(order, Order) and 0 < order.id <= len(self.all) and self.all[order.id - 1] is order

    def _closed(self, order: Order) -> _Resting | None:
        """Count ``order`` out of its code's open orders; the code's orders, None once none is open."""
        resting = self.resting[order.code]
        del resting.orders[order.id]
        if not resting.orders:
            del self.resting[order.code]
            return None
        return resting

    def open_orders(self, code: str | None = None) -> list[Order]:
        """The open orders, oldest first (of ``code`` only, when given)."""
        if code is not None:
            resting = self.resting.get(code)
            return [] if resting is None else list(resting.orders.values())
        return sorted((o for r in self.resting.values() for o in r.orders.values()), key=lambda o: o.id)

    def on_ladder(self, code: str, price: float) -> float:
        """``price`` moved up onto the core's tick ladder of ``code``."""
        return float(self.positions._Positions__ceil_price_by_tick(code, price)[0])

    def moved(self, code: str, price: float, ticks: int, direction: Literal["up", "down"]) -> float:
        """``price`` moved ``ticks`` steps along the core's tick ladder of ``code``: its slippage rule."""
        return float(self.positions._Positions__calculate_slippage_price(code, price, ticks, direction))

    # --- the replay's entry points ------------------------------------------------------------

    def match(self, code: str, tick: dict[str, Any]) -> None:
        """Fill, trigger or expire the open orders of ``code`` that ``tick`` decides.

        The replay loop calls it for each tick of a code in :attr:`resting`, after the tick is the
        code's latest; the tick's time is ``tick["timestamp"]``. A tick that reaches no order costs a few
        comparisons.
        """
        resting = self.resting[code]
        price, ts = tick["close"], tick["timestamp"]
        if not resting.market and resting.buy_at < price < resting.sell_at and ts < resting.due:
            return
        self.clock = max(self.clock, ts)
        if ts >= resting.due:
            for order in resting.expiring(ts):
                self.cancel(order, "expired", order.expires)
        if code in self.resting:
            for order in self.resting[code].reached(price):
                if order.is_open:  # a hook of an earlier fill may have cancelled it
                    self._decide(order, tick, price)

    def _decide(self, order: Order, tick: dict[str, Any], price: float) -> None:
        """What ``tick`` at ``price`` does to ``order``, one the tick has reached."""
        buy = order.action == "Buy"
        if order.stop is not None and not order.triggered:
            if not (price >= order.stop if buy else price <= order.stop):
                self.resting[order.code].rest(order)
                return
            order.triggered = True
            order.marketable = order.limit is not None  # a stop-limit fills at this tick's price if it can
        if order.limit is None:
            self._fill(order, tick, price, slipped=True)
        elif price <= order.limit if buy else price >= order.limit:
            self._fill(order, tick, price if order.marketable else order.limit, slipped=False)
        else:
            order.marketable = False
            self.resting[order.code].rest(order)

    def expire(self, code: str, now: float) -> None:
        """A session of ``code`` has ended, seen at ``now`` (inf: the run has ended): its "day" orders due
        by then expire, at their session's end (at the run's last tick, if that came first)."""
        if math.isfinite(now):
            self.clock = max(self.clock, now)
        resting = self.resting.get(code)
        if resting is not None and resting.due <= now:
            last = now if math.isfinite(now) else self.now()
            for order in resting.expiring(now):
                self.cancel(order, "expired", min(order.expires, last))

    def finish(self) -> None:
        """The run has ended: every open order expires (an order its hooks place then is rejected)."""
        self.ended = True
        for order in self.open_orders():
            self.cancel(order, "expired")

    # --- fills --------------------------------------------------------------------------------

    def _fill(self, order: Order, tick: dict[str, Any], quote: float, *, slipped: bool) -> None:
        """Book ``order`` at ``quote``: moved by the fee settings' slippage when ``slipped``, else at
        ``quote`` itself (see :meth:`_price_for`); then the hooks."""
        code, action, quantity = order.code, order.action, order.quantity
        product_type, ts = tick["market_type"], tick["timestamp"]
        held = self.held.get(code, 0)
        if action == "Sell" and product_type == "Stock" and not self.allow_short_stock and quantity > held:
            self._closed(order)
            order.status = "rejected"
            order.reason = f"sell of {quantity} {code} exceeds the {held} held (short stock is not allowed)"
            self.positions.add_trade_record(order.trade_id, code, action, quantity, quote, ts, "Cancel")
            self._changed(order)
            return
        handed, booked = self._price_for(code, action, product_type, quote, slipped)
        trade = {"trade_id": order.trade_id, "code": code, "action": action, "price": handed,
                 "quantity": quantity, "exchange_ts": ts, "product_type": product_type}
        self.positions.set_positions(trade, product_type)
        self.positions.add_trade_record(order.trade_id, code, action, quantity, quote, ts, "Deal")
        self.held[code] = held + (quantity if action == "Buy" else -quantity)
        self.fills.append({**trade, "price": quote})
        self._closed(order)
        order.status, order.fill_price, order.fill_time = "filled", booked, ts
        self._changed(order)
        if self.on_fill is not None:
            self.hooks += 1
            try:
                self.on_fill(order)
            finally:
                self.hooks -= 1

    def _price_for(self, code: str, action: str, product_type: str, quote: float, slipped: bool
                   ) -> tuple[float, float]:
        """The price to hand the core for a fill at ``quote``, and the price the core books for it.

        The core moves every price it books by the side's slippage ticks (the entry's again when it is
        covered), and prices the costs at the moved price. A fill without slippage (a limit) is therefore
        handed the ladder price those ticks move onto ``quote``. The move is not always undone by the same
        ticks the other way (a step across a band edge takes the step of the band it starts in), so the
        ladder is walked up from below that price; the move only grows with the price. Where no price
        lands on ``quote`` exactly (a quote off the ladder), the nearest that lands on the trader's side.
        """
        slippage = self.positions.fee_settings[product_type.lower()]["slippage"][action.lower()]
        count, direction = int(slippage["tick_count"]), slippage["direction"]
        if slipped or count == 0:
            return quote, self.moved(code, quote, count, direction)
        buy = action == "Buy"
        # Moving down, a price lands below itself: start at ``quote``; moving up, well below it.
        handed = quote if direction == "down" else self.moved(code, quote, count + 2, "down")
        best: tuple[float, float] | None = None
        for _ in range(20 * count + 20):
            booked = self.moved(code, handed, count, direction)
            if booked == quote:
                return handed, booked
            fair = booked <= quote if buy else booked >= quote
            if fair and (best is None or abs(booked - quote) < abs(best[1] - quote)):
                best = (handed, booked)
            if booked > quote:
                break
            step_up = self.moved(code, handed, 1, "up")
            if step_up <= handed:  # the top of the ladder
                break
            handed = step_up
        return best if best is not None else (quote, self.moved(code, quote, count, direction))

    def _changed(self, order: Order) -> None:
        if self.on_order is not None:
            self.hooks += 1
            try:
                self.on_order(order)
            finally:
                self.hooks -= 1


def _is_number(value: Any) -> bool:
    """A real number a price can be (numpy's included), not a bool."""
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def orders_frame(orders: list[Order]) -> pl.DataFrame:
    """One row per order, in the order they were placed: id, code, action, kind, quantity, limit, stop,
    tif, status, placed, fill_price, fill_time, reason (times as naive Taipei date-times)."""
    import polars as pl

    def when(ts: float | None) -> datetime | None:
        return None if ts is None or not math.isfinite(ts) else datetime.fromtimestamp(ts)

    schema: dict[str, Any] = {"id": pl.Int64, "code": pl.String, "action": pl.String, "kind": pl.String,
                              "quantity": pl.Int64, "limit": pl.Float64, "stop": pl.Float64, "tif": pl.String,
                              "status": pl.String, "placed": pl.Datetime("us"), "fill_price": pl.Float64,
                              "fill_time": pl.Datetime("us"), "reason": pl.String}
    rows = [{"id": o.id, "code": str(o.code), "action": o.action, "kind": o.kind,
             "quantity": o.quantity if type(o.quantity) is int else None, "limit": o.limit, "stop": o.stop,
             "tif": str(o.tif), "status": o.status, "placed": when(o.placed), "fill_price": o.fill_price,
             "fill_time": when(o.fill_time), "reason": o.reason} for o in orders]
    return pl.DataFrame(rows, schema=schema)
