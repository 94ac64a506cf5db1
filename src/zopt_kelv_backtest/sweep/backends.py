"""Where the runs go: this process, or Dask workers (an embedded loopback cluster or a given scheduler)."""

from __future__ import annotations

import collections
import contextlib
import logging
import math
import os
import time
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, Protocol, TypeVar

from zopt_kelv_backtest.sweep.plan import (EQUITY_KEY, FIGURES, Combination, RunTask, SweepInputError,
                                           SyntheticTicks, Window, _one_line, _row, load_strategy)

if TYPE_CHECKING:
    from zopt_kelv_backtest.backtest import BacktestResult

CONNECT_TIMEOUT = 10.0  # seconds to reach a given scheduler before giving up
QUIET_CLUSTER = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "5s",
    "distributed.worker.memory.monitor-interval": "1s",
}
WORKER_PRELOAD = "zopt_kelv_backtest._sweep_worker"
GROUP_LIMIT = 64  # combinations sharing one replay at most


# --- one combination (on a worker or in this process) -----------------------------------------


def _window_ticks(ticks: Iterable[dict[str, Any]], window: Window | None) -> Iterator[dict[str, Any]]:
    if window is None:
        yield from ticks
        return
    lo, hi = window.bounds()
    for tick in ticks:
        ts = tick["timestamp"]
        if ts >= hi:  # ticks come in time order: nothing later belongs to the window
            return
        if ts >= lo:
            yield tick


@contextlib.contextmanager
def _quiet_core() -> Iterator[None]:
    """Silence the core's per-trade console lines while a combination runs.

    The core prints through whatever its module global ``console`` holds at call time; a quiet console
    goes there for the run and the one before comes back, also when the run raises. The package
    console itself keeps printing (a progress bar of an in-process sweep draws on it).
    """
    from zopt_kelv_backtest._lazy_imports import import_core
    from zopt_kelv_backtest.utils import LineConsole

    import_core()  # the report libraries wait until a report needs them
    from zopt_kelv_backtest.modules.positions import positions as core

    saved = core.console
    core.console = LineConsole(quiet=True)
    try:
        yield
    finally:
        core.console = saved


def _task_ticks(task: RunTask) -> Iterator[dict[str, Any]]:
    """The ticks of a run: generated, read from a file, or only its window's days of a tick store."""
    from zopt_kelv_backtest import backtest

    if isinstance(task.ticks, SyntheticTicks):
        return task.ticks.ticks()
    window = task.combination.window
    if window is not None and os.path.isdir(task.ticks):
        return backtest.load_ticks(task.ticks, None, *window.bounds())
    return backtest.load_ticks(task.ticks)


def run_combination(task: RunTask) -> dict[str, Any]:
    """Run one combination and return its result row; a failing strategy gives a row with its error."""
    started = time.perf_counter()
    from zopt_kelv_backtest import backtest

    backtest.pin_local_time()
    combo = task.combination
    try:
        strategy = load_strategy(task.strategy)(**dict(combo.params))
        source = _task_ticks(task)
        with _quiet_core():
            result = backtest.run_backtest(_window_ticks(source, combo.window), strategy, codes=[combo.code],
                                           capital=task.capital, fee_settings=task.fee_settings,
                                           progress=False)
    except Exception as exc:  # the strategy's fault: recorded on its row, the sweep goes on
        return _row(combo, dict.fromkeys(FIGURES), time.perf_counter() - started, _one_line(exc), task.fingerprint)
    return _result_row(task, result, time.perf_counter() - started)


def _result_row(task: RunTask, result: BacktestResult, seconds: float) -> dict[str, Any]:
    summary = result.summary()
    row = _row(task.combination, {name: summary[name] for name in FIGURES}, seconds, None, task.fingerprint)
    if task.equity:
        row[EQUITY_KEY] = list(result.equity.select("date", "equity").iter_rows())
    return row


@dataclass(frozen=True)
class TaskGroup:
    """Combinations that replay the same ticks (one strategy class, code, window and settings): run in one
    replay, each with its own strategy instance and account."""

    tasks: tuple[RunTask, ...]

    @property
    def combination(self) -> Combination:
        """The first combination (its code and window are the group's)."""
        return self.tasks[0].combination


