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


def test_report_renders_chart_and_markers(mod, data_dir, console, browser):
    pos = mod.Positions()
    pos._profit_report["rows"].extend([
        profit_row(entry=ts(2024, 1, 2, 9, 15, 20), exit=ts(2024, 1, 2, 11, 2, 5), profit=3200.0),
        profit_row(entry=ts(2024, 1, 2, 12, 0, 59), exit=ts(2024, 1, 3, 9, 30, 0), profit=-800.0),
        # A closing print at 13:30:00 has no bar of its own.
        profit_row(entry=ts(2024, 1, 3, 10, 0, 1), exit=ts(2024, 1, 3, 13, 30, 0), profit=150.0),
    ])
    pos.generate_standard_report("2330", StubQuotes(minutes=session_bars()))
    page = data_dir / "report" / "2330-report.html"

    browser.get(page.as_uri())
    state = browser.execute_script(
        """
        const s = window.zkReport;
        if (!s || !s.ready) return null;
        const ts = s.chart.timeScale();
        // Any canvas with a non-white pixel means the chart was drawn.
        const drawn = Array.from(document.querySelectorAll('#chart canvas')).some(c => {
          const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
          for (let i = 0; i < d.length; i += 4) if (d[i + 3] && (d[i] < 200 || d[i + 1] < 200)) return true;
          return false;
        });
        return {bars: s.bars, markers: s.candles.markers().length,
                placed: s.markers.filter(m => ts.timeToCoordinate(m.time) !== null).length,
                drawn: drawn, title: document.title,
                net: document.getElementById('net-profit').textContent};
        """
    )
    ARTIFACTS.mkdir(exist_ok=True)
    browser.save_screenshot(str(ARTIFACTS / "standard-report.png"))
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []
    assert state is not None, "page script did not finish"
    assert state["bars"] == 540
    assert state["markers"] == 6 and state["placed"] == 6  # one per entry and exit, all on the time axis
    assert state["drawn"]
    assert state["title"] == "2330 回測報告"
    assert state["net"] == "2,550.00"


def test_report_without_bars_or_rows_opens_cleanly(mod, data_dir, console, browser):
    pos = mod.Positions()
    pos.generate_standard_report("0050", StubQuotes(minutes=[]))
    browser.get((data_dir / "report" / "0050-report.html").as_uri())
    shown = browser.execute_script(
        "return [window.zkReport.ready, getComputedStyle(document.getElementById('chart-empty')).display]")
    assert shown == [True, "block"]
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
