"""The result by trading day: night sessions, open positions marked by the core's rule, round-trip sides."""

from datetime import date, datetime, timedelta

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest.backtest import Strategy, run_backtest
from zopt_kelv_backtest.backtest.result import round_trip_sides
from zopt_kelv_backtest.modules.positions import positions as positions_module


@pytest.fixture(autouse=True)
def quiet_core(console):
    return console


def at(day, hms, close, code="MXF", market="Future"):
    h, m = (int(x) for x in hms.split(":"))
    when = datetime(2024, 2, day) + timedelta(hours=h, minutes=m)
    return {"timestamp": when.timestamp(), "code": code, "market_type": market, "close": close, "qty": 1,
            "tick_type": 1, "is_simulate": False}


class Script(Strategy):
    """Orders at given ticks: {(day, "HH:MM"): [(method, code, quantity)]}."""

    params = {"orders": {}}

    def on_tick(self, t):
        when = datetime.fromtimestamp(t["timestamp"])
        for method, code, qty in self.orders.get((when.day, when.strftime("%H:%M")), []):
            getattr(self, method)(code, qty)


def test_a_night_session_counts_in_the_next_trading_day():
    # Thursday 1 Feb: day session; its night runs into Friday; Friday's night runs into Saturday and
    # counts in Monday 5 Feb, as does a Saturday-morning close.
    ticks = [at(1, "10:00", 100.0), at(1, "15:30", 101.0), at(2, "01:00", 102.0), at(2, "10:00", 103.0),
             at(2, "16:00", 104.0), at(3, "02:00", 110.0), at(5, "09:00", 111.0)]
    orders = {(1, "10:00"): [("buy", "MXF", 1)], (1, "15:30"): [("sell", "MXF", 1)],
              (2, "16:00"): [("sell", "MXF", 1)], (3, "02:00"): [("buy", "MXF", 1)]}
    # The hand-picked days and prices are those of the ticks the orders are placed at: fills at once.
    result = run_backtest(ticks, Script(orders=orders), codes=["MXF"], fill="this_tick")
    assert result.days == [date(2024, 2, d) for d in (1, 2, 5)]
    trips = result.round_trips
    assert trips["trading_day"].to_list() == [date(2024, 2, 2), date(2024, 2, 5)]
    assert trips["side"].to_list() == ["long", "short"]
    assert trips.schema["entry_dt"] == pl.Datetime("us") and trips.schema["trading_day"] == pl.Date
    daily = result.daily
    assert daily["date"].to_list() == result.days
    assert daily["realised"].to_list() == [0.0, *trips["profit"].to_list()]
    assert result.equity["equity"][-1] == pytest.approx(result.capital + result.net_profit)


# Long stock (1000 shares a lot) and short mini-index futures (50 a point): the core's open profit is
# the price change times the quantity and the unit value, without costs.
@pytest.mark.parametrize("code,market,method,unit", [("2330", "Stock", "buy", 1000), ("MXF", "Future", "sell", -50)])
def test_open_positions_are_marked_each_day_and_at_the_end(code, market, method, unit):
    ticks = [at(1, "09:30", 100.0, code, market), at(1, "13:00", 105.0, code, market),
             at(2, "09:30", 101.0, code, market), at(2, "13:00", 103.0, code, market),
             at(2, "13:10", 50.0, "0050", "Stock")]
    # Entry at the 09:30 tick's price itself (fill at once), so the marks below are exact.
    result = run_backtest(ticks, Script(orders={(1, "09:30"): [(method, code, 2)]}), codes=[code], capital=1_000_000,
                          fill="this_tick")
    daily = result.daily
    assert daily["open_profit"].to_list() == [5 * 2 * unit, 3 * 2 * unit]
    assert daily["realised"].to_list() == [0.0, 0.0]
    assert daily["equity"].to_list() == [1_000_000 + 10 * unit, 1_000_000 + 6 * unit]
    assert result.max_drawdown == (4 * unit if unit > 0 else -10 * unit)  # from 1e6+10u, or from the capital
    figures = result.summary()
    assert (figures["net_profit"], figures["open_profit"], figures["trade_count"]) == (0.0, 6 * unit, 0)
    lots = result.open_positions
    assert lots.select("code", "side", "quantity", "entry_price", "last_price", "open_profit").rows() == [
        (code, "long" if unit > 0 else "short", 2, 100.0, 103.0, 6.0 * unit)]
    assert lots["entry_dt"].to_list() == [datetime(2024, 2, 1, 9, 30)]


