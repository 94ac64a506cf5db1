"""Orders as traders place them: fills by hand from the fee rules, time in force, rejections, the trade
log, and the account against the same fills fed straight to the core."""

import hashlib
import math
from datetime import date, datetime, timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest import example, synthetic
from zopt_kelv_backtest.backtest import Strategy, run_backtest
from zopt_kelv_backtest.backtest.orders import OrderBook
from zopt_kelv_backtest.modules.positions.positions import Positions

DAY = date(2024, 2, 1)  # a Thursday with sessions; the 2nd is a Friday, the 5th a Monday
CAPITAL = 5_000_000
STOCK_FEE, STOCK_TAX, FUT_FEE, FUT_TAX, FIXED = 0.001425, 0.003, 2e-05, 2e-05, 10
MXF_VALUE = 50  # index points to money, the constant module's mapping


@pytest.fixture(autouse=True)
def quiet_core(console):
    return console


def tick(hms, close, code="2330", day=DAY):
    h, m, s = (int(x) for x in hms.split(":"))
    when = datetime(day.year, day.month, day.day) + timedelta(hours=h, minutes=m, seconds=s)
    return {"timestamp": when.timestamp(), "code": code, "market_type": "Future" if code == "MXF" else "Stock",
            "close": close, "qty": 1, "tick_type": 1, "is_simulate": False}


def fut(hms, close, day=DAY):
    return tick(hms, close, "MXF", day)


class Script(Strategy):
    """At the tick of code ``script`` names (code, time), calls each of its (method, args, kwargs)."""

    params = {"script": {}}

    def on_start(self):
        self.placed, self.events = [], []

    def on_tick(self, t):
        for name, args, kwargs in self.script.get((t["code"], _hms(t["timestamp"])), []):
            if name == "cancel":
                self.cancel(self.placed[args[0]])
            else:
                self.placed.append(getattr(self, name)(*args, **kwargs))

    def on_order(self, order):
        self.events.append((order.id, order.status, self.position(order.code)))

    def on_fill(self, order):
        self.events.append((order.id, "fill hook", self.position(order.code)))


def _hms(ts):
    return datetime.fromtimestamp(ts).strftime("%H:%M:%S")


def stock_cost(price, qty=1, cover=False):
    value = qty * 1000 * price
    return STOCK_FEE * qty * 1000 * price + (STOCK_TAX * qty * 1000 * price if cover else 0) + FIXED, value


def fut_cost(price, qty=1, cover=False):
    value = qty * MXF_VALUE * price
    return FUT_FEE * qty * MXF_VALUE * price + (FUT_TAX * qty * MXF_VALUE * price if cover else 0) + FIXED, value


def run(ticks, script, **kw):
    s = Script(script=script)
    return s, run_backtest(ticks, s, codes=["2330", "MXF"], capital=CAPITAL, **kw)


# --- fills by hand ----------------------------------------------------------------------------------
# Default fee settings: 3 ticks of slippage, up for buys and down for sells; 2330 at 100 has a tick of
# 0.5, MXF (at 17,000s) a tick of 5. Each case: the ticks, the script, the two fill prices, their times.

STOCK_TICKS = [tick("09:00:10", 100.0), tick("09:00:20", 100.5), tick("09:00:30", 99.0), tick("09:00:40", 101.5),
               tick("09:00:50", 102.0)]
CASES = {
    # market: the next tick of the code, with slippage
    "stock market long": (STOCK_TICKS, {("2330", "09:00:10"): [("buy", ("2330",), {})],
                                        ("2330", "09:00:30"): [("sell", ("2330",), {})]},
                          (102.0, 100.0), ("09:00:20", "09:00:40")),  # 100.5 + 3 ticks of 0.5; 101.5 - 3 ticks
    # limit: at the limit once a tick trades through it, no slippage
    "stock limit long": (STOCK_TICKS, {("2330", "09:00:10"): [("buy", ("2330",), {"limit": 99.5})],
                                       ("2330", "09:00:30"): [("sell", ("2330",), {"limit": 101.0})]},
                         (99.5, 101.0), ("09:00:30", "09:00:40")),
    # prices computed with numpy are prices too
    "stock limit long, numpy prices": (
        STOCK_TICKS, {("2330", "09:00:10"): [("buy", ("2330",), {"limit": np.float64(99.5)})],
                      ("2330", "09:00:30"): [("sell", ("2330",), {"limit": np.float64(101.0)})]},
        (99.5, 101.0), ("09:00:30", "09:00:40")),
    # a limit marketable when placed fills at the next tick's own price
    "stock marketable limit short": (STOCK_TICKS, {("2330", "09:00:20"): [("sell", ("2330",), {"limit": 98.0})],
                                                   ("2330", "09:00:30"): [("buy", ("2330",), {"limit": 102.0})]},
                                     (99.0, 101.5), ("09:00:30", "09:00:40")),
}
FUT_TICKS = [fut("22:00:00", 17500.0), fut("22:00:10", 17520.0), fut("22:00:20", 17515.0), fut("22:00:30", 17480.0),
             fut("01:00:00", 17470.0, DAY + timedelta(days=1))]
