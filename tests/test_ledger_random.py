"""Seeded random fill sequences: the native ledger against the plain-Python
rendering in ledger_model.py, compared in full after every step."""

import random

import pytest

from ledger_model import LedgerModel

CODES = {"2330": "Stock", "0050": "Stock", "TXF": "Future", "ZZF": "Future"}


def random_price(rng, code):
    if CODES[code] == "Future":
        base = rng.choice([16000, 17321, 18000.5])
    else:
        base = rng.choice([0, 9.99, 10, 49.95, 50, 99.9, 100, 120.02, 587.3, 999, 1001])
    if base and rng.random() < 0.5:
        base = round(base * rng.uniform(0.97, 1.03), rng.choice([0, 1, 2]))
    return base if rng.random() < 0.5 else float(base)


def random_fill(rng, ts):
    code = rng.choice(list(CODES))
    ptype = CODES[code] if rng.random() < 0.95 else ("Future" if CODES[code] == "Stock" else "Stock")
    trade = {
        "code": code,
        "action": rng.choice(["Buy", "Sell", "Buy", "Sell", "buy"]),
        "price": random_price(rng, code),
        "quantity": rng.choice([0, 1, 1, 2, 3, 4, 6]),
        "exchange_ts": ts,
        "product_type": ptype,
        "trade_id": f"T{ts}",
    }
    if rng.random() < 0.2:
        trade["note"] = {"tags": [code, ts]}
    return trade, ptype


def spoil(rng, trade, ptype):
    """One fault that must be rejected without a trace."""
    how = rng.choice(["code", "action", "price", "quantity", "exchange_ts", "neg", "float_qty", "ptype", "str_price"])
    if how in ("code", "action", "price", "quantity", "exchange_ts"):
        del trade[how]
    elif how == "neg":
        trade["quantity"] = -rng.randint(1, 3)
    elif how == "float_qty":
        trade["quantity"] = 1.0
    elif how == "str_price":
        trade["price"] = "100"
    else:
        ptype = "stock"
    return trade, ptype


def snapshot(obj, seen_rows):
    """Everything but the rows already compared."""
    rows = obj._profit_report["rows"]
    return repr(
        (obj.positions, obj.product_type_mapper, obj._account_infos, obj._profit_report["profit"], len(rows),
         rows[seen_rows:], obj.current_capital, obj.current_tick_infos)
    )  # fmt: skip


def run_both(fn_native, fn_model):
    try:
        got = ("ok", fn_native())
    except Exception as e:  # noqa: BLE001 - compared below
        got = ("err", type(e), str(e))
    try:
        want = ("ok", fn_model())
    except Exception as e:  # noqa: BLE001
        want = ("err", type(e), str(e))
    assert got == want
    return got


@pytest.mark.parametrize("seed", range(12))
def test_random_sequence_matches_model(mod, console, seed):
    rng = random.Random(seed)
    p = mod.Positions()
    twin = mod.Positions()  # prices legs for the model with the same settings
    model = LedgerModel(
        twin._Positions__calculate_trade_cost,
        twin._Positions__apply_future_contract_value,
        mod.OrderCond.CASH,
    )
    ts = 1_700_000_000.0
    seen = 0
    for step in range(350):
        ts += rng.choice([0.5, 1, 60])
        r = rng.random()
        if r < 0.75:
            trade, ptype = random_fill(rng, ts)
            if rng.random() < 0.06:
                trade, ptype = spoil(rng, trade, ptype)
            mine = dict(trade)
            run_both(lambda: p.set_positions(trade, ptype), lambda: model.set_positions(mine, ptype))
        elif r < 0.85:
            code = rng.choice(list(CODES))
            close = random_price(rng, code)
            p.set_current_tick({"code": code, "close": close})
            model.set_current_tick({"code": code, "close": close})
        elif r < 0.97:
            account = rng.choice(["Stock", "Future", "Stock", "Future", "Bond"])
            detail = rng.random() < 0.5
            res = run_both(lambda: p.fetch_positions(account, detail), lambda: model.fetch_positions(account, detail))
            if res[0] == "ok":
                assert repr(p.pop_positions()) == repr(model.queue.pop(0))
        else:
            kind, side = rng.choice(["stock", "future"]), rng.choice(["buy", "sell"])
            change = rng.choice([{"tick_count": 0}, {"tick_count": 2}, {"per_trade_cost": 0}, {"per_trade_cost": 10}])
            for obj in (p, twin):
                obj.update_fee_settings(kind, side, **change)
        assert snapshot(p, seen) == snapshot(model, seen), f"step {step}"
        assert console.lines[-20:] == model.lines[-20:] and len(console.lines) == len(model.lines), f"step {step}"
        seen = len(p._profit_report["rows"])
    assert console.lines == model.lines
    rows = p._profit_report["rows"]
    assert rows, "the sequence should have covered something"
    assert p._profit_report["profit"] == pytest.approx(sum(r["profit"] for r in rows))


@pytest.mark.parametrize("capital", [2**53 + 1, -(2**60) - 1, 10**20 + 7, 10**400, 0.1])
def test_capital_arithmetic_matches_model(mod, console, capital):
    """Int capitals meet float amounts: rounding and the too-large error as Python has them."""
    p, twin = mod.Positions(), mod.Positions()
    model = LedgerModel(twin._Positions__calculate_trade_cost, twin._Positions__apply_future_contract_value,
                        mod.OrderCond.CASH)  # fmt: skip
    p.current_capital = model.current_capital = capital
    fills = [("Buy", 3, 101.5), ("Sell", 1, 102.25), ("Sell", 4, 99.75), ("Buy", 2, 100)]
    for i, (action, qty, price) in enumerate(fills):
        trade = {"code": "2330", "action": action, "price": price, "quantity": qty, "exchange_ts": 1.0 + i}
        mine = dict(trade)
        run_both(lambda: p.set_positions(trade, "Stock"), lambda: model.set_positions(mine, "Stock"))
        assert snapshot(p, 0) == snapshot(model, 0)
        assert repr(p.current_capital) == repr(model.current_capital)
