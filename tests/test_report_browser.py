"""The standard report in a real browser: headless Chromium driven by Selenium.

Needs Debian's `chromium` and `chromium-driver` and the `selenium` package; skipped with the reason
when one of them is missing. The screenshot lands in test-artifacts/ at the repository root.
"""

import os
import shutil
from datetime import datetime, timedelta
from pathlib import Path

import pytest

from test_reports import StubQuotes, profit_row, ts

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (pip install selenium)")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER),
    reason="chromium and chromedriver are not installed (apt-get install chromium chromium-driver)",
)
ARTIFACTS = Path(__file__).resolve().parent.parent / "test-artifacts"


@pytest.fixture
def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1700", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # Under the sanitizer run the runtime is preloaded into our process; the
    # browser is not built for it and must not inherit it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def session_bars():
    """Two stock sessions of one-minute bars with a gap between them."""
    bars, price = [], 600.0
    for day in (2, 3):
        start = datetime(2024, 1, day, 9, 0)
        for i in range(270):
            o = price
            price += (-1) ** (i // 7) * 0.5
            bars.append((start + timedelta(minutes=i), o, max(o, price) + 0.5, min(o, price) - 0.5, price, 1 + i % 13))
    return bars


DRAWN = """
  // Any canvas of the box with a non-white pixel means the chart was drawn.
  const drawn = sel => Array.from(document.querySelectorAll(sel + ' canvas')).some(c => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] && (d[i] < 200 || d[i + 1] < 200)) return true;
    return false;
  });
"""

ROWS = [
    dict(entry=ts(2024, 1, 2, 9, 15, 20), exit=ts(2024, 1, 2, 11, 2, 5), profit=3200.0),
    dict(entry=ts(2024, 1, 2, 12, 0, 59), exit=ts(2024, 1, 3, 9, 30, 0), profit=-800.0),
    # A closing print at 13:30:00 has no bar of its own.
    dict(entry=ts(2024, 1, 3, 10, 0, 1), exit=ts(2024, 1, 3, 13, 30, 0), profit=150.0),
]


@pytest.fixture
def report(mod, data_dir, console, browser):
    pos = mod.Positions()
    pos._profit_report["rows"].extend(profit_row(**r) for r in ROWS)
    pos.generate_standard_report("2330", StubQuotes(minutes=session_bars()))
    browser.get((data_dir / "report" / "2330-report.html").as_uri())
    return browser


def severe(browser):
    return [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]


def test_report_renders_chart_and_markers(report):
    state = report.execute_script(
        DRAWN + """
        const s = window.zkReport;
        if (!s || !s.ready) return null;
        const ts = s.chart.timeScale();
        return {bars: s.bars, markers: s.candles.markers().map(m => m.text),
                placed: s.markers.filter(m => ts.timeToCoordinate(m.time) !== null).length,
                drawn: drawn('#chart'), title: document.title,
                net: document.getElementById('net-profit').textContent};
        """
    )
    ARTIFACTS.mkdir(exist_ok=True)
    report.save_screenshot(str(ARTIFACTS / "standard-report.png"))
    assert severe(report) == []
    assert state is not None, "page script did not finish"
    assert state["bars"] == 540
    assert state["markers"] == [""] * 6  # one per entry and exit, without text by default
    assert state["placed"] == 6  # all on the time axis
    assert state["drawn"]
    assert state["title"] == "2330 回測報告"
    assert state["net"] == "2,550.00"


def test_labels_toggle_writes_the_marker_texts(report):
    report.find_element(By.ID, "show-labels").click()
    texts = report.execute_script("return window.zkReport.candles.markers().map(m => m.text)")
    assert texts == ["進 1 @ 600", "出 1 @ 610"] * 3  # the trades alternate in time
    report.find_element(By.ID, "show-labels").click()
    assert report.execute_script("return window.zkReport.candles.markers().map(m => m.text)") == [""] * 6


@pytest.mark.parametrize(
    "marker, expected",
    [
        (0, ["#1 進場 1 @ 600", "2024-01-02 09:15:20"]),
        (1, ["#1 出場 1 @ 610", "(原價 611)", "2024-01-02 11:02:05", "損益 3,200"]),
        (5, ["#3 出場 1 @ 610", "2024-01-03 13:30:00", "損益 150"]),  # pinned to the session's last bar
    ],
)
def test_hovering_a_marker_shows_its_trade(report, marker, expected):
    chart = report.find_element(By.ID, "chart")
    x, y, w, h = report.execute_script(
        """
        const s = window.zkReport, m = s.markers[arguments[0]];
        const bar = s.candles.data().find(b => b.time === m.time);
        const box = document.getElementById('chart').getBoundingClientRect();
        return [s.chart.timeScale().timeToCoordinate(m.time), s.candles.priceToCoordinate(bar.close),
                box.width, box.height];
        """,
        marker,
    )
    tip = report.find_element(By.ID, "trade-tip")
    assert not tip.is_displayed()
    ActionChains(report).move_to_element_with_offset(chart, int(x - w / 2), int(y - h / 2)).perform()
    WebDriverWait(report, 10).until(lambda d: tip.is_displayed())
    for part in expected:
        assert part in tip.text
    # Away from any trade the details go.
    ActionChains(report).move_to_element_with_offset(chart, int(-w / 2) + 5, int(-h / 2) + 5).perform()
    WebDriverWait(report, 10).until(lambda d: not tip.is_displayed())
    assert severe(report) == []


def test_equity_and_drawdown_curve_under_the_chart(report):
    state = report.execute_script(
        DRAWN + """
        const s = window.zkReport;
        const eq = s.equitySeries.data(), dd = s.drawdownSeries.data(), bars = s.candles.data();
        const at = t => eq.findIndex(p => p.time === t);
        const exitBar = s.markers.filter((m, i) => i % 2).map(m => m.time);
        return {n: eq.length, sameTimes: eq.every((p, i) => p.time === bars[i].time && dd[i].time === p.time),
                values: [eq[0].value, eq[at(exitBar[0])].value, eq[at(exitBar[0]) - 1].value,
                         eq[at(exitBar[1])].value, eq[eq.length - 1].value],
                worst: Math.min(...dd.map(p => p.value)), last: dd[dd.length - 1].value,
                drawn: drawn('#equity-chart'),
                below: document.getElementById('equity-chart').getBoundingClientRect().top >
                       document.getElementById('chart').getBoundingClientRect().bottom};
        """
    )
    assert state["n"] == 540 and state["sameTimes"]
    # 0 until the first exit, +3200 from its bar on, then -800 and +150.
    assert state["values"] == [0, 3200, 0, 2400, 2550]
    assert state["worst"] == -800 and state["last"] == -650
    assert state["drawn"] and state["below"]


def test_report_data_cannot_inject_markup_through_the_hover(mod, data_dir, console, browser):
    pos = mod.Positions()
    evil = "<img src=x onerror=window.hacked=1>"
    pos._profit_report["rows"].append(profit_row(exit_price=evil, entry=ts(2024, 1, 2, 9, 15), exit=ts(2024, 1, 2, 9, 20)))
    pos.generate_standard_report("2330", StubQuotes(minutes=session_bars()))
    browser.get((data_dir / "report" / "2330-report.html").as_uri())
    text = browser.execute_script("return window.zkReport.trades[window.zkReport.markers[1].time][0].text")
    assert evil in text
    chart = browser.find_element(By.ID, "chart")
    x, y, w, h = browser.execute_script(
        """
        const s = window.zkReport, m = s.markers[1];
        const bar = s.candles.data().find(b => b.time === m.time);
        const box = document.getElementById('chart').getBoundingClientRect();
        return [s.chart.timeScale().timeToCoordinate(m.time), s.candles.priceToCoordinate(bar.close),
                box.width, box.height];
        """
    )
    ActionChains(browser).move_to_element_with_offset(chart, int(x - w / 2), int(y - h / 2)).perform()
    tip = browser.find_element(By.ID, "trade-tip")
    WebDriverWait(browser, 10).until(lambda d: tip.is_displayed())
    assert evil in tip.text
    assert browser.execute_script("return [document.querySelectorAll('#trade-tip img').length, window.hacked]") == [0, None]


def test_report_without_bars_or_rows_opens_cleanly(mod, data_dir, console, browser):
    pos = mod.Positions()
    pos.generate_standard_report("0050", StubQuotes(minutes=[]))
    browser.get((data_dir / "report" / "0050-report.html").as_uri())
    shown = browser.execute_script(
        "return [window.zkReport.ready, getComputedStyle(document.getElementById('chart-empty')).display,"
        " getComputedStyle(document.getElementById('equity-empty')).display, window.zkReport.equity.length]")
    assert shown == [True, "block", "block", 0]
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
