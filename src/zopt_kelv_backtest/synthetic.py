"""Deterministic synthetic ticks for demos, tests and benchmarks.

Prices move as a random walk on each product's tick ladder, the number of ticks per minute follows the
U-shaped intraday pattern of an exchange session (busy open and close, quiet midday), and only trading
days of the package's holiday calendar get sessions.

Sessions (Asia/Taipei wall clock):

- stocks: 09:00 to 13:25 continuous trading, then one closing-auction tick at 13:30:00;
- index futures: day session 08:45 to 13:45, night session 15:00 to 05:00 of the next calendar day.
  The exchange counts a night session in the next trading day, so a trading day's futures ticks begin
  with the night session opened at 15:00 of the trading day before it, and a set of N trading days
  holds the sessions of those N days: the first night opens before the set's first date, and none
  opens after its last day session.

Every tick is a tick record as ``QuoteManager.add_tick`` takes it. :func:`iter_ticks` makes the set a
trading day at a time (memory does not grow with ``days``); :func:`generate_ticks` is its list.

Seeds: the ticks are a function of ``(start, days, seed, products)`` alone. Each product's trading
day draws from its own numpy ``RandomState`` (a generator whose streams numpy keeps unchanged across
releases) seeded with the seed, the product's position in ``products`` and the day, so the same
arguments give the same ticks on every machine, and a run of fewer days from the same start is a
prefix of a longer one.
"""

from __future__ import annotations

import gc
import itertools
import math
from collections.abc import Iterator, Sequence
from collections.abc import Set as AbstractSet
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from typing import Any

import numpy as np

from zopt_kelv_backtest import market
from zopt_kelv_backtest.market import DAY_SESSION, HOLIDAY_FILE, NIGHT_SESSION, STATIC_DIR, STOCK_SESSION, TAIPEI

__all__ = ["DEFAULT_PRODUCTS", "HOLIDAY_FILE", "STATIC_DIR", "TAIPEI", "Product", "generate_ticks", "iter_ticks",
           "load_holidays", "on_grid", "tick_size", "trading_days"]

TICK_TYPE_BUY = 1  # trade at the ask
TICK_TYPE_SELL = 2  # trade at the bid
CLOSING_AUCTION = timedelta(minutes=5)  # the stock session's last minutes: one auction print at its end


@dataclass(frozen=True)
class Product:
    """One product of the synthetic set and the character of its trading."""

    code: str
    market_type: str  # "Stock" or "Future"
    start_price: float
    ticks_per_minute: float  # average over a session
    volatility: float  # standard deviation of the price step, in ladder ticks
    night_session: bool = False


# The default universe: a large-cap stock, the benchmark ETF and mini-TAIEX futures.
DEFAULT_PRODUCTS = (
    Product("2330", "Stock", 580.0, 6.0, 0.9),
    Product("0050", "Stock", 130.0, 4.0, 0.8),
    Product("MXF", "Future", 17500.0, 5.0, 1.6, night_session=True),
)

# Tick ladders in cents: (lower bound of each band, step inside it).
_STOCK_LADDER = ((0, 1), (1_000, 5), (5_000, 10), (10_000, 50), (50_000, 100), (100_000, 500))
_FUND_LADDER = ((0, 1), (5_000, 5), (100_000, 500))  # exchange-traded funds ("00..." codes)
_FUTURE_LADDER = ((0, 100),)  # index futures move by 1 point


def _ladder(code: str, market_type: str) -> tuple[tuple[int, int], ...]:
    if market_type == "Future":
        return _FUTURE_LADDER
    return _FUND_LADDER if code.startswith("00") else _STOCK_LADDER


def tick_size(code: str, market_type: str, price: float) -> float:
    """Price grid step: the exchange's stock ladder (funds have their own rows); index futures move by 1 point."""
    cents = round(price * 100)
    step = 1
    for bound, band_step in _ladder(code, market_type):
        if cents >= bound:
            step = band_step
    return step / 100


def on_grid(code: str, market_type: str, price: float) -> float:
    """`price` moved to the nearest step of the product's ladder."""
    step = tick_size(code, market_type, price)
    return round(round(price / step) * step, 2)


