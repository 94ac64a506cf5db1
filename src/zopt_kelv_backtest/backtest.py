"""Strategy runner: replay ticks through ``QuoteManager`` and ``Positions`` with a strategy's hooks.

A strategy subclasses :class:`Strategy`, overrides the hooks it needs and trades with the order helpers::

    class Breakout(Strategy):
        params = {"lookback": 30}
        bar_keys = (("m", 1),)

        def on_bar(self, code, bars):  # closed one-minute bars, oldest first
            before = bars.tail(self.lookback + 1).head(self.lookback)
            if self.position(code) == 0 and bars["Close"][-1] > before["High"].max():
                self.buy(code)

        def on_session_end(self, code):
            self.close(code)

    result = run_backtest(None, Breakout(lookback=20))
    print(result.summary())

``run_backtest`` streams the ticks (an iterable of tick records, a CSV/Parquet file through
:func:`load_ticks`, or the package's synthetic set), hands every tick to the quote manager and the account,
calls the hooks, and returns a :class:`BacktestResult` with the trades, the profit rows, the daily equity
curve and the headline figures. Memory does not grow with the run: old ticks are dropped once every cached
K-bar key of their code has read them.

The core reads tick times as the process's local time, and the markets are in Taipei: the runner pins
``TZ=Asia/Taipei`` for its process (:func:`pin_local_time`).

When the runner imports the core first, the core's report libraries (pandas, matplotlib, QuantStats and
what they pull in, seconds of imports) load on their first use, normally the QuantStats report; a replay
that writes no such report never loads them. ``ZOPT_KELV_EAGER_IMPORTS=1`` turns that off.
"""

from __future__ import annotations

import contextlib
import copy
import io
import logging
import math
import os
import time
import warnings
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import TYPE_CHECKING, Any, ClassVar, Literal, Optional, Union, cast

from zopt_kelv_backtest._lazy_imports import import_core as _import_core

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

__all__ = [
    "BENCHMARK",
    "BacktestResult",
    "InputError",
    "Strategy",
    "TickStream",
    "load_ticks",
    "pin_local_time",
    "run_backtest",
]

BENCHMARK = "0050"  # the QuantStats report's benchmark; not traded by default
SESSION_GAP = 30 * 60  # seconds without a tick of a code that end its session
TRIM_EVERY = 20_000  # ticks between two trims of the quote manager's old ticks
PROGRESS_EVERY = 2_000  # ticks between two progress updates
TICK_KEYS = ("timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate")
REQUIRED_COLUMNS = TICK_KEYS[:5]
TEXT_TIME_FORMATS = (
    "%Y-%m-%d %H:%M:%S%.f",
    "%Y-%m-%dT%H:%M:%S%.f",
    "%Y-%m-%d %H:%M:%S",
    "%Y-%m-%dT%H:%M:%S",
    "%Y-%m-%d %H:%M",
)
OFFSET_TIME_FORMATS = ("%Y-%m-%dT%H:%M:%S%.f%#z", "%Y-%m-%d %H:%M:%S%.f%#z")
TIME_FORMS = (
    "epoch seconds (1709514001.93), Taipei local time text (2024-03-04 09:00:01.93, "
    "2024-03-04T09:00:01, 2024-03-04 09:00) or ISO time with an offset (2024-03-04T09:00:01.93+08:00, "
    "2024-03-04T01:00:01Z)"
)
Unit = Literal["m", "h", "d", "w", "mo", "q", "y"]
UNITS: tuple[Unit, ...] = ("m", "h", "d", "w", "mo", "q", "y")
Side = Literal["Buy", "Sell"]

TickSource = Union[Iterable[dict[str, Any]], str, "os.PathLike[str]", None]


class InputError(ValueError):
    """Bad user input; the message is one line, fit for ``error: <message>``."""


def pin_local_time() -> None:
    """Set ``TZ=Asia/Taipei`` for this process: the core reads tick times as local wall-clock time."""
    os.environ["TZ"] = "Asia/Taipei"
    if hasattr(time, "tzset"):
        time.tzset()