def _shared(task: RunTask) -> str:
    """What combinations must share to run in one replay."""
    c = task.combination
    return repr((task.strategy, task.ticks, c.code, c.window_label, task.capital, task.fee_settings,
                 task.fingerprint, task.equity))


def group_tasks(tasks: Sequence[RunTask], parts: int = 1) -> list[TaskGroup]:
    """The tasks as replay groups in plan order, each at most :data:`GROUP_LIMIT` combinations; the
    combinations of each code and window are split into `parts` groups (one per worker thread), so that a
    code with many more ticks than the others still keeps every worker busy."""
    by_key: dict[str, list[RunTask]] = {}
    for task in tasks:
        by_key.setdefault(_shared(task), []).append(task)
    groups: list[TaskGroup] = []
    for same in by_key.values():
        size = max(1, min(GROUP_LIMIT, math.ceil(len(same) / max(parts, 1))))
        groups.extend(TaskGroup(tuple(same[i:i + size])) for i in range(0, len(same), size))
    return groups


def run_group(group: TaskGroup) -> list[dict[str, Any]]:
    """Run a group's combinations in one replay; their rows in group order, each as
    :func:`run_combination` gives it. A strategy that fails to start gets its error row; one that fails
    during the replay stops it for all, and then each combination runs alone, so only its row has the
    error."""
    tasks = group.tasks
    if len(tasks) == 1:
        return [run_combination(tasks[0])]
    started = time.perf_counter()
    from zopt_kelv_backtest import backtest

    backtest.pin_local_time()
    first = tasks[0]
    rows: dict[int, dict[str, Any]] = {}
    strategies, live = [], []
    try:
        cls = load_strategy(first.strategy)
        for i, task in enumerate(tasks):
            try:
                strategies.append(cls(**dict(task.combination.params)))
                live.append(i)
            except Exception as exc:
                rows[i] = _row(task.combination, dict.fromkeys(FIGURES), 0.0, _one_line(exc), task.fingerprint)
        source = _task_ticks(first)
        with _quiet_core():
            results = backtest.run_backtests(_window_ticks(source, first.combination.window), strategies,
                                             codes=[first.combination.code], capital=first.capital,
                                             fee_settings=first.fee_settings) if strategies else []
    except Exception:
        return [run_combination(task) for task in tasks]
    seconds = (time.perf_counter() - started) / len(tasks)
    for i, result in zip(live, results):
        rows[i] = _result_row(tasks[i], result, seconds)
    return [rows[i] for i in range(len(tasks))]


# --- backends --------------------------------------------------------------------------------


class InProcess:
    """Runs the combinations one after another in this process."""

    def __enter__(self) -> InProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def run(self, tasks: Sequence[RunTask]) -> Iterator[dict[str, Any]]:
        """Each task's row, a replay group at a time."""
        for group in group_tasks(tasks):
            yield from run_group(group)


class _Future(Protocol):
    def result(self) -> Any: ...
    def release(self) -> None: ...
    def cancel(self) -> Any: ...


class _Completed(Protocol):
    """``distributed.as_completed`` as this module uses it."""

    def add(self, future: _Future) -> None: ...
    def __iter__(self) -> Iterator[_Future]: ...


def _client(address: Any, **kwargs: Any) -> Any:
    from distributed import Client

    make: Callable[..., Any] = Client  # distributed's constructors are not annotated
    return make(address, **kwargs)


def _local_cluster(**kwargs: Any) -> Any:
    from distributed import LocalCluster

    make: Callable[..., Any] = LocalCluster
    return make(**kwargs)


def _as_completed(loop: Any) -> _Completed:
    from distributed import as_completed

    make: Callable[..., _Completed] = as_completed
    return make(loop=loop)


