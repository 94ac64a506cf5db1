"""Import-time set-up of the extension: globals, template environment, classes
and the introspection every method carries."""

import ast
import inspect
import os
import pathlib
import pydoc
import subprocess
import sys
import textwrap

import jinja2
import pytest

import zopt_kelv_backtest
from zopt_kelv_backtest import constant, utils

MODULE = "zopt_kelv_backtest.modules.positions.positions"
REQ = inspect.Parameter.empty

# The method tables as the classes must expose them:
# (name, [(parameter, annotation, default)], return annotation, docstring first line).
UNIT = "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']"
ACTION = "Literal['Buy', 'Sell']"
STATUS = "Literal['Order', 'Deal', 'Cancel']"
PRODUCT = "Literal['Stock', 'Future']"
DIRECTION = "Literal['up', 'down']"
TRADE_RECORD = [
    ("trade_id", "str", REQ), ("code", "str", REQ), ("action", ACTION, REQ), ("quantity", "int", REQ),
    ("price", "float", REQ), ("timestamp", "float", REQ), ("trade_status", STATUS, REQ),
]
QUOTE_MANAGER = [
    ("__init__", [], None, None),
    ("get_init_ticks_info", [], None, "取得 ticks 的初始資訊"),
    ("get_empty_tick_df", [], "pl.DataFrame", "取得空的 Tick DataFrame"),
    ("clear_ticks", [], None, "清空 ticks"),
    ("add_tick", [("tick", "Dict[str, Any]", REQ)], None, "將 Tick 資料加入到 ticks 中"),
    ("aggregate_kbar", [("tick_df", "pl.DataFrame", REQ)], "pl.DataFrame",
     "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)"),
    ("poped_tick_to_df", [("code", "str", REQ)], "pl.DataFrame", "將 ticks 中的資料轉換為 DataFrame 並清空 ticks"),
    ("poped_old_ticks_to_df", [("code", "str", REQ)], "pl.DataFrame", "將 old_ticks 中的資料轉為 DataFrame"),
    ("get_kbar", [("code", "str", REQ), ("unit", UNIT, REQ), ("freq", "int", REQ),
                  ("exprs", "List[pl.Expr]", []), ("to_pandas_df", "bool", False)], "pl.DataFrame", "取得 K 線資料"),
]
POSITIONS = [
    ("__init__", [], None, "Position Module"),
    ("__init_account_info", [], None, None),
    ("__generate_save_path", [("file_name", "str", None)], "str", "產生檔案儲存路徑"),
    ("__make_trade_record", TRADE_RECORD, "Dict[str, Any]", "建立交易紀錄"),
    ("__apply_future_contract_value", [("code", "str", REQ)], "float", "套用期貨合約價值"),
    ("__ceil_price_by_tick", [("code", "str", REQ), ("price", "float", REQ)], "tuple", "依照股票的價格區間, 將價格向上取整"),
    ("__calculate_slippage_price", [("code", "str", REQ), ("price", "float", REQ), ("tick_count", "int", REQ),
                                    ("direction", DIRECTION, REQ)], "float", "計算滑價後的價格"),
    ("__calculate_trade_cost", [("code", "str", REQ), ("action", ACTION, REQ), ("price", "float", REQ),
                                ("quantity", "int", REQ), ("product_type", PRODUCT, REQ),
                                ("ignore_tax", "bool", False), ("is_cover", "bool", True)],
     "Dict[str, float]", "計算交易成本"),
    ("__calculate_profit", [("cover_position", "Dict[str, Any]", REQ), ("product_type", PRODUCT, REQ)],
     "Dict[str, Any]", "計算損益"),
    ("__format_position_summary", [("product_type", "str", REQ)], "List[Dict[str, Any]]", "格式化庫存資訊(總計)：股票或期貨"),
    ("__format_position_detail", [("product_type", "str", REQ)], "List[Dict[str, Any]]", "格式化庫存資訊(明細)：股票或期貨"),
    ("fee_settings", [], "Dict[str, Any]", "取得手續費設定"),
    ("reset_fee_settings", [], None, "重置手續費設定"),
    ("update_fee_settings", [("setting_type", "Literal['stock', 'future']", REQ), ("action", "Literal['buy', 'sell']", None),
                             ("fee", "float", None), ("tax", "float", None), ("per_trade_cost", "int", None),
                             ("tick_count", "int", None), ("direction", DIRECTION, None)], None, "設定手續費設定"),
    ("set_current_tick", [("tick", "Dict[str, Any]", REQ)], None, "設定目前的 Tick 資訊"),
    ("add_trade_record", TRADE_RECORD, None, "加入交易紀錄"),
    ("set_positions", [("trade", "dict", REQ), ("product_type", PRODUCT, REQ)], None, "設定持有部位"),
    ("fetch_positions", [("account_type", PRODUCT, REQ), ("fetch_detail", "bool", False)], "Dict[str, Any]", "取得持有部位"),
    ("add_positions_to_queue", [("positions", "object", REQ)], None, "將持有部位加入 Queue"),
    ("pop_positions", [], None, "取得盤中未實現損益的請求"),
    ("add_finish_notify_to_queue", [], None, "將盤中未實現損益計算完成的通知加入 Queue"),
    ("pop_finish_notify", [], None, "取得盤中未實現損益計算完成的通知"),
    ("export_trade_records", [], None, "匯出交易紀錄"),
    ("get_profit_rows_by_code", [("code", "str", REQ)], "List[Dict[str, Any]]", "回傳指定標的的損益報告"),
    ("generate_standard_report", [("code", "str", REQ), ("quote_manager", "QuoteManager", REQ)], None, "產生標準的 ZOPT 回測報告"),
    ("generate_qs_profit_report", [("code", "str", REQ), ("quote_manager", "QuoteManager", REQ)], None,
     "產生 QuantStats 的損益報告"),
    ("set_initial_capital", [("capital", "int", REQ)], None, "設定初始資金"),
    ("fetch_account_balance", [], None, "取得帳戶餘額"),
    ("fetch_margin", [], "float", "取得保證金"),
]
TABLES = {"QuoteManager": QUOTE_MANAGER, "Positions": POSITIONS}

