"""Console lines of a fill: the package console against a console that does nothing.

usage: python bench/bench_console.py [--quick]

One fill is one `Positions.set_positions` call on "2330", alternating an opening buy (two console
lines) and a covering sell (four lines). The module's `console` global is swapped between:
null (a `print` that does nothing), the package console (`console.LineConsole`) writing to a file, to a
pseudo-terminal (standard colours; a child process reads the other end, as a terminal would) and
quiet, and rich's default `Console` (what the package used before) to a file and to the terminal.
Times are wall clock per fill, best of the rounds (the machine is shared: the best is the
least disturbed); the variants take turns within each round so a
loaded machine weighs on all of them alike. Ratios are against null in the same run.
"""

from __future__ import annotations

import argparse
import gc
import os
import pty
import sys
import tempfile
import time

import zopt_kelv_backtest.modules.positions.positions as positions_module
from rich.console import Console
from zopt_kelv_backtest.console import LineConsole


class NullConsole:
    def print(self, text):
        pass


def fills(n):
    out = []
    for i in range(n):
        buy = i % 2 == 0
        out.append({"code": "2330", "action": "Buy" if buy else "Sell", "price": 580.0 + (i % 7),
                    "quantity": 1, "exchange_ts": 1_706_750_000.0 + i, "product_type": "Stock",
                    "trade_id": f"T{i}"})  # fmt: skip
    return out


def time_fills(con, batch):
    gc.collect()  # the garbage of the variant before is not this one's to collect
    positions_module.console = con
    p = positions_module.Positions()
    p.set_initial_capital(10_000_000)
    sp = p.set_positions
    t0 = time.perf_counter()
    for f in batch:
        sp(f, "Stock")
    if hasattr(con, "flush"):
        con.flush()
    return (time.perf_counter() - t0) / len(batch)


def reader(master, slave):
    """Child process: drain the terminal's other end until it closes."""
    pid = os.fork()
    if pid == 0:
        os.close(slave)
        try:
            while os.read(master, 1 << 16):
                pass
        except OSError:
            pass
        os._exit(0)
    return pid


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer fills and rounds")
    args = ap.parse_args()
    n, rounds, rich_n = (1000, 3, 40) if args.quick else (4000, 7, 100)

    master, slave = pty.openpty()
    child = reader(master, slave)
    os.close(master)
    tty = open(slave, "w", encoding="utf-8", buffering=1)
    tmp = tempfile.TemporaryDirectory()
    log = open(os.path.join(tmp.name, "lines.log"), "w", encoding="utf-8")
    rich_log = open(os.path.join(tmp.name, "rich.log"), "w", encoding="utf-8")
    variants = {
        "null console": (NullConsole(), n),
        "package console, file": (LineConsole(file=log), n),
        "package console, terminal": (LineConsole(file=tty, color_system="standard"), n),
        "package console, quiet": (LineConsole(file=tty, quiet=True), n),
        "rich Console(), file": (Console(file=rich_log), rich_n),
        "rich Console(), terminal": (Console(file=tty, color_system="standard"), rich_n),
    }
    batch = fills(n)
    times = {name: [] for name in variants}
    saved = positions_module.console
    try:
        time_fills(NullConsole(), batch)  # warm up
        for _ in range(rounds):
            for name, (con, count) in variants.items():
                times[name].append(time_fills(con, batch[:count]))
    finally:
        positions_module.console = saved
        tty.close()
        os.waitpid(child, 0)
        log.close()
        rich_log.close()
        tmp.cleanup()

    null = min(times["null console"])
    print(f"{n} fills (half openings, half covers; 3 lines a fill on average), best of {rounds} rounds; "
          f"rich consoles over the first {rich_n}")
    print(f"{'console':<28} {'us/fill':>10} {'x null':>8}")
    for name, ts in times.items():
        t = min(ts)
        print(f"{name:<28} {t * 1e6:>10.2f} {t / null:>8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