CASES |= {
    # stop-limit buy, night session: triggered at 17520 above its limit, it rests and fills at the limit
    "future stop-limit long, stop short": (
        FUT_TICKS, {("MXF", "22:00:00"): [("buy", ("MXF",), {"stop": 17510, "limit": 17515})],
                    ("MXF", "22:00:20"): [("sell", ("MXF",), {"stop": 17480})]},
        (17515.0, 17465.0), ("22:00:20", "22:00:30")),  # the stop sell fills at its trigger, 17480 - 3 x 5
    # stop buy: market at the trigger tick; the night session's "day" order lives past midnight
    "future stop short, limit cover after midnight": (
        FUT_TICKS, {("MXF", "22:00:00"): [("sell", ("MXF",), {"stop": 17500})],
                    ("MXF", "22:00:30"): [("buy", ("MXF",), {"limit": 17470})]},
        (17465.0, 17470.0), ("22:00:30", "01:00:00")),  # triggered by 17480, filled 3 ticks below
}


@pytest.mark.parametrize("name", list(CASES))
def test_fills_costs_and_capital_by_hand(name):
    ticks, script, prices, times = CASES[name]
    s, result = run(ticks, script)
    entry, exit_ = s.placed
    assert [entry.status, exit_.status] == ["filled", "filled"]
    assert (entry.fill_price, exit_.fill_price) == prices
    assert (_hms(entry.fill_time), _hms(exit_.fill_time)) == times
    cost = fut_cost if "future" in name else stock_cost
    entry_cost, paid = cost(prices[0])
    cover_cost, got = cost(prices[1], cover=True)
    long = entry.action == "Buy"
    gross = got - paid if long else paid - got
    (row,) = result.profit_rows
    assert (row["entry_price"], row["exit_price"]) == prices
    assert row["trade_cost"] == pytest.approx(entry_cost, rel=1e-12)
    assert row["cover_cost"] == pytest.approx(cover_cost, rel=1e-12)
    assert row["profit"] == pytest.approx(gross - entry_cost - cover_cost, rel=1e-12)
    assert result.positions.current_capital == pytest.approx(CAPITAL + gross - entry_cost - cover_cost, rel=1e-12)
    # Each order's life in the trade log: placed, then filled.
    records = [(r["trade_id"], r["trade_status"]) for r in result.positions.trade_records]
    assert sorted(records) == sorted([(entry.trade_id, "Order"), (entry.trade_id, "Deal"),
                                      (exit_.trade_id, "Order"), (exit_.trade_id, "Deal")])
    # on_order at placing and filling, on_fill after it, the account already updated.
    sign = 1 if long else -1
    assert s.events[:1] == [(1, "open", 0)] and (1, "filled", sign) in s.events and (1, "fill hook", sign) in s.events
    frame = result.orders
    assert frame["status"].to_list() == ["filled", "filled"] and frame["fill_price"].to_list() == list(prices)


def test_this_tick_fills_market_orders_at_once_and_limits_later():
    s, result = run(STOCK_TICKS,
                    {("2330", "09:00:10"): [("buy", ("2330",), {}), ("sell", ("2330",), {"limit": 101.0})]},
                    fill="this_tick")
    market, limit = s.placed
    assert (market.fill_price, _hms(market.fill_time)) == (101.5, "09:00:10")  # 100 + 3 ticks, the latest tick
    assert (limit.fill_price, _hms(limit.fill_time)) == (101.0, "09:00:40")
    with pytest.raises(ValueError, match="fill must be"):
        run_backtest(STOCK_TICKS, Strategy(), fill="later")


