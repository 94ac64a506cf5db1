"""K-bars: tick frames, aggregation and the cached incremental query,
checked against a literal polars rendering of the same algorithm."""
import datetime as dtm
import random

import polars as pl
import pytest
from polars.testing import assert_frame_equal

UNITS = ["m", "h", "d", "w", "mo", "q", "y"]
CASTS = [
    pl.col("dt").cast(pl.Datetime), pl.col("market_type").cast(pl.Utf8), pl.col("code").cast(pl.Utf8),
    pl.col("close").cast(pl.Float64), pl.col("qty").cast(pl.Int64), pl.col("tick_type").cast(pl.Int8),
    pl.col("is_simulate").cast(pl.Boolean), pl.col("is_virtual").cast(pl.Boolean),
]
KBAR_SCHEMA = {"dt": pl.Datetime("us"), "code": pl.Utf8, "Open": pl.Float64, "High": pl.Float64,
               "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64}


def ref_tick_frame(ticks):
    return pl.DataFrame(ticks).select(CASTS).sort("dt", maintain_order=True)


def ref_bars(ticks, unit, freq):
    """One full build of a key over all ticks, simulated ticks left out."""
    if not ticks:
        return pl.DataFrame(schema=KBAR_SCHEMA)
    df = ref_tick_frame(ticks).with_columns(
        pl.col("dt").cast(pl.Datetime).alias("dt"), pl.col("dt").dt.truncate(f"{freq}{unit}").alias("kbar_time"))
    df = df.filter(pl.col("is_simulate") != True)  # noqa: E712
    return (df.group_by(["kbar_time", "code"], maintain_order=True)
            .agg([pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
                  pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
                  pl.col("qty").sum().alias("Volume")])
            .rename({"kbar_time": "dt"}).sort(["dt", "code"]))


def same_bars(got, want):
    assert got.columns == list(KBAR_SCHEMA)[: len(got.columns)] or set(KBAR_SCHEMA) <= set(got.columns)
    assert_frame_equal(got.select(list(KBAR_SCHEMA)).sort(["dt", "code"]), want)


def stored(dt, close, qty=1, code="2330", sim=False, virtual=False, market="Stock", tick_type=1):
    return {"dt": dt, "market_type": market, "code": code, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": sim, "is_virtual": virtual}


@pytest.fixture
def qm(mod):
    q = mod.QuoteManager.__new__(mod.QuoteManager)
    q.ticks = {}
    return q


def push(qm, tick):
    """What add_tick leaves behind, without its calendar rules."""
    state = qm.ticks.setdefault(tick["code"], {"ticks": [], "old_ticks": [], "last_tick": None,
                                               "cached_kbars": {}})
    state["ticks"].append(tick)
    if not tick["is_virtual"]:
        state["last_tick"] = tick


T0 = dtm.datetime(2024, 5, 15, 9, 0, 10)


def at(seconds):
    return T0 + dtm.timedelta(seconds=seconds)


# ---- drains and aggregation ------------------------------------------------

def test_drain_moves_ticks_and_sorts_stably(qm):
    ticks = [stored(at(0), 10.0), stored(at(170), 10.0, 0, virtual=True), stored(at(150), 10.5, 2),
             stored(at(150), 10.6, 3)]
    for t in ticks:
        push(qm, t)
    pending = qm.ticks["2330"]["ticks"]
    df = qm.poped_tick_to_df("2330")
    assert_frame_equal(df, ref_tick_frame(ticks))
    assert df["close"].to_list() == [10.0, 10.5, 10.6, 10.0]
    state = qm.ticks["2330"]
    assert state["ticks"] == [] and state["ticks"] is not pending and pending == ticks
    assert state["old_ticks"] == ticks
    assert_frame_equal(qm.poped_old_ticks_to_df("2330"), df)
    assert_frame_equal(qm.poped_old_ticks_to_df("2330"), df)
    assert state["old_ticks"] == ticks


@pytest.mark.parametrize("bad", [
    {"close": 10},                      # int close: polars casts it
    {"qty": True},                      # bool quantity
    {"dt": dtm.date(2024, 5, 15)},      # date, not datetime
    {"dt": dtm.datetime(2024, 5, 15, tzinfo=dtm.timezone.utc)},
    {"tick_type": 5.0},
    {"extra": 1},
    {"is_simulate": None},
])
def test_unusual_values_take_polars_own_conversion(qm, bad):
    ticks = [stored(at(0), 10.0), {**stored(at(30), 11.0), **bad}, stored(at(90), 12.0)]
    for t in ticks:
        push(qm, t)
    try:
        want = ref_tick_frame(ticks)
    except Exception as e:  # polars refuses it: so must we, with its error
        with pytest.raises(type(e)):
            qm.poped_tick_to_df("2330")
        assert qm.ticks["2330"]["old_ticks"] == ticks and qm.ticks["2330"]["ticks"] == []
        return
    assert_frame_equal(qm.poped_tick_to_df("2330"), want)


def test_text_close_fails_after_the_drain(qm):
    ticks = [stored(at(0), 10.0), stored(at(30), "abc")]
    for t in ticks:
        push(qm, t)
    with pytest.raises(pl.exceptions.PolarsError):
        qm.get_kbar("2330", "m", 1)
    assert qm.ticks["2330"]["old_ticks"] == ticks and qm.ticks["2330"]["ticks"] == []


def test_aggregate_counts_every_row(qm):
    df = ref_tick_frame([stored(at(0), 10.0, 1), stored(at(5), 10.5, 2, sim=True), stored(at(6), 9.8, 3),
                         stored(at(7), 10.2, 4), stored(at(60), 100.0, 0, virtual=True)])
    df = df.with_columns(pl.col("dt").dt.truncate("1m").alias("kbar_time"))
    out = qm.aggregate_kbar(df).sort("dt")
    assert out.columns == list(KBAR_SCHEMA)
    assert out.rows() == [(dtm.datetime(2024, 5, 15, 9, 0), "2330", 10.0, 10.5, 9.8, 10.2, 10),
                          (dtm.datetime(2024, 5, 15, 9, 1), "2330", 100.0, 100.0, 100.0, 100.0, 0)]


# ---- the query ---------------------------------------------------------------

def test_unit_is_checked_before_anything_changes(qm):
    push(qm, stored(at(0), 10.0))
    with pytest.raises(TypeError, match=r"^'unit' must be one of \['m', 'h', 'd', 'w', 'mo', 'q', 'y'\]$"):
        qm.get_kbar("2330", "s", 1)
    assert len(qm.ticks["2330"]["ticks"]) == 1


def test_unknown_code_is_a_key_error(qm):
    with pytest.raises(KeyError) as e:
        qm.get_kbar("9999", "m", 1)
    assert e.value.args == ("9999",)


def test_first_query_then_merge(qm):
    for s, c, q in [(0, 10.0, 1), (70, 10.5, 2), (140, 9.8, 3)]:
        push(qm, stored(at(s), c, q))
    first = qm.get_kbar("2330", "m", 1)
    assert first["dt"].dt.strftime("%H:%M").to_list() == ["09:00", "09:01", "09:02"]
    assert qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)] is first
    again = qm.get_kbar("2330", "m", 1)
    assert again is first
    with_expr = qm.get_kbar("2330", "m", 1, exprs=[(pl.col("Close") * 2).alias("c2")])
    assert with_expr["c2"].to_list() == [20.0, 21.0, 19.6]
    assert qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)] is first
    push(qm, stored(at(155), 11.0, 4))        # 09:02:45 above the cached High
    push(qm, stored(at(180), 10.9, 5))        # 09:03:10
    merged = qm.get_kbar("2330", "m", 1)
    assert merged.rows()[-2:] == [(dtm.datetime(2024, 5, 15, 9, 2), "2330", 9.8, 11.0, 9.8, 11.0, 7),
                                  (dtm.datetime(2024, 5, 15, 9, 3), "2330", 10.9, 10.9, 10.9, 10.9, 5)]
    assert first.height == 3  # the earlier answer is untouched


