"""The core imported by the runner: report libraries wait in sys.modules until something uses them."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from zopt_kelv_backtest import _lazy_imports as lazy

REPORT_LIBRARIES = ("pandas", "matplotlib", "quantstats_lumi", "scipy", "jinja2")


def run_python(code, **env):
    full_env = {k: v for k, v in os.environ.items() if k != "ZOPT_KELV_EAGER_IMPORTS"}
    full_env.update(PYTHONPATH=os.pathsep.join(sys.path), TZ="Asia/Taipei", **env)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


# --- the mechanism, on stand-in libraries -----------------------------------------------------------


@pytest.fixture
def fakes(tmp_path, monkeypatch):
    """Three stand-in libraries and a stand-in core that uses them as the real core uses its own."""
    tag = tmp_path.name.replace("-", "_").lower()
    a, b, c = (f"lib_{x}_{tag}" for x in "abc")
    core = f"core_{tag}"
    events = []
    (tmp_path / a).mkdir()
    (tmp_path / a / "__init__.py").write_text("import builtins\nbuiltins.EVENTS.append('exec a')\nvalue = 1\n")
    (tmp_path / a / "sub.py").write_text("import builtins\nbuiltins.EVENTS.append('exec a.sub')\n")
    (tmp_path / f"{b}.py").write_text(textwrap.dedent("""
        import builtins
        builtins.EVENTS.append("exec b")
        if getattr(builtins, "FAIL_B", False):
            raise RuntimeError("b is broken")
        def use(name):
            builtins.EVENTS.append("use " + name)
    """))
    (tmp_path / f"{c}.py").write_text(textwrap.dedent(f"""
        import builtins
        import {a}
        builtins.EVENTS.append("exec c sees a.value=%s" % {a}.value)
        def extend():
            builtins.EVENTS.append("extend")
        other = 2
    """))
    (tmp_path / f"{core}.py").write_text(textwrap.dedent(f"""
        import builtins
        import {a}, {b}
        {b}.use("Agg")
        import {c}
        {c}.extend()
        builtins.EVENTS.append("core done")
    """))
    import builtins

    monkeypatch.setattr(builtins, "EVENTS", events, raising=False)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(lazy, "CORE", core)
    monkeypatch.setattr(lazy, "DEFERRED", (a, b, c))
    monkeypatch.setattr(lazy, "RECORDED", {b: frozenset({"use"}), c: frozenset({"extend"})})
    monkeypatch.delenv("ZOPT_KELV_EAGER_IMPORTS", raising=False)
    yield {"a": a, "b": b, "c": c, "core": core, "events": events}
    lazy._forget(list(lazy._waiting))
    for name in (a, f"{a}.sub", b, c, core):
        sys.modules.pop(name, None)
    if hasattr(builtins, "FAIL_B"):
        del builtins.FAIL_B


def test_import_runs_no_library_and_first_use_runs_all_in_order(fakes):
    a, b, c, events = fakes["a"], fakes["b"], fakes["c"], fakes["events"]
    core = lazy.import_core()
    assert events == ["core done"]
    assert lazy.deferred() == (a, b, c)
    waiting_a = sys.modules[a]
    # The first use of any of them (here the last) runs all three and replays the core's calls.
    assert sys.modules[c].other == 2
    assert events == ["core done", "exec a", "exec b", "use Agg", "exec c sees a.value=1", "extend"]
    assert lazy.deferred() == ()
    assert sys.modules[a] is waiting_a and type(waiting_a) is type(sys)  # the same object, a plain module now
    assert lazy.import_core() is core is sys.modules[fakes["core"]]


@pytest.mark.parametrize("touch", ["attribute", "submodule import", "from import"])
def test_each_kind_of_use_loads(fakes, touch):
    a, events = fakes["a"], fakes["events"]
    lazy.import_core()
    if touch == "attribute":
        assert sys.modules[a].value == 1
    elif touch == "submodule import":
        __import__(f"{a}.sub")
    else:
        ns = {}
        exec(f"from {a} import value", ns)
        assert ns["value"] == 1
    assert events[1:4] == ["exec a", "exec b", "use Agg"]
    assert lazy.deferred() == ()


def test_a_call_made_after_loading_goes_straight_through(fakes):
    b, events = fakes["b"], fakes["events"]
    lazy.import_core()
    early_use = sys.modules[b].use  # taken while waiting: records
    lazy.load_deferred()
    early_use("svg")
    assert events[-1] == "use svg"


def test_a_library_failing_to_execute_raises_at_first_use_and_leaves_sys_modules(fakes):
    import builtins

    a, b, c = fakes["a"], fakes["b"], fakes["c"]
    lazy.import_core()
    builtins.FAIL_B = True
    with pytest.raises(RuntimeError, match="b is broken"):
        sys.modules[a].value
    assert a in sys.modules and b not in sys.modules and c not in sys.modules
    assert lazy.deferred() == ()
    del builtins.FAIL_B
    assert __import__(c).extend is not None  # a later import starts afresh


@pytest.mark.parametrize("why", ["already imported", "eager by environment"])
def test_nothing_waits_when_it_cannot_or_should_not(fakes, monkeypatch, why):
    if why == "already imported":
        __import__(fakes["a"])
    else:
        monkeypatch.setenv("ZOPT_KELV_EAGER_IMPORTS", "1")
    lazy.import_core()
    assert lazy.deferred() == ()
    assert "extend" in fakes["events"]


def test_a_failing_core_import_leaves_nothing_waiting(fakes, tmp_path):
    (tmp_path / f"{fakes['core']}.py").write_text("raise ImportError('core broken')\n")
    with pytest.raises(ImportError, match="core broken"):
        lazy.import_core()
    assert lazy.deferred() == ()
    assert not any(fakes[k] in sys.modules for k in "abc")


def test_threads_touching_at_once_execute_each_library_once(fakes):
    a, c, events = fakes["a"], fakes["c"], fakes["events"]
    lazy.import_core()
    start = threading.Barrier(4)
    seen = []

    def touch(name):
        start.wait()
        seen.append(getattr(sys.modules[name], "value", None) if name == a else sys.modules[name].other)

    threads = [threading.Thread(target=touch, args=(n,)) for n in (a, c, a, c)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == [1, 1, 2, 2]
    assert [e for e in events if e.startswith("exec")] == ["exec a", "exec b", "exec c sees a.value=1"]


# --- the real core ----------------------------------------------------------------------------------


QUIET_REPLAY = """
    import os, sys
    from zopt_kelv_backtest._lazy_imports import deferred, import_core
    from zopt_kelv_backtest.backtest import run_backtest
    from zopt_kelv_backtest.example import MovingAverageCross
    core = import_core()
    core.console = type("Quiet", (), {"print": lambda self, text: None})()
    result = run_backtest(None, MovingAverageCross(fast=5, slow=30), codes=["2330"])
