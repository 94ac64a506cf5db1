"""The README's code blocks run as written."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def test_readme_has_its_three_examples():
    assert len(BLOCKS) == 3
    assert len(BLOCKS[1].strip().splitlines()) < 40


@pytest.mark.parametrize("index,tz", [(0, "UTC"), (1, "Asia/Taipei"), (2, "UTC")], ids=["core", "strategy", "orders"])
def test_readme_block_runs(tmp_path, index, tz):
    env = dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", BLOCKS[index]], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "Warning" not in done.stderr  # the core block pins the zone before importing
    if index == 1:
        assert "'net_profit'" in done.stdout and "equity" in done.stdout
        assert (tmp_path / "backtest_output" / "report" / "2330-report.html").is_file()
    if index == 2:  # the worked example of each order kind checks its own fills
        assert "stop_limit" in done.stdout and "rejected" in done.stdout
