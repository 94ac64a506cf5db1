"""The native replay loop driven with random, hostile parts: odd ticks, drivers that answer nonsense or
raise, accounts and hooks that change what the loop reads. Each run must return or raise an ordinary
exception: never crash, never leave an error set behind a result (SystemError)."""

import math
import random

import numpy as np
import pytest

from zopt_kelv_backtest.modules.positions.positions import Positions, QuoteManager
from zopt_kelv_backtest.modules.replay.replay import Engine

BASE_TS = 1706752800.0  # 2024-02-01 10:00 in Taipei
SEEDS = range(12)


class StrSub(str):
    pass


class Unhashable:
    __hash__ = None


class Shifty:
    """A code whose comparisons run code and change their answer."""

    calls = 0

    def __hash__(self):
        return 7

    def __eq__(self, other):
        Shifty.calls += 1
        return Shifty.calls % 2 == 0


def odd_value(rng):
    return rng.choice([None, "x", math.nan, math.inf, -1, 2**70, [], {}, Unhashable(), StrSub("MXF"), Shifty(),
                       np.float32(1.5), np.int64(3), (), ("m",), ("m", 0), ("zz", 1)])


def tick(rng, i, p):
    t = {"timestamp": BASE_TS + i * rng.choice([0.5, 30, 61, 400, 3000]) - rng.choice([0, 0, 0, 90]),
         "code": rng.choice(["MXF", "2330", "0050", StrSub("MXF")]),
         "market_type": rng.choice(["Future", "Stock"]), "close": float(rng.randint(100, 110)),
         "qty": rng.randint(1, 3), "tick_type": 1, "is_simulate": rng.random() < 0.1}
    if rng.random() < p:
        t[rng.choice(list(t))] = odd_value(rng)
    if rng.random() < p / 2:
        del t[rng.choice(list(t))]
    if rng.random() < p / 4:
        return odd_value(rng)
    return t


class Driver:
    """Answers like the runner's driver, or, at a rate of `p`, with something odd or by raising."""

    def __init__(self, rng, qm, engine_box, p):
        self.rng, self.qm, self.box, self.p = rng, qm, engine_box, p

    def odd(self, good):
        r = self.rng.random()
        if r < self.p / 2:
            raise RuntimeError("driver")
        if r < self.p:
            return odd_value(self.rng)
        return good

    def end_sessions(self, now):
        return self.odd(math.inf)

    def mark(self, count):
        return self.odd(count + self.rng.randint(1, 50))

    def start_code(self, code):
        keys = [("m", 1), ("m", 5), ("d", 1), ("w", 1), ("mo", 1)][: self.rng.randint(0, 5)]
        return self.odd(self.rng.choice([None, (keys, True), (keys, False)]))

    def enter_day(self, tick, code):
        return self.odd(math.inf if self.rng.random() < 0.5 else -math.inf)

    def bar_closed(self, code, index):
        self.hostile()
        return self.odd(None)

    def kbar_columns(self, code, index):
        r = self.rng.random() if self.p else 1.0
        if r < 0.1:
            return odd_value(self.rng)
        n = self.rng.randint(0, 5)
        cols = [np.arange(n, dtype=np.int64)] + [np.ones(n) for _ in range(4)] + [np.arange(n, dtype=np.int64)]
        if r < 0.2:
            cols[self.rng.randrange(6)] = np.ones(n + 1, dtype=np.float32)  # wrong type and length
        elif r < 0.25:
            cols[1] = np.ones((n, 2))[:, 0]  # not contiguous
        elif r < 0.5:
            from zopt_kelv_backtest.backtest.bars import bar_columns

            return bar_columns(self.qm.get_kbar(code, "m", 1))
        return tuple(self.odd(c) for c in cols)

    def local_wall_us(self, stamp):
        return self.odd(2**40)

    def hostile(self):
        r = self.rng.random() / max(self.p * 10, 1e-9)
        if r < 0.05:
            self.qm.clear_ticks()
        elif r < 0.1:
            for state in self.qm.ticks.values():
                state["ticks"] = odd_value(self.rng)
        elif r < 0.13 and self.box:
            self.box[0].run([], 0)  # re-entry: refused
        elif r < 0.16:
            self.box.clear()  # the last other reference to the engine


def on_bar_hook(rng, qm, p):
    def on_bar(code, bars, *key):
        if rng.random() < p:
            qm.clear_ticks()
        if rng.random() < p / 2:
            raise KeyError("hook")
        if rng.random() < 0.3:
            bars.close.sum(), bars.time[:1], len(bars), bars.key
        if rng.random() < 0.05:
            bars.to_polars()
        return None if rng.random() >= p / 4 else 1
    return on_bar


def account(rng, qm, p):
    positions = Positions()
    own = rng.random() < 0.5
    resting = rng.choice([None, set(), {"MXF"}, [Shifty()]])
    match = None if resting is None else (lambda code, t: None if rng.random() >= p else 1 / 0)
    return (positions if own else positions.set_current_tick, [] if rng.random() < p * 10 else {}, resting, match,
            rng.choice([None, lambda t: None]), on_bar_hook(rng, qm, p), rng.random() < 0.5, own)


@pytest.mark.parametrize("seed", SEEDS)
def test_hostile_replays_never_crash(seed, console):
    rng = random.Random(seed)
    for _ in range(15):
        p = rng.choice([0.0, 0.0005, 0.002, 0.01, 0.05])  # how hostile this run is
        qm = QuoteManager()
        box = []
        driver = Driver(rng, qm, box, p)
        accounts = [account(rng, qm, p) for _ in range(rng.randint(1, 3))]
        add_tick = qm.add_tick if rng.random() >= p * 2 else (lambda t: 1 / 0 if rng.random() < 0.01 else None)
        try:
            engine = Engine(qm, add_tick, accounts, driver, {}, 1800.0)
        except (TypeError, ValueError):
            continue
        box.append(engine)
        ticks = [tick(rng, i, p) for i in range(rng.randint(0, 400))]
        try:
            count = engine.run(iter(ticks), rng.choice([1, 10, 10**9]))
            assert count == len(ticks)
        except SystemError:
            raise
        except Exception:
            pass
