"""The replay: every tick into the quote manager and the account, the strategy's hooks at their moments,
old ticks trimmed as the run goes, and a progress bar."""

from __future__ import annotations

import contextlib
import inspect
import math
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import TYPE_CHECKING, Any, cast

from zopt_kelv_backtest._lazy_imports import import_core as _import_core
from zopt_kelv_backtest.backtest.bars import bar_columns
from zopt_kelv_backtest.backtest.daily import DayBook, open_lots
from zopt_kelv_backtest.backtest.orders import FILL_MODES, Fill
from zopt_kelv_backtest.backtest.result import BacktestResult
from zopt_kelv_backtest.backtest.strategy import Strategy, Unit, _check_bar_keys, _Run
from zopt_kelv_backtest.backtest.ticks import TickSource, _tick_source, pin_local_time
from zopt_kelv_backtest.market import BENCHMARK

if TYPE_CHECKING:
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = ["run_backtest", "run_backtests"]

SESSION_GAP = 30 * 60  # seconds without a tick of a code that end its session
TRIM_EVERY = 20_000  # ticks between two trims of the quote manager's old ticks
PROGRESS_EVERY = 2_000  # ticks between two progress updates


def run_backtest(
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
    return run_backtests(ticks, [strategy], codes=codes, capital=capital, fee_settings=fee_settings,
                         progress=progress, total=total, trim_every=trim_every, fill=fill,
                         allow_short_stock=allow_short_stock)[0]


def run_backtests(
    ticks: TickSource,
    strategies: Sequence[Strategy],
    *,
    codes: Iterable[str] | None = None,
    capital: int = 5_000_000,
    fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None = None,
    progress: bool = False,
    total: int | None = None,
    trim_every: int | None = TRIM_EVERY,
    fill: Fill = "next_tick",
    allow_short_stock: bool = True,
) -> list[BacktestResult]:
    """Replay ``ticks`` once for several strategies, each with its own account; one result each, in order.

    Each result is what :func:`run_backtest` gives for that strategy alone (same arguments). The
    strategies share one quote manager: they must declare the same ``bar_keys`` and ``bars_as`` (a
    parameter sweep's strategies of one class do), their hooks may read ``quote_manager`` but must not
    change it (a change would reach the others), and each strategy object may appear once.
    """
    _import_core()
    declared, arrays = _check_members(strategies)
    if type(capital) is not int or capital <= 0:
        raise ValueError(f"capital must be a positive int, got {capital!r}")
    if trim_every is not None and (type(trim_every) is not int or trim_every < 1):
        raise ValueError(f"trim_every must be a positive int or None, got {trim_every!r}")
    if fill not in FILL_MODES:
        raise ValueError(f"fill must be one of {list(FILL_MODES)}, got {fill!r}")
    traded = None if codes is None else set(codes)
    if traded is not None and not all(isinstance(c, str) for c in traded):
        raise TypeError("codes must be strings")
    pin_local_time()
    source = _tick_source(ticks)
    qm, accounts = _core_objects(capital, fee_settings, len(strategies))
    runs = [_Run(s, qm, p, fill=fill, allow_short_stock=bool(allow_short_stock)) for s, p in zip(strategies, accounts)]
    replay = _Replay([_member(s, r, declared) for s, r in zip(strategies, runs)], declared, traded, trim_every,
                     arrays)
    for s, r in zip(strategies, runs):
        s.quote_manager, s.positions, s._run = qm, r.positions, r
    try:
        with _progress(progress, total) as advance:
            for s in strategies:
                _call("on_start", s.on_start)
            replay.replay(source, advance)
            replay.end_sessions(math.inf)
            for s, r in zip(strategies, runs):
                _call("on_end", s.on_end)
                r.book.finish()
            advance(replay.count)
    finally:
        for s in strategies:
            s._run = None
    return [BacktestResult(quote_manager=qm, positions=r.positions, codes=sorted(replay.codes), capital=capital,
                           fills=r.fills, days=book.days, tick_count=replay.count, trimmed=replay.trims > 0,
                           open_marks=book.finish(), open_lots=open_lots(r.positions), order_list=r.book.all)
            for r, book in zip(runs, replay.books)]


def _check_members(strategies: Sequence[Strategy]) -> tuple[list[tuple[Unit, int]], bool]:
    """The bar keys and style the strategies share; errors name what is wrong."""
    if not strategies:
        raise ValueError("no strategies to run")
    for s in strategies:
        if not isinstance(s, Strategy):
            raise TypeError(f"strategy must be a Strategy instance, got {type(s).__name__}")
        if s._run is not None:
            raise RuntimeError("this strategy is already running (a hook may not start its run again)")
    if len({id(s) for s in strategies}) != len(strategies):
        raise ValueError("a strategy object may run only once in one replay: give each its own instance")
    declared = _check_bar_keys(strategies[0].bar_keys)
    arrays = _bars_as(strategies[0])
    for s in strategies[1:]:
        if _check_bar_keys(s.bar_keys) != declared or _bars_as(s) != arrays:
            raise ValueError("strategies run in one replay must declare the same bar_keys and bars_as")
    return declared, arrays


def _core_objects(capital: int, fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None,
                  accounts: int = 1) -> tuple[QuoteManager, list[Positions]]:
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

    qm = QuoteManager()
    out = []
    for _ in range(accounts):
        positions = Positions()
        positions.set_initial_capital(capital)
        for setting_type, sides in (fee_settings or {}).items():
            for action, values in sides.items():
                # The core checks the names and raises its own error for a bad one.
                positions.update_fee_settings(cast(Any, setting_type), cast(Any, action), **values)
        out.append(positions)
    return qm, out


# --- the replay -----------------------------------------------------------------------------------
#
# The per-tick loop is native (modules/replay): it feeds every tick to the quote manager and each account,
# labels bars with the core's own truncation and calls back here only at the strategy's moments: a new
# code, a new trading day, a bar key whose label moved, a session's end, progress and trimming.

BARS_AS = ("frame", "arrays")


@dataclass
class _Member:
    """One strategy with its own account, sharing the replay's quote manager."""

    strategy: Strategy
    run: _Run
    on_bar: Callable[..., Any] | None  # None: no on_bar hook (or no declared keys)
    with_key: bool  # the on_bar hook takes the key as a third argument


def _member(strategy: Strategy, run: _Run, declared: list[tuple[Unit, int]]) -> _Member:
    hook = strategy.on_bar if type(strategy).on_bar is not Strategy.on_bar and declared else None
    return _Member(strategy, run, hook, hook is not None and _takes_key(hook))


def _takes_key(hook: Callable[..., Any]) -> bool:
    """Whether ``on_bar`` takes a third argument: a parameter named ``key`` or a third positional one."""
    try:
        params = list(inspect.signature(hook).parameters.values())
    except (TypeError, ValueError):
        return False
    if any(p.name == "key" for p in params):
        return True
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return len(positional) >= 3 or any(p.kind is p.VAR_POSITIONAL for p in params)


def _bars_as(strategy: Strategy) -> bool:
    """Whether ``strategy`` takes closed bars as arrays (its class's ``bars_as``)."""
    style = getattr(type(strategy), "bars_as", "frame")
    if style not in BARS_AS:
        raise ValueError(f"bars_as must be one of {list(BARS_AS)}, got {style!r}")
    return style == "arrays"


def _call(hook: str, fn: Callable[..., object], *args: Any) -> None:
    """A strategy hook; hooks return None."""
    value = fn(*args)
    if value is not None:
        raise TypeError(f"Strategy.{hook} must return None, got {type(value).__name__}")


class _Replay:
    """The driver of one native replay: which codes trade, their keys, open sessions and trading days, and
    the strategy hooks at their moments. Several members (strategies with their own accounts) may share
    one replay; each gets every hook in turn."""

    def __init__(self, members: list[_Member], declared: list[tuple[Unit, int]], traded: set[str] | None,
                 trim_every: int | None, arrays: bool) -> None:
        self.members = members
        self.declared = declared
        self.traded = traded
        self.trim_every = trim_every
        self.arrays = arrays
        self.qm = members[0].run.qm
        self.keys: dict[str, list[tuple[Unit, int]]] = {BENCHMARK: [("d", 1)]}  # the QuantStats benchmark
        self.codes: list[str] = []  # traded codes, in order of their first tick
        self.announced: dict[tuple[str, int], int] = {}  # closed bars last handed to on_bar (frames)
        self.session_last: dict[str, float] = {}  # traded codes with an open session: time of their latest tick
        self.books = [DayBook(m.run.positions) for m in members]  # trading days with ticks of a traded code
        self.watched = declared if any(m.on_bar for m in members) else []
        self.count = 0
        self.trims = 0
        self.advance: Callable[[int], Any] = lambda done: None
        self.next_progress: float = PROGRESS_EVERY
        self.next_trim: float = trim_every if trim_every else math.inf

    # The engine's callbacks ----------------------------------------------------------------------

    def end_sessions(self, now: float) -> float:
        """Call ``on_session_end`` for the codes without a tick for ``SESSION_GAP`` before ``now``; the time
        the next open session would end."""
        session_last = self.session_last
        for code, last in sorted(session_last.items(), key=lambda item: item[1]):
            if now - last > SESSION_GAP:
                del session_last[code]
                for m in self.members:
                    m.run.book.expire(code, now)
                    _call("on_session_end", m.strategy.on_session_end, code)
        return min(session_last.values(), default=math.inf) + SESSION_GAP

    def start_code(self, code: str) -> tuple[list[tuple[Unit, int]], bool] | None:
        """None when the first tick's ``code`` does not trade; else the bar keys to watch and whether
        closed bars go out as arrays."""
        trades = code != BENCHMARK if self.traded is None else code in self.traded
        if not trades:
            return None
        self.keys[code] = [("m", 1), *self.declared]
        self.codes.append(code)
        return self.watched, self.arrays

    def enter_day(self, tick: dict[str, Any], code: str) -> float:
        """A tick of a traded code at or after the current trading day's end; when the next one ends."""
        ends = [book.enter(tick, m.run.latest.get(code)) for book, m in zip(self.books, self.members)]
        return ends[0]

    def bar_closed(self, code: str, index: int) -> None:
        """The label of a watched key moved: hand ``on_bar`` the closed bars when the frame has a new one."""
        unit, freq = self.watched[index]
        frame = self.qm.get_kbar(code, unit, freq)
        closed = frame.height - 1
        # Bars are only appended: a new count is a new closed bar. (A tick pulled back into the forming
        # bar moves the label seen by the times, not the bars.)
        if closed > 0 and closed != self.announced.get((code, index), 0):
            self.announced[code, index] = closed
            bars = frame.slice(0, closed)
            for m in self.members:
                self._on_bar(m, code, bars, index)

    def _on_bar(self, m: _Member, code: str, bars: Any, index: int) -> None:
        if m.on_bar is not None:
            if m.with_key:
                _call("on_bar", m.on_bar, code, bars, self.watched[index])
            else:
                _call("on_bar", m.on_bar, code, bars)

    def kbar_columns(self, code: str, index: int) -> tuple[Any, ...]:
        """A watched key's bars from the quote manager's query, forming bar included, as the native
        arrays start from: (start times in microseconds, open, high, low, close, volume)."""
        unit, freq = self.watched[index]
        return bar_columns(self.qm.get_kbar(code, unit, freq))

    def mark(self, count: int) -> float:
        """Progress and trimming at ``count`` ticks; the count of the next mark."""
        if count >= self.next_progress:
            self.next_progress = count + PROGRESS_EVERY
            self.advance(count)
        if count >= self.next_trim:
            self.next_trim = count + cast(int, self.trim_every)
            _trim(self.qm, self.keys)
            self.trims += 1
        return min(self.next_progress, self.next_trim)

    @staticmethod
    def local_wall_us(stamp: float) -> int:
        """Local wall-clock microseconds of ``stamp``, as the core reads tick times."""
        return (datetime.fromtimestamp(stamp) - _EPOCH) // timedelta(microseconds=1)

    # The run -------------------------------------------------------------------------------------

    def replay(self, source: Iterable[dict[str, Any]], advance: Callable[[int], Any]) -> None:
        """Every tick of ``source`` through the native loop."""
        from zopt_kelv_backtest.modules.positions.positions import Positions
        from zopt_kelv_backtest.modules.replay.replay import Engine

        self.advance = advance
        accounts = []
        for m in self.members:
            strategy, positions = m.strategy, m.run.positions
            on_tick = strategy.on_tick if type(strategy).on_tick is not Strategy.on_tick else None
            on_bar = m.on_bar if self.arrays else None  # frames go through bar_closed
            # The core's own set_current_tick is done by the loop itself; any other is called.
            own = type(positions) is Positions and "set_current_tick" not in vars(positions)
            book = m.run.book  # orders placed before a tick match on it, right after it is the latest
            accounts.append((positions if own else positions.set_current_tick, m.run.latest, book.resting,
                             book.match, on_tick, on_bar, m.with_key, own))
        engine = Engine(self.qm, self.qm.add_tick, accounts, self, self.session_last, float(SESSION_GAP))
        self.count = engine.run(source, min(self.next_progress, self.next_trim))


_EPOCH = datetime(1970, 1, 1)


def _trim(qm: QuoteManager, keys: dict[str, list[tuple[Unit, int]]]) -> None:
    """Drop the old ticks every cached key of their code has read.

    Each kept key (the strategy's and the reports') and every key found cached is queried first, so all
    of them have merged every tick; the newest old tick stays, as the mark from which each key continues.
    A code without any key keeps nothing of its ticks but the newest (``last_tick`` carries gap filling).
    """
    for code, state in list(qm.ticks.items()):
        wanted = {(code, u, f) for u, f in keys.get(code, ())} | set(state["cached_kbars"])
        for key in sorted(wanted, key=repr):
            if len(key) == 3 and key[0] == code and (state["ticks"] or state["old_ticks"]):
                qm.get_kbar(code, cast(Unit, key[1]), key[2])
        state = qm.ticks[code]
        if wanted:
            del state["old_ticks"][:-1]
        else:
            del state["ticks"][:-1]
            del state["old_ticks"][:-1]


@contextlib.contextmanager
def _progress(show: bool, total: int | None) -> Iterator[Callable[[int], Any]]:
    if not show:
        yield lambda done: None
        return
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    with Progress(
        TextColumn("[bold blue]回放 ticks"),
        BarColumn(),
        MofNCompleteColumn(),
        TimeElapsedColumn(),
        console=Console(stderr=True),
        transient=False,
    ) as bar:
        task = bar.add_task("replay", total=total)
        yield lambda done: bar.update(task, completed=done)
