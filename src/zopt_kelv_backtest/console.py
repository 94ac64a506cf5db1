"""The package console: the native core prints its lines through it.

``console`` is the package's console: a :class:`rich.console.Console` (a :class:`LineConsole`) whose
``print`` has a fast path for the one-line messages of the native core. Those lines are a single
colour tag around plain text, such as ``"[bold red][回測] 進場 2330 1 張, ...[/bold red]"``:

- on a terminal they get the same SGR codes rich writes for the tag at the console's colour depth
  (``"\\x1b[1;31m...\\x1b[0m"`` on a standard-colour terminal); a line stays one line however wide;
- to a file or a pipe, or with ``NO_COLOR`` set, they are written as the plain text without tags;
- quiet (``console.quiet = True``, or ``ZOPT_KELV_QUIET=1`` in the environment when the package is
  imported, which also reaches worker processes) prints nothing at the cost of an empty call.

The lines go where rich would write them (``file``, else ``sys.stderr`` with ``stderr=True``, else
the ``sys.stdout`` of the moment). A file with an encoding that may refuse a character (not UTF,
strict errors) gets every line through rich, which raises at the line that fails.

Numbers, paths and other parts of a line are not highlighted (``highlight=False``). Anything else
(other mark-up, several arguments, keywords, renderables such as tables, ``record=True``, a
``with console:`` block) goes through rich's own ``print`` unchanged, so the object can be used for
tables like any rich console, and handed to ``rich.progress.Progress(console=console)``: while such a
live display runs, every line goes through rich (above the display, which rich redraws for each line:
keep the core's per-fill lines quiet under a progress bar where speed matters).

Lines of the fast path are written in batches: a write, above all to a terminal, costs more than
making the line. A line waits at most 20 ms (a background timer writes the batch). The batch is
written before anything else this console prints, when its file or theme changes, on ``flush()``,
before a fork and at interpreter exit, so nothing is lost when the process ends. Something written
to the same stream by other means (a bare ``print``) may overtake lines still waiting; call
``console.flush()`` first where that order matters.

The native core looks ``console`` up in its own module globals at call time: replacing it there with
any object that has a ``print(text)`` method redirects the core's lines. For speed, ``console.print``
is an attribute of the instance made for the current file and settings (remade when one changes);
``LineConsole.print`` behaves the same, and a subclass that defines ``print`` keeps its own. While that
attribute is the console's own printer, the core queues the lines that printer would queue itself (the
same pieces, through the same waiting list and writer) instead of calling it; a ``print`` replaced on
the instance, a replaced stream or quiet is honoured at the next line.
"""

from __future__ import annotations

import atexit
import codecs
import os
import re
import sys
import threading
import time
import weakref
from typing import IO, Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from rich.console import Console

__all__ = ["BATCH_LINES", "BATCH_SECONDS", "CORE_TAGS", "CoreLines", "LineConsole", "QUIET_ENV", "TAG_STARTS",
           "console", "strip_core_tags"]  # fmt: skip

#: Environment variable that makes the package console quiet when set to anything but "", "0".
QUIET_ENV = "ZOPT_KELV_QUIET"

#: The colour tags the native core prints, each around a whole line ("[red]...[/red]").
CORE_TAGS = ("bold green", "red", "blue", "yellow", "bold pink1", "bold red", "bold yellow")

#: The characters that, right after a "[", let rich read a tag there. The native core reads this at
#: import for the lines it queues itself, so the rule is written here only.
TAG_STARTS = "abcdefghijklmnopqrstuvwxyz#/@"

# Inside a line, a "[" that rich could read as the start of a tag.
_TAG_LIKE = re.compile("\\[[" + re.escape(TAG_STARTS) + "]").search

# Any opening or closing core tag.
_CORE_TAG = re.compile("\\[/?(?:" + "|".join(re.escape(t) for t in CORE_TAGS) + ")\\]")


def strip_core_tags(text: str) -> str:
    """`text` without the core's colour tags (for a log file or any other plain-text sink)."""
    return _CORE_TAG.sub("", text)


