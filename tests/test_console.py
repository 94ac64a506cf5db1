"""The package console: rich's look for the core's lines, plain text elsewhere, quiet, nothing lost."""

import io
import os
import pty
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rich.console import Console
from rich.progress import Progress

import zopt_kelv_backtest.modules.positions.positions as positions_module
from zopt_kelv_backtest import utils
from zopt_kelv_backtest.utils import CORE_TAGS, LineConsole

# One line of each kind the core prints (the tag decides the look).
CORE_LINES = [
    "[bold green]產生 2330 的回測報告...[/bold green]",
    "[red]尚未有損益報告資料, 無法產生進階績效報告[/red]",
    "[blue]{'fee': 823.65, 'tax': 1734.0, 'fixed_cost': 10, 'qty': 1}, 沖銷部位方向: Sell[/blue]",
    "[yellow]被沖銷的成本資訊: {'fee': 830.775, 'tax': 0}, 沖銷部位方向: Buy[/yellow]",
    "[bold pink1][做多進場]本金: 10000000, 應付金額: 577000.0, 進場成本: 832.225[/bold pink1]",
    "[bold red][回測] 進場 2330 1 張, 價格: 580.0, 手續費: 822.225, 交易稅: 0, 固定成本: 10[/bold red]",
    "[bold yellow][做多沖銷]本金: 9422167.775, 應收金額: 578000.0, 沖銷成本: 2567.65[/bold yellow]",
]


def rich_reference(lines, terminal=True, **kw):
    """What rich writes for `lines` with the package console's settings."""
    out = io.StringIO()
    ref = Console(file=out, force_terminal=terminal, color_system="standard", highlight=False, soft_wrap=True,
                  emoji=False, width=40, **kw)  # fmt: skip
    for line in lines:
        ref.print(line)
    return out.getvalue()


def ours(lines, terminal=True, **kw):
    out = io.StringIO()
    con = LineConsole(file=out, force_terminal=terminal, color_system="standard", width=40, **kw)
    for line in lines:
        con.print(line)
    con.flush()
    return out.getvalue()


@pytest.mark.parametrize("line", CORE_LINES, ids=CORE_TAGS)
def test_core_lines_carry_riches_codes_on_one_line(line):
    got = ours([line])
    assert got == rich_reference([line])
    assert got.count("\n") == 1 and got.startswith("\x1b[") and got.endswith("\x1b[0m\n")


@pytest.mark.parametrize("terminal, env", [(False, {}), (True, {"NO_COLOR": "1"})], ids=["file", "NO_COLOR"])
def test_plain_output_has_no_tags_or_codes(monkeypatch, terminal, env):
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    got = ours(CORE_LINES, terminal=terminal)
    expected = "".join(line[line.index("]") + 1 : line.rindex("[")] + "\n" for line in CORE_LINES)
    assert got == expected


@pytest.mark.parametrize(
    "line",
    [
        "[green]other colour[/green]",
        "[bold red]a [b]bold[/b] word[/bold red]",
        "[red]escaped \\[/red] tag[/red]",
        "[red]tab\there[/red]",
        "[red]two\nlines[/red]",
        "[red]bell\a and return\r[/red]",
        "[red][/red]",
        "[red]unclosed",
        "plain [回測] text",
        "[blue]ends with backslash\\[/blue]",
    ],
)
@pytest.mark.parametrize("terminal", [True, False])
def test_other_markup_renders_as_rich_renders_it(line, terminal):
    if terminal:
        assert ours([line]) == rich_reference([line])
    else:
        # Not a terminal: rich detects no colour system and writes plain text, and so do we.
        out, ref = io.StringIO(), io.StringIO()
        con = LineConsole(file=out)
        con.print(line)
        con.flush()
        Console(file=ref, highlight=False, soft_wrap=True, emoji=False).print(line)
        assert out.getvalue() == ref.getvalue()


@settings(max_examples=300, deadline=None)
@given(tag=st.sampled_from(CORE_TAGS),
       body=st.text(alphabet=st.sampled_from(list("ab 1:[]/\\#@.回測\t\n\x1b\x07")), max_size=12))  # fmt: skip
def test_any_body_looks_as_rich_would_write_it(tag, body):
    line = f"[{tag}]{body}[/{tag}]"
    try:
        expected = rich_reference([line])
    except Exception as exc:  # rich refuses it: so must we
        with pytest.raises(type(exc)):
            ours([line])
        return
    assert ours([line]) == expected


def test_lines_keep_their_order_around_rich_output():
    out = io.StringIO()
    con = LineConsole(file=out)
    con.print("[red]one[/red]")
    con.print("two", style="bold")  # rich's own path
    con.print("[blue]three[/blue]")
    con.print("[green]four[/green]")  # other mark-up
    con.flush()
    assert out.getvalue() == "one\ntwo\nthree\nfour\n"


