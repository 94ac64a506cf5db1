"""Trade-log export, profit rows and the standard back-test report."""

import json
import os
import types
from datetime import datetime
from html.parser import HTMLParser

import polars as pl
import pytest


def ts(*args):
    """Epoch seconds of a local (Asia/Taipei, pinned by conftest) wall-clock time."""
    return datetime(*args).timestamp()


def profit_row(code="2330", entry=None, exit=None, profit=6445.0, **extra):
    row = {
        "code": code,
        "entry_dt": ts(2024, 1, 2, 9, 1, 59, 700000) if entry is None else entry,
        "entry_price": 600.0,
        "entry_origin_price": 599.0,
        "exit_dt": ts(2024, 1, 2, 10, 15, 30) if exit is None else exit,
        "exit_price": 610.0,
        "exit_origin_price": 611.0,
        "qty": 1,
        "min_qty": 1000,
        "trade_cost": 855,
        "cover_cost": 2700,
        "profit": profit,
        "profit_ratio": 0.0107,
    }
    row.update(extra)
    return row


class StubQuotes:
    """Offers get_kbar like QuoteManager, from fixed bars; records the calls."""

    def __init__(self, minutes=None, days=None, missing=()):
        self.calls = []
        self.minutes = minutes
        self.days = days
        self.missing = set(missing)

    def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):
        self.calls.append((code, unit, freq))
        if code in self.missing:
            raise KeyError(code)
        rows = self.days if unit == "d" else self.minutes
        if rows is None:
            rows = [(datetime(2024, 1, 2, 9, 0), 600.0, 602.0, 599.0, 601.0, 5),
                    (datetime(2024, 1, 2, 9, 1), 601.0, 603.0, 600.0, 602.5, 7)]
        return pl.DataFrame(
            [{"dt": d, "code": code, "Open": o, "High": h, "Low": lo, "Close": c, "Volume": v}
             for d, o, h, lo, c, v in rows],
            schema={"dt": pl.Datetime, "code": pl.Utf8, "Open": pl.Float64, "High": pl.Float64,
                    "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64},
        )


class RecordingTemplate:
    def __init__(self, text="<html>report</html>"):
        self.contexts = []
        self.text = text

    def render(self, *args, **kwargs):
        assert not kwargs and len(args) == 1
        self.contexts.append(args[0])
        return self.text


@pytest.fixture
def pos(mod):
    return mod.Positions()


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("."))


# --- trade-log export ---------------------------------------------------------------------


@pytest.fixture
def fixed_now(mod, monkeypatch):
    base = mod.datetime

    class Fixed(base):
        @classmethod
        def now(cls, tz=None):
            return base(2024, 5, 2, 13, 45, 1, 250000)

    monkeypatch.setattr(mod, "datetime", Fixed)


def test_export_trade_records_file_name_content_and_line(pos, mod, data_dir, console, fixed_now):
    pos.add_trade_record("T1", "2330", "Buy", 2, 100, ts(2024, 1, 2, 9, 0, 0, 500000), "Order")
    pos.add_trade_record("T1", "2330", "Buy", 2, 100.5, ts(2024, 1, 2, 9, 0, 1), "Deal")
    assert pos.export_trade_records() is None
    path = data_dir / "trade_records" / "2024-05-02 134501_trade_records.csv"
    assert path.read_text() == pl.DataFrame(pos.trade_records).write_csv()
    assert path.read_text().splitlines()[0] == "trade_id,code,action,quantity,price,dt,trade_status"
    assert console.lines == [f"[bold green]交易紀錄已匯出至: {path}[/bold green]"]
    # A second export in the same second replaces the file; nothing else is left behind.
    pos.add_trade_record("T2", "2330", "Sell", 2, 101, ts(2024, 1, 2, 10, 0), "Deal")
    pos.export_trade_records()
    assert len(pl.read_csv(path)) == 3
    assert os.listdir(path.parent) == [path.name]


def test_export_empty_log_still_writes(pos, data_dir, console, fixed_now):
    pos.export_trade_records()
    path = data_dir / "trade_records" / "2024-05-02 134501_trade_records.csv"
    assert path.exists()
    assert path.read_text() == pl.DataFrame([]).write_csv()
    assert len(console.lines) == 1


