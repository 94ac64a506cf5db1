"""A whole sweep: the plan's missing combinations run on a backend into the results folder, then the page."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.sweep.backends import InProcess, OnDask, make_backend
from zopt_kelv_backtest.sweep.page import write_page
from zopt_kelv_backtest.sweep.fingerprint import digest, fingerprint_of, what_changed
from zopt_kelv_backtest.sweep.plan import (DEFAULT_STRATEGY, Combination, RunTask, SweepInputError, SweepPlan,
                                           SyntheticTicks, Window, _heatmap_axes, _one_line, _strategy_name,
                                           plan_sweep)
from zopt_kelv_backtest.sweep.store import PAGE_FILE, ResultStore, _check_manifest, _write_manifest, folder_lock

# results.parquet is brought up to date at least this often (seconds) while runs finish, and at the end.
COMPACT_SECONDS = 10.0

from rich.markup import escape

if TYPE_CHECKING:
    import polars as pl
    from rich.console import Console

    from zopt_kelv_backtest.backtest import Strategy


@dataclass
class SweepResult:
    """Every row of ``results.parquet`` after the sweep, and what this call did."""

    rows: pl.DataFrame
    results_path: Path
    page_path: Path | None
    ran: int
    skipped: int
    param_names: list[str]
    swept: list[str]

    @property
    def failed(self) -> pl.DataFrame:
        """Rows whose run raised."""
        import polars as pl

        return self.rows.filter(pl.col("error").is_not_null())

    def best(self, n: int = 10, by: str = "net_profit", *, min_trades: int = 0) -> pl.DataFrame:
        """The `n` rows without errors and with at least `min_trades` trades that rank highest by `by`;
        runs without a trade rank after every run that traded (their figures say nothing)."""
        import polars as pl

        ok = self.rows.filter(pl.col("error").is_null() & pl.col(by).is_not_null()
                              & (pl.col("trade_count") >= min_trades))
        idle = pl.col("trade_count") == 0
        return ok.sort([idle, pl.col(by)], descending=[False, True], nulls_last=True, maintain_order=True).head(n)

    def _repr_html_(self) -> str:
        """A compact HTML summary for notebooks: runs, errors and the rows of :meth:`best`."""
        from zopt_kelv_backtest.backtest.display import SWEEP_ROWS, sweep_html

        return sweep_html(self.rows, best=self.best(SWEEP_ROWS))


def run_sweep(
    strategy: str | type[Strategy] = DEFAULT_STRATEGY,
    grid: Mapping[str, Sequence[Any]] | None = None,
    *,
    ticks: str | os.PathLike[str] | SyntheticTicks | None = None,
    codes: Sequence[str] | None = None,
    windows: Sequence[Window] | None = None,
    out_dir: str | os.PathLike[str] = "sweep_output",
    workers: int | None = None,
    scheduler: str | None = None,
    capital: int = 5_000_000,
    fee_settings: Mapping[str, Mapping[str, Mapping[str, Any]]] | None = None,
    heatmap: tuple[str, str] | None = None,
    retry_errors: bool = False,
    rerun_changed: bool = False,
    progress: bool = True,
    on_row: Callable[[dict[str, Any]], None] | None = None,
    console: Console | None = None,
) -> SweepResult:
    """Run `strategy` over every combination of `grid` values, `codes` and `windows`.

    Args:
        strategy: a ``Strategy`` subclass or its ``"module:Class"`` name (workers import it by name).
        grid: parameter name to the values to try; parameters not named keep their defaults. Text values
            are parsed to the type of the parameter's default.
        ticks: a CSV/Parquet tick file (read by each worker itself), a ``SyntheticTicks`` or None for the
            default synthetic set.
        codes: the codes to trade, one run per code; default every code of the ticks but 0050.
        windows: date windows, one run per window; default one run over every tick.
        out_dir: folder of results.parquet, sweep.html and the part files of runs not merged yet.
        workers: worker processes of the embedded cluster (default: the cores of this machine); 1 runs
            every combination in this process without Dask.
        scheduler: address of an existing Dask scheduler to use instead of an embedded cluster.
        capital: initial capital of each run.
        fee_settings: fee settings of each run, as ``run_backtest`` takes them.
        heatmap: the two columns (parameters, "code" or "window") of the page's heatmap.
        retry_errors: run again the combinations whose stored row holds an error.
        rerun_changed: run again, and replace, the stored rows of combinations that another strategy
            source, package version or tick file made; without it such rows are refused
            (SweepInputError saying what changed).
        progress: show a progress bar.
        on_row: called with each new row as soon as it is stored.
        console: rich console for the progress bar (default: ``zopt_kelv_backtest.utils.console``).

    Combinations already in ``out_dir`` are skipped (resume). Raises SweepInputError on bad input,
    before any run starts, and when another sweep holds ``out_dir``. ``results.parquet`` holds every
    finished run at least every ``COMPACT_SECONDS`` (10 s) while the sweep runs, and at its end; the
    runs in between are in ``parts/``.
    """
    plan = plan_sweep(strategy, grid, ticks=ticks, codes=codes, windows=windows, capital=capital,
                      fee_settings=fee_settings, out_dir=out_dir)
    return run_plan(plan, workers=workers, scheduler=scheduler, heatmap=heatmap, retry_errors=retry_errors,
                    rerun_changed=rerun_changed, progress=progress, on_row=on_row, console=console)


def run_plan(plan: SweepPlan, *, workers: int | None = None, scheduler: str | None = None,
             heatmap: tuple[str, str] | None = None, retry_errors: bool = False, rerun_changed: bool = False,
             progress: bool = True, on_row: Callable[[dict[str, Any]], None] | None = None,
             console: Console | None = None) -> SweepResult:
    """Run the combinations of a checked plan that `plan.out_dir` does not hold yet (see ``run_sweep``)."""
    backend = make_backend(workers, scheduler)
    axes = _heatmap_axes(plan, heatmap)
    make_out_dir(plan.out_dir)
    with folder_lock(plan.out_dir):
        job = open_job(plan, backend, retry_errors=retry_errors, rerun_changed=rerun_changed, console=console)
        # Nothing left to run: no cluster to start or reach.
        with backend if job.tasks else InProcess() as runner:
            ran, rows = run_tasks(job, runner, progress=progress, on_row=on_row)
    page = plan.out_dir / PAGE_FILE
    write_page(rows, page, x=axes[0], y=axes[1], params=list(plan.grid) or list(plan.param_defaults),
               title=f"Sweep of {_strategy_name(plan.strategy)}")
    return SweepResult(rows=rows, results_path=job.store.path, page_path=page, ran=ran, skipped=job.skipped,
                       param_names=list(plan.param_defaults), swept=list(plan.grid))


def make_out_dir(out_dir: Path) -> None:
    """Create the results folder; SweepInputError when that fails."""
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise SweepInputError(f"--out {out_dir}: {exc.strerror or _one_line(exc)}") from None


@dataclass
class Job:
    """A plan's folder made ready (its lock held by the caller): the store, what is left to run, and the
    digest of the fingerprint the new rows carry."""

    plan: SweepPlan
    store: ResultStore
    tasks: list[RunTask]
    fingerprint: str
    out: Console

    @property
    def skipped(self) -> int:
        """The plan's combinations the folder holds already."""
        return len(self.plan.combinations) - len(self.tasks)