class CoreLines(NamedTuple):
    """What the native core needs to queue a line as the console's line printer would, without calling
    it; published on the console as ``_core_lines``. The core finds each field by its name (it reads
    the order from ``_fields`` at import)."""

    printer: Any  # the printer this state belongs to: the core queues only while ``print`` is it
    pending: List[str]  # the waiting list the printer appends to
    looks: Dict[str, Tuple[str, str, str]]  # as LineConsole._looks
    plain: bool  # lines wait as their bare text (else as prefix, text, suffix)
    fixed: Any  # the console's own file, or None when it writes to sys.<stream>
    stream: str  # "stdout" or "stderr"
    raw: Any  # the sys.<stream> the looks were made for (with ``fixed`` None)
    first: int  # the waiting count at which the batch timer is woken
    limit: int  # the waiting count at which the batch is written at once
    wake: Callable[[], None]
    flush: Callable[[], None]

BATCH_SECONDS = 0.02  # longest a line waits before it is written
BATCH_LINES = 2048  # written at once when this many are waiting


def _setting(name: str) -> Any:
    """A property for the rich setting `name` whose change re-decides the fast path."""
    attr = "_" + name

    def get(self: "LineConsole") -> Any:
        return getattr(self, attr)

    def put(self: "LineConsole", value: Any) -> None:
        setattr(self, attr, value)
        self._update_fast()

    return property(get, put)


