"""The synthetic tick set: calendar, sessions, ladder, volume shape, seeds, streaming."""

import itertools
from collections import Counter
from datetime import date, datetime, time, timedelta

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest import market, synthetic
from zopt_kelv_backtest.synthetic import Product

START = date(2024, 2, 1)


@pytest.fixture(scope="module")
def ticks():
    return synthetic.generate_ticks(start=START, days=6, seed=3)


def local(t):
    return datetime.fromtimestamp(t["timestamp"], synthetic.TAIPEI).replace(tzinfo=None)


def test_records_are_tick_records_in_time_order(ticks):
    assert ticks
    for t in ticks[:50]:
        assert list(t) == ["timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate"]
        assert [type(t[k]) for k in t] == [float, str, str, float, int, int, bool]
    stamps = [t["timestamp"] for t in ticks]
    assert stamps == sorted(stamps)
    # Ticks at the same millisecond come in the order of the products.
    rank = {p.code: i for i, p in enumerate(synthetic.DEFAULT_PRODUCTS)}
    for a, b in zip(ticks, ticks[1:]):
        if a["timestamp"] == b["timestamp"]:
            assert rank[a["code"]] <= rank[b["code"]]


def test_the_calendar_covers_whole_years_and_no_further():
    assert synthetic.trading_days(date(2026, 12, 28), 4) == [date(2026, 12, d) for d in (28, 29, 30, 31)]
    with pytest.raises(ValueError, match="ends on 2026-12-31"):
        synthetic.trading_days(date(2026, 12, 28), 5)
    with pytest.raises(ValueError, match="starts on 2017-01-01"):
        synthetic.trading_days(date(2016, 12, 30), 1)
    # A calendar of the caller's own has no such end.
    assert synthetic.trading_days(date(2030, 1, 1), 2, holidays=set()) == [date(2030, 1, 1), date(2030, 1, 2)]


def test_only_trading_days_of_the_calendar(ticks):
    holidays = synthetic.load_holidays()
    days = synthetic.trading_days(START, 6)
    # The lunar new year closure (6 to 14 February 2024) and the weekends are skipped.
    assert days == [date(2024, 2, d) for d in (1, 2, 5, 15, 16, 19)]
    opened = {local(t).date() for t in ticks if t["market_type"] == "Stock"}
    assert opened == set(days)
    assert not any(d.strftime("%Y-%m-%d") in holidays for d in opened)


SIX_DAYS = synthetic.trading_days(START, 6)
# The trading day before each of them: its night session counts in the next trading day.
EVES = [date(2024, 1, 31), date(2024, 2, 1), date(2024, 2, 2), date(2024, 2, 5), date(2024, 2, 15), date(2024, 2, 16)]


def in_session(t):
    when = local(t)
    clock = when.time()
    if t["market_type"] == "Stock":
        return time(9) <= clock <= time(13, 25) or clock == time(13, 30)
    if time(8, 45) <= clock <= time(13, 45):
        return when.date().weekday() < 5
    # Night session: from 15:00 of the trading day before one of the set's days to 05:00 of the next date.
    opened_on = when.date() if clock >= time(15) else when.date() - timedelta(days=1)
    return (clock >= time(15) or clock <= time(5)) and opened_on in EVES


def test_every_tick_inside_its_sessions(ticks):
    outside = [t for t in ticks if not in_session(t)]
    assert outside == []
    night = [local(t) for t in ticks if t["code"] == "MXF" and not time(8, 45) <= local(t).time() <= time(13, 45)]
    assert night and any(n.date() == date(2024, 2, 3) for n in night)  # Friday's night runs into Saturday
    assert {n.date() for n in night if n.time() >= time(15)} == set(EVES)
    auctions = [t for t in ticks if local(t).time() == time(13, 30)]
    assert Counter(t["code"] for t in auctions) == {"2330": 6, "0050": 6}


