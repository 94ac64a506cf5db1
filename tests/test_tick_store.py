"""QuoteManager's tick store: calendar, code state, add_tick's gap filling and pull-back."""

import random
import sys
from datetime import date, datetime, time, timedelta, timezone

import polars as pl
import pytest
from tick_model import RefQuoteManager  # the plain-Python rendering, used as the oracle

T0, T5 = time(0, 0), time(5, 0)


# ---- helpers ---------------------------------------------------------------------------

def stamp(text):
    fmt = "%Y-%m-%d %H:%M:%S.%f" if "." in text else "%Y-%m-%d %H:%M:%S"
    return datetime.strptime(text, fmt).timestamp()


def tick(when, market="Stock", code="2330", close=100.0, qty=1, tick_type=1, sim=False):
    return {"timestamp": stamp(when) if isinstance(when, str) else when, "code": code,
            "market_type": market, "close": close, "qty": qty, "tick_type": tick_type,
            "is_simulate": sim}


def dts(qm, code="2330", virtual=None):
    return [t["dt"] for t in qm.ticks[code]["ticks"] if virtual is None or t["is_virtual"] == virtual]


def at(text):
    return datetime.strptime(text, "%Y-%m-%d %H:%M")


def snapshot(ticks):
    """Structure with types and order, so int/float or key-order drift shows up."""
    return {code: {k: ([[(kk, type(vv), vv) for kk, vv in t.items()] for t in v]
                       if isinstance(v, list) else v) for k, v in st.items()}
            for code, st in ticks.items()}


@pytest.fixture
def qm(mod):
    return mod.QuoteManager()


# ---- constructor, state, frame ---------------------------------------------------------

def test_constructor_attributes(qm, mod):
    assert list(vars(qm)) == ["holiday_search_set", "ticks", "not_trade_times"]
    assert qm.ticks == {}
    s = lambda t: datetime.strptime(t, "%H:%M:%S").time()  # noqa: E731
    assert qm.not_trade_times == {
        "Stock": [[s("13:30:00"), s("23:59:59")], [s("00:00:00"), s("08:59:59")]],
        "Future": [[s("13:45:00"), s("14:59:59")], [s("05:00:00"), s("08:44:59")]]}
    hs = qm.holiday_search_set
    assert type(hs) is set and all(type(d) is str for d in hs)
    # Weekends are listed, and so are exchange holidays and typhoon closures.
    assert {"2024-05-11", "2024-05-12", "2017-01-01", "2026-12-27"} <= hs
    assert {"2024-02-08", "2019-08-09", "2024-07-24", "2024-10-03"} <= hs
    assert not {"2024-05-10", "2024-05-13"} & hs
    assert mod.QuoteManager().holiday_search_set is not hs


def test_calendar_file_lists_every_weekend(mod):
    import os
    path = os.path.join(mod.static_dir, "holidays_search_from_2017.csv")
    days = [date.fromisoformat(d) for d in pl.read_csv(path)["Date"]]
    assert days == sorted(set(days)) and days[0] == date(2017, 1, 1)
    span = [date(2017, 1, 1) + timedelta(n) for n in range((date(2026, 12, 31) - date(2017, 1, 1)).days + 1)]
    assert {d for d in days if d.weekday() >= 5} == {d for d in span if d.weekday() >= 5}
    assert 100 < sum(d.weekday() < 5 for d in days) < 250  # about a dozen closures a year


def test_static_dir_read_at_construction(mod, monkeypatch, tmp_path):
    (tmp_path / "holidays_search_from_2017.csv").write_text("Date\n2030-01-02\n")
    monkeypatch.setattr(mod, "static_dir", str(tmp_path))
    assert mod.QuoteManager().holiday_search_set == {"2030-01-02"}
    (tmp_path / "holidays_search_from_2017.csv").write_text("Day\n2030-01-02\n")
    with pytest.raises(pl.exceptions.ColumnNotFoundError):
        mod.QuoteManager()
    monkeypatch.setattr(mod, "static_dir", str(tmp_path / "missing"))
    with pytest.raises(FileNotFoundError):
        mod.QuoteManager()


