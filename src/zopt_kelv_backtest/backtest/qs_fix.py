"""True figures in the QuantStats report: drawdown rows, and the first day kept.

Two faults of ``quantstats_lumi`` 1.1.5 (the newest release) meet this package's report, whose call is
fixed (the core writes it); :func:`true_report_figures` mends both for a block, through the library's
public functions, and puts the library's own back after it, error or not.

*The first day kept.* ``reports.html`` matches the dates of the strategy and the benchmark by default
(``match_dates=True``): both series start at the first day on which *both* returns are non-zero. The
benchmark's returns come from the 0050 closes of the report's window, whose first return is 0, so the
strategy's first day, its profit or loss included, silently left every figure. :func:`whole_first_day`
makes ``match_dates`` default to False for the block (a call that passes it keeps its own); the library
still aligns the benchmark to the strategy's days.

*Drawdown rows.*

``quantstats_lumi`` (1.1.5, the newest release) finds where drawdowns start with
``~no_dd & no_dd.shift(1)``: a day in drawdown after a day without one. The first day of the series has no
day before it, so a drawdown that starts on the first day is never found; when it is the only one (a
short run that never recovers, or a losing run), ``drawdown_details`` returns no rows and the report
leaves "Max Drawdown" blank and "Longest DD Days" "-", although ``stats.max_drawdown`` knows the figure.

:func:`first_day_drawdowns` puts a corrected ``quantstats_lumi.stats.drawdown_details`` in place for a
block and restores the library's own after it, error or not. The library's report code looks the
function up on its ``stats`` module at call time, so the call that writes the report stays as it is.
The correction is to put a day without drawdown before the first day: the drawdown then starts on the
first day, as it does. The added day lies outside every drawdown, so it appears in no row.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import threading
from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["first_day_drawdowns", "padded_drawdown_details", "true_report_figures", "whole_first_day"]

_lock = threading.RLock()


def padded_drawdown_details(original: Callable[..., Any]) -> Callable[..., Any]:
    """``original`` (the library's ``drawdown_details``) made to see a drawdown from the first day."""

    @functools.wraps(original)
    def details(drawdown: Any, *args: Any, **kwargs: Any) -> Any:
        import pandas as pd

        if not isinstance(drawdown, (pd.Series, pd.DataFrame)) or len(drawdown) == 0 \
                or not isinstance(drawdown.index, pd.DatetimeIndex):
            return original(drawdown, *args, **kwargs)
        before = drawdown.index[0] - pd.Timedelta(days=1)
        if isinstance(drawdown, pd.Series):
            lead: Any = pd.Series([0.0], index=pd.DatetimeIndex([before]), name=drawdown.name)
        else:
            lead = pd.DataFrame(0.0, index=pd.DatetimeIndex([before]), columns=drawdown.columns)
        if drawdown.index.tz is not None:
            lead.index = lead.index.tz_localize(drawdown.index.tz)
        return original(pd.concat([lead, drawdown]), *args, **kwargs)

    details.__wrapped_by_zopt_kelv__ = True  # type: ignore[attr-defined]
    return details


@contextlib.contextmanager
def first_day_drawdowns() -> Iterator[None]:
    """For the block, ``quantstats_lumi.stats.drawdown_details`` also finds a drawdown that starts on the
    first day (see the module docstring); the library's function is back in place after it."""
    stats: Any = importlib.import_module("quantstats_lumi.stats")
    with _lock:
        original = stats.drawdown_details
        if getattr(original, "__wrapped_by_zopt_kelv__", False):  # a block inside another
            yield
            return
        stats.drawdown_details = padded_drawdown_details(original)
        try:
            yield
        finally:
            stats.drawdown_details = original


@contextlib.contextmanager
def whole_first_day() -> Iterator[None]:
    """For the block, ``quantstats_lumi.reports.html`` keeps the strategy's first day (see the module
    docstring); the library's function is back in place after it."""
    reports: Any = importlib.import_module("quantstats_lumi.reports")
    with _lock:
        original = reports.html
        if getattr(original, "__wrapped_by_zopt_kelv__", False):
            yield
            return

        @functools.wraps(original)
        def html(*args: Any, **kwargs: Any) -> Any:
            kwargs.setdefault("match_dates", False)
            return original(*args, **kwargs)

        html.__wrapped_by_zopt_kelv__ = True  # type: ignore[attr-defined]
        reports.html = html
        try:
            yield
        finally:
            reports.html = original


@contextlib.contextmanager
def true_report_figures() -> Iterator[None]:
    """Both mends of the module docstring for the block: :func:`whole_first_day` and
    :func:`first_day_drawdowns`."""
    with whole_first_day(), first_day_drawdowns():
        yield
