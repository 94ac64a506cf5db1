"""Importing the exchange's daily tick file, and reading the store back, against the plain ways.

usage: python bench/bench_import.py [--rows N] [--threads N] [--rounds N] [--quick]

Generates a realistic day file (``--rows``, default 1,000,000, of about 160 products: the index futures
and many stock futures; near and next month, weekly contracts, spreads, auction rows, the night session
across midnight) as the exchange's zip, then, side by side in this one process:

- ``import_daily_files`` of the zip into a fresh store (unzip, parse, check, write the Parquet day files
  and the roll tables) against ``pandas.read_csv(encoding="cp950")`` of the same zip plus the same
  filtering: numbers read as numbers, the padding stripped, the index futures' single contracts kept
  (spreads and weekly contracts left out), B+S halved, Taipei date and time to epoch seconds. The pandas
  result is checked to hold the same rows, times and quantities as ours, in the same order;
- ``parse_daily`` against the same pandas work, both from the unzipped bytes (no unzip, no writing);
- unzipping alone, the floor under both whole runs;
- one product-day (the mini-TAIEX near month, every tick) read into tick records: ``read_store`` against
  ``load_ticks`` of the same rows written as a CSV.

Polars gets ``--threads`` threads (default 1: one core). Best of ``--rounds`` rounds (default 3), each
after a full collection; wall clock and CPU time of the process. The ratios are of CPU time.
"""

from __future__ import annotations

import argparse
import gc
import os
import tempfile
import time
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價"
CODES = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF", "TE": "EXF", "TF": "FXF", "T5F": "T5F", "XIF": "XIF", "GTF": "GTF"}
INDEX = {"TX": 0.14, "MTX": 0.26, "TMF": 0.16, "TE": 0.01, "TF": 0.01, "T5F": 0.002, "XIF": 0.002, "GTF": 0.002}


def day_file(rows: int, seed: int = 3) -> bytes:
    """A daily file of 2024-06-19 (night session from 15:00 on 2024-06-18), ``rows`` trades."""
    import numpy as np
    import polars as pl

    rng = np.random.default_rng(seed)
    stocks = [f"{a}{b}F" for a in "CDEFGHIJKLNOPQR" for b in "ABCDEFGHIJ"]
    names = [*INDEX, *stocks]
    left = 1 - sum(INDEX.values())
    weights = np.array([*INDEX.values(), *[left / len(stocks)] * len(stocks)])
    product = rng.choice(len(names), rows, p=weights / weights.sum())
    # Seconds into the trading day's 19 hours: 14 of night session (15:00-05:00), 5 of day session.
    second = np.sort(rng.integers(0, 19 * 3600, rows))
    night = second < 14 * 3600
    clock = np.where(night, (15 * 3600 + second) % 86400, 8 * 3600 + 45 * 60 + second - 14 * 3600)
    after_midnight = night & (15 * 3600 + second >= 86400)
    date = np.where(after_midnight | ~night, "20240619", "20240618")
    hhmmss = clock // 3600 * 10000 + clock // 60 % 60 * 100 + clock % 60
    kind = rng.choice(4, rows, p=[0.85, 0.1, 0.03, 0.02])  # near, next, weekly, spread
    contract = np.array(["202406", "202407", "202406W4", "202406/202407"])[kind]
    base = np.where(product < len(INDEX), 20000, 500)
    price = base + rng.integers(-200, 200, rows) * np.where(kind == 3, 0, 1) + np.where(kind == 3, 60 - base, 0)
    near = np.where(kind == 3, (base + 1).astype(str), "-")
    far = np.where(kind == 3, (base + 61).astype(str), "-")
    auction = np.where((clock == 15 * 3600) | (clock == 8 * 3600 + 45 * 60), "*", "")
    frame = pl.DataFrame({"date": date, "product": np.array(names)[product], "contract": contract,
                          "time": hhmmss, "price": price, "volume": 2 * rng.integers(1, 6, rows),
                          "near": near, "far": far, "auction": auction})
    lines = frame.select(pl.concat_str([
        "date", pl.col("product").str.pad_end(7), pl.col("contract").str.pad_end(11),
        pl.col("time").cast(pl.String).str.pad_start(7), pl.col("price").cast(pl.String).str.pad_start(8),
        pl.col("volume").cast(pl.String).str.pad_start(4), "near", "far", "auction"], separator=","))
    return (HEADER + "\r\n").encode("cp950") + ("\r\n".join(lines.to_series().to_list()) + "\r\n").encode()


def pandas_import(source: Path | bytes) -> Any:
    """The same file the plain pandas way: read it (numbers as numbers), strip the text fields, keep the
    index futures' single contracts, halve B+S, Taipei date and time to epoch seconds."""
    import io

    import pandas as pd

    names = ["date", "product", "contract", "time", "price", "volume", "near", "far", "auction"]
    if isinstance(source, bytes):
        df = pd.read_csv(io.BytesIO(source), encoding="cp950", header=0, names=names, skipinitialspace=True,
                         dtype={"auction": str})
    else:
        df = pd.read_csv(source, encoding="cp950", compression="zip", header=0, names=names,
                         skipinitialspace=True, dtype={"auction": str})
    df["product"] = df["product"].str.strip()
    df["contract"] = df["contract"].str.strip()
    df = df[df["product"].isin(list(CODES)) & df["contract"].str.fullmatch(r"\d{6}")].copy()
    local = pd.to_datetime(df["date"].astype(str) + df["time"].astype(str).str.zfill(6), format="%Y%m%d%H%M%S")
    df["timestamp"] = (local.dt.tz_localize("Asia/Taipei") - pd.Timestamp(0, tz="UTC")).dt.total_seconds()
    df["code"] = df["product"].map(CODES) + df["contract"]
    df["close"] = df["price"].astype(float)
    df["qty"] = df["volume"] // 2
    df["auction"] = df["auction"].fillna("").str.strip() == "*"
    return df[["timestamp", "code", "close", "qty", "contract", "auction"]]