def test_constructor_uses_module_datetime(mod, monkeypatch):
    calls = []

    class Spy(datetime):
        @classmethod
        def strptime(cls, text, fmt):
            calls.append(text)
            return datetime.strptime(text, fmt)

    monkeypatch.setattr(mod, "datetime", Spy)
    mod.QuoteManager()
    assert calls == ["13:30:00", "23:59:59", "00:00:00", "08:59:59",
                     "13:45:00", "14:59:59", "05:00:00", "08:44:59"]


def test_init_info_empty_frame_and_clear(qm):
    a, b = qm.get_init_ticks_info(), qm.get_init_ticks_info()
    assert a == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}
    assert list(a) == ["ticks", "old_ticks", "last_tick", "cached_kbars"]
    assert all(a[k] is not b[k] for k in ("ticks", "old_ticks", "cached_kbars"))
    df = qm.get_empty_tick_df()
    assert df.is_empty() and list(df.schema.items()) == [
        ("dt", pl.Datetime("us")), ("market_type", pl.Utf8), ("code", pl.Utf8), ("close", pl.Float64),
        ("qty", pl.Int64), ("tick_type", pl.Int8), ("is_simulate", pl.Boolean), ("is_virtual", pl.Boolean)]
    qm.add_tick(tick("2024-05-08 09:00:30"))
    old = qm.ticks
    assert qm.clear_ticks() is None and qm.ticks == {} and qm.ticks is not old
    qm.add_tick(tick("2024-05-08 10:00:30"))  # a fresh start: no gap from the dropped tick
    assert len(qm.ticks["2330"]["ticks"]) == 1


# ---- add_tick: stored tick, gaps, pull-back --------------------------------------------

def test_first_tick(qm):
    t = tick("2024-05-08 09:00:30", qty=3, tick_type=2, sim=True)
    assert qm.add_tick(t) is None
    st = qm.ticks["2330"]
    assert list(st) == ["ticks", "old_ticks", "last_tick", "cached_kbars"]
    [stored] = st["ticks"]
    assert stored is st["last_tick"]
    assert list(stored.items()) == [("dt", datetime(2024, 5, 8, 9, 0, 30)), ("market_type", "Stock"),
                                    ("code", "2330"), ("close", 100.0), ("qty", 3), ("tick_type", 2),
                                    ("is_simulate", True), ("is_virtual", False)]
    assert type(stored["dt"]) is datetime and stored["close"] is t["close"]
    # No bigger than the same dict written as a display (a million of them are kept).
    display = {"dt": 0, "market_type": 0, "code": 0, "close": 0, "qty": 0, "tick_type": 0,
               "is_simulate": 0, "is_virtual": 0}
    assert sys.getsizeof(stored) <= sys.getsizeof(display)


@pytest.mark.parametrize("prev, new, minutes", [
    ("09:00:30", "09:03:10", ["09:01", "09:02", "09:03"]),
    ("09:00:30", "09:02:40", ["09:01", "09:02"]),           # no minute from after the tick
    ("09:00:00", "09:02:00", ["09:01", "09:02"]),
    ("09:59:30", "10:02:10", ["10:00", "10:01"]),           # minute field wraps: no extra bar
    ("09:00:30", "09:01:50", []),
    ("09:05:00", "09:01:00", []),                            # earlier tick: nothing filled
])
def test_gap_within_session(qm, prev, new, minutes):
    qm.add_tick(tick(f"2024-05-08 {prev}"))
    qm.add_tick(tick(f"2024-05-08 {new}", close=101.0, qty=5))
    st = qm.ticks["2330"]
    assert dts(qm, virtual=True) == [at(f"2024-05-08 {m}") for m in minutes]
    assert [t["is_virtual"] for t in st["ticks"]] == [False] + [True] * len(minutes) + [False]
    for v in st["ticks"][1:-1]:
        assert list(v.values())[1:] == ["Stock", "2330", 100.0, 0, 0, False, True]
    assert st["last_tick"] is st["ticks"][-1] and st["last_tick"]["close"] == 101.0


def test_stock_overnight_keeps_only_session_minutes(qm):
    qm.add_tick(tick("2024-05-06 13:25:10"))  # Monday
    qm.add_tick(tick("2024-05-07 09:00:05"))
    assert dts(qm, virtual=True) == [at(f"2024-05-06 13:{m}") for m in (26, 27, 28, 29)]


