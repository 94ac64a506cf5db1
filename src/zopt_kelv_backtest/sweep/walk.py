"""Walk-forward: the grid run on rolling training days, the best combination of each fold then run on the
trading days that follow it.

Folds count trading days of the market's calendar (weekdays the holiday calendar leaves open) from the
first to the last trading day with ticks of a traded code: fold 1 trains on days ``1..TRAIN`` and tests
on the ``TEST`` days after them, each later fold starts ``STEP`` days later (default ``TEST``, so the test
windows tile the range), and only whole folds are made. A fold's windows are :class:`TradingDays`: the
ticks that count in those trading days, a night session in the next one.

Each code is walked on its own: per fold and code, the training runs are ranked by the metric (see
:data:`METRICS` for which way each figure ranks), runs without a trade after every run that traded,
failed runs never; ties go to the combination first in the grid's order (the grid's names and values in
the order given, the last name varying fastest). The chosen parameters then run on the test days.

The training runs are ordinary combinations of the sweep (``results.parquet``, resumed and fingerprinted
as any sweep's). The test runs go to the same workers; a finished fold is written at once to
``walk_forward.parquet`` and its daily equity to ``walk_forward_equity.parquet`` (both replaced
atomically), and a rerun reuses a fold's test run when the same combination made by the same fingerprint
finished there.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import date, timedelta
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.market import NIGHT_SESSION, TAIPEI_OFFSET, is_trading_day, trading_day_of
from zopt_kelv_backtest.sweep.backends import InProcess, OnDask, make_backend
from zopt_kelv_backtest.sweep.folds import EQUITY_FILE as EQUITY_FILE
from zopt_kelv_backtest.sweep.folds import WALK_FILE as WALK_FILE
from zopt_kelv_backtest.sweep.folds import FoldBook
from zopt_kelv_backtest.sweep.page import write_page
from zopt_kelv_backtest.sweep.plan import (DEFAULT_STRATEGY, Combination, RunTask, SweepInputError, SweepPlan,
                                           SyntheticTicks, TradingDays, _heatmap_axes, _one_line, _strategy_name,
                                           plan_sweep)
from zopt_kelv_backtest.sweep.run import SweepResult, make_out_dir, open_job, run_tasks
from zopt_kelv_backtest.sweep.store import PAGE_FILE, folder_lock

if TYPE_CHECKING:
    import polars as pl
    from rich.console import Console

    from zopt_kelv_backtest.backtest import Strategy

# The figures a fold can be chosen by, and whether a higher value ranks better.
METRICS: dict[str, bool] = {"net_profit": True, "sharpe": True, "win_rate": True, "trade_count": True,
                            "max_drawdown": False, "total_cost": False}


@dataclass(frozen=True)
class WalkSpec:
    """Fold sizes in trading days: ``train`` to choose on, ``test`` to run the choice on, ``step`` from
    one fold's start to the next (at least ``test``: a trading day is tested once)."""

    train: int
    test: int
    step: int

    def __post_init__(self) -> None:
        for name in ("train", "test", "step"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise SweepInputError(f"--walk-forward: {name.upper()} must be a whole number of at least 1, "
                                      f"got {value!r}")
        if self.step < self.test:
            raise SweepInputError(f"--walk-forward {self.label}: STEP {self.step} is shorter than TEST "
                                  f"{self.test}, so test windows would overlap")

    @property
    def label(self) -> str:
        """``TRAIN:TEST:STEP``."""
        return f"{self.train}:{self.test}:{self.step}"


def parse_walk_forward(text: str) -> WalkSpec:
    """``TRAIN:TEST`` or ``TRAIN:TEST:STEP`` (trading days) to a :class:`WalkSpec`; STEP defaults to TEST."""
    parts = [p.strip() for p in text.split(":")]
    if len(parts) not in (2, 3) or not all(p.isdigit() for p in parts):
        raise SweepInputError(f"--walk-forward {text!r}: use TRAIN:TEST or TRAIN:TEST:STEP (trading days)")
    train, test = int(parts[0]), int(parts[1])
    return WalkSpec(train, test, int(parts[2]) if len(parts) == 3 else test)


def check_metric(metric: str) -> str:
    """`metric` when folds can be chosen by it; SweepInputError naming the choices otherwise."""
    if metric not in METRICS:
        raise SweepInputError(f"--metric {metric!r}: choose one of {', '.join(METRICS)}")
    return metric


@dataclass(frozen=True)
class Fold:
    """One fold: its number (from 1), its training days and its test days."""

    number: int
    train: TradingDays
    test: TradingDays


def make_folds(days: Sequence[date], spec: WalkSpec) -> list[Fold]:
    """The whole folds over `days` (trading days in order): fold k trains on ``days[s:s+TRAIN]`` and tests
    on the ``TEST`` days after them, ``s = (k-1)*STEP``."""
    folds: list[Fold] = []
    start = 0
    while start + spec.train + spec.test <= len(days):
        train = days[start:start + spec.train]
        test = days[start + spec.train:start + spec.train + spec.test]
        folds.append(Fold(len(folds) + 1, TradingDays(train[0], train[-1]), TradingDays(test[0], test[-1])))
        start += spec.step
    return folds


def calendar_days(first: date, last: date) -> list[date]:
    """The market's trading days from `first` to `last`, both included."""
    days, day = [], first
    while day <= last:
        if is_trading_day(day):
            days.append(day)
        day += timedelta(days=1)
    return days


def tick_days(ticks: Iterable[dict[str, Any]], codes: Sequence[str]) -> dict[str, set[date]]:
    """The trading days each of `codes` has ticks in (ticks in time order)."""
    days: dict[str, set[date]] = {c: set() for c in codes}
    spans: dict[str, tuple[float, float]] = {}
    for tick in ticks:
        code = tick["code"]
        if code not in days:
            continue
        ts = float(tick["timestamp"])
        lo, hi = spans.get(code, (math.inf, -math.inf))
        if lo <= ts < hi:
            continue
        days[code].add(trading_day_of(ts))
        # A time's trading day moves on only at the night session's start (15:00) and at midnight.
        midnight = ts - (ts + TAIPEI_OFFSET) % 86400
        night = midnight + NIGHT_SESSION[0].hour * 3600 + NIGHT_SESSION[0].minute * 60
        spans[code] = (midnight, night) if ts < night else (night, midnight + 86400)
    return days


def _range_ticks(plan: SweepPlan, first: date | None, last: date | None) -> Iterable[dict[str, Any]]:
    """The plan's ticks, only those of trading days `first` to `last` when given."""
    from zopt_kelv_backtest.backtest import load_ticks

    lo, hi = -math.inf, math.inf
    if first is not None or last is not None:
        start = first or date(1971, 1, 1)
        end = last or date(2999, 12, 31)
        while not is_trading_day(start):
            start += timedelta(days=1)
        while not is_trading_day(end) and end >= start:
            end -= timedelta(days=1)
        if end < start:
            raise SweepInputError(f"--windows {(first or start).isoformat()}:{(last or end).isoformat()}: "
                                  "no trading day in that range")
        lo, hi = TradingDays(start, end).bounds()
    if isinstance(plan.ticks, SyntheticTicks):
        source: Iterable[dict[str, Any]] = plan.ticks.ticks()
    elif os.path.isdir(plan.ticks):
        source = load_ticks(plan.ticks, plan.codes, None if lo == -math.inf else lo, None if hi == math.inf else hi)
    else:
        source = load_ticks(plan.ticks)
    return (t for t in source if lo <= t["timestamp"] < hi)


def plan_walk_forward(strategy: str | type, grid: Mapping[str, Sequence[Any]] | None, spec: WalkSpec, *,
                      ticks: str | os.PathLike[str] | SyntheticTicks | None = None,
                      codes: Sequence[str] | None = None, first_day: date | None = None,
                      last_day: date | None = None, capital: int = 5_000_000,
                      fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None = None,
                      out_dir: str | os.PathLike[str] = "sweep_output") -> tuple[SweepPlan, list[Fold]]:
    """The sweep of the grid on every fold's training days, and the folds; SweepInputError names the first
    fault (a range too short for one fold, a fold's window without ticks of a traded code)."""
    base = plan_sweep(strategy, grid, ticks=ticks, codes=codes, capital=capital, fee_settings=fee_settings,
                      out_dir=out_dir)
    try:
        by_code = tick_days(_range_ticks(base, first_day, last_day), base.codes)
    except SweepInputError:
        raise
    except Exception as exc:
        raise SweepInputError(f"cannot read the ticks: {_one_line(exc)}") from None
    seen = sorted(set().union(*by_code.values()))
    days = calendar_days(seen[0], seen[-1]) if seen else []
    folds = make_folds(days, spec)
    if not folds:
        span = f"{len(days)} trading days ({days[0]} to {days[-1]})" if days else "no trading day"
        raise SweepInputError(f"--walk-forward {spec.label}: the ticks span {span}, fewer than "
                              f"TRAIN+TEST = {spec.train + spec.test}")
    for fold in folds:
        for what, window in (("training", fold.train), ("test", fold.test)):
            empty = [c for c in base.codes if not any(window.start <= d <= window.end for d in by_code[c])]
            if empty:
                raise SweepInputError(f"--walk-forward fold {fold.number}: no ticks for {', '.join(empty)} in "
                                      f"its {what} days {window.start}:{window.end}")
    windows = [f.train for f in folds]
    combos = [Combination(c.params, c.code, w) for c in base.combinations for w in windows]
    return dataclasses.replace(base, windows=list(windows), combinations=combos), folds


def choose(rows: pl.DataFrame, metric: str = "net_profit", *, min_trades: int = 0) -> dict[str, Any] | None:
    """The best of `rows` (training runs in the grid's order) by `metric`, or None when none qualifies.

    Failed runs, runs without a finite `metric` and runs with fewer than `min_trades` trades never win;
    runs without a trade rank after every run that traded; ties keep the earlier row.
    """
    import polars as pl

    value = pl.col(metric).cast(pl.Float64)
    ok = rows.filter(pl.col("error").is_null() & value.is_not_null() & value.is_finite()
                     & (pl.col("trade_count") >= min_trades))
    if ok.is_empty():
        return None
    idle = pl.col("trade_count") == 0
    ranked = ok.sort([idle, value], descending=[False, METRICS[check_metric(metric)]], maintain_order=True)
    return ranked.row(0, named=True)


# --- running a walk-forward ------------------------------------------------------------------


@dataclass
class WalkForwardResult:
    """A walk-forward's folds, its stitched out-of-sample equity, and the sweep of its training runs.

    ``folds`` (``walk_forward.parquet``): one row per fold and code: fold, code, train_start, train_end,
    test_start, test_end (trading days), the chosen parameters, metric, ``train_<figure>`` (the chosen
    run's figures on the training days), ``test_<figure>`` (its figures on the test days), error (why a fold
    has no test figures: no run to choose, or the test run failed), train_combination, test_combination
    (the two runs' keys) and fingerprint.

    ``equity`` (``walk_forward_equity.parquet``): one row per code and trading day of the test windows:
    code, fold, date, equity (that fold's test run, which starts from the capital) and stitched (each test
    run's change of equity chained onto the end of the code's previous fold, from the capital).
    """

    folds: pl.DataFrame
    equity: pl.DataFrame
    sweep: SweepResult
    spec: WalkSpec
    metric: str
    folds_path: Path
    equity_path: Path
    tested: int  # test runs this call ran (the others were finished in the folder)

    @property
    def failed(self) -> pl.DataFrame:
        """Folds without test figures."""
        import polars as pl

        return self.folds.filter(pl.col("error").is_not_null())


def walk_forward(
    strategy: str | type[Strategy] = DEFAULT_STRATEGY,
    grid: Mapping[str, Sequence[Any]] | None = None,
    *,
    train: int,
    test: int,
    step: int | None = None,
    metric: str = "net_profit",
    min_trades: int = 0,
    ticks: str | os.PathLike[str] | SyntheticTicks | None = None,
    codes: Sequence[str] | None = None,
    first_day: date | None = None,
    last_day: date | None = None,
    out_dir: str | os.PathLike[str] = "sweep_output",
    workers: int | None = None,
    scheduler: str | None = None,
    capital: int = 5_000_000,
    fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None = None,
    heatmap: tuple[str, str] | None = None,
    retry_errors: bool = False,
    rerun_changed: bool = False,
    progress: bool = True,
    console: Console | None = None,
) -> WalkForwardResult:
    """Walk `strategy` forward over the ticks: per fold of `train` trading days, the grid's best
    combination by `metric`, run on the `test` trading days after them (see the module's doc).

    Args:
        train, test, step: fold sizes in trading days; `step` (default `test`) from one fold's start to the
            next, at least `test`.
        metric: the figure the training runs are ranked by: one of :data:`METRICS` (max_drawdown and
            total_cost rank lower first, the others higher first).
        min_trades: a training run needs at least this many trades to be chosen.
        first_day, last_day: walk only over the trading days from `first_day` to `last_day` (default:
            every day of the ticks).
        The others as :func:`zopt_kelv_backtest.sweep.run_sweep` takes them.

    Raises SweepInputError on bad input before any run starts. Writes ``results.parquet`` (the training
    runs), ``walk_forward.parquet``, ``walk_forward_equity.parquet`` and ``sweep.html`` in `out_dir`.
    """
    spec = WalkSpec(train, test, test if step is None else step)
    check_metric(metric)
    if isinstance(min_trades, bool) or not isinstance(min_trades, int) or min_trades < 0:
        raise SweepInputError(f"--min-trades must be a whole number of at least 0, got {min_trades!r}")
    plan, folds = plan_walk_forward(strategy, grid, spec, ticks=ticks, codes=codes, first_day=first_day,
                                    last_day=last_day, capital=capital, fee_settings=fee_settings,
                                    out_dir=out_dir)
    return run_walk_forward(plan, folds, spec, metric=metric, min_trades=min_trades, workers=workers,
                            scheduler=scheduler, heatmap=heatmap, retry_errors=retry_errors,
                            rerun_changed=rerun_changed, progress=progress, console=console)


def run_walk_forward(plan: SweepPlan, folds: Sequence[Fold], spec: WalkSpec, *, metric: str = "net_profit",
                     min_trades: int = 0, workers: int | None = None, scheduler: str | None = None,
                     heatmap: tuple[str, str] | None = None, retry_errors: bool = False,
                     rerun_changed: bool = False, progress: bool = True,
                     console: Console | None = None) -> WalkForwardResult:
    """Run a planned walk-forward (:func:`plan_walk_forward`) into `plan.out_dir` (see :func:`walk_forward`)."""
    backend = make_backend(workers, scheduler)
    axes = _heatmap_axes(plan, heatmap)
    make_out_dir(plan.out_dir)
    with folder_lock(plan.out_dir), contextlib.ExitStack() as stack:
        job = open_job(plan, backend, retry_errors=retry_errors, rerun_changed=rerun_changed, console=console)
        entered: list[InProcess | OnDask] = []

        def runner() -> InProcess | OnDask:
            if not entered:  # one cluster for the training runs and the test runs
                stack.enter_context(backend)
                entered.append(backend)
            return entered[0]

        ran, rows = run_tasks(job, runner() if job.tasks else InProcess(), progress=progress, on_row=None)
        book = FoldBook(plan, job, metric)
        book.load(retry_errors)
        tasks = _choices(book, folds, rows, metric, min_trades)
        book.write()
        tested = book.run(tasks, runner() if tasks else InProcess(), progress=progress)
    page = plan.out_dir / PAGE_FILE
    sweep = SweepResult(rows=rows, results_path=job.store.path, page_path=page, ran=ran, skipped=job.skipped,
                        param_names=list(plan.param_defaults), swept=list(plan.grid))
    result = WalkForwardResult(folds=book.folds_frame(), equity=book.equity_frame(), sweep=sweep, spec=spec,
                               metric=metric, folds_path=book.folds_path, equity_path=book.equity_path,
                               tested=tested)
    write_page(rows, page, x=axes[0], y=axes[1], params=list(plan.grid) or list(plan.param_defaults),
               title=f"Walk-forward of {_strategy_name(plan.strategy)}", walk=(result.folds, result.equity))
    return result


def _choices(book: FoldBook, folds: Sequence[Fold], rows: pl.DataFrame, metric: str, min_trades: int
             ) -> list[RunTask]:
    """Each fold's choice per code, from the plan's training rows in the grid's order; the test runs to do."""
    import polars as pl

    plan = book.plan
    order = {c.key: i for i, c in enumerate(plan.combinations)}
    ours = rows.filter(pl.col("combination").is_in(list(order)))
    ours = ours.with_columns(pl.col("combination").replace_strict(order, return_dtype=pl.Int64).alias("_order"))
    ours = ours.sort("_order")
    why = (f"no training run with at least {min_trades} trades" if min_trades
           else "no training run to choose from: every one failed")
    tasks = []
    for fold in folds:
        for code in plan.codes:
            of_fold = ours.filter((pl.col("window") == fold.train.label) & (pl.col("code") == code))
            best = choose(of_fold, metric, min_trades=min_trades)
            task = book.add(fold, code, best, None if best is not None else why)
            if task is not None:
                tasks.append(task)
    return tasks