@settings(max_examples=12, deadline=None)
@given(st.dates(date(2017, 1, 1), date(2026, 12, 1)), st.integers(1, 3))
def test_the_set_holds_the_sessions_of_its_trading_days_only(start, days):
    futures = (synthetic.DEFAULT_PRODUCTS[2],)
    ticks = synthetic.generate_ticks(start, days, 5, products=futures)
    wanted = synthetic.trading_days(start, days)
    counted = Counter(market.trading_day_of(t["timestamp"]) for t in ticks)
    assert sorted(counted) == wanted
    for day in wanted:  # each day has its night session and its day session
        clocks = {local(t).time() >= time(15) or local(t).time() <= time(5) for t in ticks
                  if market.trading_day_of(t["timestamp"]) == day}
        assert clocks == {True, False}


def test_prices_on_the_ladder_and_positive(ticks):
    for t in ticks:
        step = synthetic.tick_size(t["code"], t["market_type"], t["close"])
        cents = round(t["close"] * 100)
        assert t["close"] == cents / 100 and cents % round(step * 100) == 0 and t["close"] >= step, t
        assert t["qty"] >= 1 and t["tick_type"] in (1, 2) and t["is_simulate"] is False


@pytest.mark.parametrize(
    "code, market, price, step",
    [("2330", "Stock", 9.99, 0.01), ("2330", "Stock", 10.0, 0.05), ("2330", "Stock", 49.95, 0.05),
     ("2330", "Stock", 50.0, 0.1), ("2330", "Stock", 100.0, 0.5), ("2330", "Stock", 499.5, 0.5),
     ("2330", "Stock", 500.0, 1.0), ("2330", "Stock", 1000.0, 5.0), ("0050", "Stock", 49.99, 0.01),
     ("0050", "Stock", 50.0, 0.05), ("0050", "Stock", 999.95, 0.05), ("0050", "Stock", 1000.0, 5.0),
     ("MXF", "Future", 17500.0, 1.0)],
)  # fmt: skip
def test_tick_ladder(code, market, price, step):
    assert synthetic.tick_size(code, market, price) == step


def test_walk_crosses_ladder_bands_and_never_reaches_zero():
    # A product that starts near a band edge and moves wildly crosses bands; a cheap one hits the floor.
    edgy = Product("9999", "Stock", 10.0, 30.0, 40.0)
    cheap = Product("9998", "Stock", 0.02, 30.0, 40.0)
    ticks = synthetic.generate_ticks(START, 2, 5, products=(edgy, cheap))
    steps = {synthetic.tick_size(t["code"], "Stock", t["close"]) for t in ticks if t["code"] == "9999"}
    assert {0.01, 0.05} <= steps
    low = [t["close"] for t in ticks if t["code"] == "9998"]
    assert min(low) == 0.01
    for t in ticks:
        cents = round(t["close"] * 100)
        assert cents % round(synthetic.tick_size(t["code"], "Stock", t["close"]) * 100) == 0


def test_intraday_volume_is_u_shaped():
    ticks = synthetic.generate_ticks(START, 10, 7)
    half_hours = Counter((local(t).hour * 60 + local(t).minute - 540) // 30 for t in ticks
                         if t["code"] == "2330" and local(t).time() < time(13, 30))  # fmt: skip
    assert half_hours[0] > 1.3 * half_hours[4] and half_hours[8] > 1.3 * half_hours[4]


def test_same_seed_same_ticks_other_seed_other_ticks(ticks):
    assert synthetic.generate_ticks(start=START, days=6, seed=3) == ticks
    assert synthetic.generate_ticks(start=START, days=6, seed=4) != ticks


def test_fewer_days_are_a_prefix_of_more():
    long = synthetic.generate_ticks(START, 4, 9)
    short = synthetic.generate_ticks(START, 2, 9)
    assert long[: len(short)] == short and len(long) > len(short)