def open_job(plan: SweepPlan, backend: InProcess | OnDask, *, retry_errors: bool, rerun_changed: bool,
             console: Console | None) -> Job:
    """Check the folder's manifest and fingerprint, merge its rows and list the runs still to do."""
    old = _check_manifest(plan.out_dir, plan.manifest())
    parts = fingerprint_of(plan.strategy_cls, plan.ticks)
    if isinstance(backend, OnDask):
        backend.start_early()
    store = ResultStore(plan.out_dir, plan.param_defaults)
    store.clean_leftovers()
    done = store.compact()
    out = _console(console)
    for line in store.damaged:
        out.print(f"[yellow]warning: {escape(line)}[/yellow]")
    todo = _todo(plan, done, (old or {}).get("fingerprint"), parts, retry_errors=retry_errors,
                 rerun_changed=rerun_changed)
    try:
        _write_manifest(plan.out_dir, {**plan.manifest(), "fingerprint": parts})
    except OSError as exc:
        raise SweepInputError(f"--out {plan.out_dir}: cannot write there ({exc.strerror})") from None
    key = digest(parts)
    tasks = [RunTask(plan.strategy, c, plan.ticks, plan.capital, plan.fee_settings, key) for c in todo]
    return Job(plan, store, tasks, key, out)


def _console(console: Console | None) -> Console:
    from zopt_kelv_backtest import utils

    return console if console is not None else utils.console


def _todo(plan: SweepPlan, done: pl.DataFrame, old: Mapping[str, str] | None, parts: Mapping[str, str], *,
          retry_errors: bool, rerun_changed: bool) -> list[Combination]:
    """The plan's combinations to run: those without a row, with an error row when retried, and those
    whose row another fingerprint made (refused unless `rerun_changed`)."""
    key = digest(parts)
    stored = {r["combination"]: r for r in done.select("combination", "error", "fingerprint").iter_rows(named=True)}
    stale = [c for c in plan.combinations if c.key in stored and stored[c.key]["fingerprint"] != key]
    if stale and not rerun_changed:
        raise SweepInputError(
            f"{plan.out_dir} holds {len(stale)} rows made with other code or ticks ({what_changed(old, parts)} "
            "changed): run with --rerun-changed to run them again and replace them, or choose another --out")
    again = {c.key for c in stale}
    return [c for c in plan.combinations
            if c.key not in stored or c.key in again or (retry_errors and stored[c.key]["error"] is not None)]


def run_tasks(job: Job, runner: InProcess | OnDask, *, progress: bool,
              on_row: Callable[[dict[str, Any]], None] | None) -> tuple[int, pl.DataFrame]:
    """Run the job's tasks on the entered `runner`, each row stored as it comes and results.parquet
    brought up to date every :data:`COMPACT_SECONDS`; the number run and every row of the folder."""
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
    from rich.progress import TimeRemainingColumn

    ran = 0
    merged = time.monotonic()
    store, total = job.store, len(job.plan.combinations)
    try:
        with Progress(TextColumn("[bold blue]sweep"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                      TimeRemainingColumn(), console=job.out, disable=not progress) as bar:
            task_id = bar.add_task("sweep", total=total, completed=total - len(job.tasks))
            for row in runner.run(job.tasks):
                store.add(row)
                ran += 1
                bar.advance(task_id)
                if time.monotonic() - merged >= COMPACT_SECONDS:
                    store.compact()
                    merged = time.monotonic()
                if on_row is not None:
                    on_row(row)
    finally:
        rows = store.compact()
    return ran, rows
