"""The fast read of a well-formed daily file: numbers parsed as numbers, text work done per distinct value.

A day's file holds about a million rows but only some hundred distinct products, contract months and
dates, so classifying contract months, turning dates into days and mapping product codes happen once per
distinct value, and the rows only see vector filters, arithmetic and lookups. Anything this read would
have to report (a row of another length, a bad value, a byte it does not expect) raises
:class:`FastReadFailed`, and the caller reads the file again the exact way, which names the row.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from datetime import date

import polars as pl

from zopt_kelv_backtest import market

__all__ = ["COLUMNS", "MONTHLY", "WEEKLY", "FastReadFailed", "contract_kind", "first_row", "epoch_day", "fast_rows"]

COLUMNS = ("date", "product", "contract", "time", "price", "volume", "near", "far", "auction")
MONTHLY = re.compile(r"\d{4}(0[1-9]|1[0-2])")
WEEKLY = re.compile(r"\d{4}(0[1-9]|1[0-2])W\d{1,2}")
_NUMBERS = {"date": pl.Int64, "time": pl.Int64, "price": pl.Float64, "volume": pl.Int64}
_DAY = 86400
_EPOCH = date(1970, 1, 1).toordinal()


class FastReadFailed(Exception):
    """The file is not one the fast read takes whole: read it the exact way."""


def first_row(clean: bytes) -> bytes:
    """The first data row of ``clean`` (blank lines after the header skipped), empty when none."""
    body = clean.find(b"\n") + 1
    if body == 0:
        return b""
    start = body + len(clean[body: body + 4096]) - len(clean[body: body + 4096].lstrip(b"\n"))
    end = clean.find(b"\n", start)
    return clean[start:end] if end >= 0 else clean[start:]


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


def _kinds(values: Iterable[str | None]) -> dict[str, list[str]]:
    found: dict[str, list[str]] = {"spread": [], "monthly": [], "weekly": [], "bad": []}
    for value in values:
        found[contract_kind(value)].append(value or "")
    return found


def _bad(frame: pl.DataFrame, nine: bool) -> bool:
    clock, both = pl.col("time"), pl.col("volume")
    ts = pl.col("timestamp")
    bad = ((clock < 0) | (clock // 10000 > 23) | (clock // 100 % 100 > 59) | (clock % 100 > 59)
           | ~pl.col("price").is_finite() | (pl.col("price") <= 0) | (both <= 0) | (both % 2 != 0)
           | (ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP))
    found = frame.select(bad.fill_null(True).any()).item()
    if nine and not found:
        found = not set(frame["auction"].unique().to_list()) <= {None, "*"}
    return bool(found)


def fast_rows(clean: bytes, products: Mapping[str, str], weekly: bool) -> pl.DataFrame:
    """The checked kept rows of ``clean`` (the file without spaces and carriage returns), as the exact
    read gives them: ``line``, ``timestamp``, ``code``, ``close``, ``qty``, ``contract``,
    ``auction_trade``, ``product_code``; :class:`FastReadFailed` on anything that read must report."""
    fields = first_row(clean).count(b",") + 1
    # A leading tab is the one byte the number parser skips and a cast of the text would not.
    if fields not in (8, 9) or b"\t" in clean:
        raise FastReadFailed
    schema = {**dict.fromkeys(COLUMNS[:fields], pl.String), **_NUMBERS}
    try:  # every field is read, so a row of more fields fails here; short rows and blank lines read as nulls
        rows = pl.read_csv(clean, has_header=False, skip_rows=1, schema=schema, quote_char=None,
                           row_index_name="line", row_index_offset=2, raise_if_empty=False)
    except pl.exceptions.PolarsError:
        raise FastReadFailed from None
    rows = rows.drop("near", "far")  # the legs of spread trades, which are left out
    codes = {p: products[p] for p in rows["product"].unique().to_list() if p in products}
    kept = pl.col("product").is_in(list(codes))
    kinds = _kinds(rows["contract"].unique().to_list())
    if kinds["bad"] and not rows.filter(kept & pl.col("contract").is_in(kinds["bad"]).fill_null(True)).is_empty():
        raise FastReadFailed
    rows = rows.filter(kept & pl.col("contract").is_in(kinds["monthly"] + kinds["weekly"]))
    days = {d: epoch_day(d) for d in rows["date"].unique().to_list()}
    if None in days.values():
        raise FastReadFailed
    clock = pl.col("time")
    seconds = (pl.col("date").replace_strict(days, return_dtype=pl.Int64) * _DAY
               + clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100)
    rows = rows.with_columns(timestamp=(seconds - market.TAIPEI_OFFSET).cast(pl.Float64))
    if _bad(rows, fields == 9):
        raise FastReadFailed
    product = pl.col("product").replace_strict(codes, return_dtype=pl.String)
    auction = (pl.col("auction") == "*").fill_null(False) if fields == 9 else pl.lit(False)
    rows = rows.select("line", "timestamp", "product", "contract", close="price", qty=pl.col("volume") // 2,
                       auction_trade=auction)
    if not weekly and kinds["weekly"]:
        rows = rows.filter(pl.col("contract").is_in(kinds["monthly"]))
    rows = rows.with_columns(product_code=product)
    return rows.select("line", "timestamp", code=pl.col("product_code") + pl.col("contract"), close="close",
                       qty="qty", contract="contract", auction_trade="auction_trade", product_code="product_code")
