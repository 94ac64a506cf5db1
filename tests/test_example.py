"""The synthetic tick set and the example back-test program."""

import os
import subprocess
import sys
from collections import Counter
from datetime import date, datetime

import polars as pl
import pytest

from zopt_kelv_backtest import backtest, example, synthetic
from zopt_kelv_backtest.constant import BASIC_INFO


@pytest.fixture(scope="module")
def ticks():
    return synthetic.generate_ticks(start=date(2024, 2, 1), days=4, seed=11)


def local(t):
    return datetime.fromtimestamp(t["timestamp"], synthetic.TAIPEI).replace(tzinfo=None)


def test_synthetic_ticks_are_deterministic(ticks):
    assert synthetic.generate_ticks(start=date(2024, 2, 1), days=4, seed=11) == ticks
    assert synthetic.generate_ticks(start=date(2024, 2, 1), days=4, seed=12) != ticks
    assert [t["timestamp"] for t in ticks] == sorted(t["timestamp"] for t in ticks)
    assert set(ticks[0]) == {"timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate"}


def test_synthetic_calendar_and_sessions(ticks):
    # 2024-02-06 to 02-14 is closed (Lunar New Year): four trading days reach into the week after.
    assert synthetic.trading_days(date(2024, 2, 1), 4) == [date(2024, 2, d) for d in (1, 2, 5, 15)]
    session_days = {local(t).date() for t in ticks if t["code"] == "2330"}
    assert session_days == {date(2024, 2, d) for d in (1, 2, 5, 15)}
    for t in ticks:
        when = local(t)
        if t["market_type"] == "Stock":
            assert datetime(2000, 1, 1, 9).time() <= when.time() <= datetime(2000, 1, 1, 13, 30).time()
        else:
            assert not (datetime(2000, 1, 1, 5).time() <= when.time() < datetime(2000, 1, 1, 8, 45).time())
            assert not (datetime(2000, 1, 1, 13, 45).time() <= when.time() < datetime(2000, 1, 1, 15).time())
    night = [local(t) for t in ticks if t["code"] == "MXF" and (local(t).hour >= 15 or local(t).hour < 5)]
    assert night, "futures night sessions"
    # Friday 2 February's night session runs into Saturday morning.
    assert any(n.date() == date(2024, 2, 3) for n in night)
    assert Counter(t["code"] for t in ticks).keys() == {"2330", "0050", "MXF"}


def test_synthetic_prices_on_grid_and_volume_shape(ticks):
    for t in ticks:
        step = synthetic.tick_size(t["code"], t["market_type"], t["close"])
        assert abs(t["close"] / step - round(t["close"] / step)) < 1e-6, t
        assert t["qty"] >= 1 and t["tick_type"] in (1, 2) and t["is_simulate"] is False
    assert synthetic.tick_size("0050", "Stock", 130.0) == 0.05
    assert synthetic.tick_size("2330", "Stock", 580.0) == 1.0
    minutes = Counter((local(t).hour * 60 + local(t).minute - 540) // 30
                      for t in ticks if t["code"] == "2330")
    assert minutes[0] > 1.3 * minutes[4]  # the open is busier than midday
    assert minutes[8] > 1.3 * minutes[4]  # and so is the run-up to the close