def test_future_weekend_keeps_friday_night_only(qm):
    qm.add_tick(tick("2024-05-10 23:00:00", "Future", "TXF"))   # Friday night session
    qm.add_tick(tick("2024-05-13 08:45:30", "Future", "TXF"))   # Monday open
    got = dts(qm, "TXF", virtual=True)
    want = ([at("2024-05-10 23:00") + timedelta(minutes=m) for m in range(1, 60)]
            + [at("2024-05-11 00:00") + timedelta(minutes=m) for m in range(300)]
            + [at("2024-05-13 08:45")])
    assert got == want


def test_future_weekend_without_weekends_in_calendar(qm):
    qm.holiday_search_set = set()
    qm.add_tick(tick("2024-05-11 04:58:00", "Future", "TXF"))
    qm.add_tick(tick("2024-05-13 00:02:00", "Future", "TXF"))
    got = dts(qm, "TXF", virtual=True)
    assert got == ([at("2024-05-11 04:59")] + [at("2024-05-12 00:00") + timedelta(minutes=m) for m in range(300)]
                   + [at("2024-05-13 00:00"), at("2024-05-13 00:01"), at("2024-05-13 00:02")])


@pytest.mark.parametrize("holidays, market, prev, new, minutes", [
    # minutes up to 05:00 belong to the previous day's night session
    ({"2024-05-07"}, "Future", "2024-05-07 23:58:00", "2024-05-08 00:03:30", []),
    ({"2024-05-08"}, "Future", "2024-05-07 23:58:00", "2024-05-08 00:03:30",
     ["2024-05-07 23:59", "2024-05-08 00:00", "2024-05-08 00:01", "2024-05-08 00:02", "2024-05-08 00:03"]),
    ({"2024-05-08"}, "Stock", "2024-05-07 13:27:00", "2024-05-09 09:02:30",
     ["2024-05-07 13:28", "2024-05-07 13:29", "2024-05-09 09:00", "2024-05-09 09:01", "2024-05-09 09:02"]),
    (set(), "Option", "2024-05-10 23:58:00", "2024-05-11 00:02:00", ["2024-05-10 23:59"]),
    (set(), "Option", "2024-05-08 13:58:00", "2024-05-08 14:01:00",
     ["2024-05-08 13:59", "2024-05-08 14:00", "2024-05-08 14:01"]),
])
def test_holiday_and_market_rules(qm, holidays, market, prev, new, minutes):
    qm.holiday_search_set = holidays
    qm.add_tick(tick(prev, market))
    qm.add_tick(tick(new, market))
    assert dts(qm, virtual=True) == [at(m) for m in minutes]


@pytest.mark.parametrize("market, when, stored", [
    ("Future", "2024-05-08 13:45:00", datetime(2024, 5, 8, 13, 44, 59)),
    ("Future", "2024-05-08 05:00:00", datetime(2024, 5, 8, 4, 59, 59)),
    ("Future", "2024-05-08 14:59:59.5", datetime(2024, 5, 8, 14, 59, 59, 500000)),
    ("Stock", "2024-05-08 13:30:00.25", datetime(2024, 5, 8, 13, 29, 59, 250000)),
    ("Stock", "2024-05-08 03:00:00.125", datetime(2024, 5, 7, 23, 59, 59, 125000)),
    ("Stock", "2024-05-08 00:00:00", datetime(2024, 5, 7, 23, 59, 59)),
    ("Option", "2024-05-08 13:30:00", datetime(2024, 5, 8, 13, 30)),
])
def test_closing_pull_back(qm, market, when, stored):
    qm.add_tick(tick(when, market))
    assert qm.ticks["2330"]["last_tick"]["dt"] == stored


def test_gap_measured_from_pulled_back_time(qm):
    qm.add_tick(tick("2024-05-08 13:45:00", "Future"))      # stored 13:44:59
    qm.add_tick(tick("2024-05-08 15:02:30", "Future"))
    # 77 minutes from 13:44:59; the minute fields (2 - 44) add no extra bar, so 15:01 is the last
    assert dts(qm, virtual=True) == [at("2024-05-08 15:00"), at("2024-05-08 15:01")]


# ---- failures: key order, no change, passing errors through ----------------------------

