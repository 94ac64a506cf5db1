"""Positions state, account queries, fee settings and the trade log."""

import math
import os
import queue as std_queue

import pytest

DEFAULTS = {
    "stock": {
        "fee": 0.001425, "tax": 0.003, "per_trade_cost": 10,
        "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                     "sell": {"tick_count": 3, "direction": "down"}},
    },
    "future": {
        "fee": 2e-05, "tax": 2e-05, "per_trade_cost": 10,
        "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                     "sell": {"tick_count": 3, "direction": "down"}},
    },
}


def shape(obj):
    """Keys in order, values with their types, for exact comparison."""
    if isinstance(obj, dict):
        return [(k, shape(v)) for k, v in obj.items()]
    return (type(obj).__name__, obj)


@pytest.fixture
def pos(mod):
    return mod.Positions()


# ---------------------------------------------------------------- state

def test_new_object_state(pos):
    state = vars(pos)
    assert list(state) == [
        "positions", "trade_records", "product_type_mapper", "current_tick_infos",
        "fetch_position_queue", "finish_fetch_position_queue", "wait_fetch_position_response_flag",
        "initial_capital", "current_capital", "_profit_report", "_fee_settings", "_account_infos",
    ]
    assert state["positions"] == {} and state["trade_records"] == []
    assert state["product_type_mapper"] == {} and state["current_tick_infos"] == {}
    assert state["_account_infos"] == {}
    for name in ("fetch_position_queue", "finish_fetch_position_queue"):
        q = state[name]
        assert type(q) is std_queue.Queue and q.maxsize == 0 and q.empty()
    assert state["wait_fetch_position_response_flag"] is False
    assert shape(state["initial_capital"]) == ("int", 100000)
    assert state["current_capital"] is state["initial_capital"]
    assert shape(state["_profit_report"]) == [("profit", ("int", 0)), ("rows", ("list", []))]
    assert shape(state["_fee_settings"]) == shape(DEFAULTS)


def test_objects_share_nothing(mod):
    a, b = mod.Positions(), mod.Positions()
    for name, value in vars(a).items():
        if isinstance(value, (dict, list, std_queue.Queue)):
            assert value is not getattr(b, name), name
    assert a.fee_settings["stock"] is not b.fee_settings["stock"]
    assert a.fee_settings["stock"]["slippage"]["buy"] is not b.fee_settings["stock"]["slippage"]["buy"]


def test_queues_made_through_module_global(mod, monkeypatch):
    made = []

    class FakeQueueModule:
        @staticmethod
        def Queue():
            made.append(object())
            return made[-1]

    monkeypatch.setattr(mod, "queue", FakeQueueModule)
    p = mod.Positions()
    assert [p.fetch_position_queue, p.finish_fetch_position_queue] == made


def test_account_info_is_fresh(pos):
    a = pos._Positions__init_account_info()
    b = pos._Positions__init_account_info()
    assert a is not b
    assert shape(a) == [(k, ("int", 0)) for k in (
        "entry_times", "cover_times", "receive_amount", "payable_amount", "net_profit", "extra_fee", "profit")]


# ---------------------------------------------------------------- capital

def test_capital_queries(pos):
    assert shape(pos.fetch_account_balance()) == ("int", 100000)
    assert shape(pos.fetch_margin()) == ("int", 100000)
    pos.set_initial_capital(500000)
    assert pos.initial_capital == pos.fetch_account_balance() == pos.fetch_margin() == 500000
    moved = 123.25
    pos.current_capital = moved
    assert pos.fetch_account_balance() is moved and pos.fetch_margin() is moved  # returned as is
    big = 10**40
    pos.set_initial_capital(big)
    assert pos.initial_capital is big and pos.current_capital is big


@pytest.mark.parametrize("bad", [500000.0, True, "500000", None])
def test_capital_rejects_non_int(pos, bad):
    with pytest.raises(TypeError):
        pos.set_initial_capital(bad)
    assert pos.initial_capital == pos.current_capital == 100000


# ---------------------------------------------------------------- current tick

def test_current_tick_keeps_callers_dict(pos):
    first, second = {"code": "2330", "close": 1.0}, {"code": "2330", "close": 2.0}
    pos.set_current_tick(first)
    pos.set_current_tick(second)
    assert pos.current_tick_infos == {"2330": second}
    assert pos.current_tick_infos["2330"] is second
    second["close"] = 3.0
    assert pos.current_tick_infos["2330"]["close"] == 3.0


@pytest.mark.parametrize("tick, exc", [({"close": 1.0}, KeyError), ([("code", "x")], TypeError)])
def test_current_tick_failures_store_nothing(pos, tick, exc):
    with pytest.raises(exc):
        pos.set_current_tick(tick)
    assert pos.current_tick_infos == {}


# ---------------------------------------------------------------- save path