# Descriptions used in the Args sections (set_current_tick calls its tick "Tick 資訊").
ARG_DESCRIPTIONS = {
    "code": "商品代號", "price": "價格", "quantity": "數量", "action": "買賣方向", "trade_id": "交易 ID",
    "timestamp": "時間戳", "trade_status": "交易狀態", "product_type": "商品類型", "tick": "Tick 資料",
    "tick_count": "要滑價多少個 Tick", "direction": "滑價方向", "unit": "K 線頻率單位", "freq": "K 線頻率",
    "exprs": "給予使用者自定義的運算式", "to_pandas_df": "是否轉換為 pandas DataFrame", "fee": "手續費率",
    "tax": "交易稅率", "per_trade_cost": "每筆交易成本", "capital": "初始資金", "account_type": "帳戶類型",
    "fetch_detail": "是否取得詳細的持有部位. Defaults to False.", "positions": "持有部位",
    "quote_manager": "QuoteManager 物件", "cover_position": "要平倉的部位", "trade": "交易紀錄",
    "file_name": "檔案名稱, 預設為 None, 為 None 時不會產生檔案名稱",
}


def stored_name(cls_name, name):
    private = name.startswith("__") and not name.endswith("__")
    return f"_{cls_name}{name}" if private else name


def method_rows():
    for cls_name, rows in TABLES.items():
        for row in rows:
            yield pytest.param(cls_name, *row, id=f"{cls_name}.{row[0]}")


def function_of(mod, cls_name, name):
    attr = vars(getattr(mod, cls_name))[stored_name(cls_name, name)]
    return attr.fget if isinstance(attr, property) else attr


def run_python(code, env=None, cwd=None):
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TZ="Asia/Taipei")
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, cwd=cwd, timeout=120)


# --- globals -------------------------------------------------------------------------------------

GLOBALS = ["copy", "json", "math", "os", "pd", "pl", "queue", "warnings", "matplotlib", "qs", "datetime",
           "timedelta", "Environment", "FileSystemLoader", "Any", "Dict", "List", "Literal", "Action",
           "BASIC_INFO", "FutureIndexContractValue", "OrderCond", "console", "make_dir", "base_dir",
           "static_dir", "env", "template", "QuoteManager", "Positions"]


def test_globals_in_import_order(mod):
    assert [k for k in vars(mod) if not k.startswith("__")] == GLOBALS


