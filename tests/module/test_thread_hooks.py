import os
import sys
import threading

import pytest

import _quib

_quib_testing = pytest.importorskip("_quib_testing")

WORKER, SUSPENDED, PENDING = 1, 2, 4


def test_worker_mark_belongs_to_one_thread(in_thread):
    def mark_twice():
        assert _quib._current_thread_hook_state() == 0
        first = _quib.set_current_thread_quib_worker(True)
        second = _quib.set_current_thread_quib_worker(True)
        return first, second, _quib._current_thread_hook_state()

    assert in_thread(mark_twice) == (False, True, WORKER)
    assert in_thread(_quib._current_thread_hook_state) == 0
    assert _quib._current_thread_hook_state() & WORKER == 0


def test_unmarking_returns_previous_mark(in_thread):
    def run():
        _quib.set_current_thread_quib_worker(True)
        return _quib.set_current_thread_quib_worker(False), _quib._current_thread_hook_state()

    assert in_thread(run) == (True, 0)


def test_reset_after_fork_clears_mark_and_suspension(in_thread):
    def run():
        _quib.set_current_thread_quib_worker(True)
        owner = _quib_testing.owner_new()
        _quib_testing.set_assignment(owner, 1, True)

        def inside():
            state = _quib._current_thread_hook_state()
            return state, _quib._reset_thread_hooks_after_fork(), _quib._current_thread_hook_state()

        result = _quib_testing.suspended_call(inside)
        second = _quib._reset_thread_hooks_after_fork()
        return result, second

    (inside_state, first, after), second = in_thread(run)
    assert inside_state == WORKER | SUSPENDED | PENDING
    assert first is True
    assert after == PENDING  # the assignment bit is left alone
    assert second is False


def test_suspension_nests(in_thread):
    def run():
        def outer():
            _quib_testing.suspended_call(lambda: None)
            return _quib._current_thread_hook_state()

        inside = _quib_testing.suspended_call(outer)
        return inside, _quib._current_thread_hook_state()

    assert in_thread(run) == (SUSPENDED, 0)


def test_suspension_ends_when_the_call_raises(in_thread):
    def run():
        with pytest.raises(ZeroDivisionError):
            _quib_testing.suspended_call(lambda: 1 / 0)
        return _quib._current_thread_hook_state()

    assert in_thread(run) == 0


def test_assignment_bits_accumulate_and_clear(in_thread):
    def run():
        owner = _quib_testing.owner_new()
        _quib_testing.set_assignment(owner, 1, True)
        _quib_testing.set_assignment(owner, 2, True)
        after_set = (_quib_testing.waiting(), _quib._current_thread_hook_state())
        _quib_testing.set_assignment(owner, 3, False)
        after_clear = (_quib_testing.waiting(), _quib._current_thread_hook_state())
        return owner, after_set, after_clear

    owner, after_set, after_clear = in_thread(run)
    assert after_set == ([(owner, True, 3)], PENDING)
    assert after_clear == ([(owner, True, 0)], 0)  # the entry stays with no bits


def test_clearing_without_an_entry_adds_nothing(in_thread):
    def run():
        owner = _quib_testing.owner_new()
        _quib_testing.set_assignment(owner, 2, False)
        return _quib_testing.waiting(), _quib._current_thread_hook_state()

    assert in_thread(run) == ([], 0)


def test_dead_owner_keeps_bit_until_dropped(in_thread):
    def run():
        dead, live = _quib_testing.owner_new(), _quib_testing.owner_new()
        _quib_testing.set_assignment(dead, 1, True)
        _quib_testing.owner_retire(dead)
        kept = (_quib_testing.waiting(), _quib._current_thread_hook_state())
        _quib_testing.drop_dead_assignments()
        dropped = (_quib_testing.waiting(), _quib._current_thread_hook_state())
        return dead, live, kept, dropped

    dead, _, kept, dropped = in_thread(run)
    assert kept == ([(dead, False, 1)], PENDING)
    assert dropped == ([], 0)


def test_inserting_another_owner_compacts_dead_entries(in_thread):
    def run():
        a, b, c = (_quib_testing.owner_new() for _ in range(3))
        _quib_testing.set_assignment(a, 1, True)
        _quib_testing.set_assignment(b, 2, True)
        _quib_testing.owner_retire(a)
        _quib_testing.set_assignment(c, 1, True)
        return b, c, _quib_testing.waiting()

    b, c, waiting = in_thread(run)
    assert waiting == [(b, True, 2), (c, True, 1)]


def test_owner_numbers_are_unique_and_increasing():
    numbers = [_quib_testing.owner_new() for _ in range(5)]
    assert numbers == sorted(set(numbers))


def test_many_threads_exit_with_pending_assignments():
    # Each thread's list is torn down at exit and releases its flags; nothing crashes or leaks.
    owner = _quib_testing.owner_new()

    def work():
        _quib_testing.set_assignment(owner, 3, True)

    threads = [threading.Thread(target=work) for _ in range(50)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert _quib_testing.waiting() == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_can_reset_its_main_thread():
    _quib.set_current_thread_quib_worker(True)
    try:
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # child
            os.close(read)
            inherited = _quib._current_thread_hook_state()
            previous = _quib._reset_thread_hooks_after_fork()
            os.write(write, f"{inherited} {previous} {_quib._current_thread_hook_state()}".encode())
            os._exit(0)
        os.close(write)
        with os.fdopen(read) as pipe:
            answer = pipe.read()
        os.waitpid(pid, 0)
        assert answer == "1 True 0"
        assert _quib._current_thread_hook_state() & WORKER  # the parent keeps its mark
    finally:
        _quib.set_current_thread_quib_worker(False)
