"""The plain-Python ledger the benchmarks measure against: the tests' own
rendering (tests/ledger_model.py) with the plain trade cost of
tests/cost_model.py, printing to this module's `console` and handing query
results over through a queue.Queue as the module does, without the tests'
rollback of a failed fill."""

import queue
import sys
from enum import Enum
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import cost_model  # noqa: E402
from ledger_model import LedgerModel  # noqa: E402


class OrderCond(Enum):
    CASH = "Cash"


class _Console:
    def print(self, text):
        pass


console = _Console()  # the bench replaces it


class Positions(LedgerModel, cost_model.Positions):
    rollback = False

    def __init__(self):
        cost_model.Positions.__init__(self)
        LedgerModel.__init__(self, self._Positions__calculate_trade_cost, self._Positions__apply_future_contract_value,
                             OrderCond.CASH)  # fmt: skip
        self.fetch_position_queue = queue.Queue()

    def print(self, text):
        console.print(text)

    def hand_over(self, positions):
        self.fetch_position_queue.put(positions)

    def pop_positions(self):
        return self.fetch_position_queue.get()
