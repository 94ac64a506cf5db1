"""Position book, profit calculation and position queries."""

import copy
import types

import pytest


def fill(action, qty, price=100, code="2330", ts=1.0, ptype="Stock", **extra):
    return {
        "code": code,
        "action": action,
        "price": price,
        "quantity": qty,
        "exchange_ts": ts,
        "product_type": ptype,
        "trade_id": f"{action}-{ts}",
        **extra,
    }


@pytest.fixture
def p(mod, console):
    return mod.Positions()


@pytest.fixture
def flat(p):
    """No slippage: entry and cover legs are priced at the fill price."""
    for kind in ("stock", "future"):
        for side in ("buy", "sell"):
            p.update_fee_settings(kind, side, tick_count=0)
    return p


def ledger_state(p):
    return repr(
        (p.positions, p.product_type_mapper, p._account_infos, p._profit_report, p.current_capital, p.current_tick_infos)
    )


# ---- worked pair and cover arithmetic


def test_worked_pair(flat, console):
    flat.set_positions(fill("Buy", 1, 100, ts=1.0), "Stock")
    lot = flat.positions["2330"]["buy"][0]
    res = flat._Positions__calculate_profit(fill("Sell", 1, 110, ts=2.0), "Stock")
    assert res == {
        "receivable_total": 110000.0,
        "payable_total": 100000.0,
        "origin_profit": 10000.0,
        "cover_cost_total": 496.75,
        "trade_cost_total": 152.5,
        "cost": 649.25,
        "profit": 9350.75,
        "is_covered": True,
        "un_cover_qty": 0,
    }
    assert list(res) == [
        "receivable_total", "payable_total", "origin_profit", "cover_cost_total", "trade_cost_total",
        "cost", "profit", "is_covered", "un_cover_qty",
    ]  # fmt: skip
    (row,) = flat._profit_report["rows"]
    assert list(row) == [
        "code", "entry_dt", "entry_price", "entry_origin_price", "exit_dt", "exit_price", "exit_origin_price",
        "qty", "min_qty", "trade_cost", "cover_cost", "profit", "profit_ratio",
    ]  # fmt: skip
    assert row["profit"] == 9350.75
    assert row["profit_ratio"] == 9350.75 / 100152.5
    assert round(row["profit_ratio"], 15) == 0.093365118194753
    assert (row["entry_dt"], row["exit_dt"], row["qty"], row["min_qty"]) == (1.0, 2.0, 1, 1000)
    assert lot["quantity"] == 0 and flat.positions["2330"]["buy"] == []
    assert console.lines[-2].startswith("[blue]{'fee': 156.75") and console.lines[-2].endswith(", 沖銷部位方向: Sell[/blue]")
    assert console.lines[-1].startswith("[yellow]被沖銷的成本資訊: {'fee': 142.5, 'tax': 0, 'fixed_cost': 10")


@pytest.mark.parametrize(
    "lots, action, qty, matched, left, covered, rest",
    [
        ([2, 4], "Sell", 5, [2, 3], [1], True, 0),  # oldest first, second lot lowered
        ([2, 1], "Buy", 5, [2, 1], [], False, 2),  # short side used up, rest remains
        ([3, 1], "Sell", 3, [3], [1], True, 0),  # exactly the oldest lot
        ([2], "Sell", 0, [], [2], True, 0),  # quantity 0 matches nothing
        ([0, 2], "Sell", 1, [0, 1], [1], True, 0),  # a 0 lot at the front is matched with 0
    ],
)
def test_fifo_matching(flat, console, lots, action, qty, matched, left, covered, rest):
    side = "sell" if action == "Buy" else "buy"
    opening = "Sell" if action == "Buy" else "Buy"
    for i, q in enumerate(lots):
        flat.set_positions(fill(opening, q, ts=float(i)), "Stock")
    lines = len(console.lines)
    res = flat._Positions__calculate_profit(fill(action, qty, ts=9.0), "Stock")
    assert [r["qty"] for r in flat._profit_report["rows"]] == matched
    assert [lot["quantity"] for lot in flat.positions["2330"][side]] == left
    assert (res["is_covered"], res["un_cover_qty"]) == (covered, rest)
    assert len(console.lines) - lines == 2 * len(matched)
    if not matched:
        assert all(type(res[k]) is int and res[k] == 0 for k in list(res)[:7])
    if 0 in matched:
        assert flat._profit_report["rows"][0]["profit"] == -20  # both fixed costs, nothing else


