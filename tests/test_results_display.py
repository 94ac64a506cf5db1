"""Results in a notebook: the HTML summaries, and plot() drawn offline in headless Chromium."""

import html
import os
import shutil
from datetime import date

import polars as pl
import pytest

from zopt_kelv_backtest import example, synthetic
from zopt_kelv_backtest.backtest import run_backtest
from zopt_kelv_backtest.backtest.display import sweep_html

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def result():
    from zopt_kelv_backtest.modules.positions import positions as core

    saved, core.console.quiet = core.console.quiet, True
    try:
        ticks = synthetic.generate_ticks(start=date(2024, 2, 1), days=2, seed=3)
        yield run_backtest(ticks, example.MovingAverageCross(fast=3, slow=12))
    finally:
        core.console.quiet = saved


def test_the_summary_shows_the_figures_days_and_codes(result):
    page = result._repr_html_()
    figures = result.summary()
    assert f"{figures['trade_count']:,}" in page and f"{figures['net_profit']:,.2f}" in page
    assert "open profit" in page and f"{len(result.days)} ({result.days[0].isoformat()}" in page
    assert ", ".join(result.codes) in page


def test_sweep_summary_escapes_and_ranks():
    frame = pl.DataFrame({"fast": [3, 5, 8], "label": ["<script>x</script>", "a&b", '"q"'],
                          "net_profit": [10.0, None, 30.0], "error": [None, "boom <b>", None],
                          "combination": ["k1", "k2", "k3"]})
    page = sweep_html(frame, rows=2)
    assert "<script>" not in page and "&lt;script&gt;" in page and "boom &lt;b&gt;" not in page
    assert "3 runs, 1 with an error" in page and "combination" not in page
    assert page.index(html.escape('"q"')) < page.index("&lt;script&gt;")  # best net profit first


def test_a_sweep_result_shows_its_best_runs_escaped(tmp_path):
    from zopt_kelv_backtest.sweep.run import SweepResult
    from zopt_kelv_backtest.sweep.store import _schema

    schema = _schema({"fast": 5, "label": "x"})
    base = dict.fromkeys(schema)
    runs = [{**base, "fast": f, "label": label, "code": "2330", "net_profit": profit, "trade_count": trades,
             "error": error, "combination": f"key{f}", "fingerprint": "f" * 40}
            for f, label, profit, trades, error in [(3, "<script>x</script>", 10.0, 4, None),
                                                    (5, "a&b", None, None, "boom <b>"), (8, '"q"', 30.0, 2, None),
                                                    (13, "idle", 99.0, 0, None)]]
    rows = pl.DataFrame(runs, schema=schema)
    sweep = SweepResult(rows=rows, results_path=tmp_path / "results.parquet", page_path=None, ran=4, skipped=0,
                        param_names=["fast", "label"], swept=["fast"])
    page = sweep._repr_html_()
    assert "4 runs, 1 with an error; best 3" in page
    assert "<script>" not in page and "boom" not in page and "key8" not in page and "f" * 40 not in page
    # The order of best(): traded runs by net profit, then the run without trades.
    cells = [html.escape('"q"'), "&lt;script&gt;x&lt;/script&gt;", "idle"]
    assert [page.index(c) for c in cells] == sorted(page.index(c) for c in cells)
    assert "a&amp;b" not in page


def test_plot_has_price_trips_equity_and_drawdown(result):
    fig = result.plot()
    names = [t.name for t in fig.data]
    assert names[0] == f"{result.codes[0]} close" and names[-2:] == ["equity", "drawdown"]
    markers = [t for t in fig.data if t.name.endswith(("entry", "exit"))]
    trips = result.round_trips.filter(pl.col("code") == result.codes[0])
    assert sum(len(t.x) for t in markers) == 2 * trips.height
    assert list(fig.data[-2].y) == result.equity["equity"].to_list()
    with pytest.raises(ValueError, match="not a traded code"):
        result.plot("0050")


@pytest.mark.skipif(not (CHROMIUM and CHROMEDRIVER), reason="chromium and chromedriver are not installed")
def test_the_saved_plot_draws_offline_without_errors(result, tmp_path):
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.wait import WebDriverWait

    path = result.write_html(tmp_path / "plot.html")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1200,900"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    try:
        driver.set_network_conditions(offline=True, latency=0, download_throughput=0, upload_throughput=0)
        driver.get("file://" + path)
        WebDriverWait(driver, 60).until(lambda d: d.execute_script(
            "return document.querySelectorAll('.plotly .scatterlayer .trace').length"))
        drawn = driver.execute_script("""
            const gd = document.querySelector('.js-plotly-plot');
            return [gd.data.length, document.querySelectorAll('.scatterlayer .trace').length,
                    document.querySelectorAll('.scatterlayer path.js-line').length,
                    performance.getEntriesByType('resource').map(e => e.name).filter(n => !n.startsWith('file:'))];""")
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    finally:
        driver.quit()
    traces, shown, lines, fetched = drawn
    assert traces == len(result.plot().data) and shown == traces
    assert lines >= 3  # price, equity, drawdown
    assert fetched == [] and errors == []
