"""The native replay loop and closed-bar arrays; driven by zopt_kelv_backtest.backtest."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, final

import numpy as np
import numpy.typing as npt
import polars as pl

@final
class Bars:
    @property
    def key(self) -> tuple[str, int]: ...
    @property
    def code(self) -> str: ...
    @property
    def open(self) -> npt.NDArray[np.float64]: ...
    @property
    def high(self) -> npt.NDArray[np.float64]: ...
    @property
    def low(self) -> npt.NDArray[np.float64]: ...
    @property
    def close(self) -> npt.NDArray[np.float64]: ...
    @property
    def volume(self) -> npt.NDArray[np.float64]: ...
    @property
    def time(self) -> npt.NDArray[np.datetime64]: ...
    def __len__(self) -> int: ...
    def to_polars(self) -> pl.DataFrame: ...

@final
class Engine:
    def __new__(
        cls,
        quote_manager: Any,
        add_tick: Callable[[Any], object],
        accounts: Sequence[tuple[Any, ...]],
        driver: Any,
        session_last: dict[Any, Any],
        session_gap: float,
    ) -> Engine: ...
    def run(self, source: Iterable[Any], next_mark: float, /) -> int: ...
