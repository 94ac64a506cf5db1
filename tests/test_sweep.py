import contextlib
import io
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
from datetime import date, datetime
from pathlib import Path
from zoneinfo import ZoneInfo

import polars as pl
import pytest
from rich.console import Console

from zopt_kelv_backtest import sweep
from zopt_kelv_backtest.sweep import SweepInputError, SyntheticTicks, Window

TESTS = Path(__file__).resolve().parent
SMALL = SyntheticTicks(days=2)
GRID = {"fast": [5, 10], "slow": [30, 60]}  # x 2 codes: 8 runs of two trading days


def bits(frame: pl.DataFrame) -> list[tuple]:
    """Rows of the figures, floats as their exact bit patterns, keyed by combination."""
    out = []
    for row in frame.sort("combination").iter_rows(named=True):
        cells = [row["combination"], row["error"]]
        for name in sweep.FIGURES:
            value = row[name]
            cells.append(struct.pack("<d", value) if isinstance(value, float) else value)
        out.append(tuple(cells))
    return out


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def serial(tmp_path_factory):
    """The reference: the grid run one combination after another in this process."""
    out = tmp_path_factory.mktemp("serial")
    return sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=out, workers=1, progress=False)


# --- input ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("items, message", [
    (["fast"], "use NAME=V1,V2"),
    (["=5"], "use NAME=V1,V2"),
    (["fast="], "empty grid"),
    (["fast= , ,"], "empty grid"),
    (["fast=5", "fast=6"], "given twice"),
])
def test_bad_grid_items(items, message):
    with pytest.raises(SweepInputError, match=message):
        sweep.parse_grid(items)


def test_grid_values_take_the_type_of_the_default():
    plan = sweep.plan_sweep(
        "sweep_strategies:Momentum",
        sweep.parse_grid(["up=2, 3,2", "short=true,0", "scale=1,2.5", "label=a,b"]),
        ticks=SMALL, codes=["MXF"])
    assert plan.grid == {"up": [2, 3], "short": [True, False], "scale": [1.0, 2.5], "label": ["a", "b"]}
    assert [type(v) for v in plan.grid["scale"]] == [float, float]
    assert len(plan.combinations) == 16
    # Parameters left out of the grid keep their defaults in every combination.
    assert {dict(c.params)["down"] for c in plan.combinations} == {3}
    assert len({c.key for c in plan.combinations}) == 16


@pytest.mark.parametrize("grid, message", [
    ({"nope": ["1"]}, r"nope: unknown parameter of Momentum \(parameters: up, down, short, scale, label\)"),
    ({"up": ["1.5"]}, "parameter 'up'"),
    ({"up": [True]}, "takes int values, got bool"),
    ({"scale": ["nan"]}, "not a finite number"),
    ({"scale": [float("inf")]}, "not a finite number"),
    ({"short": ["maybe"]}, "not a boolean"),
    ({"up": []}, "empty grid"),
    ({"up": "12"}, "list of values"),
])
def test_bad_grid_values(grid, message):
    with pytest.raises(SweepInputError, match=message):
        sweep.plan_sweep("sweep_strategies:Momentum", grid, ticks=SMALL)


@pytest.mark.parametrize("name, message", [
    ("sweep_strategies", "use module:Class"),
    ("no_such_module_here:X", "cannot import 'no_such_module_here'"),
    ("sweep_strategies:Nope", "has no 'Nope'"),
    ("sweep_strategies:NotAStrategy", "not a Strategy subclass"),
])
def test_bad_strategy(name, message):
    with pytest.raises(SweepInputError, match=message):
        sweep.plan_sweep(name, {}, ticks=SMALL)


def test_windows_parse_and_reject():
    first, day = sweep.parse_windows("2024-02-01:2024-02-07, 2024-02-08")
    assert (first.start, first.end) == (date(2024, 2, 1), date(2024, 2, 7))
    assert day.label == "2024-02-08:2024-02-08"
    for text, message in [("2024-02-07:2024-02-01", "ends before it starts"), ("2024-02-30", "not a date"),
                          ("2024-02-01,2024-02-01", "given twice"), (" , ", "no window")]:
        with pytest.raises(SweepInputError, match=message):
            sweep.parse_windows(text)


def test_window_keeps_whole_taipei_days():
    taipei = ZoneInfo("Asia/Taipei")
    at = lambda *a: datetime(*a, tzinfo=taipei).timestamp()  # noqa: E731
    times = [at(2024, 2, 1, 23, 59, 59), at(2024, 2, 2, 0, 0), at(2024, 2, 3, 23, 59, 59, 999000),
             at(2024, 2, 4, 0, 0), at(2024, 2, 4, 9, 0)]
    ticks = [{"timestamp": t} for t in times]
    kept = list(sweep.backends._window_ticks(iter(ticks), Window(date(2024, 2, 2), date(2024, 2, 3))))
    assert [t["timestamp"] for t in kept] == times[1:3]


