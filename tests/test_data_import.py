"""Importing the exchange's daily tick files: parsing, the store's files, and the input boundary."""

import os
import zipfile
from datetime import date, datetime, timedelta, timezone

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from data_files import daily_bytes, file_name, row, session_rows, taipei, write_zip
from zopt_kelv_backtest import constant, market
from zopt_kelv_backtest.backtest import InputError
from zopt_kelv_backtest.data import import_daily_files, parse_daily, resolve_products
from zopt_kelv_backtest.data import daily_fast, exchange_files
from zopt_kelv_backtest.data.cli import main
from zopt_kelv_backtest.data.store import trading_day_column

DAY = date(2024, 6, 19)  # a Wednesday; the trading day before it is 2024-06-18
ALL = resolve_products()


def mixed_rows():
    """Rows of every kind the file holds: night session across midnight, auction, weekly, spread, another
    product, times before 10:00 (no leading zero)."""
    night, midnight, day = taipei(date(2024, 6, 18), 15, 0), taipei(DAY, 0, 0, 5), taipei(DAY, 8, 45)
    return [
        row(night, "MTX", "202406", 20000, 4, auction=True),
        row(night, "TX", "202407", 20100, 2),
        row(midnight, "MTX", "202406", 20001, 2),
        row(midnight, "MTX", "202406/202407", 60, 2, near="20001", far="20061"),
        row(day, "MTX", "202406W4", 19990, 6, auction=True),
        row(day, "CDF", "202406", 950, 2, auction=True),
        row(day, "MTX", "202406", 20002, 10, auction=True),
        row(taipei(DAY, 9, 0, 1), "TE", "202406", 1200.5, 2),
    ]


@pytest.mark.parametrize("weekly", [False, True])
@pytest.mark.parametrize("crlf", [True, False])
def test_parse_keeps_the_facts(weekly, crlf):
    ticks = parse_daily(daily_bytes(mixed_rows(), crlf=crlf), "x.csv", ALL, weekly=weekly)
    want = [  # (time, code, price, contracts, auction): kept rows in file order
        (taipei(date(2024, 6, 18), 15, 0), "MXF202406", 20000, 2, True),
        (taipei(date(2024, 6, 18), 15, 0), "TXF202407", 20100, 1, False),
        (taipei(DAY, 0, 0, 5), "MXF202406", 20001, 1, False),
        *([(taipei(DAY, 8, 45), "MXF202406W4", 19990, 3, True)] if weekly else []),
        (taipei(DAY, 8, 45), "MXF202406", 20002, 5, True),
        (taipei(DAY, 9, 0, 1), "EXF202406", 1200.5, 1, False),
    ]
    got = ticks.select("timestamp", "code", "close", "qty", "auction").rows()
    assert got == [(w.timestamp(), c, float(p), q, a) for w, c, p, q, a in want]
    assert ticks["trading_day"].unique().to_list() == [DAY]  # the night before counts in DAY
    assert set(ticks["market_type"]) == {"Future"} and not ticks["is_simulate"].any()
    assert ticks["contract"].to_list() == [c[3:] for _, c, *_ in want]


@settings(max_examples=300, deadline=None)
@given(st.integers(int(datetime(2017, 1, 1).timestamp()), int(datetime(2026, 12, 20).timestamp())))
def test_trading_day_column_counts_as_the_market_does(ts):
    assert trading_day_column(pl.Series([float(ts)])).item() == market.trading_day_of(ts)


def test_import_writes_days_and_is_idempotent(tmp_path):
    out = tmp_path / "store"
    first = write_zip(tmp_path / file_name(DAY), session_rows(DAY, ("202406", "202407")))
    summary = import_daily_files(first, out)
    assert summary.select("product", "trading_day", "ticks", "codes").rows() == [("MXF", DAY, 14, 2)]
    path = out / "futures" / "MXF" / f"{DAY}.parquet"
    stored = pl.read_parquet(path)
    assert stored["timestamp"].is_sorted() and stored["qty"].sum() == 2 * sum(range(1, 8))
    again = write_zip(tmp_path / "again.zip", session_rows(DAY, ("202406",), price=21000))
    import_daily_files(again, out)
    assert pl.read_parquet(path)["close"].min() == 21000  # the day is replaced, not appended to
    assert sorted(os.listdir(path.parent)) == [path.name]  # no temporary file left


def test_import_folder_of_extracted_files_and_zips(tmp_path):
    days = market.trading_days(DAY, 3)
    (tmp_path / "in").mkdir()
    write_zip(tmp_path / "in" / file_name(days[0]), session_rows(days[0]))
    (tmp_path / "in" / file_name(days[1], ".csv")).write_bytes(daily_bytes(session_rows(days[1], ("202407",))))
    (tmp_path / "in" / file_name(days[2], ".rpt")).write_bytes(daily_bytes(session_rows(days[2], ("202407",))))
    summary = import_daily_files(tmp_path / "in", tmp_path / "store")
    assert summary["trading_day"].to_list() == days


