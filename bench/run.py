"""Run every benchmark of this folder in turn (each prints its own table).

usage: python bench/run.py [--quick]
"""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    extra = sys.argv[1:]
    status = 0
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        rc = subprocess.call([sys.executable, str(script), *extra])
        status = status or rc
    return status


if __name__ == "__main__":
    sys.exit(main())
