"""Loaded once into the forkserver of an embedded sweep cluster, and by each of its workers at start.

The cluster's worker processes are forked from that server with Dask distributed already imported,
instead of each starting Python and importing it anew. The server must stay single-threaded to fork
safely, so numpy's BLAS (imported by distributed) is held to one thread, as Dask holds its workers'
anyway; polars and the core, which start threads of their own, are left to each worker.
"""

from __future__ import annotations

import os
import signal

for _name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_name] = "1"

import distributed.nanny  # noqa: E402,F401
import distributed.worker  # noqa: E402,F401


def dask_setup(worker: object) -> None:
    """Dask's hook for a worker preload: the worker ignores Ctrl-C.

    A terminal sends Ctrl-C to every process of the sweep; the sweep itself answers it (one line, then
    it closes the cluster), so a worker must not die of it mid-run and print its own traceback.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