def test_product_without_contract_value_is_refused_with_the_way_to_add_it(tmp_path, monkeypatch):
    with pytest.raises(InputError, match="FutureIndexContractValue"):
        resolve_products(["TX", "ZZF"])
    monkeypatch.setitem(constant.FutureIndexContractValue, "ZZF", 100)
    assert resolve_products(["TX", "ZZF"]) == {"TX": "TXF", "ZZF": "ZZF"}
    monkeypatch.setitem(constant.FutureIndexContractValue, "ZZX", 100)
    path = write_zip(tmp_path / file_name(DAY), [row(taipei(DAY, 9, 0), "ZZ", "202406", 500, 2)])
    summary = import_daily_files(path, tmp_path / "store", ["ZZ=ZZX"])
    assert summary["product"].to_list() == ["ZZX"]


def good_and(bad_rows):
    return [*session_rows(DAY), *bad_rows]


BAD = f"line {len(session_rows(DAY)) + 2}"  # the header is line 1


BAD_FILES = {  # name -> (file contents, what the error line names)
    "bad price": (daily_bytes(good_and([row(taipei(DAY, 9, 0), price="abc")])), f"{BAD}: bad price 'abc'"),
    "zero price": (daily_bytes(good_and([row(taipei(DAY, 9, 0), price=0)])), f"{BAD}: bad price '0'"),
    "odd volume": (daily_bytes(good_and([row(taipei(DAY, 9, 0), both=3)])), f"{BAD}: bad volume"),
    "bad time": (daily_bytes(good_and([row(taipei(DAY, 9, 0)).replace("  90000", " 246000")])), f"{BAD}: bad time"),
    "bad date": (daily_bytes(good_and([row(taipei(DAY, 9, 0)).replace("20240619", "20240631")])),
                 f"{BAD}: bad trade date"),
    "bad month": (daily_bytes(good_and([row(taipei(DAY, 9, 0), contract="202413")])), f"{BAD}: bad contract"),
    "short row": (daily_bytes(good_and(["20240619,MTX"])), f"{BAD}: bad contract month None"),
    "long row": (daily_bytes(good_and([row(taipei(DAY, 9, 0)) + ",x"])), f"{BAD}: 10 fields"),
    "not the header": (b"date,product\n" + daily_bytes(session_rows(DAY)).split(b"\n", 1)[1], "line 1:"),
    "empty": (b"", "empty file"),
}