def test_at_once_an_order_placed_by_a_fill_hook_waits_for_the_next_tick():
    # Buying again at every fill would fill without end at one tick; the hook's order waits for the next.
    class Again(Strategy):
        def on_start(self):
            self.placed = []

        def on_tick(self, t):
            if not self.placed:
                self.placed.append(self.buy("2330"))

        def on_fill(self, order):
            self.placed.append(self.buy("2330"))

    s = Again()
    run_backtest(STOCK_TICKS, s, fill="this_tick")
    placed = sorted(s.placed, key=lambda o: o.id)
    assert [_hms(o.fill_time) for o in placed[:-1]] == ["09:00:10", "09:00:20", "09:00:30", "09:00:40", "09:00:50"]
    assert placed[-1].status == "expired"


# --- time in force, cancel, the end of the run -----------------------------------------------------


SESSION_ENDS = {
    # A day-session order at 13:40 ends at 13:45; the night session is another session.
    "future day session": ([fut("13:40:00", 17500.0), fut("13:44:59", 17505.0), fut("15:00:00", 17400.0)],
                           ("MXF", "13:40:00"), ("MXF",), 17450, "15:00:00"),
    # A night order at 04:50 ends at 05:00; the day session at 08:45 is another session.
    "future night session": ([fut("04:50:00", 17500.0, DAY + timedelta(days=1)),
                              fut("08:45:00", 17400.0, DAY + timedelta(days=1))],
                             ("MXF", "04:50:00"), ("MXF",), 17450, "08:45:00"),
    # A stock order at 13:20 ends at 13:30; the next morning is the next session.
    "stock": ([tick("13:20:00", 100.0), tick("13:30:00", 100.0), tick("09:00:00", 98.0, day=DAY + timedelta(days=1))],
              ("2330", "13:20:00"), ("2330",), 99.0, "09:00:00"),
}


@pytest.mark.parametrize("tif,status", [("day", "expired"), ("gtc", "filled")])
@pytest.mark.parametrize("name", list(SESSION_ENDS))
def test_day_orders_end_with_their_session(name, tif, status):
    ticks, at, args, limit, filled_at = SESSION_ENDS[name]
    s, result = run(ticks, {at: [("buy", args, {"limit": limit, "tif": tif})]})
    (order,) = s.placed
    assert order.status == status
    statuses = [r["trade_status"] for r in result.positions.trade_records]
    assert statuses == (["Order", "Cancel"] if tif == "day" else ["Order", "Deal"])
    if tif == "day":
        assert s.events == [(1, "open", 0), (1, "expired", 0)]
        assert result.positions.current_capital == CAPITAL
        assert order.fill_time is None and order.expires < ticks[-1]["timestamp"]
    else:  # a resting limit the next session trades through fills at its limit
        assert (order.fill_price, _hms(order.fill_time)) == (limit, filled_at)


def test_cancel_and_the_run_end_expire_or_cancel_without_touching_the_account():
    ticks = [tick("09:00:10", 100.0), tick("09:00:20", 100.5), tick("09:00:30", 100.0)]
    script = {("2330", "09:00:10"): [("buy", ("2330",), {"limit": 90.0}),
                                     ("sell", ("2330",), {"stop": 80.0, "tif": "gtc"}),
                                     ("buy", ("2330",), {"limit": 91.0})],
              ("2330", "09:00:20"): [("cancel", (0,), {})]}
    s, result = run(ticks, script)
    assert [o.status for o in s.placed] == ["cancelled", "expired", "expired"]
    # The day order ends with the run's last tick, before its session would (13:30); the gtc one after it.
    records = [(r["trade_id"][-1], r["trade_status"], r["dt"][11:19]) for r in result.positions.trade_records]
    assert records == [("1", "Order", "09:00:10"), ("2", "Order", "09:00:10"), ("3", "Order", "09:00:10"),
                       ("1", "Cancel", "09:00:20"), ("3", "Cancel", "09:00:30"), ("2", "Cancel", "09:00:30")]
    assert result.positions.current_capital == CAPITAL and result.fills == []


