"""The native replay: the same hooks, fills and figures as the plain-Python model, bars as arrays equal to
the frames, and hooks that misbehave."""

from datetime import date, datetime, timedelta

import numpy as np
import polars as pl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from replay_model import run_model

from zopt_kelv_backtest import example, synthetic
from zopt_kelv_backtest.backtest import Strategy, run_backtest, run_backtests

DAY = date(2024, 2, 1)  # a Thursday; the next day is a trading day too
KEYS = (("m", 1), ("m", 5), ("h", 1), ("d", 1), ("w", 1))


@pytest.fixture(autouse=True)
def quiet_core(console):
    return console


def rows(frame):
    return frame.select("dt", "code", "Open", "High", "Low", "Close", "Volume").rows()


class Recorder(Strategy):
    """Records every hook with what it saw and trades on the bar count, so fills depend on bar timing."""

    bar_keys = KEYS

    def __init__(self, **params):
        super().__init__(**params)
        self.events = []

    def on_start(self):
        self.events.append(("start",))

    def on_tick(self, t):
        self.events.append(("tick", t["code"], t["timestamp"]))

    def seen(self, code, bars, key):
        self.events.append(("bar", code, key, rows(bars)))
        n = len(rows(bars))
        if key == ("m", 1) and n % 3 == 0:
            if self.position(code) <= 0:
                self.buy(code)
            elif self.market_type(code) == "Future" or self.position(code) > 0:
                self.sell(code)

    def on_session_end(self, code):
        self.events.append(("end", code))
        self.close(code)

    def on_end(self):
        self.events.append(("stop",))


class FrameRecorder(Recorder):
    def on_bar(self, code, bars, key):
        self.seen(code, bars, key)


class ArrayRecorder(Recorder):
    bars_as = "arrays"

    def on_bar(self, code, bars, key):
        assert bars.key == key and bars.code == code
        frame = bars.to_polars()
        assert len(bars) == frame.height
        assert bars.time.dtype == np.dtype("datetime64[us]") and bars.close.dtype == np.float64
        self.seen(code, frame, key)


class CheckedArrays(ArrayRecorder):
    """Also asks the quote manager for the key's bars at each call: the view must be what it gives."""

    def on_bar(self, code, bars, key):
        expected = self.quote_manager.get_kbar(code, *key)
        assert rows(bars.to_polars()) == rows(expected.slice(0, expected.height - 1))
        super().on_bar(code, bars, key)


def model_events(ticks, codes):
    """The model's on_bar takes no key: run it once per key."""
    per_key = {}
    fills = None
    for one_key in KEYS:
        class One(Recorder):
            bar_keys = (one_key,)

            def on_bar(self, code, bars, key=one_key):
                self.seen(code, bars, key)

        strategy = One()
        result = run_model(ticks, strategy, codes=codes)
        per_key[one_key] = [e for e in strategy.events if e[0] == "bar"]
        if one_key == ("m", 1):
            fills = result.fills
    return per_key, fills


TIMES = st.one_of(
    st.integers(8 * 3600, 14 * 3600),  # around the day session
    st.integers(14 * 3600 + 50 * 60, 29 * 3600),  # the night session, across midnight
)
TRADING = st.sampled_from([("2330", "Stock", st.integers(9 * 3600, 13 * 3600 + 29 * 60)),
                           ("MXF", "Future", st.integers(8 * 3600 + 45 * 60, 13 * 3600 + 44 * 60))])


@st.composite
def tick_streams(draw, in_order=False):
    """Ticks of a stock and a future over two days: sparse, with gaps and simulated ones; unless
    ``in_order``, also at any hour (pulled back into the session by the core) and late."""
    n = draw(st.integers(1, 60))
    base = datetime(DAY.year, DAY.month, DAY.day)
    out = []
    for _ in range(n):
        day = draw(st.integers(0, 1))
        if in_order:
            code, market, seconds = draw(TRADING)
            seconds = draw(seconds)
        else:
            code, market = draw(st.sampled_from([("2330", "Stock"), ("MXF", "Future")]))
            seconds = draw(TIMES)
        when = base + timedelta(days=day, seconds=seconds + draw(st.integers(0, 999)) / 1000)
        out.append({"timestamp": when.timestamp(), "code": code, "market_type": market,
                    "close": float(draw(st.integers(100, 110))), "qty": draw(st.integers(1, 5)), "tick_type": 1,
                    "is_simulate": draw(st.booleans()) and draw(st.booleans())})
    out.sort(key=lambda t: t["timestamp"])
    if not in_order:  # late ticks: a few move back by up to five minutes
        for i in draw(st.lists(st.integers(0, n - 1), max_size=3)):
            out[i] = dict(out[i], timestamp=out[i]["timestamp"] - draw(st.integers(1, 300)))
    return out


SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
CODES = ["2330", "MXF"]


@SETTINGS
@given(tick_streams())
def test_native_replay_gives_the_models_hooks_and_fills(ticks):
    frames, arrays = FrameRecorder(), CheckedArrays()
    by_frames = run_backtest(ticks, frames, codes=CODES)
    run_backtest(ticks, arrays, codes=CODES)  # the views are checked against the query in each call
    per_key, model_fills = model_events(ticks, CODES)
    for key in KEYS:
        assert [e for e in frames.events if e[0] == "bar" and e[2] == key] == per_key[key]
    assert by_frames.fills == model_fills
    assert [e for e in frames.events if e[0] != "bar"] == [e for e in arrays.events if e[0] != "bar"]


@SETTINGS
@given(tick_streams(in_order=True))
def test_arrays_and_frames_agree_on_ticks_in_time_order(ticks):
    frames, arrays = FrameRecorder(), ArrayRecorder()
    by_frames = run_backtest(ticks, frames, codes=CODES)
    by_arrays = run_backtest(ticks, arrays, codes=CODES)
    assert frames.events == arrays.events
    assert by_frames.fills == by_arrays.fills and by_frames.summary() == by_arrays.summary()


def test_the_example_is_the_same_in_the_model_and_both_styles():
    ticks = synthetic.generate_ticks(DAY, 3)
    codes = ["2330", "MXF"]
    arrays = run_backtest(ticks, example.MovingAverageCross(fast=5, slow=20), codes=codes)
    frames = run_backtest(ticks, example.MovingAverageCrossFrames(fast=5, slow=20), codes=codes)
    model = run_model(ticks, example.MovingAverageCrossFrames(fast=5, slow=20), codes=codes)
    assert arrays.fills and arrays.fills == frames.fills == model.fills
    assert arrays.summary() == frames.summary() == model.summary()
    assert arrays.days == model.days and arrays.tick_count == model.tick_count == len(ticks)
    for code in codes:
        assert rows(arrays.quote_manager.get_kbar(code, "m", 1)) == rows(model.quote_manager.get_kbar(code, "m", 1))


class Keeper(Strategy):
    """Keeps every view it gets and checks each against the quote manager's own query."""

    bar_keys = (("m", 1), ("m", 3))
    bars_as = "arrays"

    def __init__(self):
        super().__init__()
        self.views = []

    def on_bar(self, code, bars):
        expected = self.quote_manager.get_kbar(code, *bars.key)
        assert rows(bars.to_polars()) == rows(expected.slice(0, expected.height - 1))
        self.views.append((bars, rows(bars.to_polars())))


def test_views_are_read_only_and_keep_what_they_showed():
    keeper = Keeper()
    run_backtest(synthetic.generate_ticks(DAY, 1), keeper, codes=["MXF"])
    assert len(keeper.views) > 100
    for bars, seen in keeper.views[::37]:
        assert rows(bars.to_polars()) == seen  # unchanged by the bars that closed later
        with pytest.raises(ValueError):
            bars.close[0] = 1.0
        assert list(bars.time.astype("datetime64[us]").astype(object)) == [r[0] for r in seen]
    assert "closed" in repr(keeper.views[-1][0])


class Hostile(Strategy):
    """Does `act` in its first on_bar call (arrays), then checks the bars against the query each call."""

    bar_keys = (("m", 1),)
    bars_as = "arrays"

    def __init__(self, act):
        super().__init__()
        self.act = act
        self.calls = 0

    def on_bar(self, code, bars):
        self.calls += 1
        if self.calls == 1:
            self.act(self, code)
            return
        expected = self.quote_manager.get_kbar(code, "m", 1)
        assert rows(bars.to_polars()) == rows(expected.slice(0, expected.height - 1))


def _late_tick(s, code):
    last = s.quote_manager.ticks[code]["last_tick"]
    s.quote_manager.add_tick({"timestamp": last["dt"].timestamp() - 90, "code": code,
                              "market_type": last["market_type"], "close": 1.0, "qty": 1, "tick_type": 1,
                              "is_simulate": False})