def test_no_width_loses_ticks_to_another(qm):
    for s in range(0, 600, 37):
        push(qm, stored(at(s), 10.0 + s / 100, 1))
    m5 = qm.get_kbar("2330", "m", 5)
    m1 = qm.get_kbar("2330", "m", 1)
    for s in range(600, 900, 41):
        push(qm, stored(at(s), 9.0 + s / 1000, 2))
    qm.get_kbar("2330", "m", 1)                  # drains the new ticks
    m5_after = qm.get_kbar("2330", "m", 5)      # must still see them
    everything = qm.ticks["2330"]["old_ticks"]
    same_bars(m5_after, ref_bars(everything, "m", 5))
    assert m5_after["Volume"].sum() == m5["Volume"].sum() + 2 * len(range(600, 900, 41)) and m1.height > 0


def test_simulated_ticks_never_make_bars(qm):
    push(qm, stored(at(0), 10.0))
    push(qm, stored(at(20), 50.0, 9, sim=True))
    first = qm.get_kbar("2330", "m", 1)
    assert first.rows() == [(dtm.datetime(2024, 5, 15, 9, 0), "2330", 10.0, 10.0, 10.0, 10.0, 1)]
    push(qm, stored(at(70), 60.0, 9, sim=True))
    assert qm.get_kbar("2330", "m", 1).height == 1