class OnDask:
    """Runs the combinations on Dask workers: an embedded loopback LocalCluster or a given scheduler."""

    def __init__(self, workers: int, scheduler: str | None) -> None:
        self.workers = workers
        self.scheduler = scheduler
        self.forked = False
        self.cluster: Any = None
        self.client: Any = None

    def start_early(self) -> None:
        """Start the forkserver of an embedded cluster now, so that it imports distributed while this
        process does the same and reads the results folder."""
        if self.scheduler is None:
            from zopt_kelv_backtest import backtest

            # Pinned as a run in this process pins it: the server (which imports the package, and would
            # warn about local time again) and the workers it forks inherit Taipei's local time.
            backtest.pin_local_time()
            self.forked = _start_forkserver()

    def __enter__(self) -> OnDask:
        if self.scheduler is not None:
            _probe_scheduler(self.scheduler, CONNECT_TIMEOUT)
            try:
                self.client = _client(self.scheduler, timeout=CONNECT_TIMEOUT)
            except (OSError, TimeoutError, ValueError) as exc:
                raise SweepInputError(f"cannot reach the scheduler {self.scheduler}: {_one_line(exc)}") from None
            return self
        self.cluster = _embedded_cluster(self.workers, self.forked)
        try:
            self.client = _client(self.cluster)
        except BaseException:
            self.cluster.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        if self.client is not None:
            self.client.close()
        if self.cluster is not None:
            self.cluster.close()

    def run(self, tasks: Sequence[RunTask]) -> Iterator[dict[str, Any]]:
        """Each task's row as its run finishes; a run that Dask gave up on gets a row with the error."""
        token = uuid.uuid4().hex[:12]
        # Each code and window in a group per worker thread: larger groups share more of the replay,
        # enough of them keep every worker busy.
        waiting = _LongestFirst(group_tasks(tasks, max(sum(self.client.nthreads().values()), 1)))
        futures: dict[_Future, TaskGroup] = {}
        # On this client's loop: as_completed would take the process's default client, which need not be
        # ours, and a future waited on from two loops fails with "bound to a different event loop".
        done = _as_completed(self.client.loop)
        submitted = 0
        limit, asked = 2, -math.inf

        def submit() -> None:
            nonlocal submitted, limit, asked
            # Two runs per worker thread in flight: one running, one ready; the choice of the rest waits
            # for more timings. The threads are counted again every second: a cluster may grow.
            if time.monotonic() - asked >= 1.0:
                asked = time.monotonic()
                limit = 2 * max(sum(self.client.nthreads().values()), 1)
            while len(futures) < limit and waiting:
                group = waiting.pop()
                future = self.client.submit(run_group, group, key=f"sweep-{token}-{submitted}", pure=False)
                submitted += 1
                futures[future] = group
                done.add(future)

        try:
            submit()
            for future in done:
                group = futures.pop(future)
                try:
                    rows = future.result()
                except Exception as exc:  # e.g. the run killed its worker again and again
                    rows = [_row(t.combination, dict.fromkeys(FIGURES), math.nan, _one_line(exc), t.fingerprint)
                            for t in group.tasks]
                future.release()
                waiting.timed(group, sum(row["run_seconds"] for row in rows))
                submit()
                yield from rows
        finally:
            for future in futures:
                future.cancel()


def _probe_scheduler(address: str, timeout: float) -> None:
    """SweepInputError unless a Dask scheduler at `address` tells who it is within `timeout` seconds.

    Dask's client bounds only the connection itself: a listener that accepts and then says nothing, or
    answers in another protocol, would hold it for ever. The question runs on a loop of its own in a
    thread of its own, so that it works from inside a running event loop too (a notebook).
    """
    import asyncio
    import concurrent.futures

    from distributed.comm.core import connect

    open_comm: Callable[..., Any] = connect

    async def identity() -> Any:
        comm = await open_comm(address, timeout=timeout)
        try:
            await comm.write({"op": "identity"})
            return await comm.read()
        finally:
            comm.abort()

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        try:
            reply = pool.submit(asyncio.run, asyncio.wait_for(identity(), timeout)).result()
        except Exception as exc:  # refused, timed out, closed, garbled: nothing Dask answers there
            why = f"no answer within {timeout:g} s" if isinstance(exc, TimeoutError) else _one_line(exc)
            raise SweepInputError(f"cannot reach the scheduler {address}: {why}") from None
    if not isinstance(reply, dict) or reply.get("type") != "Scheduler":
        raise SweepInputError(f"cannot reach the scheduler {address}: what answers there is not a Dask scheduler")


