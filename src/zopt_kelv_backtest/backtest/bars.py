"""Closed K-bars as arrays: what a strategy with ``bars_as = "arrays"`` receives in ``on_bar``.

The native replay keeps each watched key's bars in columns that grow as bars close, folded from the quote
manager's stored ticks by the core's own bar-label rule, so a strategy reads them without a polars frame
per bar and without copying the history. The view, :class:`Bars`, has:

- ``bars.key``: the ``(unit, freq)`` key; ``bars.code``: the code; ``len(bars)``: the closed bars;
- ``bars.open``, ``bars.high``, ``bars.low``, ``bars.close``, ``bars.volume``: read-only float64 numpy
  arrays, oldest bar first; ``bars.time``: bar starts (local wall-clock time) as ``datetime64[us]``, the
  same instants as ``get_kbar``'s ``dt``;
- ``bars.to_polars()``: the same bars as ``QuoteManager.get_kbar(code, unit, freq)`` without its forming bar.

The arrays share the run's memory: a view keeps showing the bars it was given, and the next call gets a
longer view. Keep a view, not a copy, when you need the history.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import polars as pl

    from zopt_kelv_backtest.modules.replay.replay import Bars

__all__ = ["Bars", "bar_columns", "bars_frame"]


def __getattr__(name: str) -> Any:
    # The native module loads with the first run, not with this module.
    if name == "Bars":
        from zopt_kelv_backtest.modules.replay.replay import Bars

        return Bars
    raise AttributeError(name)


def bars_frame(bars: Any) -> pl.DataFrame:
    """``bars`` (a :class:`Bars` view) as the K-bar frame the quote manager's query gives."""
    import polars as pl

    n = len(bars)
    return pl.DataFrame(
        {
            "dt": pl.Series("dt", bars.time, dtype=pl.Datetime("us")),
            "code": pl.Series("code", [bars.code] * n, dtype=pl.String),
            "Open": pl.Series("Open", bars.open, dtype=pl.Float64),
            "High": pl.Series("High", bars.high, dtype=pl.Float64),
            "Low": pl.Series("Low", bars.low, dtype=pl.Float64),
            "Close": pl.Series("Close", bars.close, dtype=pl.Float64),
            "Volume": pl.Series("Volume", bars.volume, dtype=pl.Float64).cast(pl.Int64),
        }
    )


def bar_columns(frame: pl.DataFrame) -> tuple[Any, ...]:
    """A K-bar frame's columns as contiguous numpy arrays: (start times in microseconds as int64, open,
    high, low, close as float64, volume as int64)."""
    import numpy as np
    import polars as pl

    def floats(name: str) -> Any:
        return np.ascontiguousarray(frame[name].cast(pl.Float64).to_numpy(), dtype=np.float64)

    times = frame["dt"].cast(pl.Datetime("us")).dt.epoch("us").to_numpy()
    volume = frame["Volume"].cast(pl.Int64).to_numpy()
    return (np.ascontiguousarray(times, dtype=np.int64), floats("Open"), floats("High"), floats("Low"),
            floats("Close"), np.ascontiguousarray(volume, dtype=np.int64))