def test_only_simulated_ticks_give_an_empty_uncached_answer(qm):
    push(qm, stored(at(0), 10.0, sim=True))
    out = qm.get_kbar("2330", "m", 1, to_pandas_df=True)
    assert list(out.columns) == list(KBAR_SCHEMA) and len(out) == 0
    assert qm.ticks["2330"]["cached_kbars"] == {}


def test_bad_exprs_fail_after_caching(qm):
    push(qm, stored(at(0), 10.0))
    with pytest.raises(pl.exceptions.ColumnNotFoundError):
        qm.get_kbar("2330", "m", 1, exprs=[pl.col("nope") + 1])
    assert ("2330", "m", 1) in qm.ticks["2330"]["cached_kbars"]


def test_trimmed_old_ticks_lose_no_bars(qm):
    key5 = ("2330", "m", 5)
    for s, c, q in [(0, 100.0, 5), (60, 101.0, 4), (120, 102.0, 3)]:
        push(qm, stored(at(s), c, q))
    qm.get_kbar("2330", "m", 5)
    push(qm, stored(at(180), 103.0, 2))
    qm.get_kbar("2330", "m", 1)                # drains it; the 5-minute key has not read it
    del qm.ticks["2330"]["old_ticks"][:2]
    push(qm, stored(at(240), 104.0, 3))
    out = qm.get_kbar("2330", "m", 5)
    assert out.rows() == [(dtm.datetime(2024, 5, 15, 9, 0), "2330", 100.0, 104.0, 100.0, 104.0, 17)]
    assert qm.ticks["2330"]["cached_kbars"][key5] is out


@pytest.fixture(params=["native", "polars"])
def route(request, mod, monkeypatch):
    if request.param == "polars":
        monkeypatch.setattr(mod, "pl", PolarsProxy())
    return request.param


TAMPERS = ["trim_front", "keep_tail_in_new_list", "trim_frame", "drop_frame_rows", "lose_last_tick",
           "replace_old_ticks", "clear_cache"]