def test_an_order_placed_as_the_run_ends_is_rejected_not_left_open():
    class Renew(Strategy):
        """Places its bid again whenever it ends: at the run's end that would never stop."""

        def on_start(self):
            self.placed = []

        def on_tick(self, t):
            if not self.placed:
                self.placed.append(self.buy("2330", limit=90.0, tif="gtc"))

        def on_order(self, order):
            if order.status in ("cancelled", "expired"):
                self.placed.append(self.buy("2330", limit=90.0, tif="gtc"))

    s = Renew()
    result = run_backtest(STOCK_TICKS, s)
    assert [(o.status, o.reason) for o in s.placed] == [("expired", None), ("rejected", "the run has ended")]
    assert result.orders["status"].to_list() == ["expired", "rejected"]


def test_close_cancels_the_codes_orders_and_flattens():
    ticks = STOCK_TICKS
    script = {("2330", "09:00:10"): [("buy", ("2330", 2), {})],
              ("2330", "09:00:20"): [("sell", ("2330",), {"limit": 110.0}), ("close", ("2330",), {})]}
    s, result = run(ticks, script)
    entry, take_profit, flatten = s.placed
    assert take_profit.status == "cancelled" and flatten.quantity == 2 and flatten.action == "Sell"
    assert flatten.status == "filled" and _hms(flatten.fill_time) == "09:00:30"
    assert result.positions.positions["2330"] == {"buy": [], "sell": []}


@pytest.mark.parametrize("kwargs,allow,reason", [
    ({"limit": 100.3}, True, "off the tick ladder"),
    ({"stop": -5.0}, True, "positive number"),
    ({"limit": math.nan}, True, "positive number"),
    ({"tif": "ioc"}, True, "tif must be"),
    ({}, False, "short stock is not allowed"),
])
def test_rejections_leave_the_account(kwargs, allow, reason):
    s, result = run(STOCK_TICKS, {("2330", "09:00:10"): [("sell", ("2330",), kwargs)]}, allow_short_stock=allow)
    (order,) = s.placed
    assert order.status == "rejected" and reason in order.reason
    assert s.events == [(1, "rejected", 0)]
    assert result.positions.trade_records == [] and result.positions.current_capital == CAPITAL


# --- the account equals the fills fed straight to the core --------------------------------------


def _random_ticks(draw_prices):
    out = []
    start = datetime(2024, 2, 1, 9, 0).timestamp()
    for i, (code, step) in enumerate(draw_prices):
        out.append((start + 7 * i, code, step))
    return out


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(moves=st.lists(st.tuples(st.sampled_from(["2330", "MXF"]), st.integers(-3, 3)), min_size=5, max_size=60),
       actions=st.lists(st.tuples(st.integers(0, 59), st.sampled_from(["2330", "MXF"]),
                                  st.sampled_from(["buy", "sell"]), st.integers(1, 3),
                                  st.sampled_from(["market", "limit", "stop", "stop_limit", "cancel"]),
                                  st.integers(-4, 4), st.sampled_from(["day", "gtc"])), max_size=25),
       fill=st.sampled_from(["next_tick", "this_tick"]))