def test_export_failure_keeps_earlier_file(pos, mod, data_dir, console, fixed_now, monkeypatch):
    pos.add_trade_record("T1", "2330", "Buy", 1, 100, ts(2024, 1, 2, 9, 0), "Deal")
    pos.export_trade_records()
    path = data_dir / "trade_records" / "2024-05-02 134501_trade_records.csv"
    before = path.read_text()

    class Broken:
        def __init__(self, records):
            pass

        def write_csv(self, file):
            with open(file, "w") as f:
                f.write("partial")
            raise OSError("disk full")

    fake_pl = type("pl", (), {"DataFrame": Broken})
    monkeypatch.setattr(mod, "pl", fake_pl)
    with pytest.raises(OSError, match="disk full"):
        pos.export_trade_records()
    assert path.read_text() == before
    assert leftovers(path.parent) == []
    assert len(console.lines) == 1  # no line for the failed export


# --- profit rows ----------------------------------------------------------------------------


def test_profit_rows_by_code_are_the_stored_dicts_in_order(pos):
    rows = [profit_row("2330", profit=1.0), profit_row("MXF"), profit_row("2330", profit=2.0)]
    pos._profit_report["rows"].extend(rows)
    got = pos.get_profit_rows_by_code("2330")
    assert [r["profit"] for r in got] == [1.0, 2.0]
    assert got[0] is rows[0] and got[1] is rows[2]
    assert got is not pos.get_profit_rows_by_code("2330")
    assert pos.get_profit_rows_by_code("0050") == []
    pos._profit_report["rows"].append({"profit": 1})
    with pytest.raises(KeyError, match="code"):
        pos.get_profit_rows_by_code("2330")


# --- standard report -----------------------------------------------------------------------


def test_standard_report_context(pos, mod, data_dir, console, monkeypatch):
    template = RecordingTemplate()
    monkeypatch.setattr(mod, "template", template)
    mine = profit_row("2330", entry_price=600.0, 備註="中文")
    other = profit_row("MXF")
    pos._profit_report["rows"].extend([mine, other])
    quotes = StubQuotes()
    assert pos.generate_standard_report("2330", quotes) is None
    assert quotes.calls == [("2330", "m", 1)]

    path = data_dir / "report" / "2330-report.html"
    assert path.read_text(encoding="utf-8") == template.text
    assert console.lines == [
        "[bold green]產生 2330 的回測報告...[/bold green]",
        f"[bold green]回測基本報告已產生: {path}[/bold green]",
    ]
    (ctx,) = template.contexts
    assert list(ctx) == ["kbar_df", "profit_rows", "profit_rows_json", "include_profit_rows",
                         "fee_settings", "account_info"]
    assert json.loads(ctx["kbar_df"]) == [
        {"time": "2024-01-02 09:00:00", "code": "2330", "open": 600.0, "high": 602.0, "low": 599.0,
         "close": 601.0, "volume": 5},
        {"time": "2024-01-02 09:01:00", "code": "2330", "open": 601.0, "high": 603.0, "low": 600.0,
         "close": 602.5, "volume": 7},
    ]
    # The stored row itself now carries text times; other codes keep their numbers.
    assert ctx["profit_rows"] == [mine] and ctx["profit_rows"][0] is mine
    assert mine["entry_dt"] == "2024-01-02 09:01:59" and mine["exit_dt"] == "2024-01-02 10:15:30"
    assert isinstance(other["entry_dt"], float)
    assert ctx["profit_rows_json"] == json.dumps([mine])
    assert "\\u5099\\u8a3b" in ctx["profit_rows_json"]  # default json.dumps escapes non-ASCII
    assert json.loads(ctx["include_profit_rows"]) == [
        {"code": "2330", "type": "entry", "dt": "2024-01-02 09:01:00", "qty": 1, "price": 600.0,
         "origin_price": 599.0},
        {"code": "2330", "type": "exit", "dt": "2024-01-02 10:15:00", "qty": 1, "price": 610.0,
         "origin_price": 611.0},
    ]
    assert ctx["fee_settings"] is pos._fee_settings
    # Never traded: a fresh account info that is not stored.
    assert ctx["account_info"] == {k: 0 for k in ("entry_times", "cover_times", "receive_amount",
                                                  "payable_amount", "net_profit", "extra_fee", "profit")}
    assert pos._account_infos == {}


