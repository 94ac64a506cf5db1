"""Continuous near-month series: which contract month stands for a futures product on each trading day.

- ``expiry`` (default): an index future's last trading day is the third Wednesday of its contract month,
  moved on to the next trading day when the calendar closes that day; the next month's contract takes
  over on the following trading day (whose night session starts on the last trading day's evening).
- ``volume``: the contract month that traded the most contracts on the store's previous trading day of
  the product (the nearer month on a tie), never an earlier month than the day before and never an expired
  one; on the store's first day, the expiry rule.

The store keeps the choice as ``rolls/<PRODUCT>.csv``: ``trading_day`` (YYYY-MM-DD), ``contract``
(YYYYMM), ``roll`` (true on the first day of a new contract month) and ``rule``. The volumes the volume
rule reads are kept as ``rolls/<PRODUCT>.volumes.parquet`` (trading_day, contract, qty).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from datetime import date, timedelta

import polars as pl

from zopt_kelv_backtest import market
from zopt_kelv_backtest.backtest import InputError
from zopt_kelv_backtest.data.store import FUTURES, ROLLS, day_files, write_parquet_atomic

__all__ = ["ROLL_RULES", "last_trading_day", "near_month", "read_rolls", "roll_table", "update_rolls"]

ROLL_RULES = ("expiry", "volume")
ROLL_SCHEMA = {"trading_day": pl.Date, "contract": pl.String, "roll": pl.Boolean, "rule": pl.String}
VOLUME_SCHEMA = {"trading_day": pl.Date, "contract": pl.String, "qty": pl.Int64}


def last_trading_day(year: int, month: int) -> date:
    """The last trading day of an index future of ``year``-``month``: its third Wednesday, or the first
    trading day after it when the holiday calendar closes that day."""
    first = date(year, month, 1)
    day = first + timedelta(days=(2 - first.weekday()) % 7 + 14)
    closed = market.holiday_dates()
    while not market.is_trading_day(day, closed):
        day += timedelta(days=1)
    return day


def near_month(day: date) -> str:
    """The near-month contract (``YYYYMM``) trading on ``day`` by the expiry rule."""
    if day <= last_trading_day(day.year, day.month):
        return f"{day.year:04d}{day.month:02d}"
    year, month = (day.year + 1, 1) if day.month == 12 else (day.year, day.month + 1)
    return f"{year:04d}{month:02d}"


def roll_table(days: Sequence[date], volumes: pl.DataFrame | None = None, rule: str = "expiry") -> pl.DataFrame:
    """The continuous series' contract month of each of ``days`` by ``rule`` (``volume`` reads
    ``volumes``: trading_day, contract, qty)."""
    if rule not in ROLL_RULES:
        raise InputError(f"unknown roll rule {rule!r}: use {' or '.join(ROLL_RULES)}")
    days = sorted(set(days))
    by_day: dict[date, dict[str, int]] = {}
    if rule == "volume" and volumes is not None:
        for day, contract, qty in volumes.iter_rows():
            by_day.setdefault(day, {})[contract] = by_day.get(day, {}).get(contract, 0) + qty
    chosen: list[str] = []
    before: date | None = None
    for day in days:
        floor = near_month(day)
        pick = floor
        if rule == "volume" and before is not None:
            traded = {c: q for c, q in by_day.get(before, {}).items() if c >= floor}
            if traded:
                pick = max(traded, key=lambda c: (traded[c], -int(c)))
            if chosen and chosen[-1] > pick:  # never back to an earlier month
                pick = chosen[-1]
        chosen.append(pick)
        before = day
    rolled = [i > 0 and chosen[i] != chosen[i - 1] for i in range(len(chosen))]
    return pl.DataFrame({"trading_day": days, "contract": chosen, "roll": rolled, "rule": [rule] * len(days)},
                        schema=ROLL_SCHEMA)


def _paths(root: str, product: str) -> tuple[str, str]:
    folder = os.path.join(root, ROLLS)
    return os.path.join(folder, f"{product}.csv"), os.path.join(folder, f"{product}.volumes.parquet")


def read_rolls(root: str, product: str) -> pl.DataFrame | None:
    """The roll table of ``product`` in the store at ``root``; ``None`` when there is none."""
    path = _paths(root, product)[0]
    if not os.path.isfile(path):
        return None
    try:
        with open(path, "rb") as f:  # a file object: polars needs no file-system layer for it
            return pl.read_csv(f, schema=ROLL_SCHEMA)
    except pl.exceptions.PolarsError as exc:
        raise InputError(f"cannot read the roll table {path}: {str(exc).splitlines()[0]}") from None


def _as_volumes(frame: pl.DataFrame) -> pl.DataFrame:
    return frame.select(VOLUME_SCHEMA.keys()).cast(VOLUME_SCHEMA)  # type: ignore[arg-type]


def day_volumes(ticks: pl.DataFrame) -> pl.DataFrame:
    """Contracts traded per trading day and monthly contract of ticks with ``contract`` (and per
    ``product`` when the ticks have one)."""
    keys = [k for k in ("product", "trading_day", "contract") if k in ticks.columns]
    return (ticks.filter(pl.col("contract").str.len_chars() == 6).group_by(keys).agg(pl.col("qty").sum())
            .select(*keys, pl.col("qty").cast(pl.Int64)))


def update_rolls(root: str, product: str, rule: str | None = None, fresh: pl.DataFrame | None = None) -> pl.DataFrame:
    """Recompute and write the roll table of ``product`` over every day the store holds.

    ``fresh`` holds the volumes of days just written (they replace the kept ones); days without kept
    volumes are read from their files. ``rule`` ``None`` keeps the rule the table has (expiry for a new
    one). Returns the table.
    """
    roll_path, volume_path = _paths(root, product)
    if rule is None:
        known = read_rolls(root, product)
        rule = str(known["rule"][-1]) if known is not None and known.height else "expiry"
    files = dict(day_files(root, FUTURES, product))
    kept = _as_volumes(pl.read_parquet(volume_path)) if os.path.isfile(volume_path) else pl.DataFrame(
        schema=VOLUME_SCHEMA)
    if fresh is not None and fresh.height:
        kept = pl.concat([kept.filter(~pl.col("trading_day").is_in(fresh["trading_day"].unique().implode())),
                          _as_volumes(fresh)])
    kept = kept.filter(pl.col("trading_day").is_in(list(files)))
    missing = sorted(set(files) - set(kept["trading_day"].to_list()))
    if missing:
        read = pl.concat([pl.read_parquet(files[d], columns=["contract", "qty"]).with_columns(
            trading_day=pl.lit(d, pl.Date)) for d in missing])
        kept = pl.concat([kept, _as_volumes(day_volumes(read))])
    kept = kept.sort("trading_day", "contract")
    table = roll_table(list(files), kept, rule)
    write_parquet_atomic(kept, volume_path)
    _write_csv_atomic(table, roll_path)
    return table


def _write_csv_atomic(frame: pl.DataFrame, path: str) -> None:
    folder, base = os.path.split(path)
    os.makedirs(folder, exist_ok=True)
    tmp = os.path.join(folder, f".{base}.{os.getpid()}.tmp")
    try:
        frame.write_csv(tmp)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
