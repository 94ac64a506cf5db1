"""The tick store: continuous series and their rolls, reading by code and window, ticks of other sources."""

import os
from datetime import date, datetime, timedelta

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from data_files import file_name, previous_trading_day, row, session_rows, taipei, write_zip
from zopt_kelv_backtest import market
from zopt_kelv_backtest.backtest import InputError, TickStream, load_ticks
from zopt_kelv_backtest.data import import_daily_files, last_trading_day, read_store, stored_codes, write_store
from zopt_kelv_backtest.data.cli import main


def next_month(contract):
    year, month = int(contract[:4]), int(contract[4:])
    return f"{year + month // 12}{month % 12 + 1:02d}"


def import_days(tmp_path, days, contracts, **kwargs):
    folder = tmp_path / "in"
    folder.mkdir(exist_ok=True)
    for day in days:
        write_zip(folder / file_name(day), session_rows(day, contracts))
    return import_daily_files(folder, tmp_path / "store", **kwargs)


# 2024-06-19 is a third Wednesday and a trading day; 2026-02-18 is one closed for the Lunar New Year.
@pytest.mark.parametrize("third_wednesday", [date(2024, 6, 19), date(2026, 2, 18)])
def test_continuous_series_rolls_after_the_last_trading_day(tmp_path, third_wednesday):
    last = market.trading_days(third_wednesday, 1)[0]
    assert last_trading_day(last.year, last.month) == last
    before = previous_trading_day(last)
    days = [before, last, *market.trading_days(last + timedelta(days=1), 2)]
    near = f"{last:%Y%m}"
    import_days(tmp_path, days, (near, next_month(near)))
    rolls = pl.read_csv(tmp_path / "store" / "rolls" / "MXF.csv", schema_overrides={"contract": pl.String})
    assert rolls.rows() == [(str(d), near if d <= last else next_month(near), d == days[2], "expiry") for d in days]
    ticks = list(read_store(tmp_path / "store", ["MXF"]))
    assert {t["code"] for t in ticks} == {"MXF"} and len(ticks) == 7 * len(days)
    evening = taipei(last, 15, 0).timestamp()  # the night session of the last day trades the next month
    far = [t["timestamp"] >= evening for t in ticks]
    assert far == [t["close"] >= 20100 for t in ticks] and any(far) and not all(far)
    single = list(read_store(tmp_path / "store", [f"MXF{near}"]))
    assert len(single) == 7 * len(days) and all(t["close"] < 20100 for t in single)


def test_volume_roll_follows_the_previous_day_and_never_goes_back(tmp_path):
    days = market.trading_days(date(2024, 6, 3), 4)
    volumes = [(20, 2), (2, 20), (20, 2), (2, 2)]  # B+S of the near and the next month per day
    for day, (v_near, v_far) in zip(days, volumes):
        rows = [row(taipei(day, 9, 0), contract="202406", both=v_near),
                row(taipei(day, 9, 1), contract="202407", price=20100, both=v_far)]
        write_zip(tmp_path / file_name(day), rows)
    out = tmp_path / "store"
    import_daily_files(tmp_path, out, roll="volume")
    table = pl.read_csv(out / "rolls" / "MXF.csv", schema_overrides={"contract": pl.String})
    assert table["contract"].to_list() == ["202406", "202406", "202407", "202407"]
    assert table["roll"].to_list() == [False, False, True, False]
    assert [t["close"] for t in read_store(out, "MXF")] == [20000, 20000, 20100, 20100]
    # The rule stays with the store until asked otherwise, then applies to every day.
    import_daily_files(tmp_path / file_name(days[0]), out)
    assert pl.read_csv(out / "rolls" / "MXF.csv")["rule"].unique().to_list() == ["volume"]
    assert main(["rolls", str(out), "--roll", "expiry", "--quiet"]) == 0
    assert [t["close"] for t in read_store(out, "MXF")] == [20000] * 4


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """Three trading days of MXF (two months), the stock 2330 and a code of another futures source."""
    root = tmp_path_factory.mktemp("store")
    days = market.trading_days(date(2024, 6, 18), 3)
    for day in days:
        write_zip(root / file_name(day), session_rows(day, ("202406", "202407")))
    import_daily_files(list(root.glob("*.zip")), root / "s")
    stamps = [taipei(d, 9, m, s).timestamp() for d in days for m in range(0, 60, 7) for s in (0, 30)]
    write_store(pl.DataFrame({"timestamp": stamps, "code": "2330", "market_type": "Stock",
                              "close": [900.0 + i for i in range(len(stamps))], "qty": 3}), root / "s")
    return root / "s"


def test_read_store_gives_tick_records_in_time_order(store, tmp_path):
    stream = read_store(store)
    assert isinstance(stream, TickStream) and stream.codes == ("2330", "MXF") == tuple(stored_codes(store))
    ticks = list(stream)
    assert len(ticks) == len(stream) == 3 * (14 + 18) - 3 * 7  # MXF: one contract a day
    assert [t["timestamp"] for t in ticks] == sorted(t["timestamp"] for t in ticks)
    # The same rows as a CSV through load_ticks give the same records.
    single = list(read_store(store, ["MXF202407", "2330"]))
    pl.DataFrame(single).write_csv(tmp_path / "t.csv")
    assert list(load_ticks(tmp_path / "t.csv")) == single


WHEN = st.integers(int(taipei(date(2024, 6, 17), 12, 0).timestamp()), int(taipei(date(2024, 6, 21), 0, 0).timestamp()))


