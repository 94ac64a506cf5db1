"""The Python layer type-checks against our own stub, and the stub matches the built module."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extra)")

ROOT = Path(__file__).resolve().parents[1]


def _run(*args, cache, imports_module=True):
    env = dict(os.environ, TZ="Asia/Taipei", PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               MYPY_CACHE_DIR=str(cache))
    if not imports_module:
        # Static checking loads nothing of ours: no need for a sanitizer runtime the suite may preload.
        for name in ("LD_PRELOAD", "PYTHONMALLOC"):
            env.pop(name, None)
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=600)


def test_python_layer_passes_mypy(tmp_path):
    done = _run("mypy", "--config-file", str(ROOT / "pyproject.toml"), cache=tmp_path / "cache",
                imports_module=False)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


@pytest.mark.parametrize("module", ["zopt_kelv_backtest.modules.positions.positions",
                                    "zopt_kelv_backtest.modules.indicators.indicators",
                                    "zopt_kelv_backtest.modules.replay.replay"])
def test_stub_matches_the_module(tmp_path, module):
    done = _run("mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), module,
                cache=tmp_path / "cache")
    assert done.returncode == 0, done.stdout + done.stderr