class LineConsole(Console):
    """A rich console with a fast path for single-tag lines; see the module docstring.

    Takes every argument of :class:`rich.console.Console`; the defaults differ in ``highlight=False``,
    ``emoji=False`` and ``soft_wrap=True`` (a log line is never wrapped nor rewritten), and ``quiet``
    defaults to the ``ZOPT_KELV_QUIET`` environment variable. The fast path is taken only where it
    writes what rich would: mark-up on, highlighting and emoji off, soft wrap on, no console style, live
    display, recording or ``with console:`` block. It writes plain text to anything but a
    terminal, and with ``NO_COLOR`` (rich would keep the bold there).
    """

    def __init__(self, **kwargs: Any) -> None:
        kwargs.setdefault("highlight", False)
        kwargs.setdefault("emoji", False)
        kwargs.setdefault("soft_wrap", True)
        if "quiet" not in kwargs:
            kwargs["quiet"] = os.environ.get(QUIET_ENV, "") not in ("", "0")
        self._ready = False
        self._holds = 0  # open ``with console:`` blocks (rich's own print opens one)
        super().__init__(**kwargs)
        self._flush_lock = threading.Lock()
        self._target: Any = None  # the file that _looks is for
        # opening tag without its "]" -> (closing tag, prefix, suffix) on the current file; empty: use rich
        self._looks: Dict[str, Tuple[str, str, str]] = {}
        # Plain lines wait as their bare text and are joined with newlines; coloured ones wait as
        # (prefix, text, suffix) pieces, and the separator is "".
        self._sep = "\n"
        self._pending: List[str] = []
        self._timer: Optional[_BatchTimer] = None
        self._fast = False
        self._printer: Any = None  # the fast path's print for the current file, if it may run
        self._ready = True
        self._update_fast()
        _LIVE.add(self)

    _quiet: bool
    _stderr: bool

    # Rich settings that decide whether the fast path may run; setting one re-decides.
    soft_wrap = _setting("soft_wrap")
    record = _setting("record")
    style = _setting("style")
    quiet = _setting("quiet")
    stderr = _setting("stderr")

    @property
    def file(self) -> IO[str]:
        """The file written to (as :attr:`rich.console.Console.file`)."""
        return _RICH_FILE.fget(self)  # type: ignore[no-any-return]

    @file.setter
    def file(self, new_file: IO[str]) -> None:
        _RICH_FILE.fset(self, new_file)
        self._update_fast()

    def _update_fast(self) -> None:
        if not getattr(self, "_ready", False):
            return
        self.flush_lines()
        self._fast = bool(
            self._markup and not self._highlight and not self._emoji and self.soft_wrap and not self.record
            and self.style is None and not self.is_jupyter and not self.legacy_windows
            and not self._render_hooks and not self._holds
        )  # fmt: skip
        self._install()

    def _install(self) -> None:
        """Put the cheapest ``print`` that is right for the current state on the instance.

        The core calls ``print`` for every line: an instance attribute skips the class look-up and
        every test of settings that cannot have changed since it was made. A subclass that defines
        its own ``print`` keeps it.
        """
        self._printer, sink = self._line_printer() if self._fast and not self._quiet else (None, None)
        d = self.__dict__
        d.pop("_core_lines", None)
        if type(self).print is not LineConsole.print:
            d.pop("print", None)
        elif self._quiet:
            d["print"] = _print_nothing
        elif self._printer is not None:
            d["print"] = self._printer
            # What the native core needs to queue a line as the printer would, without calling it;
            # it checks that ``print`` is still this printer first.
            d["_core_lines"] = sink
        else:
            d.pop("print", None)

    def _line_printer(self) -> Tuple[Any, CoreLines]:
        """A ``print`` for the fast path, bound to the current file and its tag looks, and the same
        state for the native core."""
        fixed = self._file or None  # as rich reads it
        stream = "stderr" if self._stderr else "stdout"
        raw = fixed if fixed is not None else getattr(sys, stream, None)
        f = getattr(raw, "rich_proxied_file", raw)
        if f is not self._target:
            self._retarget(f)
        looks = self._looks
        pending = self._pending
        append, extend = pending.append, pending.extend
        plain = bool(self._sep)
        per = 1 if plain else 3  # pending items a line makes
        first, limit = per, per * BATCH_LINES
        sysdict = sys.__dict__
        owner = weakref.ref(self)  # no cycle through the instance's own dict
        tag_like = _TAG_LIKE

        def wake() -> None:
            con = owner()
            if con is not None:
                con._wake_timer()

        def flush() -> None:
            con = owner()
            if con is not None:
                con.flush_lines()

        def print(text: Any = _NONE, /, *more: Any, **kwargs: Any) -> None:
            if more or kwargs or type(text) is not str:
                con = owner()
                if con is not None:
                    con._rich_print(*((text,) if text is not _NONE else ()), *more, **kwargs)
                return
            if fixed is None and sysdict.get(stream) is not raw:  # the stream was replaced
                con = owner()
                if con is not None:
                    con._install()
                    LineConsole.print(con, text)
                return
            # One core tag around a body that holds nothing rich would read as mark-up (a "[" that
            # could open a tag, a backslash that could escape one) or rewrite (control characters).
            # (partition and removesuffix take their argument without parsing a tuple of them)
            head, _, rest = text.partition("]")
            look = looks.get(head)
            if look is not None:
                closing, prefix, suffix = look
                body = rest.removesuffix(closing)
                # (an unchanged str comes back as itself: no closing tag)
                if body is not rest and body and body.isprintable() and "\\" not in body and (
                    "[" not in body or not tag_like(body)
                ):
                    if plain:
                        append(body)
                    else:
                        extend((prefix, body, suffix))
                    n = len(pending)
                    if n == first:
                        wake()
                    elif n >= limit:
                        flush()
                    return
            con = owner()
            if con is not None:
                con._rich_print(text)

        print.__doc__ = LineConsole.print.__doc__
        return print, CoreLines(print, pending, looks, plain, fixed, stream, raw, first, limit, wake, flush)

    # Everything rich writes or holds back passes here or through the render hooks: earlier lines
    # are written first, and no line bypasses a live display or a buffer.
    def _enter_buffer(self) -> None:
        self._holds += 1
        self._update_fast()
        super()._enter_buffer()

    def _exit_buffer(self) -> None:
        self._holds -= 1
        try:
            super()._exit_buffer()
        finally:
            self._update_fast()

    def push_render_hook(self, hook: Any) -> None:
        super().push_render_hook(hook)
        self._update_fast()

    def pop_render_hook(self) -> None:
        super().pop_render_hook()
        self._update_fast()

    def push_theme(self, theme: Any, *, inherit: bool = True) -> None:
        self.flush_lines()
        super().push_theme(theme, inherit=inherit)
        self._target = None  # the tags may look different now
        self._install()

    def pop_theme(self) -> None:
        self.flush_lines()
        super().pop_theme()
        self._target = None
        self._install()

    # -- the fast path ---------------------------------------------------------------------------

    def print(self, *objects: Any, **kwargs: Any) -> None:
        """Print like :meth:`rich.console.Console.print`; single-tag lines by the fast path."""
        if self._quiet:
            return
        printer = self._printer
        if printer is not None:
            printer(*objects, **kwargs)
        else:
            self._rich_print(*objects, **kwargs)

    def _rich_print(self, *objects: Any, **kwargs: Any) -> None:
        self.flush_lines()
        super().print(*objects, **kwargs)

    def _retarget(self, f: Any) -> None:
        """Work out how lines look on `f` (a new file, a new setting, or the first line)."""
        self.flush_lines()
        looks: Dict[str, Tuple[str, str, str]] = {}
        # Nowhere to write, or a file whose encoding could refuse a character: rich writes (and
        # raises where it must, at the line that fails).
        colour = f is not None and self.is_terminal and not self.no_color and self._color_system is not None
        if f is not None and _takes_any_text(f):
            for tag in CORE_TAGS:
                prefix, suffix = "", ""
                if colour:
                    sample = self.get_style(tag).render("\0", color_system=self._color_system)
                    prefix, _, suffix = sample.partition("\0")
                looks["[" + tag] = ("[/" + tag + "]", prefix, suffix + "\n")
        with self._flush_lock:  # a batch being written still goes to the file it was printed for
            self._looks = looks
            self._target = f
            self._sep = "" if colour else "\n"

    def _wake_timer(self) -> None:
        if _exiting:  # the interpreter is shutting down: no later chance to write
            self.flush_lines()
            return
        timer = self._timer
        if timer is None or not timer.alive():
            timer = self._timer = _BatchTimer(self)
        timer.wake()

    def flush_lines(self) -> None:
        """Write the lines the fast path holds (and flush the file they went to)."""
        pending = self._pending
        if not pending:
            return
        with self._flush_lock:
            # Lines appended meanwhile stay for the next call: the list is never swapped.
            n = len(pending)
            if not n:  # another thread wrote them meanwhile
                return
            sep, target = self._sep, self._target
            text = sep.join(pending[:n]) + sep
            del pending[:n]
            if target is None:
                return
            try:
                target.write(text)
                target.flush()
            except BrokenPipeError:
                self.on_broken_pipe()
            except ValueError:
                if not getattr(target, "closed", False):
                    raise
                # the file was closed meanwhile: nothing left to write to

    def flush(self) -> None:
        """Write every line printed so far and flush the output file."""
        self.flush_lines()
        try:
            self.file.flush()
        except (ValueError, OSError):  # a closed or broken file at exit
            pass

    def __del__(self) -> None:
        timer = getattr(self, "_timer", None)
        if timer is not None:
            timer.stop()


