"""Every method of both classes, found by introspection, driven with random
arguments: each call must return or raise an ordinary exception, never crash
the interpreter or leave it in an inconsistent error state."""

import faulthandler
import inspect
import math
import os
import queue
import random
import time

import polars as pl
import pytest

from test_module_frame import TABLES

BASE_TS = 1704763800  # 2024-01-09 09:30 in Taipei
SEEDS = range(8)
BUDGET = 0.6  # seconds per seed
HEAVY = {"generate_standard_report", "generate_qs_profit_report", "export_trade_records", "__init__"}
HEAVY_CAP = 3  # calls per heavy method and seed
BLOCKING = {"pop_positions": "fetch_position_queue", "pop_finish_notify": "finish_fetch_position_queue"}


class DictSub(dict):
    pass


class StrSub(str):
    pass


class Raises:
    """Every protocol a body might touch raises."""

    def __float__(self):
        raise ArithmeticError("float")

    def __index__(self):
        raise ArithmeticError("index")

    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __hash__(self):
        raise ArithmeticError("hash")

    def __str__(self):
        raise ArithmeticError("str")

    def __bool__(self):
        raise ArithmeticError("bool")

    def __lt__(self, other):
        raise ArithmeticError("lt")

    __repr__ = __str__


class MissingKeys(dict):
    def __getitem__(self, key):
        raise KeyError(key)