@settings(max_examples=40, deadline=None)
@given(lo=st.one_of(st.none(), WHEN), hi=st.one_of(st.none(), WHEN), as_dates=st.booleans())
def test_windows_read_what_filtering_everything_reads(store, lo, hi, as_dates):
    if lo is not None and hi is not None and hi <= lo:
        return
    def day(x):
        return None if x is None else datetime.fromtimestamp(x, market.TAIPEI).date()
    start, end = (day(lo), day(hi)) if as_dates else (lo, hi)
    a = lo if not as_dates or lo is None else taipei(start, 0, 0).timestamp()
    b = hi if not as_dates or hi is None else taipei(end + timedelta(days=1), 0, 0).timestamp()
    window = read_store(store, ["MXF", "2330", "MXF202406"], start, end)
    want = [t for t in read_store(store, ["MXF", "2330", "MXF202406"])
            if (a is None or t["timestamp"] >= a) and (b is None or t["timestamp"] < b)]
    assert list(window) == want and len(window) == len(want)


@pytest.mark.parametrize("codes,start,end,message", [
    (["TXF"], None, None, "no ticks for code TXF"),
    (["MXF2024"], None, None, "no ticks for code MXF2024"),
    (None, "2024-06-20", "2024-06-19", "is not after start"),
    (None, "June", None, "bad start"),
    (None, None, float("nan"), "bad end"),
])
def test_read_store_refuses_what_it_cannot_read(store, codes, start, end, message):
    with pytest.raises(InputError, match=message):
        read_store(store, codes, start, end)


@pytest.mark.parametrize("column,value,what", [
    ("code", "..", "row 2: bad code"),
    ("code", "=1+2", "row 2: bad code"),
    ("code", "A" * 33, "row 2: bad code"),
    ("timestamp", 99999999999999.0, "row 2: bad timestamp"),
    ("timestamp", float("nan"), "row 2: bad timestamp"),
    ("close", 0.0, "row 2: bad close"),
    ("close", float("inf"), "row 2: bad close"),
    ("qty", 1.5, "row 2: bad qty"),
    ("qty", -1.0, "row 2: bad qty"),
    ("market_type", "Bond", "row 2: bad market_type"),
])
def test_write_store_refuses_bad_rows_and_writes_nothing(tmp_path, column, value, what):
    frame = pl.DataFrame({"timestamp": [taipei(date(2024, 6, 19), 9, 0).timestamp()] * 2, "code": "2330",
                          "market_type": "Stock", "close": 900.0, "qty": 1.0})
    frame = frame.with_columns(pl.when(pl.int_range(2) == 1).then(pl.lit(value)).otherwise(pl.col(column))
                               .alias(column))
    with pytest.raises(InputError, match=what):
        write_store(frame, tmp_path)
    assert not os.listdir(tmp_path)


def test_stock_ticks_from_a_file_read_with_the_futures(store, tmp_path):
    ticks = [{"timestamp": f"2024-06-19 09:{m:02d}:00", "code": "0050", "market_type": "Stock",
              "close": 180.5, "qty": 2} for m in range(3)]
    pl.DataFrame(ticks).write_csv(tmp_path / "etf.csv")
    root = tmp_path / "s"
    assert main(["import-ticks", str(tmp_path / "etf.csv"), "--out", str(root), "--quiet"]) == 0
    assert [t["timestamp"] for t in read_store(root)] == [taipei(date(2024, 6, 19), 9, m).timestamp()
                                                           for m in range(3)]


def test_a_backtest_runs_on_the_store(store, console):
    from zopt_kelv_backtest.backtest import Strategy, run_backtest

    class BuyFirst(Strategy):
        def on_tick(self, tick):
            if self.position(tick["code"]) == 0:
                self.buy(tick["code"])

    # One buy at each code's first tick, at its price: fills at once (position() gates the next buy).
    result = run_backtest(read_store(store, ["MXF", "2330"], "2024-06-19", "2024-06-19"), BuyFirst(),
                          codes=["MXF", "2330"], progress=False, fill="this_tick")
    first = {}
    for tick in read_store(store, ["MXF", "2330"], "2024-06-19", "2024-06-19"):
        first.setdefault(tick["code"], tick["close"])
    assert {f["code"]: f["price"] for f in result.fills} == pytest.approx(first, rel=1e-3)


def test_runs_read_a_store_as_they_read_a_file(store, tmp_path, console):
    """load_ticks, the sweep and the example take the store folder; a sweep's rows equal those of the same
    ticks from a CSV (each window reads only its days of the store)."""
    from zopt_kelv_backtest import example
    from zopt_kelv_backtest.sweep import parse_windows, run_sweep

    assert list(load_ticks(store, ["MXF"], "2024-06-19", "2024-06-19")) == list(
        read_store(store, ["MXF"], "2024-06-19", "2024-06-19"))
    pl.DataFrame(list(read_store(store))).write_csv(tmp_path / "all.csv")
    args = dict(grid={"fast": [2, 3], "slow": [5]}, codes=["MXF", "2330"],
                windows=parse_windows("2024-06-19:2024-06-20"), workers=1)
    rows = {}
    for name, ticks in (("store", store), ("file", tmp_path / "all.csv")):
        result = run_sweep(ticks=str(ticks), out_dir=str(tmp_path / name), **args)
        rows[name] = result.rows.drop("run_seconds", "fingerprint").sort("combination")
    assert rows["store"].equals(rows["file"]) and rows["store"].height == 4
    assert example.main(["--ticks", str(store), "--trade", "MXF", "--out", str(tmp_path / "ex"), "--skip-qs",
                         "--quiet"]) == 0