def test_a_window_runs_only_its_days(tmp_path):
    # The stock trades only in the day session: its first day alone, cut from a longer set, is the one-day set.
    kwargs = dict(grid={"fast": [5]}, ticks=SMALL, codes=["2330"], workers=1, progress=False)
    cut = sweep.run_sweep(windows=sweep.parse_windows("2024-02-01"), out_dir=tmp_path / "a", **kwargs)
    one = sweep.run_sweep(grid={"fast": [5]}, ticks=SyntheticTicks(days=1), codes=["2330"], out_dir=tmp_path / "b",
                          workers=1, progress=False)
    (first,) = cut.rows.iter_rows(named=True)
    assert first["window"] == "2024-02-01:2024-02-01" and one.rows["window"][0] == "all"
    same = ("net_profit", "trade_count", "win_rate", "total_cost")
    assert first["trade_count"] > 0 and [first[k] for k in same] == [one.rows[k][0] for k in same]
    # A window without a tick of a traded code would give an empty row: refused before any run.
    with pytest.raises(SweepInputError, match="--windows 2024-03-01:2024-03-01: no ticks for 2330"):
        sweep.run_sweep(windows=sweep.parse_windows("2024-02-01,2024-03-01"), out_dir=tmp_path / "c", **kwargs)
    assert not (tmp_path / "c").exists()


def test_codes_default_to_all_but_the_benchmark_and_must_exist():
    plan = sweep.plan_sweep(grid={"fast": ["5"]}, ticks=SMALL)
    assert plan.codes == ["2330", "MXF"]
    with pytest.raises(SweepInputError, match="no ticks for TXF"):
        sweep.plan_sweep(grid={}, ticks=SMALL, codes=["MXF", "TXF"])


def test_tick_file_checked_up_front(tmp_path):
    good = tmp_path / "ticks.csv"
    good.write_text("timestamp,code,market_type,close,qty\n"
                    "2024-02-01 09:00:01,0050,Stock,130,1\n2024-02-01 09:00:02,2330,Stock,580,2\n")
    plan = sweep.plan_sweep(grid={}, ticks=good)
    assert plan.codes == ["2330"] and plan.ticks == str(good)
    bad = tmp_path / "bad.csv"
    bad.write_text("timestamp,code,market_type,close,qty\n2024-02-01 09:00:01,2330,Stock,-5,1\n")
    with pytest.raises(SweepInputError, match="row 1: bad close"):
        sweep.plan_sweep(grid={}, ticks=bad)
    with pytest.raises(SweepInputError, match="not found"):
        sweep.plan_sweep(grid={}, ticks=tmp_path / "missing.parquet")


# --- results folder ------------------------------------------------------------------------------


def test_store_merges_parts_and_a_later_row_wins(tmp_path):
    store = sweep.ResultStore(tmp_path, {"up": 3})
    combo = sweep.Combination((("up", 3),), "MXF", None)
    first = sweep.plan._row(combo, dict.fromkeys(sweep.FIGURES), 0.5, "RuntimeError: boom")
    store.parts.mkdir()
    store.add(first)
    assert store.compact()["error"].to_list() == ["RuntimeError: boom"]
    again = sweep.plan._row(combo, dict(zip(sweep.FIGURES, (1.0, 2, 0.5, 3.0, 4.0, 0.25))), 0.5, None)
    store.add(again)
    (store.parts / ".leftover.parquet.tmp").write_bytes(b"half a file")
    rows = store.compact()
    assert rows.height == 1 and rows["error"][0] is None and rows["trade_count"][0] == 2
    assert pl.read_parquet(store.path).equals(rows)
    store.clean_leftovers()
    assert list(store.parts.iterdir()) == []


