"""Technical indicators with O(1) updates, native.

Every indicator is fed one observation at a time with ``update(...)``, which
returns the current value (NaN until the indicator is warm), or given whole
series at once with ``compute(...)``, which returns float64 numpy arrays equal
to what repeated updates from a fresh state would give. ``compute`` uses only
the instance's parameters: it neither reads nor changes its state.
``value`` is the value of the last real observation, ``reset()`` starts over,
and the parameters are read-only attributes (``n``, ``k``, ``fast``, ...).

Formulas (x is the input, "warm" is the update that gives the first value):

``SMA(n)``
    mean of the last n values; warm at the n-th value.
``EMA(n)``
    alpha = 2 / (n + 1); the mean of the first n values, then
    ema += alpha * (x - ema); warm at the n-th value.
``RSI(n=14)``
    Wilder: the change of consecutive values splits into a gain (max(change, 0))
    and a loss (max(-change, 0)); each is averaged as the mean of the first n,
    then avg += (v - avg) / n. RSI = 100 - 100 / (1 + avg_gain / avg_loss),
    100 when avg_loss is 0 and avg_gain is not, 50 when both are 0 (a flat
    series). Warm at the (n + 1)-th value, since n changes need n + 1 values.
``ATR(n=14)``
    ``update(high, low, close)``. Wilder on the true range
    max(high - low, |high - previous close|, |low - previous close|), which is
    high - low for the first bar; the mean of the first n true ranges, then
    atr += (tr - atr) / n. Warm at the n-th bar. A bar with high < low is
    refused (ValueError).
``Bollinger(n=20, k=2.0)``
    ``(lower, middle, upper)``: middle = SMA(n), lower/upper = middle -/+ k times
    the population standard deviation (ddof 0) of the same n values; warm at
    the n-th value.
``MACD(fast=12, slow=26, signal=9)``
    ``(macd, signal, histogram)``: macd = EMA(fast) - EMA(slow) as EMA above,
    from the slow-th value on; signal = EMA(signal) of the macd values (warm at
    value slow + signal - 1); histogram = macd - signal. fast < slow.
``CrossOver()``
    ``update(a, b)`` returns 1 when a crosses above b, -1 when it crosses below,
    else 0 (an int; ``compute`` gives 1.0/-1.0/0.0). A tie (a == b) has no side:
    the cross is reported when a - b takes the sign opposite to its last
    non-zero sign, so below, equal, above is one cross up, and below, equal,
    below none. The first pair is never a cross.

Rolling sums are compensated (Neumaier) and rebuilt exactly from the window
once per n values, so long series do not drift; a window of n equal values
gives exactly that value and a zero deviation.

Input: real numbers (float, int, numpy scalars, anything with ``__float__``);
``compute`` takes numpy arrays (read in place when float64), pandas or polars
series, or any iterable of numbers. Anything else raises TypeError, arrays of
different lengths ValueError, and ±inf ValueError, with the state unchanged.
NaN is a missing observation: it is skipped (the state does not move, ``value``
keeps the last real value) and that call returns NaN (0 for CrossOver), as
``compute`` does at that position; the series resumes as if the row were absent.

Threads: an update runs without releasing the GIL and converts its arguments
before it changes any state, so sharing an instance is memory-safe, but two
threads feeding one instance interleave their series: give each thread its own.
"""

from zopt_kelv_backtest.modules.indicators.indicators import ATR, EMA, MACD, RSI, SMA, Bollinger, CrossOver

__all__ = ["ATR", "EMA", "MACD", "RSI", "SMA", "Bollinger", "CrossOver"]