@pytest.mark.parametrize("drop, key", [
    (("timestamp", "code"), "timestamp"),
    (("code", "market_type"), "code"),
    (("market_type", "close"), "market_type"),
    (("close", "is_simulate"), "close"),
    (("qty",), "qty"), (("tick_type",), "tick_type"), (("is_simulate",), "is_simulate"),
])
@pytest.mark.parametrize("gap", [False, True])
def test_missing_key_changes_nothing(qm, drop, key, gap):
    qm.add_tick(tick("2024-05-08 09:00:30"))
    before = snapshot(qm.ticks)
    bad = tick("2024-05-08 09:10:00" if gap else "2024-05-08 09:00:40")
    for k in drop:
        del bad[k]
    with pytest.raises(KeyError) as e:
        qm.add_tick(bad)
    assert e.value.args == (key,)
    assert snapshot(qm.ticks) == before
    # A new code's state stays, empty, once the code has been read.
    bad["code"] = "NEW"
    if key in ("timestamp", "code"):
        return
    with pytest.raises(KeyError):
        qm.add_tick(bad)
    assert qm.ticks["NEW"] == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}


def test_broken_last_tick_fails_without_change(qm):
    qm.add_tick(tick("2024-05-08 09:00:30"))
    del qm.ticks["2330"]["last_tick"]["close"]
    before = snapshot(qm.ticks)
    qm.add_tick(tick("2024-05-08 09:01:00"))  # no gap: the old tick's close is not needed
    qm.ticks["2330"]["ticks"].pop()
    qm.ticks["2330"]["last_tick"] = qm.ticks["2330"]["ticks"][-1]
    with pytest.raises(KeyError, match="close"):
        qm.add_tick(tick("2024-05-08 09:05:00"))
    assert snapshot(qm.ticks) == before


@pytest.mark.parametrize("stamp_value", ["abc", 1e20, float("nan"), -1e18])
def test_timestamp_errors_come_first_and_unchanged(qm, stamp_value):
    with pytest.raises(Exception) as want:
        datetime.fromtimestamp(stamp_value)
    with pytest.raises(type(want.value)) as got:
        qm.add_tick({"timestamp": stamp_value})
    assert str(got.value) == str(want.value) and qm.ticks == {}


@pytest.mark.parametrize("dt, exc", [
    (datetime(2024, 5, 8, 9, 0, tzinfo=timezone.utc), TypeError),   # aware minus naive
    ("2024-05-08 09:00:00", TypeError),
])
def test_caller_changed_last_dt(qm, dt, exc):
    qm.add_tick(tick("2024-05-08 09:00:30"))
    qm.ticks["2330"]["last_tick"]["dt"] = dt
    before = snapshot(qm.ticks)
    with pytest.raises(exc):
        qm.add_tick(tick("2024-05-08 09:05:00"))
    assert snapshot(qm.ticks) == before


def test_caller_moved_last_dt_is_measured_from(qm):
    qm.add_tick(tick("2024-05-08 09:00:30"))
    qm.ticks["2330"]["last_tick"]["dt"] = datetime(2024, 5, 8, 9, 3, 10)
    qm.add_tick(tick("2024-05-08 09:05:30"))
    assert dts(qm, virtual=True) == [at("2024-05-08 09:04"), at("2024-05-08 09:05")]


def test_dict_subclass_rejected(qm):
    class D(dict):
        pass
    with pytest.raises(TypeError):
        qm.add_tick(D(tick("2024-05-08 09:00:30")))


# ---- call-time lookups and overrides ---------------------------------------------------

def test_module_datetime_and_timedelta_used_at_call_time(qm, mod, monkeypatch):
    class Shifted(datetime):
        @classmethod
        def fromtimestamp(cls, t):
            return datetime.fromtimestamp(t + 3600)
    steps = []

    def spy_timedelta(**kw):
        steps.append(kw)
        return timedelta(**kw)

    monkeypatch.setattr(mod, "datetime", Shifted)
    monkeypatch.setattr(mod, "timedelta", spy_timedelta)
    qm.add_tick(tick("2024-05-08 09:00:30"))
    qm.add_tick(tick("2024-05-08 09:03:10"))
    assert dts(qm) == [datetime(2024, 5, 8, 10, 0, 30), at("2024-05-08 10:01"), at("2024-05-08 10:02"),
                       at("2024-05-08 10:03"), datetime(2024, 5, 8, 10, 3, 10)]
    assert {"minutes": 1} in steps and {"days": 1} not in steps


