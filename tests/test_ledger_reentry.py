"""Fills placed while another fill is under way (from the console, from a
value's own hooks, from other threads) against serial runs of the plain-Python
rendering in ledger_model.py: the account ends as some serial order of the
fills leaves it, with nothing lost."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ledger_model import LedgerModel

ROOT = Path(__file__).resolve().parent


def fill(action, qty, price, code="2330", ts=1.0):
    return {"code": code, "action": action, "price": price, "quantity": qty, "exchange_ts": ts,
            "trade_id": f"{action}-{ts}"}  # fmt: skip


def state(obj):
    return repr((obj.positions, obj.product_type_mapper, obj._account_infos, obj._profit_report,
                 obj.current_capital))  # fmt: skip


class TradingConsole:
    """Records lines; on line number `at` it places one more fill (once)."""

    def __init__(self, at=None, place=None):
        self.lines, self.at, self.place = [], at, place

    def print(self, text):
        self.lines.append(text)
        if self.place and len(self.lines) - 1 == self.at:
            place, self.place = self.place, None
            place()


def serial_states(mod, setup, fills):
    """The model's state after the setup and then `fills` in each given order."""
    out = []
    for order in fills:
        twin = mod.Positions()
        model = LedgerModel(twin._Positions__calculate_trade_cost, twin._Positions__apply_future_contract_value,
                            mod.OrderCond.CASH)  # fmt: skip
        for trade in setup + order:
            model.set_positions(dict(trade), "Stock")
        out.append(state(model))
    return out


def lines_of(mod, setup, trade):
    """How many console lines `trade` prints after the setup."""
    twin = mod.Positions()
    model = LedgerModel(twin._Positions__calculate_trade_cost, twin._Positions__apply_future_contract_value,
                        mod.OrderCond.CASH)  # fmt: skip
    for t in setup:
        model.set_positions(dict(t), "Stock")
    before = len(model.lines)
    model.set_positions(dict(trade), "Stock")
    return len(model.lines) - before


def run_reentrant(mod, monkeypatch, setup, outer, inner, at):
    p = mod.Positions()
    monkeypatch.setattr(mod, "console", TradingConsole())
    for t in setup:
        p.set_positions(dict(t), "Stock")
    monkeypatch.setattr(mod, "console", TradingConsole(at, lambda: p.set_positions(dict(inner), "Stock")))
    p.set_positions(dict(outer), "Stock")
    return p


@pytest.mark.parametrize(
    "setup, outer, inner",
    [
        ([], fill("Buy", 1, 575.0, ts=2.0), fill("Buy", 1, 570.0, ts=3.0)),
        ([fill("Buy", 2, 575.0)], fill("Sell", 1, 580.0, ts=2.0), fill("Sell", 1, 585.0, ts=3.0)),
        ([fill("Buy", 1, 575.0)], fill("Sell", 2, 580.0, ts=2.0), fill("Buy", 3, 571.0, ts=3.0)),
    ],
    ids=["open-open", "cover-cover", "over-cover-then-open"],
)
def test_fill_from_the_console_is_kept(mod, monkeypatch, setup, outer, inner):
    want = serial_states(mod, setup, [[outer, inner], [inner, outer]])
    for at in range(lines_of(mod, setup, outer)):
        p = run_reentrant(mod, monkeypatch, setup, outer, inner, at)
        assert state(p) in want, f"console fill at line {at}"


