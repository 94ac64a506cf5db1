"""Plain-Python rendering of the tick ladder, slippage and trade cost: the
yardstick of the tests and the baseline of the benchmarks (bench/ imports it)."""

import math

FutureIndexContractValue = {"TXF": 200, "MXF": 50, "TMF": 10}


def _snap_ceil(x):
    r = round(x)
    return r if abs(x - r) <= 1e-9 else math.ceil(x)


def default_fee_settings():
    def side(direction):
        return {"tick_count": 3, "direction": direction}

    def product(fee, tax):
        return {"fee": fee, "tax": tax, "per_trade_cost": 10,
                "slippage": {"buy": side("up"), "sell": side("down")}}

    return {"stock": product(0.001425, 0.003), "future": product(2e-05, 2e-05)}


class Positions:
    def __init__(self):
        self._fee_settings = default_fee_settings()

    def __apply_future_contract_value(self, code: str) -> float:
        if code in FutureIndexContractValue:
            return FutureIndexContractValue[code]
        return 2000

    def __ceil_price_by_tick(self, code: str, price: float) -> tuple:
        price = float(price)
        if code.startswith("00"):
            if price < 50:
                return _snap_ceil(price * 100) / 100, 0.01
            if price < 1000:
                return _snap_ceil(price * 20) / 20, 0.05
        if price < 10:
            return _snap_ceil(price * 100) / 100, 0.01
        if price < 50:
            return _snap_ceil(price * 20) / 20, 0.05
        if price < 100:
            return _snap_ceil(price * 10) / 10, 0.1
        if price < 500:
            return _snap_ceil(price * 2) / 2, 0.5
        if price < 1000:
            return _snap_ceil(price), 1
        return _snap_ceil(price / 5) * 5, 5

    def __calculate_slippage_price(self, code: str, price: float, tick_count: int, direction) -> float:
        price = float(price)
        for _ in range(tick_count):
            price, tick_step = self.__ceil_price_by_tick(code, price)
            if direction == "up":
                price = self.__ceil_price_by_tick(code, price + tick_step)[0]
            else:
                price = self.__ceil_price_by_tick(code, price - tick_step)[0]
        return float(price)

    def __calculate_trade_cost(self, code, action, price, quantity, product_type, ignore_tax=False, is_cover=True):
        price = float(price)
        if product_type == "Stock":
            settings = self._fee_settings["stock"]
        elif product_type == "Future":
            settings = self._fee_settings["future"]
        else:
            raise Exception(f"不支援的商品類型: {product_type}")
        slippage = settings["slippage"][action.lower()]
        if is_cover:
            direction = slippage["direction"]
        else:
            direction = "up" if slippage["direction"] == "down" else "down"
        origin_price = price
        price = self.__calculate_slippage_price(code, price, slippage["tick_count"], direction)
        if product_type == "Stock":
            fee = self._fee_settings["stock"]["fee"] * quantity * 1000 * price
            tax = self._fee_settings["stock"]["tax"] * quantity * 1000 * price
            fixed_cost = self._fee_settings["stock"]["per_trade_cost"]
            min_qty = quantity * 1000
        else:
            contract_value = self.__apply_future_contract_value(code)
            fee = self._fee_settings["future"]["fee"] * quantity * contract_value * price
            tax = self._fee_settings["future"]["tax"] * quantity * contract_value * price
            fixed_cost = self._fee_settings["future"]["per_trade_cost"]
            min_qty = quantity * contract_value
        return {
            "fee": fee,
            "tax": 0 if ignore_tax else tax,
            "fixed_cost": fixed_cost,
            "qty": quantity,
            "min_qty": min_qty,
            "price": price,
            "origin_price": origin_price,
        }


_plain = Positions()


def ref_ceil(code, price):
    """The ladder row of a price: (rounded price, tick)."""
    return _plain._Positions__ceil_price_by_tick(code, price)


def ref_slip(code, price, tick_count, direction):
    """The price after `tick_count` ladder steps in `direction`."""
    return _plain._Positions__calculate_slippage_price(code, price, tick_count, direction)
