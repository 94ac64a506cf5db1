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

DAILY_COLUMNS = ("date", "product", "contract", "time", "price", "volume", "near", "far", "auction")
FILE_SUFFIXES = (".zip", ".csv", ".rpt")
MAX_MEMBER_BYTES = 1 << 32  # a day's file is some hundred MB at most; refuse anything claiming more
_MONTHLY = re.compile(r"\d{4}(0[1-9]|1[0-2])")
_WEEKLY = re.compile(r"\d{4}(0[1-9]|1[0-2])W\d{1,2}")
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


class _Retry(Exception):
    """The typed fast read met something to report: read again as text to name it as written."""


def _check_header(data: bytes, name: str) -> None:
    end = data.find(b"\n")
    try:
        text = data[: end if end >= 0 else len(data)].decode("cp950")
    except UnicodeDecodeError:
        text = ""
    if not text.lstrip("\ufeff").startswith("成交日期"):
        raise InputError(f"{name}: line 1: not the header of the exchange's daily tick file")


def _read_rows(data: bytes, name: str, typed: bool) -> pl.DataFrame:
    """The data rows after the header, padding removed (``typed``: numbers read as numbers, else as
    text); ``line`` is the row's line in the file."""
    # No value of the file holds a space or a carriage return (nor does a cp950 character's byte), so
    # deleting them all strips every field at once.
    clean = data.translate(None, b" \r")
    body = clean.find(b"\n") + 1
    start = body + len(clean[body: body + 4096]) - len(clean[body: body + 4096].lstrip(b"\n"))
    first = clean[start: clean.find(b"\n", start)] if clean.find(b"\n", start) >= 0 else clean[start:]
    if body == 0 or not first:
        return pl.DataFrame(schema={"line": pl.UInt32, **dict.fromkeys(DAILY_COLUMNS, pl.String)})
    fields = first.count(b",") + 1
    if fields < 8:
        raise InputError(f"{name}: line 2: {fields} fields, the daily file has 8 or 9")
    names = [*DAILY_COLUMNS[:fields], *(f"extra{i}" for i in range(fields - len(DAILY_COLUMNS)))]
    schema: dict[str, type[pl.DataType]] = dict.fromkeys(names, pl.String)
    if typed:
        schema.update(date=pl.Int64, time=pl.Int64, price=pl.Float64, volume=pl.Int64)
    try:
        return pl.read_csv(clean, has_header=False, skip_rows=1, schema=schema, quote_char=None,
                           encoding="utf8-lossy", row_index_name="line", row_index_offset=2)
    except pl.exceptions.PolarsError:
        if typed:
            raise _Retry from None
        for number, line in enumerate(clean.split(b"\n")[1:], start=2):
            if line and line.count(b",") + 1 != fields:
                raise InputError(f"{name}: line {number}: {line.count(b',') + 1} fields, "
                                 f"the rows before it have {fields}") from None
        raise InputError(f"{name}: cannot parse the rows") from None


def _contract_kind(contract: str) -> str:
    if "/" in contract:
        return "spread"
    if _MONTHLY.fullmatch(contract):
        return "monthly"
    return "weekly" if _WEEKLY.fullmatch(contract) else "bad"


