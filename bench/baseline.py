"""Plain-Python renderings of the native algorithms, used only by the benchmarks.

Each area keeps its rendering in its own module; this one gathers them.
"""

from importlib import import_module

AREAS = ("ticks", "kbar", "costs", "ledger")


def load(area: str):
    """The baseline module of one area, e.g. ``load("ticks")``."""
    return import_module(f"baseline_{area}")