def test_short_lot_gross_profit_is_entry_minus_cover(flat):
    flat.set_positions(fill("Sell", 1, 100), "Stock")
    flat.set_positions(fill("Buy", 1, 90, ts=2.0), "Stock")
    (row,) = flat._profit_report["rows"]
    assert row["profit"] + row["trade_cost"] + row["cover_cost"] == pytest.approx(10000.0)
    assert flat._account_infos["2330"]["net_profit"] == 10000.0


def test_zero_entry_base_gives_ratio_zero(flat):
    flat.update_fee_settings("stock", per_trade_cost=0)
    flat.set_positions(fill("Buy", 1, 0.0), "Stock")
    flat.set_positions(fill("Sell", 1, 10.0, ts=2.0), "Stock")
    (row,) = flat._profit_report["rows"]
    assert row["profit_ratio"] == 0.0 and type(row["profit_ratio"]) is float
    assert row["profit"] == 10000.0 - row["cover_cost"]


# ---- the position book


def test_first_buy_opens_a_long_lot(p, console):
    trade = fill("Buy", 2, 100, code="0050", note={"keep": [1]})
    p.set_positions(trade, "Stock")
    cost = p._Positions__calculate_trade_cost("0050", "Buy", 100, 2, "Stock", ignore_tax=True, is_cover=True)
    assert cost["price"] > 100  # a buy slips against the trader
    (lot,) = p.positions["0050"]["buy"]
    assert lot == trade and lot is not trade and lot["note"] is not trade["note"]
    trade["quantity"] = 99
    trade["note"]["keep"].append(2)
    assert lot["quantity"] == 2 and lot["note"] == {"keep": [1]}
    assert p.positions["0050"]["sell"] == []
    assert p._account_infos["0050"]["entry_times"] == 1
    assert p.current_capital == 100000 - (cost["price"] * cost["min_qty"] + cost["fee"] + cost["fixed_cost"])
    assert console.lines == [
        f"[bold pink1][做多進場]本金: 100000, 應付金額: {cost['price'] * 2000}, "
        f"進場成本: {cost['fee'] + 10}[/bold pink1]",
        f"[bold red][回測] 進場 0050 2 張, 價格: 100, 手續費: {cost['fee']}, 交易稅: 0, 固定成本: 10[/bold red]",
    ]


