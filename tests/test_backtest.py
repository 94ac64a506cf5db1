"""The strategy runner: hooks, order helpers, figures, tick files, trimming and local time."""

import logging
import os
import subprocess
import sys
from datetime import date, datetime, timedelta, timezone

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest import backtest, example, market, synthetic
from zopt_kelv_backtest.backtest import BacktestResult, InputError, Strategy, load_ticks, run_backtest
from zopt_kelv_backtest.modules.positions import positions as positions_module

DAY = date(2024, 2, 1)  # a Thursday with sessions


def tick(hms, close, code="2330", market="Stock", day=DAY, qty=1, simulate=False):
    h, m, s = (float(x) for x in hms.split(":"))
    when = datetime(day.year, day.month, day.day) + timedelta(hours=h, minutes=m, seconds=s)
    return {"timestamp": when.timestamp(), "code": code, "market_type": market, "close": close, "qty": qty,
            "tick_type": 1, "is_simulate": simulate}


def hm(value):
    when = value if isinstance(value, datetime) else datetime.fromtimestamp(value)
    return when.strftime("%H:%M:%S")


@pytest.fixture(autouse=True)
def quiet_core(console):
    """The core's console lines go to a recorder (the `console` fixture of conftest)."""
    return console


class Recorder(Strategy):
    params = {"tag": "a"}
    bar_keys = (("m", 1),)

    def __init__(self, **params):
        super().__init__(**params)
        self.events = []

    def on_start(self):
        self.events.append(("start",))

    def on_tick(self, t):
        self.events.append(("tick", t["code"], hm(t["timestamp"])))

    def on_bar(self, code, bars):
        self.events.append(("bar", code, [hm(d) for d in bars["dt"]], bars["Close"].to_list()))

    def on_session_end(self, code):
        self.events.append(("end", code))

    def on_end(self):
        self.events.append(("stop",))


def test_hooks_see_closed_bars_in_order():
    ticks = [tick("09:00:10", 100.0), tick("09:00:40", 101.0), tick("09:00:50", 50.0, code="0050"),
             tick("09:01:20", 102.0), tick("09:03:05", 103.0)]
    s = Recorder()
    result = run_backtest(ticks, s)
    assert s.events == [
        ("start",),
        ("tick", "2330", "09:00:10"),
        ("tick", "2330", "09:00:40"),
        # The minute closes when a tick of the next one arrives; the forming bar is left out.
        ("bar", "2330", ["09:00:00"], [101.0]),
        ("tick", "2330", "09:01:20"),
        # The trade-less 09:02 is a bar of its own (the core fills it with the previous close).
        ("bar", "2330", ["09:00:00", "09:01:00", "09:02:00"], [101.0, 102.0, 102.0]),
        ("tick", "2330", "09:03:05"),
        ("end", "2330"),
        ("stop",),
    ]
    # The benchmark is not traded but its ticks reach the quote manager.
    assert result.codes == ["2330"]
    assert result.quote_manager.get_kbar("0050", "m", 1)["Close"].to_list() == [50.0]
    assert s._run is None


def test_wider_bars_and_closing_tick_pulled_back():
    class FiveMinutes(Recorder):
        bar_keys = (("m", 5),)

    ticks = [tick("13:20:10", 100.0), tick("13:24:59", 101.0), tick("13:25:00", 102.0), tick("13:30:00", 103.0)]
    s = FiveMinutes()
    run_backtest(ticks, s)
    bars = [e for e in s.events if e[0] == "bar"]
    # The 13:30:00 closing tick belongs to the 13:29 minute, hence to the 13:25 bar: no second call for it.
    assert bars == [("bar", "2330", ["13:20:00"], [101.0])]


def test_session_end_comes_before_the_next_session():
    ticks = [tick("09:00:10", 100.0), tick("09:05:00", 100.5), tick("09:40:00", 101.0, code="0050"),
             tick("10:00:00", 101.0), tick("10:00:30", 102.0, code="MXF", market="Future")]
    s = Recorder()
    s.bar_keys = ()  # hooks without bars
    run_backtest(ticks, s, codes=["2330", "MXF"])
    # 09:05 to 09:40 is more than half an hour: 2330's session ended before the 0050 tick is replayed.
    assert s.events == [("start",), ("tick", "2330", "09:00:10"), ("tick", "2330", "09:05:00"),
                        ("end", "2330"), ("tick", "2330", "10:00:00"), ("tick", "MXF", "10:00:30"),
                        ("end", "2330"), ("end", "MXF"), ("stop",)]