def test_folder_of_another_sweep_is_refused(tmp_path):
    kwargs = dict(ticks=SyntheticTicks(days=1), codes=["MXF"], workers=1, progress=False)
    plain = sweep.run_sweep("sweep_strategies:Momentum", {"up": [9]}, out_dir=tmp_path, **kwargs)
    fees = {"future": {"buy": {"per_trade_cost": 100}, "sell": {"per_trade_cost": 100}}}
    costly = sweep.run_sweep("sweep_strategies:Momentum", {"up": [9]}, out_dir=tmp_path / "fees",
                             fee_settings=fees, **kwargs)
    trips = plain.rows["trade_count"][0]
    assert trips > 0 and costly.rows["trade_count"][0] == trips
    assert costly.rows["total_cost"][0] > plain.rows["total_cost"][0] + 100 * trips  # the fees reach the runs
    with pytest.raises(SweepInputError, match="holds a sweep with fee_settings None"):
        sweep.run_sweep("sweep_strategies:Momentum", {"up": [9]}, out_dir=tmp_path, fee_settings=fees, **kwargs)
    with pytest.raises(SweepInputError, match="holds a sweep with strategy"):
        sweep.run_sweep(grid={}, ticks=SyntheticTicks(days=1), out_dir=tmp_path, workers=1, progress=False)
    with pytest.raises(SweepInputError, match="holds a sweep with ticks"):
        sweep.run_sweep("sweep_strategies:Momentum", {}, ticks=SyntheticTicks(days=1, seed=8), out_dir=tmp_path,
                        workers=1, progress=False)


def test_failing_strategy_gets_its_error_row_and_the_sweep_goes_on(tmp_path):
    kwargs = dict(ticks=SyntheticTicks(days=1), codes=["MXF"], out_dir=tmp_path, workers=1, progress=False)
    result = sweep.run_sweep("sweep_strategies:FailsOnUp", {"up": [2, 3]}, **kwargs)
    rows = {r["up"]: r for r in result.rows.iter_rows(named=True)}
    assert rows[2]["error"] == "RuntimeError: no trading on MXF with [b]up=2[/b]"
    assert rows[2]["net_profit"] is None and rows[3]["error"] is None and rows[3]["trade_count"] > 0
    assert result.failed.height == 1 and result.best()["up"].to_list() == [3]
    again = sweep.run_sweep("sweep_strategies:FailsOnUp", {"up": [2, 3]}, **kwargs)
    assert (again.ran, again.skipped) == (0, 2)
    retried = sweep.run_sweep("sweep_strategies:FailsOnUp", {"up": [2, 3]}, retry_errors=True, **kwargs)
    assert (retried.ran, retried.skipped) == (1, 1) and retried.rows.height == 2


def test_interrupted_sweep_keeps_finished_runs_and_resumes(tmp_path, serial):
    seen = []

    def stop_after_three(row):
        seen.append(row["combination"])
        if len(seen) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, workers=1, progress=False,
                        on_row=stop_after_three)
    kept = pl.read_parquet(tmp_path / "results.parquet")
    assert sorted(kept["combination"]) == sorted(seen)
    resumed = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, workers=1, progress=False)
    assert (resumed.ran, resumed.skipped) == (5, 3)
    assert bits(resumed.rows) == bits(serial.rows)
    # Nothing left to run: the cluster is neither started nor reached.
    done = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, scheduler=f"tcp://127.0.0.1:{free_port()}",
                           progress=False)
    assert (done.ran, done.skipped) == (0, 8) and bits(done.rows) == bits(serial.rows)


def test_killed_command_loses_no_finished_run(tmp_path, serial):
    """The driver killed outright (no clean-up at all) mid-sweep; the same command then finishes the job."""
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "zopt_kelv_backtest.sweep", "--grid", "fast=5,10", "--grid", "slow=30,60",
            "--days", "2", "--workers", "1", "--quiet", "--out", str(out)]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(TESTS), *sys.path])}
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while len(list((out / "parts").glob("*.parquet"))) < 2 and proc.poll() is None:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    parts = len(list((out / "parts").glob("*.parquet")))
    assert 2 <= parts < 8
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert f"{8 - parts} runs done, {parts} already in" in " ".join(done.stdout.split())
    rows = pl.read_parquet(out / "results.parquet")
    assert bits(rows) == bits(serial.rows)
    assert not list((out / "parts").iterdir())


# --- Dask ----------------------------------------------------------------------------------------


def test_two_local_workers_give_the_serial_rows_bit_for_bit(tmp_path, serial):
    result = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, workers=2, progress=False)
    assert result.rows.height == 8 and result.rows["error"].null_count() == 8
    assert bits(result.rows) == bits(serial.rows)
    assert result.rows.drop("run_seconds").columns == serial.rows.drop("run_seconds").columns


def test_worker_killed_mid_sweep(tmp_path, serial):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        killed = []

        def kill_a_busy_worker(row):
            if killed:
                return
            busy = [w for w, keys in client.processing().items() if keys]
            pids = client.run(os.getpid, workers=busy[:1])
            for pid in pids.values():
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)

        result = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, scheduler=cluster.scheduler_address,
                                 progress=False, on_row=kill_a_busy_worker)
    assert len(killed) == 1
    assert result.ran == 8 and result.rows["combination"].n_unique() == 8
    assert bits(result.rows) == bits(serial.rows)