def test_pinned_values_of_the_default_set():
    # The seed contract: these hold on every machine and numpy release.
    ticks = synthetic.iter_ticks()
    first = list(itertools.islice(ticks, 3))
    assert first == [
        {"timestamp": 1706684404.83, "code": "MXF", "market_type": "Future", "close": 17500.0, "qty": 1,
         "tick_type": 1, "is_simulate": False},
        {"timestamp": 1706684407.851, "code": "MXF", "market_type": "Future", "close": 17499.0, "qty": 3,
         "tick_type": 2, "is_simulate": False},
        {"timestamp": 1706684412.838, "code": "MXF", "market_type": "Future", "close": 17500.0, "qty": 1,
         "tick_type": 1, "is_simulate": False},
    ]  # fmt: skip
    assert next(t for t in ticks if t["code"] == "2330") == {
        "timestamp": 1706749201.56, "code": "2330", "market_type": "Stock", "close": 581.0, "qty": 1, "tick_type": 1,
        "is_simulate": False}  # fmt: skip


def test_iter_ticks_is_an_iterator_equal_to_the_list():
    gen = synthetic.iter_ticks(START, 3, 2)
    assert iter(gen) is gen
    assert list(gen) == synthetic.generate_ticks(START, 3, 2)


def test_iter_ticks_makes_one_day_at_a_time(monkeypatch):
    made = []
    real = synthetic._ProductDays.day

    def spy(self, day):
        made.append(day)
        return real(self, day)

    monkeypatch.setattr(synthetic._ProductDays, "day", spy)
    gen = synthetic.iter_ticks(START, 5, 1)
    assert made == []
    next(gen)
    assert set(made) == {START}
    list(gen)
    assert sorted(set(made)) == synthetic.trading_days(START, 5)


@pytest.mark.parametrize(
    "kwargs, error",
    [({"days": 0}, ValueError), ({"days": -3}, ValueError), ({"seed": 1.5}, TypeError), ({"seed": "7"}, TypeError),
     ({"seed": True}, TypeError), ({"start": date(2026, 12, 1), "days": 400}, ValueError)],
)  # fmt: skip
def test_bad_arguments_raise_before_the_first_tick(kwargs, error):
    with pytest.raises(error):
        synthetic.iter_ticks(**kwargs)  # no next(): the call itself raises


@pytest.mark.parametrize("seed", [0, -1, 2**32, 2**70 + 5, -(2**40)])
def test_any_int_seed_works_and_seeds_differ(seed):
    a = list(itertools.islice(synthetic.iter_ticks(START, 1, seed), 200))
    b = list(itertools.islice(synthetic.iter_ticks(START, 1, seed + 1), 200))
    assert a and a != b


@pytest.mark.parametrize(
    "product, message",
    [(Product("X", "Bond", 100.0, 5.0, 1.0), "market_type"), (Product("X", "Stock", 0.0, 5.0, 1.0), "start_price"),
     (Product("X", "Stock", float("nan"), 5.0, 1.0), "start_price"),
     (Product("X", "Stock", 100.0, -1.0, 1.0), "ticks_per_minute"),
     (Product("X", "Future", 100.0, 5.0, float("inf")), "volatility")],
)  # fmt: skip
def test_products_that_cannot_trade_are_refused(product, message):
    with pytest.raises(ValueError, match=message):
        synthetic.iter_ticks(START, 1, 1, products=(product,))


def test_no_products_no_ticks():
    assert synthetic.generate_ticks(START, 2, 1, products=()) == []


def test_the_calendar_is_read_again_when_its_file_changes(tmp_path, monkeypatch):
    path = tmp_path / "holidays.csv"
    path.write_text("Date,Name\n2024-01-01,new year\n", encoding="utf-8")
    monkeypatch.setattr(synthetic, "HOLIDAY_FILE", str(path))
    assert synthetic.trading_days(date(2024, 1, 1), 1) == [date(2024, 1, 2)]
    path.write_text("Date,Name\n2024-01-01,new year\n2024-01-02,another\n", encoding="utf-8")
    assert synthetic.trading_days(date(2024, 1, 1), 1) == [date(2024, 1, 3)]
    # Each caller gets a set of its own: changing one changes no later answer.
    mine = synthetic.load_holidays(str(path))
    mine.clear()
    assert synthetic.load_holidays(str(path)) == {"2024-01-01", "2024-01-02"}
    assert synthetic.trading_days(date(2024, 1, 1), 1) == [date(2024, 1, 3)]


@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_is_left_as_it_was(enabled):
    import gc

    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        assert len(synthetic.generate_ticks(start=START, days=1)) > 0
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
