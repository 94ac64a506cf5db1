"""The results folder: ``results.parquet``, one part file per run not merged yet, and the manifest."""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
import uuid
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zopt_kelv_backtest.sweep.plan import COLUMN_TYPES, SweepInputError, _one_line

if TYPE_CHECKING:
    import polars as pl

RESULTS_FILE = "results.parquet"
PAGE_FILE = "sweep.html"
MANIFEST_FILE = "sweep.json"
PARTS_DIR = "parts"
LOCK_FILE = "sweep.lock"
DAMAGED_SUFFIX = ".damaged"


def _write_atomic(path: Path, write: Callable[[str], object]) -> None:
    """Write through `write(tmp_path)` to a temporary file beside `path`, then rename it over `path`.

    The temporary file is made with the permissions of the umask, as a file written in place would be.
    """
    tmp = str(path.with_name(f".{path.name}.{uuid.uuid4().hex[:16]}.tmp"))
    os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
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
        self.damaged: list[str] = []  # one line for each damaged file set aside

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
        whole = self._read(self.path) if self.path.exists() else None
        if whole is not None:
            frames.append(whole)
        parts = sorted(self.parts.glob("*.parquet")) if self.parts.is_dir() else []
        frames.extend(f for f in map(self._read, parts) if f is not None)
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
        if parts or whole is None:
            _write_atomic(self.path, rows.write_parquet)
        for p in parts:
            p.unlink(missing_ok=True)
        return rows

    def _read(self, path: Path) -> pl.DataFrame | None:
        """The rows of a results or part file; a damaged one is set aside (its runs run again): None."""
        import polars as pl

        try:
            frame = pl.read_parquet(path)
            if "combination" not in frame.columns:
                raise ValueError("no combination column")
            return frame
        except Exception as exc:  # polars raises several kinds for a truncated or foreign file
            aside = path.with_name(path.name + DAMAGED_SUFFIX)
            try:
                os.replace(path, aside)
            except OSError as err:
                raise SweepInputError(f"{path} is damaged ({_one_line(exc)}) and cannot be moved aside "
                                      f"({err.strerror}): remove it and run the same command again") from None
            self.damaged.append(f"{path} was damaged ({_one_line(exc)}): kept as {aside.name}; its runs run again")
            return None

    def clean_leftovers(self) -> None:
        """Remove temporary files of writes that an earlier, killed sweep did not finish."""
        for folder in (self.dir, self.parts):
            if folder.is_dir():
                for tmp in folder.glob(".*.tmp"):
                    with contextlib.suppress(OSError):
                        tmp.unlink()


def _check_manifest(out_dir: Path, manifest: Mapping[str, Any]) -> dict[str, Any] | None:
    """The folder's manifest (None without one), refused when it holds a sweep of another strategy,
    tick set, capital or fee settings."""
    path = out_dir / MANIFEST_FILE
    if not path.exists():
        return None
    try:
        old = json.loads(path.read_text(encoding="utf-8"))
        if not isinstance(old, dict):
            raise ValueError("not a JSON object")
    except (OSError, ValueError) as exc:
        raise SweepInputError(f"{path}: unreadable ({_one_line(exc)})") from None
    for name, value in manifest.items():
        if old.get(name) != value:
            raise SweepInputError(
                f"{out_dir} holds a sweep with {name} {old.get(name)!r}, not {value!r}: "
                "choose another --out or remove the folder")
    return old


def _write_manifest(out_dir: Path, manifest: Mapping[str, Any]) -> None:
    text = json.dumps(manifest, indent=2) + "\n"
    _write_atomic(out_dir / MANIFEST_FILE, lambda tmp: Path(tmp).write_text(text, encoding="utf-8"))


@contextlib.contextmanager
def folder_lock(out_dir: Path) -> Iterator[None]:
    """Hold ``DIR/sweep.lock`` for the sweep: a second sweep into the folder is refused while it runs.

    The lock is the operating system's (``flock``): it ends with the process, however that ends.
    """
    path = out_dir / LOCK_FILE
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    except OSError as exc:
        raise SweepInputError(f"--out {out_dir}: cannot write there ({exc.strerror or _one_line(exc)})") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise SweepInputError(f"{out_dir} is in use by another sweep (it holds {path}): wait for it to "
                                  "finish or choose another --out") from None
        yield
    finally:
        os.close(fd)
