"""Reference model of the runner's replay: the same loop in plain Python, bar closes found by label
arithmetic on tick times. The native replay must give the same hooks, fills and figures."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any, cast

from zopt_kelv_backtest._lazy_imports import import_core as _import_core
from zopt_kelv_backtest.backtest.daily import DayBook, open_lots
from zopt_kelv_backtest.backtest.orders import FILL_MODES, Fill
from zopt_kelv_backtest.backtest.result import BacktestResult
from zopt_kelv_backtest.backtest.strategy import Strategy, Unit, _check_bar_keys, _Run
from zopt_kelv_backtest.backtest.replay import (PROGRESS_EVERY, SESSION_GAP, TRIM_EVERY, _core_objects,
                                                _progress, _trim)
from zopt_kelv_backtest.backtest.ticks import TickSource, _tick_source, pin_local_time
from zopt_kelv_backtest.market import BENCHMARK

__all__ = ["run_model"]



def run_model(
    ticks: TickSource,
    strategy: Strategy,
    *,
    codes: Iterable[str] | None = None,
    capital: int = 5_000_000,
    fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None = None,
    progress: bool = False,
    total: int | None = None,
    trim_every: int | None = TRIM_EVERY,
    fill: Fill = "next_tick",
    allow_short_stock: bool = True,
) -> BacktestResult:
    """Replay ``ticks`` with ``strategy`` and return the result.

    - ``ticks``: an iterable of tick records (dicts with the keys of ``TICK_KEYS``) in time order, a path
      to a CSV/Parquet tick file (:func:`load_ticks`), or None for the package's synthetic set;
    - ``codes``: the codes the strategy trades (its hooks see only these; default every code but the
      benchmark "0050"); every tick still goes into the quote manager;
    - ``capital``: initial capital; ``fee_settings``: ``{"stock"|"future": {"buy"|"sell": {setting:
      value}}}`` passed to ``Positions.update_fee_settings`` (settings: fee, tax, per_trade_cost,
      tick_count, direction);
    - ``progress``: show a progress bar (``total``: ticks expected, when known);
    - ``trim_every``: every so many ticks, drop the old ticks that every cached K-bar key has read, so
      memory does not grow with the run (bars stay complete for the reports, the declared keys and every
      key queried before; a key first queried later sees only the ticks since the last trim). None keeps
      every tick; ``BacktestResult.trimmed`` says whether a trim happened;
    - ``fill``: "next_tick" fills a market order at its code's next tick; "this_tick" at the code's latest
      tick as soon as it is placed, and a limit marketable when placed at once too (stops, resting limits
      and orders placed by ``on_order``/``on_fill`` match on later ticks in both);
    - ``allow_short_stock``: False rejects a stock sell beyond the lots held less those on open sells.
    """
    _import_core()
    if not isinstance(strategy, Strategy):
        raise TypeError(f"strategy must be a Strategy instance, got {type(strategy).__name__}")
    if type(capital) is not int or capital <= 0:
        raise ValueError(f"capital must be a positive int, got {capital!r}")
    if trim_every is not None and (type(trim_every) is not int or trim_every < 1):
        raise ValueError(f"trim_every must be a positive int or None, got {trim_every!r}")
    if fill not in FILL_MODES:
        raise ValueError(f"fill must be one of {list(FILL_MODES)}, got {fill!r}")
    declared = _check_bar_keys(strategy.bar_keys)
    traded = None if codes is None else set(codes)
    if traded is not None and not all(isinstance(c, str) for c in traded):
        raise TypeError("codes must be strings")
    pin_local_time()
    source = _tick_source(ticks)
    qm, (positions,) = _core_objects(capital, fee_settings)
    run = _Run(strategy, qm, positions, fill=fill, allow_short_stock=bool(allow_short_stock))
    replay = _Replay(strategy, run, declared, traded, trim_every)
    strategy.quote_manager, strategy.positions, strategy._run = qm, positions, replay.run
    try:
        with _progress(progress, total) as advance:
            strategy.on_start()
            replay.replay(source, advance)
            replay.end_sessions(math.inf)
            strategy.on_end()
            run.book.finish()
            advance(replay.count)
    finally:
        strategy._run = None
    return BacktestResult(quote_manager=qm, positions=positions, codes=sorted(replay.watches), capital=capital,
                          fills=replay.run.fills, days=replay.book.days, tick_count=replay.count,
                          trimmed=replay.trims > 0, open_marks=replay.book.finish(), open_lots=open_lots(positions),
                          order_list=run.book.all)


# --- when a bar closes ----------------------------------------------------------------------------
#
# The runner asks the core for a key's bars when the bar label of a tick's local wall-clock time moves
# on, and calls on_bar when the core's frame has a new closed bar. So the label must move at least
# whenever the core's K-bars of that key start a new bar, or on_bar comes late: the core truncates local
# time, fixed-width units to multiples of their width, calendar units to their day or month. A label that
# moves more often costs only a query. This is the one place of that rule in Python.


@dataclass
class _BarWatch:
    """One declared bar key of one code: when its label moves on, closed bars may be ready."""

    unit: Unit
    freq: int
    width: float  # seconds of a bar for fixed-width units; 0 for calendar units
    label: Any = None  # label of the forming bar, by the tick times seen
    announced: int = 0  # closed bars of the frame last handed to on_bar


def _bar_watch(unit: Unit, freq: int) -> _BarWatch:
    return _BarWatch(unit, freq, {"m": 60.0, "h": 3600.0, "d": 86400.0}.get(unit, 0.0) * freq)


def _bar_label(watch: _BarWatch, local: float) -> Any:
    """The label of the bar of ``watch`` that holds local wall-clock time ``local`` (epoch-based seconds)."""
    if watch.width:
        return local // watch.width
    # Coarse on purpose: a label that moves too often only costs a query.
    day = datetime(1970, 1, 1) + timedelta(seconds=local)
    return (day.year, day.month) if watch.unit in ("mo", "q", "y") else day.toordinal()


def _local_day(ts: float) -> tuple[float, float]:
    """The local time's offset from UTC at ``ts`` and the end of that local day, in epoch seconds."""
    offset = float(time.localtime(ts).tm_gmtoff)
    return offset, ts - (ts + offset) % 86400 + 86400