def test_standard_report_uses_stored_account_info(pos, mod, data_dir, console, monkeypatch):
    template = RecordingTemplate()
    monkeypatch.setattr(mod, "template", template)
    info = dict.fromkeys(("entry_times", "cover_times", "receive_amount", "payable_amount", "net_profit",
                          "extra_fee", "profit"), 3)
    pos._account_infos["2330"] = info
    pos.generate_standard_report("2330", StubQuotes())
    assert template.contexts[0]["account_info"] is info
    assert template.contexts[0]["profit_rows"] == []
    assert template.contexts[0]["include_profit_rows"] == "[]"


def test_second_standard_report_equals_the_first(pos, data_dir, console):
    pos._profit_report["rows"].extend([profit_row(), profit_row(entry=ts(2024, 1, 2, 9, 30), profit=-5.0)])
    pos.generate_standard_report("2330", StubQuotes())
    path = data_dir / "report" / "2330-report.html"
    first = path.read_bytes()
    rows_after_first = [dict(r) for r in pos._profit_report["rows"]]
    pos.generate_standard_report("2330", StubQuotes())
    assert path.read_bytes() == first
    assert pos._profit_report["rows"] == rows_after_first


class FrameQuotes:
    """Offers get_kbar with one fixed frame."""

    def __init__(self, frame):
        self.frame = frame

    def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):
        return self.frame


def bar_frame(n, **extra):
    """n one-minute bars with awkward texts and numbers, plus extra columns."""
    texts = ['2330', 'a"b\\c', "tab\tnl\ncr\rbs\bff\f\x01\x1f\x7f", "中文", "\U0001f600", ""]
    floats = [600.0, -0.0, 1e16, 1.5e-05, 0.1 + 0.2, float("nan"), float("inf"), float("-inf"), None, 123456789.125]
    ints = [5, -1, 0, None, 2**62]
    return pl.DataFrame({
        "dt": pl.Series([datetime(2024, 1, 2, 9, i % 60) if i % 7 else None for i in range(n)], dtype=pl.Datetime),
        "code": [texts[i % len(texts)] for i in range(n)],
        "Open": [floats[i % len(floats)] for i in range(n)],
        "High": [float(i) for i in range(n)],
        "Low": [floats[(i + 3) % len(floats)] for i in range(n)],
        "Close": [i / 3 for i in range(n)],
        "Volume": [ints[i % len(ints)] for i in range(n)],
        **extra,
    })


def expected_bars_json(frame):
    frame = frame.with_columns(pl.col("dt").dt.strftime("%Y-%m-%d %H:%M:%S").alias("dt")).rename(
        {"dt": "time", "Open": "open", "High": "high", "Low": "low", "Close": "close", "Volume": "volume"})
    return json.dumps(frame.to_dicts())


@pytest.mark.parametrize("frame", [
    bar_frame(0),
    bar_frame(23),
    bar_frame(20_000),  # more rows than one slice of the writer
    bar_frame(12, flag=[i % 3 == 0 if i % 4 else None for i in range(12)],
              big=pl.Series([2**64 - 1 - i for i in range(12)], dtype=pl.UInt64),
              tags=[["x", str(i)] for i in range(12)],
              point=[{"x": i, "y": "\u00e9"} for i in range(12)],
              **{"k\u00e9y \"q\"": [1.0] * 12}),
], ids=["empty", "small", "slices", "other-kinds"])
def test_standard_report_bar_json_is_json_dumps_text(pos, mod, data_dir, console, monkeypatch, frame):
    template = RecordingTemplate()
    monkeypatch.setattr(mod, "template", template)
    pos.generate_standard_report("2330", FrameQuotes(frame))
    (ctx,) = template.contexts
    assert ctx["kbar_df"] == expected_bars_json(frame)


def test_standard_report_bar_value_json_cannot_write(pos, data_dir, console):
    frame = bar_frame(3, day=[datetime(2024, 1, 2).date()] * 3)
    with pytest.raises(TypeError, match="date is not JSON serializable"):
        expected_bars_json(frame)
    with pytest.raises(TypeError, match="date is not JSON serializable"):
        pos.generate_standard_report("2330", FrameQuotes(frame))
    assert os.listdir(data_dir / "report") == []


class RenderOnly:
    """Renders through a real template's render(), the only way a non-jinja template can."""

    def __init__(self, template):
        self.template = template

    def render(self, context):
        return self.template.render(context)