def test_account_equals_the_fills_fed_to_the_core(moves, actions, fill):
    price = {"2330": 100.0, "MXF": 17500.0}
    step = {"2330": 0.5, "MXF": 5.0}
    ticks = []
    for ts, code, move in _random_ticks(moves):
        price[code] += move * step[code]
        t = tick("09:00:00", price[code], code)
        t["timestamp"] = ts
        ticks.append(t)

    class Random(Strategy):
        def on_start(self):
            self.placed, self.seen = [], 0

        def on_tick(self, t):
            for at, code, side, qty, kind, offset, tif in actions:
                if at != self.seen or code not in self._run.latest:
                    continue
                if kind == "cancel":
                    if self.placed:
                        self.cancel(self.placed[offset % len(self.placed)])
                    continue
                level = self._run.latest[code]["close"] + offset * step[code]
                kw = {"limit": level} if kind in ("limit", "stop_limit") else {}
                if kind in ("stop", "stop_limit"):
                    kw["stop"] = level - step[code] if side == "buy" else level + step[code]
                self.placed.append(getattr(self, side)(code, qty, tif=tif, **kw))
            self.seen += 1
            # The replay matches only the codes in ``resting``: exactly those with open orders.
            assert set(self._run.book.resting) == {o.code for o in self.placed if o.is_open}

    s = Random()
    result = run_backtest(ticks, s, codes=["2330", "MXF"], capital=CAPITAL, fill=fill)
    # In the order the account booked them: capital is a float sum, and its rounding follows that order.
    booked = {f["trade_id"]: i for i, f in enumerate(result.fills)}
    filled = sorted((o for o in s.placed if o.status == "filled"), key=lambda o: booked[o.trade_id])
    assert all(o.status in ("filled", "cancelled", "expired") for o in s.placed)
    # The same fills into a fresh account without slippage, at the prices the orders report.
    fresh = Positions()
    fresh.set_initial_capital(CAPITAL)
    for side in ("buy", "sell"):
        for kind in ("stock", "future"):
            fresh.update_fee_settings(kind, side, tick_count=0)
    for o in filled:
        kind = "Future" if o.code == "MXF" else "Stock"
        fresh.set_positions({"trade_id": o.trade_id, "code": o.code, "action": o.action, "price": o.fill_price,
                             "quantity": o.quantity, "exchange_ts": o.fill_time, "product_type": kind}, kind)
        # Limits fill at the limit or better; every fill is at a tick of its code after it was placed.
        if o.limit is not None:
            assert o.fill_price <= o.limit if o.action == "Buy" else o.fill_price >= o.limit
        assert o.fill_time > o.placed or fill == "this_tick"
    ours = result.positions
    assert ours.current_capital == fresh.current_capital
    for code in ("2330", "MXF"):
        strip = [{k: v for k, v in r.items() if "origin" not in k} for r in ours.get_profit_rows_by_code(code)]
        assert strip == [{k: v for k, v in r.items() if "origin" not in k} for r in fresh.get_profit_rows_by_code(code)]
        held = {side: sum(lot["quantity"] for lot in lots) for side, lots in ours.positions.get(code, {}).items()}
        theirs = fresh.positions.get(code, {})
        assert held == {side: sum(lot["quantity"] for lot in lots) for side, lots in theirs.items()}
    assert len(result.orders) == len(s.placed)


# --- the example ------------------------------------------------------------------------------------


def test_this_tick_reproduces_the_examples_figures():
    """The example's figures with every order filled at once, recorded before orders rested (on the
    synthetic set whose nights count in their own trading days); the default next-tick fill gives others."""
    ticks = synthetic.generate_ticks(start=DAY, days=3, seed=7)
    result = run_backtest(ticks, example.MovingAverageCross(), codes=["2330", "MXF"], fill="this_tick")
    assert result.summary() == {"net_profit": -221777.0425, "trade_count": 96, "win_rate": 0.0625,
                                "total_cost": 24777.0425, "max_drawdown": 221777.04249999952,
                                "sharpe": -329.6772170552538, "open_profit": 0.0}
    digest = {name: hashlib.sha256(repr(rows).encode()).hexdigest()[:16]
              for name, rows in (("trades", result.trades.rows()), ("profit_rows", result.profit_rows),
                                 ("equity", result.equity.rows()))}
    assert digest == {"trades": "1f1fa07dcaa2a6e0", "profit_rows": "f87db4bc22da4f8f", "equity": "8abd83d20182c42a"}
    assert len(result.positions.trade_records) == 384
    nxt = run_backtest(ticks, example.MovingAverageCross(), codes=["2330", "MXF"])
    assert nxt.summary() != result.summary()
    frame = nxt.orders
    filled = frame.filter(frame["status"] == "filled")
    # No fill before its order (a close placed when a tick shows its session's end fills at that very
    # tick, replayed after it); the run's last close finds no tick and expires.
    assert (filled["fill_time"] >= filled["placed"]).all() and filled.height == len(nxt.fills)
    assert frame.filter(frame["status"] != "filled")["status"].to_list() == ["expired"] * (len(frame) - filled.height)