def test_overridden_init_info_is_used(mod):
    class QM(mod.QuoteManager):
        def get_init_ticks_info(self):
            info = super().get_init_ticks_info()
            info["extra"] = 1
            return info
    q = QM()
    q.add_tick(tick("2024-05-08 09:00:30"))
    assert q.ticks["2330"]["extra"] == 1


class ListWindows(dict):
    """Not-trade windows behind a dict subclass, with tuple windows."""


class HolidaySet(set):
    pass


@pytest.mark.parametrize("variant", ["plain", "generic"])
def test_matches_reference_on_random_streams(mod, variant):
    rng = random.Random(20240208)
    q = mod.QuoteManager()
    if variant == "generic":  # unusual containers: the literal path must still agree
        q.holiday_search_set = HolidaySet(q.holiday_search_set)
        q.not_trade_times = ListWindows({k: [tuple(w) for w in v] for k, v in q.not_trade_times.items()})
    ref = RefQuoteManager(set(mod.QuoteManager().holiday_search_set),
                          {k: [list(w) for w in v] for k, v in mod.QuoteManager().not_trade_times.items()})
    codes = [("2330", "Stock"), ("TXF", "Future"), ("MXF", "Future"), ("OPT", "Option")]
    now = {c: datetime(2024, 1, 31, 8, 0).timestamp() + rng.random() * 3600 for c, _ in codes}
    for n in range(3000 if variant == "plain" else 1000):
        code, market = rng.choice(codes)
        r = rng.random()
        if r < 0.5:
            step = rng.uniform(0, 20)
        elif r < 0.8:
            step = rng.choice([60, 120, 180]) + rng.choice([0, 0.5, -0.5, rng.uniform(-30, 30)])
        elif r < 0.93:
            step = rng.uniform(300, 7200)
        elif r < 0.95:
            step = rng.uniform(86400, 3.5 * 86400)  # across nights, weekends, holidays
        else:
            step = -rng.uniform(0, 600)
        now[code] += step
        if rng.random() < 0.1:
            now[code] = float(int(now[code]) // 60 * 60)  # exactly on a minute
        t = tick(now[code], market, code, close=float(n), qty=n, tick_type=n % 3, sim=n % 2 == 0)
        q.add_tick(t)
        ref.add_tick(t)
    assert snapshot(q.ticks) == snapshot(ref.ticks)
    for code, _ in codes:
        assert q.ticks[code]["last_tick"] is q.ticks[code]["ticks"][-1]
    assert sum(t["is_virtual"] for st in q.ticks.values() for t in st["ticks"]) > 1000


@pytest.fixture
def zone(request, monkeypatch):
    import time as _time
    monkeypatch.setenv("TZ", request.param)
    _time.tzset()
    yield request.param
    monkeypatch.undo()
    _time.tzset()


@pytest.mark.parametrize("zone", ["Asia/Taipei", "America/New_York", "Europe/London", "Australia/Lord_Howe"],
                         indirect=True)
def test_stored_time_is_fromtimestamp_in_any_zone(mod, zone):
    rng = random.Random(zone)
    stamps = [rng.uniform(946684800, 4102444800) for _ in range(200)]
    stamps += [int(s) for s in stamps[:50]] + [s + 5e-7 for s in stamps[:50]] + [True, 1e9 + 0.9999996]
    # Around the 2024 transitions of the northern and southern zones, both folds included.
    for edge in (1710054000, 1730613600, 1711846800, 1729990800, 1712415600, 1728144000):
        stamps += [edge + d for d in range(-7200, 7201, 900)]
    q = mod.QuoteManager()
    for n, s in enumerate(stamps):
        q.add_tick(tick(s, "Option", code=f"C{n}"))
    for n, s in enumerate(stamps):
        got, want = q.ticks[f"C{n}"]["last_tick"]["dt"], datetime.fromtimestamp(s)
        assert (got, got.fold, type(got)) == (want, want.fold, datetime), s
