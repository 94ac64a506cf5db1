"""Import the core with its report libraries loaded on first use instead of at import.

The core imports pandas, matplotlib and quantstats_lumi when it is imported, and uses them only to write
the QuantStats report; with what they pull in (scipy, matplotlib.pyplot, yfinance, IPython) they take
seconds to import, which a replay or a sweep worker that writes no report would pay for nothing.

:func:`import_core` imports the core with those three modules in ``sys.modules`` as not yet executed
module objects (made from their import-system module specs, so they are the very objects a later
``import pandas`` returns). The first access to an attribute of any of them executes all three, in the
core's order, and then replays the calls the core made on them while they waited
(``matplotlib.use("Agg")``, ``quantstats_lumi.extend_pandas()``): afterwards the process holds what an
eager import leaves behind, except that warning filters those libraries add come before the core's two.
Nothing is deferred when any of the three is already imported, or when ``ZOPT_KELV_EAGER_IMPORTS=1``.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
import threading
import types
from typing import Any

CORE = "zopt_kelv_backtest.modules.positions.positions"
# In the order the core imports them; executed in this order too.
DEFERRED = ("pandas", "matplotlib", "quantstats_lumi")
# Calls the core makes on them at import: recorded while they wait, replayed once they are loaded.
RECORDED = {"matplotlib": frozenset({"use"}), "quantstats_lumi": frozenset({"extend_pandas"})}
# What the import system reads of a module found in sys.modules; served without loading.
_SERVED = frozenset({"__spec__", "__name__", "__class__"})

_lock = threading.RLock()
_waiting: dict[str, types.ModuleType] = {}  # placed in sys.modules, not executed yet
_executing: set[str] = set()
_calls: list[tuple[str, str, tuple[Any, ...], dict[str, Any]]] = []


class _Waiting(types.ModuleType):
    """A module not executed yet: reading any attribute but a few the import system reads loads it."""

    def __getattribute__(self, name: str) -> Any:
        if name in _SERVED:
            return types.ModuleType.__getattribute__(self, name)
        module = types.ModuleType.__getattribute__(self, "__name__")
        if name in RECORDED.get(module, ()):
            with _lock:
                if module in _waiting:
                    return _recorder(module, name)
        _touched(module)
        return types.ModuleType.__getattribute__(self, name)


def _recorder(module: str, name: str) -> Any:
    def call(*args: Any, **kwargs: Any) -> None:
        with _lock:
            if module in _waiting:
                _calls.append((module, name, args, kwargs))
                return
        getattr(sys.modules[module], name)(*args, **kwargs)

    call.__name__ = call.__qualname__ = name
    return call


def _touched(module: str) -> None:
    with _lock:  # another thread's load finishes first
        if module in _executing:
            return  # its own execution reading it, e.g. the import system importing a submodule
        if _executing and module in _waiting:
            _execute(module)  # needed by the one executing: this one first
        else:
            load_deferred()


def deferred() -> tuple[str, ...]:
    """Names of the report libraries imported by name but not executed yet."""
    with _lock:
        return tuple(_waiting)


def load_deferred() -> None:
    """Execute the waiting report libraries now, in order (a no-op when none waits).

    A library whose execution fails leaves ``sys.modules`` as a failed import does and its error
    propagates; the ones still waiting leave too, so a later import starts afresh.
    """
    with _lock:
        while _waiting and not _executing:
            _execute(next(iter(_waiting)))


def _execute(name: str) -> None:
    module = _waiting.pop(name)
    _executing.add(name)
    try:
        spec = module.__spec__
        assert spec is not None and spec.loader is not None
        spec.loader.exec_module(module)
    except BaseException:
        if sys.modules.get(name) is module:
            del sys.modules[name]
        _forget(list(_waiting))
        raise
    finally:
        _executing.discard(name)
    module.__class__ = types.ModuleType
    replay = [c for c in _calls if c[0] == name]
    _calls[:] = [c for c in _calls if c[0] != name]
    for _, attr, args, kwargs in replay:
        getattr(module, attr)(*args, **kwargs)


def _forget(names: list[str]) -> None:
    for name in names:
        module = _waiting.pop(name, None)
        if module is not None and sys.modules.get(name) is module:
            del sys.modules[name]
    _calls[:] = [c for c in _calls if c[0] in _waiting]


def _eager() -> bool:
    return os.environ.get("ZOPT_KELV_EAGER_IMPORTS", "") not in ("", "0")


def import_core() -> types.ModuleType:
    """The core module, imported with its report libraries deferred when none of them is loaded yet."""
    core = sys.modules.get(CORE)
    if core is not None:
        return core
    with _lock:
        if CORE not in sys.modules and not _eager() and not any(n in sys.modules for n in DEFERRED):
            specs = [importlib.util.find_spec(name) for name in DEFERRED]
            # A library that cannot be found is left to the core's own import to report.
            if all(spec is not None and spec.loader is not None for spec in specs):
                for name, spec in zip(DEFERRED, specs):
                    assert spec is not None
                    module = importlib.util.module_from_spec(spec)
                    module.__class__ = _Waiting
                    sys.modules[name] = module
                    _waiting[name] = module
        try:
            return importlib.import_module(CORE)
        except BaseException:
            _forget(list(_waiting))
            raise
