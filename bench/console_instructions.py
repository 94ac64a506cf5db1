"""Instruction counts of the console lines of a fill: wall clock on a shared 2-core machine moves by
tens of percent between runs, a count does not.

usage (one console per run; the count is what valgrind reports as "Collected", only the work inside
functools.reduce):

    PYTHONPATH=<stage> valgrind --tool=callgrind --callgrind-out-file=/dev/null \\
        --toggle-collect=functools_reduce .venv/bin/python bench/console_instructions.py \\
        {null|file|terminal|quiet} [N]

N fills (default 2,000) of bench_console's stream through `Positions.set_positions`, the module's
console being: null (a `print` that does nothing), the package console writing to a file, the
package console with a standard-colour terminal's look (to /dev/null: the count is this process's
work, not the terminal's), or quiet. The background writer is held off, so every batch is written
inside the counted call; the kernel's side of a write is not an instruction of this process.
"""

import functools
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_console  # noqa: E402
import zopt_kelv_backtest.modules.positions.positions as positions_module  # noqa: E402
from zopt_kelv_backtest import console  # noqa: E402


def main() -> int:
    case = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    console.BATCH_SECONDS = 1e9  # the writer thread would take batches out of the counted call
    sink = open(os.devnull, "w", encoding="utf-8")
    con = {
        "null": lambda: bench_console.NullConsole(),
        "file": lambda: console.LineConsole(file=sink),
        "terminal": lambda: console.LineConsole(file=sink, force_terminal=True, color_system="standard"),
        "quiet": lambda: console.LineConsole(file=sink, quiet=True),
    }[case]()
    positions_module.console = con
    p = positions_module.Positions()
    p.set_initial_capital(10_000_000)
    batch = bench_console.fills(n)
    sp = p.set_positions
    flush = getattr(con, "flush", lambda: None)

    def run(_acc, fill):
        if fill is None:
            flush()
        else:
            sp(fill, "Stock")
        return None

    functools.reduce(run, [*batch, None], None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