_RICH_FILE: Any = Console.__dict__["file"]  # rich's property, extended by LineConsole.file
_NONE: Any = object()  # no argument given
_NEVER_FAILS = ("replace", "ignore", "backslashreplace", "xmlcharrefreplace", "namereplace")


def _print_nothing(*objects: Any, **kwargs: Any) -> None:
    """A quiet console's ``print``: prints nothing."""


def _takes_any_text(f: Any) -> bool:
    """Whether writing printable text to `f` cannot fail for the text's sake."""
    encoding = getattr(f, "encoding", None)
    if encoding is None:  # an in-memory or home-made file takes any str
        return True
    try:
        name = codecs.lookup(encoding).name
    except (LookupError, TypeError):
        return False
    return name.startswith("utf") or getattr(f, "errors", None) in _NEVER_FAILS


class _BatchTimer:
    """A daemon thread that writes a console's waiting lines within BATCH_SECONDS.

    It holds only a weak reference, so a console that is dropped is not kept alive.
    """

    def __init__(self, owner: LineConsole) -> None:
        self._owner = weakref.ref(owner)
        self._wake = threading.Event()
        self._stopped = False
        self._pid = os.getpid()
        self._thread = threading.Thread(target=self._run, name="console-lines", daemon=True)
        self._thread.start()

    def alive(self) -> bool:
        return self._pid == os.getpid() and self._thread.is_alive()

    def wake(self) -> None:
        self._wake.set()

    def stop(self) -> None:
        self._stopped = True
        self._wake.set()

    def _run(self) -> None:
        while True:
            self._wake.wait()
            self._wake.clear()
            # Keep writing while lines keep coming: one printed during a write finds the list
            # non-empty and does not wake us.
            while not self._stopped:
                time.sleep(BATCH_SECONDS)
                owner = self._owner()
                if owner is None:
                    return
                owner.flush_lines()
                more = bool(owner._pending)
                del owner
                if not more:
                    break
            if self._stopped:
                return


_LIVE: "weakref.WeakSet[LineConsole]" = weakref.WeakSet()


_exiting = False


def _flush_all() -> None:
    for c in list(_LIVE):
        c.flush()


def _at_exit() -> None:
    # Exit handlers that ran before this one are done; any that run after it write at once.
    global _exiting
    _exiting = True
    _flush_all()


# Lines still batched when the process ends, or when it forks (the child would write them again).
atexit.register(_at_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_flush_all)

# The package's console; the native core prints through it.
console = LineConsole()

