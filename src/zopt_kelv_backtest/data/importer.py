"""Importing the exchange's daily tick files into the tick store, file by file, each day written whole."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterable, Iterator

import polars as pl

from zopt_kelv_backtest.backtest import InputError
from zopt_kelv_backtest.data.continuous import ROLL_RULES, day_volumes, update_rolls
from zopt_kelv_backtest.data.exchange_files import ProductsArg, daily_files, read_daily, resolve_products
from zopt_kelv_backtest.data.store import FUTURES, split_days, write_parts

__all__ = ["ImportFailed", "SUMMARY_SCHEMA", "import_daily_files"]

SUMMARY_SCHEMA = {"source": pl.String, "status": pl.String, "product": pl.String, "trading_day": pl.Date,
                  "ticks": pl.Int64, "codes": pl.Int64, "path": pl.String}
HTML_SKIPPED = "skipped: an HTML page, not a daily file (the download of a day without trading)"


class ImportFailed(InputError):
    """A daily file could not be imported; ``summary`` holds what was written before it."""

    def __init__(self, message: str, summary: pl.DataFrame) -> None:
        super().__init__(message)
        self.summary = summary


@contextlib.contextmanager
def _progress(show: bool, total: int) -> Iterator[Callable[[str], None]]:
    if not show:
        yield lambda name: None
        return
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    with Progress(TextColumn("[bold blue]importing"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                  TextColumn("{task.description}"), console=Console(stderr=True)) as bar:
        task = bar.add_task("", total=total)
        yield lambda name: bar.update(task, advance=1, description=os.path.basename(name))


def _import_file(path: str, out: str, products: dict[str, str], weekly: bool,
                 volumes: dict[str, list[pl.DataFrame]]) -> pl.DataFrame:
    frames = read_daily(path, products, weekly=weekly)
    if frames is None:
        return pl.DataFrame([{"source": path, "status": HTML_SKIPPED}], schema=SUMMARY_SCHEMA)
    parts = split_days(pl.concat(frames), "product")
    for product, day, part in parts:
        traded = day_volumes(part).select(pl.lit(day, pl.Date).alias("trading_day"), "contract", "qty")
        volumes.setdefault(product, []).append(traded)
    written = write_parts(parts, out, FUTURES)
    return written.with_columns(source=pl.lit(path), status=pl.lit("written")).select(SUMMARY_SCHEMA.keys())


def import_daily_files(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], out: str | os.PathLike[str],
                       products: ProductsArg = None, *, weekly: bool = False, roll: str | None = None,
                       progress: bool = False) -> pl.DataFrame:
    """Import the exchange's daily tick files into the tick store at ``out``.

    ``paths``: zips as downloaded, extracted .csv/.rpt files, or folders of them. ``products``: exchange
    product codes (default every index future whose contract value the package knows; see
    :func:`~zopt_kelv_backtest.data.exchange_files.resolve_products`). Spreads are left out, and weekly
    contracts unless ``weekly``. ``roll``: the continuous series' rule, ``"expiry"`` or ``"volume"``
    (default: the rule the store already uses for the product, else expiry).

    Each file is read and checked whole before any of it is written; then each product's trading day is
    written to its own file through a temporary file, replacing that day's file. An HTML page in place of
    a daily file is skipped. A bad file raises :class:`ImportFailed` naming it and its line; the days of
    the files before it stay, with their roll tables. Returns one row per day file written or file
    skipped: source, status, product, trading_day, ticks, codes (contract months), path.
    """
    chosen = resolve_products(products)
    if roll is not None and roll not in ROLL_RULES:
        raise InputError(f"unknown roll rule {roll!r}: use {' or '.join(ROLL_RULES)}")
    files = daily_files([paths] if isinstance(paths, (str, os.PathLike)) else paths)
    if not files:
        raise InputError("no daily file to import")
    root = os.fspath(out)
    rows: list[pl.DataFrame] = []
    volumes: dict[str, list[pl.DataFrame]] = {}
    failure: InputError | None = None
    try:
        with _progress(progress, len(files)) as advance:
            for path in files:
                try:
                    rows.append(_import_file(path, root, chosen, weekly, volumes))
                except InputError as exc:
                    failure = exc
                    break
                advance(path)
    finally:
        # Days written stay usable: their products' roll tables follow them even when a file failed.
        for product, fresh in volumes.items():
            update_rolls(root, product, roll, pl.concat(fresh))
    summary = pl.concat(rows) if rows else pl.DataFrame(schema=SUMMARY_SCHEMA)
    if failure is not None:
        raise ImportFailed(str(failure), summary)
    return summary