@pytest.mark.parametrize("act", [
    lambda s, code: s.quote_manager.clear_ticks(),
    lambda s, code: s.quote_manager.get_kbar(code, "m", 2),
    _late_tick,
    lambda s, code: s.quote_manager.ticks[code]["ticks"].clear(),
    lambda s, code: s.positions.set_initial_capital(1),
], ids=["clear_ticks", "another_query", "late_tick", "pending_cleared", "account_changed"])
def test_hooks_that_change_the_core_objects_leave_the_bars_true(act):
    s = Hostile(act)
    run_backtest(synthetic.generate_ticks(DAY, 1), s, codes=["2330"])
    assert s.calls > 10


class Raising(Strategy):
    bar_keys = (("m", 1),)
    bars_as = "arrays"

    def on_bar(self, code, bars):
        raise KeyError("boom")


class Reentering(Strategy):
    bar_keys = (("m", 1),)
    bars_as = "arrays"

    def on_bar(self, code, bars):
        run_backtest(synthetic.generate_ticks(DAY, 1), self)


class Returning(Strategy):
    def on_tick(self, tick):
        return True


@pytest.mark.parametrize("strategy, error, text", [
    (Raising(), KeyError, "boom"),
    (Reentering(), RuntimeError, "already running"),
    (Returning(), TypeError, "Strategy.on_tick must return None, got bool"),
])
def test_a_hook_that_fails_stops_the_run_with_its_error(strategy, error, text):
    with pytest.raises(error, match=text):
        run_backtest(synthetic.generate_ticks(DAY, 1), strategy, codes=["2330"])
    assert strategy._run is None
    with pytest.raises(RuntimeError, match="only while run_backtest"):
        strategy.buy("2330")


def test_bad_bars_as():
    class Odd(Strategy):
        bars_as = "numpy"

    with pytest.raises(ValueError, match="bars_as must be one of"):
        run_backtest([], Odd())


def test_frame_hook_with_and_without_the_key():
    seen = []

    class Two(Strategy):
        bar_keys = (("m", 1), ("m", 5))

        def on_bar(self, code, bars):
            seen.append(("two", bars.height))

    class Three(Two):
        def on_bar(self, code, bars, key):
            seen.append((key, bars.height))

    ticks = synthetic.generate_ticks(DAY, 1)
    run_backtest(ticks, Two(), codes=["2330"])
    run_backtest(ticks, Three(), codes=["2330"])
    two = [e for e in seen if e[0] == "two"]
    three = [e for e in seen if e[0] != "two"]
    assert len(two) == len(three) and {k for k, _ in three} == {("m", 1), ("m", 5)}
    assert [h for _, h in two] == [h for _, h in three]


def test_views_share_the_runs_memory():
    keeper = Keeper()
    run_backtest(synthetic.generate_ticks(DAY, 1), keeper, codes=["2330"])
    views = [bars for bars, _ in keeper.views if bars.key == ("m", 1)]
    shared = sum(np.shares_memory(a.close, b.close) for a, b in zip(views, views[1:]))
    # Only a block that fills up is copied (into one twice as large).
    assert shared >= len(views) - 1 - 2 and len(views) > 200


@pytest.mark.parametrize("cls", [example.MovingAverageCross, example.MovingAverageCrossFrames])
def test_one_replay_for_many_strategies_gives_each_its_own_run(cls):
    ticks = synthetic.generate_ticks(DAY, 2)
    params = [(3, 12), (5, 20), (3, 12), (8, 30)]
    alone = [run_backtest(ticks, cls(fast=f, slow=s), codes=CODES, trim_every=5000) for f, s in params]
    together = run_backtests(ticks, [cls(fast=f, slow=s) for f, s in params], codes=CODES, trim_every=5000)
    assert len({len(r.fills) for r in together}) > 1  # the parameters matter
    for a, b in zip(alone, together):
        assert a.fills == b.fills and a.summary() == b.summary() and a.days == b.days
        assert a.equity.equals(b.equity) and a.profit_rows == b.profit_rows and a.trades.equals(b.trades)


@pytest.mark.parametrize("strategies, error", [
    ([], "no strategies"),
    ([example.MovingAverageCross(), example.MovingAverageCrossFrames()], "same bar_keys and bars_as"),
    ([Keeper(), Raising()], "same bar_keys and bars_as"),
])
def test_strategies_that_cannot_share_a_replay(strategies, error):
    with pytest.raises(ValueError, match=error):
        run_backtests([], strategies)


def test_one_strategy_object_runs_once_per_replay():
    s = example.MovingAverageCross()
    with pytest.raises(ValueError, match="only once"):
        run_backtests([], [s, s])