# --- tick files ---------------------------------------------------------------------------------


def _first_bad(df: pl.DataFrame, mask: pl.Series, column: str, what: str) -> InputError:
    row, value = df.with_row_index("_row").filter(mask).select("_row", column).row(0)
    return InputError(f"row {row + 1}: bad {what} {value!r}")


def _seconds(when: pl.Series) -> pl.Series:
    """Epoch seconds of a zone-aware datetime series, rounded once (polars' own division is not)."""
    import polars as pl

    micros = when.dt.epoch("us").to_numpy()
    return pl.Series(micros / 1e6, dtype=pl.Float64, nan_to_null=True)


def _timestamps(df: pl.DataFrame) -> pl.Series:
    """The "timestamp" column as float epoch seconds (text and naive dates are Taipei time)."""
    import polars as pl

    col = df["timestamp"]
    if col.dtype.is_numeric():
        ts = col.cast(pl.Float64)
    elif isinstance(col.dtype, pl.Datetime):
        if col.dtype.time_zone is None:
            col = col.dt.replace_time_zone("Asia/Taipei")
        ts = _seconds(col)
    elif col.dtype == pl.String:
        text = col.str.strip_chars()
        naive = pl.select(
            pl.coalesce([text.str.to_datetime(f, strict=False, time_unit="us") for f in TEXT_TIME_FORMATS])
        ).to_series()
        aware = pl.select(
            pl.coalesce(
                [
                    text.str.to_datetime(f, strict=False, time_unit="us", time_zone="UTC")
                    for f in OFFSET_TIME_FORMATS
                ]
            )
        ).to_series()
        local = _seconds(naive.dt.replace_time_zone("Asia/Taipei", non_existent="null", ambiguous="null"))
        offset = _seconds(aware)
        ts = text.cast(pl.Float64, strict=False).fill_null(offset).fill_null(local)
    else:
        raise InputError(f"column 'timestamp' has unsupported type {col.dtype}; it takes {TIME_FORMS}")
    bad = ts.is_null() | ts.is_nan() | ts.is_infinite()
    if bad.any():
        err = _first_bad(df, bad, "timestamp", "timestamp")
        raise InputError(f"{err}: use {TIME_FORMS}")
    return ts


def _read_frame(path: str) -> pl.DataFrame:
    import polars as pl

    if not os.path.isfile(path):
        raise InputError(f"tick file not found: {path}")
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".csv", ".parquet", ".pq"):
        raise InputError(f"unsupported tick file type {ext or '(none)'!r}: use .csv or .parquet")
    try:
        if ext == ".csv":
            # Codes such as "0050" must stay text, not become the number 50.
            return pl.read_csv(
                path, infer_schema_length=10000, schema_overrides={"code": pl.String, "market_type": pl.String}
            )
        return pl.read_parquet(path)
    except Exception as exc:  # polars' own parse and I/O errors
        text = str(exc).strip()
        first = text.splitlines()[0] if text else type(exc).__name__
        raise InputError(f"cannot read {path}: {first}") from None