def test_embedded_cluster_forks_its_workers_and_survives_losing_one(tmp_path, serial):
    import warnings

    import psutil

    killed, listening = [], set()
    taken = socket.socket()  # Dask's default HTTP port, held by someone else
    with contextlib.suppress(OSError):
        taken.bind(("127.0.0.1", 8787))
        taken.listen()

    def kill_a_worker(row):
        if killed:
            return
        me = os.getpid()
        for p in [psutil.Process(me), *psutil.Process(me).children(recursive=True)]:
            conns = getattr(p, "net_connections", None) or p.connections  # psutil before 6.0
            listening.update(c.laddr.ip for c in conns("tcp") if c.status == psutil.CONN_LISTEN
                             and c.laddr.port != 8787)
        # Workers are forked by the forkserver (our child), not started by this process.
        workers = [p for p in psutil.Process(me).children(recursive=True) if p.ppid() != me]
        assert workers
        workers[0].kill()
        killed.append(workers[0].pid)

    with taken, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, workers=2, progress=False,
                                 on_row=kill_a_worker)
    assert not [w for w in caught if "in use" in str(w.message)]
    assert listening == {"127.0.0.1"}
    assert len(killed) == 1
    assert result.ran == 8 and result.rows["combination"].n_unique() == 8
    assert bits(result.rows) == bits(serial.rows)


def test_a_script_on_another_time_zone_is_warned_once(tmp_path):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(f"""
        from zopt_kelv_backtest import sweep

        if __name__ == "__main__":
            sweep.run_sweep(grid={{"fast": [5, 10]}}, codes=["2330"], ticks=sweep.SyntheticTicks(days=1),
                            out_dir={str(tmp_path / "out")!r}, workers=2, progress=False)
            print("done")
    """))
    env = {**os.environ, "TZ": "UTC"}
    done = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "done", done.stderr
    assert done.stderr.count("LocalTimeWarning") == 1, done.stderr


def _loaded(names, queue):
    queue.put([name in sys.modules for name in names])


def test_forkserver_children_start_with_distributed_loaded():
    import multiprocessing

    if not sweep.backends._start_forkserver():
        pytest.skip("no forkserver on this platform")
    ctx = multiprocessing.get_context("forkserver")
    queue = ctx.SimpleQueue()
    # Nothing but the forkserver's preload imports these two in a child.
    child = ctx.Process(target=_loaded, args=(["zopt_kelv_backtest._sweep_worker", "distributed.worker"], queue))
    child.start()
    child.join(60)
    assert child.exitcode == 0 and queue.get() == [True, True]


def test_runs_handed_out_longest_expected_first():
    def task(code, fast):
        return sweep.RunTask("m:C", sweep.Combination((("fast", fast),), code, None), SMALL, 1)

    def codes(tasks):
        return [(t.combination.code, dict(t.combination.params)["fast"]) for t in tasks]

    queue = sweep.backends._LongestFirst([task(code, fast) for fast in (1, 2, 3) for code in ("A", "B", "C", "D")])
    # One run of each group first, in plan order, to be timed.
    first = [queue.pop() for _ in range(3)]
    assert codes(first) == [("A", 1), ("B", 1), ("C", 1)]
    for t, seconds in zip(first, (0.1, 0.4, float("nan"))):
        queue.timed(t, seconds)  # a failed run (no time) says nothing about its group
    # D was never handed out; then B (0.4 s); C and D, handed out but untimed, take the mean (0.25 s), in
    # plan order; A (0.1 s) last.
    assert codes(queue.pop() for _ in range(9)) == [("D", 1), ("B", 2), ("B", 3), ("C", 2), ("C", 3), ("D", 2),
                                                     ("D", 3), ("A", 2), ("A", 3)]
    assert not queue


# --- page ----------------------------------------------------------------------------------------


