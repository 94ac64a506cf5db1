"""A walk-forward's folds as they finish: their rows, their test runs' equity, and the two files of them."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from datetime import date
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.sweep.plan import EQUITY_KEY, FIGURE_TYPES, FIGURES, Combination, RunTask, SweepPlan, _one_line
from zopt_kelv_backtest.sweep.store import DAMAGED_SUFFIX, _schema, _write_atomic

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.sweep.backends import InProcess, OnDask
    from zopt_kelv_backtest.sweep.run import Job
    from zopt_kelv_backtest.sweep.walk import Fold

WALK_FILE = "walk_forward.parquet"
EQUITY_FILE = "walk_forward_equity.parquet"
DATE_COLUMNS = ("train_start", "train_end", "test_start", "test_end")
Curve = list[tuple[date, float]]  # a test run's equity at the end of each of its trading days


class FoldBook:
    """The folds of a walk-forward, each code's fold row as its test run finishes, and the files.

    ``walk_forward.parquet`` holds the finished folds, ``walk_forward_equity.parquet`` their daily equity;
    both are rewritten (atomically) as each fold finishes, the equity first, so that a fold on file always
    has its equity there.
    """

    def __init__(self, plan: SweepPlan, job: Job, metric: str) -> None:
        self.plan, self.job, self.metric = plan, job, metric
        self.folds_path = plan.out_dir / WALK_FILE
        self.equity_path = plan.out_dir / EQUITY_FILE
        self.by_key = {c.key: c for c in plan.combinations}
        # Test runs that may be reused, by their combination: (figures and error, equity).
        self.finished: dict[str, tuple[dict[str, Any], Curve]] = {}
        self.rows: dict[tuple[int, str], dict[str, Any]] = {}  # (fold, code): the fold's row, once finished
        self.curves: dict[tuple[int, str], Curve] = {}
        self.waiting: dict[str, dict[str, Any]] = {}  # test combination: the row its run finishes

    # --- what the folder holds ------------------------------------------------------------------

    def _read(self, path: Path) -> pl.DataFrame | None:
        """The file's frame; a damaged one is set aside with a warning (its folds run again): None."""
        import polars as pl
        from rich.markup import escape

        if not path.exists():
            return None
        try:
            return pl.read_parquet(path)
        except Exception as exc:  # polars raises several kinds for a truncated or foreign file
            aside = path.with_name(path.name + DAMAGED_SUFFIX)
            try:
                os.replace(path, aside)
            except OSError as err:
                from zopt_kelv_backtest.sweep.plan import SweepInputError

                raise SweepInputError(f"{path} is damaged ({_one_line(exc)}) and cannot be moved aside "
                                      f"({err.strerror}): remove it and run the same command again") from None
            self.job.out.print(f"[yellow]warning: {escape(str(path))} was damaged ({escape(_one_line(exc))}): "
                               f"kept as {escape(aside.name)}; its folds run again[/yellow]")
            return None

    def load(self, retry_errors: bool) -> None:
        """Take in the test runs of earlier calls that may be reused: the same combination made by the
        same fingerprint, with its equity on file (a failed one only without `retry_errors`)."""
        folds, equity = self._read(self.folds_path), self._read(self.equity_path)
        if folds is None or not {"fold", "code", "error", "test_combination", "fingerprint"} <= set(folds.columns):
            return
        curves: dict[tuple[int, str], Curve] = {}
        if equity is not None and {"fold", "code", "date", "equity"} <= set(equity.columns):
            for r in equity.sort("date").iter_rows(named=True):
                curves.setdefault((r["fold"], r["code"]), []).append((r["date"], r["equity"]))
        for r in folds.iter_rows(named=True):
            key = r["test_combination"]
            if key is None or r["fingerprint"] != self.job.fingerprint:
                continue
            curve = curves.get((r["fold"], r["code"]))
            if r["error"] is None and curve and all(f"test_{f}" in r for f in FIGURES):
                self.finished[key] = ({f: r[f"test_{f}"] for f in FIGURES} | {"error": None}, curve)
            elif r["error"] is not None and not retry_errors:
                self.finished[key] = (dict.fromkeys(FIGURES) | {"error": r["error"]}, [])

    # --- the folds ------------------------------------------------------------------------------

    def add(self, fold: Fold, code: str, best: Mapping[str, Any] | None, why: str | None) -> RunTask | None:
        """Record the training run chosen for `code` in `fold` (None: `why` none was); the test run to do,
        or None when there is none or the folder holds it."""
        params = self.plan.param_defaults
        row: dict[str, Any] = {
            "fold": fold.number, "code": code, "train_start": fold.train.start, "train_end": fold.train.end,
            "test_start": fold.test.start, "test_end": fold.test.end,
            **{n: None if best is None else best[n] for n in params}, "metric": self.metric,
            **{f"train_{f}": None if best is None else best[f] for f in FIGURES},
            **{f"test_{f}": None for f in FIGURES}, "error": why,
            "train_combination": None if best is None else best["combination"], "test_combination": None,
            "fingerprint": self.job.fingerprint}
        if best is None:
            self._finish(row, dict.fromkeys(FIGURES) | {"error": why}, [])
            return None
        target = Combination(self.by_key[best["combination"]].params, code, fold.test)
        row["test_combination"] = target.key
        if target.key in self.finished:
            self._finish(row, *self.finished[target.key])
            return None
        self.waiting[target.key] = row
        return RunTask(self.plan.strategy, target, self.plan.ticks, self.plan.capital, self.plan.fee_settings,
                       self.job.fingerprint, equity=True)

    def _finish(self, row: dict[str, Any], figures: Mapping[str, Any], curve: Curve) -> None:
        row.update({f"test_{f}": figures[f] for f in FIGURES}, error=row["error"] or figures["error"])
        self.rows[(row["fold"], row["code"])] = row
        self.curves[(row["fold"], row["code"])] = curve

    def run(self, tasks: Sequence[RunTask], runner: InProcess | OnDask, *, progress: bool) -> int:
        """Run the test runs on the entered `runner`, each fold written as its run finishes; how many ran."""
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        ran = 0
        total = len(self.rows) + len(tasks)
        with Progress(TextColumn("[bold blue]walk-forward tests"), BarColumn(), MofNCompleteColumn(),
                      TimeElapsedColumn(), console=self.job.out, disable=not progress) as bar:
            task_id = bar.add_task("tests", total=total, completed=total - len(tasks))
            for result in runner.run(tasks):
                row = self.waiting.pop(result["combination"])
                self._finish(row, result, list(result.get(EQUITY_KEY) or []))
                self.write()
                ran += 1
                bar.advance(task_id)
        return ran

    # --- the files ------------------------------------------------------------------------------

    def folds_frame(self) -> pl.DataFrame:
        """The finished folds' rows, by fold and code (columns: see ``WalkForwardResult``)."""
        import polars as pl

        kinds = {int: pl.Int64, float: pl.Float64}
        params = _schema(self.plan.param_defaults)
        schema: dict[str, Any] = {
            "fold": pl.Int64, "code": pl.String, **dict.fromkeys(DATE_COLUMNS, pl.Date),
            **{n: params[n] for n in self.plan.param_defaults}, "metric": pl.String,
            **{f"{w}_{f}": kinds[t] for w in ("train", "test") for f, t in FIGURE_TYPES.items()},
            **dict.fromkeys(("error", "train_combination", "test_combination", "fingerprint"), pl.String)}
        rows = [{c: r[c] for c in schema} for _, r in sorted(self.rows.items())]
        return pl.DataFrame(rows, schema=schema)

    def equity_frame(self) -> pl.DataFrame:
        """Per code and test day: the fold, its test run's equity, and the stitched equity (each test run's
        change of equity chained onto the end of the code's previous finished fold, from the capital)."""
        import polars as pl

        capital = float(self.plan.capital)
        ends: dict[str, float] = {}  # each code's stitched equity at the end of its last fold so far
        rows = []
        for (number, code), curve in sorted(self.curves.items(), key=lambda kv: (kv[0][1], kv[0][0])):
            start = ends.get(code, capital)
            for day, equity in curve:
                ends[code] = start + (equity - capital)
                rows.append({"code": code, "fold": number, "date": day, "equity": equity, "stitched": ends[code]})
        schema: dict[str, Any] = {"code": pl.String, "fold": pl.Int64, "date": pl.Date, "equity": pl.Float64,
                                  "stitched": pl.Float64}
        return pl.DataFrame(rows, schema=schema)

    def write(self) -> None:
        """Both files, atomically, the equity first."""
        _write_atomic(self.equity_path, self.equity_frame().write_parquet)
        _write_atomic(self.folds_path, self.folds_frame().write_parquet)
