"""Both reports of one code: ten trading days of one-minute bars and 1,000 profit rows.

usage: python bench/bench_reports.py [--quick] [--repeat N]

Each repetition starts from a fresh QuoteManager fed the synthetic ticks of 2330 and 0050 (ten trading
days, not timed), so the one-minute query is a first (uncached) build as at the end of a run, and a
fresh Positions holding 1,000 profit rows of 2330. Timed: generate_standard_report then
generate_qs_profit_report, with the split measured inside the calls by wrapping the module globals
(json, template, qs) and the quote manager's get_kbar. The baseline is the literal plain-Python
rendering of both methods (baseline_reports.py) on the same data with the same wrappers.
Run with the module importable, e.g. PYTHONPATH=build/<dir>/stage.
"""

import argparse
import logging
import os
import platform
import random
import sys
import tempfile
import time
import warnings
from pathlib import Path

os.environ["TZ"] = "Asia/Taipei"
time.tzset()

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline_reports  # noqa: E402
import zopt_kelv_backtest.modules.positions.positions as mod  # noqa: E402
from zopt_kelv_backtest import synthetic  # noqa: E402

PHASES = ("kbar", "json", "render", "qs")


class Clock:
    def __init__(self):
        self.t = dict.fromkeys(PHASES, 0.0)

    def wrap(self, phase, fn):
        def timed(*a, **k):
            t0 = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                self.t[phase] += time.perf_counter() - t0
        return timed


class Namespace:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class TimedQuotes:
    def __init__(self, qm, clock):
        self.get_kbar = clock.wrap("kbar", qm.get_kbar)


def instrument(clock, real):
    mod.json = Namespace(dumps=clock.wrap("json", real["json"].dumps))
    mod.template = Namespace(render=clock.wrap("render", real["template"].render))
    mod.qs = Namespace(utils=real["qs"].utils,
                       reports=Namespace(html=clock.wrap("qs", real["qs"].reports.html)))


class Quiet:
    def print(self, text):
        pass


def profit_rows(n, days, seed=3):
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        day = days[i * len(days) // n]
        entry = synthetic._epoch(synthetic.datetime.combine(day, synthetic.time(9, 0))) + rng.uniform(0, 3 * 3600)
        exit_ = entry + rng.uniform(60, 3600)
        price = round(rng.uniform(570, 590))
        rows.append({"code": "2330", "entry_dt": entry, "entry_price": float(price), "entry_origin_price": float(price - 1),
                     "exit_dt": exit_, "exit_price": float(price + rng.randint(-5, 5)),
                     "exit_origin_price": float(price), "qty": 1, "min_qty": 1000, "trade_cost": 855,
                     "cover_cost": 2600, "profit": float(rng.randint(-8000, 9000)), "profit_ratio": 0.001})
    return rows


def one_run(ticks, rows, runner):
    qm = mod.QuoteManager()
    for t in ticks:
        qm.add_tick(t)
    pos = mod.Positions()
    pos.set_initial_capital(5_000_000)
    pos._profit_report["rows"].extend(dict(r) for r in rows)
    clock = Clock()
    real = {"json": mod.json, "template": mod.template, "qs": mod.qs}
    instrument(clock, real)
    try:
        quotes = TimedQuotes(qm, clock)
        t0 = time.perf_counter()
        runner(pos, quotes)
        total = time.perf_counter() - t0
    finally:
        mod.json, mod.template, mod.qs = real["json"], real["template"], real["qs"]
    return total, clock.t


def ours(pos, quotes):
    pos.generate_standard_report("2330", quotes)
    pos.generate_qs_profit_report("2330", quotes)


def baseline(pos, quotes):
    baseline_reports.standard_report(mod, pos, "2330", quotes)
    baseline_reports.qs_profit_report(mod, pos, "2330", quotes)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="one repetition")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    repeat = 1 if args.quick else args.repeat
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore")

    days = synthetic.trading_days(synthetic.date(2024, 2, 1), 10)
    products = [p for p in synthetic.DEFAULT_PRODUCTS if p.code in ("2330", "0050")]
    ticks = synthetic.generate_ticks(start=days[0], days=10, products=products)
    rows = profit_rows(1000, days)
    mod.console = Quiet()
    import contextlib
    import io

    best = {}
    with tempfile.TemporaryDirectory() as tmp:
        mod.BASIC_INFO.data_dir = tmp
        for name, runner in (("ours", ours), ("baseline", baseline)):
            runs = []
            for _ in range(repeat):
                with contextlib.redirect_stdout(io.StringIO()):
                    runs.append(one_run(ticks, rows, runner))
            best[name] = min(runs, key=lambda r: r[0])
        bars = mod.QuoteManager()
        for t in ticks:
            bars.add_tick(t)
        n_bars = bars.get_kbar("2330", "m", 1).height

    import polars
    import pandas
    import quantstats_lumi
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores; Python {platform.python_version()}; "
          f"polars {polars.__version__}, pandas {pandas.__version__}, quantstats-lumi {quantstats_lumi.__version__}")
    print(f"data: {len(ticks):,} ticks -> {n_bars:,} one-minute bars of 2330; 1,000 profit rows; "
          f"best of {repeat}")
    print(f"{'phase':<34} {'ours (s)':>10} {'baseline (s)':>13} {'ratio':>7}")
    for label, key in (("K-bar query (m 1 + 0050 d 1)", "kbar"), ("JSON (json.dumps)", "json"),
                       ("render (template)", "render"), ("QuantStats (reports.html)", "qs")):
        o, b = best["ours"][1][key], best["baseline"][1][key]
        print(f"{label:<34} {o:>10.3f} {b:>13.3f} {b / o if o else float('nan'):>6.2f}x")
    o_rest = best["ours"][0] - sum(best["ours"][1].values())
    b_rest = best["baseline"][0] - sum(best["baseline"][1].values())
    print(f"{'everything else (frames, CSV, I/O)':<34} {o_rest:>10.3f} {b_rest:>13.3f} {b_rest / o_rest:>6.2f}x")
    print(f"{'total, both reports':<34} {best['ours'][0]:>10.3f} {best['baseline'][0]:>13.3f} "
          f"{best['baseline'][0] / best['ours'][0]:>6.2f}x")


if __name__ == "__main__":
    main()