@pytest.mark.parametrize(
    "args, rel_dir, rel_file",
    [
        ((), "", None),
        (("a.csv", "x", "y"), "x/y", "x/y/a.csv"),
        ((None, "x"), "x", None),
        (("r.html",), "", "r.html"),
    ],
)
def test_save_path(pos, data_dir, args, rel_dir, rel_file):
    got = pos._Positions__generate_save_path(*args)
    want_dir = os.path.join(str(data_dir), *rel_dir.split("/")) if rel_dir else str(data_dir)
    assert os.path.isdir(want_dir)
    if rel_file is None:
        assert got == want_dir
    else:
        assert got == os.path.join(str(data_dir), *rel_file.split("/"))
        assert not os.path.exists(got)


def test_save_path_uses_globals_at_call_time(pos, mod, monkeypatch, tmp_path):
    made = []
    monkeypatch.setattr(mod, "make_dir", made.append)
    monkeypatch.setattr(mod.BASIC_INFO, "data_dir", str(tmp_path / "elsewhere"))
    got = pos._Positions__generate_save_path("f.txt", "k", "p")
    assert made == [os.path.join(str(tmp_path / "elsewhere"), "k", "p")]
    assert got == os.path.join(made[0], "f.txt")


def test_save_path_failures(pos, mod, data_dir, monkeypatch):
    with pytest.raises(TypeError):
        pos._Positions__generate_save_path("a.csv", "x", 3)
    assert not data_dir.exists()
    with pytest.raises(TypeError):
        pos._Positions__generate_save_path(5)

    def refuse(path):
        raise PermissionError(path)

    monkeypatch.setattr(mod, "make_dir", refuse)
    with pytest.raises(PermissionError):
        pos._Positions__generate_save_path("a.csv")


def test_save_path_result_must_be_str(pos, mod, monkeypatch, data_dir):
    class FakePath:
        @staticmethod
        def join(*parts):
            return b"/".join(p.encode() for p in parts)

    class FakeOs:
        path = FakePath

    monkeypatch.setattr(mod, "os", FakeOs)
    monkeypatch.setattr(mod, "make_dir", lambda p: None)
    with pytest.raises(TypeError, match="Expected str, got bytes"):
        pos._Positions__generate_save_path()


# ---------------------------------------------------------------- fee settings

def test_fee_settings_is_live_dict(pos):
    s = pos.fee_settings
    assert s is pos._fee_settings
    pos.update_fee_settings("stock", tax=0.0015)
    assert s["stock"]["tax"] == 0.0015
    pos.reset_fee_settings()
    fresh = pos.fee_settings
    assert fresh is not s and shape(fresh) == shape(DEFAULTS)
    pos.update_fee_settings("stock", tax=0.5)
    assert s["stock"]["tax"] == 0.0015
    with pytest.raises(AttributeError):
        pos.fee_settings = {}


@pytest.mark.parametrize("held", [[], "x"])
def test_fee_settings_getter_type_check(pos, held):
    pos._fee_settings = held
    with pytest.raises(TypeError, match=f"Expected dict, got {type(held).__name__}"):
        pos.fee_settings


def test_fee_settings_getter_allows_none(pos):
    pos._fee_settings = None
    assert pos.fee_settings is None


@pytest.mark.parametrize(
    "args, kw, path, value",
    [
        (("stock",), {}, None, None),
        (("future",), dict(fee=0.0001), ("future", "fee"), 0.0001),
        (("stock",), dict(fee=1.0), ("stock", "fee"), 1.0),
        (("stock",), dict(per_trade_cost=-3), ("stock", "per_trade_cost"), -3),
        (("stock", "sell"), dict(tick_count=0), ("stock", "slippage", "sell", "tick_count"), 0),
        (("future", "buy"), dict(direction="down"), ("future", "slippage", "buy", "direction"), "down"),
        (("stock", "Buy"), dict(tick_count=5), None, None),
        (("stock", None), dict(tick_count=5, direction="down"), None, None),
        (("stock", "buy"), dict(direction="sideways"), None, None),
    ],
)
def test_update_fee_settings(pos, args, kw, path, value):
    before = shape(pos.fee_settings)
    assert pos.update_fee_settings(*args, **kw) is None
    after = pos.fee_settings
    if path is None:
        assert shape(after) == before
        return
    node = after
    for key in path[:-1]:
        node = node[key]
    assert shape(node[path[-1]]) == shape(value)
    node[path[-1]] = DEFAULTS_AT(path)
    assert shape(after) == before  # nothing else changed


def DEFAULTS_AT(path):
    node = DEFAULTS
    for key in path:
        node = node[key]
    return node


def test_update_stores_the_objects_passed(pos):
    fee, count = 0.123456, 10**30
    pos.update_fee_settings("stock", "buy", fee=fee, tick_count=count)
    assert pos.fee_settings["stock"]["fee"] is fee
    assert pos.fee_settings["stock"]["slippage"]["buy"]["tick_count"] is count