def _embedded_cluster(workers: int, forked: bool) -> Any:
    """A LocalCluster of `workers` single-threaded worker processes, all listening on loopback only.

    Scheduler, workers and their nannies each take a free port: the scheduler's HTTP endpoints too
    (Dask's 8787 would clash with a second sweep, with a warning). Each worker runs one combination at a
    time and there is a worker per core, so what else wakes up takes time from a run: polars' thread
    pool, and the monitors that feed a dashboard (profiler, system and event loop monitors) are off or
    slowed. The memory monitor still acts within a second. Workers ignore Ctrl-C: this process answers it.
    Dask's own logs show only critical errors: a run's error is on its row, and a worker that sends its
    heartbeat while the cluster stops (after Ctrl-C) would print a traceback.
    """
    import dask
    import distributed  # noqa: F401  (its config defaults must be in place before the settings below)

    settings: dict[str, Any] = {**QUIET_CLUSTER, "distributed.worker.preload": [WORKER_PRELOAD]}
    if forked:
        # Dask's nannies then fork their workers from the running server. Dask imports its own preload
        # list into this process first, pandas among it: with the core imported (its report libraries
        # waiting) pandas is already there, not loaded.
        from zopt_kelv_backtest._lazy_imports import import_core

        import_core()
        settings["distributed.worker.multiprocessing-method"] = "forkserver"
    with dask.config.set(settings):
        return _local_cluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
                              env={"TZ": "Asia/Taipei", "POLARS_MAX_THREADS": "1"})


def _start_forkserver() -> bool:
    """Start this process's forkserver with distributed preloaded, or find it running; False where
    there is none to start."""
    import multiprocessing
    from multiprocessing import forkserver

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return False
    # The preload list only counts for a server not started yet; one already running is used as it is.
    multiprocessing.get_context("forkserver").set_forkserver_preload([WORKER_PRELOAD])
    try:
        forkserver.ensure_running()
    except OSError:  # e.g. out of processes or file descriptors: the workers are spawned instead
        return False
    return True


class _Unit(Protocol):
    @property
    def combination(self) -> Combination: ...


_U = TypeVar("_U", bound=_Unit)


class _LongestFirst(Generic[_U]):
    """The runs not yet handed out, longest expected first, so no worker is left with a long run at the end.

    A run's length is expected from the runs of the same code and window timed so far (they replay the
    same ticks). One run of each group goes out first, in plan order, to be timed; a group handed out but
    not timed yet is expected to take the mean of every timed run.
    """

    def __init__(self, tasks: Sequence[_U]) -> None:
        self._groups: dict[tuple[str, str], collections.deque[_U]] = {}
        for task in tasks:
            self._groups.setdefault(self._group(task), collections.deque()).append(task)
        self._fresh = set(self._groups)
        self._timed: dict[tuple[str, str], tuple[float, int]] = {}  # group: (seconds, runs)
        self._all = (0.0, 0)

    @staticmethod
    def _group(task: _U) -> tuple[str, str]:
        return task.combination.code, task.combination.window_label

    def __bool__(self) -> bool:
        return bool(self._groups)

    def timed(self, task: _U, seconds: float) -> None:
        """Count a finished run's time for its group (a run without a time counts for nothing)."""
        if math.isfinite(seconds):
            total, runs = self._timed.get(self._group(task), (0.0, 0))
            self._timed[self._group(task)] = (total + seconds, runs + 1)
            self._all = (self._all[0] + seconds, self._all[1] + 1)

    def pop(self) -> _U:
        """The next run to hand out."""
        overall = self._all[0] / self._all[1] if self._all[1] else 0.0

        def expected(group: tuple[str, str]) -> tuple[bool, float]:
            total, runs = self._timed.get(group, (0.0, 0))
            return group in self._fresh, total / runs if runs else overall

        # max keeps the first of equals: plan order among fresh groups and among equal guesses
        group = max(self._groups, key=expected)
        self._fresh.discard(group)
        queue = self._groups[group]
        task = queue.popleft()
        if not queue:
            del self._groups[group]
        return task


def default_cores() -> int:
    """The cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def make_backend(workers: int | None, scheduler: str | None) -> InProcess | OnDask:
    """The backend for `workers` processes or a `scheduler` address; SweepInputError when they clash."""
    if scheduler is not None and workers is not None:
        raise SweepInputError("--workers and --scheduler exclude each other")
    n_workers = default_cores() if workers is None else workers
    if n_workers < 1:
        raise SweepInputError(f"--workers must be at least 1, got {n_workers}")
    return InProcess() if scheduler is None and n_workers == 1 else OnDask(n_workers, scheduler)