"""


def test_runner_imports_and_a_replay_load_no_report_library():
    loaded = f"[m for m in {REPORT_LIBRARIES!r} if type(sys.modules.get(m)).__name__ == 'module']"
    out = run_python(f"""
    import sys
    import zopt_kelv_backtest.backtest, zopt_kelv_backtest.sweep, zopt_kelv_backtest.example
    print({loaded})
    """ + QUIET_REPLAY + f"""
    print({loaded}, result.trade_count > 0)
    """)
    assert out[0] == "[]"
    # jinja2 compiles the standard report's template when the core is imported.
    assert out[1] == "['jinja2'] True"


def test_writing_the_reports_leaves_what_an_eager_import_leaves(tmp_path):
    code = QUIET_REPLAY + f"""
    print(deferred())
    written = result.write_reports({str(tmp_path)!r}, quiet=True)
    print(deferred(), any(p.endswith(".html") and "profit_report" in p for p in written))
    import matplotlib, pandas, quantstats_lumi
    print(core.pd is pandas, core.qs is quantstats_lumi, core.matplotlib is matplotlib,
          type(pandas) is type(os), matplotlib.get_backend().lower(), hasattr(pandas.Series, "sharpe"))
    """
    lazy_out = run_python(code, MPLBACKEND="svg")
    assert lazy_out == ["('pandas', 'matplotlib', 'quantstats_lumi')", "() True", "True True True True agg True"]
    eager_out = run_python(code, MPLBACKEND="svg", ZOPT_KELV_EAGER_IMPORTS="1")
    assert eager_out == ["()", "() True", "True True True True agg True"]


def test_a_sweep_page_leaves_the_report_libraries_waiting(tmp_path):
    out = run_python(f"""
    import polars as pl
    from zopt_kelv_backtest import sweep
    from zopt_kelv_backtest._lazy_imports import deferred, import_core
    import_core()
    rows = pl.DataFrame({{"fast": [5, 10], "slow": [30, 30], "code": ["2330"] * 2, "window": ["all"] * 2,
                         "net_profit": [1.0, -2.0], "error": [None, None]}})
    sweep.write_page(rows, {str(tmp_path / "page.html")!r}, x="fast", y="slow", params=["fast", "slow"])
    print(deferred())
    """)
    assert out == ["('pandas', 'matplotlib', 'quantstats_lumi')"]
    assert "Plotly.newPlot" in (tmp_path / "page.html").read_text(encoding="utf-8")
