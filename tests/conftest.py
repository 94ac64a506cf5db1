import os
import time

# Times are local: pin the zone before the module (and polars) see any time.
os.environ["TZ"] = "Asia/Taipei"
time.tzset()

import pytest  # noqa: E402

import zopt_kelv_backtest.modules.positions.positions as positions_module  # noqa: E402


class ConsoleRecorder:
    """Stands in for the rich console: keeps every printed text."""

    def __init__(self):
        self.lines = []

    def print(self, text):
        self.lines.append(text)


@pytest.fixture
def mod():
    return positions_module


@pytest.fixture
def console(monkeypatch):
    rec = ConsoleRecorder()
    monkeypatch.setattr(positions_module, "console", rec)
    return rec


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """Output root in a temporary folder."""
    monkeypatch.setattr(positions_module.BASIC_INFO, "data_dir", str(tmp_path / "out"))
    return tmp_path / "out"