def test_page_is_offline_with_heatmap_and_escaped_table(tmp_path, serial):
    rows = serial.rows.with_columns(
        pl.when(pl.col("fast") == 5).then(pl.lit("ValueError: <script>x</script>")).otherwise(None).alias("error"))
    page = tmp_path / "p.html"
    sweep.write_page(rows, page, x="fast", y="slow", params=["fast", "slow"])
    text = page.read_text(encoding="utf-8")
    # Nothing is fetched: no script or style sheet comes from elsewhere.
    assert not re.search(r"<(script|link|img|iframe)\b[^>]*\b(src|href)\s*=", text, re.I)
    assert "Plotly.newPlot" in text and len(text) > 1_000_000  # the chart library travels inside
    assert "&lt;script&gt;x&lt;/script&gt;" in text and "<script>x</script>" not in text
    assert text.count("<tr>") == rows.height + 1
    assert text.count("plotly.js v") == 1  # the library once, however many heatmaps
    # One heatmap per code, under its name; a cell is the net profit of that code's run without errors.
    plots = re.findall(r'<h2>([^<]+)</h2>.*?Plotly\.newPlot\(\s*"[^"]+",\s*(\[.*?\]),\s*\{', text, re.S)
    assert [code for code, _ in plots] == ["2330", "MXF"]
    for code, data in plots:
        (trace,) = json.loads(data)
        ok = serial.rows.filter((pl.col("fast") == 10) & (pl.col("code") == code))
        assert trace["x"] == ["10"] and trace["y"] == ["30", "60"]
        assert [cell[0] for cell in trace["z"]] == [ok.filter(pl.col("slow") == s)["net_profit"][0] for s in (30, 60)]


def test_heatmap_is_the_figure_plotly_objects_make():
    import plotly.graph_objects as go
    import plotly.io as pio

    z, runs, xs, ys = [[1.5, None], [-2.0, 3.0]], [[1, 0], [2, 1]], ["5", "10"], ["30", "60"]
    ours = sweep.page._heatmap_figure(z, runs, xs, ys, "fast", "slow", "net_profit")
    ours["layout"]["template"] = sweep.page._named_template("plotly")
    theirs = go.Figure(go.Heatmap(
        z=z, x=xs, y=ys, customdata=runs, colorscale="RdYlGn", zmid=0,
        hovertemplate="fast=%{x}<br>slow=%{y}<br>mean net_profit=%{z:,.0f}<br>runs=%{customdata}<extra></extra>",
        colorbar={"title": {"text": "mean net_profit"}}))
    theirs.update_layout(xaxis={"title": {"text": "fast"}, "type": "category"},
                         yaxis={"title": {"text": "slow"}, "type": "category"},
                         height=480, margin={"l": 80, "r": 40, "t": 30, "b": 60})
    assert json.loads(pio.to_json(ours, validate=False)) == json.loads(pio.to_json(theirs))
    assert sweep.page._named_template("no_such_template") is None and sweep.page._named_template("../x") is None


def test_default_heatmap_axes():
    plan = sweep.plan_sweep("sweep_strategies:Momentum", {"label": ["a"], "down": [1, 2], "up": [1, 2]},
                            ticks=SMALL)
    assert sweep.plan._heatmap_axes(plan, None) == ("down", "up")
    plan = sweep.plan_sweep("sweep_strategies:Momentum", {"up": [1, 2]}, ticks=SMALL)
    assert sweep.plan._heatmap_axes(plan, None) == ("up", "code")
    assert sweep.plan._heatmap_axes(plan, ("code", "window")) == ("code", "window")
    with pytest.raises(SweepInputError, match="--heatmap nope"):
        sweep.plan._heatmap_axes(plan, ("up", "nope"))


# --- command line --------------------------------------------------------------------------------


def bad_inputs(tmp_path):
    bad_csv = tmp_path / "bad.csv"
    bad_csv.write_text("timestamp,code\n1,2330\n")
    return [
        (["--grid", "nope=1,2"], "nope: unknown parameter of MovingAverageCross"),
        (["--grid", "fast="], "fast: empty grid"),
        (["--grid", "fast=a"], "parameter 'fast'"),
        (["--ticks", str(tmp_path / "none.csv")], "tick file not found"),
        (["--ticks", str(bad_csv)], "lacks column"),
        (["--ticks", str(tmp_path)], "tick file"),
        (["--scheduler", f"tcp://127.0.0.1:{free_port()}"], "cannot reach the scheduler"),
        (["--workers", "0"], "--workers must be at least 1"),
        (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "exclude each other"),
        (["--ticks", str(bad_csv), "--days", "3"], "not with --ticks"),
        (["--windows", "2024-02-09:2024-02-01"], "ends before it starts"),
        (["--codes", "TXF"], "no ticks for TXF"),
        (["--heatmap", "fast"], "two columns"),
        (["--out", str(bad_csv)], "File exists"),
        (["--strategy", "nowhere:X"], "cannot import"),
    ]


