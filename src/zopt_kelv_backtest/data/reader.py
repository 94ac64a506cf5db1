"""Reading the tick store: only the days and codes asked for, streamed a trading day at a time."""

from __future__ import annotations

import itertools
import math
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from typing import Any, Union

import polars as pl

from zopt_kelv_backtest import market
from zopt_kelv_backtest.backtest import InputError, TickStream
from zopt_kelv_backtest.data.continuous import read_rolls
from zopt_kelv_backtest.data.store import FUTURES, TICK_COLUMNS, TICKS, day_files, groups, trading_day_column

__all__ = ["StoreStream", "When", "read_store", "stored_codes"]

When = Union[date, datetime, float, int, str, None]
_CONTRACT = re.compile(r"\d{6}(?:W\d{1,2})?")
_Selector = tuple[str, str, "str | None", str]


@dataclass(frozen=True)
class _Part:
    """One day file to read: the rows of ``contract`` only (all when None), as ``code``."""

    day: date
    path: str
    contract: str | None
    code: str

    def scan(self) -> pl.LazyFrame:
        frame = pl.scan_parquet(self.path)
        if self.contract is not None:
            frame = frame.filter(pl.col("contract") == self.contract)
        return frame.with_columns(code=pl.lit(self.code)).select(TICK_COLUMNS)


def _instant(when: When, *, end: bool) -> float | None:
    """Epoch seconds of a bound: a date is a whole Taipei day (``end``: up to its last instant)."""
    if when is None:
        return None
    if isinstance(when, str):
        try:
            when = date.fromisoformat(when.strip())
        except ValueError:
            raise InputError(f"bad {'end' if end else 'start'} {when!r}: use YYYY-MM-DD") from None
    if isinstance(when, datetime):
        aware = when if when.tzinfo is not None else when.replace(tzinfo=market.TAIPEI)
        return aware.timestamp()
    if isinstance(when, date):
        day = when + timedelta(days=1) if end else when
        return datetime(day.year, day.month, day.day, tzinfo=market.TAIPEI).timestamp()
    if isinstance(when, (int, float)) and not isinstance(when, bool) and math.isfinite(when):
        return float(when)
    raise InputError(f"bad {'end' if end else 'start'} {when!r}: use a date, a datetime or epoch seconds")


def _day_bounds(lo: float | None, hi: float | None) -> tuple[date | None, date | None]:
    """The trading days whose files can hold ticks from ``lo`` to before ``hi``: a tick's trading day is
    never before its Taipei date, and trading days follow time."""
    first = last = None
    if lo is not None:
        first = datetime.fromtimestamp(min(max(lo, market.FIRST_TIMESTAMP), market.END_TIMESTAMP), market.TAIPEI).date()
    if hi is not None:
        edge = min(max(hi, market.FIRST_TIMESTAMP + 1), market.END_TIMESTAMP) - 1e-3
        last = trading_day_column(pl.Series([edge])).item()
    return first, last


def _selectors(root: str, codes: Sequence[str] | None) -> list[_Selector]:
    """``(kind, folder, contract, code)`` per code asked for: contract "*" is the continuous series, None
    every row of a code's own files."""
    products, others = groups(root, FUTURES), groups(root, TICKS)
    if codes is None:
        return [(TICKS, c, None, c) for c in others] + [(FUTURES, p, "*", p) for p in products]
    chosen: list[_Selector] = []
    for code in dict.fromkeys(codes):
        found: list[_Selector] = []
        if code in others:
            found.append((TICKS, code, None, code))
        if code in products:
            found.append((FUTURES, code, "*", code))
        for product in products:
            rest = code[len(product):]
            if code.startswith(product) and _CONTRACT.fullmatch(rest):
                found.append((FUTURES, product, rest, code))
        if not found:
            held = ", ".join(others + products) or "nothing"
            raise InputError(f"no ticks for code {code} in the store {root} (it holds {held}; a futures "
                             "product P reads as P, the continuous series, or P plus a contract month)")
        if len(found) > 1:
            raise InputError(f"code {code} is ambiguous in the store {root}: remove ticks/{code} or "
                             f"futures/{found[-1][1]}")
        chosen.append(found[0])
    return chosen


def _parts(root: str, codes: Sequence[str] | None, first: date | None, last: date | None) -> list[_Part]:
    parts = []
    for kind, folder, contract, code in _selectors(root, codes):
        files = day_files(root, kind, folder, first, last)
        if contract != "*":
            parts += [_Part(day, path, contract, code) for day, path in files]
            continue
        rolls = read_rolls(root, folder)
        month = {} if rolls is None else dict(zip(rolls["trading_day"].to_list(), rolls["contract"].to_list()))
        for day, path in files:
            if day not in month:
                raise InputError(f"the roll table of {folder} lacks {day}: run "
                                 f"python -m zopt_kelv_backtest.data rolls {root}")
            parts.append(_Part(day, path, month[day], code))
    return parts


def _records(frame: pl.DataFrame) -> list[dict[str, Any]]:
    """Tick records of ``frame``'s rows; a column with one value all along is read once."""
    same = frame.select((pl.col(c) == pl.col(c).first()).all() for c in TICK_COLUMNS).row(0)
    fixed = {c: frame[c][0] for c, one in zip(TICK_COLUMNS, same) if one}
    if set(fixed) >= {"code", "market_type", "tick_type", "is_simulate"}:
        # One day file of one code: only time, price and quantity change from tick to tick.
        template = {c: fixed.get(c) for c in TICK_COLUMNS}
        copy = template.copy
        out = []
        for t, p, q in zip(frame["timestamp"].to_list(), frame["close"].to_list(), frame["qty"].to_list()):
            tick = copy()
            tick["timestamp"], tick["close"], tick["qty"] = t, p, q
            out.append(tick)
        return out
    columns = [itertools.repeat(fixed[c]) if c in fixed else frame[c].to_list() for c in TICK_COLUMNS]
    return [{"timestamp": t, "code": c, "market_type": m, "close": p, "qty": q, "tick_type": k, "is_simulate": s}
            for t, c, m, p, q, k, s in zip(*columns)]


