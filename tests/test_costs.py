"""Tick ladder, slippage, contract value and the trade cost of a fill."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


from cost_model import ref_ceil, ref_slip


def same(a, b):
    """Equal value, type and float bits (NaN-safe)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a.hex() == b.hex()
    return a == b


@pytest.fixture
def pos(mod):
    return mod.Positions()


@pytest.fixture(scope="module")
def shared():
    """For property tests: the ladder methods change no state."""
    from zopt_kelv_backtest.modules.positions.positions import Positions

    return Positions()


def ceil(p, code, price):
    return p._Positions__ceil_price_by_tick(code, price)


def slip(p, code, price, n, direction):
    return p._Positions__calculate_slippage_price(code, price, n, direction)


def cost(p, *args, **kw):
    return p._Positions__calculate_trade_cost(*args, **kw)


# ---------------------------------------------------------------- ladder

@pytest.mark.parametrize(
    "code, price, expected",
    [
        ("2330", 587.3, (588, 1)),
        ("2330", 1001, (1005, 5)),
        ("2330", 1000, (1000, 5)),
        ("2330", 9.99, (9.99, 0.01)),
        ("2330", 10.0, (10.0, 0.05)),
        ("2330", 10.01, (10.05, 0.05)),
        ("2330", 99.95, (100.0, 0.1)),  # row chosen by the unsnapped price
        ("0050", 49.99, (49.99, 0.01)),
        ("0050", 120.02, (120.05, 0.05)),
        ("2330", 120.02, (120.5, 0.5)),
        ("0050", 1200.0, (1200, 5)),
        ("TXFA4", 17321.0, (17325, 5)),
        ("2330", -0.001, (0.0, 0.01)),  # math.ceil gives the int 0: never -0.0
    ],
)
def test_ladder_rows(pos, code, price, expected):
    got = ceil(pos, code, price)
    assert type(got) is tuple and len(got) == 2
    assert all(same(g, e) for g, e in zip(got, expected)), got


@pytest.mark.parametrize(
    "price, exc", [(math.nan, ValueError), (math.inf, OverflowError), (-math.inf, OverflowError)]
)
def test_ladder_rejects_non_finite(pos, price, exc):
    with pytest.raises(exc):
        ceil(pos, "2330", price)
    with pytest.raises(exc):
        slip(pos, "2330", price, 1, "up")


def test_ladder_argument_checks(pos):
    with pytest.raises(TypeError):
        ceil(pos, 2330, 10.0)
    with pytest.raises(TypeError):
        ceil(pos, "2330", "10")
    with pytest.raises(TypeError):
        slip(pos, "2330", 10.0, True, "up")


# ---------------------------------------------------------------- slippage

@pytest.mark.parametrize(
    "code, price, n, direction, expected",
    [
        ("2330", 100.0, 3, "up", 101.5),
        ("2330", 100.0, 1, "down", 99.5),
        ("2330", 100.0, 2, "down", 99.4),
        ("2330", 100.0, 3, "down", 99.3),  # inexact 99.4 - 0.1 no longer stalls
        ("2330", 587.3, 1, "down", 587.0),
        ("2330", 587.3, 3, "up", 591.0),
        ("2330", 587.3, 3, "down", 585.0),
        ("TXFA4", 17321.0, 3, "up", 17340.0),
        ("2330", 9.991, 1, "up", 10.05),
        ("2330", 10.0, 1, "down", 9.95),
        ("2330", 50.0, 1, "down", 49.9),
        ("2330", 49.95, 1, "up", 50.0),
        ("2330", 49.95, 2, "up", 50.1),
        ("2330", 100.03, 0, "up", 100.03),
        ("2330", 100.03, -4, "down", 100.03),
        ("2330", 100.0, 1, "sideways", 99.5),  # anything but "up" moves down
        ("2330", 100, 0, "up", 100.0),
    ],
)
def test_slippage_cases(pos, code, price, n, direction, expected):
    assert same(slip(pos, code, price, n, direction), expected)


prices = st.one_of(
    st.floats(min_value=-20, max_value=2000, allow_nan=False),
    st.integers(min_value=0, max_value=200000).map(lambda k: k / 100),  # on and near the grid
    st.floats(min_value=1e3, max_value=1e300),  # beyond exact doubles too
)
codes = st.sampled_from(["2330", "0050", "00878", "TXFA4", "0", ""])


@settings(max_examples=600, deadline=None)
@given(code=codes, price=prices, n=st.integers(min_value=-1, max_value=7),
       direction=st.sampled_from(["up", "down"]))
def test_ladder_and_slippage_match_reference(shared, code, price, n, direction):
    assert all(same(g, e) for g, e in zip(ceil(shared, code, price), ref_ceil(code, price)))
    assert same(slip(shared, code, price, n, direction), ref_slip(code, price, n, direction))


# (fund?, lower edge, upper edge, ticks per unit) of every band of the ladder
BANDS = [
    ("2330", 0, 10, 100), ("2330", 10, 50, 20), ("2330", 50, 100, 10), ("2330", 100, 500, 2),
    ("2330", 500, 1000, 1), ("2330", 1000, 100000, 0.2),
    ("0050", 0, 50, 100), ("0050", 50, 1000, 20), ("0050", 1000, 100000, 0.2),
]