@pytest.mark.parametrize("tamper", TAMPERS)
def test_caller_trims_are_merged_into_never_rebuilt(qm, route, tamper):
    everything = []

    def add(tick):
        everything.append(tick)
        push(qm, tick)

    for s in range(0, 900, 13):
        add(stored(at(s), 10.0 + (s % 97) / 10, 1 + s % 5))
    state = qm.ticks["2330"]
    key = ("2330", "m", 1)
    qm.get_kbar("2330", "m", 1)
    add(stored(at(905), 30.0, 7))
    qm.get_kbar("2330", "m", 5)               # another key drains this one
    full = ref_bars(everything, "m", 1)
    cached = state["cached_kbars"][key]
    want_before = full  # what the key should show once it has read everything so far
    if tamper == "trim_front":
        del state["old_ticks"][:40]
    elif tamper == "keep_tail_in_new_list":
        state["old_ticks"] = state["old_ticks"][-3:]
    elif tamper == "trim_frame":
        state["cached_kbars"][key] = cached.tail(4)
        want_before = full.filter(pl.col("dt") >= cached.tail(4)["dt"].min())
    elif tamper == "drop_frame_rows":
        gone = cached["dt"][3:6]
        state["cached_kbars"][key] = cached.filter(~pl.col("dt").is_in(gone.implode()))
        want_before = full.filter(~pl.col("dt").is_in(gone.implode()))
    elif tamper == "lose_last_tick":
        state["old_ticks"].pop(-2)            # the last tick the key read
        want_before = ref_bars(everything[:-1], "m", 1)  # the tick drained elsewhere is lost to it
    elif tamper == "replace_old_ticks":
        state["old_ticks"] = [dict(t) for t in state["old_ticks"]]  # equal, but not the ticks it read
        want_before = ref_bars(everything[:-1], "m", 1)
    else:
        state["cached_kbars"].clear()         # a key no longer cached is built from what is left
        want_before = ref_bars(state["old_ticks"], "m", 1)
    late = [stored(at(960), 9.5, 2), stored(at(1030), 40.0, 3)]
    for t in late:
        add(t)
    out = qm.get_kbar("2330", "m", 1)
    if tamper == "clear_cache":
        same_bars(out, ref_bars(state["old_ticks"], "m", 1))
        return
    # The key's bars so far, extended by the new ticks as the incremental merge does.
    last = want_before.sort("dt")[-1]
    tail = ref_bars(late, "m", 1)
    first_new = tail.filter(pl.col("dt") == last["dt"][0])
    assert first_new.is_empty()  # the late ticks open new bars here
    same_bars(out, pl.concat([want_before, tail]))
    assert state["cached_kbars"][key] is out
    # And it keeps up afterwards, from the last tick it read.
    add(stored(at(1040), 41.0, 4))
    qm.get_kbar("2330", "m", 5)
    add(stored(at(1100), 42.0, 5))
    again = qm.get_kbar("2330", "m", 1)
    same_bars(again, pl.concat([want_before, ref_bars(late + everything[-2:], "m", 1)]))


def test_a_cached_key_without_known_progress_merges_what_it_drains(qm, route):
    """A frame the caller put in the cache: the query merges only its own batch."""
    push(qm, stored(at(0), 10.0, 1))
    push(qm, stored(at(30), 11.0, 1))
    key = ("2330", "m", 1)
    seeded = pl.DataFrame([(dtm.datetime(2024, 5, 15, 9, 0), "2330", 5.0, 6.0, 4.0, 5.5, 100)],
                          schema=KBAR_SCHEMA, orient="row")
    qm.ticks["2330"]["cached_kbars"][key] = seeded
    out = qm.get_kbar("2330", "m", 1)
    assert out.rows() == [(dtm.datetime(2024, 5, 15, 9, 0), "2330", 5.0, 11.0, 4.0, 11.0, 102)]


def test_overridden_methods_are_honoured(mod, qm):
    calls = []

    class Counting(mod.QuoteManager):
        def aggregate_kbar(self, tick_df):
            calls.append(tick_df.height)
            return super().aggregate_kbar(tick_df)

    q = Counting.__new__(Counting)
    q.ticks = {}
    for s in range(0, 200, 17):
        push(q, stored(at(s), 10.0 + s / 30))
    push(qm, stored(at(0), 1.0))
    m1 = q.get_kbar("2330", "m", 1)
    q.get_kbar("2330", "m", 5)
    push(q, stored(at(260), 30.0))
    q.get_kbar("2330", "m", 5)
    after = q.get_kbar("2330", "m", 1)
    assert calls and m1.height == 4
    same_bars(after, ref_bars(q.ticks["2330"]["old_ticks"], "m", 1))


# ---- differential runs -------------------------------------------------------