class Scripted(Strategy):
    """Places the orders of a script: {tick time: [(action, code, quantity)]}."""

    params = {"script": {}}

    def on_tick(self, t):
        for action, code, qty in self.script.get(hm(t["timestamp"]), []):
            if action == "close":
                self.close(code)
            else:
                getattr(self, action)(code, qty)


def test_orders_fill_at_the_latest_tick():
    ticks = [tick("09:00:10", 100.0), tick("09:00:20", 17500.0, code="MXF", market="Future"),
             tick("09:01:00", 102.0), tick("09:02:00", 17490.0, code="MXF", market="Future"),
             tick("09:03:00", 104.0)]
    script = {"09:00:20": [("buy", "2330", 2), ("sell", "MXF", 1)],
              "09:02:00": [("buy", "MXF", 1)], "09:03:00": [("sell", "2330", 1)]}
    s = Scripted(script=script)
    # This test pins fills at the latest tick itself; orders placed now fill at once only with this_tick.
    result = run_backtest(ticks, s, capital=10_000_000, fill="this_tick")
    trades = result.trades
    assert trades.columns == ["trade_id", "code", "action", "quantity", "price", "dt", "product_type"]
    assert trades.select("code", "action", "quantity", "price", "product_type").rows() == [
        ("2330", "Buy", 2, 100.0, "Stock"),  # 2330's latest tick, not the MXF tick being replayed
        ("MXF", "Sell", 1, 17500.0, "Future"),
        ("MXF", "Buy", 1, 17490.0, "Future"),
        ("2330", "Sell", 1, 104.0, "Stock"),
    ]
    assert [hm(d) for d in trades["dt"]] == ["09:00:10", "09:00:20", "09:02:00", "09:03:00"]
    assert trades["trade_id"].n_unique() == 4
    records = result.positions.trade_records
    assert [(r["trade_id"], r["trade_status"]) for r in records[:2]] == [(trades["trade_id"][0], "Order"),
                                                                          (trades["trade_id"][0], "Deal")]
    assert len(records) == 8
    # One MXF round trip and one of the two 2330 lots closed.
    assert sorted(r["code"] for r in result.profit_rows) == ["2330", "MXF"]
    assert result.trade_count == 2
    assert result.net_profit == sum(r["profit"] for r in result.profit_rows)
    assert result.total_cost == sum(r["trade_cost"] + r["cover_cost"] for r in result.profit_rows)
    assert result.win_rate == sum(r["profit"] > 0 for r in result.profit_rows) / 2


def test_position_and_close():
    seen = []

    class Flip(Strategy):
        def on_tick(self, t):
            n = len(seen)
            if n == 0:
                self.buy("2330", 3)
            elif n == 1:
                self.sell("2330", 5)
            elif n == 2:
                self.close("2330")
            seen.append(self.position("2330"))

    # position() right after each order: the fills must happen at once (this_tick), not at the next tick.
    result = run_backtest([tick(f"09:0{i}:00", 100.0 + i) for i in range(4)], Flip(), fill="this_tick")
    assert seen == [3, -2, 0, 0]
    assert result.trades["action"].to_list() == ["Buy", "Sell", "Buy"]
    assert result.trades["quantity"].to_list() == [3, 5, 2]


@pytest.mark.parametrize("fill", ["next_tick", "this_tick"])
@pytest.mark.parametrize("call,reason", [
    (lambda s: s.buy("2330", 0), "quantity must be a positive int"),
    (lambda s: s.sell("2330", 1.0), "quantity must be a positive int"),
    (lambda s: s.buy("2330", True), "quantity must be a positive int"),
    (lambda s: s.buy("MXF"), "no tick of 'MXF'"),  # no tick of it yet
])
def test_bad_orders_are_rejected_and_the_run_goes_on(call, reason, fill):
    placed = []

    class Bad(Strategy):
        def on_tick(self, t):
            placed.append(call(self))

    s = Bad()
    result = run_backtest([tick("09:00:10", 100.0), tick("09:00:20", 100.0)], s, fill=fill)
    assert [(o.status, reason in o.reason) for o in placed] == [("rejected", True)] * 2
    assert result.fills == [] and result.positions.trade_records == []
    assert result.positions.current_capital == 5_000_000
    assert s._run is None  # the helpers are unbound again


def test_strategy_parameters():
    assert example.MovingAverageCross().fast == 10 and example.MovingAverageCross(slow=90).slow == 90
    with pytest.raises(TypeError, match="unknown parameter.*fats"):
        example.MovingAverageCross(fats=5)
    with pytest.raises(ValueError):
        example.MovingAverageCross(fast=60, slow=60)
    first, second = Scripted(), Scripted()
    first.script["09:00:00"] = [("buy", "2330", 1)]
    assert second.script == {} and Scripted.params["script"] == {}  # defaults are not shared
    with pytest.raises(RuntimeError, match="only while run_backtest"):
        Strategy().buy("2330")
    with pytest.raises(TypeError):
        run_backtest([], object())  # type: ignore[arg-type]