def _checked_frame(df: pl.DataFrame) -> pl.DataFrame:
    """The tick columns, typed and checked, sorted by time; InputError names the first bad row."""
    import polars as pl

    missing = [c for c in REQUIRED_COLUMNS if c not in df.columns]
    if missing:
        raise InputError(f"tick file lacks column(s): {', '.join(missing)}")
    if df.height == 0:
        raise InputError("tick file holds no ticks")
    ts = _timestamps(df)
    code = df["code"].cast(pl.String, strict=False)
    bad = code.is_null() | (code.str.strip_chars() == "") | code.str.contains(r"[/\\]") | code.is_in([".", ".."])
    if bad.any():
        raise _first_bad(df, bad, "code", "code")
    market = df["market_type"].cast(pl.String, strict=False)
    bad = ~market.is_in(["Stock", "Future"]).fill_null(False)
    if bad.any():
        raise _first_bad(df, bad, "market_type", "market_type (use Stock or Future)")
    close = df["close"].cast(pl.Float64, strict=False)
    bad = close.is_null() | close.is_nan() | close.is_infinite() | (close <= 0)
    if bad.any():
        raise _first_bad(df, bad, "close", "close price")
    qty = df["qty"].cast(pl.Float64, strict=False)
    bad = qty.is_null() | qty.is_nan() | (qty < 0) | (qty != qty.floor()) | (qty >= 2.0**63)
    if bad.any():
        raise _first_bad(df, bad, "qty", "qty")
    columns = {"timestamp": ts, "code": code, "market_type": market, "close": close, "qty": qty.cast(pl.Int64)}
    if "tick_type" in df.columns:
        tick_type = df["tick_type"].cast(pl.Int8, strict=False)
        bad = tick_type.is_null()
        if bad.any():
            raise _first_bad(df, bad, "tick_type", "tick_type")
        columns["tick_type"] = tick_type.cast(pl.Int64)
    else:
        columns["tick_type"] = pl.Series([0], dtype=pl.Int64).extend_constant(0, df.height - 1)
    if "is_simulate" in df.columns:
        raw = df["is_simulate"]
        if raw.dtype == pl.Boolean:
            sim = raw
        else:
            text = raw.cast(pl.String, strict=False).str.strip_chars().str.to_lowercase()
            sim = text.replace_strict(
                {"true": True, "1": True, "false": False, "0": False}, default=None, return_dtype=pl.Boolean
            )
        bad = sim.is_null()
        if bad.any():
            raise _first_bad(df, bad, "is_simulate", "is_simulate (use true/false)")
        columns["is_simulate"] = sim
    else:
        columns["is_simulate"] = pl.Series([False], dtype=pl.Boolean).extend_constant(False, df.height - 1)
    return pl.DataFrame({k: columns[k] for k in TICK_KEYS}).sort("timestamp", maintain_order=True)


class TickStream(Iterator[dict[str, Any]]):
    """Tick records of a checked tick file, handed out as dicts a batch at a time.

    ``codes`` lists the file's codes (sorted); ``len()`` is the number of ticks.
    """

    def __init__(self, frame: pl.DataFrame, batch_size: int) -> None:
        self._frame = frame
        self._batch_size = batch_size
        self._offset = 0
        self._batch: Iterator[dict[str, Any]] = iter(())
        self.codes: tuple[str, ...] = tuple(sorted(frame["code"].unique().to_list()))

    def __len__(self) -> int:
        return self._frame.height

    def __iter__(self) -> TickStream:
        return self

    def __next__(self) -> dict[str, Any]:
        for tick in self._batch:
            return tick
        if self._offset >= self._frame.height:
            raise StopIteration
        batch = self._frame.slice(self._offset, self._batch_size)
        self._offset += self._batch_size
        self._batch = iter(batch.to_dicts())
        return next(self._batch)


def load_ticks(path: Union[str, os.PathLike[str]], *, batch_size: int = 100_000) -> TickStream:
    """Tick records of a CSV or Parquet file, in time order.

    The whole file is read and checked before this returns (columns, types, every value), so a bad file
    raises :class:`InputError` naming its first bad row before any tick is replayed. The ticks are then
    kept as compact columns and handed out as dicts ``batch_size`` at a time.

    Columns: ``timestamp`` (epoch seconds, Taipei local time text, or ISO time with an offset), ``code``,
    ``market_type`` ("Stock" or "Future"), ``close``, ``qty`` and optionally ``tick_type`` (default 0) and
    ``is_simulate`` (true/false/1/0, default false). Rows with equal times keep their file order.
    """
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    frame = _checked_frame(_read_frame(os.fspath(path)))
    return TickStream(frame, batch_size)


def _synthetic_ticks(start: date = date(2024, 2, 1), days: int = 10, seed: int = 7) -> Iterator[dict[str, Any]]:
    from zopt_kelv_backtest import synthetic

    return synthetic.iter_ticks(start=start, days=days, seed=seed)


def _tick_source(ticks: TickSource) -> Iterator[dict[str, Any]]:
    if ticks is None:
        return _synthetic_ticks()
    if isinstance(ticks, (str, os.PathLike)):
        return load_ticks(ticks)
    if isinstance(ticks, dict):
        raise TypeError("ticks must be an iterable of tick records, not one tick record")
    return iter(ticks)


