"""Argument binding and checking shared by every method: counts, keywords,
exact-type checks and float conversion, all before a body runs."""

import collections
import ctypes
import re

import pytest

from test_module_frame import REQ, TABLES, stored_name

PARSE_ERROR = re.compile(r"^(\S+\(\) (takes|got|keywords)|Argument ')")


class DictSub(dict):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


def bare(cls):
    """An instance whose __init__ has not run: enough for errors raised before the body."""
    return cls.__new__(cls)


@pytest.fixture
def qm(mod):
    return bare(mod.QuoteManager)


@pytest.fixture
def pos(mod):
    return bare(mod.Positions)


def error_text(call):
    with pytest.raises(TypeError) as err:
        call()
    return str(err.value)


def reaches_body(call):
    """True unless the call fails in argument parsing."""
    try:
        call()
    except TypeError as e:
        if PARSE_ERROR.match(str(e)):
            return False
    except Exception:
        pass
    return True


# --- counts and keywords ---------------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda m, q, p: q.add_tick(), "add_tick() takes exactly 2 positional arguments (1 given)"),
    (lambda m, q, p: q.add_tick({}, {}), "add_tick() takes exactly 2 positional arguments (3 given)"),
    (lambda m, q, p: m.QuoteManager.clear_ticks(), "clear_ticks() takes exactly 1 positional argument (0 given)"),
    (lambda m, q, p: q.clear_ticks(1), "clear_ticks() takes exactly 1 positional argument (2 given)"),
    (lambda m, q, p: m.QuoteManager(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda m, q, p: p.generate_standard_report("2330"),
     "generate_standard_report() takes exactly 3 positional arguments (2 given)"),
    (lambda m, q, p: p.generate_standard_report(code="2330"),
     "generate_standard_report() takes exactly 3 positional arguments (2 given)"),
    (lambda m, q, p: p.generate_standard_report(quote_manager=q),
     "generate_standard_report() takes exactly 3 positional arguments (1 given)"),
    (lambda m, q, p: p.fetch_positions(), "fetch_positions() takes at least 2 positional arguments (1 given)"),
    (lambda m, q, p: p.fetch_positions(fetch_detail=True),
     "fetch_positions() takes at least 2 positional arguments (1 given)"),
    (lambda m, q, p: p.fetch_positions("Stock", True, 1),
     "fetch_positions() takes at most 3 positional arguments (4 given)"),
    (lambda m, q, p: p.update_fee_settings(*["stock"] * 8),
     "update_fee_settings() takes at most 8 positional arguments (9 given)"),
    (lambda m, q, p: q.get_kbar("2330", "m"), "get_kbar() takes at least 4 positional arguments (3 given)"),
    (lambda m, q, p: q.get_kbar("2330", "m", 1, [], False, 1),
     "get_kbar() takes at most 6 positional arguments (7 given)"),
    (lambda m, q, p: m.Positions._Positions__generate_save_path(),
     "__generate_save_path() takes at least 1 positional argument (0 given)"),
    (lambda m, q, p: p._Positions__init_account_info(1),
     "__init_account_info() takes exactly 1 positional argument (2 given)"),
    (lambda m, q, p: p._Positions__calculate_trade_cost("2330", "Buy", 1.0, 1, "Stock", False, True, 1),
     "__calculate_trade_cost() takes at most 8 positional arguments (9 given)"),
    (lambda m, q, p: vars(m.Positions)["fee_settings"].fget(),
     "fee_settings() takes exactly 1 positional argument (0 given)"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_argument_count_errors(mod, qm, pos, call, message):
    assert error_text(lambda: call(mod, qm, pos)) == message


@pytest.mark.parametrize("call, message", [
    (lambda m, q, p: q.add_tick(tick={}, foo=1), "add_tick() got an unexpected keyword argument 'foo'"),
    (lambda m, q, p: q.add_tick(tick={}, 數量=1), "add_tick() got an unexpected keyword argument '數量'"),
    (lambda m, q, p: q.add_tick({}, tick={}), "add_tick() got multiple values for keyword argument 'tick'"),
    (lambda m, q, p: q.add_tick(self=q, tick={}), "add_tick() got multiple values for keyword argument 'self'"),
    (lambda m, q, p: p.fetch_positions("Stock", account_type="Stock"),
     "fetch_positions() got multiple values for keyword argument 'account_type'"),
    (lambda m, q, p: p._Positions__generate_save_path("a", "b", file_name="c"),
     "__generate_save_path() got multiple values for keyword argument 'file_name'"),
    (lambda m, q, p: p._Positions__generate_save_path(sub_folder=("a",)),
     "__generate_save_path() got an unexpected keyword argument 'sub_folder'"),
    (lambda m, q, p: m.Positions(x=1), "__init__() got an unexpected keyword argument 'x'"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_keyword_errors(mod, qm, pos, call, message):
    assert error_text(lambda: call(mod, qm, pos)) == message


def vectorcall(fn, args, kwnames=(), kwvalues=()):
    """PyObject_Vectorcall straight from C, so keyword names are not vetted by the interpreter."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    items = (ctypes.py_object * max(1, len(args) + len(kwvalues)))(*args, *kwvalues)
    names = tuple(kwnames) if kwnames else None
    return api(fn, ctypes.addressof(items), len(args), id(names) if names is not None else None)


def test_keywords_must_be_strings(mod, qm):
    with pytest.raises(TypeError) as err:
        vectorcall(mod.QuoteManager.add_tick, (qm, {}), (1,), (2,))
    assert str(err.value) == "add_tick() keywords must be strings"
    with pytest.raises(TypeError) as err:  # a missing argument is reported first
        vectorcall(mod.QuoteManager.add_tick, (qm,), (1,), ({},))
    assert str(err.value) == "add_tick() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as err:
        vectorcall(mod.env.filters["tojson"], (1,), (b"value",), (2,))
    assert str(err.value) == "lambda() keywords must be strings"


def test_keyword_names_match_by_value(mod):
    tojson = mod.env.filters["tojson"]
    assert vectorcall(tojson, (), ("value",), ("'",)) == '"'
    assert vectorcall(tojson, (), (StrSub("value"),), ("'",)) == '"'
    assert vectorcall(tojson, (), ("".join(["val", "ue"]),), ("x",)) == "x"


def test_every_parameter_binds_by_keyword(mod, qm):
    assert mod.env.filters["tojson"](value=5) == "5"
    assert reaches_body(lambda: mod.QuoteManager.get_kbar(
        self=qm, code="2330", unit="m", freq=1, exprs=[], to_pandas_df=False))


# --- exact-type checks ------------------------------------------------------------------------------

NOTE_PREFIX = ". "


def type_error(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, name, expected, got, subclass", [
    (lambda q, p: q.add_tick([]), "tick", "dict", "list", False),
    (lambda q, p: q.add_tick(None), "tick", "dict", "NoneType", False),
    (lambda q, p: q.add_tick(DictSub()), "tick", "dict", "DictSub", True),
    (lambda q, p: q.add_tick(collections.OrderedDict()), "tick", "dict", "collections.OrderedDict", True),
    (lambda q, p: p.set_initial_capital(True), "capital", "int", "bool", True),
    (lambda q, p: p.set_initial_capital(1.0), "capital", "int", "float", False),
    (lambda q, p: p.set_initial_capital(IntSub(5)), "capital", "int", "IntSub", True),
    (lambda q, p: q.poped_tick_to_df(StrSub("2330")), "code", "str", "StrSub", True),
    (lambda q, p: q.poped_tick_to_df(b"2330"), "code", "str", "bytes", False),
    (lambda q, p: q.get_kbar("2330", "m", 1, ()), "exprs", "list", "tuple", False),
    (lambda q, p: q.get_kbar("2330", "m", 1, ListSub()), "exprs", "list", "ListSub", True),
    (lambda q, p: q.get_kbar(1, "m", 1.0), "code", "str", "int", False),  # first bad one, in order
    (lambda q, p: p.update_fee_settings("stock", "buy", 1), "fee", "float", "int", False),
    (lambda q, p: p.update_fee_settings("stock", tax=FloatSub(0.1)), "tax", "float", "FloatSub", True),
    (lambda q, p: p.update_fee_settings("stock", per_trade_cost=True), "per_trade_cost", "int", "bool", True),
    (lambda q, p: p.set_positions([], "Stock"), "trade", "dict", "list", False),
    (lambda q, p: p._Positions__calculate_profit(None, "Stock"), "cover_position", "dict", "NoneType", False),
    (lambda q, p: p.add_trade_record(1, "c", "Buy", 1, 1.0, 1.0, "Deal"), "trade_id", "str", "int", False),
    (lambda q, p: p._Positions__generate_save_path(1), "file_name", "str", "int", False),
])
def test_exact_type_errors(qm, pos, call, name, expected, got, subclass):
    text = error_text(lambda: call(qm, pos))
    base = type_error(name, expected, got)
    if subclass:
        assert text.startswith(base + NOTE_PREFIX) and "subclass" in text[len(base):]
    else:
        assert text == base


def checked_params():
    """Every exact-checked parameter of both tables, with whether None is allowed."""
    for cls_name, rows in TABLES.items():
        for name, params, _, _ in rows:
            for i, (p, ann, default) in enumerate(params):
                expected = {"str": "str", "int": "int", "dict": "dict"}.get(ann)
                if ann.startswith("Dict["):
                    expected = "dict"
                elif ann.startswith("List["):
                    expected = "list"
                elif ann == "float" and default is None:
                    expected = "float"
                if expected:
                    yield pytest.param(cls_name, name, params, i, expected, default is None,
                                       id=f"{cls_name}.{name}.{p}")


VALID = {"str": "2330", "int": 1, "dict": {}, "list": [], "float": 1.0}
SUBCLASS = {"str": StrSub("x"), "int": True, "dict": DictSub(), "list": ListSub(), "float": FloatSub(1.0)}
WRONG = {"str": 1, "int": 1.5, "dict": [], "list": (), "float": "1.0"}


def valid_args(params):
    args = []
    for p, ann, default in params:
        if default is not REQ:
            args.append(default)
        elif ann in VALID:
            args.append(VALID[ann])
        elif ann.startswith("Dict["):
            args.append({})
        else:
            args.append("x")
    return args


@pytest.mark.parametrize("cls_name, name, params, index, expected, none_ok", list(checked_params()))
def test_checked_parameter_matrix(mod, data_dir, console, cls_name, name, params, index, expected, none_ok):
    cls = getattr(mod, cls_name)
    fn = vars(cls)[stored_name(cls_name, name)]
    p = params[index][0]

    def call_with(value, by_keyword):
        args = valid_args(params)
        args[index] = value
        if by_keyword:
            kwargs = {q: v for (q, _, _), v in zip(params[index:], args[index:])}
            return lambda: fn(bare(cls), *args[:index], **kwargs)
        return lambda: fn(bare(cls), *args)

    for by_keyword in (False, True):
        assert error_text(call_with(WRONG[expected], by_keyword)) == \
            type_error(p, expected, type(WRONG[expected]).__name__)
        assert error_text(call_with(SUBCLASS[expected], by_keyword)).startswith(
            type_error(p, expected, type(SUBCLASS[expected]).__name__) + NOTE_PREFIX)
        if none_ok:
            assert reaches_body(call_with(None, by_keyword))
        else:
            assert error_text(call_with(None, by_keyword)) == type_error(p, expected, "NoneType")


def test_unenforced_annotations_accept_anything(pos, qm, data_dir, console):
    junk = object()
    assert reaches_body(lambda: pos.fetch_positions(junk, fetch_detail=junk))
    assert reaches_body(lambda: qm.get_kbar("2330", junk, 1, [], junk))
    assert reaches_body(lambda: qm.aggregate_kbar(junk))
    assert reaches_body(lambda: pos.update_fee_settings(junk, junk, direction=junk))
    assert reaches_body(lambda: pos._Positions__calculate_trade_cost("c", junk, 1.0, 1, junk, junk, junk))
    assert reaches_body(lambda: pos.generate_standard_report("2330", junk))


# --- float conversion -----------------------------------------------------------------------------------

class Floaty:
    def __init__(self, value=1.5, error=None):
        self.value, self.error, self.calls = value, error, 0

    def __float__(self):
        self.calls += 1
        if self.error:
            raise self.error
        return self.value


class Indexy:
    def __index__(self):
        return 7


def test_floats_convert_before_exact_checks(pos):
    price, stamp = Floaty(), Floaty()
    text = error_text(lambda: pos.add_trade_record(1, "c", "Buy", 1, price, stamp, "Deal"))
    assert text == type_error("trade_id", "str", "int")
    assert (price.calls, stamp.calls) == (1, 1)


def test_float_conversion_errors_are_the_interpreters(pos):
    with pytest.raises(ValueError, match="price first"):
        pos.add_trade_record(1, "c", "Buy", 1, Floaty(error=ValueError("price first")),
                             Floaty(error=KeyError("stamp")), "Deal")
    with pytest.raises(TypeError) as err:
        pos._Positions__ceil_price_by_tick("2330", "10")
    assert str(err.value) == "must be real number, not str"
    with pytest.raises(TypeError) as err:
        pos._Positions__ceil_price_by_tick("2330", None)
    assert str(err.value) == "must be real number, not NoneType"
    with pytest.raises(OverflowError):
        pos._Positions__calculate_slippage_price("2330", 10 ** 400, 1, "up")
    with pytest.raises(TypeError, match="returned non-float"):
        pos._Positions__ceil_price_by_tick("2330", Floaty(value=3))


@pytest.mark.parametrize("value", [100, True, FloatSub(2.5), Indexy(), Floaty(4.25), float("nan"), float("-inf")])
def test_float_parameters_accept_numbers(pos, value):
    assert reaches_body(lambda: pos._Positions__ceil_price_by_tick("2330", value))


def test_int_price_is_handled_as_float(mod):
    p = bare(mod.Positions)
    try:
        record = p._Positions__make_trade_record("t1", "2330", "Buy", 1, 100, 1700000000, "Deal")
    except NotImplementedError:
        pytest.skip("__make_trade_record is not built yet")
    assert type(record["price"]) is float and record["price"] == 100.0