def test_globals_are_the_imported_objects(mod):
    import copy, datetime, json, math, queue, typing, warnings  # noqa: E401
    import matplotlib, pandas, polars, quantstats_lumi  # noqa: E401

    expected = {
        "copy": copy, "json": json, "math": math, "os": os, "pd": pandas, "pl": polars, "queue": queue,
        "warnings": warnings, "matplotlib": matplotlib, "qs": quantstats_lumi,
        "datetime": datetime.datetime, "timedelta": datetime.timedelta,
        "Environment": jinja2.Environment, "FileSystemLoader": jinja2.FileSystemLoader,
        "Any": typing.Any, "Dict": typing.Dict, "List": typing.List, "Literal": typing.Literal,
        "Action": constant.Action, "BASIC_INFO": constant.BASIC_INFO,
        "FutureIndexContractValue": constant.FutureIndexContractValue, "OrderCond": constant.OrderCond,
        "console": utils.console, "make_dir": utils.make_dir,
    }
    for name, obj in expected.items():
        assert getattr(mod, name) is obj, name


def test_paths_point_at_the_package_static_folder(mod):
    assert mod.base_dir == os.path.dirname(os.path.abspath(mod.__file__))
    assert mod.static_dir == os.path.join(mod.base_dir, "../../static")
    assert "../../static" in mod.static_dir  # kept unnormalised
    package_static = os.path.join(os.path.dirname(zopt_kelv_backtest.__file__), "static")
    assert os.path.realpath(mod.static_dir) == os.path.realpath(package_static)
    assert os.path.isfile(os.path.join(mod.static_dir, "templates", "profit_report.html"))


def test_template_environment(mod):
    env = mod.env
    assert type(env) is jinja2.Environment
    assert type(env.loader) is jinja2.FileSystemLoader
    assert env.loader.searchpath == [os.path.join(mod.static_dir, "templates")]
    default = jinja2.Environment()
    for option in ("autoescape", "trim_blocks", "lstrip_blocks", "undefined", "finalize", "extensions",
                   "block_start_string", "variable_start_string", "newline_sequence", "optimized"):
        assert getattr(env, option) == getattr(default, option), option
    assert env.filters["tojson"] is not default.filters["tojson"]
    assert mod.template.name == "profit_report.html"
    assert mod.template.environment is env


class Quoted:
    def __str__(self):
        return "'a' and 'b'"


@pytest.mark.parametrize("value, text", [
    ({"code": "2330"}, '{"code": "2330"}'),
    ({"k": None, "t": True, "f": False}, '{"k": None, "t": True, "f": False}'),
    ("it's", 'it"s'),
    (5, "5"),
    ([1, "x", ("y",)], '[1, "x", ("y",)]'),
    (Quoted(), '"a" and "b"'),
    ("<b>&", "<b>&"),
])
def test_tojson_filter(mod, value, text):
    result = mod.env.filters["tojson"](value)
    assert type(result) is str and result == text


def test_tojson_filter_in_a_template_is_not_escaped(mod):
    rendered = mod.env.from_string("{{ rows|tojson }}").render(rows=[{"n": "<i>it's</i>"}])
    assert rendered == '[{"n": "<i>it"s</i>"}]'


