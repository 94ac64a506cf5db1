"""Position query values: averages, re-reads after Python code ran, and the
dicts handed out (new, complete, visible to the cyclic collector)."""

import gc
import random

import pytest

from test_ledger import fill, queued


def book(p, code, lots, ptype="Stock", side="buy"):
    p.positions[code] = {"buy": [], "sell": []}
    p.positions[code][side].extend(lots)
    p.product_type_mapper[code] = ptype


@pytest.mark.parametrize(
    "prices, qtys",
    [
        ([100.125], [1]),  # an exact tie: half to even
        ([0.125], [3]),
        ([0.375], [1]),
        ([2.675], [1]),  # just below the tie in binary
        ([100, 100.25], [1, 1]),
        ([1e300], [1]),
        ([5e-324], [2]),
        ([10.005, 10.015, 10.025], [1, 2, 3]),
    ],
)
def test_average_price_rounds_as_python(mod, console, prices, qtys):
    p = mod.Positions()
    book(p, "X", [fill("Buy", q, pr, code="X") for pr, q in zip(prices, qtys)])
    p.set_current_tick({"code": "X", "close": 1.0})
    (summary,) = queued(p, "Stock")
    want = round(sum(pr * q for pr, q in zip(prices, qtys)) / sum(qtys), 2)
    assert repr(summary["avg_price"]) == repr(want)


def test_average_price_random_sweep(mod, console):
    rng = random.Random(11)
    p = mod.Positions()
    p.set_current_tick({"code": "X", "close": 1.0})
    for _ in range(2000):
        price = rng.choice([rng.uniform(0, 2000), rng.randrange(0, 800000) / 400, rng.uniform(0, 1e-3)])
        qty = rng.randrange(1, 9)
        book(p, "X", [fill("Buy", qty, price, code="X")])
        (summary,) = queued(p, "Stock")
        assert repr(summary["avg_price"]) == repr(round(price * qty / qty, 2)), price


def test_round_is_looked_up_at_call_time(mod, console, monkeypatch):
    p = mod.Positions()
    book(p, "X", [fill("Buy", 1, 100.5, code="X")])
    monkeypatch.setattr(mod, "round", lambda x, n: ("rounded", x, n), raising=False)
    (summary,) = queued(p, "Stock")
    assert summary["avg_price"] == ("rounded", 100.5, 2)


def test_globals_follow_every_change_of_module_and_builtins(mod, console, monkeypatch):
    import builtins

    p = mod.Positions()
    book(p, "X", [fill("Buy", 1, 100.555, code="X")])
    avg = lambda: queued(p, "Stock")[0]["avg_price"]  # noqa: E731
    real = builtins.round
    assert avg() == 100.56
    monkeypatch.setattr(mod, "round", lambda x, n: "module", raising=False)
    assert avg() == "module"
    monkeypatch.delattr(mod, "round")
    assert avg() == 100.56
    monkeypatch.setattr(builtins, "round", lambda x, n: "builtins")
    assert avg() == "builtins"
    monkeypatch.setattr(builtins, "round", real)
    assert avg() == 100.56


def test_console_replaced_by_a_console_line_takes_the_next_lines(mod, monkeypatch):
    class Recorder:
        def __init__(self, then=None):
            self.lines, self.then = [], then

        def print(self, text):
            self.lines.append(text)
            if self.then:
                monkeypatch.setattr(mod, "console", self.then)

    second = Recorder()
    first = Recorder(then=second)
    monkeypatch.setattr(mod, "console", first)
    p = mod.Positions()
    p.set_positions(fill("Buy", 2, code="X"), "Stock")
    assert len(first.lines) == 1 and len(second.lines) == 1
    p.set_positions(fill("Sell", 1, code="X"), "Stock")
    assert len(first.lines) == 1 and len(second.lines) == 5


