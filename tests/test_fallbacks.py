"""The portable side of every fast path: which CPython internals are read here,
and the suites of the areas that read them, run again with all of them off."""

import os
import pathlib
import subprocess
import sys

import pytest

SWITCH = "ZOPT_KELV_NO_FAST_PATHS"
MODULE = "zopt_kelv_backtest.modules.positions.positions"
TESTS = pathlib.Path(__file__).parent

# The areas whose code reads dicts, types, instance dicts or ints directly.
AREAS = [
    "test_costs.py",
    "test_account.py",
    "test_ledger.py",
    "test_ledger_random.py",
    "test_query_values.py",
    "test_tick_store.py",
    "test_kbar.py",
    "test_calling_conventions.py",
    "test_fallbacks.py::test_fast_paths_in_use",
]


def fast_paths(mod):
    return type(vars(mod.Positions)["fetch_margin"])._fast_paths


def test_fast_paths_in_use(mod):
    if os.environ.get(SWITCH) == "1":
        assert fast_paths(mod) == ()
        return
    tags = "dict_version_tags" if sys.version_info < (3, 12) else "dict_watcher"
    # The key-table probe must hold on every interpreter CI runs, or their
    # speed would quietly drop to the fallback's.
    assert set(fast_paths(mod)) == {tags, "dict_key_tables", "type_lookup", "instance_dict", "compact_int"}


@pytest.mark.skipif(os.environ.get(SWITCH) == "1", reason="already running on the fallbacks")
def test_areas_pass_on_the_fallbacks():
    env = {**os.environ, SWITCH: "1"}
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *[str(TESTS / a) for a in AREAS]],
        env=env, cwd=TESTS.parent, capture_output=True, text=True, timeout=1800,
    )
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert " passed" in run.stdout.splitlines()[-1]


@pytest.mark.parametrize("value, ok", [("0", True), ("", True), ("yes", False), ("2", False)])
def test_switch_values(value, ok):
    env = {**os.environ, SWITCH: value}
    code = f"import {MODULE} as m; print(len(type(vars(m.Positions)['fetch_margin'])._fast_paths))"
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if ok:
        assert run.returncode == 0, run.stderr
        assert int(run.stdout) > 0
    else:
        assert run.returncode != 0
        assert f"ImportError: {SWITCH} must be 0 or 1, not '{value}'" in run.stderr