def test_to_pandas_gives_every_table():
    ticks = [at(1, "09:30", 100.0), at(1, "10:00", 101.0)]
    # The sell at the last tick must fill for the run to end flat: fills at once.
    result = run_backtest(ticks, Script(orders={(1, "09:30"): [("buy", "MXF", 1)], (1, "10:00"): [("sell", "MXF", 1)]}),
                          fill="this_tick")
    tables = result.to_pandas()
    assert sorted(tables) == ["daily", "equity", "open_positions", "orders", "round_trips", "trades"]
    assert list(tables["round_trips"].columns) == result.round_trips.columns
    assert str(tables["round_trips"]["exit_dt"].dtype).startswith("datetime64")
    assert len(tables["open_positions"]) == 0 and len(tables["equity"]) == 1


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.booleans(), st.integers(1, 4), st.integers(0, 40)), min_size=1, max_size=14))
def test_sides_from_the_fills_agree_with_the_prices(moves):
    """Walking the fills and reading the round trips' prices are two ways to the same sides."""
    positions = positions_module.Positions()
    positions.set_initial_capital(10_000_000)
    fills = []
    for n, (buys, qty, step) in enumerate(moves):
        fill = {"trade_id": f"MXF-{n}", "code": "MXF", "action": "Buy" if buys else "Sell",
                "price": 17000.0 + 5 * step, "quantity": qty, "exchange_ts": 1706749200.0 + 60 * n,
                "product_type": "Future"}
        positions.set_positions(dict(fill), "Future")
        fills.append(fill)
    rows = positions.get_profit_rows_by_code("MXF")
    walked = round_trip_sides(rows, fills)
    priced = round_trip_sides(rows, [])
    assert None not in walked
    assert all(p is None or p == w for w, p in zip(walked, priced))
    # Each side closes exactly the quantity the opposite fills took off it.
    assert sum(r["qty"] for r, s in zip(rows, walked) if s == "long") == _closed(fills, "long")


def _closed(fills, side):
    held, closed = 0, 0
    for f in fills:
        signed = f["quantity"] if f["action"] == "Buy" else -f["quantity"]
        if side == "long" and held > 0 and signed < 0:
            closed += min(held, -signed)
        held += signed
    return closed


def test_the_default_set_gives_one_equity_row_per_trading_day():
    from zopt_kelv_backtest import example, synthetic

    result = run_backtest(None, example.MovingAverageCross(), codes=["MXF"])
    days = synthetic.trading_days(date(2024, 2, 1), 10)
    assert result.equity["date"].to_list() == days == result.days
    # Night sessions and all: every round trip closes in one of the set's trading days.
    assert set(result.round_trips["trading_day"]) <= set(days)
    assert result.equity["equity"][-1] == pytest.approx(result.capital + result.net_profit + result.open_profit)


def test_open_lots_of_a_long_run_are_listed_in_linear_time():
    """A run can end holding tens of thousands of lots (a resting bid the market fills tick after tick);
    each gets its side without a walk over every other lot. A lot of each side, an unhashable trade id
    among them, keeps its side."""
    from zopt_kelv_backtest.backtest.daily import open_lots

    positions = positions_module.Positions()
    positions.set_initial_capital(10**12)
    n = 20_000
    for i in range(n):
        positions.set_positions({"trade_id": f"b{i}", "code": "MXF", "action": "Buy", "price": 17000.0, "quantity": 1,
                                 "exchange_ts": 1706749200.0 + i, "product_type": "Future"}, "Future")
    for trade_id in ("s1", ["odd"]):
        positions.set_positions({"trade_id": trade_id, "code": "TXF", "action": "Sell", "price": 17000.0,
                                 "quantity": 1, "exchange_ts": 1706749200.0, "product_type": "Future"}, "Future")
    # About 0.1 s; a walk over every lot per lot takes minutes.
    lots = open_lots(positions)
    assert [lot["side"] for lot in lots] == ["long"] * n + ["short"] * 2