def test_lines_follow_the_file_they_are_printed_to(monkeypatch):
    first, second = io.StringIO(), io.StringIO()
    con = LineConsole()
    monkeypatch.setattr(sys, "stdout", first)
    con.print("[red]a[/red]")
    monkeypatch.setattr(sys, "stdout", second)
    con.print("[red]b[/red]")
    con.flush()
    assert (first.getvalue(), second.getvalue()) == ("a\n", "b\n")


def test_quiet_prints_nothing_in_either_path(monkeypatch):
    out = io.StringIO()
    con = LineConsole(file=out, quiet=True)
    con.print("[red]fast[/red]")
    con.print("[green]rich[/green]")
    con.flush()
    assert out.getvalue() == ""
    con.quiet = False
    con.print("[red]back[/red]")
    con.flush()
    assert out.getvalue() == "back\n"


@pytest.mark.parametrize("value, quiet", [("1", True), ("yes", True), ("0", False), ("", False)])
def test_quiet_from_the_environment(monkeypatch, value, quiet):
    monkeypatch.setenv(utils.QUIET_ENV, value)
    assert LineConsole().quiet is quiet


@pytest.mark.parametrize("transient", [True, False])
def test_lines_go_above_a_progress_display(transient):
    out = io.StringIO()
    con = LineConsole(file=out, force_terminal=True, color_system="standard", width=60)
    with Progress(console=con, transient=transient) as progress:
        task = progress.add_task("replay", total=300)
        for i in range(300):
            con.print(f"[bold red]during {i}[/bold red]")
            progress.advance(task)
    con.print("[bold red]after[/bold red]")
    con.flush()
    text = out.getvalue()
    found = [text.find(f"during {i}\x1b") for i in range(300)]
    assert -1 not in found and found == sorted(found)
    assert text.endswith("\x1b[1;31mafter\x1b[0m\n")
    if not transient:  # the finished bar stays below the lines printed under it
        assert text.rindex("replay") > found[-1]


def test_batched_lines_reach_the_file_without_an_explicit_flush():
    out = io.StringIO()
    con = LineConsole(file=out)
    con.print("[red]soon[/red]")
    for _ in range(200):
        if out.getvalue():
            break
        time.sleep(0.01)
    assert out.getvalue() == "soon\n"


