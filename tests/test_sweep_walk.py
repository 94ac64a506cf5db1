"""Walk-forward: folds on the trading-day calendar, the choice of each fold, its test runs, its files."""

import functools
import struct
from datetime import date

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest import backtest, market, sweep
from zopt_kelv_backtest.sweep import SweepInputError, SyntheticTicks, walk
from zopt_kelv_backtest.sweep.plan import TradingDays
from sweep_strategies import Momentum

TICKS = SyntheticTicks(days=5)  # MXF: five trading days, each with the night before it, across a holiday
ARGS = dict(train=2, test=1, ticks=TICKS, codes=["MXF"], workers=1, progress=False)
GRID = {"up": [2, 4], "down": [2, 3]}
YEAR = walk.calendar_days(date(2024, 1, 1), date(2024, 12, 31))


def exact(value):
    return struct.pack("<d", value) if isinstance(value, float) else value


def frame_bits(frame: pl.DataFrame) -> list[tuple]:
    return [tuple(exact(v) for v in row) for row in frame.iter_rows()]


@pytest.fixture(scope="module")
def walked(tmp_path_factory):
    """The reference walk-forward: four combinations on MXF, three folds, in this process."""
    return walk.walk_forward("sweep_strategies:Momentum", GRID, out_dir=tmp_path_factory.mktemp("walk"), **ARGS)


# --- folds ---------------------------------------------------------------------------------------


@settings(max_examples=300, deadline=None)
@given(first=st.integers(0, 200), length=st.integers(1, 45), train=st.integers(1, 12), test=st.integers(1, 6),
       extra=st.integers(0, 5))
