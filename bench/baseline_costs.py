"""The plain-Python trade cost the benchmarks measure against: the tests'
own rendering in tests/cost_model.py."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from cost_model import FutureIndexContractValue, Positions, default_fee_settings  # noqa: E402,F401