def random_stream(rng, n, codes):
    t = {c: dtm.datetime(rng.choice([1969, 2017, 2024]), rng.randint(1, 12), rng.randint(1, 28),
                         rng.randint(0, 23), rng.randint(0, 59)) for c in codes}
    out = []
    for _ in range(n):
        c = rng.choice(codes)
        step = rng.choice([0, 0.5, 1, 7, 45, 61, 300, 3600, 86400 * 3, 86400 * 40])
        t[c] += dtm.timedelta(seconds=step * rng.random() if step > 1 else step)
        out.append(stored(t[c], round(rng.uniform(50, 150), 2), rng.randint(0, 20), code=c,
                          sim=rng.random() < 0.1, virtual=rng.random() < 0.1,
                          market=rng.choice(["Stock", "Future"]), tick_type=rng.randint(-3, 3)))
    return out


WIDTHS = [(u, f) for u in UNITS for f in (1, 2, 3, 5)] + [("m", 15), ("h", 4), ("w", 7), ("mo", 13), ("y", 7)]


class PolarsProxy:
    """Stands in for the module's `pl`: every native shortcut must step aside."""

    def __getattr__(self, name):
        return getattr(pl, name)


@pytest.mark.parametrize("seed,route", [(s, "native") for s in range(6)] + [(s, "polars") for s in range(3)])
def test_interleaved_queries_match_one_full_build(mod, qm, seed, route, monkeypatch):
    if route == "polars":
        monkeypatch.setattr(mod, "pl", PolarsProxy())
    rng = random.Random(seed)
    codes = ["2330", "TXFR1", "0050"][: 1 + seed % 3]
    keys = [(c, *rng.choice(WIDTHS)) for c in codes for _ in range(4)]
    for tick in random_stream(rng, 600, codes):
        push(qm, tick)
        if rng.random() < 0.2:
            code, unit, freq = rng.choice(keys)
            exprs = rng.choice([[], [pl.col("Close").alias("c2"), (pl.col("Volume") * 2).alias("v2")]])
            pandas = rng.random() < 0.1
            if code not in qm.ticks:
                with pytest.raises(KeyError):
                    qm.get_kbar(code, unit, freq)
                continue
            out = qm.get_kbar(code, unit, freq, exprs=exprs, to_pandas_df=pandas)
            if pandas:
                out = pl.from_pandas(out, schema_overrides={"dt": pl.Datetime("us")})
            want = ref_bars(qm.ticks[code]["old_ticks"], unit, freq)
            same_bars(out, want)
            if want.is_empty():  # no bar: the empty frame, without the expressions
                assert out.columns == list(KBAR_SCHEMA)
            elif exprs:
                assert_frame_equal(out.select("c2", "v2").sort(pl.all()),
                                   want.select(pl.col("Close").alias("c2"), (pl.col("Volume") * 2).alias("v2")).sort(pl.all()))
    for code, unit, freq in keys:
        if code in qm.ticks:
            same_bars(qm.get_kbar(code, unit, freq), ref_bars(qm.ticks[code]["old_ticks"], unit, freq))


@pytest.mark.parametrize("unit,freq", WIDTHS)
def test_labels_match_polars_truncate(qm, unit, freq):
    rng = random.Random(f"{unit}{freq}")
    times = sorted(dtm.datetime(1900, 1, 1) + dtm.timedelta(seconds=rng.uniform(0, 300 * 365 * 86400))
                   for _ in range(400))
    times += [dtm.datetime(1970, 1, 1), dtm.datetime(1969, 12, 31, 23, 59, 59, 999999),
              dtm.datetime(2000, 2, 29, 12), dtm.datetime(2199, 12, 31, 23, 59)]
    ticks = [stored(t, float(i % 97), i % 5) for i, t in enumerate(sorted(times))]
    for t in ticks:
        push(qm, t)
    same_bars(qm.get_kbar("2330", unit, freq), ref_bars(ticks, unit, freq))