class Fuzzer:
    def __init__(self, mod, seed):
        self.mod = mod
        self.rng = random.Random(seed)
        self.methods = []
        fn_type = type(mod.QuoteManager.add_tick)
        for cls in (mod.QuoteManager, mod.Positions):
            for key, attr in vars(cls).items():
                fn = attr.fget if isinstance(attr, property) else attr
                if type(fn) is fn_type:
                    self.methods.append((cls, fn, inspect.signature(fn)))
        self.instances = {cls: self.make(cls) for cls in (mod.QuoteManager, mod.Positions)}
        self.heavy_calls = {}
        self.depth = 0
        self.calls = 0

    def make(self, cls):
        try:
            return cls()
        except NotImplementedError:
            return cls.__new__(cls)

    # --- values -------------------------------------------------------------------------------

    def atom(self):
        r = self.rng
        return r.choice([
            None, True, False, 0, 1, -1, 7, 2 ** 31, 2 ** 63, -(2 ** 63) - 1, 10 ** 30, -(10 ** 40),
            0.0, -0.0, 1.5, 100.25, math.nan, math.inf, -math.inf, 1e308, 5e-324,
            "", "2330", "0050", "TXFA4", "TXF", "MXF", "Stock", "Future", "stock", "future", "Buy", "Sell",
            "buy", "sell", "up", "down", "m", "h", "d", "w", "mo", "q", "y", "Order", "Deal", "Cancel",
            "錯誤", "a\x00b", "x" * 300, StrSub("2330"), b"2330", (), [], {}, object(), Raises(),
            self.reentrant(), DictSub(), MissingKeys(), [Raises()], {"code": Raises()},
        ])

    def reentrant(self):
        fuzzer = self

        class Reentrant:
            """Calls back into the module while being converted or compared."""

            def poke(self):
                if fuzzer.depth < 2:
                    fuzzer.call_one(reentering=True)

            def __float__(self):
                self.poke()
                return 1.0

            def __index__(self):
                self.poke()
                return 1

            def __eq__(self, other):
                self.poke()
                return False

            def __hash__(self):
                return 1

        return Reentrant()

    def timestamp(self):
        r = self.rng
        if r.random() < 0.85:
            return BASE_TS + r.choice([r.randrange(-3 * 86400, 3 * 86400), r.random() * 86400])
        return r.choice([math.nan, math.inf, 1e20, -1e20, 2 ** 70, "1704763800", None, Raises()])

    def small_int(self):
        return self.rng.choice([0, 1, 2, 3, 5, 10, -1, -3, 999])

    def tick(self):
        r = self.rng
        tick = {
            "timestamp": self.timestamp(),
            "code": r.choice(["2330", "TXFA4", "0050", "2330", StrSub("2330")]),
            "market_type": r.choice(["Stock", "Future", "Stock", "Other"]),
            "close": r.choice([100.0, 591.5, 17800, 0.01, math.nan]),
            "qty": r.choice([1, 5, 0, -1]),
            "tick_type": r.choice([0, 1, 2, 127]),
            "is_simulate": r.choice([False, True]),
        }
        for _ in range(r.choice([0, 0, 0, 1, 2])):
            key = r.choice(list(tick))
            if r.random() < 0.5:
                del tick[key]
            elif key != "timestamp":
                tick[key] = self.atom()
        return DictSub(tick) if r.random() < 0.1 else tick

    def fill(self):
        r = self.rng
        fill = {
            "code": r.choice(["2330", "TXFA4", "0050"]),
            "action": r.choice(["Buy", "Sell", "buy"]),
            "price": r.choice([100.0, 591.5, 17800, 55, math.nan, math.inf, -5.0]),
            "quantity": r.choice([1, 2, 3, 0, -1, 10]),
            "exchange_ts": self.timestamp(),
            "product_type": r.choice(["Stock", "Future"]),
            "trade_id": r.choice(["t1", 7, None]),
        }
        if r.random() < 0.2:
            key = r.choice(list(fill))
            if key == "exchange_ts" or r.random() < 0.5:
                del fill[key]
            else:
                fill[key] = self.atom()
        return fill

    def frame(self):
        r = self.rng
        choice = r.randrange(4)
        if choice == 0:
            return pl.DataFrame()
        if choice == 1:
            return pl.DataFrame({"x": [1, 2]})
        try:
            qm = self.instances[self.mod.QuoteManager]
            df = qm.get_empty_tick_df()
        except Exception:
            return pl.DataFrame({"kbar_time": [1]})
        return df.with_columns(pl.col("dt").alias("kbar_time")) if choice == 2 else df

    def for_annotation(self, name, annotation):
        r = self.rng
        if name == "tick_count":
            # Slippage repeats one tick step tick_count times: keep the count
            # small (or not an int at all) so a call stays short.
            return r.choice([self.small_int(), self.small_int(), True, 1.0, None, "3", Raises()])
        if r.random() < 0.3:
            return self.atom()
        if name == "tick":
            return self.tick()
        if name in ("trade", "cover_position"):
            return self.fill()
        if name == "tick_df":
            return self.frame()
        if name == "positions":
            return r.choice([[], [self.fill()], {"a": 1}, None])
        if name in ("timestamp",):
            return self.timestamp()
        if name in ("tick_count", "freq", "quantity"):
            return self.small_int()
        if name == "quote_manager":
            return r.choice([self.instances[self.mod.QuoteManager], object()])
        if name == "exprs":
            return r.choice([[], [pl.col("Close").alias("c2")], [1], [pl.lit(1).alias("one")]])
        if annotation.startswith("Literal["):
            options = [o.strip(" '") for o in annotation[8:-1].split(",")]
            return r.choice(options + ["bogus"])
        simple = {
            "str": lambda: r.choice(["2330", "TXFA4", "0050", "Stock", "Future", "report"]),
            "int": lambda: r.choice([1, 1000, 100000, 0, -5, 10 ** 12]),
            "float": lambda: r.choice([0.001425, 0.003, 0.0, 1.5, -1.0, math.nan, 100]),
            "bool": lambda: r.choice([True, False, 0, "yes"]),
        }
        if annotation in simple:
            return simple[annotation]()
        return self.atom()

    # --- calls --------------------------------------------------------------------------------

    def arguments(self, sig):
        r = self.rng
        params = list(sig.parameters.values())[1:]
        args, kwargs = [], {}
        for p in params:
            if p.kind is p.VAR_POSITIONAL:
                args.extend(r.choice(["sub", "a b", "子資料夾"]) for _ in range(r.randrange(3)))
                continue
            if p.default is not p.empty and r.random() < 0.3:
                continue
            value = self.for_annotation(p.name, p.annotation if isinstance(p.annotation, str) else "")
            if kwargs or r.random() < 0.3:
                kwargs[p.name] = value
            else:
                args.append(value)
        roll = r.random()
        if roll < 0.05:
            args.append(self.atom())
        elif roll < 0.1 and args:
            args.pop()
        elif roll < 0.13:
            kwargs["unexpected"] = 1
        return args, kwargs

    def pick_self(self, cls):
        r = self.rng
        roll = r.random()
        if roll < 0.04:
            return r.choice([object(), 1, self.instances[r.choice(list(self.instances))]])
        return self.instances[cls]

    def mutate_state(self):
        inst = self.instances[self.rng.choice(list(self.instances))]
        names = [n for n in vars(inst) if n not in BLOCKING.values()]
        if names:
            setattr(inst, self.rng.choice(names), self.atom())

    def call_one(self, reentering=False):
        cls, fn, sig = self.rng.choice(self.methods)
        name = fn.__name__
        if name in HEAVY:
            if reentering or self.heavy_calls.get(name, 0) >= HEAVY_CAP:
                return
            self.heavy_calls[name] = self.heavy_calls.get(name, 0) + 1
        self_obj = self.pick_self(cls)
        if name in BLOCKING:
            q = vars(self_obj).get(BLOCKING[name]) if hasattr(self_obj, "__dict__") else None
            if reentering or type(q) is not queue.Queue or q.qsize() == 0:
                return
        args, kwargs = self.arguments(sig)
        self.depth += 1
        try:
            fn(self_obj, *args, **kwargs)
        except SystemError:
            raise
        except Exception:
            pass
        finally:
            self.depth -= 1
        self.calls += 1

    def run(self, budget):
        self.calls = 0
        end = time.perf_counter() + budget
        while time.perf_counter() < end:
            roll = self.rng.random()
            if roll < 0.02:
                self.mutate_state()
            elif roll < 0.03:
                cls = self.rng.choice(list(self.instances))
                self.instances[cls] = self.make(cls)
            self.call_one()
        return self.calls