def test_partial_cover_keeps_newer_lot(p, console):
    p.set_positions(fill("Buy", 1, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Stock")
    p.set_positions(fill("Sell", 1, 105, ts=3.0), "Stock")
    assert [lot["exchange_ts"] for lot in p.positions["2330"]["buy"]] == [2.0]
    assert p.positions["2330"]["sell"] == []
    info = p._account_infos["2330"]
    assert (info["entry_times"], info["cover_times"]) == (2, 1)
    assert len(p._profit_report["rows"]) == 1
    assert console.lines[-1].endswith(f"沖銷 2330 1 張, 損益: {p._profit_report['rows'][0]['profit']} [/bold red]")


@pytest.mark.parametrize("covering", ["Sell", "Buy"])
def test_over_cover_opens_the_rest_at_its_cost(p, console, covering):
    opening = "Buy" if covering == "Sell" else "Sell"
    p.set_positions(fill(opening, 1, 100, ts=1.0), "Stock")
    before = p.current_capital
    lines = len(console.lines)
    p.set_positions(fill(covering, 3, 100, ts=2.0), "Stock")
    res_rows = p._profit_report["rows"]
    assert len(res_rows) == 1
    rest_side = "sell" if covering == "Sell" else "buy"
    (lot,) = p.positions["2330"][rest_side]
    assert lot["quantity"] == 2 and lot["exchange_ts"] == 2.0
    assert p.positions["2330"][opening.lower()] == []
    info = p._account_infos["2330"]
    assert (info["entry_times"], info["cover_times"]) == (2, 1)
    # capital: the cover of the one lot, then the rest paid like an opening fill
    row = res_rows[0]
    cover = p._Positions__calculate_trade_cost("2330", covering, 100, 1, "Stock")
    entry = p._Positions__calculate_trade_cost("2330", opening, 100, 1, "Stock", ignore_tax=True)
    rest = p._Positions__calculate_trade_cost("2330", covering, 100, 2, "Stock", ignore_tax=True)
    cover_cost = cover["fee"] + cover["tax"] + cover["fixed_cost"]
    if covering == "Sell":
        back = cover["price"] * 1000 - cover_cost
    else:
        back = entry["price"] * 1000 + (entry["price"] * 1000 - cover["price"] * 1000) - cover_cost
    assert p.current_capital == before + back - (rest["price"] * rest["min_qty"] + rest["fee"] + rest["fixed_cost"])
    new = console.lines[lines:]
    kind = "做多" if covering == "Sell" else "做空"
    rest_kind = "做空" if covering == "Sell" else "做多"
    assert [line.split("]")[0] for line in new] == ["[blue", "[yellow", "[bold yellow", "[bold pink1", "[bold red"]
    assert new[2].startswith(f"[bold yellow][{kind}沖銷]本金: {before}, ")
    assert new[3].startswith(f"[bold pink1][{rest_kind}進場]本金: {before}, ")
    end = " [/bold red]" if covering == "Sell" else "[/bold red]"
    assert new[4] == f"[bold red][回測] 沖銷 2330 2 張, 損益: {row['profit']}{end}"


def test_round_trips_conserve_money(flat):
    """Without slippage every lot closed in one piece returns exactly its profit
    (a lot closed in pieces is charged the fixed cost per piece in its rows)."""
    seq = [("Buy", 2), ("Sell", 5), ("Buy", 4), ("Sell", 1), ("Sell", 3), ("Buy", 3)]
    for i, (action, qty) in enumerate(seq):
        flat.set_positions(fill(action, qty, 100 + 7 * i, ts=float(i)), "Stock")
    assert flat.positions["2330"] == {"buy": [], "sell": []}
    assert flat.current_capital == pytest.approx(100000 + flat._profit_report["profit"], abs=1e-6)
    assert flat._profit_report["profit"] == pytest.approx(sum(r["profit"] for r in flat._profit_report["rows"]))


@pytest.mark.parametrize("action", ["buy", "sell", "BUY", "Buy ", "Hold", "", None, 1])
@pytest.mark.parametrize("covering", [False, True])
def test_only_buy_and_sell_are_actions(p, action, covering):
    p.set_positions(fill("Buy", 1), "Stock")
    trade = fill(action, 1, ts=2.0, code="2330" if covering else "NEW")
    before = ledger_state(p)
    with pytest.raises(ValueError) as info:
        p.set_positions(trade, "Stock")
    assert str(info.value) == f"不支援的交易動作: {action}"
    assert ledger_state(p) == before


def test_action_is_checked_after_the_code(p):
    with pytest.raises(TypeError, match="Argument 'code'"):
        p.set_positions(fill("buy", 1, code=2330), "Stock")


def test_one_round_trip_at_an_unchanged_price_costs_its_profit_row(p, console):
    p.set_positions(fill("Buy", 1, 582), "Stock")
    entry_line = console.lines[0]
    p.set_positions(fill("Sell", 1, 582, ts=2.0), "Stock")
    (row,) = p._profit_report["rows"]
    assert row["profit"] == pytest.approx(-9415.70, abs=0.01)
    assert p.current_capital - 100000 == pytest.approx(row["profit"], rel=1e-12)
    assert f"應付金額: {row['entry_price'] * row['min_qty']}, " in entry_line


@pytest.mark.parametrize("ptype,code,prices", [("Stock", "2330", [582, 95.3, 1010, 47.85]),
                                               ("Future", "TXFA4", [17321, 17001, 16890.0, 17555])])
@pytest.mark.parametrize("opening", ["Buy", "Sell"])
def test_capital_moves_by_the_profit_rows(p, ptype, code, prices, opening):
    """Lots closed whole, long or short, with the default slippage and costs,
    some through a covering fill whose rest opens a lot: the capital ends at
    the initial capital plus the sum of the profit rows."""
    closing = "Sell" if opening == "Buy" else "Buy"
    p.set_positions(fill(opening, 2, prices[0], code=code), ptype)
    p.set_positions(fill(opening, 1, prices[1], code=code, ts=2.0), ptype)
    p.set_positions(fill(closing, 2, prices[2], code=code, ts=3.0), ptype)
    p.set_positions(fill(closing, 4, prices[3], code=code, ts=4.0), ptype)   # closes 1, opens 3 the other way
    p.set_positions(fill(opening, 3, prices[0], code=code, ts=5.0), ptype)
    assert p.positions[code] == {"buy": [], "sell": []}
    rows = p._profit_report["rows"]
    assert len(rows) == 3
    assert p.current_capital == pytest.approx(100000 + sum(r["profit"] for r in rows), rel=1e-12)
    assert p._profit_report["profit"] == pytest.approx(sum(r["profit"] for r in rows), rel=1e-12)


@pytest.mark.parametrize("spoil", ["rows_none", "covered_side_tuple", "own_side_tuple", "lot_read_only",
                                   "info_read_only"])
def test_fill_against_undocumented_state_changes_nothing(p, spoil):
    p.set_positions(fill("Buy", 1, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Stock")
    book = p.positions["2330"]
    trade = fill("Sell", 1, 105, ts=3.0)
    if spoil == "rows_none":
        p._profit_report["rows"] = None
        exc = AttributeError
    elif spoil == "covered_side_tuple":
        book["buy"] = tuple(book["buy"])
        exc = AttributeError
    elif spoil == "own_side_tuple":
        book["buy"] = tuple(book["buy"])
        trade = fill("Buy", 1, 105, ts=3.0)
        exc = AttributeError
    elif spoil == "lot_read_only":
        book["buy"][0] = types.MappingProxyType(book["buy"][0])
        exc = TypeError
    else:
        p._account_infos["2330"] = types.MappingProxyType(p._account_infos["2330"])
        exc = TypeError
    before = ledger_state(p)
    with pytest.raises(exc):
        p.set_positions(trade, "Stock")
    assert ledger_state(p) == before


def test_product_type_recorded_once(p, console):
    p.set_positions(fill("Buy", 1), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Future")
    assert p.product_type_mapper == {"2330": "Stock"}
    assert " 1 口, 價格: " in console.lines[-1]
    assert p.positions["2330"]["buy"][1]["quantity"] == 1


def test_zero_quantity_lot(p, console):
    p.set_positions(fill("Buy", 0), "Stock")
    assert p.positions["2330"]["buy"][0]["quantity"] == 0
    assert p.current_capital == 100000 - 10
    p.set_positions(fill("Sell", 1, ts=2.0), "Stock")
    assert [r["qty"] for r in p._profit_report["rows"]] == [0]
    assert p.positions["2330"]["buy"] == [] and p.positions["2330"]["sell"][0]["quantity"] == 1


def test_int_totals_until_a_float_joins(mod, console):
    class IntCosts(mod.Positions):
        def _Positions__calculate_trade_cost(self, code, action, price, quantity, product_type, ignore_tax=False, is_cover=True):
            return {"fee": 1, "tax": 0, "fixed_cost": 2, "qty": quantity, "min_qty": quantity * 1000,
                    "price": int(price), "origin_price": price}  # fmt: skip

    p = IntCosts()
    p.set_positions(fill("Buy", 1, 100), "Stock")
    p.set_positions(fill("Sell", 1, 103, ts=2.0), "Stock")
    assert p.current_capital == 100000 - 100003 + (103000 - 3) and type(p.current_capital) is int
    assert type(p._profit_report["profit"]) is int and p._profit_report["profit"] == 3000 - 6
    assert type(p._profit_report["rows"][0]["profit_ratio"]) is float


def test_trade_cost_and_profit_go_through_attribute_lookup(mod, console):
    calls = []

    class Spy(mod.Positions):
        def _Positions__calculate_trade_cost(self, *args, **kw):
            calls.append((args, kw))
            return super()._Positions__calculate_trade_cost(*args, **kw)

    p = Spy()
    p.set_positions(fill("Sell", 2, 100, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, 90, ts=2.0), "Stock")
    assert calls == [
        (("2330", "Sell", 100, 2, "Stock"), {"ignore_tax": True, "is_cover": True}),
        (("2330", "Buy", 90, 1, "Stock"), {"is_cover": True}),
        (("2330", "Sell", 100, 1, "Stock"), {"ignore_tax": True, "is_cover": True}),
    ]
    seen = []
    p._Positions__calculate_profit = lambda cp, pt: seen.append(cp) or {
        "receivable_total": 0, "payable_total": 0, "origin_profit": 0, "cover_cost_total": 0,
        "trade_cost_total": 0, "cost": 0, "profit": 5, "is_covered": True, "un_cover_qty": 0,
    }  # fmt: skip
    p.set_positions(fill("Buy", 1, 90, ts=3.0), "Stock")
    assert seen and seen[0]["exchange_ts"] == 3.0 and p._profit_report["profit"] == pytest.approx(
        sum(r["profit"] for r in p._profit_report["rows"]) + 5
    )


def test_action_buy_value_read_from_collaborator(p, mod, monkeypatch):
    p.set_positions(fill("Sell", 1), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Stock")  # opens nothing: covers with the genuine Action
    p.set_positions(fill("Sell", 1, ts=3.0), "Stock")
    monkeypatch.setattr(mod, "Action", types.SimpleNamespace(BUY=types.SimpleNamespace(value="Sell")))
    # "Buy" is no longer the buy action: the cover looks at the long side, which is empty
    res = p._Positions__calculate_profit(fill("Buy", 1, ts=4.0), "Stock")
    assert res["is_covered"] is False and p.positions["2330"]["sell"][0]["quantity"] == 1
    res = p._Positions__calculate_profit(fill("Sell", 1, 90, ts=5.0), "Stock")
    assert res["is_covered"] is True and p.positions["2330"]["sell"] == []
    assert res["origin_profit"] > 0  # valued as a short lot: entry above cover


# ---- all or nothing


def _bad(**changes):
    t = fill("Sell", 3, 100, ts=5.0)
    for k, v in changes.items():
        if v is KeyError:
            del t[k]
        else:
            t[k] = v
    return t


@pytest.mark.parametrize(
    "trade, ptype, exc, text",
    [
        (_bad(code=KeyError), "Stock", KeyError, "'code'"),
        (_bad(code=2330), "Stock", TypeError, "Argument 'code' has incorrect type (expected str, got int)"),
        (_bad(action=KeyError), "Stock", KeyError, "'action'"),
        (_bad(price=KeyError), "Stock", KeyError, "'price'"),
        (_bad(price="100"), "Stock", TypeError, "must be real number, not str"),
        (_bad(quantity=KeyError), "Stock", KeyError, "'quantity'"),
        (_bad(quantity=3.0), "Stock", TypeError, "Argument 'quantity' has incorrect type (expected int, got float)"),
        (_bad(quantity=-2), "Stock", ValueError, "不支援的數量: -2"),
        (_bad(exchange_ts=KeyError), "Stock", KeyError, "'exchange_ts'"),
        (_bad(), "stock", Exception, "不支援的商品類型: stock"),
        (_bad(code="NEW"), "Option", Exception, "不支援的商品類型: Option"),
        (_bad(action="Hold", code="NEW"), "Stock", ValueError, "不支援的交易動作: Hold"),
        (_bad(action="sell", price=KeyError), "Stock", ValueError, "不支援的交易動作: sell"),
    ],
)
def test_rejected_fill_changes_nothing(p, trade, ptype, exc, text):
    p.set_positions(fill("Buy", 1, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Stock")
    before = ledger_state(p)
    with pytest.raises(exc) as info:
        p.set_positions(trade, ptype)
    assert type(info.value) is exc and str(info.value) == text
    assert ledger_state(p) == before


def test_checked_type_errors_match_the_parser(p):
    with pytest.raises(TypeError) as direct:
        p._Positions__calculate_trade_cost("2330", "Buy", 1.0, True, "Stock")
    with pytest.raises(TypeError) as via_fill:
        p.set_positions(fill("Buy", True), "Stock")
    assert str(via_fill.value) == str(direct.value) and "Note" in str(direct.value)


@pytest.mark.parametrize("fail_at", [1, 2, 3, 4, 5])
def test_failing_cost_mid_cover_changes_nothing(mod, console, fail_at):
    class Flaky(mod.Positions):
        calls = None  # counting once armed

        def _Positions__calculate_trade_cost(self, *args, **kw):
            if Flaky.calls is not None:
                Flaky.calls += 1
            if Flaky.calls == fail_at:
                raise RuntimeError("cost")
            return super()._Positions__calculate_trade_cost(*args, **kw)

    p = Flaky()
    p.set_positions(fill("Buy", 1, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, ts=2.0), "Stock")
    before = ledger_state(p)
    Flaky.calls = 0
    with pytest.raises(RuntimeError):
        p.set_positions(fill("Sell", 3, ts=3.0), "Stock")  # 2 pairs (4 costs) and the rest (1)
    assert ledger_state(p) == before


def test_failing_console_changes_nothing(p, mod, monkeypatch):
    p.set_positions(fill("Buy", 2, ts=1.0), "Stock")
    before = ledger_state(p)

    class Broken:
        def print(self, text):
            if "[bold red]" in text:
                raise OSError("console")

    monkeypatch.setattr(mod, "console", Broken())
    with pytest.raises(OSError):
        p.set_positions(fill("Sell", 3, ts=2.0), "Stock")
    with pytest.raises(OSError):
        p.set_positions(fill("Sell", 1, code="NEW", ts=2.0), "Stock")
    assert ledger_state(p) == before


def test_uncopyable_fill_changes_nothing(p):
    before = ledger_state(p)
    with pytest.raises(TypeError):
        p.set_positions(fill("Buy", 1, code="NEW", gen=(x for x in [])), "Stock")
    assert ledger_state(p) == before


@pytest.mark.parametrize("where", ["module global", "copy module"])
def test_deepcopy_goes_through_module_global(p, mod, monkeypatch, where):
    copies = []
    genuine = copy.deepcopy

    def spy(obj, memo=None):
        copies.append(obj)
        return genuine(obj, memo)

    p.set_positions(fill("Buy", 1, code="WARM"), "Stock")  # an earlier fill found the genuine one
    if where == "module global":
        monkeypatch.setattr(mod, "copy", types.SimpleNamespace(deepcopy=spy))
    else:
        monkeypatch.setattr(copy, "deepcopy", spy)
    t = fill("Buy", 1)
    p.set_positions(t, "Stock")
    assert copies == [t] and p.positions["2330"]["buy"][0] is not t


# ---- position queries


def queued(p, account, detail=False):
    assert p.fetch_positions(account, detail) is None
    return p.pop_positions()


def test_summary_and_detail(p, mod, console):
    p.set_positions(fill("Buy", 2, 100, code="0050", ts=1.0), "Stock")
    p.set_positions(fill("Buy", 1, 130, code="0050", ts=2.0), "Stock")
    p.set_positions(fill("Sell", 1, 17000, code="ZZF", ts=3.0, ptype="Future"), "Future")
    p.set_positions(fill("Buy", 2, 17000, code="TXF", ts=4.0, ptype="Future"), "Future")
    p.set_current_tick({"code": "0050", "close": 101})
    p.set_current_tick({"code": "ZZF", "close": 17010})
    p.set_current_tick({"code": "TXF", "close": 16990.5})
    (s,) = queued(p, "Stock")
    assert list(s) == ["code", "quantity", "avg_price", "pnl", "cond", "margin_purchase_amount", "collateral",
                       "short_sale_margin", "interest"]  # fmt: skip
    assert s["quantity"] == 3 and s["avg_price"] == 110.0  # (2*100 + 130) / 3, weighted
    assert s["pnl"] == 1 * 2 * 1000 + (-29) * 1 * 1000 and type(s["pnl"]) is int
    assert s["cond"] is mod.OrderCond.CASH
    fut = queued(p, "Future")
    assert [list(x) for x in fut] == [["code", "quantity", "avg_price", "pnl"]] * 2
    assert fut[0]["pnl"] == -10 * 1 * 2000  # short lot, contract value of an unknown code
    assert fut[1]["pnl"] == -9.5 * 2 * 200
    details = queued(p, "Stock", True)
    assert [list(d) for d in details] == [["date", "code", "quantity", "cost", "pnl", "fee", "trade_id",
                                           "margin_purchase_amount", "collateral"]] * 2  # fmt: skip
    assert [(d["date"], d["quantity"], d["cost"], d["pnl"]) for d in details] == [(1.0, 2, 100, 2000), (2.0, 1, 130, -29000)]
    fd = queued(p, "Future", True)
    assert len(fd[0]) == 7 and fd[0]["trade_id"] == "Sell-3.0"
    assert not any("[red]" in line for line in console.lines)


def test_single_lot_average_is_its_price(p):
    p.set_positions(fill("Buy", 2, 100), "Stock")
    assert queued(p, "Stock")[0]["avg_price"] == 100.0


def test_lots_without_tick(p, console):
    p.set_positions(fill("Buy", 1, ts=1.0), "Stock")
    p.set_positions(fill("Buy", 2, ts=2.0), "Stock")
    lines = len(console.lines)
    (s,) = queued(p, "Stock")
    assert s["pnl"] == 0 and s["quantity"] == 3
    assert p.current_tick_infos == {"2330": None}
    assert console.lines[lines:] == ["[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]"] * 2
    assert [d["pnl"] for d in queued(p, "Stock", True)] == [0, 0]
    p.set_current_tick({"code": "2330", "close": 100})
    assert queued(p, "Stock")[0]["pnl"] == 0 and len(console.lines) == lines + 4


def test_empty_and_zero_lots(p):
    assert queued(p, "Future") == []
    p.set_positions(fill("Buy", 0), "Stock")
    assert queued(p, "Stock") == [] and queued(p, "Stock", True) == []


def test_long_and_short_quantities_add_up(p, mod):
    p.positions["X"] = {"buy": [fill("Buy", 1, code="X")], "sell": [fill("Sell", 1, code="X", ts=2.0)]}
    p.product_type_mapper["X"] = "Stock"
    assert queued(p, "Stock")[0]["quantity"] == 2


def test_query_errors(p):
    with pytest.raises(Exception) as e:
        p.fetch_positions("stock")
    assert str(e.value) == "不支援的帳戶類型: stock"
    p.positions["X"] = {"buy": [fill("Buy", 1, code="X", ptype="Bond")], "sell": []}
    p.product_type_mapper["X"] = "Stock"
    queued(p, "Stock")  # no tick: the product type is never looked at
    with pytest.raises(Exception) as e:
        p.fetch_positions("Stock", True)
    assert str(e.value) == "不支援的商品類型: Bond"
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        p._Positions__format_position_summary(None)


def test_format_methods_looked_up_on_self(mod, console):
    class Custom(mod.Positions):
        def _Positions__format_position_summary(self, product_type):
            return {"summary": product_type}

    p = Custom()
    p.fetch_positions("Future")
    assert p.pop_positions() == {"summary": "Future"}


# ---- console text


SCALARS = [0.0, -0.0, 1e16, 9999999999999998.0, 1e-4, 1e-5, 0.1 + 0.2, 5e-324, 1.7976931348623157e308,
           float("inf"), float("-inf"), float("nan"), 123.456, -2.5e-7, 10**30, -(2**63), 2**63, True, None,
           "it's", "a\\b", "\ud800", "中"]  # fmt: skip


def _line_for(mod, console, value):
    class Odd(mod.Positions):
        def _Positions__calculate_trade_cost(self, code, action, price, quantity, product_type, ignore_tax=False, is_cover=True):
            return {"fee": 0.0, "tax": value, "fixed_cost": 0, "qty": quantity, "min_qty": quantity,
                    "price": value, "origin_price": price, "x": value}  # fmt: skip

    p = Odd()
    p.positions["C"] = {"buy": [fill("Buy", 1, code="C")], "sell": []}
    try:
        p._Positions__calculate_profit(fill("Sell", 1, code="C"), "Stock")
    except TypeError:
        pass  # a str price cannot be summed: the blue line is out already
    return console.lines[0]


@pytest.mark.parametrize("value", SCALARS, ids=repr)
def test_console_values_render_as_python_does(mod, console, value):
    d = {"fee": 0.0, "tax": value, "fixed_cost": 0, "qty": 1, "min_qty": 1, "price": value, "origin_price": 100,
         "x": value}  # fmt: skip
    assert _line_for(mod, console, value) == f"[blue]{d}, 沖銷部位方向: Sell[/blue]"


def test_float_text_matches_repr_for_random_doubles(mod, console):
    import random
    import struct

    rng = random.Random(7)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(3000)] + [round(rng.uniform(0, 1000), 2) for _ in range(3000)]
    # Each again in another order, so texts already written are written again
    # after others took their place; and values whose bits differ by little.
    again = values[:]
    rng.shuffle(again)
    values += again + [0.0, -0.0, 0.0, -0.0, float("nan"), -float("nan"), 5e-324, -5e-324, 1e16, 1e16 - 2]
    p = mod.Positions()
    for i, v in enumerate(values):
        p.current_capital = v  # shown as 本金 on the entry line
        p.set_positions(fill("Buy", 1, code=f"F{i}"), "Stock")
        assert console.lines[-2].startswith(f"[bold pink1][做多進場]本金: {v}, "), v


@pytest.mark.parametrize(
    "prices, close",
    [
        ([2**62, 2**62], 2**62 + 1),  # int sums that leave 64 bits
        ([10**25, 1.5], 3),
        ([100, 100.25], 101),
        ([1, 2], 2**63 - 1),
        ([1.0, 2], float("inf")),
        ([-5, 2**30 + 1], -3),  # negative one-digit and two-digit ints
        ([0, 2**30 - 1], 0),
    ],
)
def test_query_numbers_follow_python(p, mod, prices, close):
    from fractions import Fraction

    from ledger_model import LedgerModel

    model = LedgerModel(None, None, mod.OrderCond.CASH)
    for i, price in enumerate(prices + [Fraction(3, 2)]):
        for book in (p.positions, model.positions):
            book.setdefault("X", {"buy": [], "sell": []})["buy" if i % 2 else "sell"].append(
                fill("Buy", 3 + i, price, code="X", ts=float(i))
            )
    p.product_type_mapper["X"] = model.product_type_mapper["X"] = "Stock"
    p.set_current_tick({"code": "X", "close": close})
    model.set_current_tick({"code": "X", "close": close})
    for detail in (False, True):
        want = model.format_detail("Stock") if detail else model.format_summary("Stock")
        assert repr(queued(p, "Stock", detail)) == repr(want)


@pytest.mark.parametrize("code", ["A1", "é1", "中1", "😀1", "\ud8001"])
def test_console_lines_are_canonical_str(p, console, code):
    """Lines compare equal to the same text built by the interpreter, whatever
    the widest character in them."""
    p.set_positions(fill("Buy", 1, code=code), "Stock")
    p.set_positions(fill("Sell", 1, code=code, ts=2.0), "Stock")
    for line in console.lines:
        assert line == "".join(list(line))
    assert console.lines[-1].startswith(f"[bold red][回測] 沖銷 {code} 1 張, 損益: ")