def test_bad_input_gets_one_error_line_and_status_2(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sweep.backends, "CONNECT_TIMEOUT", 2.0)
    out = tmp_path / "out"
    for argv, message in bad_inputs(tmp_path):
        with pytest.raises(SystemExit) as exit_info:
            base = ["--out", str(out), "--quiet", *([] if "--ticks" in argv else ["--days", "1"])]
            sweep.main([*base, *argv])
        err = capsys.readouterr().err
        lines = [line for line in err.splitlines() if "error:" in line or "Traceback" in line]
        assert exit_info.value.code == 2, (argv, err)
        assert len(lines) == 1 and message in lines[0].partition(" error: ")[2], (argv, err)
        assert not (out / "results.parquet").exists() and not (out / "parts").exists()


def test_command_reports_failed_runs_with_status_1(tmp_path, capsys):
    code = sweep.main(["--strategy", "sweep_strategies:FailsOnUp", "--grid", "up=2,3", "--codes", "MXF",
                       "--days", "1", "--workers", "1", "--quiet", "--out", str(tmp_path)])
    text = " ".join(capsys.readouterr().out.split())
    assert code == 1
    assert "2 runs done, 0 already in" in text
    assert "1 runs failed; first: RuntimeError: no trading on MXF with [b]up=2[/b]" in text  # shown literally
    assert (tmp_path / "sweep.html").exists()


# --- trustworthy folders --------------------------------------------------------------------------


def write_ticks(path, shift=0.0):
    """One day of the synthetic stock as a tick file; `shift` moves the last price."""
    frame = pl.DataFrame([t for t in SyntheticTicks(days=1).ticks() if t["code"] == "2330"])
    frame = frame.with_columns(pl.when(pl.int_range(pl.len()) == pl.len() - 1).then(pl.col("close") + shift)
                               .otherwise(pl.col("close")).alias("close"))
    frame.select("timestamp", "code", "market_type", "close", "qty").write_csv(path)


@pytest.mark.parametrize("change, named", [("strategy", "the strategy's source"), ("ticks", "the ticks")])
def test_rows_of_other_code_or_ticks_are_never_reused_silently(tmp_path, capsys, monkeypatch, change, named):
    module = tmp_path / f"edited_{change}.py"
    module.write_text("from sweep_strategies import Momentum\n\n\nclass Edited(Momentum):\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    ticks, out = tmp_path / "ticks.csv", tmp_path / "out"
    write_ticks(ticks)
    argv = ["--strategy", f"edited_{change}:Edited", "--grid", "up=2,3", "--ticks", str(ticks), "--workers", "1",
            "--quiet", "--top", "0", "--out", str(out)]
    assert sweep.main(argv) == 0
    made = pl.read_parquet(out / "results.parquet")
    if change == "strategy":
        module.write_text(module.read_text() + "    up_to = 1\n")
    else:
        write_ticks(ticks, shift=1.0)
    capsys.readouterr()
    with pytest.raises(SystemExit) as exit_info:
        sweep.main(argv)
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if "error:" in line or "Traceback" in line]
    assert exit_info.value.code == 2 and len(lines) == 1, err
    assert f"2 rows made with other code or ticks ({named} changed)" in lines[0] and "--rerun-changed" in lines[0]
    assert sweep.main([*argv, "--rerun-changed"]) == 0
    assert "2 runs done, 0 already in" in " ".join(capsys.readouterr().out.split())
    again = pl.read_parquet(out / "results.parquet")["fingerprint"]
    assert again.n_unique() == 1 and made["fingerprint"].n_unique() == 1 and again[0] != made["fingerprint"][0]
    assert json.loads((out / "sweep.json").read_text())["fingerprint"][change] != ""
    assert sweep.main(argv) == 0 and "0 runs done, 2 already in" in " ".join(capsys.readouterr().out.split())


@pytest.mark.parametrize("damage", ["truncated results", "empty results", "damaged part"])
def test_damaged_result_files_are_set_aside_and_rebuilt(tmp_path, damage):
    kwargs = dict(grid={"fast": [5, 10]}, ticks=SyntheticTicks(days=1), codes=["2330"], out_dir=tmp_path,
                  workers=1, progress=False)
    first = sweep.run_sweep(**kwargs)
    bad = tmp_path / "results.parquet"
    if damage == "truncated results":
        bad.write_bytes(bad.read_bytes()[:200])
    elif damage == "empty results":
        bad.write_bytes(b"")
    else:
        bad = tmp_path / "parts" / "0123456789abcdef01234567.parquet"
        bad.parent.mkdir(exist_ok=True)
        bad.write_bytes(b"PAR1 half a part")
    console = Console(file=io.StringIO(), width=200)
    again = sweep.run_sweep(console=console, **kwargs)
    assert bits(again.rows) == bits(first.rows)
    assert again.ran == (0 if damage == "damaged part" else 2)
    assert bad.with_name(bad.name + ".damaged").exists()
    assert f"warning: {bad} was damaged" in console.file.getvalue()


