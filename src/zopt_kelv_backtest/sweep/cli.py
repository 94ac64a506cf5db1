"""The sweep's command line: ``python -m zopt_kelv_backtest.sweep``."""

from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Sequence
from typing import Any

from zopt_kelv_backtest.sweep.plan import (ALL_DAYS, DEFAULT_STRATEGY, FIGURES, SweepInputError, SyntheticTicks,
                                           _parse_date, parse_grid, parse_windows, plan_sweep)
from zopt_kelv_backtest.sweep.run import SweepResult, run_plan
from zopt_kelv_backtest.sweep.walk import METRICS, WalkForwardResult, parse_walk_forward, plan_walk_forward
from zopt_kelv_backtest.sweep.walk import run_walk_forward


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m zopt_kelv_backtest.sweep",
        description="Run a strategy over a grid of parameters, codes and date windows on Dask workers; "
                    "writes DIR/results.parquet (one row per run) and DIR/sweep.html. Running the same "
                    "command again runs only the combinations not finished yet. Exit status 1 when a "
                    "run failed (its row holds the error), 2 on bad input.")
    p.add_argument("--strategy", metavar="MODULE:CLASS", default=DEFAULT_STRATEGY,
                   help=f"Strategy subclass to sweep (default: {DEFAULT_STRATEGY})")
    p.add_argument("--ticks", metavar="PATH",
                   help="tick file (.csv or .parquet) or tick store folder; default: the synthetic set")
    p.add_argument("--start", metavar="YYYY-MM-DD", help="first day of the synthetic set (default: 2024-02-01)")
    p.add_argument("--days", type=int, help="trading days of the synthetic set (default: 10)")
    p.add_argument("--seed", type=int, help="seed of the synthetic set (default: 7)")
    p.add_argument("--grid", metavar="NAME=V1,V2,...", action="append", default=[],
                   help="values of one strategy parameter (repeat for more parameters)")
    p.add_argument("--codes", metavar="CODES", help="comma-separated codes to trade, one run per code "
                                                    "(default: every code of the ticks but 0050)")
    p.add_argument("--windows", metavar="RANGES", help="comma-separated date ranges START:END (days included), "
                                                       "one run per range (default: all ticks)")
    p.add_argument("--out", metavar="DIR", default=os.path.join(".", "sweep_output"),
                   help="output folder (default: ./sweep_output)")
    p.add_argument("--workers", type=int, metavar="N", help="worker processes (default: the core count; 1 runs in this "
                                               "process without Dask)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="use the Dask scheduler at ADDRESS (e.g. "
                                                          "tcp://127.0.0.1:8786) instead of an embedded cluster")
    p.add_argument("--capital", type=int, default=5_000_000, help="initial capital of each run (default: 5000000)")
    p.add_argument("--heatmap", metavar="X,Y", help="two columns for the page's heatmap (parameters, code or "
                                                    "window; default: the first two swept parameters)")
    p.add_argument("--top", type=int, metavar="N", help="best rows to print (default: 10; not with --walk-forward, "
                                                        "which prints its folds)")
    p.add_argument("--min-trades", type=int, default=0, metavar="N",
                   help="print only runs with at least N trades (default: 0; runs without trades rank last); "
                        "with --walk-forward, a training run needs at least N trades to be chosen")
    p.add_argument("--walk-forward", metavar="TRAIN:TEST[:STEP]",
                   help="walk forward over the ticks' trading days: per fold, run the grid on TRAIN trading "
                        "days, choose the best combination by --metric and run it on the TEST days after "
                        "them; folds start STEP days apart (default: TEST, at least TEST). Writes "
                        "DIR/walk_forward.parquet and DIR/walk_forward_equity.parquet; --windows then takes "
                        "one range to walk over")
    p.add_argument("--metric", choices=list(METRICS), metavar="NAME",
                   help="figure a walk-forward fold is chosen by (default: net_profit): net_profit, sharpe, "
                        "win_rate and trade_count rank higher first, max_drawdown and total_cost lower first; "
                        "runs without trades rank after those that traded; ties go to the combination first "
                        "in the grid's order")
    p.add_argument("--retry-errors", action="store_true", help="run failed combinations again")
    p.add_argument("--rerun-changed", action="store_true",
                   help="run again, and replace, the finished runs that another strategy source, package "
                        "version or tick file made (without it such a folder is refused)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p


# Column headings of the console table; the page and results.parquet keep the full names.
SHORT = {"net_profit": "net", "trade_count": "trades", "win_rate": "win", "total_cost": "cost",
         "max_drawdown": "max dd", "sharpe": "sharpe"}


def _best_table(result: SweepResult, n: int, min_trades: int, width: int) -> Any:
    """The best `n` runs with at least `min_trades` trades: a table when it fits `width` columns with
    every value whole, else two lines per run (never a value cut short)."""
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    best = result.best(n, min_trades=min_trades)
    windowed = result.rows["window"].ne(ALL_DAYS).any()
    where = [*result.swept, "code", *(["window"] if windowed else [])]
    trades = f" with at least {min_trades} trades" if min_trades else " (runs without trades last)"
    title = f"Best {best.height} of {result.rows.height} runs by net profit{trades}"
    rows = [{c: _text(c, r[c]) for c in [*where, *FIGURES]} for r in best.iter_rows(named=True)]
    table = Table(title=title, box=box.SIMPLE_HEAD, padding=(0, 1), pad_edge=False)
    for c in [*where, *FIGURES]:
        table.add_column(SHORT.get(c, c), justify="right", no_wrap=True)
    for r in rows:
        table.add_row(*(Text(v) for v in r.values()))
    if _width(table) <= width:
        return table
    lines = [title + ":"]
    for i, r in enumerate(rows, 1):
        lines += _pack(f"{i:>3}.", [f"{c}={r[c]}" for c in where], width)
        lines += _pack("    ", [f"{SHORT[c]} {r[c]}" for c in FIGURES], width)
    return Group(*(Text(line) for line in lines))


def _pack(head: str, items: list[str], width: int) -> list[str]:
    """`items` after `head`, as many to a line as fit `width` (an item longer than a line stands alone)."""
    lines = [head]
    for item in items:
        if len(lines[-1]) + 2 + len(item) > width and lines[-1].strip():
            lines.append(" " * len(head))
        lines[-1] += "  " + item
    return lines


def _width(renderable: Any) -> int:
    """The columns `renderable` takes when nothing limits its width."""
    from rich.console import Console

    probe = Console(width=10_000, file=io.StringIO(), color_system=None)
    with probe.capture() as captured:
        probe.print(renderable)
    return max((len(line.rstrip()) for line in captured.get().splitlines()), default=0)


def _text(column: str, value: Any) -> str:
    """A table cell: figures formatted, anything else as it is."""
    if value is None:
        return "-"
    if column == "win_rate":
        return f"{value:.1%}"
    if column == "sharpe":
        return f"{value:.3f}"
    if column in FIGURES:
        return f"{value:,.0f}"
    return str(value)


def _ticks(args: argparse.Namespace) -> str | SyntheticTicks:
    if args.ticks is not None:
        return str(args.ticks)
    defaults = SyntheticTicks()
    return SyntheticTicks(start=_parse_date(args.start, "--start") if args.start else defaults.start,
                          days=defaults.days if args.days is None else args.days,
                          seed=defaults.seed if args.seed is None else args.seed)


def _heatmap(text: str | None) -> tuple[str, str] | None:
    if text is None:
        return None
    axes = [a.strip() for a in text.split(",")]
    if len(axes) != 2 or not all(axes):
        raise SweepInputError("--heatmap: give two columns as X,Y")
    return axes[0], axes[1]


def _sweep(args: argparse.Namespace) -> SweepResult:
    """The sweep the checked command line asks for."""
    from zopt_kelv_backtest.backtest import pin_local_time

    ticks = _ticks(args)
    grid = parse_grid(args.grid)
    windows = parse_windows(args.windows) if args.windows is not None else None
    codes = args.codes.split(",") if args.codes is not None else None
    heatmap = _heatmap(args.heatmap)
    pin_local_time()
    plan = plan_sweep(args.strategy, grid, ticks=ticks, codes=codes, windows=windows, capital=args.capital,
                      out_dir=args.out)
    return run_plan(plan, workers=args.workers, scheduler=args.scheduler, heatmap=heatmap,
                    retry_errors=args.retry_errors, rerun_changed=args.rerun_changed, progress=not args.quiet)


def _walk(args: argparse.Namespace) -> WalkForwardResult:
    """The walk-forward the checked command line asks for."""
    from zopt_kelv_backtest.backtest import pin_local_time

    spec = parse_walk_forward(args.walk_forward)
    if args.top is not None:
        raise SweepInputError("--top lists the best runs of a sweep: not with --walk-forward (it prints its folds)")
    ticks = _ticks(args)
    grid = parse_grid(args.grid)
    windows = parse_windows(args.windows) if args.windows is not None else []
    if len(windows) > 1:
        raise SweepInputError(f"--windows: --walk-forward walks over one range, got {len(windows)}")
    codes = args.codes.split(",") if args.codes is not None else None
    heatmap = _heatmap(args.heatmap)
    pin_local_time()
    plan, folds = plan_walk_forward(args.strategy, grid, spec, ticks=ticks, codes=codes,
                                    first_day=windows[0].start if windows else None,
                                    last_day=windows[0].end if windows else None, capital=args.capital,
                                    out_dir=args.out)
    return run_walk_forward(plan, folds, spec, metric=args.metric or "net_profit", min_trades=args.min_trades,
                            workers=args.workers, scheduler=args.scheduler, heatmap=heatmap,
                            retry_errors=args.retry_errors, rerun_changed=args.rerun_changed,
                            progress=not args.quiet)


def _walk_table(result: WalkForwardResult, width: int) -> Any:
    """The folds, a table when it fits `width` columns with every value whole (else two lines per fold),
    and each code's out-of-sample total."""
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    folds, metric, swept = result.folds, result.metric, result.sweep.swept
    shown = {f"train_{metric}": f"train {SHORT[metric]}",
             **{f"test_{f}": f"test {SHORT[f]}" for f in dict.fromkeys([metric, "net_profit", "trade_count"])}}
    title = (f"Walk-forward {result.spec.label} (train:test:step trading days), chosen by "
             f"{metric.replace('_', ' ')}: {folds['fold'].n_unique()} folds")
    rows = [({"fold": str(r["fold"]), "code": r["code"], "test from": str(r["test_start"]),
              **{n: _text(n, r[n]) for n in swept}},
             {head: _text(c.partition("_")[2], r[c]) for c, head in shown.items()})
            for r in folds.iter_rows(named=True)]
    table = Table(title=title, box=box.SIMPLE_HEAD, padding=(0, 1), pad_edge=False)
    for c in ["fold", "code", "test from", *swept, *shown.values()]:
        table.add_column(c, justify="right", no_wrap=True)
    for where, figures in rows:
        table.add_row(*(Text(v) for v in [*where.values(), *figures.values()]))
    lines: list[Any] = [table]
    if _width(table) > width:
        lines = [Text(title + ":")]
        for where, figures in rows:
            packed = _pack(f"{where['fold']:>3}.", [f"{k}={v}" for k, v in where.items() if k != "fold"], width)
            packed += _pack("    ", [f"{k} {v}" for k, v in figures.items()], width)
            lines += [Text(line) for line in packed]
    for (code,), part in folds.group_by(["code"], maintain_order=True):
        stitched = result.equity.filter(result.equity["code"] == code)["stitched"]
        end = f"; stitched equity {stitched[-1]:,.0f}" if stitched.len() else ""
        lines.append(Text(f"{code}: out-of-sample net profit {part['test_net_profit'].sum():,.0f} "
                          f"over {part.height} folds{end}"))
    return Group(*lines)


def _report_walk(result: WalkForwardResult) -> int:
    from rich.markup import escape

    from zopt_kelv_backtest import utils

    console = utils.console
    sweep = result.sweep
    reused = result.folds["test_combination"].is_not_null().sum() - result.tested
    console.print(f"{sweep.ran} training runs done, {sweep.skipped} already in {escape(str(sweep.results_path))}; "
                  f"{result.tested} test runs done, {reused} reused")
    console.print(_walk_table(result, console.width))
    failed, folds_failed = sweep.failed, result.failed
    if failed.height:
        console.print(f"[yellow]{failed.height} runs failed; first: {escape(failed['error'][0])}[/yellow]")
    if folds_failed.height:
        first = folds_failed.row(0, named=True)
        console.print(f"[yellow]{folds_failed.height} folds without a test run's figures; first: fold "
                      f"{first['fold']} {escape(first['code'])}: {escape(first['error'])}[/yellow]")
    for path in (sweep.results_path, result.folds_path, result.equity_path, sweep.page_path):
        console.print(f"[bold green]{escape(str(path))}[/bold green]")
    return 1 if failed.height or folds_failed.height else 0


def _report(result: SweepResult, top: int, min_trades: int) -> int:
    from rich.markup import escape

    from zopt_kelv_backtest import utils

    console = utils.console
    console.print(f"{result.ran} runs done, {result.skipped} already in {escape(str(result.results_path))}")
    if top:
        console.print(_best_table(result, top, min_trades, console.width))
    failed = result.failed
    if failed.height:
        console.print(f"[yellow]{failed.height} runs failed; first: {escape(failed['error'][0])}[/yellow]")
    for path in (result.results_path, result.page_path):
        console.print(f"[bold green]{escape(str(path))}[/bold green]")
    return 1 if failed.height else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Command-line entry: exit status 0 when every run succeeded, 1 when a run failed, 2 on bad input."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.top is not None and args.top < 0:
        parser.error("--top must not be negative")
    if args.min_trades < 0:
        parser.error("--min-trades must not be negative")
    if args.ticks is not None and (args.start, args.days, args.seed) != (None, None, None):
        parser.error("--start, --days and --seed shape the synthetic set: not with --ticks")
    if args.metric is not None and args.walk_forward is None:
        parser.error("--metric chooses a walk-forward's combinations: give --walk-forward too")
    try:
        if args.walk_forward is not None:
            return _report_walk(_walk(args))
        result = _sweep(args)
    except SweepInputError as exc:
        parser.error(str(exc))
    except KeyboardInterrupt:
        print(f"interrupted: finished runs are kept in {args.out}; run the same command to go on",
              file=sys.stderr)
        return 130
    return _report(result, 10 if args.top is None else args.top, args.min_trades)
