"""The futures exchange's daily tick file: finding, opening and parsing it into checked tick rows.

The exchange publishes every trade of a trading day as ``Daily_YYYY_MM_DD.zip``: one comma-separated text
file (``.csv``; older years ``.rpt``) with a header row in cp950 Chinese and ASCII data rows padded with
spaces. Columns: trade date (YYYYMMDD, the calendar date, so night trades after midnight carry the next
date), product (TX, MTX, ...), contract month (YYYYMM, weekly ``202606W1``, spreads ``202606/202607``),
time (HHMMSS, the leading zero not always there), price, volume (buy side plus sell side: twice the
contracts traded), the two legs of a spread (``-`` otherwise) and ``*`` on the opening auction's trade.
On a day without trading the download is an HTML page instead.
"""

from __future__ import annotations

import os
import re
import zipfile
from collections.abc import Iterable, Iterator, Mapping
from datetime import date
from typing import Union

import polars as pl

from zopt_kelv_backtest import constant, market
from zopt_kelv_backtest.backtest import InputError
from zopt_kelv_backtest.data.daily_fast import COLUMNS as DAILY_COLUMNS
from zopt_kelv_backtest.data.daily_fast import MONTHLY as _MONTHLY
from zopt_kelv_backtest.data.daily_fast import WEEKLY as _WEEKLY
from zopt_kelv_backtest.data.daily_fast import FastReadFailed, fast_rows, first_row
from zopt_kelv_backtest.data.store import trading_day_column

__all__ = [
    "DAILY_COLUMNS",
    "MAX_MEMBER_BYTES",
    "PRODUCT_CODES",
    "daily_files",
    "parse_daily",
    "resolve_products",
]

# The exchange's product codes of the index futures and the package's futures codes for them; the
# package's code is the key of constant.FutureIndexContractValue (NT$ per index point).
PRODUCT_CODES: dict[str, str] = {
    "TX": "TXF",  # TAIEX futures
    "MTX": "MXF",  # mini-TAIEX futures
    "TMF": "TMF",  # micro TAIEX futures
    "TE": "EXF",  # electronic sector index futures
    "TF": "FXF",  # finance sector index futures
    "T5F": "T5F",  # Taiwan 50 index futures
    "XIF": "XIF",  # non-finance non-electronics index futures
    "GTF": "GTF",  # TPEx 200 index futures
}

FILE_SUFFIXES = (".zip", ".csv", ".rpt")
MAX_MEMBER_BYTES = 1 << 32  # a day's file is some hundred MB at most; refuse anything claiming more
_HTML = re.compile(rb"^\s*(<!doctype\s+html|<html|<head|<body|<meta|<script|<title)", re.I)
_DAY = 86400
ProductsArg = Union[Iterable[str], Mapping[str, str], None]


def resolve_products(products: ProductsArg = None) -> dict[str, str]:
    """Exchange product code -> the package's futures code, for the products to import.

    ``None`` takes every product of :data:`PRODUCT_CODES` whose contract value the package knows. A list
    names exchange codes (``TX``, ``MTX``; ``CODE=PACKAGE_CODE`` maps one the table lacks); a mapping gives
    the pairs. Each package code must be a key of ``constant.FutureIndexContractValue`` (looked up now).
    """
    values = constant.FutureIndexContractValue
    if products is None:
        return {ex: code for ex, code in PRODUCT_CODES.items() if code in values}
    pairs: list[tuple[str, str]] = []
    if isinstance(products, Mapping):
        pairs = [(str(k).strip(), str(v).strip()) for k, v in products.items()]
    else:
        for item in products:
            ex, sep, code = str(item).partition("=")
            ex = ex.strip()
            pairs.append((ex, code.strip() if sep else PRODUCT_CODES.get(ex, ex)))
    if not pairs:
        raise InputError("no product to import")
    chosen: dict[str, str] = {}
    for ex, code in pairs:
        if market.bad_code(ex) or market.bad_code(code) or code in (".", ".."):
            raise InputError(f"bad product {ex}={code}: use letters and digits")
        if code not in values:
            raise InputError(
                f"product {ex}: the package knows no contract value for {code}; add {code!r}: <NT$ per index "
                f"point> to zopt_kelv_backtest.constant.FutureIndexContractValue"
                + (f" (and give the product as {ex}=<futures code> if the code is not {code})"
                   if ex not in PRODUCT_CODES else "")
            )
        if code in chosen.values() and chosen.get(ex) != code:
            raise InputError(f"two products map to {code}")
        chosen[ex] = code
    return chosen