@pytest.mark.parametrize("freq", [0, -1, 10**7])
def test_odd_widths_are_polars_own(qm, freq):
    push(qm, stored(at(0), 10.0))
    try:
        want = ref_bars(qm.ticks["2330"]["ticks"], "m", freq)
    except Exception as e:
        with pytest.raises(type(e)):
            qm.get_kbar("2330", "m", freq)
        return
    same_bars(qm.get_kbar("2330", "m", freq), want)


# ---- with the real tick store ----------------------------------------------------

def record(ts, close, qty=1, code="2330", market="Stock", sim=False):
    return {"timestamp": ts, "code": code, "market_type": market, "close": close, "qty": qty,
            "tick_type": 1, "is_simulate": sim}


def both_routes(mod, monkeypatch, scenario):
    """Runs `scenario(rng)` natively and then through polars' own operations
    only; every answer must be the same."""
    answers = []
    for route in ("native", "polars"):
        if route == "polars":
            monkeypatch.setattr(mod, "pl", PolarsProxy())
        answers.append([f.sort(["dt", "code"]) for f in scenario()])
    assert len(answers[0]) == len(answers[1]) > 20
    for a, b in zip(*answers):
        assert_frame_equal(a, b)


def test_add_tick_and_queries_interleaved(mod, monkeypatch):
    """Real add_tick streams (virtual ticks, closing pull-backs that sort before
    earlier ticks) queried at random: both routes agree at every step."""
    def scenario():
        q = mod.QuoteManager()
        rng = random.Random(7)
        t = {"2330": dtm.datetime(2024, 5, 15, 9, 0).timestamp(),
             "TXFR1": dtm.datetime(2024, 5, 15, 8, 45).timestamp()}
        keys = [("2330", "m", 1), ("2330", "m", 5), ("2330", "h", 1), ("TXFR1", "m", 3), ("TXFR1", "d", 1)]
        out = []
        for _ in range(1500):
            code = rng.choice(list(t))
            t[code] += rng.choice([0.4, 3, 20, 70, 200])
            q.add_tick(record(t[code], round(rng.uniform(90, 110), 1), rng.randint(1, 5), code,
                              "Stock" if code == "2330" else "Future", rng.random() < 0.05))
            if rng.random() < 0.3:
                out.append(q.get_kbar(*rng.choice(keys)))
        out += [q.get_kbar(*k) for k in keys]
        q.clear_ticks()
        with pytest.raises(KeyError):
            q.get_kbar("2330", "m", 1)
        return out

    both_routes(mod, monkeypatch, scenario)


def test_drains_of_unknown_or_empty_codes(mod):
    q = mod.QuoteManager()
    empty = q.get_empty_tick_df()
    assert_frame_equal(q.poped_tick_to_df("2330"), empty)
    assert_frame_equal(q.poped_old_ticks_to_df("2330"), empty)
    q.ticks["2330"] = q.get_init_ticks_info()
    assert_frame_equal(q.poped_tick_to_df("2330"), empty)
    out = q.get_kbar("2330", "d", 1, to_pandas_df=True)
    assert list(out.columns) == list(KBAR_SCHEMA) and len(out) == 0
    assert q.ticks["2330"] == q.get_init_ticks_info()


def test_pandas_answers_follow_the_cache(mod):
    q = mod.QuoteManager()
    base = dtm.datetime(2024, 5, 15, 9, 0, 10).timestamp()
    for i in range(5):
        q.add_tick(record(base + 20 * i, 100.0 + i, i + 1))
    frame = q.get_kbar("2330", "m", 1)
    pdf = q.get_kbar("2330", "m", 1, to_pandas_df=True)
    assert pdf.equals(frame.to_pandas())
    q.add_tick(record(base + 200, 90.0, 7))
    pdf = q.get_kbar("2330", "m", 1, exprs=[pl.col("Close").alias("c")], to_pandas_df=1)
    assert list(pdf["c"]) == [102.0, 104.0, 104.0, 90.0] and list(pdf["Volume"]) == [6, 9, 0, 7]