def test_a_folder_takes_one_sweep_at_a_time(tmp_path):
    kwargs = dict(ticks=SyntheticTicks(days=1), codes=["2330"], out_dir=tmp_path, workers=1, progress=False)
    refused = []

    def start_another(row):
        if not refused:
            with pytest.raises(SweepInputError, match="is in use by another sweep .*sweep.lock"):
                sweep.run_sweep(grid={"fast": [20]}, **kwargs)
            refused.append(row)

    first = sweep.run_sweep(grid={"fast": [5, 10]}, on_row=start_another, **kwargs)
    assert refused and first.rows.height == 2
    assert sweep.run_sweep(grid={"fast": [20]}, **kwargs).rows.height == 3


def test_files_get_the_permissions_of_the_umask(tmp_path):
    old = os.umask(0o027)
    try:
        sweep.run_sweep(grid={"fast": [5]}, ticks=SyntheticTicks(days=1), codes=["2330"], out_dir=tmp_path,
                        workers=1, progress=False)
    finally:
        os.umask(old)
    names = ("results.parquet", "sweep.json", "sweep.html")
    assert {n: (tmp_path / n).stat().st_mode & 0o777 for n in names} == dict.fromkeys(names, 0o640)


def test_results_parquet_is_current_while_the_sweep_runs(tmp_path, monkeypatch):
    monkeypatch.setattr(sweep.run, "COMPACT_SECONDS", 0.0)
    seen = []

    def check(row):
        seen.append(row["combination"])
        assert sorted(pl.read_parquet(tmp_path / "results.parquet")["combination"]) == sorted(seen)

    sweep.run_sweep(grid={"fast": [5, 10, 20]}, ticks=SyntheticTicks(days=1), codes=["2330"], out_dir=tmp_path,
                    workers=1, progress=False, on_row=check)
    assert len(seen) == 3


# --- edges of the command ------------------------------------------------------------------------


@pytest.mark.parametrize("answer", [None, b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"],
                         ids=["silent listener", "http server"])
def test_scheduler_address_where_no_dask_answers(tmp_path, capsys, monkeypatch, answer):
    monkeypatch.setattr(sweep.backends, "CONNECT_TIMEOUT", 1.0)
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(0.2)
    accepted, stop = [], threading.Event()

    def serve():
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except OSError:
                continue
            accepted.append(conn)
            if answer is not None:
                conn.recv(65536)
                conn.sendall(answer)

    outcome = {}

    def command():
        try:
            sweep.main(["--days", "1", "--codes", "2330", "--quiet", "--out", str(tmp_path),
                        "--scheduler", f"tcp://127.0.0.1:{server.getsockname()[1]}"])
        except SystemExit as exc:
            outcome["status"] = exc.code

    threads = [threading.Thread(target=serve, daemon=True), threading.Thread(target=command, daemon=True)]
    for t in threads:
        t.start()
    threads[1].join(60)
    stop.set()
    threads[0].join(5)
    server.close()
    for conn in accepted:
        conn.close()
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if "error:" in line or "Traceback" in line]
    assert accepted and outcome == {"status": 2}, err
    assert len(lines) == 1 and "cannot reach the scheduler" in lines[0], err


