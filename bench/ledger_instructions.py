"""Instruction counts of the ledger cases, ours against the baseline: wall
clock on a shared 2-core machine moves by tens of percent between runs, a
count does not.

usage (one case and side per run; the count is what valgrind reports as
"Collected", only the work inside functools.reduce):

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=<stage> valgrind --tool=callgrind \\
        --callgrind-out-file=/dev/null --toggle-collect=functools_reduce \\
        .venv/bin/python bench/ledger_instructions.py {native|baseline} {fills|summaries|details} [N]

fills: N fills (default 20,000) of bench_ledger's stream; summaries and
details: N rounds (default 20) of both accounts over bench_ledger's 1,000 lots.
"""

import functools
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline_ledger  # noqa: E402
import bench_ledger  # noqa: E402


def main():
    side, case = sys.argv[1], sys.argv[2]
    bench_ledger.native_mod.console = baseline_ledger.console = bench_ledger.NoConsole()
    cls = bench_ledger.native_mod.Positions if side == "native" else baseline_ledger.Positions
    if case == "fills":
        n = int(sys.argv[3]) if len(sys.argv) > 3 else 20_000
        p = cls()
        sp = p.set_positions
        functools.reduce(lambda _, f: sp(f, f["product_type"]), bench_ledger.make_fills(n), None)
    else:
        n = int(sys.argv[3]) if len(sys.argv) > 3 else 20
        p = bench_ledger.book_with_lots(cls)
        detail = case == "details"

        def one(_, account):
            p.fetch_positions(account, detail)
            p.pop_positions()

        functools.reduce(one, ["Stock", "Future"] * n, None)


if __name__ == "__main__":
    main()
