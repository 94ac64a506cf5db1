"""The Parquet tick store: one file per product (or code) and trading day, each written whole.

Layout under the store's root::

    futures/<PRODUCT>/<YYYY-MM-DD>.parquet   one futures product's trades of a trading day, every contract
                                             (code MXF202606, column contract 202606, column auction)
    ticks/<CODE>/<YYYY-MM-DD>.parquet        ticks of one code of any other source (stocks, ...)
    rolls/<PRODUCT>.csv                      the continuous series' contract of each trading day
    rolls/<PRODUCT>.volumes.parquet          contracts traded per trading day and contract month

A day's file holds the ticks of the trading day they count in, the exchange's way
(:func:`zopt_kelv_backtest.market.trading_day_of`), sorted by time (equal times in source order), in the
tick columns :func:`zopt_kelv_backtest.backtest.load_ticks` gives. Trading days never overlap in time, so
reading the files day after day gives the ticks in time order.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterator
from datetime import date, timedelta
from typing import Union

import polars as pl

from zopt_kelv_backtest import market
from zopt_kelv_backtest.backtest import InputError, load_ticks

__all__ = [
    "FUTURES",
    "ROLLS",
    "TICKS",
    "TICK_COLUMNS",
    "check_ticks",
    "day_files",
    "groups",
    "split_days",
    "trading_day_column",
    "write_days",
    "write_parquet_atomic",
    "write_parts",
    "write_store",
]

FUTURES, TICKS, ROLLS = "futures", "ticks", "rolls"
TICK_COLUMNS = ("timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate")
TICK_SCHEMA = {"timestamp": pl.Float64, "code": pl.String, "market_type": pl.String, "close": pl.Float64,
               "qty": pl.Int64, "tick_type": pl.Int64, "is_simulate": pl.Boolean}
_DAY = 86400
_DAY_FILE = re.compile(r"(\d{4}-\d{2}-\d{2})\.parquet")
_CODE = re.compile(market.CODE_PATTERN)
FrameOrPath = Union[pl.DataFrame, str, "os.PathLike[str]"]


def trading_day_column(timestamp: pl.Series) -> pl.Series:
    """The trading day (a Date) each epoch-seconds time counts in: :func:`market.trading_day_of`, per
    row, computed once per distinct calendar day."""
    local = timestamp.cast(pl.Int64) + market.TAIPEI_OFFSET
    evening = market.NIGHT_SESSION[0].hour * 3600 + market.NIGHT_SESSION[0].minute * 60
    night = ((local % _DAY) >= evening).cast(pl.Int64)
    start = (local // _DAY) + night
    closed = market.holiday_dates()
    epoch = date(1970, 1, 1)
    mapping: dict[int, date] = {}
    for n in start.unique().to_list():
        day = epoch + timedelta(days=n)
        for _ in range(60):
            if market.is_trading_day(day, closed):
                break
            day += timedelta(days=1)
        mapping[n] = day
    return start.replace_strict(mapping, return_dtype=pl.Date).alias("trading_day")


def write_parquet_atomic(frame: pl.DataFrame, path: str) -> None:
    """Write ``frame`` to ``path`` through a temporary file in the same folder: the file is whole or
    absent, never half-written, and an older file stays until the new one is complete."""
    folder, base = os.path.split(path)
    os.makedirs(folder, exist_ok=True)
    tmp = os.path.join(folder, f".{base}.{os.getpid()}.tmp")
    try:
        frame.write_parquet(tmp, statistics=True)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def split_days(frame: pl.DataFrame, group: str) -> list[tuple[str, date, pl.DataFrame]]:
    """``frame`` (with a ``trading_day`` column) cut into ``(group value, trading day, part)``, sorted by
    both; each part holds the stored columns (all but ``group`` and ``trading_day``, ``code`` kept) in
    time order, equal times in source order."""
    columns = [c for c in frame.columns if c not in (group, "trading_day") or c == "code"]
    # Each part keeps the source order; a part out of time order gets a stable sort of its own, so a
    # file in time order (the usual case) is never sorted.
    parts = frame.partition_by(group, "trading_day", maintain_order=True, as_dict=True)
    split = []
    for (name, day), part in sorted(parts.items()):
        if not part["timestamp"].is_sorted():
            part = part.sort("timestamp", maintain_order=True)
        split.append((name, day, part.select(columns)))
    return split


def write_parts(parts: list[tuple[str, date, pl.DataFrame]], root: str, kind: str) -> pl.DataFrame:
    """Write each part of :func:`split_days` to ``root/kind/<name>/<day>.parquet``, replacing that day's
    file; one summary row per file written."""
    rows = []
    for name, day, part in parts:
        path = os.path.join(root, kind, name, f"{day.isoformat()}.parquet")
        write_parquet_atomic(part, path)
        rows.append({"product": name, "trading_day": day, "ticks": part.height, "codes": part["code"].n_unique(),
                     "path": path})
    return pl.DataFrame(rows, schema={"product": pl.String, "trading_day": pl.Date, "ticks": pl.Int64,
                                      "codes": pl.Int64, "path": pl.String})


def write_days(frame: pl.DataFrame, root: str, kind: str, group: str) -> pl.DataFrame:
    """Write ``frame`` (with a ``trading_day`` column) as one file per value of ``group`` and trading day
    under ``root/kind``, replacing those days' files; one summary row per file written."""
    return write_parts(split_days(frame, group), root, kind)


def _first_bad(frame: pl.DataFrame, bad: pl.Series, column: str, what: str) -> None:
    if bad.any():
        row = int(bad.arg_true()[0])
        raise InputError(f"row {row + 1}: bad {what} {frame[column][row]!r}")


