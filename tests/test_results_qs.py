"""The QuantStats report's figures: drawdown rows from the first day, the first day kept, quiet output."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zopt_kelv_backtest import example
from zopt_kelv_backtest.backtest import qs_fix, run_backtest
from zopt_kelv_backtest.modules.positions import positions as positions_module

qs = pytest.importorskip("quantstats_lumi")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(-0.05, 0.05, allow_nan=False), min_size=2, max_size=30))
def test_the_worst_drawdown_row_is_the_max_drawdown(values):
    returns = pd.Series(values, index=pd.bdate_range("2024-02-01", periods=len(values)))
    drawdown = qs.stats.to_drawdown_series(returns)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with qs_fix.first_day_drawdowns():
            details = qs.stats.drawdown_details(drawdown)
        plain = qs.stats.drawdown_details(drawdown)
    worst = float(drawdown.min())
    if worst < 0:
        assert details["max drawdown"].min() == pytest.approx(worst * 100)
        assert details["start"].min() >= "2024-02-01"  # the added day is in no row
    else:
        assert details.empty
    if drawdown.iloc[0] == 0:  # nothing starts on the first day: the library's own rows
        assert details.equals(plain)


def test_the_library_is_restored_even_after_an_error():
    details, html = qs.stats.drawdown_details, qs.reports.html
    with pytest.raises(RuntimeError), qs_fix.true_report_figures():
        assert qs.stats.drawdown_details is not details and qs.reports.html is not html
        with qs_fix.true_report_figures():  # nested: the mends are not stacked
            assert qs.stats.drawdown_details.__wrapped__ is details
        raise RuntimeError
    assert qs.stats.drawdown_details is details and qs.reports.html is html


def _rows(page):
    """Metric name -> (benchmark cell, strategy cell) of the report's metrics table."""
    found = {}
    for name, cells in re.findall(r"<tr><td>([^<]+)</td>(.*?)</tr>", page):
        values = re.findall(r"<td>([^<]*)</td>", cells)
        if len(values) == 2:
            found.setdefault(name.strip(), tuple(values))
    return found


@pytest.fixture(scope="module")
def losing_run():
    """The default ten-day synthetic set, 2330 only: a run that loses and never recovers."""
    saved = positions_module.console.quiet
    positions_module.console.quiet = True
    try:
        yield run_backtest(None, example.MovingAverageCross(), codes=["2330"])
    finally:
        positions_module.console.quiet = saved


def test_a_losing_run_shows_its_true_drawdown_and_prints_nothing_when_quiet(losing_run, tmp_path, capfd, monkeypatch):
    result = losing_run
    assert len(result.days) == 10 and result.net_profit < 0
    monkeypatch.setattr(positions_module.console, "quiet", True)
    capfd.readouterr()
    written = result.write_reports(tmp_path)
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
    page = next(p for p in written if p.endswith("2330-profit_report.html"))
    text = open(page, encoding="utf-8").read()
    rows = _rows(text)
    # By hand: the report's returns are each exit day's profit on the initial capital, compounded.
    trips = result.round_trips.to_pandas()
    daily = trips.groupby(trips["exit_dt"].dt.normalize())["profit"].sum() / result.capital
    wealth = np.cumprod(1 + daily.to_numpy())
    worst = float(np.min(wealth / np.maximum.accumulate(np.maximum(wealth, 1.0)) - 1))
    assert rows["Max Drawdown"][1] == f"{round(worst * 100, 2)}%"
    assert rows["Longest DD Days"][1] == str((daily.index[-1] - daily.index[0]).days + 1)
    assert rows["Total Return"][1] == f"{round((wealth[-1] - 1) * 100)}%"
    assert rows["Time in Market"][1] == "100.0%"  # every exit day has a profit or a loss
    # The period is the first to the last exit day; the return on risk capital is the total return over
    # the max drawdown, times 365 over the number of return days.
    first, last = daily.index[0], daily.index[-1]
    period = f"{first.day} {first:%b, %Y} - {last.day} {last:%b, %Y}"
    assert re.search(r"<dt>(.*?)</dt>", text).group(1).split() == period.split()
    on_risk = float(rows["Annualized Return on Risk Capital"][1].rstrip("%").replace(",", ""))
    assert on_risk == pytest.approx((wealth[-1] - 1) / abs(worst) * 365 / len(daily) * 100, abs=0.01)
    assert rows["Max Drawdown"][0].endswith("%") and rows["Max Drawdown"][0] != "%"  # the benchmark's too


def test_reports_speak_unless_quiet(losing_run, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(positions_module.console, "quiet", False)
    loud = losing_run.write_reports(tmp_path / "loud", quantstats=True)
    positions_module.console.flush()
    assert "HTML report saved to:" in capsys.readouterr().out
    quiet = losing_run.write_reports(tmp_path / "quiet", quiet=True)
    positions_module.console.flush()
    assert capsys.readouterr() == ("", "")
    assert positions_module.console.quiet is False
    assert len(loud) == len(quiet) == 4