def test_real_template_page_written_in_pieces_equals_render(pos, mod, data_dir, console, monkeypatch):
    pos._profit_report["rows"].extend([profit_row(), profit_row(entry=ts(2024, 1, 2, 9, 30), profit=-5.0)])
    frame = bar_frame(10_000)
    assert len(expected_bars_json(frame)) > 2**20  # long enough to be written in slices
    quotes = FrameQuotes(frame)
    pos.generate_standard_report("2330", quotes)
    path = data_dir / "report" / "2330-report.html"
    streamed = path.read_bytes()
    monkeypatch.setattr(mod, "template", RenderOnly(mod.template))
    pos.generate_standard_report("2330", quotes)
    assert path.read_bytes() == streamed
    assert b"\\ud83d\\ude00" in streamed and "中文".encode() not in streamed.split(b"kbar-data")[1][:2000]


def test_real_template_failing_midway_keeps_earlier_report(pos, mod, data_dir, console, monkeypatch):
    pos._profit_report["rows"].append(profit_row())
    pos.generate_standard_report("2330", StubQuotes())
    path = data_dir / "report" / "2330-report.html"
    first = path.read_bytes()

    class Boom(dict):
        """Fails when the page reaches the fee table, after its head was written."""

        def items(self):
            raise RuntimeError("boom")

    monkeypatch.setattr(pos, "_fee_settings", Boom(pos._fee_settings))
    with pytest.raises(RuntimeError, match="boom"):
        pos.generate_standard_report("2330", StubQuotes())
    assert path.read_bytes() == first
    assert leftovers(data_dir / "report") == []


def test_standard_report_without_bars_raises_after_first_line(pos, data_dir, console):
    pos._profit_report["rows"].append(profit_row())
    with pytest.raises(KeyError):
        pos.generate_standard_report("2330", StubQuotes(missing={"2330"}))
    assert console.lines == ["[bold green]產生 2330 的回測報告...[/bold green]"]
    assert isinstance(pos._profit_report["rows"][0]["entry_dt"], float)
    assert os.listdir(data_dir / "report") == []


@pytest.mark.parametrize("failure", ["render", "write"])
def test_standard_report_failure_keeps_earlier_report(pos, mod, data_dir, console, monkeypatch, failure):
    pos.generate_standard_report("2330", StubQuotes())
    path = data_dir / "report" / "2330-report.html"
    before = path.read_bytes()
    if failure == "render":
        class Broken:
            def render(self, context):
                raise RuntimeError("template broke")
        monkeypatch.setattr(mod, "template", Broken())
    else:
        real_open = open

        class HalfWritten:
            def __init__(self, *a, **k):
                self.f = real_open(*a, **k)

            def write(self, text):
                self.f.write(text[:100])
                raise RuntimeError("disk full")

            def close(self):
                self.f.close()

        monkeypatch.setattr(mod, "open", HalfWritten, raising=False)
    with pytest.raises(RuntimeError):
        pos.generate_standard_report("2330", StubQuotes())
    assert path.read_bytes() == before
    assert leftovers(path.parent) == []
    assert console.lines[-1].startswith("[bold green]產生 ")


@pytest.mark.parametrize("code", ["", ".", "..", "a/b", "/abs", "../up", "x\0y"])
@pytest.mark.parametrize("method", ["generate_standard_report", "generate_qs_profit_report"])
def test_reports_reject_path_unsafe_codes(pos, data_dir, console, code, method):
    pos._profit_report["rows"].append(profit_row(code))
    with pytest.raises(ValueError) as err:
        getattr(pos, method)(code, StubQuotes())
    assert str(err.value) == "不支援的商品代號: " + code
    assert not data_dir.exists()
    assert console.lines == []