def _times(column: pl.Series) -> pl.Series:
    if column.dtype.is_numeric():
        return column.cast(pl.Float64)
    if isinstance(column.dtype, pl.Datetime):
        if column.dtype.time_zone is None:
            column = column.dt.replace_time_zone("Asia/Taipei")
        return column.dt.epoch("us").cast(pl.Float64) / 1e6
    raise InputError(f"column 'timestamp' has type {column.dtype}: write_store takes epoch seconds or "
                     "datetimes (give it the file's path to read text times the way load_ticks does)")


def check_ticks(frame: pl.DataFrame) -> pl.DataFrame:
    """The tick columns of ``frame`` typed and checked as the replay's input boundary checks them:
    product codes of ``market.CODE_PATTERN``, times within ``market.FIRST_TIMESTAMP`` ..
    ``market.END_TIMESTAMP``, finite positive prices, whole non-negative quantities; ``tick_type``
    defaults to 0 and ``is_simulate`` to false. :class:`InputError` names the first bad row."""
    missing = [c for c in TICK_COLUMNS[:5] if c not in frame.columns]
    if missing:
        raise InputError(f"tick frame lacks column(s): {', '.join(missing)}")
    ts = _times(frame["timestamp"])
    _first_bad(frame, (~ts.is_finite() | (ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP))
               .fill_null(True), "timestamp", "timestamp")
    code = frame["code"].cast(pl.String, strict=False)
    _first_bad(frame, (~code.str.contains(f"^(?:{_CODE.pattern})$") | code.is_in([".", ".."])).fill_null(True),
               "code", "code (letters, digits and '._-', at most 32 characters)")
    kind = frame["market_type"].cast(pl.String, strict=False)
    _first_bad(frame, ~kind.is_in(["Stock", "Future"]).fill_null(False), "market_type",
               "market_type (use Stock or Future)")
    close = frame["close"].cast(pl.Float64, strict=False)
    _first_bad(frame, (~close.is_finite() | (close <= 0)).fill_null(True), "close", "close price")
    qty = frame["qty"].cast(pl.Float64, strict=False)
    _first_bad(frame, (~qty.is_finite() | (qty < 0) | (qty != qty.floor()) | (qty >= 2.0**63)).fill_null(True),
               "qty", "qty")
    n = frame.height
    tick_type = (frame["tick_type"].cast(pl.Int64, strict=False) if "tick_type" in frame.columns
                 else pl.Series([0] * n, dtype=pl.Int64))
    _first_bad(frame, tick_type.is_null(), "tick_type", "tick_type")
    sim = frame["is_simulate"] if "is_simulate" in frame.columns else pl.Series([False] * n, dtype=pl.Boolean)
    if sim.dtype != pl.Boolean:
        raise InputError(f"column 'is_simulate' has type {sim.dtype}: use booleans")
    _first_bad(frame, sim.is_null(), "is_simulate", "is_simulate")
    return pl.DataFrame({"timestamp": ts, "code": code, "market_type": kind, "close": close,
                         "qty": qty.cast(pl.Int64), "tick_type": tick_type, "is_simulate": sim})


def _frames_of(source: FrameOrPath, batch: int = 500_000) -> Iterator[pl.DataFrame]:
    if isinstance(source, pl.DataFrame):
        yield source
        return
    stream = load_ticks(source, batch_size=batch)
    while True:
        chunk = [tick for _, tick in zip(range(batch), stream)]
        if not chunk:
            return
        yield pl.DataFrame(chunk, schema=TICK_SCHEMA)


def write_store(frame: FrameOrPath, root: str | os.PathLike[str]) -> pl.DataFrame:
    """Write ticks of any source (stocks, other futures data) into the store at ``root``.

    ``frame`` holds the tick columns (``timestamp`` as epoch seconds or datetimes, naive ones in Taipei
    time; ``code``, ``market_type``, ``close``, ``qty``, optional ``tick_type`` and ``is_simulate``), or is
    the path of a CSV/Parquet tick file that :func:`load_ticks` reads. Every code's ticks go to
    ``ticks/<code>/<trading day>.parquet``; a day written again is replaced by the new ticks of that code
    and day, and nothing is written when a row is bad (:class:`InputError` names it). Returns one row per
    file written (product = the code, trading_day, ticks, codes, path).
    """
    root = os.fspath(root)
    checked = [check_ticks(part) for part in _frames_of(frame)]
    ticks = pl.concat(checked) if checked else pl.DataFrame(schema=TICK_SCHEMA)
    ticks = ticks.with_columns(trading_day_column(ticks["timestamp"]), _group=pl.col("code"))
    return write_days(ticks, root, TICKS, "_group")


def groups(root: str, kind: str) -> list[str]:
    """The products (``kind`` futures) or codes (``kind`` ticks) the store holds, sorted."""
    folder = os.path.join(root, kind)
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if _CODE.fullmatch(n) and os.path.isdir(os.path.join(folder, n)))


def day_files(root: str, kind: str, name: str, first: date | None = None,
              last: date | None = None) -> list[tuple[date, str]]:
    """``(trading day, path)`` of the day files of one product or code from ``first`` to ``last``
    (both included), in day order."""
    folder = os.path.join(root, kind, name)
    if not os.path.isdir(folder):
        return []
    found = []
    for entry in os.listdir(folder):
        match = _DAY_FILE.fullmatch(entry)
        if match is None:
            continue
        try:
            day = date.fromisoformat(match.group(1))
        except ValueError:
            continue
        if (first is None or day >= first) and (last is None or day <= last):
            found.append((day, os.path.join(folder, entry)))
    return sorted(found)