@pytest.mark.parametrize("keys", [(("s", 1),), (("m", 0),), (("m", 1.0),), ("m",)])
def test_bad_bar_keys(keys):
    class Odd(Strategy):
        bar_keys = keys

    with pytest.raises(ValueError, match="bad bar key"):
        run_backtest([tick("09:00:10", 100.0)], Odd())


class _Book:
    """Just enough of Positions for the figures: rows of one code."""

    def __init__(self, rows):
        self.rows = rows

    def get_profit_rows_by_code(self, code):
        return [r for r in self.rows if r["code"] == code]


def _row(day, profit, cost=10.0):
    exit_ts = datetime(2024, 2, day, 10).timestamp()
    return {"code": "2330", "profit": profit, "exit_dt": exit_ts, "trade_cost": cost, "cover_cost": cost / 2}


def test_figures_by_hand():
    rows = [_row(1, 60.0), _row(1, 40.0), _row(2, -300.0), _row(5, 50.0)]
    days = [date(2024, 2, d) for d in (1, 2, 5)]
    result = BacktestResult(quote_manager=None, positions=_Book(rows), codes=["2330"], capital=1000,  # type: ignore[arg-type]
                            fills=[], days=days, tick_count=0)
    # Equity 1100, 800, 850; daily returns 0.1, -0.3, 0.05: mean -0.05, sample variance 0.0475.
    assert result.equity.rows() == [(date(2024, 2, 1), 100.0, 1100.0, 0.0), (date(2024, 2, 2), -300.0, 800.0, -300.0),
                                     (date(2024, 2, 5), 50.0, 850.0, -250.0)]
    assert result.summary() == {"net_profit": -150.0, "trade_count": 4, "win_rate": 0.75, "total_cost": 60.0,
                                "max_drawdown": 300.0, "sharpe": pytest.approx(-0.05 / 0.0475 ** 0.5 * 252 ** 0.5),
                                "open_profit": 0.0}
    assert [type(v) for v in result.summary().values()] == [float, int, float, float, float, float, float]
    one_day = BacktestResult(quote_manager=None, positions=_Book(rows[:1]), codes=["2330"], capital=1000,  # type: ignore[arg-type]
                             fills=[], days=days[:1], tick_count=0)
    assert (one_day.sharpe, one_day.max_drawdown, one_day.win_rate) == (0.0, 0.0, 1.0)
    empty = BacktestResult(quote_manager=None, positions=_Book([]), codes=["2330"], capital=1000,  # type: ignore[arg-type]
                           fills=[], days=days, tick_count=0)
    assert empty.summary() == {"net_profit": 0.0, "trade_count": 0, "win_rate": 0.0, "total_cost": 0.0,
                               "max_drawdown": 0.0, "sharpe": 0.0, "open_profit": 0.0}


# --- tick files -----------------------------------------------------------------------------------

HEADER = "timestamp,code,market_type,close,qty\n"


