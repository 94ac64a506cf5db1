"""Trading days of a run and what the open positions are worth at the end of each.

The exchange counts a night session in the next trading day (:func:`market.trading_day_of`), so the
equity curve has one row per trading day, not per calendar date. Open positions are valued by the core's
own rule (``Positions.fetch_positions``: the latest close minus the lot's fill price, times the quantity
and the unit value, no costs), at the last tick of each code in the trading day.
"""

from __future__ import annotations

from datetime import date
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.market import NIGHT_SESSION, TAIPEI_OFFSET, trading_day_of

if TYPE_CHECKING:
    from zopt_kelv_backtest.modules.positions.positions import Positions

__all__ = ["ACCOUNTS", "DayBook", "has_open_lots", "open_lots", "open_profit"]

ACCOUNTS = ("Stock", "Future")
_NIGHT_START = NIGHT_SESSION[0].hour * 3600 + NIGHT_SESSION[0].minute * 60


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def has_open_lots(positions: Positions) -> bool:
    """Whether the core's position book holds any lot with an open quantity."""
    return any(lot["quantity"] for sides in positions.positions.values() for lots in sides.values() for lot in lots)


def _snapshot(positions: Positions, account: str, detail: bool) -> list[dict[str, Any]]:
    """The core's position summaries (or details) of ``account``.

    The core hands them over through its position queue; snapshots a strategy asked for and has not
    taken yet are put back in their order, so the queue looks as it did.
    """
    waiting = positions.fetch_position_queue.qsize()
    positions.fetch_positions(account, detail)  # type: ignore[arg-type]
    taken = [positions.pop_positions() for _ in range(waiting + 1)]
    for earlier in taken[:-1]:
        positions.add_positions_to_queue(earlier)
    return list(taken[-1])


def open_profit(positions: Positions) -> float:
    """Unrealised profit of every open lot at each code's latest tick, by the core's rule (0.0 when flat)."""
    if not has_open_lots(positions):
        return 0.0
    return float(sum(row["pnl"] for account in ACCOUNTS for row in _snapshot(positions, account, False)))


def open_lots(positions: Positions) -> list[dict[str, Any]]:
    """One dict per open lot: code, side ("long"/"short"), quantity, entry price (before slippage), entry
    time (epoch seconds), the latest close, and the open profit by the core's rule."""
    if not has_open_lots(positions):
        return []
    # The core's details come in its book order (codes, then the buy side, then the sell side): the
    # same walk over the book gives each detail its side, the first lot of its code and trade id. Looked
    # up by key (a run can end with tens of thousands of lots); the core takes any trade id, so an
    # unhashable one is looked for lot by lot.
    side_of: dict[tuple[Any, Any], str] = {}
    odd: list[tuple[str, dict[str, Any]]] = []
    for sides in positions.positions.values():
        for action in ("buy", "sell"):
            for lot in sides.get(action, []):
                if lot["quantity"]:
                    named = "long" if action == "buy" else "short"
                    if _hashable(lot["trade_id"]):
                        side_of.setdefault((lot["code"], lot["trade_id"]), named)
                    else:
                        odd.append((named, lot))
    out: list[dict[str, Any]] = []
    for account in ACCOUNTS:
        for row in _snapshot(positions, account, True):
            if _hashable(row["trade_id"]):
                side = side_of.get((row["code"], row["trade_id"]))
            else:
                side = next((s for s, lot in odd if lot["trade_id"] == row["trade_id"] and lot["code"] == row["code"]),
                            None)
            tick = positions.current_tick_infos.get(row["code"])
            out.append({"code": row["code"], "side": side, "quantity": row["quantity"], "entry_price": row["cost"],
                        "entry_ts": row["date"], "last_price": None if not tick else tick["close"],
                        "open_profit": float(row["pnl"])})
    return out


class DayBook:
    """The trading days a run's traded codes have ticks in, and the open profit at the end of each.

    The replay calls :meth:`enter` for a tick of a traded code at or after :meth:`enter`'s last answer,
    before the tick's own trades; the open profit of a finished day is taken then, with the tick's code
    valued at its previous tick (the core already holds the new one).
    """

    def __init__(self, positions: Positions) -> None:
        self.positions = positions
        self.days: list[date] = []
        self.marks: list[float] = []  # open profit at the end of each finished day

    def enter(self, tick: dict[str, Any], previous: dict[str, Any] | None) -> float:
        """Count ``tick``'s trading day; the first time at which a tick may count in another one."""
        ts = float(tick["timestamp"])
        day = trading_day_of(ts)
        if not self.days or day > self.days[-1]:
            if self.days:
                self.marks.append(self._mark_before(tick, previous))
            self.days.append(day)
        # The trading day of a time changes only at the night session's start and at midnight (Taipei).
        since_midnight = (ts + TAIPEI_OFFSET) % 86400
        midnight = ts - since_midnight
        return midnight + (_NIGHT_START if since_midnight < _NIGHT_START else 86400)

    def _mark_before(self, tick: dict[str, Any], previous: dict[str, Any] | None) -> float:
        positions = self.positions
        if not has_open_lots(positions):
            return 0.0
        if previous is None:
            return open_profit(positions)
        positions.set_current_tick(previous)
        try:
            return open_profit(positions)
        finally:
            positions.set_current_tick(tick)

    def finish(self) -> list[float]:
        """The open profit at the end of every day, the last one valued now (the end of the run)."""
        return [*self.marks, open_profit(self.positions)] if self.days else []