# --- strategies ---------------------------------------------------------------------------------


class Strategy:
    """Base class of a strategy: override the hooks you need, trade with the order helpers.

    ``params`` names the tunable parameters and their defaults; ``Strategy(**params)`` sets each as an
    attribute (unknown names raise ``TypeError``). ``bar_keys`` lists the K-bar keys ``(unit, freq)``
    (unit one of "m", "h", "d", "w", "mo", "q", "y") whose ``on_bar`` is called when a bar closes.

    During a run ``quote_manager`` and ``positions`` are the run's core objects. An instance keeps what
    its hooks store: give each run a new one, or reset that state in ``on_start``.
    """

    params: ClassVar[dict[str, Any]] = {}
    bar_keys: ClassVar[tuple[tuple[str, int], ...]] = ()

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
        self.quote_manager: Optional[QuoteManager] = None
        self.positions: Optional[Positions] = None
        self._run: Optional[_Run] = None

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={getattr(self, name, None)!r}" for name in self.params)
        return f"{type(self).__name__}({values})"

    # Hooks ------------------------------------------------------------------------------------

    def on_start(self) -> None:
        """Called once before the first tick."""

    def on_tick(self, tick: dict[str, Any]) -> None:
        """Called for every tick of a traded code, after the core has it (and after any ``on_bar``)."""

    def on_bar(self, code: str, bars: pl.DataFrame) -> None:
        """Called when a bar of a declared key closes: ``bars`` holds the closed bars, oldest first.

        The frame is ``QuoteManager.get_kbar(code, unit, freq)`` without its newest bar, which is still
        forming; bars are labelled by their start. ``bars.height`` is at least 1.
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


# --- the run ------------------------------------------------------------------------------------


@dataclass
class _BarWatch:
    """One declared bar key of one code: when its label moves on, closed bars may be ready."""

    unit: Unit
    freq: int
    width: float  # seconds of a bar for fixed-width units; 0 for calendar units
    label: Any = None  # label of the forming bar, by the tick times seen
    announced: int = 0  # closed bars of the frame last handed to on_bar


class _Run:
    """The state of one replay: the core objects and what the hooks and helpers need."""

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


def _bar_width(unit: str, freq: int) -> float:
    return {"m": 60.0, "h": 3600.0, "d": 86400.0}.get(unit, 0.0) * freq


def _check_bar_keys(keys: Iterable[Any]) -> list[tuple[Unit, int]]:
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


def _calendar_label(unit: str, local: float) -> Any:
    # Coarse on purpose: a label that moves too often only costs a query.
    day = datetime(1970, 1, 1) + timedelta(seconds=local)
    return (day.year, day.month) if unit in ("mo", "q", "y") else day.toordinal()


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


_trim_safe: Optional[bool] = None


def core_trims_safely() -> bool:
    """Whether this build's K-bar cache keeps merging after old ticks are trimmed (probed once)."""
    global _trim_safe
    if _trim_safe is None:
        _import_core()
        from zopt_kelv_backtest.modules.positions.positions import QuoteManager

        base = datetime(2024, 2, 1, 9, 0).timestamp()
        qm = QuoteManager()

        def add(offset: float, price: float) -> None:
            qm.add_tick({"timestamp": base + offset, "code": "T", "market_type": "Stock", "close": price,
                         "qty": 1, "tick_type": 0, "is_simulate": False})

        # What a trim does: every key reads every tick, then all but the newest old tick go.
        add(10, 100.0)
        add(70, 101.0)
        qm.get_kbar("T", "m", 5)
        add(130, 102.0)
        qm.get_kbar("T", "m", 1)
        _trim(qm, {})
        add(190, 103.0)
        bar = qm.get_kbar("T", "m", 5).row(0, named=True)
        _trim_safe = bar["Open"] == 100.0 and bar["Volume"] == 4
    return _trim_safe


