"""The native indicators against plain numpy/pandas renderings of their formulas."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest.indicators import ATR, EMA, MACD, RSI, SMA, Bollinger, CrossOver

# ---- plain renderings of the documented formulas -----------------------------


def seeded_average(x, n, alpha):
    """Mean of the first n values, then the recursive average; NaN before."""
    out = np.full(len(x), np.nan)
    if len(x) >= n:
        seeded = np.concatenate([[np.mean(x[:n])], x[n:]])
        out[n - 1:] = pd.Series(seeded).ewm(alpha=alpha, adjust=False).mean().to_numpy()
    return out


def windows(x, n):
    return np.lib.stride_tricks.sliding_window_view(x, n)


def pad(values, n, size):
    return np.concatenate([np.full(min(n - 1, size), np.nan), values])


def ref_sma(x, n):
    return pad(windows(x, n).mean(axis=1), n, len(x))


def ref_ema(x, n):
    return seeded_average(x, n, 2 / (n + 1))


def ref_rsi(x, n):
    change = np.diff(x)
    gain = seeded_average(np.maximum(change, 0), n, 1 / n)
    loss = seeded_average(np.maximum(-change, 0), n, 1 / n)
    with np.errstate(divide="ignore", invalid="ignore"):
        rsi = np.where(loss == 0, np.where(gain == 0, 50.0, 100.0), 100 - 100 / (1 + gain / loss))
    return np.concatenate([[np.nan], np.where(np.isnan(gain), np.nan, rsi)])


def ref_atr(high, low, close, n):
    tr = high - low
    tr[1:] = np.maximum.reduce([tr[1:], abs(high[1:] - close[:-1]), abs(low[1:] - close[:-1])])
    return seeded_average(tr, n, 1 / n)


def ref_bollinger(x, n, k):
    w = windows(x, n)
    mid, sd = pad(w.mean(axis=1), n, len(x)), pad(w.std(axis=1), n, len(x))
    return mid - k * sd, mid, mid + k * sd


def ref_macd(x, fast, slow, signal):
    macd = ref_ema(x, fast) - ref_ema(x, slow)
    sig = np.concatenate([np.full(slow - 1, np.nan), ref_ema(macd[slow - 1:], signal)])[: len(x)]
    return macd, sig, macd - sig


def ref_cross(a, b):
    side = np.sign(a - b)
    before = pd.Series(side).replace(0, np.nan).ffill().shift(1).to_numpy()
    return np.where((side != 0) & ~np.isnan(before) & (side != before), side, 0.0)


# ---- series -------------------------------------------------------------------


def tick_size(price):
    """The stock price ladder: the tick grows with the price."""
    for limit, tick in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < limit:
            return tick
    return 5.0


def ladder_walk(rng, size, start=580.0):
    """Prices moving a few ticks at a time, often not at all (flat stretches)."""
    out, price = np.empty(size), start
    for i, step in enumerate(rng.choice([-2, -1, 0, 0, 0, 0, 1, 2], size)):
        price = max(round(price + step * tick_size(price), 2), 1.0)
        out[i] = price
    return out


def bars(prices, per_bar=5):
    """(high, low, close) of consecutive groups of prices."""
    groups = prices[: len(prices) // per_bar * per_bar].reshape(-1, per_bar)
    return groups.max(axis=1), groups.min(axis=1), groups[:, -1]


def regimes(rng, size):
    """A noisy level that jumps between 1e7 and 10: running sums without care drift here."""
    level = np.repeat(rng.choice([1e7, 10.0], size // 500 + 1), 500)[:size]
    return level * (1 + 0.01 * rng.standard_normal(size))


SERIES = {
    "ladder": lambda rng, size: ladder_walk(rng, size),
    "normal": lambda rng, size: 100 + rng.standard_normal(size).cumsum(),
    "regimes": regimes,
}

# name -> (factory from a window length, number of inputs, reference on the inputs)
INDICATORS = {
    "SMA": (SMA, 1, ref_sma),
    "EMA": (EMA, 1, ref_ema),
    "RSI": (RSI, 1, ref_rsi),
    "ATR": (ATR, 3, lambda h, l, c, n: ref_atr(h, l, c, n)),
    "Bollinger": (lambda n: Bollinger(n, 2.5), 1, lambda x, n: ref_bollinger(x, n, 2.5)),
    "MACD": (lambda n: MACD(n, 2 * n + 1, n + 2), 1, lambda x, n: ref_macd(x, n, 2 * n + 1, n + 2)),
}


def inputs(count, prices):
    return bars(prices) if count == 3 else (prices,)


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


def assert_close(got, ref, scale):
    # 1e-9 relative; the absolute floor only matters where a difference (MACD) crosses zero
    for g, r in zip(as_tuple(got), as_tuple(ref), strict=True):
        np.testing.assert_allclose(g, r, rtol=1e-9, atol=1e-13 * scale, equal_nan=True)


def by_updates(ind, *columns):
    out = [ind.update(*row) for row in zip(*columns)]
    if out and isinstance(out[0], tuple):
        return tuple(np.array(col, dtype=float) for col in zip(*out))
    return np.array(out, dtype=float)


# ---- agreement with the formulas ------------------------------------------------


@pytest.mark.parametrize("name", INDICATORS)
@pytest.mark.parametrize("kind", SERIES)
@pytest.mark.parametrize("n", [1, 2, 14, 50])
def test_matches_the_plain_formula(name, kind, n):
    make, count, ref = INDICATORS[name]
    rng = np.random.default_rng([n, len(name), len(kind)])
    columns = inputs(count, SERIES[kind](rng, 20_000))
    expected = ref(*columns, n)
    scale = np.abs(columns[0]).max()
    assert_close(make(n).compute(*columns), expected, scale)
    assert_close(by_updates(make(n), *columns), expected, scale)


@pytest.mark.parametrize("kind", SERIES)
def test_long_series_do_not_drift(kind):
    x = SERIES[kind](np.random.default_rng(7), 400_000)
    scale = np.abs(x).max()
    assert_close(SMA(30).compute(x), ref_sma(x, 30), scale)
    assert_close(Bollinger(30, 2).compute(x), ref_bollinger(x, 30, 2), scale)


@pytest.mark.parametrize("seed", range(3))
def test_crossover_matches_sign_changes(seed):
    rng = np.random.default_rng(seed)
    a, b = rng.integers(0, 3, 5_000).astype(float), rng.integers(0, 3, 5_000).astype(float)  # many ties
    expected = ref_cross(a, b)
    np.testing.assert_array_equal(CrossOver().compute(a, b), expected)
    up, touch = CrossOver(), CrossOver()
    assert [up.update(*p) for p in [(0, 1), (1, 1), (2, 1), (1, 1), (0, 1)]] == [0, 0, 1, 0, -1]
    assert [touch.update(*p) for p in [(0, 1), (1, 1), (0, 1)]] == [0, 0, 0]
    got = by_updates(CrossOver(), a, b)
    np.testing.assert_array_equal(got, expected)


# ---- warm-up, n = 1, constant input -----------------------------------------------

# name -> (instance, inputs per update, index of the first value of each output)
WARM = {
    "SMA": (lambda: SMA(5), 1, [4]),
    "EMA": (lambda: EMA(5), 1, [4]),
    "RSI": (lambda: RSI(5), 1, [5]),
    "ATR": (lambda: ATR(5), 3, [4]),
    "Bollinger": (lambda: Bollinger(5), 1, [4, 4, 4]),
    "MACD": (lambda: MACD(2, 5, 3), 1, [4, 6, 6]),
}


@pytest.mark.parametrize("name", WARM)
def test_first_value_comes_exactly_when_warm(name):
    make, count, first = WARM[name]
    x = ladder_walk(np.random.default_rng(1), 12) + np.arange(12)  # no flat step: RSI has gains
    ind = make()
    rows = [(v + 1, v - 1, v) if count == 3 else (v,) for v in x]
    outs = [as_tuple(ind.update(*row)) for row in rows]
    for j, k in enumerate(first):
        col = [o[j] for o in outs]
        assert all(math.isnan(v) for v in col[:k]) and not any(math.isnan(v) for v in col[k:]), (j, col)


def test_window_of_one_is_the_input():
    x = ladder_walk(np.random.default_rng(2), 200)
    for ind in (SMA(1), EMA(1)):
        np.testing.assert_array_equal(ind.compute(x), x)
    np.testing.assert_array_equal(np.array(Bollinger(1, 3.0).compute(x)), np.array([x, x, x]))
    high, low, close = bars(x)
    assert ATR(1).update(high[0], low[0], close[0]) == high[0] - low[0]


@pytest.mark.parametrize("level", [0.1, 123.45, 1e9])
def test_constant_input(level):
    x = np.full(300, level)
    assert (SMA(20).compute(x)[19:] == level).all()
    lower, middle, upper = Bollinger(20, 2).compute(x)
    assert (lower[19:] == level).all() and (upper[19:] == level).all()
    np.testing.assert_allclose(EMA(20).compute(x)[19:], level, rtol=1e-15)
    assert (RSI(14).compute(x)[14:] == 50).all()  # no movement: neutral
    assert (ATR(14).compute(x, x, x)[13:] == 0).all()
    np.testing.assert_allclose(MACD().compute(x)[0][25:], 0, atol=1e-15 * level)


def test_a_constant_window_after_movement_has_no_deviation():
    x = np.concatenate([np.random.default_rng(3).normal(1e6, 1e3, 1_000), np.full(50, 1e6 + 0.5)])
    lower, middle, upper = Bollinger(20, 2).compute(x)
    assert (middle[-30:] == 1e6 + 0.5).all() and (upper[-30:] - lower[-30:] == 0).all()


# ---- update and compute are one algorithm ------------------------------------------

ALL = {**{name: (spec[0], spec[1]) for name, spec in INDICATORS.items()},
       "CrossOver": (lambda n: CrossOver(), 2)}

finite = st.floats(-1e6, 1e6, allow_subnormal=False)
maybe_nan = st.one_of(finite, finite, finite, st.just(math.nan))


@pytest.mark.parametrize("name", ALL)
@settings(max_examples=60, deadline=None)
@given(n=st.integers(1, 6), rows=st.lists(st.tuples(maybe_nan, finite, finite), min_size=1, max_size=60))
def test_update_equals_compute_and_nan_is_a_skipped_row(name, n, rows):
    make, count = ALL[name]
    a, b, c = (np.array(col, dtype=float) for col in zip(*rows))
    columns = {1: [a], 2: [a, b], 3: [np.maximum(b, c), np.minimum(b, c), a]}[count]  # bars: high >= low
    ind = make(n)
    got = by_updates(ind, *columns)
    full = make(n).compute(*columns)
    for g, f in zip(as_tuple(got), as_tuple(full), strict=True):
        np.testing.assert_array_equal(g, f)
    # NaN rows give NaN (0 for a cross) and the rest is the series without them
    missing = np.isnan(a)
    clean = make(n).compute(*[c[~missing] for c in columns])
    for f, k in zip(as_tuple(full), as_tuple(clean), strict=True):
        np.testing.assert_array_equal(f[~missing], k)
        assert (f[missing] == 0).all() if name == "CrossOver" else np.isnan(f[missing]).all()
    if (~missing).any():  # value: the last real observation's
        last = [f[~missing][-1] for f in as_tuple(full)]
        np.testing.assert_array_equal(np.array(as_tuple(ind.value), dtype=float), np.array(last))


@pytest.mark.parametrize("name", ALL)
def test_compute_and_reset_leave_a_fresh_history(name):
    make, count = ALL[name]
    x = ladder_walk(np.random.default_rng(4), 80)
    columns = inputs(count, x) if count != 2 else (x, x[::-1].copy())
    ind, twin = make(4), make(4)
    for row in zip(*(c[:10] for c in columns)):
        ind.update(*row)
        twin.update(*row)
    before = ind.value
    ind.compute(*columns)  # the instance's own history is not touched
    assert repr(ind.value) == repr(before)
    row = [c[10] for c in columns]
    assert repr(ind.update(*row)) == repr(twin.update(*row))
    ind.reset()
    np.testing.assert_array_equal(np.array(by_updates(ind, *columns)), np.array(make(4).compute(*columns)))


@pytest.mark.parametrize("convert", [
    list, tuple, iter, pd.Series,
    lambda a: a.astype(np.float32), lambda a: np.repeat(a, 2)[::2], lambda a: (a * 100).astype(np.int64),
], ids=["list", "tuple", "iterator", "pandas", "float32", "strided", "int64"])
def test_compute_takes_any_numeric_series(convert):
    x = np.round(ladder_walk(np.random.default_rng(5), 300))
    expected = SMA(7).compute(np.asarray(convert(x), dtype=float) if convert is not iter else x)
    np.testing.assert_array_equal(SMA(7).compute(convert(x)), expected)
    empty = MACD().compute(convert(x[:0]))
    assert [(a.dtype, a.shape) for a in empty] == [(np.float64, (0,))] * 3


# ---- bad input ----------------------------------------------------------------


@pytest.mark.parametrize("make,error,match", [
    (lambda: SMA(0), ValueError, "at least 1"),
    (lambda: EMA(-3), ValueError, "at least 1"),
    (lambda: SMA(2.0), TypeError, "must be an int"),
    (lambda: RSI("14"), TypeError, "must be an int"),
    (lambda: ATR(True), TypeError, "must be an int"),
    (lambda: SMA(), TypeError, "missing required argument 'n'"),
    (lambda: SMA(10**30), ValueError, "too large"),
    (lambda: SMA(5, m=3), TypeError, "unexpected keyword"),
    (lambda: Bollinger(20, -1.0), ValueError, "k must be finite"),
    (lambda: Bollinger(20, math.inf), ValueError, "k must be finite"),
    (lambda: Bollinger(k="2"), TypeError, "k must be a real number"),
    (lambda: MACD(26, 12), ValueError, "fast must be less than slow"),
    (lambda: MACD(fast=0), ValueError, "at least 1"),
    (lambda: CrossOver(1), TypeError, "takes no arguments"),
])
def test_bad_parameters_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("bad,error", [("1.5", TypeError), (None, TypeError), ([1.0], TypeError),
                                       (math.inf, ValueError), (-math.inf, ValueError)])
def test_a_bad_value_changes_nothing(name, bad, error):
    make, count = ALL[name]
    ind, twin = make(3), make(3)
    rows = [(10.0 + i, 9.0 + i, 9.5 + i)[:count] for i in range(5)]
    for row in rows[:3]:
        ind.update(*row)
        twin.update(*row)
    for i in range(count):
        row = list(rows[3])
        row[i] = bad
        with pytest.raises(error):
            ind.update(*row)
        with pytest.raises(error):
            ind.compute(*[[*col, v] for col, v in zip(zip(*rows[:3]), row, strict=True)])
    with pytest.raises(TypeError, match="positional argument"):
        ind.update(*rows[3], 1.0)
    assert repr(ind.update(*rows[3])) == repr(twin.update(*rows[3]))


def test_compute_refuses_bad_arrays():
    with pytest.raises(ValueError, match="differ in length"):
        ATR(3).compute([3.0, 4.0], [1.0, 2.0], [2.0])
    with pytest.raises(ValueError, match="one-dimensional"):
        SMA(3).compute(np.ones((4, 2)))
    with pytest.raises(TypeError, match="sequence of numbers"):
        SMA(3).compute("1234")
    with pytest.raises(TypeError, match="real numbers"):
        SMA(3).compute(np.array(["1", "2"]))
    with pytest.raises(ValueError, match=r"row 1: high is below low"):
        ATR(3).compute([3.0, 1.0], [1.0, 2.0], [2.0, 1.5])
    with pytest.raises(ValueError, match="high is below low"):
        ATR(3).update(1.0, 2.0, 1.5)


def test_a_value_that_runs_python_cannot_corrupt_the_state():
    ind = SMA(2)

    class Sneaky:
        def __float__(self):
            ind.update(1.0)  # re-enters before the outer update has changed anything
            return 3.0

    assert ind.update(Sneaky()) == 2.0  # the window holds 1.0 then 3.0
    assert ind.value == 2.0


def test_attributes_are_read_only_and_shown():
    ind = Bollinger(10, 1.5)
    assert (ind.n, ind.k, repr(ind)) == (10, 1.5, "Bollinger(n=10, k=1.5)")
    assert repr(MACD()) == "MACD(fast=12, slow=26, signal=9)" and repr(CrossOver()) == "CrossOver()"
    for attr in ("value", "n", "k"):
        with pytest.raises(AttributeError):
            setattr(ind, attr, 1)
    assert math.isnan(SMA(3).value) and CrossOver().value == 0