class TagCounter(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags = []
        self.scripts = []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        if tag == "script":
            self.scripts.append(dict(attrs))

    def handle_data(self, data):
        if self.tags and self.tags[-1] == "script" and len(self.scripts) and "body" not in self.scripts[-1]:
            self.scripts[-1]["body"] = data


def test_real_template_escapes_every_value(pos, data_dir, console):
    code = "<img src=x onerror=alert(1)>"
    evil = "</script><script>alert(2)</script><b>"
    pos._profit_report["rows"].append(profit_row(code, note=evil))
    pos._fee_settings["stock"]["slippage"]["buy"]["direction"] = evil
    pos._account_infos[code] = {"entry_times": evil}
    pos.generate_standard_report(code, StubQuotes())
    html = (data_dir / "report" / f"{code}-report.html").read_text(encoding="utf-8")
    parser = TagCounter()
    parser.feed(html)
    assert "img" not in parser.tags and "b" not in parser.tags
    json_blocks = {s["id"]: json.loads(s["body"]) for s in parser.scripts if s.get("type") == "application/json"}
    assert json_blocks["kbar-data"][0]["code"] == code
    assert json_blocks["profit-data"][0]["note"] == evil
    assert [m["type"] for m in json_blocks["marker-data"]] == ["entry", "exit"]
    assert len(parser.scripts) == 5  # three data blocks, the chart library and the page script
    assert "&lt;img src=x onerror=alert(1)&gt;" in html


def test_real_template_summary_figures(pos, data_dir, console):
    pos._profit_report["rows"].extend([
        profit_row(profit=1000.0, trade_cost=10, cover_cost=20),
        profit_row(profit=-250.5, trade_cost=1, cover_cost=2),
        profit_row(profit=0, trade_cost=0, cover_cost=0),
    ])
    pos.generate_standard_report("2330", StubQuotes())
    html = (data_dir / "report" / "2330-report.html").read_text(encoding="utf-8")
    assert 'id="net-profit">749.50<' in html
    assert 'id="win-rate">33.3%<' in html
    assert 'id="round-trips">3<' in html
    assert 'id="total-costs">33.00<' in html
    assert "lightweight" in html.lower() and "<script src=" not in html  # chart library is inline


# --- names and cells of the written files ---------------------------------------------------


@pytest.mark.parametrize("method, suffix", [("generate_standard_report", "-report.html"),
                                            ("generate_qs_profit_report", "-profit_report.html")])  # fmt: skip
def test_long_codes_fit_the_name_limit_or_are_refused_before_writing(pos, mod, data_dir, console, monkeypatch,
                                                                    method, suffix):  # fmt: skip
    """The hidden temporary name never outgrows the final one's room: a code
    whose final name fits is written; a longer one is refused up front."""
    monkeypatch.setattr(mod, "qs", types.SimpleNamespace(
        utils=mod.qs.utils,
        reports=types.SimpleNamespace(html=lambda **kw: open(kw["output"], "w").write("qs")),
    ))  # fmt: skip
    days = [(datetime(2024, 1, d), 1.0, 1.0, 1.0, 130.0 + d, 10) for d in range(1, 8)]
    fits = "C" * (255 - len(suffix))
    for code in (fits, "中" * ((255 - len(suffix)) // 3)):
        pos._profit_report["rows"].append(profit_row(code))
        getattr(pos, method)(code, StubQuotes(days=days))
        assert any(n == code + suffix for _, _, files in os.walk(data_dir) for n in files)
    too_long = fits + "C"
    pos._profit_report["rows"].append(profit_row(too_long))
    written = sorted(str(p) for p in data_dir.rglob("*"))
    with pytest.raises(ValueError, match="不支援的商品代號"):
        getattr(pos, method)(too_long, StubQuotes(days=days))
    assert sorted(str(p) for p in data_dir.rglob("*")) == written


FORMULAS = ["=2+5+cmd|' -C calc'!A0", "+1+1", "-2+3", "@SUM(A1)", "\tx", "\rx"]


def test_trade_log_cells_cannot_start_a_formula(pos, data_dir, console, fixed_now):
    for i, text in enumerate(FORMULAS):
        pos.add_trade_record(f"{text}-{i}", text, "Buy", 1, -5.5, ts(2024, 1, 2, 9, 0), "Deal")
    pos.add_trade_record("-7", "2330", "Sell", 1, 100, ts(2024, 1, 2, 9, 1), "Deal")
    pos.export_trade_records()
    path = data_dir / "trade_records" / "2024-05-02 134501_trade_records.csv"
    df = pl.read_csv(path, schema_overrides={"trade_id": pl.String, "code": pl.String})
    assert df["code"].to_list() == ["'" + t for t in FORMULAS] + ["2330"]
    assert df["trade_id"].to_list() == [f"'{t}-{i}" for i, t in enumerate(FORMULAS)] + ["-7"]
    assert df["price"].to_list() == [-5.5] * len(FORMULAS) + [100.0]  # numbers stay numbers
    assert [r["code"] for r in pos.trade_records[:-1]] == FORMULAS  # the log itself is unchanged
