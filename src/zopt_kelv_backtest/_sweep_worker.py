"""Loaded once into the forkserver of an embedded sweep cluster.

The cluster's worker processes are forked from that server with Dask distributed already imported,
instead of each starting Python and importing it anew. The server must stay single-threaded to fork
safely, so numpy's BLAS (imported by distributed) is held to one thread, as Dask holds its workers'
anyway; polars and the core, which start threads of their own, are left to each worker.
"""

import os

for _name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_name] = "1"

import distributed.nanny  # noqa: E402,F401
import distributed.worker  # noqa: E402,F401