def test_iso_times_with_an_offset(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text(HEADER + "2024-03-04T09:00:01.93+08:00,2330,Stock,600,1\n"
                             "2024-03-04 01:00:02Z,2330,Stock,601,1\n"
                             "2024-03-03T20:00:03-05:00,2330,Stock,602,1\n"
                             "2024-03-04 09:00:04,2330,Stock,603,1\n")
    got = [t["timestamp"] for t in load_ticks(path)]
    taipei = timezone(timedelta(hours=8))
    assert got == [datetime(2024, 3, 4, 9, 0, 1, 930000, taipei).timestamp()] + [
        datetime(2024, 3, 4, 9, 0, s, tzinfo=taipei).timestamp() for s in (2, 3, 4)]


def test_bad_time_lists_the_forms_and_nothing_streams(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text(HEADER + "1706749200,2330,Stock,600,1\n" * 3 + "2024/02/01 09:00,2330,Stock,600,1\n")
    with pytest.raises(InputError) as info:
        load_ticks(path)  # raised by the call itself, before any tick is handed out
    message = str(info.value)
    assert message.startswith("row 4: bad timestamp '2024/02/01 09:00'")
    assert "epoch seconds" in message and "+08:00" in message and "\n" not in message
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize("batch_size", [1, 2, 5, 100])
def test_batches_keep_time_order(tmp_path, batch_size):
    rows = [(1706749205 - i, "2330" if i % 2 else "0050", 600 + i) for i in range(5)]
    path = tmp_path / "t.parquet"
    pl.DataFrame(rows, schema=["timestamp", "code", "close"], orient="row").with_columns(
        market_type=pl.lit("Stock"), qty=pl.lit(1)).write_parquet(path)
    stream = load_ticks(str(path), batch_size=batch_size)
    assert len(stream) == 5 and stream.codes == ("0050", "2330")
    got = list(stream)
    assert [t["timestamp"] for t in got] == sorted(r[0] for r in rows)
    assert got[0] == {"timestamp": 1706749201.0, "code": "0050", "market_type": "Stock", "close": 604.0,
                      "qty": 1, "tick_type": 0, "is_simulate": False}


@settings(max_examples=150, deadline=None)
@given(code=st.one_of(st.sampled_from(["2330", "00878", "TXFA4", "MXF", ".", "..", "a" * 32, "a" * 33, "", " 2330"]),
                      st.text(alphabet="AZaz09._-/ =+@\t\u00e9", max_size=34)),
       ts=st.one_of(st.sampled_from([market.FIRST_TIMESTAMP, market.END_TIMESTAMP]),
                    st.floats(market.FIRST_TIMESTAMP - 86400, market.FIRST_TIMESTAMP + 86400),
                    st.floats(market.END_TIMESTAMP - 86400, market.END_TIMESTAMP + 86400)))
def test_the_input_boundary_is_the_market_modules(code, ts):
    """The file check refuses exactly the codes market.bad_code refuses and the times outside its range."""
    frame = pl.DataFrame({"timestamp": [1706749200.0, ts], "code": ["2330", code], "market_type": ["Stock"] * 2,
                          "close": [600.0] * 2, "qty": [1, 1]})
    refused = market.bad_code(code) or not market.FIRST_TIMESTAMP <= ts < market.END_TIMESTAMP
    try:
        backtest.ticks._checked_frame(frame)
    except InputError as exc:
        assert refused and str(exc).startswith("row 2: bad "), exc
    else:
        assert not refused


def test_run_from_a_file_equals_run_from_the_records(tmp_path):
    ticks = synthetic.generate_ticks(start=DAY, days=1, seed=3)
    path = tmp_path / "t.parquet"
    pl.DataFrame(ticks).write_parquet(path)
    by_file = run_backtest(path, example.MovingAverageCross(fast=3, slow=12))
    by_list = run_backtest(ticks, example.MovingAverageCross(fast=3, slow=12))
    assert by_file.summary() == by_list.summary() and by_file.trade_count > 0
    assert by_file.trades.equals(by_list.trades)
    assert by_file.codes == ["2330", "MXF"]
    with pytest.raises(InputError, match="not found"):
        run_backtest(tmp_path / "none.csv", Strategy())


# --- memory: trimming old ticks -------------------------------------------------------------------


def test_trim_keeps_every_key_merging():
    qm = positions_module.QuoteManager()
    for t in (tick("09:00:10", 100.0), tick("09:00:30", 50.0, code="0050"), tick("09:01:10", 101.0),
              tick("09:01:30", 51.0, code="0050")):
        qm.add_tick(t)
    qm.get_kbar("2330", "m", 5)
    backtest.replay._trim(qm, {"2330": [("m", 1)]})
    state = qm.ticks["2330"]
    # Every key was queried first, then all but the newest old tick went.
    assert set(state["cached_kbars"]) == {("2330", "m", 5), ("2330", "m", 1)}
    assert len(state["old_ticks"]) == 1 and state["ticks"] == []
    # A code without keys keeps only its newest tick.
    assert len(qm.ticks["0050"]["ticks"]) + len(qm.ticks["0050"]["old_ticks"]) == 1


def test_trimmed_run_has_the_same_trades_and_report_bars():
    ticks = synthetic.generate_ticks(start=DAY, days=3, seed=5)
    kept = run_backtest(ticks, example.MovingAverageCross(), trim_every=None)
    trimmed = run_backtest(ticks, example.MovingAverageCross(), trim_every=1000)
    assert trimmed.trimmed and not kept.trimmed
    assert trimmed.trades.equals(kept.trades) and trimmed.summary() == kept.summary()
    for code, unit in (("2330", "m"), ("MXF", "m"), ("0050", "d")):
        assert trimmed.quote_manager.get_kbar(code, unit, 1).equals(kept.quote_manager.get_kbar(code, unit, 1))
    assert max(len(s["old_ticks"]) + len(s["ticks"]) for s in trimmed.quote_manager.ticks.values()) < 2000


# --- reports, warnings, local time ----------------------------------------------------------------


def test_write_reports_lists_its_files_and_quiet_hides_the_report_library(tmp_path, capsys):
    ticks = synthetic.generate_ticks(start=DAY, days=2, seed=3)
    result = run_backtest(ticks, example.MovingAverageCross(fast=3, slow=12), codes=["2330"])
    capsys.readouterr()
    written = result.write_reports(tmp_path / "out", quiet=True)
    assert capsys.readouterr().out == ""
    names = sorted(os.path.relpath(p, tmp_path / "out") for p in written)
    assert names[:3] == ["kelv/profit_report/2330-profit_report.csv", "kelv/profit_report/2330-profit_report.html",
                         "report/2330-report.html"]
    assert names[3].startswith("trade_records/") and len(names) == 4
    assert all(os.path.isfile(p) for p in written)


def test_findfont_lines_are_dropped(caplog):
    log = logging.getLogger("matplotlib.font_manager")
    with caplog.at_level(logging.INFO, logger="matplotlib.font_manager"):
        log.warning("findfont: Font family 'Arial' not found.")
        log.warning("other font news")
    assert [r.getMessage() for r in caplog.records] == ["other font news"]


def _python(code, tz, *args):
    env = dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), PYTHONWARNINGS="")
    return subprocess.run([sys.executable, *args, "-c", code] if code else [sys.executable, *args],
                          capture_output=True, text=True, env=env, timeout=300)