@settings(max_examples=400, deadline=None)
@given(band=st.sampled_from(BANDS), n=st.integers(min_value=1, max_value=40), data=st.data())
def test_round_trip_inside_one_band(shared, band, n, data):
    code, lo, hi, per_unit = band
    first, last = math.ceil(lo * per_unit), math.ceil(hi * per_unit) - 1 - n
    if last < max(first, 1):
        return
    k = data.draw(st.integers(min_value=max(first, 1), max_value=last))
    start = k / per_unit if per_unit >= 1 else k * round(1 / per_unit)
    start = float(start)
    up = slip(shared, code, start, n, "up")
    assert slip(shared, code, up, n, "down") == start


def test_round_trip_across_band_edge_need_not_return(pos):
    assert slip(pos, "2330", 49.95, 1, "up") == 50.0
    assert slip(pos, "2330", 50.0, 1, "down") == 49.9


def test_slippage_uses_overridden_ladder(mod):
    calls = []

    class P(mod.Positions):
        def _Positions__ceil_price_by_tick(self, code, price):
            calls.append(price)
            return (price, 1)

    assert slip(P(), "2330", 100.0, 3, "up") == 103.0
    assert len(calls) == 6


# ---------------------------------------------------------------- contract value

def test_contract_value_lookup_at_call_time(pos, mod, monkeypatch):
    assert same(pos._Positions__apply_future_contract_value("TXFA4"), 2000)
    monkeypatch.setattr(mod, "FutureIndexContractValue", {"TXFA4": 12.5})
    assert same(pos._Positions__apply_future_contract_value("TXFA4"), 12.5)


# ---------------------------------------------------------------- trade cost

def expected_cost(fee, tax, units, qty, fill, origin, ignore_tax, fixed=10):
    return {
        "fee": fee * qty * units * fill,
        "tax": 0 if ignore_tax else tax * qty * units * fill,
        "fixed_cost": fixed,
        "qty": qty,
        "min_qty": qty * units,
        "price": fill,
        "origin_price": origin,
    }


@pytest.mark.parametrize(
    "args, kw, fill",
    [
        (("2330", "Buy", 100.0, 2, "Stock"), {}, 101.5),
        (("2330", "Sell", 500.0, 2, "Stock"), {}, 498.0),
        (("2330", "Buy", 100.0, 2, "Stock"), dict(ignore_tax=True, is_cover=False), 99.3),
        (("2330", "Sell", 100.0, 1, "Stock"), dict(ignore_tax=True, is_cover=False), 101.5),
        (("2330", "buy", 100, 1, "Stock"), {}, 101.5),
        (("TXFA4", "Buy", 17321.0, 1, "Future"), {}, 17340.0),
        (("TXFA4", "Sell", 17321.0, 3, "Future"), dict(ignore_tax=1, is_cover=0), 17340.0),
        (("TXFA4", "Buy", 17321.0, 0, "Future"), {}, 17340.0),
        (("2330", "Buy", 100.0, 10**30, "Stock"), {}, 101.5),
    ],
)
def test_trade_cost_default_settings(pos, args, kw, fill):
    code, action, price, qty, ptype = args
    fs = pos.fee_settings["stock" if ptype == "Stock" else "future"]
    units = 1000 if ptype == "Stock" else 2000
    want = expected_cost(fs["fee"], fs["tax"], units, qty, fill, float(price), kw.get("ignore_tax", False))
    got = cost(pos, *args, **kw)
    assert list(got) == list(want)
    assert all(same(got[k], want[k]) for k in want), got
    assert got["qty"] is qty


def test_trade_cost_worked_numbers(pos):
    got = cost(pos, "2330", "Sell", 500.0, 2, "Stock")
    assert got["fee"] == pytest.approx(1419.3) and got["tax"] == pytest.approx(2988.0)
    fut = cost(pos, "TXFA4", "Buy", 17321.0, 1, "Future")
    assert fut["fee"] == pytest.approx(693.6) and fut["tax"] == pytest.approx(693.6)


@pytest.mark.parametrize("stored", ["up", "down"])
@pytest.mark.parametrize("is_cover", [True, False])
@pytest.mark.parametrize("action", ["Buy", "Sell"])
def test_slippage_direction_table(pos, action, is_cover, stored):
    pos.update_fee_settings("stock", action.lower(), tick_count=1, direction=stored)
    used = stored if is_cover else ("up" if stored == "down" else "down")
    got = cost(pos, "2330", action, 100.0, 1, "Stock", is_cover=is_cover)["price"]
    assert got == (100.5 if used == "up" else 99.5)