def test_tojson_filter_identity_and_errors(mod):
    f = mod.env.filters["tojson"]
    assert (f.__name__, f.__qualname__, f.__module__) == ("<lambda>", "<lambda>", MODULE)
    assert str(inspect.signature(f)) == "(value)"
    assert f(value="'") == '"'

    class Bad:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        f(Bad())
    for args, kwargs, msg in [
        ((), {}, "lambda() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "lambda() takes exactly 1 positional argument (2 given)"),
        ((1,), {"value": 2}, "lambda() got multiple values for keyword argument 'value'"),
        ((), {"value": 1, "v": 2}, "lambda() got an unexpected keyword argument 'v'"),
    ]:
        with pytest.raises(TypeError) as err:
            f(*args, **kwargs)
        assert str(err.value) == msg


# --- classes -------------------------------------------------------------------------------------

def test_classes_are_plain(mod):
    assert mod.QuoteManager.__doc__ == "報價管理"
    assert mod.Positions.__doc__ is None
    assert mod.Positions.__init__.__doc__ == "Position Module"
    for cls_name, rows in TABLES.items():
        cls = getattr(mod, cls_name)
        assert type(cls) is type and cls.__bases__ == (object,)
        assert (cls.__module__, cls.__qualname__, cls.__name__) == (MODULE, cls_name, cls_name)
        members = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
        assert members == [stored_name(cls_name, row[0]) for row in rows]
        assert str(inspect.signature(cls)) == "()"
        obj = cls.__new__(cls)
        obj.anything = 1  # ordinary instances with a __dict__
        assert vars(obj) == {"anything": 1}


def test_fee_settings_is_a_read_only_property(mod):
    prop = vars(mod.Positions)["fee_settings"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert prop.__doc__ == "取得手續費設定"
    p = mod.Positions.__new__(mod.Positions)
    with pytest.raises(AttributeError):
        p.fee_settings = {}


@pytest.mark.parametrize("cls_name, name, params, returns, doc", list(method_rows()))
def test_method_introspection(mod, cls_name, name, params, returns, doc):
    fn = function_of(mod, cls_name, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == f"{cls_name}.{name}"
    assert fn.__module__ == MODULE

    annotations = {p: ann for p, ann, _ in params}
    if returns:
        annotations["return"] = returns
    assert list(fn.__annotations__.items()) == list(annotations.items())

    defaults = tuple(d for _, _, d in params if d is not REQ)
    assert fn.__defaults__ == (defaults or None)
    assert fn.__kwdefaults__ is None

    sig = inspect.signature(fn)
    expected = ["self"] + [p for p, _, _ in params] + (["sub_folder"] if name == "__generate_save_path" else [])
    assert list(sig.parameters) == expected
    for p, ann, default in params:
        param = sig.parameters[p]
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert (param.annotation, param.default) == (ann, default)
    if name == "__generate_save_path":
        assert sig.parameters["sub_folder"].kind is inspect.Parameter.VAR_POSITIONAL
    assert sig.return_annotation == (returns or inspect.Signature.empty)

    assert (fn.__doc__.splitlines()[0] if fn.__doc__ else None) == doc


@pytest.mark.parametrize("cls_name, name, params, returns, doc", list(method_rows()))
def test_docstring_sections(mod, cls_name, name, params, returns, doc):
    fn = function_of(mod, cls_name, name)
    lines = (fn.__doc__ or "").splitlines()
    if len(lines) <= 1:
        assert not params, "a method with parameters documents them"
        return
    head = 2 if name == "generate_standard_report" else 1
    if name == "generate_standard_report":
        assert lines[1] == "包含 K 線圖、損益報告、交易紀錄"
    assert lines[head] == ""
    sections = {}
    current = None
    for line in lines[head + 1:]:
        if line and not line.startswith(" "):
            current = line
            sections[current] = []
        elif line:
            sections[current].append(line)
    assert list(sections) in (["Args:"], ["Args:", "Returns:"], ["Returns:"])

    entries = [e.strip() for e in sections.get("Args:", [])]
    names = [e.split(" ", 1)[0] for e in entries]
    varargs = ["*sub_folder"] if name == "__generate_save_path" else []
    assert names == [p for p, _, _ in params] + varargs
    for entry, (p, _, _) in zip(entries, params):
        type_text, description = entry[len(p) + 1:].split("): ", 1)
        assert type_text.startswith("(")
        if p == "positions":
            assert type_text == "(List[Dict[str, Any]] | Dict[str, Any]"
        if name == "set_current_tick":
            assert description == "Tick 資訊"
        elif p in ARG_DESCRIPTIONS:
            assert description == ARG_DESCRIPTIONS[p]
    if "Returns:" in sections:
        assert returns and len(sections["Returns:"]) == 1
        assert sections["Returns:"][0].startswith(f"    {returns}: ")
    elif returns:
        pytest.fail("a documented method with a return annotation has a Returns section")


def test_get_kbar_shares_one_default_list(mod):
    fn = mod.QuoteManager.get_kbar
    exprs, to_pandas = fn.__defaults__
    assert type(exprs) is list and exprs == [] and to_pandas is False
    assert fn.__defaults__[0] is exprs
    assert inspect.signature(fn).parameters["exprs"].default is exprs


def test_methods_bind_like_functions(mod):
    qm = mod.QuoteManager.__new__(mod.QuoteManager)
    fn = mod.QuoteManager.add_tick
    bound = qm.add_tick
    assert bound.__func__ is fn and bound.__self__ is qm
    assert fn.__get__(None, mod.QuoteManager) is fn
    assert str(inspect.signature(bound)) == "(tick: 'Dict[str, Any]')"
    assert inspect.isroutine(fn) and inspect.ismethod(bound)
    assert repr(fn).startswith("<function QuoteManager.add_tick at ")
    fn_type = type(fn)
    with pytest.raises(TypeError):
        fn_type()
    with pytest.raises(TypeError):
        type("Sub", (fn_type,), {})


def test_function_attributes_replaceable_like_python_functions(mod):
    fn = mod.Positions.fetch_margin
    saved = fn.__doc__
    try:
        fn.__doc__ = "other"
        assert fn.__doc__ == "other"
        del fn.__doc__
        assert fn.__doc__ is None
    finally:
        fn.__doc__ = saved
    fn.custom = 1
    assert fn.__dict__ == {"custom": 1}
    del fn.custom
    with pytest.raises(TypeError):
        fn.__qualname__ = 3
    with pytest.raises(AttributeError):
        fn.__defaults__ = (1,)


def test_documentation_tools_render_the_module(mod):
    def flat(text):  # newer pydoc wraps a long signature one parameter a line
        return "".join("".join(line.lstrip(" |").split()) for line in text.splitlines())

    # The same leading parameters on a Python function, as this pydoc shows
    # text annotations (quoted up to 3.13, bare from 3.14).
    def update_fee_settings(self, setting_type: "Literal['stock', 'future']", action: "Literal['buy', 'sell']" = None):
        pass

    head = flat(pydoc.plaintext.document(update_fee_settings))
    head = head[: head.index("=None)") + len("=None")]
    assert head.startswith("update_fee_settings(self,setting_type:")
    text = pydoc.render_doc(mod.Positions, renderer=pydoc.plaintext)
    shown = flat(text)
    assert head + ",fee:" in shown
    public = [k for k, v in vars(mod.Positions).items() if callable(v) and not k.startswith("_")]
    assert len(public) > 10
    for name in public:
        assert f"{name}(self" in shown, name
    assert "取得手續費設定" in text
    pydoc.render_doc(mod, renderer=pydoc.plaintext)


# --- import --------------------------------------------------------------------------------------

def test_reimport_returns_the_same_module(mod):
    import importlib

    saved = sys.modules.pop(MODULE)
    try:
        again = importlib.import_module(MODULE)
        assert again is mod
    finally:
        sys.modules[MODULE] = saved
    template = mod.template
    assert importlib.reload(mod) is mod
    assert mod.template is template


def test_fresh_import():
    # One fresh interpreter: the import steps in order, what they leave behind
    # process-wide, and the one-module-per-process rules.
    code = f"""
    import importlib.util, sys, warnings
    events = []
    wanted = {{"use", "simplefilter", "extend_pandas"}}
    def profile(frame, event, arg):
        if event != "call" or frame.f_back is None:
            return
        back = frame.f_back
        if back.f_code.co_name != "_call_with_frames_removed":
            return
        target = (back.f_locals.get("args") or (None,))[0]
        if getattr(target, "__name__", None) != "{MODULE}":
            return  # another extension's initialisation
        name = frame.f_code.co_name
        if name == "_find_and_load":
            events.append(("import", frame.f_locals["name"]))
        elif name in wanted:
            loc = frame.f_locals
            extra = tuple(str(loc[k]) for k in ("backend", "action", "category") if k in loc)
            events.append((name,) + extra)
    spec = importlib.util.find_spec("{MODULE}")
    first = importlib.util.module_from_spec(spec)
    second = importlib.util.module_from_spec(spec)
    print(first is not second)
    # built for the running interpreter: no version warning, even as an error
    warnings.simplefilter("error", RuntimeWarning)
    sys.setprofile(profile)
    spec.loader.exec_module(first)
    sys.setprofile(None)
    print(repr(events))
    import matplotlib, pandas
    print(matplotlib.get_backend())
    print(warnings.filters[0][:3:2], warnings.filters[1][:3:2])
    print(hasattr(pandas.Series, "sharpe"))
    spec.loader.exec_module(first)  # the same object again is fine
    try:
        spec.loader.exec_module(second)
    except RuntimeError as e:
        print(e)
    again = importlib.util.spec_from_file_location("elsewhere.positions", spec.origin)
    print(importlib.util.module_from_spec(again) is first)
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("no subinterpreters")
        raise SystemExit
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, "import {MODULE}")
    except Exception as e:
        print(e)
    """
    out = run_python(code, env={"MPLBACKEND": "svg"})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "True"

    events = ast.literal_eval(lines[1])
    order = [("import", m) for m in ("copy", "json", "math", "os", "pandas", "polars", "queue", "warnings",
                                     "matplotlib")]
    order += [("use", "Agg"), ("import", "quantstats_lumi"), ("import", "datetime"), ("import", "jinja2"),
              ("import", "typing"), ("import", "zopt_kelv_backtest.constant"), ("import", "zopt_kelv_backtest.utils"),
              ("simplefilter", "ignore", "<class 'FutureWarning'>"),
              ("simplefilter", "ignore", "<class 'RuntimeWarning'>"), ("extend_pandas",)]
    assert events == [e for e in order if e in events]  # nothing else, nothing out of order
    for must in [("import", "pandas"), ("import", "polars"), ("use", "Agg"), ("import", "quantstats_lumi"),
                 ("import", "jinja2"), ("simplefilter", "ignore", "<class 'FutureWarning'>"),
                 ("simplefilter", "ignore", "<class 'RuntimeWarning'>"), ("extend_pandas",)]:
        assert must in events
    assert lines[2].lower() == "agg"
    assert lines[3] == "('ignore', <class 'RuntimeWarning'>) ('ignore', <class 'FutureWarning'>)"
    assert lines[4] == "True"

    assert lines[5] == "Module 'positions' has already been imported. Re-initialisation is not supported."
    assert lines[6] == "True"
    if lines[7] != "no subinterpreters":
        assert "ImportError" in lines[7] and lines[7].endswith(
            "Interpreter change detected - this module can only be loaded into one interpreter per process.")


def test_failed_imports(tmp_path):
    # A package copy without the report template: a missing sibling name and a
    # missing template each fail the import, and a later import can succeed.
    import shutil

    package = pathlib.Path(zopt_kelv_backtest.__file__).parent
    copy = tmp_path / "zopt_kelv_backtest"
    shutil.copytree(package, copy, ignore=shutil.ignore_patterns("__pycache__"))
    template = copy / "static" / "templates" / "profit_report.html"
    template.rename(template.with_suffix(".away"))
    out = run_python(f"""
    import importlib, os, sys, types
    sys.path.insert(0, {str(tmp_path)!r})
    import jinja2
    import zopt_kelv_backtest.constant as real
    fake = types.ModuleType("zopt_kelv_backtest.constant")
    fake.Action = fake.BASIC_INFO = fake.FutureIndexContractValue = object()
    sys.modules["zopt_kelv_backtest.constant"] = fake
    try:
        import {MODULE}
    except ImportError as e:
        print(type(e).__name__, e, e.name)
    sys.modules["zopt_kelv_backtest.constant"] = real
    try:
        import {MODULE}
    except jinja2.TemplateNotFound as e:
        print("not found", e.name)
    os.rename({str(template.with_suffix(".away"))!r}, {str(template)!r})
    mod = importlib.import_module("{MODULE}")
    print(mod.__file__.startswith({str(tmp_path)!r}), mod.Positions.__module__)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "ImportError cannot import name 'OrderCond' from 'zopt_kelv_backtest.constant' (unknown location) "
        "zopt_kelv_backtest.constant",
        "not found profit_report.html",
        f"True {MODULE}",
    ]


def test_stub_matches_the_module(mod):
    stub = pathlib.Path(mod.__file__).with_name("positions.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(TABLES) <= set(classes)
    for cls_name, rows in TABLES.items():
        funcs = {n.name: n for n in classes[cls_name].body if isinstance(n, ast.FunctionDef)}
        assert list(funcs) == [stored_name(cls_name, row[0]) for row in rows]
        for name, params, _, _ in rows:
            node = funcs[stored_name(cls_name, name)]
            assert [a.arg for a in node.args.args] == ["self"] + [p for p, _, _ in params]
            assert [ast.literal_eval(d) for d in node.args.defaults] == [d for _, _, d in params if d is not REQ]
            assert (node.args.vararg.arg if node.args.vararg else None) == (
                "sub_folder" if name == "__generate_save_path" else None)
            is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
            assert is_property == (name == "fee_settings")
    for name in ("base_dir", "static_dir", "env", "template"):
        assert any(isinstance(n, ast.AnnAssign) and n.target.id == name for n in tree.body), name