@pytest.mark.parametrize(
    "ending",
    [
        "",  # normal end
        "sys.exit(3)",
        "raise SystemExit(0)",
        "import atexit; atexit.register(lambda: console.print('[red]from atexit[/red]'))",
        "pid = os.fork(); pid == 0 and sys.exit(0); os.waitpid(pid, 0)",  # lines not written twice
    ],
    ids=["end", "exit", "raise", "atexit", "fork"],
)
def test_nothing_lost_when_the_process_ends(ending, request):
    # An exit handler registered before the console exists runs after the console's own one.
    script = textwrap.dedent(
        f"""
        import atexit, os, sys
        atexit.register(lambda: __import__("zopt_kelv_backtest.utils").utils.console.print("[red]last[/red]"))
        from zopt_kelv_backtest.utils import console
        for i in range(5000):
            console.print(f"[bold red]line {{i}}[/bold red]")
        {ending}
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "ZOPT_KELV_QUIET": ""})  # fmt: skip
    lines = run.stdout.splitlines()
    # The forked child runs the exit handlers too (the parent waits for it), but writes no line twice.
    tail = {"atexit": ["from atexit", "last"], "fork": ["last", "last"]}.get(request.node.callspec.id, ["last"])
    expected = [f"line {i}" for i in range(5000)] + tail
    assert lines == expected


def test_terminal_output_in_a_real_pseudo_terminal():
    script = "from zopt_kelv_backtest.utils import console\n" + "".join(
        f"console.print({line!r})\n" for line in CORE_LINES
    )
    master, slave = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR", "TTY_COMPATIBLE")}
    env.update(TERM="xterm", COLORTERM="", ZOPT_KELV_QUIET="")
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=slave, stderr=subprocess.PIPE, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait(timeout=60)
    os.close(master)
    got = b"".join(chunks).decode("utf-8").replace("\r\n", "\n")
    assert got == rich_reference(CORE_LINES)


class Recorder:
    def __init__(self):
        self.lines = []

    def print(self, text):
        self.lines.append(text)


def test_a_console_replaced_in_the_core_receives_its_lines(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(positions_module, "console", rec)
    pos = positions_module.Positions()
    fill = {"code": "2330", "action": "Buy", "price": 580.0, "quantity": 1, "exchange_ts": 1.7e9,
            "product_type": "Stock", "trade_id": "T1"}  # fmt: skip
    pos.set_positions(fill, "Stock")
    assert len(rec.lines) == 2 and rec.lines[-1].startswith("[bold red][回測] 進場 2330")


def test_the_package_console_takes_the_cores_lines(monkeypatch):
    out = io.StringIO()
    monkeypatch.setattr(positions_module, "console", LineConsole(file=out))
    pos = positions_module.Positions()
    for i, action in enumerate(("Buy", "Sell")):
        pos.set_positions({"code": "2330", "action": action, "price": 580.0 + i, "quantity": 1,
                           "exchange_ts": 1.7e9 + i, "product_type": "Stock", "trade_id": f"T{i}"}, "Stock")  # fmt: skip
    positions_module.console.flush()
    lines = out.getvalue().splitlines()
    assert len(lines) == 6 and lines[1].startswith("[回測] 進場 2330") and lines[-1].startswith("[回測] 沖銷 2330")
    assert not any("[bold" in line or "[/" in line for line in lines)


@pytest.mark.parametrize("switch", ["stderr", "file"])
def test_lines_follow_a_change_of_output(monkeypatch, switch):
    first, second = io.StringIO(), io.StringIO()
    if switch == "stderr":  # rich writes to stderr with stderr=True, and so must the batched lines
        monkeypatch.setattr(sys, "stderr", first)
        monkeypatch.setattr(sys, "stdout", second)
        con = LineConsole(stderr=True)
    else:
        con = LineConsole(file=first)
    con.print("[red]a[/red]")
    if switch == "stderr":
        con.stderr = False
    else:
        con.file = second
    con.print("[red]b[/red]")
    con.flush()
    assert (first.getvalue(), second.getvalue()) == ("a\n", "b\n")


@pytest.mark.parametrize("errors, expected", [("strict", None), ("replace", "ok\n??\n")])
def test_a_file_that_cannot_take_a_character_fails_at_that_line(errors, expected):
    raw = io.BytesIO()
    f = io.TextIOWrapper(raw, encoding="ascii", errors=errors, write_through=True)
    con = LineConsole(file=f)
    con.print("[red]ok[/red]")
    if expected is None:  # as rich does, the line that cannot be written raises where it is printed
        with pytest.raises(UnicodeEncodeError):
            con.print("[red]回測[/red]")
        expected = "ok\n"
    else:
        con.print("[red]回測[/red]")
    con.flush()
    assert raw.getvalue().decode("ascii") == expected


def test_a_subclass_keeps_its_own_print():
    out = io.StringIO()

    class Tagged(LineConsole):
        def print(self, *objects, **kwargs):
            super().print(*(f"[red]> {o}[/red]" for o in objects), **kwargs)

    con = Tagged(file=out)
    con.print("x")
    con.flush()
    assert out.getvalue() == "> x\n"


# ---- lines the core queues itself ------------------------------------------------------------------

FILL_CODES = ["2330", "X\\Y", "A[red]B", "C[1]D", "E\tF", "回測"]


def fills(con, codes=FILL_CODES):
    """Open and cover one lot of each code through the core, printing to `con`."""
    saved = positions_module.console
    positions_module.console = con
    try:
        pos = positions_module.Positions()
        for i, code in enumerate(codes):
            for j, action in enumerate(("Buy", "Sell")):
                pos.set_positions({"code": code, "action": action, "price": 580.0 + i + j / 2, "quantity": 1,
                                   "exchange_ts": 1.7e9 + i, "product_type": "Stock", "trade_id": f"T{i}{j}"},
                                  "Stock")  # fmt: skip
    finally:
        positions_module.console = saved
    if isinstance(con, LineConsole):
        con.flush()


def without_core_queue(con):
    """The same console, its lines all through its printer (the core finds nothing to queue into)."""
    con._install = lambda: None  # keep the state below
    con.__dict__.pop("_core_lines", None)
    return con


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "file"])
def test_lines_the_core_queues_are_what_the_printer_writes(terminal):
    outs = []
    for strip in (False, True):
        out = io.StringIO()
        con = LineConsole(file=out, force_terminal=terminal, color_system="standard", width=40)
        fills(without_core_queue(con) if strip else con)
        outs.append(out.getvalue())
    assert outs[0] == outs[1]
    assert outs[0].count("\n") == 6 * len(FILL_CODES)  # two lines to open, four to cover
    if terminal:  # (to a file the package console writes the text without rich's codes)
        rec = Recorder()
        fills(rec)
        assert outs[0] == rich_reference(rec.lines)


def test_the_core_queues_without_calling_print():
    out = io.StringIO()
    con = LineConsole(file=out)
    woken = []
    sink = list(con._core_lines)
    sink[9] = lambda: woken.append(len(con._pending))  # the wake slot: called at the first waiting line
    con.__dict__["_core_lines"] = tuple(sink)
    fills(con, ["2330"])
    assert woken == [1] and out.getvalue().count("\n") == 6


@pytest.mark.parametrize("change", ["print", "stdout", "quiet"])
def test_the_core_honours_a_changed_console(monkeypatch, change):
    first, second = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", first)
    con = LineConsole()
    rec = Recorder()
    if change == "print":
        con.print = rec.print
    elif change == "stdout":
        monkeypatch.setattr(sys, "stdout", second)
    else:
        con.quiet = True
    fills(con, ["2330"])
    got = {"print": len(rec.lines), "stdout": second.getvalue().count("\n"), "quiet": 0}[change]
    assert got == (0 if change == "quiet" else 6)
    assert first.getvalue() == ""