def test_tick_set_by_a_console_line_values_the_next_lot(mod, monkeypatch):
    """Every lot reads the code's tick afresh; a console line may bring one."""
    p = mod.Positions()
    book(p, "X", [fill("Buy", 1, 100, code="X"), fill("Buy", 2, 100, code="X")])
    p.current_tick_infos["X"] = None

    class TickBringer:
        lines = []

        def print(self, text):
            self.lines.append(text)
            p.current_tick_infos["X"] = {"code": "X", "close": 103}

    monkeypatch.setattr(mod, "console", TickBringer())
    (summary,) = queued(p, "Stock")
    assert summary["pnl"] == 3 * 2 * 1000 and len(TickBringer.lines) == 1
    p.current_tick_infos["X"] = None
    TickBringer.lines.clear()
    first, second = queued(p, "Stock", True)
    assert (first["pnl"], second["pnl"]) == (0, 3 * 2 * 1000)


def test_contract_value_change_seen_by_later_lots(mod, console, monkeypatch):
    p = mod.Positions()
    book(p, "ZZF", [fill("Buy", 1, 100, code="ZZF", ptype="Future") for _ in range(3)], ptype="Future")
    p.set_current_tick({"code": "ZZF", "close": 101})
    first = queued(p, "Future", True)
    monkeypatch.setitem(mod.FutureIndexContractValue, "ZZF", 50)
    second = queued(p, "Future", True)
    assert [d["pnl"] for d in first] == [2000] * 3 and [d["pnl"] for d in second] == [50] * 3


@pytest.mark.parametrize("detail", [False, True])
def test_unusual_lots_take_the_general_path(mod, console, detail):
    """Lots of another mapping type, with deleted or non-str keys, or with
    values of other number types are valued as the plain ones are."""

    class Lot(dict):
        pass

    plain = fill("Buy", 2, 100.5, code="X")
    deleted = dict(fill("Buy", 2, 100.5, code="X"), note="n")
    del deleted["note"]
    odd_key = dict(fill("Buy", 2, 100.5, code="X"))
    odd_key[1] = "one"
    lots = [plain, Lot(plain), deleted, odd_key, dict(plain, quantity=True)]
    p = mod.Positions()
    book(p, "X", lots)
    p.set_current_tick({"code": "X", "close": 101})
    got = queued(p, "Stock", detail)
    if detail:
        assert [d["pnl"] for d in got] == [1000.0] * 4 + [500.0]
        assert [d["quantity"] for d in got] == [2, 2, 2, 2, True]
    else:
        assert got[0]["quantity"] == 9 and got[0]["pnl"] == 4500.0 and got[0]["avg_price"] == 100.5


def test_cycle_through_a_detail_is_collected(mod, console):
    import weakref

    class Holder:
        pass

    holder = Holder()
    p = mod.Positions()
    book(p, "X", [dict(fill("Buy", 1, 100, code="X"), trade_id=[holder])])
    p.set_current_tick({"code": "X", "close": 101})
    (detail,) = queued(p, "Stock", True)
    assert gc.is_tracked(detail)
    holder.detail = detail  # holder -> detail -> trade_id list -> holder
    alive = weakref.ref(holder)
    del holder, detail
    p.positions.clear()
    gc.collect()
    assert alive() is None


def test_details_are_new_dicts_each_time(mod, console):
    """Details of one code share their code and zeros, never their dict."""
    p = mod.Positions()
    book(p, "X", [fill("Buy", 1, 100, code="X"), fill("Buy", 2, 100, code="X")])
    p.set_current_tick({"code": "X", "close": 101})
    first = queued(p, "Stock", True)
    first[0].update(pnl="changed", code="Y", fee=1, collateral=2)
    first[0]["extra"] = 3
    assert first[1] == dict(first[1], code="X", fee=0, collateral=0, pnl=2000) and "extra" not in first[1]
    second = queued(p, "Stock", True)
    assert [d["pnl"] for d in second] == [1000, 2000] and second[0] is not first[0]
    assert [(d["code"], d["fee"], d["collateral"]) for d in second] == [("X", 0, 0)] * 2
    assert list(second[0]) == ["date", "code", "quantity", "cost", "pnl", "fee", "trade_id",
                               "margin_purchase_amount", "collateral"]  # fmt: skip
