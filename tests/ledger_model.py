"""Plain-Python rendering of the position ledger, the yardstick for the tests.

It follows the documented algorithms step by step, with the mended
behaviour: fills are all or nothing (checked first, rolled back on any later
error), an uncovered rest is opened and paid for like an opening fill, short
covers return the entry amount plus the gross profit less the buy-back's
costs, a zero entry base gives a profit ratio of 0.0, and the summary's
average price is weighted by quantity.
"""

import copy
import math

SUBCLASS_NOTE = "Note that subclasses of built-in types are rejected here; pass an exact instance"


def arg_type_error(name, expected, value):
    msg = f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    if isinstance(value, expected):
        msg += ". " + SUBCLASS_NOTE
    return TypeError(msg)


# ---- the ledger


class LedgerModel:
    # Fills are taken back whole on an error; the benchmarks' baseline
    # measures the algorithm alone.
    rollback = True

    def __init__(self, trade_cost, contract_value, order_cond_cash, buy_value="Buy"):
        self.trade_cost = trade_cost
        self.contract_value = contract_value
        self.order_cond_cash = order_cond_cash
        self.buy_value = buy_value
        self.positions = {}
        self.product_type_mapper = {}
        self.current_tick_infos = {}
        self.current_capital = 100000
        self._profit_report = {"profit": 0, "rows": []}
        self._account_infos = {}
        self.queue = []
        self.lines = []

    def print(self, text):
        self.lines.append(text)

    @staticmethod
    def init_account_info():
        return dict.fromkeys(
            ["entry_times", "cover_times", "receive_amount", "payable_amount", "net_profit", "extra_fee", "profit"], 0
        )

    def state(self):
        # Lots change only in "quantity" and rows are only ever appended.
        books = {code: {side: [(lot, lot["quantity"]) for lot in lots] for side, lots in book.items()}
                 for code, book in self.positions.items()}  # fmt: skip
        return (books, dict(self.product_type_mapper), copy.deepcopy(self._account_infos),
                self._profit_report["profit"], len(self._profit_report["rows"]), self.current_capital)  # fmt: skip

    def restore(self, saved):
        books, self.product_type_mapper, self._account_infos, profit, nrows, self.current_capital = saved
        self.positions = {}
        for code, book in books.items():
            self.positions[code] = {side: [lot for lot, _ in lots] for side, lots in book.items()}
            for lots in book.values():
                for lot, qty in lots:
                    lot["quantity"] = qty
        self._profit_report["profit"] = profit
        del self._profit_report["rows"][nrows:]

    # -- fills

    def set_positions(self, trade, product_type):
        code = trade["code"]
        if type(code) is not str:
            raise arg_type_error("code", str, code)
        cp = copy.deepcopy(trade)
        action = cp["action"]
        if type(action) is not str or action not in ("Buy", "Sell"):
            raise ValueError(f"不支援的交易動作: {action}")
        price = cp["price"]
        if type(price) is not float:
            math.isfinite(price)  # the float conversion's own TypeError
        quantity = cp["quantity"]
        if type(quantity) is not int:
            raise arg_type_error("quantity", int, quantity)
        if quantity < 0:
            raise ValueError(f"不支援的數量: {quantity}")
        cp["exchange_ts"]
        if product_type != "Stock" and product_type != "Future":
            raise Exception(f"不支援的商品類型: {product_type}")
        if not self.rollback:
            self._apply(code, cp, product_type)
            return
        saved = self.state()
        lines = len(self.lines)
        try:
            self._apply(code, cp, product_type)
        except BaseException:
            self.restore(saved)
            del self.lines[lines:]
            raise

    def _open(self, cp, product_type, tmp, buy):
        self._account_infos[cp["code"]]["entry_times"] += 1
        ci = self.trade_cost(
            cp["code"], cp["action"], cp["price"], cp["quantity"], product_type, ignore_tax=True, is_cover=True
        )
        self.current_capital -= ci["price"] * ci["min_qty"] + ci["fee"] + ci["fixed_cost"]
        side = "做多" if buy else "做空"
        self.print(
            f"[bold pink1][{side}進場]本金: {tmp}, 應付金額: {ci['price'] * ci['min_qty']}, "
            f"進場成本: {ci['fee'] + ci['fixed_cost']}[/bold pink1]"
        )
        return ci

    def _apply(self, code, cp, product_type):
        unit = "張" if product_type == "Stock" else "口"
        self.positions.setdefault(code, {"buy": [], "sell": []})
        self.product_type_mapper.setdefault(code, product_type)
        if code not in self._account_infos:
            self._account_infos[code] = self.init_account_info()
        is_covered = False
        tmp = self.current_capital
        buy = cp["action"] == "Buy"
        own, other = ("buy", "sell") if buy else ("sell", "buy")
        end = "[/bold red]" if buy else " [/bold red]"
        if self.positions[code][other]:
            profit = self.calculate_profit(cp, product_type)
            self._profit_report["profit"] += profit["profit"]
            is_covered = bool(profit["is_covered"])
            if not is_covered:
                cp["quantity"] = profit["un_cover_qty"]
            info = self._account_infos[code]
            info["receive_amount"] += profit["receivable_total"]
            info["payable_amount"] += profit["payable_total"]
            info["extra_fee"] += profit["cost"]
            info["profit"] += profit["profit"]
            info["net_profit"] += profit["origin_profit"]
            info["cover_times"] += 1
            if buy:
                self.current_capital += profit["payable_total"] + profit["origin_profit"] - profit["cover_cost_total"]
            else:
                self.current_capital += profit["receivable_total"] - profit["cover_cost_total"]
            side = "做空" if buy else "做多"
            self.print(
                f"[bold yellow][{side}沖銷]本金: {tmp}, 應收金額: {profit['receivable_total']}, "
                f"沖銷成本: {profit['cover_cost_total']}[/bold yellow]"
            )
            if not is_covered:
                self._open(cp, product_type, tmp, buy)
            msg = f"[bold red][回測] 沖銷 {code} {cp['quantity']} {unit}, 損益: {profit['profit']}{end}"
        else:
            ci = self._open(cp, product_type, tmp, buy)
            msg = (
                f"[bold red][回測] 進場 {code} {cp['quantity']} {unit}, 價格: {cp['price']}, "
                f"手續費: {ci['fee']}, 交易稅: {ci['tax']}, 固定成本: {ci['fixed_cost']}{end}"
            )
        if not is_covered:
            self.positions[code][own].append(cp)
        self.print(msg)

    def calculate_profit(self, cp, product_type):
        origin_profit = profit = cost = 0
        un_cover_qty = cp["quantity"]
        if cp["action"] == self.buy_value:
            target = self.positions[cp["code"]]["sell"]
        else:
            target = self.positions[cp["code"]]["buy"]
        payable_total = receivable_total = cover_cost_total = trade_cost_total = 0
        while un_cover_qty > 0 and target:
            lot = target[0]
            matched = lot["quantity"] if lot["quantity"] < un_cover_qty else un_cover_qty
            ci = self.trade_cost(cp["code"], cp["action"], cp["price"], matched, product_type, is_cover=True)
            self.print(f"[blue]{ci}, 沖銷部位方向: {cp['action']}[/blue]")
            cover_cost = ci["fee"] + ci["tax"] + ci["fixed_cost"]
            cover_cost_total += cover_cost
            receivable = ci["price"] * ci["min_qty"]
            ei = self.trade_cost(
                lot["code"], lot["action"], lot["price"], matched, product_type, ignore_tax=True, is_cover=True
            )
            self.print(f"[yellow]被沖銷的成本資訊: {ei}, 沖銷部位方向: {lot['action']}[/yellow]")
            trade_cost = ei["fee"] + ei["tax"] + ei["fixed_cost"]
            trade_cost_total += trade_cost
            payable = ei["price"] * ei["min_qty"]
            if cp["action"] == self.buy_value:
                origin_profit += payable - receivable
                cover_profit = (payable - receivable) - (cover_cost + trade_cost)
            else:
                origin_profit += receivable - payable
                cover_profit = (receivable - payable) - (cover_cost + trade_cost)
            base = payable + trade_cost
            ratio = 0.0 if base == 0 else cover_profit / base
            profit += cover_profit
            cost += cover_cost + trade_cost
            self._profit_report["rows"].append(
                {
                    "code": cp["code"],
                    "entry_dt": lot["exchange_ts"],
                    "entry_price": ei["price"],
                    "entry_origin_price": ei["origin_price"],
                    "exit_dt": cp["exchange_ts"],
                    "exit_price": ci["price"],
                    "exit_origin_price": ci["origin_price"],
                    "qty": ei["qty"],
                    "min_qty": ei["min_qty"],
                    "trade_cost": trade_cost,
                    "cover_cost": cover_cost,
                    "profit": cover_profit,
                    "profit_ratio": ratio,
                }
            )
            un_cover_qty -= matched
            lot["quantity"] -= matched
            if target[0]["quantity"] == 0:
                target.pop(0)
            receivable_total += receivable
            payable_total += payable
        return {
            "receivable_total": receivable_total,
            "payable_total": payable_total,
            "origin_profit": origin_profit,
            "cover_cost_total": cover_cost_total,
            "trade_cost_total": trade_cost_total,
            "cost": cost,
            "profit": profit,
            "is_covered": un_cover_qty == 0,
            "un_cover_qty": un_cover_qty,
        }

    # -- queries

    def set_current_tick(self, tick):
        self.current_tick_infos[tick["code"]] = tick

    def _unit_value(self, code, lot):
        if lot["product_type"] == "Stock":
            return 1000
        if lot["product_type"] == "Future":
            return self.contract_value(code)
        raise Exception(f"不支援的商品類型: {lot['product_type']}")

    def fetch_positions(self, account_type, fetch_detail=False):
        if account_type not in ("Stock", "Future"):
            raise Exception(f"不支援的帳戶類型: {account_type}")
        if fetch_detail:
            self.hand_over(self.format_detail(account_type))
        else:
            self.hand_over(self.format_summary(account_type))

    def hand_over(self, positions):
        self.queue.append(positions)

    def _codes(self, product_type):
        return [c for c in self.positions if self.product_type_mapper[c] == product_type]

    def format_summary(self, product_type):
        result = []
        for code in self._codes(product_type):
            pnl = quantity = weighted = 0
            if code not in self.current_tick_infos:
                self.current_tick_infos[code] = None
            for action in ("buy", "sell"):
                for lot in self.positions[code].get(action, []):
                    if lot["quantity"] == 0:
                        continue
                    quantity += lot["quantity"]
                    weighted += lot["price"] * lot["quantity"]
                    if not self.current_tick_infos[code]:
                        self.print("[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")
                        continue
                    unit = self._unit_value(code, lot)
                    diff = self.current_tick_infos[code]["close"] - lot["price"]
                    pnl += (diff * lot["quantity"] if action == "buy" else -diff * lot["quantity"]) * unit
            if quantity == 0:
                continue
            summary = {
                "code": code,
                "quantity": quantity,
                "avg_price": round(weighted / quantity, 2) if quantity > 0 else 0,
                "pnl": pnl,
            }
            if product_type == "Stock":
                summary.update(
                    {
                        "cond": self.order_cond_cash,
                        "margin_purchase_amount": 0,
                        "collateral": 0,
                        "short_sale_margin": 0,
                        "interest": 0,
                    }
                )
            result.append(summary)
        return result

    def format_detail(self, product_type):
        result = []
        for code in self._codes(product_type):
            if code not in self.current_tick_infos:
                self.current_tick_infos[code] = None
            for action in ("buy", "sell"):
                for lot in self.positions[code].get(action, []):
                    if lot["quantity"] == 0:
                        continue
                    unit = self._unit_value(code, lot)
                    if self.current_tick_infos[code]:
                        diff = self.current_tick_infos[code]["close"] - lot["price"]
                        if action == "buy":
                            pnl = diff * lot["quantity"] * unit
                        else:
                            pnl = (-diff) * lot["quantity"] * unit
                    else:
                        pnl = 0
                        self.print("[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")
                    detail = {
                        "date": lot["exchange_ts"],
                        "code": code,
                        "quantity": lot["quantity"],
                        "cost": lot["price"],
                        "pnl": pnl,
                        "fee": 0,
                        "trade_id": lot["trade_id"],
                    }
                    if product_type == "Stock":
                        detail.update({"margin_purchase_amount": 0, "collateral": 0})
                    result.append(detail)
        return result

