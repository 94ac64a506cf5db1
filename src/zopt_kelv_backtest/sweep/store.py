"""The results folder: ``results.parquet``, one part file per run not merged yet, and the manifest."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import tempfile
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.sweep.plan import COLUMN_TYPES, SweepInputError, _one_line

if TYPE_CHECKING:
    import polars as pl

RESULTS_FILE = "results.parquet"
PAGE_FILE = "sweep.html"
MANIFEST_FILE = "sweep.json"
PARTS_DIR = "parts"


def _write_atomic(path: Path, write: Callable[[str], object]) -> None:
    """Write through `write(tmp_path)` to a temporary file beside `path`, then rename it over `path`."""
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _schema(param_defaults: Mapping[str, Any]) -> dict[str, Any]:
    import polars as pl

    kinds = {bool: pl.Boolean, int: pl.Int64, float: pl.Float64, str: pl.String}
    types = {**{name: type(v) for name, v in param_defaults.items()}, **COLUMN_TYPES}
    return {name: kinds[kind] for name, kind in types.items()}


class ResultStore:
    """``DIR/results.parquet`` plus one part file per run finished since it was last merged."""

    def __init__(self, out_dir: str | os.PathLike[str], param_defaults: Mapping[str, Any]) -> None:
        self.dir = Path(out_dir)
        self.parts = self.dir / PARTS_DIR
        self.path = self.dir / RESULTS_FILE
        self.schema = _schema(param_defaults)
        self.param_names = list(param_defaults)

    def add(self, row: Mapping[str, Any]) -> None:
        """Store one finished run at once (atomically), under a name fixed by its combination."""
        import polars as pl

        frame = pl.DataFrame([{name: row.get(name) for name in self.schema}], schema=self.schema)
        name = hashlib.sha1(row["combination"].encode()).hexdigest()[:24] + ".parquet"
        self.parts.mkdir(parents=True, exist_ok=True)
        _write_atomic(self.parts / name, frame.write_parquet)

    def compact(self) -> pl.DataFrame:
        """Merge the parts into results.parquet (a later row of a combination wins) and return every row."""
        import polars as pl

        frames = []
        if self.path.exists():
            frames.append(pl.read_parquet(self.path))
        parts = sorted(self.parts.glob("*.parquet")) if self.parts.is_dir() else []
        frames.extend(pl.read_parquet(p) for p in parts)
        if not frames:
            return pl.DataFrame(schema=self.schema)
        rows = pl.concat(frames, how="diagonal_relaxed")
        # Columns of this sweep's parameters first; parameters of an older grid stay, after them.
        columns = list(self.schema) + [c for c in rows.columns if c not in self.schema]
        rows = (rows.with_columns(*(pl.lit(None, dtype=t).alias(c) for c, t in self.schema.items()
                                    if c not in rows.columns))
                .unique("combination", keep="last", maintain_order=True)
                .select(columns)
                .sort([*self.param_names, "code", "window"], nulls_last=True, maintain_order=True))
        if parts or not self.path.exists():
            _write_atomic(self.path, rows.write_parquet)
        for p in parts:
            p.unlink()
        return rows

    def clean_leftovers(self) -> None:
        """Remove temporary files of writes that an earlier, killed sweep did not finish."""
        for folder in (self.dir, self.parts):
            if folder.is_dir():
                for tmp in folder.glob(".*.tmp"):
                    with contextlib.suppress(OSError):
                        tmp.unlink()


def _check_manifest(out_dir: Path, manifest: Mapping[str, Any], *, write: bool) -> None:
    """Refuse to resume into a folder holding a sweep of another strategy, tick set or capital."""
    path = out_dir / MANIFEST_FILE
    if path.exists():
        try:
            old = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            raise SweepInputError(f"{path}: unreadable ({_one_line(exc)})") from None
        for name, value in manifest.items():
            if old.get(name) != value:
                raise SweepInputError(
                    f"{out_dir} holds a sweep with {name} {old.get(name)!r}, not {value!r}: "
                    "choose another --out or remove the folder")
    elif write:
        text = json.dumps(manifest, indent=2) + "\n"
        _write_atomic(path, lambda tmp: Path(tmp).write_text(text, encoding="utf-8"))