def _epoch_days(rows: pl.DataFrame) -> pl.Expr:
    """Days since 1970-01-01 of each row's trade date (few distinct dates: each checked once here)."""
    days: dict[int, int] = {}
    for number in rows["datenum"].drop_nulls().unique().to_list():
        try:
            day = date(number // 10000, number // 100 % 100, number % 100)
        except ValueError:
            continue
        days[number] = (day - date(1970, 1, 1)).days
    return pl.col("datenum").replace_strict(days, default=None, return_dtype=pl.Int64)


def _first_bad(rows: pl.DataFrame, checks: list[tuple[pl.Expr, str, str]], name: str, typed: bool) -> None:
    """Raise :class:`InputError` (``_Retry`` when ``typed``) for the first check any row fails."""
    if not checks or rows.height == 0:
        return
    failed = rows.select(pl.any_horizontal(bad.fill_null(True).any() for bad, _, _ in checks).alias("x")).item()
    if not failed:
        return
    if typed:
        raise _Retry
    for bad, column, what in checks:
        hit = rows.filter(bad.fill_null(True)).head(1)
        if hit.height:
            line, value = hit.select("line", column).row(0)
            raise InputError(f"{name}: line {line}: bad {what} {value!r}")


def _checked(rows: pl.DataFrame, name: str, typed: bool) -> pl.DataFrame:
    """Typed values of the kept rows; :class:`InputError` names the first bad row."""
    rows = rows.with_columns(datenum=pl.col("date").cast(pl.Int64, strict=False))
    typed_rows = rows.with_columns(
        day=_epoch_days(rows),
        clock=pl.col("time").cast(pl.Int64, strict=False),
        close=pl.col("price").cast(pl.Float64, strict=False),
        both=pl.col("volume").cast(pl.Int64, strict=False),
    )
    clock, both = pl.col("clock"), pl.col("both")
    checks = [
        (pl.col("day").is_null(), "date", "trade date"),
        ((clock < 0) | (clock // 10000 > 23) | (clock // 100 % 100 > 59) | (clock % 100 > 59), "time", "time"),
        (~pl.col("close").is_finite() | (pl.col("close") <= 0), "price", "price"),
        ((both <= 0) | (both % 2 != 0), "volume", "volume (buy plus sell side: a positive even number)"),
        (~pl.col("auction").fill_null("").is_in(["", "*"]), "auction", "opening auction flag"),
        *((pl.col(c).fill_null("") != "", c, "trailing field") for c in rows.columns if c.startswith("extra")),
    ]
    _first_bad(typed_rows, checks, name, typed)
    seconds = (pl.col("day") * _DAY + clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
               - market.TAIPEI_OFFSET)
    typed_rows = typed_rows.with_columns(timestamp=seconds.cast(pl.Float64))
    ts = pl.col("timestamp")
    _first_bad(typed_rows, [((ts < market.FIRST_TIMESTAMP) | (ts >= market.END_TIMESTAMP), "date",
                             "trade date (outside the years the package holds)")], name, typed)
    return typed_rows


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
        return _parse(data, name, products, weekly, typed=True)
    except _Retry:
        return _parse(data, name, products, weekly, typed=False)


def _parse(data: bytes, name: str, products: Mapping[str, str], weekly: bool, typed: bool) -> pl.DataFrame:
    rows = _read_rows(data, name, typed)
    if "auction" not in rows.columns:
        rows = rows.with_columns(auction=pl.lit(None, pl.String))
    rows = rows.filter(pl.col("product").is_in(list(products)))
    kinds = {c: _contract_kind(c) for c in rows["contract"].unique().to_list() if c is not None}
    kind = pl.col("contract").replace_strict(kinds, default="bad", return_dtype=pl.String).fill_null("bad")
    rows = rows.filter(kind != "spread")
    _first_bad(rows, [(kind == "bad", "contract", "contract month")], name, typed)
    if not weekly:
        rows = rows.filter(kind == "monthly")
    checked = _checked(rows, name, typed)
    product = pl.col("product").replace_strict(dict(products), return_dtype=pl.String)
    ticks = checked.select(
        "timestamp",
        code=product + pl.col("contract"),
        market_type=pl.lit("Future"),
        close="close",
        qty=pl.col("both") // 2,
        tick_type=pl.lit(0, pl.Int64),
        is_simulate=pl.lit(False),
        contract="contract",
        auction=(pl.col("auction") == "*").fill_null(False),
        product=product,
    )
    bad = [c for c in ticks["code"].unique().to_list() if market.bad_code(c)]
    if bad:
        _first_bad(checked.with_columns(code=ticks["code"]), [(pl.col("code") == bad[0], "code", "code")], name,
                   typed)
    return ticks.with_columns(trading_day_column(ticks["timestamp"]))


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

