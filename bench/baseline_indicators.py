"""Plain-Python renderings of the indicators' algorithms, for bench_indicators.py only.

Same formulas and warm-up as zopt_kelv_backtest.indicators, written as a Python
user would: a deque for the window, running sums, one method call per value.
"""

import math
from collections import deque

NAN = math.nan


class SMA:
    def __init__(self, n: int) -> None:
        self.n, self.window, self.total = n, deque[float](), 0.0

    def update(self, x: float) -> float:
        self.window.append(x)
        self.total += x
        if len(self.window) > self.n:
            self.total -= self.window.popleft()
        return self.total / self.n if len(self.window) == self.n else NAN


class Seeded:
    """Mean of the first n values, then v += alpha * (x - v)."""

    def __init__(self, n: int, alpha: float) -> None:
        self.n, self.alpha, self.count, self.total, self.value = n, alpha, 0, 0.0, NAN

    def update(self, x: float) -> float:
        if self.count < self.n:
            self.count += 1
            self.total += x
            if self.count == self.n:
                self.value = self.total / self.n
        else:
            self.value += self.alpha * (x - self.value)
        return self.value


class EMA(Seeded):
    def __init__(self, n: int) -> None:
        super().__init__(n, 2 / (n + 1))


class RSI:
    def __init__(self, n: int = 14) -> None:
        self.gain, self.loss, self.prev = Seeded(n, 1 / n), Seeded(n, 1 / n), NAN

    def update(self, x: float) -> float:
        change, self.prev = x - self.prev, x
        if math.isnan(change):
            return NAN
        g, l = self.gain.update(max(change, 0.0)), self.loss.update(max(-change, 0.0))
        if math.isnan(g):
            return NAN
        if l == 0:
            return 50.0 if g == 0 else 100.0
        return 100 - 100 / (1 + g / l)


class ATR:
    def __init__(self, n: int = 14) -> None:
        self.avg, self.prev_close = Seeded(n, 1 / n), NAN

    def update(self, high: float, low: float, close: float) -> float:
        tr = high - low
        if not math.isnan(self.prev_close):
            tr = max(tr, abs(high - self.prev_close), abs(low - self.prev_close))
        self.prev_close = close
        return self.avg.update(tr)


class Bollinger:
    def __init__(self, n: int = 20, k: float = 2.0) -> None:
        self.n, self.k, self.window = n, k, deque[float]()
        self.s1 = self.s2 = 0.0

    def update(self, x: float) -> tuple[float, float, float]:
        self.window.append(x)
        self.s1 += x
        self.s2 += x * x
        if len(self.window) > self.n:
            old = self.window.popleft()
            self.s1 -= old
            self.s2 -= old * old
        if len(self.window) < self.n:
            return NAN, NAN, NAN
        mid = self.s1 / self.n
        width = self.k * math.sqrt(max(self.s2 / self.n - mid * mid, 0.0))
        return mid - width, mid, mid + width


class MACD:
    def __init__(self, fast: int = 12, slow: int = 26, signal: int = 9) -> None:
        self.fast, self.slow, self.signal = EMA(fast), EMA(slow), EMA(signal)

    def update(self, x: float) -> tuple[float, float, float]:
        f, s = self.fast.update(x), self.slow.update(x)
        if math.isnan(s):
            return NAN, NAN, NAN
        macd = f - s
        sig = self.signal.update(macd)
        return macd, sig, macd - sig


class CrossOver:
    def __init__(self) -> None:
        self.last = 0

    def update(self, a: float, b: float) -> int:
        side = (a > b) - (a < b)
        cross = side if side and self.last and side != self.last else 0
        if side:
            self.last = side
        return cross