@pytest.mark.parametrize("tz,warned", [("UTC", 1), ("Asia/Taipei", 0), ("Asia/Shanghai", 0), ("Asia/Tokyo", 1)])
def test_import_warns_once_when_local_time_is_not_taipeis(tz, warned):
    done = _python("import zopt_kelv_backtest, zopt_kelv_backtest.backtest, zopt_kelv_backtest.example", tz)
    assert done.returncode == 0, done.stderr
    assert done.stderr.count("LocalTimeWarning") == warned
    if warned:
        assert "TZ=Asia/Taipei" in done.stderr and "pin_local_time()" in done.stderr


def test_the_example_program_pins_the_zone_without_warning():
    done = _python(None, "UTC", "-m", "zopt_kelv_backtest.example", "--help")
    assert done.returncode == 0 and done.stderr == ""


def test_run_pins_local_time(monkeypatch):
    monkeypatch.setenv("TZ", "UTC")
    import time
    time.tzset()
    try:
        s = Recorder()
        run_backtest([tick("09:00:10", 100.0)], s)
        assert os.environ["TZ"] == "Asia/Taipei" and time.localtime(0).tm_gmtoff == 8 * 3600
    finally:
        monkeypatch.setenv("TZ", "Asia/Taipei")
        time.tzset()


def test_equity_days_are_the_days_a_traded_code_has_ticks():
    ticks = [tick("09:00:10", 100.0), tick("09:00:10", 50.0, code="0050", day=date(2024, 2, 2)),
             tick("09:00:10", 101.0, day=date(2024, 2, 5)), tick("13:00:00", 102.0, day=date(2024, 2, 5))]
    result = run_backtest(ticks, Scripted(script={"09:00:10": [("buy", "2330", 1)], "13:00:00": [("close", "2330", 0)]}))
    assert result.equity["date"].to_list() == [date(2024, 2, 1), date(2024, 2, 5)]
    # Both lots (bought on the 1st and the 5th) are sold on the 5th.
    assert result.equity["profit"].to_list() == [0.0, result.net_profit]


def test_a_strategy_run_twice_starts_afresh():
    ticks = synthetic.generate_ticks(start=DAY, days=1, seed=3)
    strategy = example.MovingAverageCross(fast=3, slow=12)
    first = run_backtest(ticks, strategy).summary()
    assert run_backtest(ticks, strategy).summary() == first
    with pytest.raises(ValueError, match="trim_every"):
        run_backtest(ticks, strategy, trim_every=0)
    assert strategy._run is None


def test_a_close_on_a_day_without_ticks_still_counts():
    rows = [_row(1, 100.0), _row(3, -40.0)]
    result = BacktestResult(quote_manager=None, positions=_Book(rows), codes=["2330"], capital=1000,  # type: ignore[arg-type]
                            fills=[], days=[date(2024, 2, 1), date(2024, 2, 2)], tick_count=0)
    # The close on Saturday the 3rd counts in Monday the 5th, the next trading day.
    assert result.equity["date"].to_list() == [date(2024, 2, d) for d in (1, 2, 5)]
    assert result.equity["equity"][-1] == 1000 + result.net_profit == 1060.0