def test_folds_tile_the_trading_days(first, length, train, test, extra):
    days = YEAR[first:first + length]
    spec = walk.WalkSpec(train, test, test + extra)
    folds = walk.make_folds(days, spec)
    assert len(folds) == (max(0, (len(days) - train - test) // spec.step + 1) if len(days) >= train + test else 0)
    for k, fold in enumerate(folds):
        at = k * spec.step
        assert fold.number == k + 1
        assert (fold.train.start, fold.train.end) == (days[at], days[at + train - 1])
        # The test days follow the training days with no trading day between them.
        assert (fold.test.start, fold.test.end) == (days[at + train], days[at + train + test - 1])
        assert walk.calendar_days(fold.train.start, fold.test.end) == days[at:at + train + test]
    # A trading day is tested at most once, in fold order.
    tested = [d for f in folds for d in walk.calendar_days(f.test.start, f.test.end)]
    assert tested == sorted(set(tested))


@settings(max_examples=300, deadline=None)
@given(first=st.integers(1, 230), length=st.integers(1, 10), offset_ms=st.integers(-6 * 86400_000, 6 * 86400_000))
def test_trading_days_window_holds_exactly_the_ticks_of_its_days(first, length, offset_ms):
    offset = offset_ms / 1000  # tick times to the millisecond
    window = TradingDays(YEAR[first], YEAR[min(first + length, len(YEAR)) - 1])
    lo, hi = window.bounds()
    for ts in (lo + offset, hi + offset, lo, hi, lo - 1e-3, hi - 1e-3):
        assert (lo <= ts < hi) == (window.start <= market.trading_day_of(ts) <= window.end)


def test_a_trading_days_window_is_not_the_calendar_window_of_its_dates():
    trading, calendar = TradingDays(date(2024, 2, 5), date(2024, 2, 5)), sweep.Window(date(2024, 2, 5), date(2024, 2, 5))
    assert trading != calendar and trading.label == "td:2024-02-05:2024-02-05"
    with pytest.raises(SweepInputError, match="2024-02-10 is not a trading day"):
        TradingDays(date(2024, 2, 5), date(2024, 2, 10))


# --- the choice ----------------------------------------------------------------------------------


def runs(*rows):
    """Training rows in grid order: (name, net_profit, trade_count, max_drawdown, error)."""
    return pl.DataFrame([{"name": n, "net_profit": p, "trade_count": t, "max_drawdown": d, "sharpe": 0.5,
                          "error": e} for n, p, t, d, e in rows],
                        schema={"name": pl.String, "net_profit": pl.Float64, "trade_count": pl.Int64,
                                "max_drawdown": pl.Float64, "sharpe": pl.Float64, "error": pl.String})


@pytest.mark.parametrize("rows, metric, min_trades, chosen", [
    # ties go to the first in grid order, whatever comes after
    (runs(("a", 5.0, 3, 9.0, None), ("b", 7.0, 2, 1.0, None), ("c", 7.0, 8, 2.0, None)), "net_profit", 0, "b"),
    # a run without trades never beats one that traded, even at a loss
    (runs(("a", 0.0, 0, 0.0, None), ("b", -4.0, 1, 4.0, None)), "net_profit", 0, "b"),
    (runs(("a", 0.0, 0, 0.0, None), ("b", 0.0, 0, 0.0, None)), "net_profit", 0, "a"),
    # lower ranks first for max_drawdown; a failed run never wins
    (runs(("a", 9.0, 4, 3.0, None), ("b", None, None, None, "RuntimeError"), ("c", 1.0, 4, 2.0, None)),
     "max_drawdown", 0, "c"),
    (runs(("a", 9.0, 4, 3.0, None), ("b", 8.0, 4, 3.0, None)), "max_drawdown", 0, "a"),
    (runs(("a", 9.0, 4, 3.0, None), ("b", 1.0, 40, 3.0, None)), "net_profit", 10, "b"),
    (runs(("a", 9.0, 4, 3.0, None), ("b", 1.0, 40, 3.0, None)), "net_profit", 41, None),
    (runs(("b", None, None, None, "RuntimeError")), "sharpe", 0, None),
    (runs(("a", 1.0, 1, 1.0, None), ("b", float("nan"), 1, 1.0, None)), "net_profit", 0, "a"),
])
def test_choice_by_metric(rows, metric, min_trades, chosen):
    best = walk.choose(rows, metric, min_trades=min_trades)
    assert (best and best["name"]) == chosen


# --- the runs ------------------------------------------------------------------------------------


@functools.cache
def tick_days():
    """Each synthetic tick with the trading day it counts in, by the market's own rule."""
    return [(market.trading_day_of(t["timestamp"]), t) for t in TICKS.ticks()]


def days_ticks(first, last):
    """The synthetic ticks that count in trading days `first` to `last`."""
    return [t for day, t in tick_days() if first <= day <= last]


def test_each_fold_runs_the_training_best_on_its_test_days(walked, console):
    folds, rows = walked.folds, walked.sweep.rows
    assert folds["fold"].to_list() == [1, 2, 3] and folds["error"].null_count() == 3
    assert (folds["test_start"].to_list() == [date(2024, 2, 5), date(2024, 2, 15), date(2024, 2, 16)])
    assert walked.sweep.rows.height == 12 and walked.tested == 3
    for fold in folds.iter_rows(named=True):
        training = rows.filter(pl.col("window") == f"td:{fold['train_start']}:{fold['train_end']}")
        best = max(training.iter_rows(named=True), key=lambda r: (r["trade_count"] > 0, r["net_profit"]))
        assert fold["train_combination"] == best["combination"]
        assert [fold[f"train_{f}"] for f in sweep.FIGURES] == [best[f] for f in sweep.FIGURES]
        assert (fold["up"], fold["down"]) == (best["up"], best["down"])
        # Out of sample: what a plain run of the chosen parameters on the test days gives, bit for bit.
        plain = backtest.run_backtest(days_ticks(fold["test_start"], fold["test_end"]),
                                      Momentum(up=fold["up"], down=fold["down"]), codes=["MXF"])
        summary = plain.summary()
        assert [exact(fold[f"test_{f}"]) for f in sweep.FIGURES] == [exact(summary[f]) for f in sweep.FIGURES]
        curve = walked.equity.filter(pl.col("fold") == fold["fold"])
        assert frame_bits(curve.select("date", "equity")) == frame_bits(plain.equity.select("date", "equity"))


def test_stitched_equity_chains_the_test_runs(walked):
    equity, capital = walked.equity, 5_000_000
    assert equity["date"].is_sorted() and equity["date"].n_unique() == equity.height
    end = float(capital)
    for (number,), part in equity.group_by(["fold"], maintain_order=True):
        # The fold starts where the previous ended, and moves as its own run does.
        assert part["stitched"][0] == pytest.approx(end + part["equity"][0] - capital, abs=1e-6)
        assert part["stitched"].diff().drop_nulls().to_list() == pytest.approx(
            part["equity"].diff().drop_nulls().to_list(), abs=1e-6)
        end = part["stitched"][-1]
    assert end == pytest.approx(capital + sum(p["equity"][-1] - capital
                                              for _, p in equity.group_by(["fold"])), abs=1e-6)
    on_file = pl.read_parquet(walked.equity_path), pl.read_parquet(walked.folds_path)
    assert on_file[0].equals(equity) and on_file[1].equals(walked.folds)
    page = walked.sweep.page_path.read_text()
    assert "<h2>Walk-forward</h2>" in page and page.count('"type":"scatter","mode":"lines+markers","name":"MXF"') == 1
    assert f"{walked.folds['test_net_profit'][0]:,.0f}" in page


def test_interrupted_walk_forward_keeps_finished_folds_and_resumes(tmp_path, walked, monkeypatch):
    real = sweep.backends.run_combination
    tests = []

    def stop_at_second_test(task):
        if task.equity:
            tests.append(task)
            if len(tests) == 2:
                raise KeyboardInterrupt
        return real(task)

    monkeypatch.setattr(sweep.backends, "run_combination", stop_at_second_test)
    with pytest.raises(KeyboardInterrupt):
        walk.walk_forward("sweep_strategies:Momentum", GRID, out_dir=tmp_path, **ARGS)
    monkeypatch.setattr(sweep.backends, "run_combination", real)
    kept = pl.read_parquet(tmp_path / walk.WALK_FILE)
    assert kept["fold"].to_list() == [1]
    assert pl.read_parquet(tmp_path / walk.EQUITY_FILE)["fold"].unique().to_list() == [1]
    resumed = walk.walk_forward("sweep_strategies:Momentum", GRID, out_dir=tmp_path, **ARGS)
    assert (resumed.sweep.ran, resumed.tested) == (0, 2)
    assert frame_bits(resumed.folds) == frame_bits(walked.folds)
    assert frame_bits(resumed.equity) == frame_bits(walked.equity)
    # A fold another fingerprint made is run again, never taken as it is.
    pl.read_parquet(tmp_path / walk.WALK_FILE).with_columns(
        fingerprint=pl.when(pl.col("fold") == 2).then(pl.lit("0" * 16)).otherwise(pl.col("fingerprint"))
    ).write_parquet(tmp_path / walk.WALK_FILE)
    again = walk.walk_forward("sweep_strategies:Momentum", GRID, out_dir=tmp_path, **ARGS)
    assert (again.sweep.ran, again.tested) == (0, 1)
    assert frame_bits(again.folds) == frame_bits(walked.folds)


def test_two_workers_walk_as_one(tmp_path, walked):
    result = walk.walk_forward("sweep_strategies:Momentum", GRID, out_dir=tmp_path, **{**ARGS, "workers": 2})
    assert frame_bits(result.folds) == frame_bits(walked.folds)
    assert frame_bits(result.equity) == frame_bits(walked.equity)


# --- the command ---------------------------------------------------------------------------------


def test_command_prints_the_folds_in_80_columns(tmp_path, walked, capsys, monkeypatch):
    from zopt_kelv_backtest import utils

    monkeypatch.setattr(utils.console, "width", 80)
    argv = ["--strategy", "sweep_strategies:Momentum", "--grid", "up=2,4", "--grid", "down=2,3", "--codes", "MXF",
            "--days", "5", "--walk-forward", "2:1", "--workers", "1", "--quiet", "--out", str(tmp_path)]
    assert sweep.main(argv) == 0
    utils.console.flush()
    text = capsys.readouterr().out
    start = text.index("Walk-forward 2:1:1")
    table = text[start:text.index(str(tmp_path / "results.parquet"), start)]
    assert max(map(len, table.splitlines())) <= 80 and "…" not in table
    assert frame_bits(pl.read_parquet(tmp_path / walk.WALK_FILE)) == frame_bits(walked.folds)
    total = walked.folds["test_net_profit"].sum()
    assert f"MXF: out-of-sample net profit {total:,.0f} over 3 folds" in table


@pytest.mark.parametrize("argv, message", [
    (["--walk-forward", "3"], "use TRAIN:TEST or TRAIN:TEST:STEP"),
    (["--walk-forward", "3:x"], "use TRAIN:TEST or TRAIN:TEST:STEP"),
    (["--walk-forward", "0:1"], "TRAIN must be a whole number of at least 1"),
    (["--walk-forward", "3:2:1"], "STEP 1 is shorter than TEST 2"),
    (["--walk-forward", "4:2"], "the ticks span 4 trading days (2024-02-01 to 2024-02-15), fewer than TRAIN+TEST = 6"),
    (["--walk-forward", "1:1", "--windows", "2024-02-07:2024-02-12"], "no trading day in that range"),
    (["--walk-forward", "1:1", "--windows", "2024-02-01,2024-02-02"], "walks over one range, got 2"),
    (["--walk-forward", "1:1", "--top", "3"], "not with --walk-forward"),
    (["--walk-forward", "1:1", "--metric", "profit"], "invalid choice: 'profit'"),
    (["--metric", "sharpe"], "give --walk-forward too"),
])
def test_bad_walk_forward_input_gets_one_error_line_and_status_2(tmp_path, capsys, argv, message):
    out = tmp_path / "out"
    with pytest.raises(SystemExit) as exit_info:
        sweep.main(["--strategy", "sweep_strategies:Momentum", "--days", "4", "--codes", "MXF", "--quiet",
                    "--out", str(out), *argv])
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if "error:" in line or "Traceback" in line]
    assert exit_info.value.code == 2 and len(lines) == 1, err
    assert message in lines[0], err
    assert not out.exists()


def test_a_fold_without_ticks_of_a_code_is_an_input_error(tmp_path, capsys):
    # 2330 trades on the first day only, MXF on both: the first fold tests 2330 on a day without its ticks.
    rows = [t for t in TICKS.ticks() if market.trading_day_of(t["timestamp"]) <= date(2024, 2, 2)
            and (t["code"] == "MXF" or market.trading_day_of(t["timestamp"]) == date(2024, 2, 1))]
    path = tmp_path / "ticks.parquet"
    pl.DataFrame(rows).write_parquet(path)
    with pytest.raises(SystemExit) as exit_info:
        sweep.main(["--strategy", "sweep_strategies:Momentum", "--ticks", str(path), "--codes", "2330,MXF",
                    "--walk-forward", "1:1", "--quiet", "--out", str(tmp_path / "out")])
    lines = [line for line in capsys.readouterr().err.splitlines() if "error:" in line]
    assert exit_info.value.code == 2 and len(lines) == 1
    assert "fold 1: no ticks for 2330 in its test days 2024-02-02:2024-02-02" in lines[0]
