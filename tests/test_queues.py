"""Intraday profit request queues, with real threads."""

import threading
import time

import pytest


@pytest.fixture
def p(mod):
    return mod.Positions()


def test_snapshots_in_order_and_by_identity(p):
    a, b = [], {"code": "0050"}
    p.add_positions_to_queue(a)
    p.add_positions_to_queue(b)
    assert p.pop_positions() is a
    assert p.pop_positions() is b
    assert p.fetch_position_queue.empty()


def test_subclasses_accepted(p):
    class L(list):
        pass

    class D(dict):
        pass

    for snap in (L(), D()):
        p.add_positions_to_queue(snap)
        assert p.pop_positions() is snap


@pytest.mark.parametrize("bad, name", [(("0050",), "tuple"), (None, "NoneType"), ("x", "str")])
def test_rejected_snapshot(p, bad, name):
    with pytest.raises(Exception) as e:
        p.add_positions_to_queue(bad)
    assert type(e.value) is Exception and str(e.value) == f"不支援的持有部位格式: <class '{name}'>"
    assert p.fetch_position_queue.empty()


def test_finish_notice_clears_flag(p):
    p.wait_fetch_position_response_flag = True
    p.add_finish_notify_to_queue()
    assert p.wait_fetch_position_response_flag is True
    assert p.pop_finish_notify() is True
    assert p.wait_fetch_position_response_flag is False


def _blocked_take(take):
    got = []
    t = threading.Thread(target=lambda: got.append(take()), daemon=True)
    t.start()
    return t, got


@pytest.mark.parametrize("which", ["positions", "finish"])
def test_blocked_take_returns_once_another_thread_puts(p, which):
    take = p.pop_positions if which == "positions" else p.pop_finish_notify
    p.wait_fetch_position_response_flag = True
    t, got = _blocked_take(take)
    # The waiting thread must not hold the GIL: this thread keeps running.
    deadline = time.monotonic() + 0.3
    spins = 0
    while time.monotonic() < deadline:
        spins += 1
    assert t.is_alive() and got == [] and spins > 1000
    assert p.wait_fetch_position_response_flag is True  # not cleared while waiting
    snap = [{"code": "0050"}]
    putter = threading.Thread(
        target=p.add_positions_to_queue if which == "positions" else p.add_finish_notify_to_queue,
        args=(snap,) if which == "positions" else (),
    )
    putter.start()
    putter.join(5)
    t.join(5)
    assert not t.is_alive()
    assert got[0] is (snap if which == "positions" else True)
    if which == "finish":
        assert p.wait_fetch_position_response_flag is False


def test_fetch_positions_delivers_through_the_queue(p, mod, console):
    t, got = _blocked_take(p.pop_positions)
    assert p.fetch_positions("Stock") is None
    t.join(5)
    assert got == [[]]
