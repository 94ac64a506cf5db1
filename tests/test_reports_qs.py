"""The QuantStats profit report: daily returns, benchmark, CSV and the mended edge cases."""

import os
import types
from datetime import datetime

import pandas as pd
import pytest

from test_reports import StubQuotes, leftovers, profit_row, ts

DAYS_0050 = [(datetime(2024, 1, d), 1.0, 1.0, 1.0, 130.0 + d, 10) for d in range(1, 8)]


@pytest.fixture
def fake_qs(mod, monkeypatch):
    """The real qs.utils with a recording reports.html that writes a small page."""
    calls = []

    def html(**kwargs):
        calls.append(kwargs)
        with open(kwargs["output"], "w", encoding="utf-8") as f:
            f.write("<html>qs</html>")
        print(f"HTML report saved to: {kwargs['output']}")

    fake = types.SimpleNamespace(utils=mod.qs.utils, reports=types.SimpleNamespace(html=html))
    monkeypatch.setattr(mod, "qs", fake)
    return calls


@pytest.fixture
def pos(mod):
    return mod.Positions()


def out_paths(data_dir, code="2330"):
    folder = data_dir / "kelv" / "profit_report"
    return folder / f"{code}-profit_report.html", folder / f"{code}-profit_report.csv"


def test_no_rows_prints_one_line_and_makes_nothing(pos, data_dir, console, fake_qs):
    pos._profit_report["rows"].append(profit_row("MXF"))
    assert pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050)) is None
    assert console.lines == ["[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"]
    assert not data_dir.exists() and fake_qs == []


@pytest.mark.parametrize("as_text", [False, True], ids=["numeric-exit", "text-exit"])
def test_daily_returns_benchmark_and_files(pos, data_dir, console, fake_qs, capsys, as_text):
    rows = [
        profit_row(exit=ts(2024, 1, 2, 9, 30), profit=1000.0),
        profit_row(exit=ts(2024, 1, 2, 13, 0), profit=500.0),
        profit_row(exit=ts(2024, 1, 4, 10, 0), profit=-300.0),
    ]
    if as_text:  # the form the standard report leaves behind
        for r in rows:
            r["exit_dt"] = datetime.fromtimestamp(r["exit_dt"]).strftime("%Y-%m-%d %H:%M:%S")
    pos._profit_report["rows"].extend(rows)
    pos.set_initial_capital(1_000_000)
    quotes = StubQuotes(days=DAYS_0050)
    pos.generate_qs_profit_report("2330", quotes)
    assert quotes.calls == [("0050", "d", 1)]
    html_path, csv_path = out_paths(data_dir)

    (kw,) = fake_qs
    assert list(kw) == ["returns", "download_filename", "output", "rf", "title", "benchmark", "benchmark_title"]
    assert kw["download_filename"] == str(html_path)
    assert os.path.dirname(kw["output"]) == str(html_path.parent) and kw["output"] != str(html_path)
    assert (kw["rf"], kw["title"], kw["benchmark_title"]) == (0.04, "進階損益報告", "0050")
    returns = kw["returns"]
    assert list(returns.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-04")]
    assert list(returns) == pytest.approx([0.0015, -0.0003])
    # Benchmark: 0050 closes of 2 to 4 January, as returns.
    assert list(kw["benchmark"].index) == [pd.Timestamp(f"2024-01-0{d}") for d in (2, 3, 4)]
    assert list(kw["benchmark"])[1:] == pytest.approx([133 / 132 - 1, 134 / 133 - 1])

    assert html_path.read_text() == "<html>qs</html>"
    assert leftovers(html_path.parent) == []
    raw = csv_path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    df = pd.read_csv(csv_path, encoding="utf-8-sig")
    assert list(df.columns) == list(rows[0])
    assert list(df["exit_dt"]) == ["2024-01-02 09:30:00", "2024-01-02 13:00:00", "2024-01-04 10:00:00"]
    assert console.lines == [
        f"[bold green]進階損益報告已產生: {html_path}[/bold green]",
        f"[bold green]損益報告 CSV 已產生: {csv_path}[/bold green]",
    ]
    # The library's own line names the real file, not the temporary one.
    assert capsys.readouterr().out == f"HTML report saved to: {html_path}\n"
    assert isinstance(rows[0]["exit_dt"], str if as_text else float)  # stored rows untouched


def test_one_day_is_padded_with_the_next(pos, data_dir, console, fake_qs):
    pos._profit_report["rows"].extend([profit_row(exit=ts(2024, 1, 3, 9, 5), profit=100.0)] * 2)
    pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050))
    returns = fake_qs[0]["returns"]
    assert list(returns.index) == [pd.Timestamp("2024-01-03"), pd.Timestamp("2024-01-04")]
    assert list(returns) == pytest.approx([200 / 100000, 0.0])
    assert len(fake_qs[0]["benchmark"]) == 2


