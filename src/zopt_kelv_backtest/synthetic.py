"""Deterministic synthetic ticks for demos, tests and benchmarks.

The same seed gives the same ticks on every machine: prices move as a random
walk on each product's tick grid, the number of ticks per minute follows the
U-shaped intraday pattern of an exchange session (busy open and close, quiet
midday), and only trading days of the package's holiday calendar get sessions.

Sessions (Asia/Taipei wall clock):

- stocks: 09:00 to 13:25 continuous trading, then one closing-auction tick at 13:30:00;
- index futures: day session 08:45 to 13:45, night session 15:00 to 05:00 of
  the next calendar day (it belongs to the trading day on which it opens).

Every tick is a tick record as ``QuoteManager.add_tick`` takes it.
"""

from __future__ import annotations

import csv
import math
import os
import random
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import Dict, List, Optional, Sequence
from zoneinfo import ZoneInfo

TAIPEI = ZoneInfo("Asia/Taipei")
STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
HOLIDAY_FILE = os.path.join(STATIC_DIR, "holidays_search_from_2017.csv")

TICK_TYPE_BUY = 1  # trade at the ask
TICK_TYPE_SELL = 2  # trade at the bid


@dataclass(frozen=True)
class Product:
    code: str
    market_type: str  # "Stock" or "Future"
    start_price: float
    ticks_per_minute: float  # average over a session
    volatility: float  # standard deviation of the price step, in grid ticks
    night_session: bool = False


# The default universe: a large-cap stock, the benchmark ETF and mini-TAIEX futures.
DEFAULT_PRODUCTS = (
    Product("2330", "Stock", 580.0, 6.0, 0.9),
    Product("0050", "Stock", 130.0, 4.0, 0.8),
    Product("MXF", "Future", 17500.0, 5.0, 1.6, night_session=True),
)


def tick_size(code: str, market_type: str, price: float) -> float:
    """Price grid step: the exchange's stock ladder (funds have their own rows); index futures move by 1 point."""
    if market_type == "Future":
        return 1.0
    if code.startswith("00") and price < 1000:
        return 0.01 if price < 50 else 0.05
    for limit, step in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < limit:
            return step
    return 5.0


def on_grid(code: str, market_type: str, price: float) -> float:
    step = tick_size(code, market_type, price)
    return round(round(price / step) * step, 2)


def load_holidays(path: str = HOLIDAY_FILE) -> set:
    """Dates ("%Y-%m-%d") without trading; the calendar lists weekends too."""
    with open(path, newline="", encoding="utf-8") as f:
        return {row["Date"] for row in csv.DictReader(f)}


def trading_days(start: date, count: int, holidays: Optional[set] = None) -> List[date]:
    """The first `count` trading days from `start` (inclusive)."""
    if count < 1:
        raise ValueError("count must be at least 1")
    holidays = load_holidays() if holidays is None else holidays
    days: List[date] = []
    day = start
    # The calendar covers every closed day; guard against running past its end.
    for _ in range(count * 7 + 60):
        if day.strftime("%Y-%m-%d") not in holidays and day.weekday() < 5:
            days.append(day)
            if len(days) == count:
                return days
        day += timedelta(days=1)
    raise ValueError(f"the holiday calendar has too few trading days after {start}")


def _sessions(product: Product, day: date) -> List[tuple]:
    """(start, end) naive Taipei datetimes of the continuous sessions opening on `day`."""
    at = lambda d, h, m: datetime.combine(d, time(h, m))  # noqa: E731
    if product.market_type == "Stock":
        return [(at(day, 9, 0), at(day, 13, 25))]
    sessions = [(at(day, 8, 45), at(day, 13, 45))]
    if product.night_session:
        sessions.append((at(day, 15, 0), at(day + timedelta(days=1), 5, 0)))
    return sessions


def _intensity(fraction: float) -> float:
    """Relative trading activity at `fraction` (0..1) of a session: a U shape averaging about 1."""
    return 0.6 + 4.0 * (fraction - 0.5) ** 2 + 1.3 * math.exp(-fraction * 40)


def _poisson(rng: random.Random, mean: float) -> int:
    # Knuth's method: fine for the small means used here.
    limit, k, p = math.exp(-mean), 0, 1.0
    while True:
        p *= rng.random()
        if p <= limit:
            return k
        k += 1


def _epoch(naive_taipei: datetime) -> float:
    return naive_taipei.replace(tzinfo=TAIPEI).timestamp()


def generate_ticks(
    start: date = date(2024, 1, 2),
    days: int = 10,
    seed: int = 7,
    products: Sequence[Product] = DEFAULT_PRODUCTS,
    holidays: Optional[set] = None,
) -> List[Dict]:
    """Tick records of `products` over `days` trading days from `start`, sorted by time."""
    rng = random.Random(seed)
    schedule = trading_days(start, days, holidays)
    out: List[tuple] = []
    for n, product in enumerate(products):
        prng = random.Random(rng.randrange(2**32) + n)
        price = on_grid(product.code, product.market_type, product.start_price)
        for day in schedule:
            for begin, end in _sessions(product, day):
                minutes = int((end - begin).total_seconds() // 60)
                for i in range(minutes):
                    minute = begin + timedelta(minutes=i)
                    count = _poisson(prng, product.ticks_per_minute * _intensity(i / minutes))
                    for second in sorted(prng.uniform(0, 60) for _ in range(count)):
                        step = tick_size(product.code, product.market_type, price)
                        move = round(prng.gauss(0, product.volatility))
                        price = on_grid(product.code, product.market_type, max(step, price + move * step))
                        qty = max(1, int(prng.expovariate(1 / (3 if product.market_type == "Stock" else 2))))
                        when = minute + timedelta(seconds=round(second, 3))
                        kind = TICK_TYPE_BUY if move >= 0 else TICK_TYPE_SELL
                        out.append((_epoch(when), n, product, price, qty, kind))
            if product.market_type == "Stock":
                # Closing auction: one larger print exactly at 13:30:00.
                close_at = datetime.combine(day, time(13, 30))
                qty = max(1, int(prng.expovariate(1 / 40)))
                out.append((_epoch(close_at), n, product, price, qty, TICK_TYPE_BUY))
    out.sort(key=lambda t: (t[0], t[1]))
    return [
        {
            "timestamp": ts,
            "code": p.code,
            "market_type": p.market_type,
            "close": px,
            "qty": qty,
            "tick_type": kind,
            "is_simulate": False,
        }
        for ts, _, p, px, qty, kind in out
    ]

