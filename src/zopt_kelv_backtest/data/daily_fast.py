"""The fast read of a well-formed daily file: numbers parsed as numbers, text work done per distinct value.

A day's file holds about a million rows but only some hundred distinct products, contract months and
dates, so classifying contract months, turning dates into days and mapping product codes happen once per
distinct value, and the rows only see vector filters, arithmetic and lookups. The file is read as written
when its numbers are padded in front only (the number parser skips leading spaces), else with its spaces
and carriage returns deleted. Anything this read would have to report (a row of another length, a bad
value, a byte it does not expect) raises :class:`FastReadFailed`, and the caller reads the file again
the exact way, which names the row.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from datetime import date

import polars as pl

from zopt_kelv_backtest import market

__all__ = [
    "COLUMNS",
    "MONTHLY",
    "WEEKLY",
    "FastReadFailed",
    "contract_kind",
    "epoch_day",
    "fast_rows",
    "first_row",
]

COLUMNS = ("date", "product", "contract", "time", "price", "volume", "near", "far", "auction")
MONTHLY = re.compile(r"\d{4}(0[1-9]|1[0-2])")
WEEKLY = re.compile(r"\d{4}(0[1-9]|1[0-2])W\d{1,2}")
_NUMBERS = {"date": pl.Int64, "time": pl.Int64, "price": pl.Float64, "volume": pl.Int64}
_DAY = 86400
_EPOCH = date(1970, 1, 1).toordinal()


class FastReadFailed(Exception):
    """The file is not one the fast read takes whole: read it the exact way."""


def first_row(data: bytes) -> bytes:
    """The first data row of a daily file's ``data`` (blank lines after the header skipped), empty when
    none."""
    body = data.find(b"\n") + 1
    if body == 0:
        return b""
    start = body + len(data[body: body + 4096]) - len(data[body: body + 4096].lstrip(b"\n"))
    end = data.find(b"\n", start)
    return data[start:end] if end >= 0 else data[start:]


def contract_kind(contract: str | None) -> str:
    """``spread``, ``monthly``, ``weekly`` or ``bad`` for a contract month field (spaces removed)."""
    text = contract or ""
    if "/" in text:
        return "spread"
    if MONTHLY.fullmatch(text):
        return "monthly"
    return "weekly" if WEEKLY.fullmatch(text) else "bad"


def epoch_day(number: int | None) -> int | None:
    """Days since 1970-01-01 of a YYYYMMDD number, ``None`` when it is no date."""
    if number is None or not 10000101 <= number <= 99991231:
        return None
    try:
        return date(number // 10000, number // 100 % 100, number % 100).toordinal() - _EPOCH
    except ValueError:
        return None


def _stripped(value: str | None) -> str:
    """A field as the exact read sees it: spaces and carriage returns deleted, empty when missing."""
    return "" if value is None else value.replace(" ", "").replace("\r", "")


def _kinds(values: Iterable[str | None]) -> dict[str, list[str | None]]:
    """The fields as read, by the kind of their stripped contract month."""
    found: dict[str, list[str | None]] = {"spread": [], "monthly": [], "weekly": [], "bad": []}
    for value in values:
        found[contract_kind(_stripped(value))].append(value)
    return found


def _bad(frame: pl.DataFrame, nine: bool) -> bool:
    clock, both = pl.col("time"), pl.col("volume")
    ts = pl.col("timestamp")
    bad = ((clock < 0) | (clock // 10000 > 23) | (clock // 100 % 100 > 59) | (clock % 100 > 59)
           | ~pl.col("price").is_finite() | (pl.col("price") <= 0) | (both <= 0) | (both % 2 != 0)
           | (ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP))
    found = frame.select(bad.fill_null(True).any()).item()
    if nine and not found:
        found = not {_stripped(a) for a in frame["auction"].unique().to_list()} <= {"", "*"}
    return bool(found)


def _read(data: bytes) -> pl.DataFrame:
    fields = first_row(data).count(b",") + 1
    # A leading tab is the one byte the number parser skips and the exact read would not.
    if fields not in (8, 9) or b"\t" in data:
        raise FastReadFailed
    schema = {**dict.fromkeys(COLUMNS[:fields], pl.String), **_NUMBERS}
    try:  # every field is read, so a row of more fields fails here; short rows and blank lines read as nulls
        rows = pl.read_csv(data, has_header=False, skip_rows=1, schema=schema, quote_char=None,
                           row_index_name="line", row_index_offset=2, raise_if_empty=False)
    except pl.exceptions.PolarsError:
        raise FastReadFailed from None
    return rows.drop("near", "far")  # the legs of spread trades, which are left out


def fast_rows(data: bytes, products: Mapping[str, str], weekly: bool) -> pl.DataFrame:
    """The checked kept rows of a daily file's ``data`` (as written, or without spaces and carriage
    returns), as the exact read gives them: ``line``, ``timestamp``, ``code``, ``close``, ``qty``,
    ``contract``, ``auction_trade``, ``product_code``; :class:`FastReadFailed` on anything that read must
    report, and on numbers padded after the digits (the caller strips the file and tries again)."""
    rows = _read(data)
    codes = {p: products[_stripped(p)] for p in rows["product"].unique().to_list() if _stripped(p) in products}
    kept = pl.col("product").is_in(list(codes))
    kinds = _kinds(rows["contract"].unique().to_list())
    if kinds["bad"] and not rows.filter(kept & pl.col("contract").is_in(kinds["bad"], nulls_equal=True)).is_empty():
        raise FastReadFailed
    rows = rows.filter(kept & pl.col("contract").is_in(kinds["monthly"] + kinds["weekly"]))
    days = {d: epoch_day(d) for d in rows["date"].unique().to_list()}
    if None in days.values():
        raise FastReadFailed
    clock = pl.col("time")
    seconds = (pl.col("date").replace_strict(days, return_dtype=pl.Int64) * _DAY
               + clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100)
    rows = rows.with_columns(timestamp=(seconds - market.TAIPEI_OFFSET).cast(pl.Float64))
    if _bad(rows, "auction" in rows.columns):
        raise FastReadFailed
    if "auction" in rows.columns:
        flagged = [a for a in rows["auction"].unique().to_list() if _stripped(a) == "*"]
        auction = pl.col("auction").is_in(flagged).fill_null(False)
    else:
        auction = pl.lit(False)
    rows = rows.select("line", "timestamp", "product", "contract", close="price", qty=pl.col("volume") // 2,
                       auction_trade=auction)
    if not weekly and kinds["weekly"]:
        rows = rows.filter(pl.col("contract").is_in(kinds["monthly"]))
    padded = {c: _stripped(c) for c in kinds["monthly"] + kinds["weekly"] if c != _stripped(c)}
    contract = pl.col("contract").replace(padded) if padded else pl.col("contract")
    rows = rows.with_columns(contract, product_code=pl.col("product").replace_strict(codes, return_dtype=pl.String))
    return rows.select("line", "timestamp", code=pl.col("product_code") + pl.col("contract"), close="close",
                       qty="qty", contract="contract", auction_trade="auction_trade", product_code="product_code")
