"""Tick sources of a run: tick files (CSV or Parquet) checked whole before the first tick, the package's
synthetic set, or any iterable of tick records; and the local time the core reads tick times in."""

from __future__ import annotations

import os
import time
from collections.abc import Iterable, Iterator
from datetime import date
from typing import TYPE_CHECKING, Any, Union

from zopt_kelv_backtest import market

if TYPE_CHECKING:
    import polars as pl

__all__ = ["InputError", "TickSource", "TickStream", "load_ticks", "pin_local_time"]

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

TickSource = Union[Iterable[dict[str, Any]], str, "os.PathLike[str]", None]


class InputError(ValueError):
    """Bad user input; the message is one line, fit for ``error: <message>``."""


def pin_local_time() -> None:
    """Set ``TZ=Asia/Taipei`` for this process: the core reads tick times as local wall-clock time."""
    os.environ["TZ"] = market.TAIPEI.key
    if hasattr(time, "tzset"):
        time.tzset()


def _first_bad(df: pl.DataFrame, mask: pl.Series, column: str, what: str) -> InputError:
    row, value = df.with_row_index("_row").filter(mask).select("_row", column).row(0)
    return InputError(f"row {row + 1}: bad {what} {value!r}")


def _seconds(when: pl.Series) -> pl.Series:
    """Epoch seconds of a zone-aware datetime series, rounded once (polars' own division is not)."""
    import polars as pl

    micros = when.dt.epoch("us").to_numpy()
    return pl.Series(micros / 1e6, dtype=pl.Float64, nan_to_null=True)


def _text_seconds(col: pl.Series) -> pl.Series:
    """Epoch seconds of text times: numbers, ISO times with an offset, else Taipei wall-clock text."""
    import polars as pl

    text = col.str.strip_chars()
    naive = pl.select(
        pl.coalesce([text.str.to_datetime(f, strict=False, time_unit="us") for f in TEXT_TIME_FORMATS])
    ).to_series()
    aware = pl.select(
        pl.coalesce(
            [text.str.to_datetime(f, strict=False, time_unit="us", time_zone="UTC") for f in OFFSET_TIME_FORMATS]
        )
    ).to_series()
    local = _seconds(naive.dt.replace_time_zone(market.TAIPEI.key, non_existent="null", ambiguous="null"))
    return text.cast(pl.Float64, strict=False).fill_null(_seconds(aware)).fill_null(local)


def _timestamps(df: pl.DataFrame) -> pl.Series:
    """The "timestamp" column as float epoch seconds (text and naive dates are Taipei time), inside the
    range the package accepts (:data:`zopt_kelv_backtest.market.FIRST_TIMESTAMP` up to ``END_TIMESTAMP``)."""
    import polars as pl

    col = df["timestamp"]
    if col.dtype.is_numeric():
        ts = col.cast(pl.Float64)
    elif isinstance(col.dtype, pl.Datetime):
        if col.dtype.time_zone is None:
            col = col.dt.replace_time_zone(market.TAIPEI.key)
        ts = _seconds(col)
    elif col.dtype == pl.String:
        ts = _text_seconds(col)
    else:
        raise InputError(f"column 'timestamp' has unsupported type {col.dtype}; it takes {TIME_FORMS}")
    bad = ts.is_null() | ts.is_nan() | ts.is_infinite()
    if bad.any():
        err = _first_bad(df, bad, "timestamp", "timestamp")
        raise InputError(f"{err}: use {TIME_FORMS}")
    # Later steps turn every time into dates and datetimes, which hold only so many years.
    bad = (ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP)
    if bad.any():
        first, last = market.TICK_YEARS
        err = _first_bad(df, bad, "timestamp", "timestamp")
        raise InputError(f"{err}: tick times run from {first} to {last} (Taipei time)")
    return ts


def _codes(df: pl.DataFrame) -> pl.Series:
    """The "code" column as text, every value a product code (:func:`zopt_kelv_backtest.market.bad_code`)."""
    import polars as pl

    code = df["code"].cast(pl.String, strict=False)
    good = code.str.contains(f"^(?:{market.CODE_PATTERN})$") & ~code.is_in(list(market.NOT_CODES))
    bad = ~good.fill_null(False)
    if bad.any():
        err = _first_bad(df, bad, "code", "code")
        raise InputError(f"{err}: use letters, digits and '._-', at most 32 characters")
    return code


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


def _optional_columns(df: pl.DataFrame) -> dict[str, pl.Series]:
    """``tick_type`` and ``is_simulate``, checked, or their defaults (0, false) where the file lacks them."""
    import polars as pl

    columns: dict[str, pl.Series] = {}
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
    return columns


def _checked_frame(df: pl.DataFrame) -> pl.DataFrame:
    """The tick columns, typed and checked, sorted by time; InputError names the first bad row."""
    import polars as pl

    missing = [c for c in REQUIRED_COLUMNS if c not in df.columns]
    if missing:
        raise InputError(f"tick file lacks column(s): {', '.join(missing)}")
    if df.height == 0:
        raise InputError("tick file holds no ticks")
    ts = _timestamps(df)
    code = _codes(df)
    market_type = df["market_type"].cast(pl.String, strict=False)
    bad = ~market_type.is_in(["Stock", "Future"]).fill_null(False)
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
    columns = {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty.cast(pl.Int64),
               **_optional_columns(df)}
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


def load_ticks(path: str | os.PathLike[str], codes: Iterable[str] | str | None = None, start: Any = None,
               end: Any = None, *, batch_size: int = 100_000) -> TickStream:
    """Tick records of a CSV or Parquet file, or of a tick store folder, in time order.

    A folder is a tick store (:mod:`zopt_kelv_backtest.data`): only the ``codes`` and the days from
    ``start`` to ``end`` asked for are read (see :func:`zopt_kelv_backtest.data.read_store`). For a file,
    ``codes``, ``start`` and ``end`` must stay None.

    The whole file is read and checked before this returns (columns, types, every value), so a bad file
    raises :class:`InputError` naming its first bad row before any tick is replayed. The ticks are then
    kept as compact columns and handed out as dicts ``batch_size`` at a time.

    Columns: ``timestamp`` (epoch seconds, Taipei local time text, or ISO time with an offset; from 1971
    to 2999, :data:`zopt_kelv_backtest.market.FIRST_TIMESTAMP` up to ``END_TIMESTAMP``), ``code`` (a
    product code: letters, digits and ``._-``, at most 32 characters), ``market_type`` ("Stock" or
    "Future"), ``close``, ``qty`` and optionally ``tick_type`` (default 0) and ``is_simulate``
    (true/false/1/0, default false). Rows with equal times keep their file order.
    """
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    if os.path.isdir(path):
        from zopt_kelv_backtest.data import read_store

        return read_store(path, codes, start, end, batch_size=batch_size)
    if codes is not None or start is not None or end is not None:
        raise ValueError("codes, start and end select from a tick store folder, not from a file")
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
