"""One QuoteManager shared by threads, or re-entered from a hook of its own state: every query's
bars and every stored tick end as some serial order of the same calls gives them."""

import subprocess
import sys
from datetime import datetime

import pytest

# Threads with codes of their own, a writer of a shared code and readers of it querying while it
# writes; the switch interval makes the interpreter hand over as often as it can. At the end every
# stored tick and every key's bars must equal one serial QuoteManager fed the same ticks.
SHARED = r"""
import os, random, sys, threading, time
os.environ["TZ"] = "Asia/Taipei"; time.tzset()
from datetime import datetime
from zopt_kelv_backtest.modules.positions.positions import QuoteManager

KEYS = [("m", 1), ("m", 5), ("h", 1)]
BASE = datetime(2024, 5, 15, 9, 0, 5).timestamp()
N = int(sys.argv[1])

def stream(code, n, seed):
    rng = random.Random(seed)
    t = BASE + rng.uniform(0, 30)
    out = []
    for _ in range(n):
        t += rng.choice([3.0, 11.0, 47.0, 190.0]) if rng.random() < 0.9 else 1500.0
        out.append({"timestamp": t, "code": code, "market_type": "Stock", "close": 100.0 + rng.randrange(40) / 4,
                    "qty": 1 + rng.randrange(3), "tick_type": 1, "is_simulate": rng.random() < 0.05})
    return out

def state(q, code):
    s = q.ticks[code]
    rows = [(t["dt"], t["close"], t["qty"], t["is_virtual"]) for t in s["old_ticks"] + s["ticks"]]
    return rows, {k: q.get_kbar(code, *k).rows() for k in KEYS}

codes = [f"C{k}" for k in range(8)]
streams = {c: stream(c, N, k) for k, c in enumerate(codes)}
streams["SH"] = stream("SH", 3 * N, 99)
serial = QuoteManager()
for c, ticks in streams.items():
    for t in ticks:
        serial.add_tick(t)

q = QuoteManager()
errors = []
writing = threading.Event()
writing.set()
start = threading.Barrier(len(codes) + 3)

def guarded(work):
    def run(*args):
        start.wait()
        try:
            work(*args)
        except BaseException as e:
            errors.append(repr(e))
    return run

@guarded
def own(code):
    for i, t in enumerate(streams[code]):
        q.add_tick(t)
        if i % 7 == 0:
            q.get_kbar(code, *KEYS[i % 3])

@guarded
def writer():
    try:
        for i, t in enumerate(streams["SH"]):
            q.add_tick(t)
            if i % 5 == 0:
                q.get_kbar("SH", "m", 1)
    finally:
        writing.clear()

@guarded
def reader(k):
    while writing.is_set():
        if "SH" in q.ticks:
            bars = q.get_kbar("SH", *KEYS[k % 3])
            assert bars["dt"].is_sorted() and bars["dt"].n_unique() == bars.height, bars

sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=own, args=(c,)) for c in codes]
threads += [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(k,)) for k in range(2)]
for t in threads: t.start()
for t in threads: t.join()
sys.setswitchinterval(0.005)
for c in streams:
    got, want = state(q, c), state(serial, c)
    if got[0] != want[0]:
        errors.append(f"{c}: stored ticks differ")
    errors.extend(f"{c} {k}: bars differ" for k in KEYS if got[1][k] != want[1][k])
print(errors)
sys.exit(1 if errors else 0)
"""


def test_threads_sharing_one_quote_manager_lose_no_tick():
    for _ in range(4):  # fresh processes: the interleaving differs from run to run
        run = subprocess.run([sys.executable, "-c", SHARED, "400"], capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr[-2000:]


BASE = datetime(2024, 5, 15, 9, 0, 30).timestamp()  # a Wednesday


def tick(i):
    return {"timestamp": BASE + 37 * i, "code": "2330", "market_type": "Stock", "close": 100.0 + i % 5,
            "qty": 1 + i % 3, "tick_type": 1, "is_simulate": False}


@pytest.mark.parametrize("key", ["cached_kbars", "old_ticks", "ticks"])
@pytest.mark.parametrize("nested", [("add",), ("kbar",), ("add", "kbar")])
def test_query_reentered_from_its_state_ends_as_a_serial_order(mod, key, nested):
    # The code's state is a mapping whose first read of `key` adds a tick and/or
    # queries the same key; afterwards the bars equal those of one build over
    # every tick, as serial calls give them.
    qm = mod.QuoteManager()
    for i in range(10):
        qm.add_tick(tick(i))
    qm.get_kbar("2330", "m", 1)
    for i in range(10, 20):
        qm.add_tick(tick(i))
    fired = []

    class State(dict):
        def __getitem__(self, name):
            if name == key and not fired:
                fired.append(name)
                if "add" in nested:
                    qm.add_tick(tick(20))
                if "kbar" in nested:
                    qm.get_kbar("2330", "m", 1)
            return dict.__getitem__(self, name)

    qm.ticks["2330"] = State(qm.ticks["2330"])
    qm.get_kbar("2330", "m", 1)
    assert fired
    qm.ticks["2330"] = dict(qm.ticks["2330"])
    serial = mod.QuoteManager()
    for i in range(21 if "add" in nested else 20):
        serial.add_tick(tick(i))
    assert qm.get_kbar("2330", "m", 1).rows() == serial.get_kbar("2330", "m", 1).rows()