FILLS = st.builds(
    fill,
    st.sampled_from(["Buy", "Sell"]),
    st.integers(0, 3),
    st.sampled_from([570.0, 575, 580.5, 590.0]),
    st.sampled_from(["2330", "2330", "0050"]),
    st.floats(1.0, 9.0),
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(setup=st.lists(FILLS, max_size=4), outer=FILLS, inner=FILLS, pick=st.integers(0, 20))
def test_console_fills_end_in_a_serial_order(mod, monkeypatch, setup, outer, inner, pick):
    want = serial_states(mod, setup, [[outer, inner], [inner, outer]])
    at = pick % max(1, lines_of(mod, setup, outer))
    assert state(run_reentrant(mod, monkeypatch, setup, outer, inner, at)) in want


def test_fill_from_a_price_conversion_is_all_or_nothing(mod, console):
    """The outer sell's price places a sell of its own on its second
    conversion: each lot is covered once and leaves one profit row."""
    p = mod.Positions()
    p.set_positions(fill("Buy", 2, 575.0), "Stock")

    class Price:
        calls = 0

        def __float__(self):
            Price.calls += 1
            if Price.calls == 2:
                p.set_positions(fill("Sell", 1, 585.0, ts=3.0), "Stock")
            return 580.0

    p.set_positions(fill("Sell", 1, Price(), ts=2.0), "Stock")
    lots = p.positions["2330"]
    assert lots["buy"] == [] and lots["sell"] == []
    assert len(p._profit_report["rows"]) == 2 and p._account_infos["2330"]["cover_times"] == 2
    assert p._profit_report["profit"] == pytest.approx(sum(r["profit"] for r in p._profit_report["rows"]))


def test_failing_console_after_a_console_fill_keeps_both(mod, monkeypatch):
    """A console that places a fill and then fails: the outer fill stands
    with the inner one (taking it back would undo the inner fill's base)."""
    p = mod.Positions()
    monkeypatch.setattr(mod, "console", TradingConsole())
    inner = fill("Buy", 1, 570.0, ts=3.0)

    class Console(TradingConsole):
        def print(self, text):
            super().print(text)
            if len(self.lines) == 4:  # the outer fill's last line, after the inner fill's two
                raise OSError("console")

    monkeypatch.setattr(mod, "console", Console(0, lambda: p.set_positions(dict(inner), "Stock")))
    with pytest.raises(OSError):
        p.set_positions(fill("Buy", 1, 575.0, ts=2.0), "Stock")
    assert len(p.positions["2330"]["buy"]) == 2 and p._account_infos["2330"]["entry_times"] == 2


THREADS = textwrap.dedent(
    """
    import sys, threading
    sys.setswitchinterval(1e-5)
    import zopt_kelv_backtest.modules.positions.positions as m
    N, T = 120, 8

    def fills(k):
        for i in range(N):
            yield ({"code": f"{2330 + k}", "action": "Buy" if i % 2 == 0 else "Sell", "price": 600.0 + (i % 7) + k,
                    "quantity": 1 + i % 3, "exchange_ts": float(i), "trade_id": str(i)}, "Stock")

    def account():
        p = m.Positions()
        for kind in ("stock", "future"):
            for side in ("buy", "sell"):
                p.update_fee_settings(kind, side, fee=0.0, tax=0.0, tick_count=0)
        return p

    def summary(p):
        infos = sorted((c, i["entry_times"], i["cover_times"], i["profit"]) for c, i in p._account_infos.items())
        return p.current_capital, p._profit_report["profit"], len(p._profit_report["rows"]), infos

    console = m.console  # the package console
    failed = 0
    for trial in range(5):
        m.console = console
        p = account()
        threads = [threading.Thread(target=lambda k=k: [p.set_positions(*f) for f in fills(k)]) for k in range(T)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # The same fills one thread after another: every amount is a whole
        # number, so the order of the sums does not matter.
        m.console = type("Quiet", (), {"print": lambda self, text: None})()
        q = account()
        for k in range(T):
            for f in fills(k):
                q.set_positions(*f)
        if summary(p) != summary(q):
            failed += 1
            print("lost updates:", summary(p)[:3], "serial:", summary(q)[:3], file=sys.stderr)
    sys.exit(1 if failed else 0)
    """
)


@pytest.mark.parametrize("run", range(2))
def test_threads_sharing_one_account_lose_no_update(run):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TZ="Asia/Taipei")
    res = subprocess.run([sys.executable, "-c", THREADS], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, timeout=600)  # fmt: skip
    assert res.returncode == 0, res.stderr[-2000:]