class _LadderIndex:
    """The prices of a ladder numbered 0, 1, 2, ... so that a walk of n ticks is a step of n."""

    def __init__(self, ladder: tuple[tuple[int, int], ...]) -> None:
        self.bounds = np.array([b for b, _ in ladder], dtype=np.int64)
        self.steps = np.array([s for _, s in ladder], dtype=np.int64)
        sizes = np.diff(self.bounds) // self.steps[:-1]
        self.firsts = np.concatenate(([0], np.cumsum(sizes))).astype(np.int64)  # index of each band's bound

    def index(self, cents: int) -> int:
        band = int(np.searchsorted(self.bounds, cents, side="right")) - 1
        return int(self.firsts[band] + (cents - self.bounds[band]) // self.steps[band])

    def cents(self, index: np.ndarray) -> np.ndarray:
        band = np.searchsorted(self.firsts, index, side="right") - 1
        return self.bounds[band] + (index - self.firsts[band]) * self.steps[band]


def load_holidays(path: str | None = None) -> set[str]:
    """Dates ("%Y-%m-%d") without trading; the calendar lists weekends too."""
    return set(market.holiday_dates(HOLIDAY_FILE if path is None else path))


def trading_days(start: date, count: int, holidays: AbstractSet[str] | None = None) -> list[date]:
    """The first `count` trading days from `start` (inclusive), by this module's `HOLIDAY_FILE` unless
    `holidays` is given; see :func:`zopt_kelv_backtest.market.trading_days`."""
    return market.trading_days(start, count, holidays, calendar=HOLIDAY_FILE)


def _day_before(day: date, holidays: AbstractSet[str]) -> date:
    """The trading day before `day` (outside the calendar's years, the weekday before it)."""
    before = day - timedelta(days=1)
    for _ in range(60):
        if market.is_trading_day(before, holidays):
            return before
        before -= timedelta(days=1)
    return before


def _sessions(product: Product, day: date, holidays: AbstractSet[str]) -> list[tuple[datetime, datetime]]:
    """(start, end) naive Taipei datetimes of the continuous sessions of trading day `day`, in time order."""
    if product.market_type == "Stock":
        open_, close = STOCK_SESSION
        return [(datetime.combine(day, open_), datetime.combine(day, close) - CLOSING_AUCTION)]
    sessions = [(datetime.combine(day, DAY_SESSION[0]), datetime.combine(day, DAY_SESSION[1]))]
    if product.night_session:
        eve = _day_before(day, holidays)
        sessions.insert(0, (datetime.combine(eve, NIGHT_SESSION[0]),
                            datetime.combine(eve + timedelta(days=1), NIGHT_SESSION[1])))
    return sessions


def _intensity(fraction: np.ndarray) -> np.ndarray:
    """Relative trading activity at `fraction` (0..1) of a session: a U shape averaging about 1."""
    shape: np.ndarray = 0.6 + 4.0 * (fraction - 0.5) ** 2 + 1.3 * np.exp(-fraction * 40)
    return shape


def _check(p: Product) -> None:
    if p.market_type not in ("Stock", "Future"):
        raise ValueError(f"product {p.code!r}: market_type must be 'Stock' or 'Future', not {p.market_type!r}")
    if not (math.isfinite(p.start_price) and p.start_price > 0):
        raise ValueError(f"product {p.code!r}: start_price must be a positive number, not {p.start_price!r}")
    for name in ("ticks_per_minute", "volatility"):
        value = getattr(p, name)
        if not (math.isfinite(value) and value >= 0):
            raise ValueError(f"product {p.code!r}: {name} must be a number of 0 or more, not {value!r}")


def _epoch_ms(naive_taipei: datetime) -> int:
    return round(naive_taipei.replace(tzinfo=TAIPEI).timestamp() * 1000)


def _seed_words(seed: int) -> list[int]:
    """`seed` as 32-bit words (sign first), the form RandomState takes a long seed in."""
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an int, not {type(seed).__name__}")
    seed = int(seed)
    words, rest = [1 if seed < 0 else 0], abs(seed)
    while True:
        words.append(rest & 0xFFFFFFFF)
        rest >>= 32
        if not rest:
            return words


class _ProductDays:
    """One product's walk through the trading days: the price carries over from day to day."""

    def __init__(self, product: Product, position: int, seed_words: list[int], holidays: AbstractSet[str]) -> None:
        self.product = product
        self.holidays = holidays
        self.position = position
        self.seed_words = seed_words
        self.ladder = _LadderIndex(_ladder(product.code, product.market_type))
        start = on_grid(product.code, product.market_type, product.start_price)
        self.price_index = max(1, self.ladder.index(round(start * 100)))
        self.qty_mean = 3.0 if product.market_type == "Stock" else 2.0
        # Reseeded for each day: the same state as a new RandomState of that seed, made far faster.
        self.rng = np.random.RandomState(0)

    def day(self, day: date) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Epoch milliseconds, price cents, quantities and tick types of the product's ticks on `day`."""
        rng = self.rng
        rng.seed([*self.seed_words, self.position, day.toordinal()])
        p = self.product
        starts: list[np.ndarray] = []
        counts: list[np.ndarray] = []
        for begin, end in _sessions(p, day, self.holidays):
            minutes = int((end - begin).total_seconds() // 60)
            per_minute = rng.poisson(p.ticks_per_minute * _intensity(np.arange(minutes) / minutes))
            counts.append(per_minute)
            starts.append(_epoch_ms(begin) + 60_000 * np.arange(minutes, dtype=np.int64))
        per_minute = np.concatenate(counts)
        n = int(per_minute.sum())
        minute_ms = np.repeat(np.concatenate(starts), per_minute)
        # Each minute's ticks at sorted random instants, to the millisecond.
        offsets = np.rint(rng.uniform(0.0, 60_000.0, n)).astype(np.int64)
        when = np.sort(minute_ms + offsets, kind="stable")
        moves = np.rint(rng.normal(0.0, p.volatility, n)).astype(np.int64)
        # A walk on the ladder that never goes below its first step (clamped at index 1).
        walk = self.price_index + np.cumsum(moves)
        walk = walk + np.maximum(0, np.maximum.accumulate(1 - walk))
        qty = np.maximum(1, rng.exponential(self.qty_mean, n).astype(np.int64))
        kind = np.where(moves >= 0, TICK_TYPE_BUY, TICK_TYPE_SELL)
        if n:
            self.price_index = int(walk[-1])
        if p.market_type == "Stock":
            # Closing auction: one larger print exactly at 13:30:00 at the last price.
            when = np.append(when, _epoch_ms(datetime.combine(day, STOCK_SESSION[1])))
            walk = np.append(walk, self.price_index)
            qty = np.append(qty, max(1, int(rng.exponential(40.0))))
            kind = np.append(kind, TICK_TYPE_BUY)
        return when, self.ladder.cents(walk), qty, kind


def iter_ticks(
    start: date = date(2024, 2, 1),
    days: int = 10,
    seed: int = 7,
    products: Sequence[Product] = DEFAULT_PRODUCTS,
    holidays: set[str] | None = None,
) -> Iterator[dict[str, Any]]:
    """Tick records of `products` over `days` trading days from `start`, in time order, a day at a time.

    Ticks at the same instant come in the order of `products`. Bad arguments raise here, before the
    first tick: ``ValueError`` for fewer than one day, days outside the calendar or a product that
    cannot trade (see :class:`Product`), ``TypeError`` for a seed that is not an int.
    """
    words = _seed_words(seed)
    for p in products:
        _check(p)
    schedule = trading_days(start, days, holidays)
    closed = market.holiday_dates(HOLIDAY_FILE) if holidays is None else holidays
    walkers = [_ProductDays(p, n, words, closed) for n, p in enumerate(products)]
    return itertools.chain.from_iterable(_days(schedule, walkers))


def _days(schedule: list[date], walkers: list[_ProductDays]) -> Iterator[list[dict[str, Any]]]:
    """The tick records of each trading day, a list a day."""
    if not walkers:
        return
    codes = np.array([w.product.code for w in walkers], dtype=object)
    markets = np.array([w.product.market_type for w in walkers], dtype=object)
    for day in schedule:
        # A trading day's sessions (from 15:00 of the trading day before it) end before the next one's open.
        parts = [w.day(day) for w in walkers]
        when = np.concatenate([p[0] for p in parts])
        owner = np.concatenate([np.full(len(p[0]), i, dtype=np.int64) for i, p in enumerate(parts)])
        order = np.lexsort((owner, when))
        owner = owner[order]
        columns = (
            (when[order] / 1000.0).tolist(),
            codes[owner].tolist(),
            markets[owner].tolist(),
            (np.concatenate([p[1] for p in parts])[order] / 100.0).tolist(),
            np.concatenate([p[2] for p in parts])[order].tolist(),
            np.concatenate([p[3] for p in parts])[order].tolist(),
        )
        yield _records(columns)


def _records(columns: tuple[list[Any], ...]) -> list[dict[str, Any]]:
    """Tick records of a day's columns (time, code, market, close, quantity, tick type)."""
    # The records hold no containers, so no collection can free any of them; but each one made counts
    # towards the next collection, which would walk the growing list again and again.
    paused = gc.isenabled()
    gc.disable()
    try:
        return [
            {"timestamp": ts, "code": code, "market_type": market, "close": close, "qty": qty, "tick_type": kind,
             "is_simulate": False}
            for ts, code, market, close, qty, kind in zip(*columns)
        ]  # fmt: skip
    finally:
        if paused:
            gc.enable()


def generate_ticks(start: date = date(2024, 2, 1), days: int = 10, seed: int = 7,
                   products: Sequence[Product] = DEFAULT_PRODUCTS, holidays: set[str] | None = None
                   ) -> list[dict[str, Any]]:
    """The list of :func:`iter_ticks` with the same arguments."""
    return list(iter_ticks(start, days, seed, products, holidays))