@pytest.fixture
def watchdog(request):
    # A hang is a failure too: dump every thread's stack to the real stderr
    # (not pytest's capture, which dies with the process) and exit.
    capman = request.config.pluginmanager.getplugin("capturemanager")
    if capman is None:
        fd = os.dup(2)
    else:
        with capman.global_and_fixture_disabled():
            fd = os.dup(2)
    with os.fdopen(fd, "w") as out:
        faulthandler.dump_traceback_later(120, exit=True, file=out)
        yield
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("seed", SEEDS)
def test_random_calls_never_crash(mod, data_dir, console, watchdog, seed):
    fuzzer = Fuzzer(mod, seed)
    assert len(fuzzer.methods) == sum(len(rows) for rows in TABLES.values())  # the property getter too
    assert fuzzer.run(BUDGET) > 0


def test_blocking_takes_follow_puts(mod, data_dir, console, watchdog):
    # The two queue takes are fuzzed only after a put; make sure that path runs.
    fuzzer = Fuzzer(mod, 99)
    pos = fuzzer.instances[mod.Positions]
    try:
        pos.add_positions_to_queue([1])
        pos.add_finish_notify_to_queue()
    except (NotImplementedError, AttributeError):
        pytest.skip("the intraday queues are not built yet")
    fuzzer.pick_self = lambda cls: pos
    fuzzer.arguments = lambda sig: ([], {})
    for fn in (mod.Positions.pop_positions, mod.Positions.pop_finish_notify):
        fuzzer.methods = [(mod.Positions, fn, inspect.signature(fn))]
        fuzzer.call_one()
        fuzzer.call_one()  # queue empty now: skipped, not blocked
    assert pos.fetch_position_queue.qsize() == 0 and pos.finish_fetch_position_queue.qsize() == 0


# ---- Python code running in the middle of a call
#
# Each case is a few lines that crashed the interpreter when a value read
# before a hook ran was used after it. They run in a fresh process, so a crash
# fails one case; the printed outcome is what a plain-Python rendering of the
# same steps gives.

HOOK_PRELUDE = """
import os, time
os.environ["TZ"] = "Asia/Taipei"; time.tzset()
from datetime import datetime
from zopt_kelv_backtest.modules.positions import positions as m
class Quiet:
    def print(self, text): pass
m.console = Quiet()
BASE = datetime(2024, 5, 15, 9, 0, 30).timestamp()  # a Wednesday
def tick(ts, code="2330", close=100.0):
    return {"timestamp": ts, "code": code, "market_type": "Stock", "close": close, "qty": 1, "tick_type": 1,
            "is_simulate": False}
def one_lot(qty):
    # A Positions holding one long lot of 2330 at 100.0, and that lot.
    p = m.Positions()
    p.set_positions({"code": "2330", "action": "Buy", "price": 100.0, "quantity": qty, "exchange_ts": 1.0,
                     "product_type": "Stock", "trade_id": "a"}, "Stock")
    return p, p.positions["2330"]["buy"][0]
def infos_calling(hook):
    # Latest ticks of 2330 in a mapping whose __getitem__ runs `hook` first.
    class Infos(dict):
        def __getitem__(self, key):
            hook()
            return dict.__getitem__(self, key)
    return Infos({"2330": {"close": 101.0}})
def holiday_calling(qm, hook):
    # A holiday element hash-equal to 2024-05-15 whose __eq__ runs `hook`.
    class Holiday(str):
        def __hash__(self):
            return hash("2024-05-15")
        def __eq__(self, other):
            hook()
            return False
    qm.holiday_search_set.add(Holiday("x" * 3))
def outcome(fn):
    try:
        fn()
        return "ok"
    except Exception as e:
        return f"{type(e).__name__} {e}"
"""