def unzip(path: Path) -> bytes:
    """The day file's bytes: the floor under both whole runs."""
    with zipfile.ZipFile(path) as archive:
        return archive.read(archive.namelist()[0])


def same_rows(ours: Any, theirs: Any) -> None:
    """Stop unless pandas kept the rows we keep, with the same times, codes, prices and quantities."""
    import numpy as np

    assert len(theirs) == ours.height, (len(theirs), ours.height)
    for column in ("timestamp", "close", "qty", "code", "auction"):
        assert np.array_equal(theirs[column].to_numpy(), ours[column].to_numpy()), column


def best(rounds: int, run: Callable[[], Any]) -> tuple[float, float]:
    """Best wall-clock and CPU seconds of ``rounds`` runs."""
    wall = cpu = float("inf")
    for _ in range(rounds):
        gc.collect()
        w, c = time.perf_counter(), time.process_time()
        run()
        wall, cpu = min(wall, time.perf_counter() - w), min(cpu, time.process_time() - c)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200,000 rows, one round")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.rounds = 200_000, 1
    os.environ["POLARS_MAX_THREADS"] = str(args.threads)  # before polars loads
    os.environ["TZ"] = "Asia/Taipei"
    time.tzset()
    import polars as pl

    from zopt_kelv_backtest.backtest import load_ticks
    from zopt_kelv_backtest.data import import_daily_files, parse_daily, read_store, resolve_products

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        data = day_file(args.rows)
        zipped = root / "Daily_2024_06_19.zip"
        with zipfile.ZipFile(zipped, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("Daily_2024_06_19.csv", data)
        print(f"day file: {args.rows:,} rows, {len(data) / 1e6:.1f} MB ({zipped.stat().st_size / 1e6:.1f} MB "
              f"zipped); polars threads: {pl.thread_pool_size()}; load average {load()}")
        products = resolve_products()
        ours = parse_daily(data, "bench", products)
        same_rows(ours, pandas_import(zipped))
        print(f"{ours.height:,} rows kept (the index futures' single contracts); pandas keeps the same rows")
        runs = {
            "import_daily_files, zip -> store": lambda: import_daily_files(zipped, root / "s"),
            "pandas read_csv(cp950) + filtering, zip": lambda: pandas_import(zipped),
            "parse_daily, unzipped bytes": lambda: parse_daily(data, "bench", products),
            "pandas read_csv(cp950) + filtering, bytes": lambda: pandas_import(data),
            "unzip alone": lambda: unzip(zipped),
        }
        results = {name: best(args.rounds, run) for name, run in runs.items()}
        for name, (wall, cpu) in results.items():
            print(f"  {name:44s} {wall:7.3f} s wall {cpu:7.3f} s CPU  {args.rows / cpu / 1e6:5.2f} M rows/s CPU")
        whole, plain, parse, plain_bytes, (_, floor) = results.values()
        print(f"  import: {args.rows / whole[1] / 1e6:.2f} M rows/s CPU (target 1)")
        print(f"  pandas / import, zip: {plain[1] / whole[1]:.1f}x CPU, {plain[0] / whole[0]:.1f}x wall (target 10x: "
              f"an import in {plain[1] / 10:.3f} s CPU; unzipping alone takes {floor:.3f} s)")
        print(f"  pandas / parse_daily, bytes: {plain_bytes[1] / parse[1]:.1f}x CPU, "
              f"{plain_bytes[0] / parse[0]:.1f}x wall")

        one = pl.DataFrame(list(read_store(root / "s", ["MXF202406"])))
        one.write_csv(root / "one.csv")
        reads = {
            "read_store, one product-day": best(args.rounds, lambda: sum(1 for _ in read_store(root / "s", ["MXF202406"]))),
            "load_ticks, the same rows as CSV": best(args.rounds, lambda: sum(1 for _ in load_ticks(root / "one.csv"))),
        }
        print(f"{one.height:,} tick records of MXF202406 on 2024-06-19")
        for name, (wall, cpu) in reads.items():
            print(f"  {name:44s} {wall:7.3f} s wall {cpu:7.3f} s CPU")
        store, csv = reads["read_store, one product-day"], reads["load_ticks, the same rows as CSV"]
        print(f"  load_ticks / read_store: {csv[1] / store[1]:.1f}x CPU, {csv[0] / store[0]:.1f}x wall (target 3x)")
        print(f"load average at the end {load()}")


def load() -> str:
    """The 1, 5 and 15 minute load averages."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


if __name__ == "__main__":
    main()
