"""Console and file-system helpers used by the native core.

``console`` is the package's console: a :class:`rich.console.Console` (a :class:`LineConsole`) whose
``print`` has a fast path for the one-line messages of the native core. Those lines are a single
colour tag around plain text, such as ``"[bold red][回測] 進場 2330 1 張, ...[/bold red]"``:

- on a terminal they get the same SGR codes rich writes for the tag at the console's colour depth
  (``"\\x1b[1;31m...\\x1b[0m"`` on a standard-colour terminal); a line stays one line however wide;
- to a file or a pipe, or with ``NO_COLOR`` set, they are written as the plain text without tags;
- quiet (``console.quiet = True``, or ``ZOPT_KELV_QUIET=1`` in the environment when the package is
  imported, which also reaches worker processes) prints nothing at the cost of one attribute test.

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
any object that has a ``print(text)`` method redirects the core's lines.
"""

from __future__ import annotations

import atexit
import os
import re
import sys
import threading
import time
import weakref
from typing import IO, Any, Dict, List, Optional, Tuple

from rich.console import Console

__all__ = ["LineConsole", "console", "make_dir", "QUIET_ENV"]

#: Environment variable that makes the package console quiet when set to anything but "", "0".
QUIET_ENV = "ZOPT_KELV_QUIET"

# The tags the native core prints, each around the whole line.
CORE_TAGS = ("bold green", "red", "blue", "yellow", "bold pink1", "bold red", "bold yellow")

# Inside a line, a "[" that rich could read as the start of a tag.
_TAG_LIKE = re.compile(r"\[[a-z#/@]").search

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
        # opening tag -> (closing tag, prefix, suffix) on the current file; empty: use rich
        self._looks: Dict[str, Tuple[str, str, str]] = {}
        self._pending: List[str] = []  # rendered lines not yet written
        self._timer: Optional[_BatchTimer] = None
        self._ready = True
        self._update_fast()
        _LIVE.add(self)

    # Rich settings that decide whether the fast path may run; setting one re-decides.
    soft_wrap = _setting("soft_wrap")
    record = _setting("record")
    style = _setting("style")

    def _update_fast(self) -> None:
        if not getattr(self, "_ready", False):
            return
        self.flush_lines()
        self._fast = bool(
            self._markup and not self._highlight and not self._emoji and self.soft_wrap and not self.record
            and self.style is None and not self.is_jupyter and not self.legacy_windows
            and not self._render_hooks and not self._holds
        )  # fmt: skip

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

    def pop_theme(self) -> None:
        self.flush_lines()
        super().pop_theme()
        self._target = None

    # -- the fast path ---------------------------------------------------------------------------

    def print(self, *objects: Any, **kwargs: Any) -> None:
        """Print like :meth:`rich.console.Console.print`; single-tag lines by the fast path."""
        if self.quiet:
            return
        if self._fast and len(objects) == 1 and not kwargs:
            text = objects[0]
            if type(text) is str:
                f = self._file or sys.stdout
                if f is not self._target:
                    self._retarget(f)
                # One core tag around a body that holds nothing rich would read as mark-up (a "[" that
                # could open a tag, a backslash that could escape one) or rewrite (control characters).
                start = text.find("]") + 1
                look = self._looks.get(text[:start])
                if look is not None:
                    closing, prefix, suffix = look
                    stop = len(text) - len(closing)
                    if (
                        start < stop
                        and text.endswith(closing)
                        and "\\" not in text
                        and not _TAG_LIKE(text, start, stop)
                        and text.isprintable()
                    ):
                        pending = self._pending
                        pending.append(prefix + text[start:stop] + suffix)
                        if len(pending) == 1:
                            self._wake_timer()
                        elif len(pending) >= BATCH_LINES:
                            self.flush_lines()
                        return
        self.flush_lines()
        super().print(*objects, **kwargs)

    def _retarget(self, f: Any) -> None:
        """Work out how lines look on `f` (a new file, a new setting, or the first line)."""
        self.flush_lines()
        self._looks = {}
        self._target = f
        if f is None:  # no stdout at all (rich writes nowhere)
            return
        colour = self.is_terminal and not self.no_color and self._color_system is not None
        for tag in CORE_TAGS:
            if colour:
                sample = self.get_style(tag).render("\0", color_system=self._color_system)
                prefix, _, suffix = sample.partition("\0")
            else:
                prefix, suffix = "", ""
            self._looks["[" + tag + "]"] = ("[/" + tag + "]", prefix, suffix + "\n")

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
            text = "".join(pending[:n])
            del pending[:n]
            if not text or self._target is None:
                return
            try:
                self._target.write(text)
                self._target.flush()
            except BrokenPipeError:
                self.on_broken_pipe()
            except ValueError:  # the file was closed meanwhile: nothing left to write to
                pass

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


def make_dir(path: str) -> None:
    """Create ``path`` and any missing parents; an existing folder is fine."""
    os.makedirs(path, exist_ok=True)