@pytest.mark.parametrize("seed", range(3))
def test_native_tick_frames_match_polars(qm, seed):
    rng = random.Random(seed)
    ticks = random_stream(rng, 300, ["2330", "台積電", ""])
    rng.shuffle(ticks)  # out of order and with equal times: the sort must be stable
    ticks += [dict(t) for t in ticks[:20]]
    for t in ticks:
        push(qm, t)
    assert_frame_equal(qm.poped_tick_to_df(ticks[0]["code"]), ref_tick_frame(qm.ticks[ticks[0]["code"]]["old_ticks"]))


def test_a_late_tick_does_not_reorder_the_cached_bar(qm, route):
    """The new part comes after the cached bar: Open stays, Close is the new
    part's last tick in drain order, even when it traded earlier."""
    close_at = dtm.datetime(2024, 5, 15, 13, 29, 59)
    push(qm, stored(close_at.replace(second=30), 10.0, 1))
    push(qm, stored(close_at.replace(microsecond=600000), 11.0, 2))
    qm.get_kbar("2330", "m", 1)
    qm.get_kbar("2330", "h", 1)
    push(qm, stored(close_at.replace(second=10), 9.0, 3))      # earlier than the cached ticks
    push(qm, stored(close_at.replace(microsecond=250000), 12.0, 4))
    push(qm, stored(close_at.replace(second=20), 8.5, 5))
    bar = (close_at.replace(second=0), "2330", 10.0, 12.0, 8.5, 12.0, 15)
    assert qm.get_kbar("2330", "m", 1).rows() == [bar]
    assert qm.get_kbar("2330", "h", 1).rows() == [(close_at.replace(minute=0, second=0), *bar[1:])]


def late_stream(rng, n):
    t = dtm.datetime(2024, 5, 15, 9, 0)
    out = []
    for _ in range(n):
        t += dtm.timedelta(seconds=rng.choice([0, 0.25, 1, 7, 20, 45]))
        when = t - dtm.timedelta(seconds=rng.choice([0, 0, 0, 0.5, 3, 40])) if rng.random() < 0.3 else t
        out.append(stored(when, round(rng.uniform(50, 150), 2), rng.randint(0, 9),
                          code=rng.choice(["2330", "2330", "0050"]), sim=rng.random() < 0.05))
    return out


@pytest.mark.parametrize("seed", range(6))
def test_every_route_merges_late_ticks_alike(mod, seed, monkeypatch):
    """Streams with ticks that sort before the newest cached bar's ticks: the
    native merge and polars' own merge give the same bars at every query."""
    def scenario():
        rng = random.Random(seed)
        q = mod.QuoteManager.__new__(mod.QuoteManager)
        q.ticks = {}
        got = []
        for tick in late_stream(rng, 400):
            push(q, tick)
            if rng.random() < 0.3:
                code = rng.choice(["2330", "0050"])
                if code in q.ticks:
                    got.append(q.get_kbar(code, *rng.choice([("m", 1), ("m", 5), ("h", 1), ("d", 1)])))
        return got

    both_routes(mod, monkeypatch, scenario)


def test_many_merges_keep_the_frame_compact(qm):
    for i in range(150):
        push(qm, stored(at(7 * i), 10.0 + (i % 13), i % 4))
        out = qm.get_kbar("2330", "m", 1)
    same_bars(out, ref_bars(qm.ticks["2330"]["old_ticks"], "m", 1))
    assert out.n_chunks() < 70


@pytest.mark.parametrize("unit,freq,width", [("m", 1, 60), ("m", 3, 180)])
def test_a_long_run_of_merges_keeps_every_bar_in_few_chunks(qm, unit, freq, width):
    # Long enough for the chunks after the settled rows to be merged on their own many times,
    # and for whole merges between; bars are checked at every step near those points.
    rng = random.Random(5)
    t = 0.0
    for i in range(2600):
        t += rng.choice([1, 5, 20, 40, width, 3 * width])
        push(qm, stored(at(t), round(rng.uniform(90, 110), 1), rng.randint(0, 9), sim=rng.random() < 0.05))
        out = qm.get_kbar("2330", unit, freq)
        assert out.n_chunks() <= 10
        if i % 97 == 0 or i > 2580:
            same_bars(out, ref_bars(qm.ticks["2330"]["old_ticks"], unit, freq))
    assert out.height > 1000