@pytest.mark.parametrize(
    "args, kw, exc, text",
    [
        (("Stock",), {}, ValueError, "不支援的商品類型: Stock"),
        ((3,), {}, ValueError, "不支援的商品類型: 3"),
        (([],), {}, TypeError, None),
        (("stock",), dict(fee=1), TypeError, "Argument 'fee' has incorrect type (expected float, got int)"),
        (("stock",), dict(fee=0.1, tick_count=True), TypeError, None),
        (("stock",), dict(tax=0.1, per_trade_cost=1.0), TypeError, None),
    ],
)
def test_update_fee_settings_failures_change_nothing(pos, args, kw, exc, text):
    before = shape(pos.fee_settings)
    with pytest.raises(exc) as info:
        pos.update_fee_settings(*args, **kw)
    if text is not None:
        assert str(info.value) == text
    assert shape(pos.fee_settings) == before


def test_update_fee_settings_partial_on_altered_dict(pos):
    del pos.fee_settings["stock"]["slippage"]
    with pytest.raises(KeyError):
        pos.update_fee_settings("stock", "buy", fee=0.5, tick_count=1)
    assert pos.fee_settings["stock"]["fee"] == 0.5


# ---------------------------------------------------------------- trade log

def test_trade_record_example(pos):
    assert pos.add_trade_record("T1", "2330", "Buy", 2, 100, 1704157200.5, "Deal") is None
    assert pos.trade_records == [{
        "trade_id": "T1", "code": "2330", "action": "Buy", "quantity": 2, "price": 100.0,
        "dt": "2024-01-02 09:00:00.500000", "trade_status": "Deal",
    }]
    assert type(pos.trade_records[0]["price"]) is float


def test_trade_records_keep_every_call(pos):
    pos.add_trade_record("T1", "2330", "Buy", 1, 10.5, 0, "Order")
    pos.add_trade_record("T1", "2330", "Hold", 1, 10.5, 0.25, "Whatever")
    assert [r["dt"] for r in pos.trade_records] == ["1970-01-01 08:00:00.000000", "1970-01-01 08:00:00.250000"]
    assert [r["action"] for r in pos.trade_records] == ["Buy", "Hold"]
    made = pos._Positions__make_trade_record("T2", "0050", "Sell", 3, 1, 60, "Cancel")
    assert made["dt"] == "1970-01-01 08:01:00.000000" and made["price"] == 1.0
    assert len(pos.trade_records) == 2


@pytest.mark.parametrize(
    "args, exc",
    [
        (("T1", "2330", "Buy", 2.0, 100.0, 0.0, "Deal"), TypeError),
        ((1, "2330", "Buy", 2, 100.0, 0.0, "Deal"), TypeError),
        (("T1", "2330", "Buy", 2, "100", 0.0, "Deal"), TypeError),
        (("T1", "2330", "Buy", 2, 100.0, math.nan, "Deal"), ValueError),
        (("T1", "2330", "Buy", 2, 100.0, 1e20, "Deal"), (OverflowError, OSError, ValueError)),
    ],
)
def test_trade_record_failures_append_nothing(pos, args, exc):
    with pytest.raises(exc):
        pos.add_trade_record(*args)
    assert pos.trade_records == []


def test_trade_record_uses_globals_and_own_methods(mod, monkeypatch):
    class FakeDatetime:
        @staticmethod
        def fromtimestamp(ts):
            return FakeDatetime()

        def strftime(self, fmt):
            return "fake " + fmt

    monkeypatch.setattr(mod, "datetime", FakeDatetime)
    p = mod.Positions()
    p.add_trade_record("T", "2330", "Buy", 1, 1.0, 1.0, "Deal")
    assert p.trade_records[0]["dt"] == "fake %Y-%m-%d %H:%M:%S.%f"

    class P(mod.Positions):
        def _Positions__make_trade_record(self, *args):
            return args

    q = P()
    q.trade_records = log = type("Log", (), {"items": [], "append": lambda self, x: self.items.append(x)})()
    q.add_trade_record("T", "2330", "Buy", 1, 2, 3, "Deal")
    assert log.items == [("T", "2330", "Buy", 1, 2.0, 3.0, "Deal")]


# ---------------------------------------------------------------- error texts

class Shown:
    """A value whose format() and str() differ: an f-string writes format()."""

    def __format__(self, spec):
        return "formatted"

    def __str__(self):
        return "plain"


@pytest.mark.parametrize(
    "call, exc, head",
    [
        (lambda p: p.update_fee_settings(Shown()), ValueError, "不支援的商品類型: "),
        (lambda p: p.fetch_positions(Shown()), Exception, "不支援的帳戶類型: "),
        (lambda p: p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 1, Shown()), Exception,
         "不支援的商品類型: "),
        (lambda p: p.set_positions({"code": "2330", "action": "Buy", "price": 100.0, "quantity": 1,
                                    "exchange_ts": 1.0}, Shown()), Exception, "不支援的商品類型: "),
    ],
)
def test_error_texts_write_the_value_as_an_f_string_does(pos, console, call, exc, head):
    with pytest.raises(exc) as info:
        call(pos)
    assert type(info.value) is exc
    assert str(info.value) == head + "formatted"