def test_the_bracket_example_never_fills_both_legs():
    from zopt_kelv_backtest.example_bracket import Bracket

    s = Bracket(lookback=5)
    result = run_backtest(synthetic.generate_ticks(start=DAY, days=2, seed=3), s, codes=["2330", "MXF"])
    frame = result.orders
    entries = frame.filter((frame["action"] == "Buy") & (frame["kind"] == "limit") & (frame["status"] == "filled"))
    legs = frame.filter(frame["action"] == "Sell").sort("id")
    assert entries.height > 3
    # Each filled entry is followed by its two legs (placed together): one fills and the other is
    # cancelled, or a session's close cancels both.
    pairs = legs.filter(legs["tif"] == "gtc").select("kind", "status").rows()
    assert len(pairs) == 2 * entries.height
    for (take_kind, take), (stop_kind, stop) in zip(pairs[::2], pairs[1::2]):
        assert (take_kind, stop_kind) == ("limit", "stop")
        assert (take, stop) in {("filled", "cancelled"), ("cancelled", "filled"), ("cancelled", "cancelled")}
    with pytest.raises(ValueError, match="take_ticks"):
        Bracket(take_ticks=0)


@pytest.mark.parametrize("argv,message", [(["--days", "0"], "--days"), (["--stop-ticks", "0"], "--stop-ticks")])
def test_the_bracket_example_refuses_bad_options_in_one_line(argv, message, capsys):
    from zopt_kelv_backtest.example_bracket import main

    with pytest.raises(SystemExit) as exit_:
        main(argv)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.splitlines()[-1].startswith("python -m zopt_kelv_backtest.example_bracket: error:")
    assert message in err.splitlines()[-1]


def test_many_cancelled_orders_leave_the_survivors_to_fill_in_order():
    # 300 bids 0.5 apart under the market, most cancelled (their heap entries are dropped on the way);
    # a fall to 95.0 fills exactly the open bids at 95.0 or above, oldest first, each at its limit.
    prices = [99.5 - 0.5 * (i % 10) for i in range(300)]
    script = {("2330", "09:00:10"): [("buy", ("2330",), {"limit": p, "tif": "gtc"}) for p in prices],
              ("2330", "09:00:20"): [("cancel", (i,), {}) for i in range(300) if i % 7]}
    ticks = [tick("09:00:10", 100.0), tick("09:00:20", 100.0), tick("09:00:30", 95.0), tick("09:00:40", 100.0)]
    s, result = run(ticks, script)
    survivors = [o for i, o in enumerate(s.placed) if i % 7 == 0]
    assert [o.status for o in s.placed if o not in survivors] == ["cancelled"] * (300 - len(survivors))
    fills = [o for o in survivors if o.limit >= 95.0]
    assert [o.status for o in survivors] == ["filled" if o.limit >= 95.0 else "expired" for o in survivors]
    assert [f["trade_id"] for f in result.fills] == [o.trade_id for o in fills]
    assert all((o.fill_price, _hms(o.fill_time)) == (o.limit, "09:00:30") for o in fills)


@settings(max_examples=300, deadline=None)
@given(cents=st.one_of(st.integers(1, 200_000), st.sampled_from([995, 1000, 1005, 4995, 5000, 5010, 9990, 10000,
                                                                 10050, 49950, 50000, 50100, 99900, 100000])),
       count=st.integers(1, 5), direction=st.sampled_from(["up", "down"]),
       action=st.sampled_from(["Buy", "Sell"]))
def test_a_limit_fill_is_booked_at_its_price_whatever_the_slippage(cents, count, direction, action):
    """The price handed to the core for a fill without slippage is one the core's own slippage moves
    onto the fill price, so the account books the limit exactly. Where no ladder price lands there (next
    to a band edge the slippage steps down across), the nearest landing on the trader's side of it."""
    positions = Positions()
    book = OrderBook(positions, {})
    positions.update_fee_settings("stock", action.lower(), tick_count=count, direction=direction)
    quote = book.on_ladder("2330", cents / 100)
    handed, booked = book._price_for("2330", action, "Stock", quote, False)
    assert booked == book.moved("2330", handed, count, direction)
    # Every ladder price from well under the quote to well over it, and where each lands.
    price, lands = book.moved("2330", quote, count + 5, "down"), set()
    for _ in range(60 * count + 60):
        lands.add(book.moved("2330", price, count, direction))
        price = book.moved("2330", price, 1, "up")
    if quote in lands:
        assert booked == quote
    else:
        fair = [p for p in lands if (p < quote if action == "Buy" else p > quote)]
        assert booked == min(fair, key=lambda p: abs(p - quote))