def test_unreadable_exit_is_blank_and_ignored(pos, data_dir, console, fake_qs):
    pos._profit_report["rows"].extend([
        profit_row(exit="not a time", profit=999.0),
        profit_row(exit=float("nan"), profit=999.0),
        profit_row(exit=ts(2024, 1, 2, 10, 0), profit=100.0),
        profit_row(exit=ts(2024, 1, 5, 10, 0), profit=50.0),
    ])
    pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050))
    returns = fake_qs[0]["returns"]
    assert list(returns) == pytest.approx([0.001, 0.0005])
    df = pd.read_csv(out_paths(data_dir)[1], encoding="utf-8-sig", keep_default_na=False)
    assert list(df["exit_dt"]) == ["", "", "2024-01-02 10:00:00", "2024-01-05 10:00:00"]


def test_no_readable_exit_writes_csv_only(pos, data_dir, console, fake_qs):
    pos._profit_report["rows"].append(profit_row(exit="garbage"))
    assert pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050)) is None
    html_path, csv_path = out_paths(data_dir)
    assert csv_path.exists() and not html_path.exists()
    assert fake_qs == []
    assert len(console.lines) == 1 and console.lines[0].startswith("[red]")


@pytest.mark.parametrize("quotes", [
    StubQuotes(missing={"0050"}),
    StubQuotes(days=[(datetime(2023, 12, 1), 1.0, 1.0, 1.0, 100.0, 1)]),
], ids=["no-0050-ticks", "no-bars-in-window"])
def test_missing_benchmark_gives_report_without_it(pos, data_dir, console, fake_qs, quotes):
    pos._profit_report["rows"].append(profit_row())
    pos.generate_qs_profit_report("2330", quotes)
    assert fake_qs[0]["benchmark"] is None
    assert console.lines[0].startswith("[yellow]") and "0050" in console.lines[0]
    assert out_paths(data_dir)[0].exists()
    assert len(console.lines) == 3


def test_other_kbar_errors_propagate(pos, data_dir, console, fake_qs):
    class Broken(StubQuotes):
        def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):
            raise KeyError("dt")

    pos._profit_report["rows"].append(profit_row())
    with pytest.raises(KeyError, match="dt"):
        pos.generate_qs_profit_report("2330", Broken())
    assert out_paths(data_dir)[1].exists()  # the CSV comes first
    assert console.lines == []


def test_library_failure_keeps_earlier_report(pos, mod, data_dir, console, fake_qs, monkeypatch):
    pos._profit_report["rows"].append(profit_row())
    pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050))
    html_path, _ = out_paths(data_dir)

    def broken(**kwargs):
        with open(kwargs["output"], "w") as f:
            f.write("half")
        raise ValueError("plot failed")

    monkeypatch.setattr(mod.qs.reports, "html", broken)
    with pytest.raises(ValueError, match="plot failed"):
        pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050))
    assert html_path.read_text() == "<html>qs</html>"
    assert leftovers(html_path.parent) == []


def test_real_report_library(pos, data_dir, console, capsys):
    pos._profit_report["rows"].extend([
        profit_row(exit=ts(2024, 1, 2, 10, 0), profit=1500.0),
        profit_row(exit=ts(2024, 1, 3, 10, 0), profit=-400.0),
        profit_row(exit=ts(2024, 1, 5, 10, 0), profit=800.0),
    ])
    pos.generate_qs_profit_report("2330", StubQuotes(days=DAYS_0050))
    html_path, csv_path = out_paths(data_dir)
    text = html_path.read_text(encoding="utf-8")
    assert "進階損益報告" in text and "0050" in text
    assert sorted(os.listdir(html_path.parent)) == [csv_path.name, html_path.name]
    assert str(html_path) in capsys.readouterr().out


def test_profit_csv_cells_cannot_start_a_formula(pos, data_dir, console, fake_qs):
    code = "=2+5+cmd|' -C calc'!A0"
    pos._profit_report["rows"].extend([profit_row(code, exit=ts(2024, 1, 2, 9, 30), profit=-1000.0, note="@x"),
                                       profit_row(code, exit=ts(2024, 1, 3, 9, 30), profit=500.0, note="-1.5")])
    pos.generate_qs_profit_report(code, StubQuotes(days=DAYS_0050))
    _, csv_path = out_paths(data_dir, code)
    df = pd.read_csv(csv_path, encoding="utf-8-sig", dtype={"note": str})
    assert df["code"].tolist() == ["'" + code] * 2
    assert df["note"].tolist() == ["'@x", "-1.5"]  # a text that reads as a number stays as it is
    assert df["profit"].tolist() == [-1000.0, 500.0]
    assert pos._profit_report["rows"][0]["code"] == code