# --- the replay -----------------------------------------------------------------------------------


class _Replay:
    """The state of one replay: which codes trade, their open sessions and bar watches, the days seen."""

    def __init__(self, strategy: Strategy, run: _Run, declared: list[tuple[Unit, int]], traded: set[str] | None,
                 trim_every: int | None) -> None:
        self.strategy = strategy
        self.run = run
        self.declared = declared
        self.traded = traded
        self.trim_every = trim_every
        self.keys: dict[str, list[tuple[Unit, int]]] = {BENCHMARK: [("d", 1)]}  # the QuantStats benchmark
        self.watches: dict[str, list[_BarWatch]] = {}
        self.session_last: dict[str, float] = {}  # traded codes with an open session: time of their latest tick
        self.book = DayBook(run.positions)  # the trading days with ticks of a traded code: the equity rows
        self.count = 0
        self.trims = 0
        self.next_progress: float = PROGRESS_EVERY
        self.next_trim: float = trim_every if trim_every else math.inf

    def end_sessions(self, now: float) -> float:
        """Call ``on_session_end`` for the codes without a tick for ``SESSION_GAP`` before ``now``; the time
        the next open session would end."""
        session_last = self.session_last
        for code, last in sorted(session_last.items(), key=lambda item: item[1]):
            if now - last > SESSION_GAP:
                del session_last[code]
                self.run.book.expire(code, now)
                self.strategy.on_session_end(code)
        return min(session_last.values(), default=math.inf) + SESSION_GAP

    def start_code(self, code: str) -> bool:
        """Whether the first tick's ``code`` trades; a traded code gets its keys and bar watches."""
        trades = code != BENCHMARK if self.traded is None else code in self.traded
        if trades:
            self.keys[code] = [("m", 1), *self.declared]
            self.watches[code] = [_bar_watch(u, f) for u, f in self.declared]
        return trades

    def closed_bars(self, code: str, watch: _BarWatch) -> None:
        """Hand ``on_bar`` the closed bars of ``watch`` when the frame has a new one."""
        frame = self.run.qm.get_kbar(code, watch.unit, watch.freq)
        closed = frame.height - 1
        # Bars are only appended: a new count is a new closed bar. (A tick pulled back into the forming
        # bar moves the label seen by the times, not the bars.)
        if closed > 0 and closed != watch.announced:
            watch.announced = closed
            self.strategy.on_bar(code, frame.slice(0, closed))

    def mark(self, count: int, advance: Callable[[int], Any]) -> float:
        """Progress and trimming at ``count`` ticks; the count of the next mark."""
        if count >= self.next_progress:
            self.next_progress = count + PROGRESS_EVERY
            advance(count)
        if count >= self.next_trim:
            self.next_trim = count + cast(int, self.trim_every)
            _trim(self.run.qm, self.keys)
            self.trims += 1
        return min(self.next_progress, self.next_trim)

    def replay(self, source: Iterable[dict[str, Any]], advance: Callable[[int], Any]) -> None:
        """Every tick of ``source`` into the core, and the hooks it calls for; the hot loop, so what it
        reads on every tick is held in locals."""
        strategy, run = self.strategy, self.run
        hooks_bar = type(strategy).on_bar is not Strategy.on_bar and bool(self.declared)
        on_tick = strategy.on_tick if type(strategy).on_tick is not Strategy.on_tick else None
        add_tick, set_current_tick = run.qm.add_tick, run.positions.set_current_tick
        latest, watches, session_last = run.latest, self.watches, self.session_last
        resting, match = run.book.resting, run.book.match
        start_code, closed_bars, bar_label = self.start_code, self.closed_bars, _bar_label
        tracked: set[str] = set()
        deadline, day_end, traded_day_end, offset = math.inf, -math.inf, -math.inf, 0.0
        count, next_mark = 0, min(self.next_progress, self.next_trim)
        for tick in source:
            ts = tick["timestamp"]
            if ts > deadline:
                deadline = self.end_sessions(ts)
            if ts >= day_end:
                offset, day_end = _local_day(ts)
            add_tick(tick)
            set_current_tick(tick)
            count += 1
            if count >= next_mark:
                next_mark = self.mark(count, advance)
            code = tick["code"]
            code_watches = watches.get(code)
            if code_watches is None:
                if code in tracked:
                    continue
                tracked.add(code)
                if not start_code(code):
                    continue
                code_watches = watches[code]
            if ts >= traded_day_end:
                traded_day_end = self.book.enter(tick, latest.get(code))
            latest[code] = tick
            if code in resting:
                match(code, tick)
            if code not in session_last:
                deadline = min(deadline, ts + SESSION_GAP)
            session_last[code] = ts
            if hooks_bar:
                local_ts = ts + offset
                for watch in code_watches:
                    label = bar_label(watch, local_ts)
                    if label != watch.label:
                        if watch.label is not None:
                            closed_bars(code, watch)
                        watch.label = label
            if on_tick is not None:
                on_tick(tick)
        self.count = count