def run_backtest(
    ticks: TickSource,
    strategy: Strategy,
    *,
    codes: Optional[Iterable[str]] = None,
    capital: int = 5_000_000,
    fee_settings: Optional[Mapping[str, Mapping[str, Mapping[str, Any]]]] = None,
    progress: bool = False,
    total: Optional[int] = None,
    trim_every: Optional[int] = TRIM_EVERY,
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
      every tick. Trimming needs a core whose cached keys keep merging after a trim
      (:func:`core_trims_safely`); ``BacktestResult.trimmed`` says whether it happened.
    """
    _import_core()
    from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager

    if not isinstance(strategy, Strategy):
        raise TypeError(f"strategy must be a Strategy instance, got {type(strategy).__name__}")
    if type(capital) is not int or capital <= 0:
        raise ValueError(f"capital must be a positive int, got {capital!r}")
    if trim_every is not None and (type(trim_every) is not int or trim_every < 1):
        raise ValueError(f"trim_every must be a positive int or None, got {trim_every!r}")
    declared = _check_bar_keys(strategy.bar_keys)
    traded = None if codes is None else set(codes)
    if traded is not None and not all(isinstance(c, str) for c in traded):
        raise TypeError("codes must be strings")
    pin_local_time()
    source = _tick_source(ticks)

    qm = QuoteManager()
    positions = Positions()
    positions.set_initial_capital(capital)
    for setting_type, sides in (fee_settings or {}).items():
        for action, values in sides.items():
            # The core checks the names and raises its own error for a bad one.
            positions.update_fee_settings(cast(Any, setting_type), cast(Any, action), **values)
    run = _Run(strategy, qm, positions)
    strategy.quote_manager, strategy.positions, strategy._run = qm, positions, run
    trimming = trim_every is not None and core_trims_safely()

    keys: dict[str, list[tuple[Unit, int]]] = {BENCHMARK: [("d", 1)]}  # the QuantStats benchmark
    watches: dict[str, list[_BarWatch]] = {}
    session_last: dict[str, float] = {}  # traded codes with an open session: time of their latest tick
    deadline = math.inf
    day_end = traded_day_end = -math.inf
    offset = 0.0
    days: list[date] = []
    hooks_bar = type(strategy).on_bar is not Strategy.on_bar and bool(declared)
    on_tick = strategy.on_tick if type(strategy).on_tick is not Strategy.on_tick else None
    add_tick, set_current_tick = qm.add_tick, positions.set_current_tick
    latest = run.latest
    count = 0

    def end_sessions(now: float) -> float:
        for code, last in sorted(session_last.items(), key=lambda item: item[1]):
            if now - last > SESSION_GAP:
                del session_last[code]
                strategy.on_session_end(code)
        return min(session_last.values(), default=math.inf) + SESSION_GAP

    def start_code(code: str) -> bool:
        trades = code != BENCHMARK if traded is None else code in traded
        if trades:
            keys[code] = [("m", 1), *declared]
            watches[code] = [_BarWatch(u, f, _bar_width(u, f)) for u, f in declared]
        return trades

    def closed_bars(code: str, watch: _BarWatch) -> None:
        frame = qm.get_kbar(code, watch.unit, watch.freq)
        closed = frame.height - 1
        # Bars are only appended: a new count is a new closed bar. (A tick pulled back into the forming
        # bar moves the label seen by the times, not the bars.)
        if closed > 0 and closed != watch.announced:
            watch.announced = closed
            strategy.on_bar(code, frame.slice(0, closed))

    tracked: set[str] = set()
    next_progress = PROGRESS_EVERY
    next_trim = trim_every if trimming and trim_every else math.inf
    next_mark = min(next_progress, next_trim)
    trims = 0
    try:
        with _progress(progress, total) as advance:
            strategy.on_start()
            for tick in source:
                ts = tick["timestamp"]
                if ts > deadline:
                    deadline = end_sessions(ts)
                if ts >= day_end:
                    offset = float(time.localtime(ts).tm_gmtoff)
                    day_end = ts - (ts + offset) % 86400 + 86400
                add_tick(tick)
                set_current_tick(tick)
                count += 1
                if count >= next_mark:
                    if count >= next_progress:
                        next_progress = count + PROGRESS_EVERY
                        advance(count)
                    if count >= next_trim:
                        next_trim = count + cast(int, trim_every)
                        _trim(qm, keys)
                        trims += 1
                    next_mark = min(next_progress, next_trim)
                code = tick["code"]
                code_watches = watches.get(code)
                if code_watches is None:
                    if code in tracked:
                        continue
                    tracked.add(code)
                    if not start_code(code):
                        continue
                    code_watches = watches[code]
                latest[code] = tick
                if ts >= traded_day_end:
                    # A calendar day with ticks of a traded code: a row of the equity curve.
                    traded_day_end = day_end
                    day = date.fromtimestamp(ts)
                    if not days or day > days[-1]:
                        days.append(day)
                if code not in session_last:
                    deadline = min(deadline, ts + SESSION_GAP)
                session_last[code] = ts
                if hooks_bar:
                    local_ts = ts + offset
                    for watch in code_watches:
                        label = local_ts // watch.width if watch.width else _calendar_label(watch.unit, local_ts)
                        if label != watch.label:
                            if watch.label is not None:
                                closed_bars(code, watch)
                            watch.label = label
                if on_tick is not None:
                    on_tick(tick)
            end_sessions(math.inf)
            strategy.on_end()
            advance(count)
    finally:
        strategy._run = None
    return BacktestResult(
        quote_manager=qm,
        positions=positions,
        codes=sorted(watches),
        capital=capital,
        fills=run.fills,
        days=days,
        tick_count=count,
        trimmed=trims > 0,
    )


@contextlib.contextmanager
def _progress(show: bool, total: Optional[int]) -> Iterator[Any]:
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


# --- results ------------------------------------------------------------------------------------


@dataclass
class BacktestResult:
    """What a run leaves: the core objects, the trades and the figures a user looks at first.

    - ``trades``: one row per fill (trade_id, code, action, quantity, price, dt, product_type);
    - ``profit_rows``: the closed round trips (the core's profit rows, copied at the end of the run);
    - ``equity``: one row per calendar day with ticks of a traded code: date, profit (realised that day),
      equity, drawdown;
    - ``net_profit``, ``trade_count`` (round trips), ``win_rate`` (share of round trips with a profit
      above 0), ``total_cost`` (fees, tax and fixed costs of both legs), ``max_drawdown`` (largest fall of
      the daily equity from its running peak, in currency, >= 0) and ``sharpe`` (of daily returns on the
      initial capital, annualised with 252 days, risk-free 0; 0.0 with fewer than two days or no spread).
    """

    quote_manager: QuoteManager
    positions: Positions
    codes: list[str]
    capital: int
    fills: list[dict[str, Any]]
    days: list[date]
    tick_count: int
    trimmed: bool = False
    profit_rows: list[dict[str, Any]] = field(init=False)

    def __post_init__(self) -> None:
        rows = self.positions.get_profit_rows_by_code
        self.profit_rows = [dict(r) for code in self.codes for r in rows(code)]
        self.profit_rows.sort(key=lambda r: r["exit_dt"])

    @property
    def trades(self) -> pl.DataFrame:
        import polars as pl

        schema: dict[str, Any] = {"trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
                  "price": pl.Float64, "dt": pl.Datetime("us"), "product_type": pl.String}
        rows = [
            {**{k: f[k] for k in ("trade_id", "code", "action", "quantity", "price")},
             "dt": datetime.fromtimestamp(f["exchange_ts"]), "product_type": f["product_type"]}
            for f in self.fills
        ]
        return pl.DataFrame(rows, schema=schema)

    def _daily(self) -> list[tuple[date, float]]:
        """Realised profit per day: the days with ticks of a traded code, and any day a trade closed."""
        by_day: dict[date, float] = dict.fromkeys(self.days, 0.0)
        for row in self.profit_rows:
            day = datetime.fromtimestamp(row["exit_dt"]).date()
            by_day[day] = by_day.get(day, 0.0) + row["profit"]
        return sorted(by_day.items())

    @property
    def daily_profit(self) -> list[float]:
        """Realised profit of each row of ``equity``."""
        return [profit for _, profit in self._daily()]

    @property
    def equity(self) -> pl.DataFrame:
        import polars as pl

        equity, peak, rows = float(self.capital), float(self.capital), []
        for day, profit in self._daily():
            equity += profit
            peak = max(peak, equity)
            rows.append({"date": day, "profit": profit, "equity": equity, "drawdown": equity - peak})
        schema: dict[str, Any] = {"date": pl.Date, "profit": pl.Float64, "equity": pl.Float64, "drawdown": pl.Float64}
        return pl.DataFrame(rows, schema=schema)

    @property
    def net_profit(self) -> float:
        return float(math.fsum(r["profit"] for r in self.profit_rows))

    @property
    def trade_count(self) -> int:
        return len(self.profit_rows)

    @property
    def win_rate(self) -> float:
        if not self.profit_rows:
            return 0.0
        return sum(1 for r in self.profit_rows if r["profit"] > 0) / len(self.profit_rows)

    @property
    def total_cost(self) -> float:
        return float(math.fsum(r["trade_cost"] + r["cover_cost"] for r in self.profit_rows))

    @property
    def max_drawdown(self) -> float:
        equity = peak = float(self.capital)
        worst = 0.0
        for profit in self.daily_profit:
            equity += profit
            peak = max(peak, equity)
            worst = max(worst, peak - equity)
        return worst

    @property
    def sharpe(self) -> float:
        returns = [p / self.capital for p in self.daily_profit]
        if len(returns) < 2:
            return 0.0
        mean = math.fsum(returns) / len(returns)
        var = math.fsum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
        if var <= 0.0:
            return 0.0
        return mean / math.sqrt(var) * math.sqrt(252)

    def summary(self) -> dict[str, Union[int, float]]:
        """The six headline figures as plain Python numbers (same input, same numbers, bit for bit)."""
        return {
            "net_profit": self.net_profit,
            "trade_count": self.trade_count,
            "win_rate": self.win_rate,
            "total_cost": self.total_cost,
            "max_drawdown": self.max_drawdown,
            "sharpe": self.sharpe,
        }

    def write_reports(self, out_dir: Union[str, os.PathLike[str]], *, quantstats: bool = True,
                      quiet: bool = False) -> list[str]:
        """Write the trade log and, per traded code with round trips, the standard report and (unless
        ``quantstats`` is false) the QuantStats report with its profit CSV. Returns the paths written.

        ``quiet`` also silences the report library's own lines on standard output.
        """
        from zopt_kelv_backtest.constant import BASIC_INFO

        root = os.path.abspath(os.fspath(out_dir))
        before = _files(root)
        saved = BASIC_INFO.data_dir
        BASIC_INFO.data_dir = root
        try:
            with _report_noise_off(quiet):
                self.positions.export_trade_records()
                for code in self.codes:
                    if not self.positions.get_profit_rows_by_code(code):
                        continue
                    self.positions.generate_standard_report(code, self.quote_manager)
                    if quantstats:
                        self.positions.generate_qs_profit_report(code, self.quote_manager)
        finally:
            BASIC_INFO.data_dir = saved
        after = _files(root)
        return sorted(p for p, stamp in after.items() if before.get(p) != stamp)


def _files(root: str) -> dict[str, tuple[int, int]]:
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            st = os.stat(path)
            found[path] = (st.st_mtime_ns, st.st_ino)
    return found


@contextlib.contextmanager
def _report_noise_off(quiet: bool) -> Iterator[None]:
    """The report library asks matplotlib for fonts this machine may lack and warns as it draws."""
    font_log = logging.getLogger("matplotlib.font_manager")
    level = font_log.level
    font_log.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            warnings.simplefilter("ignore", FutureWarning)
            warnings.simplefilter("ignore", RuntimeWarning)
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            if quiet:
                with contextlib.redirect_stdout(io.StringIO()):
                    yield
            else:
                yield
    finally:
        font_log.setLevel(level)