def write_csv(tmp_path, text, name="ticks.csv"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


HEADER = "timestamp,code,market_type,close,qty,tick_type,is_simulate\n"


@pytest.mark.parametrize("body,message", [
    (None, "tick file not found"),
    ("timestamp,code,close,qty\n1706749200,2330,600,1\n", "lacks column(s): market_type"),
    (HEADER + "1706749200,2330,Stock,600,1,1,false\nsoon,2330,Stock,600,1,1,false\n",
     "row 2: bad timestamp 'soon'"),
    (HEADER + "1706749200,2330,Stock,600,1,1,false\n,2330,Stock,600,1,1,false\n", "row 2: bad timestamp"),
    (HEADER + "1706749200,2330,Bond,600,1,1,false\n", "row 1: bad market_type"),
    (HEADER + "1706749200,2330,Stock,-1,1,1,false\n", "row 1: bad close price"),
    (HEADER + "1706749200,2330,Stock,600,1.5,1,false\n", "row 1: bad qty"),
    (HEADER + "1706749200,../x,Stock,600,1,1,false\n", "row 1: bad code"),
    (HEADER + "1706749200,2330,Stock,600,1,1,maybe\n", "row 1: bad is_simulate"),
    (HEADER, "holds no ticks"),
    # Values that would break the run or its output files later: refused with the file.
    (HEADER + "1706749200,2330,Stock,600,1,1,false\n99999999999999,2330,Stock,600,1,1,false\n",
     "row 2: bad timestamp 99999999999999"),
    (HEADER + "1706749200,2330,Stock,600,1,1,false\n-99999999999,2330,Stock,600,1,1,false\n",
     "row 2: bad timestamp -99999999999"),
    (HEADER + "1706749200,2330,Stock,600,1,1,false\n1706749201," + "A" * 250 + ",Stock,600,1,1,false\n",
     "row 2: bad code 'AAAA"),
    (HEADER + "1706749200,2330,Stock,600,1,1,false\n1706749201,=2+5+cmd|' -C calc'!A0,Stock,600,1,1,false\n",
     "row 2: bad code \"=2+5+cmd|' -C calc'!A0\""),
])
def test_bad_tick_files_get_one_line(tmp_path, capsys, body, message):
    path = str(tmp_path / "missing.csv") if body is None else write_csv(tmp_path, body)
    assert example.main(["--ticks", path, "--out", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("error: ") and message in err
    assert not (tmp_path / "out").exists()


def test_tick_file_forms(tmp_path):
    text = (HEADER + "2024-02-01 09:00:01.5,2330,Stock,600,1,1,true\n"
            "1706749202,2330,Stock,600.5,2,2,0\n"
            "2024-02-01T09:00:00,0050,Stock,130,3,1,False\n")
    got = list(backtest.load_ticks(write_csv(tmp_path, text)))
    assert [(t["code"], t["timestamp"], t["is_simulate"]) for t in got] == [
        ("0050", 1706749200.0, False), ("2330", 1706749201.5, True), ("2330", 1706749202.0, False)]
    assert got[2]["qty"] == 2 and isinstance(got[2]["qty"], int) and got[2]["close"] == 600.5
    # Parquet with the optional columns left out.
    path = tmp_path / "ticks.parquet"
    pl.DataFrame({"timestamp": [1706749200.25], "code": ["MXF"], "market_type": ["Future"],
                  "close": [17500.0], "qty": [1]}).write_parquet(path)
    assert list(backtest.load_ticks(path)) == [{"timestamp": 1706749200.25, "code": "MXF", "market_type": "Future",
                                                  "close": 17500.0, "qty": 1, "tick_type": 0, "is_simulate": False}]


def test_cli_error_has_no_traceback(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "zopt_kelv_backtest.example", "--ticks", str(tmp_path / "no.csv")],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 2
    assert done.stderr == f"error: tick file not found: {tmp_path / 'no.csv'}\n"


@pytest.fixture
def out_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(BASIC_INFO, "data_dir", BASIC_INFO.data_dir)  # restored afterwards
    return tmp_path / "run"


def test_example_end_to_end(out_dir, capsys):
    # Flat at the end needs the last session's close to fill at its own tick: with the default next-tick
    # fill no tick follows it and it expires.
    assert example.main(["--days", "3", "--out", str(out_dir), "--quiet", "--fill", "this_tick"]) == 0
    files = {os.path.relpath(os.path.join(r, f), out_dir) for r, _, fs in os.walk(out_dir) for f in fs}
    expected = {"report/2330-report.html", "report/MXF-report.html",
                "kelv/profit_report/2330-profit_report.html", "kelv/profit_report/2330-profit_report.csv",
                "kelv/profit_report/MXF-profit_report.html", "kelv/profit_report/MXF-profit_report.csv"}
    assert expected <= files
    (log,) = [f for f in files if f.startswith("trade_records/")]
    trades = pl.read_csv(out_dir / log)
    assert set(trades["trade_status"]) == {"Order", "Deal"} and set(trades["code"]) == {"2330", "MXF"}
    # Every position is flat at the end: deals of each code net to zero.
    signed = trades.filter(pl.col("trade_status") == "Deal").with_columns(
        pl.when(pl.col("action") == "Buy").then(pl.col("quantity")).otherwise(-pl.col("quantity")).alias("n"))
    assert signed.group_by("code").agg(pl.col("n").sum())["n"].to_list() == [0, 0]
    html = (out_dir / "report" / "2330-report.html").read_text(encoding="utf-8")
    assert html.count('"type": "entry"') == html.count('"type": "exit"') > 0
    # Quiet: nothing on either stream, not even the report library's own line; the log keeps the fills.
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err == ""
    log = (out_dir / "backtest.log").read_text(encoding="utf-8")
    assert "進場 2330" in log and "[bold" not in log and "HTML report saved" not in log


def test_example_with_own_tick_file(tmp_path, out_dir, ticks):
    path = tmp_path / "mine.parquet"
    pl.DataFrame(ticks).write_parquet(path)
    assert example.main(["--ticks", str(path), "--trade", "MXF", "--out", str(out_dir), "--quiet",
                         "--skip-qs"]) == 0
    assert (out_dir / "report" / "MXF-report.html").exists()
    assert not (out_dir / "report" / "2330-report.html").exists()
    assert not (out_dir / "kelv").exists()


def _dense_ticks(days, seed):
    """One stock with trades in every minute of its sessions, so no minute is filled by the core."""
    import random

    rng, price, out = random.Random(seed), 500.0, []
    for day in days:
        start = datetime(day.year, day.month, day.day, 9).timestamp()
        for minute in range(270):  # 09:00 to 13:29
            for second in sorted(rng.sample(range(60), 2)):
                price = max(1.0, price + rng.choice((-1.0, -0.5, 0.5, 1.0)))
                out.append({"timestamp": start + minute * 60 + second, "code": "2330", "market_type": "Stock",
                            "close": price, "qty": 1, "tick_type": 1, "is_simulate": False})
    return out


def _hand_written_cross(ticks, fast, slow):
    """The strategy as a plain loop of its own: closes of minutes with trades, flat at session ends."""
    from collections import deque

    closes, minute, last, signal, held, fills = deque(maxlen=slow), None, None, 0, 0, []
    for i, t in enumerate(ticks):
        m = t["timestamp"] - t["timestamp"] % 60
        if minute is not None and m > minute:
            closes.append(last)
            if len(closes) == slow:
                f, s = sum(list(closes)[-fast:]) / fast, sum(closes) / slow
                new = 1 if f > s else -1 if f < s else signal
                if new != signal and signal != 0:
                    if new > 0 and held == 0:
                        fills.append(("Buy", t["close"], t["timestamp"]))
                        held = 1
                    elif new < 0 and held > 0:
                        fills.append(("Sell", t["close"], t["timestamp"]))
                        held = 0
                signal = new
        minute, last = m, t["close"]
        session_over = i + 1 == len(ticks) or ticks[i + 1]["timestamp"] - t["timestamp"] > 1800
        if session_over and held:
            fills.append(("Sell", t["close"], t["timestamp"]))
            held = 0
    return fills


def test_cross_on_bars_trades_as_the_hand_written_loop_when_every_minute_trades():
    ticks = _dense_ticks([date(2024, 2, 1), date(2024, 2, 2)], seed=4)
    # The hand-written loop fills at the tick that opened the minute: at once.
    result = backtest.run_backtest(ticks, example.MovingAverageCross(fast=3, slow=8), fill="this_tick")
    expected = _hand_written_cross(ticks, 3, 8)
    got = [(a, p, d.timestamp()) for a, p, d in result.trades.select("action", "price", "dt").rows()]
    assert len(expected) > 20 and got == expected


@pytest.mark.parametrize("flag", [None, "--verbose"])
def test_example_output(out_dir, capsys, flag):
    argv = ["--days", "1", "--out", str(out_dir), "--skip-qs"] + ([flag] if flag else [])
    assert example.main(argv) == 0
    out = capsys.readouterr().out
    assert "回測結果" in out and str(out_dir / "backtest.log") in out and str(out_dir / "report") in out
    fill_lines = [line for line in out.splitlines() if "[回測] 進場" in line]
    assert bool(fill_lines) == (flag == "--verbose")
    assert "[回測] 進場" in (out_dir / "backtest.log").read_text(encoding="utf-8")


def test_example_capital_ends_at_its_profit_rows(ticks):
    """Flat at the end, the account holds the initial capital plus what the
    round trips earned: the summary's net profit is the capital's change."""
    # Flat at the end: the last close fills at its own tick (with next_tick no tick follows it).
    result = backtest.run_backtest(ticks, example.MovingAverageCross(), codes=["2330", "MXF"], capital=5_000_000,
                                   fill="this_tick")
    positions = result.positions
    rows = positions._profit_report["rows"]
    assert len(result.fills) > 4 and rows
    assert all(book == {"buy": [], "sell": []} for book in positions.positions.values())
    assert positions.current_capital == pytest.approx(5_000_000 + sum(r["profit"] for r in rows), rel=1e-12)


@pytest.mark.parametrize("argv,message", [
    (["--start", "2026-12-01", "--days", "100"], "--start/--days:"),
    (["--trade", "2330,TSMC"], "no ticks for code(s) to trade: TSMC"),
])
def test_bad_synthetic_options_get_one_line(tmp_path, capsys, argv, message):
    assert example.main([*argv, "--out", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("error: ") and message in err
    assert not (tmp_path / "out").exists()


def test_unwritable_out_gets_one_line(tmp_path, capsys):
    blocker = tmp_path / "file"
    blocker.write_text("")
    assert example.main(["--days", "1", "--out", str(blocker / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"error: cannot write to --out {blocker / 'out'}")