@pytest.mark.parametrize("unit,freq", [("y", 100001), ("mo", 100000), ("y", 7000)])
def test_labels_outside_python_dates_fail_as_polars_does(mod, monkeypatch, unit, freq):
    """Bars so wide that ticks before 1970 get labels Python's datetime cannot
    hold: every answer, or ordinary exception, is polars' own, query after query."""
    def run():
        q = mod.QuoteManager.__new__(mod.QuoteManager)
        q.ticks = {}
        outcomes = []
        for i in range(4):
            push(q, stored(dtm.datetime(1969, 5, 1, 9, i), 10.0 + i, 1 + i))
            try:
                outcomes.append(q.get_kbar("2330", unit, freq).select(pl.col("dt").dt.epoch("us"), pl.exclude("dt")))
            except Exception as e:  # a PanicException is no Exception and fails the test
                outcomes.append((type(e), str(e)))
        return outcomes

    native = run()
    monkeypatch.setattr(mod, "pl", PolarsProxy())
    own = run()
    assert len(native) == len(own) == 4
    for a, b in zip(native, own):
        if isinstance(b, tuple):
            assert a == b
        else:
            assert_frame_equal(a, b)
    assert isinstance(native[0], pl.DataFrame)


RACE = r"""
import os, sys, threading, time
os.environ["TZ"] = "Asia/Taipei"; time.tzset()
import datetime as dtm
from zopt_kelv_backtest.modules.positions.positions import QuoteManager
qms = []
for k in range(8):
    q = QuoteManager()
    base = dtm.datetime(2024, 5, 15, 9, 0, 5).timestamp()
    for i in range(2000):
        q.add_tick({"timestamp": base + 7 * i, "code": "2330", "market_type": "Stock", "close": 100.0 + i % 7,
                    "qty": 1, "tick_type": 1, "is_simulate": False})
    qms.append(q)
sys.setswitchinterval(1e-6)  # hand the interpreter over as often as it can
barrier = threading.Barrier(len(qms))
errors = []
def work(q):
    barrier.wait()
    try:
        assert q.get_kbar("2330", "m", 1).height > 30
        assert q.poped_old_ticks_to_df("2330").height == 2000
    except BaseException as e:
        errors.append(repr(e))
threads = [threading.Thread(target=work, args=(q,)) for q in qms]
for t in threads: t.start()
for t in threads: t.join()
print(errors)
sys.exit(1 if errors else 0)
"""


def test_first_queries_from_many_threads_at_once():
    """Separate QuoteManagers in separate threads, each making the process's
    first K-bar query at the same moment: none sees half-made shared state."""
    import subprocess
    import sys
    for _ in range(6):  # a fresh process each time: the state is made on first use
        run = subprocess.run([sys.executable, "-c", RACE], capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stdout + run.stderr[-2000:]


# ---- the query's own-method check ---------------------------------------------

@pytest.mark.parametrize("name", ["poped_tick_to_df", "poped_old_ticks_to_df", "aggregate_kbar"])
def test_unbound_own_function_on_the_instance_is_called_as_python_would(qm, mod, name):
    # The instance attribute hides the class's method: calling it passes no
    # self, so the query fails as a Python method making that call would.
    push(qm, stored(at(0), 10.0))
    setattr(qm, name, vars(mod.QuoteManager)[name])
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        qm.get_kbar("2330", "m", 1)


def test_instance_override_is_called_by_the_query(qm, mod):
    push(qm, stored(at(0), 10.0))
    calls = []

    def aggregate(tick_df):
        calls.append(tick_df.height)
        return mod.QuoteManager.aggregate_kbar(qm, tick_df)

    qm.aggregate_kbar = aggregate
    same_bars(qm.get_kbar("2330", "m", 1), ref_bars([stored(at(0), 10.0)], "m", 1))
    assert calls == [1]