HOOK_CASES = {
    "timestamp_index_rebinds_code": ("""
qm = m.QuoteManager()
t = tick(None, code="".join(["23", "30"]))
class Stamp:
    def __index__(self):
        t["code"] = "".join(["00", "50"])
        return int(BASE)
t["timestamp"] = Stamp()
print(outcome(lambda: qm.add_tick(t)))
print(sorted(qm.ticks), [s["code"] for s in qm.ticks["0050"]["ticks"]])
""", "ok\n['0050'] ['0050']"),
    "timestamp_index_empties_tick": ("""
qm = m.QuoteManager()
t = tick(None)
class Stamp:
    def __index__(self):
        t.clear()
        return int(BASE)
t["timestamp"] = Stamp()
print(outcome(lambda: qm.add_tick(t)))
print(qm.ticks)
""", "KeyError 'code'\n{}"),
    "holiday_eq_empties_tick": ("""
qm = m.QuoteManager()
qm.add_tick(tick(BASE))
t = tick(BASE + 200, close=101.0)
holiday_calling(qm, t.clear)
print(outcome(lambda: qm.add_tick(t)))
print(len(qm.ticks["2330"]["ticks"]), qm.ticks["2330"]["last_tick"]["close"])
""", "KeyError 'market_type'\n1 100.0"),
    "holiday_eq_rebinds_close": ("""
qm = m.QuoteManager()
qm.add_tick(tick(BASE))
t = tick(BASE + 200, close=101.0)
def rebind():
    t["close"] = float("".join(["10", "2.5"]))
    qm.ticks["2330"]["last_tick"]["close"] = 99.5
holiday_calling(qm, rebind)
print(outcome(lambda: qm.add_tick(t)))
print([(s["dt"].strftime("%H:%M:%S"), s["close"], s["is_virtual"]) for s in qm.ticks["2330"]["ticks"]])
""", "ok\n[('09:00:30', 99.5, False), ('09:01:00', 99.5, True), ('09:02:00', 99.5, True), "
     "('09:03:00', 99.5, True), ('09:03:50', 102.5, False)]"),
    "code_hash_clears_ticks": ("""
qm = m.QuoteManager()
class Code(str):
    def __hash__(self):
        qm.clear_ticks()
        return str.__hash__(self)
print(outcome(lambda: qm.add_tick(tick(BASE, code=Code("2330")))))
print(qm.ticks)
""", "KeyError '2330'\n{}"),
    "known_code_hash_clears_ticks": ("""
qm = m.QuoteManager()
qm.add_tick(tick(BASE))
class Code(str):
    def __hash__(self):
        if len(qm.ticks):
            qm.clear_ticks()
        return str.__hash__(self)
print(outcome(lambda: qm.add_tick(tick(BASE + 200, code=Code("2330")))))
print(qm.ticks)
""", "KeyError '2330'\n{}"),
    "detail_tick_lookup_empties_lot": ("""
p, lot = one_lot(1)
p.current_tick_infos = infos_calling(lot.clear)
print(outcome(lambda: p.fetch_positions("Stock", True)))
print(outcome(lambda: p.fetch_positions("Stock", False)))
""", "KeyError 'price'\nKeyError 'quantity'"),
    "summary_tick_lookup_rebinds_lot": ("""
p, lot = one_lot(2)
def rebind():
    lot["price"] = float("".join(["9", "0.0"]))
    lot["quantity"] = 3
p.current_tick_infos = infos_calling(rebind)
p.fetch_positions("Stock", False)
print(p.fetch_position_queue.get_nowait())
""", "[{'code': '2330', 'quantity': 2, 'avg_price': 100.0, 'pnl': 33000.0, 'cond': <OrderCond.CASH: 'Cash'>, "
     "'margin_purchase_amount': 0, 'collateral': 0, 'short_sale_margin': 0, 'interest': 0}]"),
}


@pytest.fixture(scope="module")
def hook_outcomes():
    """Every case in one fresh process (the import is the slow part), each in
    its own namespace; a crash leaves the cases after it without output."""
    import json
    import subprocess
    import sys
    driver = HOOK_PRELUDE + """
import contextlib, io, json, sys
cases = json.loads(sys.stdin.read())
prelude = dict(globals())
for name, body in cases:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(body, dict(prelude))
    print(json.dumps([name, out.getvalue()]), flush=True)
"""
    cases = json.dumps([(name, body) for name, (body, _) in sorted(HOOK_CASES.items())])
    run = subprocess.run([sys.executable, "-X", "faulthandler", "-c", driver], input=cases, capture_output=True,
                         text=True, timeout=300)
    got = dict(json.loads(line) for line in run.stdout.splitlines() if line.startswith("["))
    return got, run.returncode, run.stderr[-3000:]


@pytest.mark.parametrize("case", sorted(HOOK_CASES))
def test_hooks_that_change_state_mid_call(hook_outcomes, case):
    got, returncode, stderr = hook_outcomes
    assert case in got, f"exit status {returncode}: {stderr}"
    assert got[case].strip() == HOOK_CASES[case][1]