def daily_files(paths: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The files to import from ``paths``: files as given, folders searched for .zip/.csv/.rpt files.

    Sorted by name within each folder, in the order given otherwise; a path named twice counts once.
    """
    found: list[str] = []
    for raw in paths:
        path = os.fspath(raw)
        if os.path.isdir(path):
            for folder, subdirs, names in os.walk(path):
                subdirs.sort()
                found += [os.path.join(folder, n) for n in sorted(names)
                          if n.lower().endswith(FILE_SUFFIXES) and not n.startswith(".")]
        elif os.path.isfile(path):
            found.append(path)
        else:
            raise InputError(f"no such file or folder: {path}")
    unique: dict[str, str] = {}
    for path in found:
        unique.setdefault(os.path.realpath(path), path)
    return list(unique.values())


def is_html(data: bytes) -> bool:
    """Whether ``data`` is an HTML page (the download on a day without trading)."""
    return _HTML.match(data[:1024].lstrip(b"\xef\xbb\xbf")) is not None


def open_daily(path: str) -> Iterator[tuple[str, bytes]]:
    """``(name, contents)`` of each daily file in ``path``: a zip's .csv/.rpt members, or the file itself.

    The kind is told by the contents, not the name. A zip that cannot be read whole raises
    :class:`InputError` naming it.
    """
    with open(path, "rb") as f:
        head = f.read(4)
    if head != b"PK\x03\x04":
        with open(path, "rb") as f:
            yield path, f.read()
        return
    try:
        with zipfile.ZipFile(path) as archive:
            members = [m for m in archive.infolist()
                       if not m.is_dir() and m.filename.lower().endswith((".csv", ".rpt"))]
            if not members:
                raise InputError(f"{path}: the zip holds no .csv or .rpt file")
            for member in members:
                if member.file_size > MAX_MEMBER_BYTES:
                    raise InputError(f"{path}: {member.filename} claims {member.file_size} bytes")
                yield f"{path}:{member.filename}", archive.read(member)
    except (zipfile.BadZipFile, EOFError, zipfile.LargeZipFile, NotImplementedError, ValueError) as exc:
        # ValueError is zlib's error on a cut stream; InputError is one too and passes unchanged.
        if isinstance(exc, InputError):
            raise
        raise InputError(f"{path}: not a whole zip archive ({exc})") from None
    except OSError as exc:
        raise InputError(f"{path}: cannot read the zip archive ({exc.strerror or exc})") from None


def _check_header(data: bytes, name: str) -> None:
    end = data.find(b"\n")
    try:
        text = data[: end if end >= 0 else len(data)].decode("cp950")
    except UnicodeDecodeError:
        text = ""
    if not text.lstrip("\ufeff").startswith("成交日期"):
        raise InputError(f"{name}: line 1: not the header of the exchange's daily tick file")


def _scan(clean: bytes, name: str) -> pl.LazyFrame:
    """The data rows of ``clean`` (the file without spaces and carriage returns), every field as text;
    ``line`` is the row's line."""
    first = first_row(clean)
    if not first:
        empty = pl.DataFrame(schema={"line": pl.UInt32, **dict.fromkeys(DAILY_COLUMNS, pl.String)})
        return empty.lazy()
    fields = first.count(b",") + 1
    if fields < 8:
        raise InputError(f"{name}: line 2: {fields} fields, the daily file has 8 or 9")
    names = [*DAILY_COLUMNS[:fields], *(f"extra{i}" for i in range(fields - len(DAILY_COLUMNS)))]
    try:
        rows = pl.read_csv(clean, has_header=False, skip_rows=1, schema=dict.fromkeys(names, pl.String),
                           quote_char=None, encoding="utf8-lossy", row_index_name="line",
                           row_index_offset=2, raise_if_empty=False).lazy()
    except pl.exceptions.PolarsError:
        raise _bad_shape(clean, name, fields) from None
    if "auction" not in names:  # files of eight fields have no auction flag
        rows = rows.with_columns(auction=pl.lit(None, pl.String))
    return rows


def _bad_shape(clean: bytes, name: str, fields: int) -> InputError:
    for number, line in enumerate(clean.split(b"\n")[1:], start=2):
        if line and line.count(b",") + 1 != fields:
            return InputError(f"{name}: line {number}: {line.count(b',') + 1} fields, the rows before it "
                              f"have {fields}")
    return InputError(f"{name}: cannot parse the rows")


def _epoch_day(number: pl.Expr) -> pl.Expr:
    """Days since 1970-01-01 of a YYYYMMDD number, null when it is no date (civil-from-days inverted)."""
    y, m, d = number // 10000, number // 100 % 100, number % 100
    leap = (((y % 4 == 0) & (y % 100 != 0)) | (y % 400 == 0)).cast(pl.Int64)
    month_days = pl.when(m == 2).then(28 + leap).when(m.is_in([4, 6, 9, 11])).then(30).otherwise(31)
    shifted = y - (m <= 2).cast(pl.Int64)
    era = shifted // 400
    of_era = shifted - era * 400
    of_year = (153 * ((m + 9) % 12) + 2) // 5 + d - 1
    days = era * 146097 + of_era * 365 + of_era // 4 - of_era // 100 + of_year - 719468
    return pl.when((y >= 1) & m.is_between(1, 12) & (d >= 1) & (d <= month_days)).then(days)


def _checks(columns: list[str]) -> list[tuple[pl.Expr, str, str]]:
    """What makes a kept row bad: (condition, column shown, what is wrong), in the order reported."""
    clock, both, ts = pl.col("clock"), pl.col("both"), pl.col("timestamp")
    return [
        (pl.col("kind") == "bad", "contract", "contract month"),
        (pl.col("day").is_null(), "date", "trade date"),
        ((clock < 0) | (clock // 10000 > 23) | (clock // 100 % 100 > 59) | (clock % 100 > 59), "time", "time"),
        (~pl.col("close").is_finite() | (pl.col("close") <= 0), "price", "price"),
        ((both <= 0) | (both % 2 != 0), "volume", "volume (buy plus sell side: a positive even number)"),
        (~pl.col("auction").fill_null("").is_in(["", "*"]), "auction", "opening auction flag"),
        ((ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP), "date",
         "trade date (outside the years the package holds)"),
        *((pl.col(c).fill_null("") != "", c, "trailing field") for c in columns if c.startswith("extra")),
    ]


def _query(rows: pl.LazyFrame, products: Mapping[str, str]) -> pl.LazyFrame:
    """The kept rows but spreads, typed, as ticks, with ``kind``, ``_bad`` and the raw fields."""
    contract = pl.col("contract").fill_null("")
    kind = (pl.when(contract.str.contains("/", literal=True)).then(pl.lit("spread"))
            .when(contract.str.contains(f"^(?:{_MONTHLY.pattern})$")).then(pl.lit("monthly"))
            .when(contract.str.contains(f"^(?:{_WEEKLY.pattern})$")).then(pl.lit("weekly"))
            .otherwise(pl.lit("bad")))
    clock = pl.col("clock")
    seconds = pl.col("day") * _DAY + clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
    product = pl.col("product").replace_strict(dict(products), return_dtype=pl.String)
    frame = (rows.filter(pl.col("product").is_in(list(products)))
             .with_columns(kind=kind)
             .filter(pl.col("kind") != "spread")
             .with_columns(day=_epoch_day(pl.col("date").cast(pl.Int64, strict=False)),
                           clock=pl.col("time").cast(pl.Int64, strict=False),
                           close=pl.col("price").cast(pl.Float64, strict=False),
                           both=pl.col("volume").cast(pl.Int64, strict=False))
             .with_columns(timestamp=(seconds - market.TAIPEI_OFFSET).cast(pl.Float64), product_code=product))
    checks = _checks(rows.collect_schema().names())
    return frame.with_columns(
        _bad=pl.any_horizontal(bad.fill_null(True) for bad, _, _ in checks),
        code=pl.col("product_code") + pl.col("contract"),
        qty=pl.col("both") // 2,
        auction_trade=(pl.col("auction") == "*").fill_null(False),
    )


def _exact(clean: bytes, name: str, products: Mapping[str, str], weekly: bool) -> pl.DataFrame:
    """The kept rows of ``clean`` read as text and typed by casts: slower, but a bad row is named with
    its line and its value as written."""
    rows = _scan(clean, name)
    frame = _query(rows, products).collect()
    if frame["_bad"].any():
        first = frame.filter(pl.col("_bad")).head(1)
        for failed, column, what in _checks(rows.collect_schema().names()):
            if first.select(failed.fill_null(True)).item():
                line, value = first.select("line", column).row(0)
                raise InputError(f"{name}: line {line}: bad {what} {value!r}")
    if not weekly:
        frame = frame.filter(pl.col("kind") == "monthly")
    return frame


def _ticks(frame: pl.DataFrame, name: str) -> pl.DataFrame:
    """The tick columns of the checked kept rows ``frame``, with their trading day."""
    odd = [c for c in frame["code"].unique().to_list() if market.bad_code(c)]
    if odd:
        line = frame.filter(pl.col("code") == odd[0])["line"][0]
        raise InputError(f"{name}: line {line}: bad code {odd[0]!r}")
    ticks = frame.select(
        "timestamp", "code", market_type=pl.lit("Future"), close="close", qty="qty",
        tick_type=pl.lit(0, pl.Int64), is_simulate=pl.lit(False), contract="contract", auction="auction_trade",
        product="product_code",
    )
    return ticks.with_columns(trading_day_column(ticks["timestamp"]))


def parse_daily(data: bytes, name: str, products: Mapping[str, str], *, weekly: bool = False) -> pl.DataFrame:
    """The checked ticks of ``products`` (exchange code -> package code) in one daily file's ``data``.

    Spread trades are dropped, and weekly contracts unless ``weekly``. Columns: the tick columns
    (``timestamp`` epoch seconds, ``code`` such as ``MXF202606``, ``market_type`` "Future", ``close``,
    ``qty`` the contracts traded, ``tick_type`` 0, ``is_simulate`` false), ``contract`` (``202606``,
    ``202606W1``), ``auction`` (the opening auction's trade), ``product`` (``MXF``) and ``trading_day``,
    in file order. A bad kept row raises :class:`InputError` naming ``name`` and its line; rows of other
    products are only read, not checked.
    """
    _check_header(data, name)
    try:
        return _ticks(fast_rows(data, products, weekly), name)
    except FastReadFailed:
        pass
    # No value of the file holds a space or a carriage return (nor does a cp950 character's byte), so
    # deleting them all strips every field at once.
    clean = data.translate(None, b" \r")
    try:
        frame = fast_rows(clean, products, weekly)
    except FastReadFailed:
        frame = _exact(clean, name, products, weekly)
    return _ticks(frame, name)


def read_daily(path: str, products: Mapping[str, str], *, weekly: bool = False) -> list[pl.DataFrame] | None:
    """The ticks of every daily file in ``path`` (see :func:`parse_daily`); ``None`` for an HTML page."""
    frames = []
    for name, data in open_daily(path):
        if is_html(data):
            return None
        if not data[:4096].strip() and not data.strip():
            raise InputError(f"{name}: empty file")
        frames.append(parse_daily(data, name, products, weekly=weekly))
    return frames