def test_ctrl_c_prints_one_line(tmp_path):
    """Ctrl-C at a terminal reaches every process of the sweep: the driver, the forkserver, the workers."""
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "zopt_kelv_backtest.sweep", "--grid", "fast=5,10", "--grid", "slow=30,60",
            "--days", "2", "--workers", "2", "--quiet", "--out", str(out)]
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not list((out / "parts").glob("*.parquet")) and proc.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        os.killpg(proc.pid, signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    assert proc.returncode == 130, err
    assert [line for line in err.splitlines() if line.strip()] == [
        f"interrupted: finished runs are kept in {out}; run the same command to go on"]


def test_console_table_fits_80_columns_and_ranks_idle_runs_last(tmp_path, capsys, monkeypatch):
    from zopt_kelv_backtest import utils

    monkeypatch.setattr(utils.console, "width", 80)
    argv = ["--strategy", "sweep_strategies:Momentum", "--grid", "up=2,1000", "--codes", "2330,MXF", "--days", "2",
            "--windows", "2024-02-01:2024-02-01,2024-02-01:2024-02-02", "--workers", "1", "--quiet",
            "--out", str(tmp_path)]
    assert sweep.main(argv) == 0
    utils.console.flush()
    text = capsys.readouterr().out
    start = text.index("Best ")
    table = text[start:text.index(str(tmp_path / "results.parquet"), start)]
    assert max(len(line) for line in table.splitlines()) <= 80 and "…" not in table
    assert table.count("2024-02-01:2024-02-01") == 4 and table.count("2024-02-01:2024-02-02") == 4
    assert table.startswith("Best 8 of 8 runs by net profit (runs without trades last)")
    result = sweep.run_sweep("sweep_strategies:Momentum", {"up": [2, 1000]}, ticks=SyntheticTicks(days=2),
                             codes=["2330", "MXF"], windows=sweep.parse_windows(argv[argv.index("--windows") + 1]), out_dir=tmp_path,
                             workers=1, progress=False)
    trades = result.best(8)["trade_count"].to_list()
    assert min(result.rows.filter(pl.col("trade_count") > 0)["net_profit"]) < 0  # an idle run would look better
    assert trades.count(0) == 4 and trades[-4:] == [0] * 4
    busy = result.rows.filter(pl.col("trade_count") >= 100).height
    assert 0 < busy < 8 and result.best(8, min_trades=100).height == busy
    assert sweep.main([*argv, "--min-trades", "100"]) == 0
    assert f"Best {busy} of 8 runs by net profit with at least 100 trades" in capsys.readouterr().out


DASK_CLI = subprocess.run([sys.executable, "-m", "dask", "scheduler", "--help"], capture_output=True).returncode == 0


@pytest.mark.skipif(not DASK_CLI, reason="Dask's command-line tools are not installed")
def test_a_cluster_of_dask_command_line_tools_gives_the_serial_rows(tmp_path, serial):
    """A scheduler and two workers started by `dask scheduler` / `dask worker` on loopback."""
    from distributed import Client

    address = f"tcp://127.0.0.1:{free_port()}"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(TESTS), *sys.path]), "TZ": "Asia/Taipei"}
    dask = [sys.executable, "-m", "dask"]
    commands = [[*dask, "scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
                 "--dashboard-address", "127.0.0.1:0"]]
    commands += [[*dask, "worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-dashboard",
                  "--death-timeout", "60"]] * 2
    procs = []
    try:
        for argv in commands:
            procs.append(subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                          start_new_session=True))
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
        result = sweep.run_sweep(grid=GRID, ticks=SMALL, out_dir=tmp_path, scheduler=address, progress=False)
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in procs:
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
    assert result.ran == 8 and bits(result.rows) == bits(serial.rows)


@pytest.mark.parametrize("strategy", ["sweep_strategies:Momentum", "sweep_strategies:FailsOnUp"])
def test_a_replay_group_gives_each_combination_its_own_row(strategy):
    ticks = sweep.SyntheticTicks(days=2)
    combos = [sweep.Combination((("up", up), ("down", down)), "MXF", None) for up in (1, 2, 3) for down in (2, 4)]
    combos.append(sweep.Combination((("nope", 1),), "MXF", None))  # refused by the strategy's constructor
    tasks = [sweep.RunTask(strategy, c, ticks, 5_000_000, equity=True) for c in combos]
    grouped = sweep.backends.run_group(sweep.backends.TaskGroup(tuple(tasks)))
    alone = [sweep.backends.run_combination(t) for t in tasks]
    drop = {"run_seconds"}
    assert [{k: v for k, v in r.items() if k not in drop} for r in grouped] == \
           [{k: v for k, v in r.items() if k not in drop} for r in alone]
    assert sum(r["error"] is not None for r in grouped) == (1 if strategy.endswith("Momentum") else 3)
    assert len({r["net_profit"] for r in grouped if r["error"] is None}) > 1


def test_groups_keep_plan_order_and_split_for_the_workers():
    ticks = sweep.SyntheticTicks(days=1)
    tasks = [sweep.RunTask("m:C", sweep.Combination((("f", f),), code, None), ticks, 1)
             for f in range(10) for code in ("A", "B")]
    groups = sweep.backends.group_tasks(tasks, parts=4)
    assert [t for g in groups for t in g.tasks] == [t for code in "AB" for t in tasks if t.combination.code == code]
    assert [len(g.tasks) for g in groups] == [3, 3, 3, 1] * 2  # each code in four groups
    assert all({t.combination.code for t in g.tasks} == {g.combination.code} for g in groups)
    assert len(sweep.backends.group_tasks(tasks)) == 2
