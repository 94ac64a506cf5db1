"""Plain-Python rendering of the position book and the position queries
(benchmarks only). The trade cost is the plain-Python one of baseline_costs.

Same behaviour as the native ledger on valid fills: the fill is checked
first, an uncovered rest is opened at its cost, short covers return the entry
amount plus the gross profit less the buy-back's costs, a zero entry base
gives a ratio of 0.0, and the summary's average price is weighted.
"""

import copy
import math
import queue
from enum import Enum

import baseline_costs


class OrderCond(Enum):
    CASH = "Cash"


class _Console:
    def print(self, text):
        pass


console = _Console()  # the bench replaces it


class Positions(baseline_costs.Positions):
    def __init__(self):
        super().__init__()
        self.positions = {}
        self.product_type_mapper = {}
        self.current_tick_infos = {}
        self.fetch_position_queue = queue.Queue()
        self.current_capital = 100000
        self._profit_report = {"profit": 0, "rows": []}
        self._account_infos = {}

    def __init_account_info(self):
        return {"entry_times": 0, "cover_times": 0, "receive_amount": 0, "payable_amount": 0,
                "net_profit": 0, "extra_fee": 0, "profit": 0}  # fmt: skip

    def set_current_tick(self, tick):
        self.current_tick_infos[tick["code"]] = tick

    def __calculate_profit(self, cover_position, product_type):
        origin_profit = profit = cost = 0
        un_cover_qty = cover_position["quantity"]
        if cover_position["action"] == "Buy":
            target = self.positions[cover_position["code"]]["sell"]
        else:
            target = self.positions[cover_position["code"]]["buy"]
        payable_total = receivable_total = cover_cost_total = trade_cost_total = 0
        while un_cover_qty > 0 and target:
            lot = target[0]
            matched = lot["quantity"] if lot["quantity"] < un_cover_qty else un_cover_qty
            cover_cost_info = self.__calculate_trade_cost(
                cover_position["code"], cover_position["action"], cover_position["price"], matched, product_type,
                is_cover=True,
            )  # fmt: skip
            console.print(f"[blue]{cover_cost_info}, 沖銷部位方向: {cover_position['action']}[/blue]")
            cover_cost = cover_cost_info["fee"] + cover_cost_info["tax"] + cover_cost_info["fixed_cost"]
            cover_cost_total += cover_cost
            receivable_amount = cover_cost_info["price"] * cover_cost_info["min_qty"]
            cost_info = self.__calculate_trade_cost(
                lot["code"], lot["action"], lot["price"], matched, product_type, ignore_tax=True, is_cover=True
            )
            console.print(f"[yellow]被沖銷的成本資訊: {cost_info}, 沖銷部位方向: {lot['action']}[/yellow]")
            trade_cost = cost_info["fee"] + cost_info["tax"] + cost_info["fixed_cost"]
            trade_cost_total += trade_cost
            payable_amount = cost_info["price"] * cost_info["min_qty"]
            if cover_position["action"] == "Buy":
                origin_profit += payable_amount - receivable_amount
                cover_profit = (payable_amount - receivable_amount) - (cover_cost + trade_cost)
            else:
                origin_profit += receivable_amount - payable_amount
                cover_profit = (receivable_amount - payable_amount) - (cover_cost + trade_cost)
            base = payable_amount + trade_cost
            profit_ratio = cover_profit / base if base != 0 else 0.0
            profit += cover_profit
            cost += cover_cost + trade_cost
            self._profit_report["rows"].append({
                "code": cover_position["code"],
                "entry_dt": lot["exchange_ts"],
                "entry_price": cost_info["price"],
                "entry_origin_price": cost_info["origin_price"],
                "exit_dt": cover_position["exchange_ts"],
                "exit_price": cover_cost_info["price"],
                "exit_origin_price": cover_cost_info["origin_price"],
                "qty": cost_info["qty"],
                "min_qty": cost_info["min_qty"],
                "trade_cost": trade_cost,
                "cover_cost": cover_cost,
                "profit": cover_profit,
                "profit_ratio": profit_ratio,
            })  # fmt: skip
            un_cover_qty -= matched
            lot["quantity"] -= matched
            if target[0]["quantity"] == 0:
                target.pop(0)
            receivable_total += receivable_amount
            payable_total += payable_amount
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

    def __open(self, cover_position, product_type, tmp, side):
        self._account_infos[cover_position["code"]]["entry_times"] += 1
        cost_info = self.__calculate_trade_cost(
            cover_position["code"], cover_position["action"], cover_position["price"], cover_position["quantity"],
            product_type, ignore_tax=True, is_cover=True,
        )  # fmt: skip
        self.current_capital -= cost_info["price"] * cost_info["min_qty"] + cost_info["fee"] + cost_info["fixed_cost"]
        console.print(
            f"[bold pink1][{side}進場]本金: {tmp}, 應付金額: {cost_info['price'] * cost_info['min_qty']}, "
            f"進場成本: {cost_info['fee'] + cost_info['fixed_cost']}[/bold pink1]"
        )
        return cost_info

    def set_positions(self, trade: dict, product_type):
        code = trade["code"]
        if type(code) is not str:
            raise TypeError("code")
        cover_position = copy.deepcopy(trade)
        if cover_position["action"] not in ("Buy", "Sell"):
            raise ValueError(f"不支援的交易動作: {cover_position['action']}")
        math.isfinite(cover_position["price"])
        if type(cover_position["quantity"]) is not int:
            raise TypeError("quantity")
        if cover_position["quantity"] < 0:
            raise ValueError(f"不支援的數量: {cover_position['quantity']}")
        cover_position["exchange_ts"]
        if product_type != "Stock" and product_type != "Future":
            raise Exception(f"不支援的商品類型: {product_type}")
        unit = "張" if product_type == "Stock" else "口"
        self.positions.setdefault(code, {"buy": [], "sell": []})
        self.product_type_mapper.setdefault(code, product_type)
        if code not in self._account_infos:
            self._account_infos[code] = self.__init_account_info()
        is_covered = False
        tmp = self.current_capital
        if cover_position["action"] == "Buy":
            own, other, end = "buy", "sell", "[/bold red]"
        else:
            own, other, end = "sell", "buy", " [/bold red]"
        if self.positions[code][other]:
            profit = self.__calculate_profit(cover_position, product_type)
            self._profit_report["profit"] += profit["profit"]
            is_covered = bool(profit["is_covered"])
            if not is_covered:
                cover_position["quantity"] = profit["un_cover_qty"]
            info = self._account_infos[code]
            info["receive_amount"] += profit["receivable_total"]
            info["payable_amount"] += profit["payable_total"]
            info["extra_fee"] += profit["cost"]
            info["profit"] += profit["profit"]
            info["net_profit"] += profit["origin_profit"]
            info["cover_times"] += 1
            if own == "buy":
                self.current_capital += profit["payable_total"] + profit["origin_profit"] - profit["cover_cost_total"]
                kind, rest_kind = "做空", "做多"
            else:
                self.current_capital += profit["receivable_total"] - profit["cover_cost_total"]
                kind, rest_kind = "做多", "做空"
            console.print(
                f"[bold yellow][{kind}沖銷]本金: {tmp}, 應收金額: {profit['receivable_total']}, "
                f"沖銷成本: {profit['cover_cost_total']}[/bold yellow]"
            )
            if not is_covered:
                self.__open(cover_position, product_type, tmp, rest_kind)
            trade_message = f"[bold red][回測] 沖銷 {code} {cover_position['quantity']} {unit}, 損益: {profit['profit']}{end}"
        else:
            cost_info = self.__open(cover_position, product_type, tmp, "做多" if own == "buy" else "做空")
            trade_message = (
                f"[bold red][回測] 進場 {code} {cover_position['quantity']} {unit}, 價格: {cover_position['price']}, "
                f"手續費: {cost_info['fee']}, 交易稅: {cost_info['tax']}, 固定成本: {cost_info['fixed_cost']}{end}"
            )
        if not is_covered:
            self.positions[code][own].append(cover_position)
        console.print(trade_message)

    # ---- queries

    def __unit_value(self, code, position):
        if position["product_type"] == "Stock":
            return 1000
        if position["product_type"] == "Future":
            return self._Positions__apply_future_contract_value(code)
        raise Exception(f"不支援的商品類型: {position['product_type']}")

    def __format_position_summary(self, product_type: str):
        target_codes = [code for code in self.positions if self.product_type_mapper[code] == product_type]
        result = []
        for code in target_codes:
            if code not in self.positions:
                continue
            pnl = quantity = total_price = 0
            if code not in self.current_tick_infos:
                self.current_tick_infos[code] = None
            for action in ("buy", "sell"):
                for position in self.positions[code].get(action, []):
                    if position["quantity"] == 0:
                        continue
                    quantity += position["quantity"]
                    total_price += position["price"] * position["quantity"]
                    if not self.current_tick_infos[code]:
                        console.print("[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")
                        continue
                    unit_value = self.__unit_value(code, position)
                    price_diff = self.current_tick_infos[code]["close"] - position["price"]
                    pnl += (
                        price_diff * position["quantity"] if action == "buy" else -price_diff * position["quantity"]
                    ) * unit_value
            if quantity == 0:
                continue
            summary = {
                "code": code,
                "quantity": quantity,
                "avg_price": round(total_price / quantity, 2) if quantity > 0 else 0,
                "pnl": pnl,
            }
            if product_type == "Stock":
                summary.update({"cond": OrderCond.CASH, "margin_purchase_amount": 0, "collateral": 0,
                                "short_sale_margin": 0, "interest": 0})  # fmt: skip
            result.append(summary)
        return result

    def __format_position_detail(self, product_type: str):
        target_codes = [code for code in self.positions if self.product_type_mapper[code] == product_type]
        result = []
        for code in target_codes:
            if code not in self.current_tick_infos:
                self.current_tick_infos[code] = None
            for action in ("buy", "sell"):
                for position in self.positions[code].get(action, []):
                    if position["quantity"] == 0:
                        continue
                    unit_value = self.__unit_value(code, position)
                    if self.current_tick_infos[code]:
                        price_diff = self.current_tick_infos[code]["close"] - position["price"]
                        if action == "buy":
                            pnl = price_diff * position["quantity"] * unit_value
                        else:
                            pnl = (-price_diff) * position["quantity"] * unit_value
                    else:
                        pnl = 0
                        console.print("[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")
                    detail = {
                        "date": position["exchange_ts"],
                        "code": code,
                        "quantity": position["quantity"],
                        "cost": position["price"],
                        "pnl": pnl,
                        "fee": 0,
                        "trade_id": position["trade_id"],
                    }
                    if product_type == "Stock":
                        detail.update({"margin_purchase_amount": 0, "collateral": 0})
                    result.append(detail)
        return result

    def fetch_positions(self, account_type, fetch_detail=False):
        if account_type not in ["Stock", "Future"]:
            raise Exception(f"不支援的帳戶類型: {account_type}")
        if fetch_detail:
            positions = self.__format_position_detail(account_type)
        else:
            positions = self.__format_position_summary(account_type)
        self.add_positions_to_queue(positions)

    def add_positions_to_queue(self, positions):
        if not isinstance(positions, (list, dict)):
            raise Exception(f"不支援的持有部位格式: {type(positions)}")
        self.fetch_position_queue.put(positions)

    def pop_positions(self):
        return self.fetch_position_queue.get()
