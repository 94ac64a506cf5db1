"""``python -m zopt_kelv_backtest.data``: import exchange files and other ticks into a tick store."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import polars as pl

from zopt_kelv_backtest.backtest import InputError

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m zopt_kelv_backtest.data",
                                description="Build and keep a Parquet tick store that back-tests read from.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    tx = sub.add_parser("import-taifex", help="import the futures exchange's daily tick files (Daily_YYYY_MM_DD.zip)",
                        description="Import the futures exchange's daily tick files into the store: one Parquet "
                        "file per product and trading day, and each product's continuous near-month series.")
    tx.add_argument("paths", nargs="+", metavar="PATH", help="zips as downloaded, extracted .csv/.rpt files, "
                    "or folders of them")
    tx.add_argument("--out", metavar="DIR", required=True, help="the tick store's folder")
    tx.add_argument("--products", metavar="CODES", help="exchange product codes, comma-separated (TX,MTX,TMF; "
                    "CODE=FUTURES_CODE for one the package does not map); default: every index future whose "
                    "contract value the package knows")
    tx.add_argument("--weekly", action="store_true", help="keep the weekly contracts too")
    tx.add_argument("--roll", choices=("expiry", "volume"), help="the continuous series' roll: at expiry or by "
                    "the previous day's volume (default: the rule the store uses for the product, else expiry)")
    tx.add_argument("--quiet", action="store_true", help="print nothing but errors")
    tk = sub.add_parser("import-ticks", help="add tick files of any source (stocks, ...) to the store",
                        description="Add CSV/Parquet tick files in the columns load_ticks reads to the store.")
    tk.add_argument("paths", nargs="+", metavar="FILE", help="tick files (.csv or .parquet)")
    tk.add_argument("--out", metavar="DIR", required=True, help="the tick store's folder")
    tk.add_argument("--quiet", action="store_true", help="print nothing but errors")
    rl = sub.add_parser("rolls", help="recompute the continuous series' roll tables of a store")
    rl.add_argument("store", metavar="DIR", help="the tick store's folder")
    rl.add_argument("--roll", choices=("expiry", "volume"), help="the rule (default: the one each table has)")
    rl.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return p


def _show_import(summary: pl.DataFrame, out: str) -> None:
    from rich.console import Console
    from rich.table import Table

    console = Console()
    for row in summary.filter(pl.col("status") != "written").iter_rows(named=True):
        console.print(f"{row['source']}: {row['status']}", highlight=False, markup=False, soft_wrap=True)
    written = summary.filter(pl.col("status") == "written")
    if written.height == 0:
        console.print(f"nothing written to {out}")
        return
    table = Table(title=f"written to {out}")
    for column in ("product", "days", "ticks", "first day", "last day"):
        table.add_column(column, justify="right")
    per = written.group_by("product").agg(days=pl.col("trading_day").n_unique(), ticks=pl.col("ticks").sum(),
                                          first=pl.col("trading_day").min(), last=pl.col("trading_day").max())
    for row in per.sort("product").iter_rows(named=True):
        table.add_row(row["product"], str(row["days"]), f"{row['ticks']:,}", str(row["first"]), str(row["last"]))
    console.print(table)


def _run(args: argparse.Namespace) -> None:
    from zopt_kelv_backtest.data import continuous, importer, store

    if args.command == "import-taifex":
        products = [c for c in args.products.split(",") if c.strip()] if args.products is not None else None
        try:
            summary = importer.import_daily_files(args.paths, args.out, products, weekly=args.weekly,
                                                  roll=args.roll, progress=not args.quiet)
        except importer.ImportFailed as exc:
            if not args.quiet:
                _show_import(exc.summary, args.out)
            raise
        if not args.quiet:
            _show_import(summary, args.out)
    elif args.command == "import-ticks":
        parts = []
        for path in args.paths:
            try:
                parts.append(store.write_store(path, args.out).with_columns(source=pl.lit(path),
                                                                              status=pl.lit("written")))
            except InputError as exc:
                raise InputError(f"{path}: {exc}") from None
        if not args.quiet:
            _show_import(pl.concat(parts).select(importer.SUMMARY_SCHEMA.keys()), args.out)
    else:
        products = store.groups(args.store, store.FUTURES)
        if not products:
            raise InputError(f"no futures product in the store {args.store}")
        for product in products:
            table = continuous.update_rolls(args.store, product, args.roll)
            if not args.quiet:
                print(f"{product}: {table.height} days, {int(table['roll'].sum())} rolls "
                      f"({table['rule'][-1] if table.height else 'expiry'})")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 on bad input, with one ``error:`` line)."""
    args = _parser().parse_args(argv)
    try:
        _run(args)
    except InputError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"error: {where}{exc.strerror or exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