class StoreStream(TickStream):
    """Tick records of a tick store, in time order, read a trading day at a time.

    ``codes`` lists the codes that have ticks in the selection (sorted); ``len()`` is the number of ticks.
    Iterating hands out the same records as ``next()``: each tick once.
    """

    def __init__(self, parts: Sequence[_Part], lo: float | None, hi: float | None, batch_size: int) -> None:
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        self._parts = list(parts)
        self._lo, self._hi, self._batch_size = lo, hi, batch_size
        counts = self._counts()
        self._length = sum(counts.values())
        self.codes: tuple[str, ...] = tuple(sorted(c for c, n in counts.items() if n))
        # chain hands out each record without a Python frame per tick.
        self._ticks: Iterator[dict[str, Any]] = itertools.chain.from_iterable(self._batches())

    def _window(self, frame: pl.LazyFrame) -> pl.LazyFrame:
        ts = pl.col("timestamp")
        if self._lo is not None:
            frame = frame.filter(ts >= self._lo)
        if self._hi is not None:
            frame = frame.filter(ts < self._hi)
        return frame

    def _counts(self) -> dict[str, int]:
        if not self._parts:
            return {}
        try:
            frame = pl.concat([self._window(p.scan()).select(pl.len()) for p in self._parts])
            lengths = frame.collect().to_series().to_list()
        except pl.exceptions.PolarsError as exc:
            raise InputError(f"cannot read the tick store: {str(exc).splitlines()[0]}") from None
        counts: dict[str, int] = {}
        for part, n in zip(self._parts, lengths):
            counts[part.code] = counts.get(part.code, 0) + n
        return counts

    def _days(self) -> Iterator[pl.DataFrame]:
        by_day: dict[date, list[_Part]] = {}
        for part in self._parts:
            by_day.setdefault(part.day, []).append(part)
        latest = -float("inf")
        for day in sorted(by_day):
            try:
                frame = self._window(pl.concat([p.scan() for p in by_day[day]])).collect()
            except pl.exceptions.PolarsError as exc:
                raise InputError(f"cannot read the tick store's day {day}: {str(exc).splitlines()[0]}") from None
            if frame.height == 0:
                continue
            if len(by_day[day]) > 1 or not frame["timestamp"].is_sorted():
                frame = frame.sort("timestamp", maintain_order=True)
            if frame["timestamp"][0] < latest:
                raise InputError(f"the tick store's files of {day} hold ticks of an earlier trading day")
            latest = frame["timestamp"][-1]
            yield frame

    def _batches(self) -> Iterator[list[dict[str, Any]]]:
        step = self._batch_size
        for frame in self._days():
            for offset in range(0, frame.height, step):
                yield _records(frame.slice(offset, step))

    def __len__(self) -> int:
        return self._length

    def __iter__(self) -> Iterator[dict[str, Any]]:  # type: ignore[override]
        return self._ticks

    def __next__(self) -> dict[str, Any]:
        return next(self._ticks)


def stored_codes(root: str | os.PathLike[str]) -> list[str]:
    """The codes :func:`read_store` reads by default (every ``ticks/`` code and every futures product's
    continuous series), from the store's folders alone, without reading a tick."""
    root = os.fspath(root)
    return sorted({*groups(root, TICKS), *groups(root, FUTURES)})


def read_store(root: str | os.PathLike[str], codes: Iterable[str] | None = None, start: When = None,
               end: When = None, *, batch_size: int = 100_000) -> StoreStream:
    """Ticks of the tick store at ``root`` as a :class:`~zopt_kelv_backtest.backtest.TickStream`.

    ``codes``: which series to read (default: every code under ``ticks/`` and the continuous series of
    every futures product): ``MXF`` is the product's continuous near-month series (its roll table picks
    the contract of each trading day; the ticks carry the code ``MXF``), ``MXF202606`` one contract month
    (``MXF202606W1`` a weekly one, when imported), any other code its ``ticks/<code>`` files.

    ``start`` / ``end``: the first and last instant, each a ``date`` (a whole day in Taipei time, so the
    night session's ticks after midnight belong to the next date), a ``datetime`` (naive is Taipei time;
    ``end`` excluded), epoch seconds (``end`` excluded) or ``"YYYY-MM-DD"``; ``None`` leaves that side open.
    Only the day files that can hold such ticks are opened, and only their rows in range and of the
    contract asked for are read (polars' predicate push-down). The records come in time order, one trading
    day read at a time; rows of equal time keep their file order. A selection without ticks gives an empty
    stream; a code the store does not hold raises :class:`InputError`.
    """
    root = os.fspath(root)
    if not any(os.path.isdir(os.path.join(root, kind)) for kind in (FUTURES, TICKS)):
        raise InputError(f"neither a tick file nor a tick store (no futures/ or ticks/ folder): {root}")
    lo, hi = _instant(start, end=False), _instant(end, end=True)
    if lo is not None and hi is not None and hi <= lo:
        raise InputError(f"end {end} is not after start {start}")
    wanted = None if codes is None else [codes] if isinstance(codes, str) else list(codes)
    first, last = _day_bounds(lo, hi)
    return StoreStream(_parts(root, wanted, first, last), lo, hi, batch_size)
