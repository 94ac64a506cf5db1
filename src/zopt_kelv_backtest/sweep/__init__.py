"""Parameter sweeps: one strategy over a grid of parameters, codes and date windows, on Dask distributed.

Every combination of the grid's values, each traded code and each date window is one back-test run
(``zopt_kelv_backtest.backtest.run_backtest``) and one row of ``DIR/results.parquet``. From the shell::

    python -m zopt_kelv_backtest.sweep --grid fast=5,10,20 --grid slow=30,60 --out sweep_output

or from Python::

    from zopt_kelv_backtest.sweep import run_sweep
    result = run_sweep(grid={"fast": [5, 10, 20], "slow": [30, 60]}, out_dir="sweep_output")
    print(result.best())

Runs go to an embedded ``LocalCluster`` of worker processes bound to 127.0.0.1 (one per core by
default), to an existing cluster (``scheduler=``), or stay in this process (``workers=1``, no Dask).
The embedded cluster forks its workers from this process's multiprocessing forkserver, started with
distributed imported (where the platform has one; it stays for the next sweep), and hands out the runs
whose code and window took longest so far first, so that no worker is left alone with a long run.
Each worker reads the tick file itself, or generates the synthetic set itself: tick lists never travel
through the scheduler, so with a remote cluster the tick file must lie at the same path on every worker,
and the workers must be able to import this package and the strategy's module.

A window covers whole calendar days in Taipei time (``2024-02-01:2024-02-07``, both days included): a
night session's ticks after midnight belong to the next day. A window without a tick of a traded code
is bad input (its run could show nothing).

Each finished run is written at once as its own part file under ``DIR/parts/``; the parts are merged
into ``DIR/results.parquet`` when a sweep starts, at least every ``run.COMPACT_SECONDS`` (10 s) while
runs finish, and at the end (also when interrupted), so an interrupted sweep loses no finished run and
running the same sweep again runs only what is missing. A damaged results or part file is set aside
(``NAME.damaged``, with a warning) and its runs run again. ``DIR/sweep.json`` records the strategy, tick
set, capital and fee settings (another sweep into the folder is refused) and the fingerprint of what
made the rows: the strategy's source file, the package version and the ticks (the tick file's size and
SHA-256, or the synthetic set's settings). Each row carries the fingerprint's digest; rows another
fingerprint made are never reused: the sweep stops saying what changed, unless ``--rerun-changed``
(``rerun_changed=True``) runs them again and replaces them. ``DIR/sweep.lock`` is held while a sweep
runs: a second sweep into the folder is refused. A run whose strategy raises gets a row with the error
text and the sweep goes on (``--retry-errors`` runs those again). At the end ``DIR/sweep.html`` shows a
heatmap of mean net profit over two parameters for each code and a sortable table of every row; the
chart library travels inside the page, so it works offline.

Walk-forward (``--walk-forward TRAIN:TEST[:STEP]``, or :func:`walk_forward`): the ticks' trading days
cut into folds; per fold and code the grid runs on TRAIN trading days, the best combination by
``--metric`` runs on the TEST days after them, and ``DIR/walk_forward.parquet`` (one row per fold and
code) and ``DIR/walk_forward_equity.parquet`` (the stitched out-of-sample equity) are written as folds
finish; see :mod:`zopt_kelv_backtest.sweep.walk`.

The command exits with status 0 when every run succeeded, 1 when a row holds an error, 2 on bad input
(one ``error:`` line, before any run starts) and 130 when interrupted.
"""

from __future__ import annotations

from zopt_kelv_backtest.market import BENCHMARK as BENCHMARK
from zopt_kelv_backtest.market import TAIPEI as TAIPEI
from zopt_kelv_backtest.sweep.backends import CONNECT_TIMEOUT as CONNECT_TIMEOUT
from zopt_kelv_backtest.sweep.backends import QUIET_CLUSTER as QUIET_CLUSTER
from zopt_kelv_backtest.sweep.backends import InProcess as InProcess
from zopt_kelv_backtest.sweep.backends import OnDask as OnDask
from zopt_kelv_backtest.sweep.backends import default_cores as default_cores
from zopt_kelv_backtest.sweep.backends import make_backend as make_backend
from zopt_kelv_backtest.sweep.backends import run_combination
from zopt_kelv_backtest.sweep.cli import main
from zopt_kelv_backtest.sweep.page import write_page
from zopt_kelv_backtest.sweep.plan import ALL_DAYS as ALL_DAYS
from zopt_kelv_backtest.sweep.plan import COLUMN_TYPES as COLUMN_TYPES
from zopt_kelv_backtest.sweep.plan import FIGURE_TYPES as FIGURE_TYPES
from zopt_kelv_backtest.sweep.plan import ROW_COLUMNS as ROW_COLUMNS
from zopt_kelv_backtest.sweep.plan import Combination as Combination
from zopt_kelv_backtest.sweep.plan import RunTask as RunTask
from zopt_kelv_backtest.sweep.plan import SweepPlan as SweepPlan
from zopt_kelv_backtest.sweep.plan import TickSource as TickSource
from zopt_kelv_backtest.sweep.plan import sweepable_params as sweepable_params
from zopt_kelv_backtest.sweep.plan import (DEFAULT_STRATEGY, FIGURES, SweepInputError, SyntheticTicks, Window,
                                           load_strategy, parse_grid, parse_windows, plan_sweep)
from zopt_kelv_backtest.sweep.plan import TradingDays as TradingDays
from zopt_kelv_backtest.sweep.run import SweepResult, run_plan, run_sweep
from zopt_kelv_backtest.sweep.walk import EQUITY_FILE as EQUITY_FILE
from zopt_kelv_backtest.sweep.walk import METRICS as METRICS
from zopt_kelv_backtest.sweep.walk import WALK_FILE as WALK_FILE
from zopt_kelv_backtest.sweep.walk import (Fold, WalkForwardResult, WalkSpec, parse_walk_forward, plan_walk_forward,
                                           run_walk_forward, walk_forward)
from zopt_kelv_backtest.sweep.store import MANIFEST_FILE as MANIFEST_FILE
from zopt_kelv_backtest.sweep.store import PAGE_FILE as PAGE_FILE
from zopt_kelv_backtest.sweep.store import PARTS_DIR as PARTS_DIR
from zopt_kelv_backtest.sweep.store import RESULTS_FILE as RESULTS_FILE
from zopt_kelv_backtest.sweep.store import ResultStore as ResultStore

__all__ = [
    "DEFAULT_STRATEGY",
    "FIGURES",
    "Fold",
    "SweepInputError",
    "SweepResult",
    "SyntheticTicks",
    "TradingDays",
    "WalkForwardResult",
    "WalkSpec",
    "Window",
    "load_strategy",
    "main",
    "parse_grid",
    "parse_walk_forward",
    "parse_windows",
    "plan_sweep",
    "plan_walk_forward",
    "run_combination",
    "run_plan",
    "run_sweep",
    "run_walk_forward",
    "walk_forward",
    "write_page",
]