@pytest.mark.parametrize("case", [*BAD_FILES, "truncated zip"])
def test_malformed_file_fails_alone_with_one_error_line(tmp_path, capsys, case):
    good = write_zip(tmp_path / file_name(date(2024, 6, 18)), session_rows(date(2024, 6, 18)))
    if case == "truncated zip":
        whole = write_zip(tmp_path / "whole.zip", session_rows(DAY)).read_bytes()
        bad, named = tmp_path / file_name(DAY), "not a whole zip archive"
        bad.write_bytes(whole[: len(whole) // 2])
    else:
        contents, named = BAD_FILES[case]
        bad = write_zip(tmp_path / file_name(DAY), contents)
    out = tmp_path / "store"
    assert main(["import-taifex", str(good), str(bad), "--out", str(out), "--quiet"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith(f"error: {bad}") and named in err[0]
    assert os.listdir(out / "futures" / "MXF") == ["2024-06-18.parquet"]  # the good day stays, alone
    assert pl.read_csv(out / "rolls" / "MXF.csv")["trading_day"].to_list() == ["2024-06-18"]


def test_html_page_is_skipped_with_one_line(tmp_path, capsys):
    page = tmp_path / file_name(DAY)
    page.write_text("<!DOCTYPE html>\n<html><body>查無資料</body></html>", encoding="utf-8")
    good = write_zip(tmp_path / file_name(date(2024, 6, 18)), session_rows(date(2024, 6, 18)))
    assert main(["import-taifex", str(page), str(good), "--out", str(tmp_path / "s")]) == 0
    out = capsys.readouterr().out
    assert [line for line in out.splitlines() if str(page) in line] == [f"{page}: skipped: an HTML page, not a "
                                                                         "daily file (the download of a day "
                                                                         "without trading)"]


def test_a_failed_write_leaves_the_old_day_whole(tmp_path, monkeypatch):
    out = tmp_path / "store"
    import_daily_files(write_zip(tmp_path / "a.zip", session_rows(DAY)), out)
    path = out / "futures" / "MXF" / f"{DAY}.parquet"
    before = path.read_bytes()

    def cut(frame, file, **kwargs):  # dies half-way through the temporary file, as a killed import would
        with open(file, "wb") as f:
            f.write(b"PAR1 half")
        raise KeyboardInterrupt

    monkeypatch.setattr(pl.DataFrame, "write_parquet", cut)
    with pytest.raises(KeyboardInterrupt):
        import_daily_files(write_zip(tmp_path / "b.zip", session_rows(DAY, price=1)), out)
    assert path.read_bytes() == before and os.listdir(path.parent) == [path.name]


def test_cli_bad_arguments(tmp_path, capsys):
    assert main(["import-taifex", str(tmp_path / "missing.zip"), "--out", str(tmp_path)]) == 2
    assert capsys.readouterr().err.startswith("error: no such file or folder")
    path = write_zip(tmp_path / "a.zip", session_rows(DAY))
    assert main(["import-taifex", str(path), "--out", str(tmp_path / "s"), "--products", "TX,QQ"]) == 2
    assert "FutureIndexContractValue" in capsys.readouterr().err
    with zipfile.ZipFile(tmp_path / "empty.zip", "w") as archive:
        archive.writestr("readme.txt", "nothing")
    assert main(["import-taifex", str(tmp_path / "empty.zip"), "--out", str(tmp_path / "s")]) == 2
    assert "holds no .csv or .rpt" in capsys.readouterr().err


def test_times_outside_the_years_the_package_holds_are_refused():
    early = row(taipei(date(2024, 6, 19), 9, 0)).replace("20240619", "19691231")
    with pytest.raises(InputError, match="line 2: bad trade date"):
        parse_daily(daily_bytes([early]), "x", ALL)
    assert parse_daily(daily_bytes([]), "x", ALL).height == 0
    late = datetime(2999, 12, 31, 23, 59, 59) + timedelta(seconds=1)
    with pytest.raises(InputError, match="line 2"):
        parse_daily(daily_bytes([row(late)]), "x", ALL)


@settings(max_examples=200, deadline=None)
@given(st.datetimes(datetime(1971, 1, 2), datetime(2999, 12, 30)))
def test_any_trade_time_becomes_its_taipei_epoch_seconds(when):
    when = when.replace(microsecond=0, tzinfo=timezone(timedelta(hours=8)))  # the exchange's UTC+8
    ticks = parse_daily(daily_bytes([row(when)]), "x", ALL)
    assert ticks["timestamp"].to_list() == [when.timestamp()]


def test_tolerated_shapes_read_the_same():
    """A blank line, a short row of a product not imported, and files without the auction field."""
    rows = mixed_rows()
    want = parse_daily(daily_bytes(rows), "x", ALL)
    odd = parse_daily(daily_bytes([*rows[:3], "", "20240619,CDF", *rows[3:]]), "x", ALL)
    assert odd.drop("auction").equals(want.drop("auction"))
    eight = [r[: r.rindex(",")] for r in rows]
    header = daily_bytes([]).decode("cp950").split(",開盤")[0]
    data = ("\r\n".join([header, *eight]) + "\r\n").encode("cp950")
    without = parse_daily(data, "x", ALL)
    assert without.drop("auction").equals(want.drop("auction")) and not without["auction"].any()


GOOD = {"product": ["TX", "MTX", "TE", "CDF"], "contract": ["202406", "202407", "202406W4", "202406/202407"],
        "price": [20000, 1200.5, 7], "both": [2, 4, 10]}
ODD = {"product": ["", "T X", "T\rX"], "contract": ["202413", "2024", "", "2024 06"],
       "price": [0, -5, "abc", "inf", "+3", "20 000"], "both": [3, 0, -2, "2.0", "\t4", "4 "]}


@pytest.mark.parametrize("odd", [None, *((field, value) for field, values in ODD.items() for value in values)])
@settings(max_examples=20, deadline=None)
@given(data=st.data(), eight=st.booleans(), weekly=st.booleans(), pad=st.sampled_from(["", "  "]))
def test_fast_read_gives_what_the_exact_read_gives(odd, data, eight, weekly, pad):
    """The fast read takes every well-formed file, and gives the exact read's rows whenever it takes one
    (a file with one odd field in a kept row: the exact read either names it or takes it too)."""
    when = st.datetimes(datetime(2000, 1, 1), datetime(2030, 12, 31)).map(
        lambda w: w.replace(microsecond=0, tzinfo=market.TAIPEI))
    cells = [{"when": data.draw(when), "auction": data.draw(st.booleans()),
              **{field: data.draw(st.sampled_from(values)) for field, values in GOOD.items()}}
             for _ in range(data.draw(st.integers(0 if odd is None else 1, 12)))]
    if odd is not None:
        data.draw(st.sampled_from(cells)).update({"product": "MTX", "contract": "202406", odd[0]: odd[1]})
    rows = [row(c["when"], c["product"], c["contract"], c["price"], c["both"], auction=c["auction"]) for c in cells]
    rows = [r[: r.rindex(",")] if eight else r for r in rows]
    raw = daily_bytes([r + pad for r in rows])  # the last field padded too: the auction flag or a spread leg
    if eight:
        raw = raw.replace(",開盤集合競價".encode("cp950"), b"", 1)
    clean = raw.translate(None, b" \r")
    try:
        exact = exchange_files._exact(clean, "x", ALL, weekly)
    except InputError:
        exact = None
    for source in (raw, clean):  # as written, and stripped as the exact read strips it
        try:
            fast = daily_fast.fast_rows(source, ALL, weekly)
        except daily_fast.FastReadFailed:
            assert odd is not None or not rows  # a well-formed file is always read the fast way
            continue
        assert exact is not None and fast.equals(exact.select(fast.columns))