def test_trade_cost_reads_settings_at_call_time(pos, mod, monkeypatch):
    pos.update_fee_settings("future", "buy", fee=0.5, tax=0.25, per_trade_cost=7, tick_count=0)
    monkeypatch.setattr(mod, "FutureIndexContractValue", {"MXF": 50})
    got = cost(pos, "MXF", "Buy", 17321.3, 2, "Future")
    assert got == expected_cost(0.5, 0.25, 50, 2, 17321.3, 17321.3, False, fixed=7)
    assert got["price"] == got["origin_price"]  # off the grid, no slip
    pos.reset_fee_settings()
    assert cost(pos, "MXF", "Buy", 100.0, 1, "Future")["fixed_cost"] == 10


def test_trade_cost_int_settings_stay_int(pos):
    pos.fee_settings["stock"]["fee"] = 0
    pos.fee_settings["stock"]["per_trade_cost"] = 2.5
    got = cost(pos, "2330", "Buy", 100.0, 2, "Stock")
    assert same(got["fee"], 0 * 2 * 1000 * 101.5) and same(got["fixed_cost"], 2.5)


@pytest.mark.parametrize(
    "kw, exc, text",
    [
        (dict(product_type="stock"), Exception, "不支援的商品類型: stock"),
        (dict(product_type=None), Exception, "不支援的商品類型: None"),
        (dict(action="Hold"), KeyError, "'hold'"),
        (dict(action=5), AttributeError, None),
        (dict(quantity=2.0), TypeError, None),
        (dict(code=2330), TypeError, None),
    ],
)
def test_trade_cost_failures(pos, kw, exc, text):
    args = dict(code="2330", action="Buy", price=100.0, quantity=1, product_type="Stock")
    args.update(kw)
    with pytest.raises(exc) as info:
        cost(pos, *args.values())
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text


@pytest.mark.parametrize("bad", [3.0, "3", None])
def test_trade_cost_foreign_tick_count_fails_in_slippage(pos, bad):
    """With the parser's own text, as a direct call of the slippage step gives."""
    pos.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = bad
    with pytest.raises(TypeError) as cost_err:
        cost(pos, "2330", "Buy", 100.0, 1, "Stock")
    with pytest.raises(TypeError) as direct_err:
        pos._Positions__calculate_slippage_price("2330", 100.0, bad, "up")
    assert str(cost_err.value) == str(direct_err.value)
    assert str(cost_err.value).startswith("Argument 'tick_count' has incorrect type (expected int, got ")


def test_trade_cost_goes_through_own_methods(mod):
    seen = []

    class P(mod.Positions):
        def _Positions__calculate_slippage_price(self, code, price, tick_count, direction):
            seen.append((code, price, tick_count, direction))
            return 42.0

        def _Positions__apply_future_contract_value(self, code):
            return 3

    p = P()
    got = cost(p, "TXFA4", "Sell", 100.0, 2, "Future", is_cover=False)
    assert seen == [("TXFA4", 100.0, 3, "up")]
    assert got["price"] == 42.0 and got["min_qty"] == 6
    assert same(got["fee"], 2e-05 * 2 * 3 * 42.0)


def test_rates_read_again_after_the_move(mod):
    class P(mod.Positions):
        def _Positions__calculate_slippage_price(self, code, price, tick_count, direction):
            self.reset_fee_settings()  # settings change while the cost is being made
            return 100.0

    p = P()
    p.update_fee_settings("stock", fee=1.0, tax=1.0, per_trade_cost=99)
    got = cost(p, "2330", "Buy", 100.0, 1, "Stock")
    assert got["fee"] == 0.001425 * 1 * 1000 * 100.0
    assert got["tax"] == 0.003 * 1 * 1000 * 100.0 and got["fixed_cost"] == 10


@pytest.mark.parametrize(
    "code, price, n, direction",
    [
        ("2330", 1.5, 5000, "down"),  # into negative prices, exact cent steps
        ("2330", 0.5, 3000, "up"),
        ("0050", 3.0, 9000, "up"),
        ("2330", 100.0, 40000, "up"),  # through every band into the 5-tick rows
        ("2330", 200000.0, 39000, "down"),
        ("0050", 1500.0, 30000, "down"),
        ("2330", -19990.0, 30, "down"),
        ("2330", 2.0 ** 53 - 40, 12, "up"),  # past exact doubles
    ],
)
def test_long_moves_match_reference(shared, code, price, n, direction):
    assert same(slip(shared, code, price, n, direction), ref_slip(code, price, n, direction))


@pytest.mark.parametrize("price, direction", [(2.0 ** 60, "up"), (1e20, "up"), (-1e20, "down"), (2.0 ** 70, "down")])
def test_stalled_price_returns_at_once(pos, price, direction):
    # The price no longer moves, so any number of further ticks leaves it there.
    assert same(slip(pos, "2330", price, 10**30, direction), ref_slip("2330", price, 5, direction))


def test_endless_move_down_ends_where_the_price_stalls(pos):
    got = slip(pos, "2330", 1.5, 10**30, "down")
    assert got < -20000 and ref_slip("2330", got, 3, "down") == got


def test_endless_move_is_refused(pos):
    with pytest.raises(OverflowError, match="leaves the range of prices"):
        slip(pos, "2330", 100.0, 10**30, "up")
    assert slip(pos, "2330", 100.0, 10**6, "up") == ref_slip("2330", 100.0, 10**6, "up")

