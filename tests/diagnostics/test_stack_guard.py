import logging
import re
import threading

import pytest

_quib_testing = pytest.importorskip("_quib_testing")

K = 1024
ENTER, EXIT, WITHIN = 0, 1, 2
RECORD, WITHOUT_VALUES, SKIP = 0, 1, 2


@pytest.mark.parametrize(
    "entries, boundary, event, remaining, decision, after, after_boundary",
    [
        # Plenty of stack: nothing is tracked.
        ([], 0, ENTER, 600 * K, RECORD, [], 0),
        ([], 0, WITHIN, 300 * K, RECORD, [], 0),
        # In the tracking zone an entered frame is tracked as recorded.
        ([], 0, ENTER, 300 * K, RECORD, [(7, 300 * K)], 1),
        # Below the enter reserve it is tracked as skipped, and so is everything inside it.
        ([(1, 300 * K)], 1, ENTER, 250 * K, SKIP, [(1, 300 * K), (7, 250 * K)], 1),
        ([(1, 300 * K), (2, 250 * K)], 1, ENTER, 260 * K, SKIP, [(1, 300 * K), (2, 250 * K), (7, 260 * K)], 1),
        ([(1, 300 * K), (2, 250 * K)], 1, WITHIN, 260 * K, SKIP, [(1, 300 * K), (2, 250 * K)], 1),
        ([], 0, WITHIN, 255 * K, SKIP, [], 0),
        # The exit of a skipped frame is skipped; the exit of the recorded frame around it is not.
        ([(1, 300 * K), (7, 250 * K)], 1, EXIT, 250 * K, SKIP, [(1, 300 * K)], 1),
        ([(7, 300 * K)], 1, EXIT, 300 * K, RECORD, [], 0),
        # Exits of recorded frames by remaining stack.
        ([(7, 150 * K)], 1, EXIT, 150 * K, WITHOUT_VALUES, [], 0),
        ([(7, 100 * K)], 1, EXIT, 127 * K, SKIP, [], 0),
        ([], 0, EXIT, 192 * K, RECORD, [], 0),
        ([], 0, EXIT, 191 * K, WITHOUT_VALUES, [], 0),
        # An untracked exit inside a skipped frame is skipped.
        ([(1, 300 * K), (2, 250 * K)], 1, EXIT, 260 * K, SKIP, [(1, 300 * K), (2, 250 * K)], 1),
        # A key found below a skipped region pops everything above it.
        ([(7, 300 * K), (2, 250 * K), (3, 240 * K)], 1, EXIT, 300 * K, RECORD, [], 0),
        # Entries left behind are dropped once the stack is 32 KiB shallower than where they were made.
        ([(1, 300 * K), (2, 270 * K)], 2, ENTER, 400 * K, RECORD, [(7, 400 * K)], 1),
        ([(1, 380 * K), (2, 300 * K)], 1, WITHIN, 340 * K, RECORD, [(1, 380 * K)], 1),
        ([(1, 300 * K)], 1, WITHIN, 332 * K, RECORD, [(1, 300 * K)], 1),  # exactly 32 KiB: kept
        # Saturating arithmetic at the top of the range.
        ([(1, 2**64 - 1)], 1, WITHIN, 2**64 - 1, RECORD, [(1, 2**64 - 1)], 1),
    ],
)
def test_decide(entries, boundary, event, remaining, decision, after, after_boundary):
    assert _quib_testing.stack_decide(entries, boundary, event, 7, remaining) == (decision, after, after_boundary)


def test_skipped_subtree_and_its_exits(in_thread):
    """Outer frame at 300 KiB, nested call at 250 KiB and its callee at 260 KiB."""

    def run():
        check = _quib_testing.stack_check
        decisions = [
            check(ENTER, 1, 300 * K),
            check(ENTER, 2, 250 * K),
            check(ENTER, 3, 260 * K),
            check(EXIT, 3, 260 * K),
            check(EXIT, 2, 250 * K),
            check(EXIT, 1, 300 * K),
        ]
        return decisions, _quib_testing.stack_guard_state()

    decisions, state = in_thread(run)
    assert [d for d, _ in decisions] == [RECORD, SKIP, SKIP, SKIP, SKIP, RECORD]
    assert all(restore is None for _, restore in decisions)
    assert state == ([], 0, False, True)  # nothing tracked, fast path armed again


def test_exit_without_values_sets_and_restores_the_flag(in_thread):
    def run():
        seen = [_quib_testing.stack_check(ENTER, 1, 300 * K)]
        seen.append(_quib_testing.stack_check(EXIT, 1, 150 * K))
        seen.append(_quib_testing.stack_guard_state())
        _quib_testing.stack_restore(seen[1][1])
        seen.append(_quib_testing.stack_guard_state())
        return seen

    entered, exited, during, after = in_thread(run)
    assert entered == (RECORD, None)
    assert exited == (WITHOUT_VALUES, False)  # the flag to put back
    assert during == ([], 0, True, False)  # omitting values: every event takes the slow path
    assert after == ([], 0, False, True)


def test_record_clears_a_set_flag_and_says_so(in_thread):
    def run():
        _quib_testing.stack_check(EXIT, 1, 150 * K)  # flag set, never restored
        return _quib_testing.stack_check(ENTER, 2, 600 * K), _quib_testing.stack_guard_state()

    decision, state = in_thread(run)
    assert decision == (RECORD, True)
    assert state == ([], 0, False, True)


def test_forget_entry_drops_only_a_recorded_top_entry(in_thread):
    def run():
        check = _quib_testing.stack_check
        check(ENTER, 1, 300 * K)
        check(ENTER, 2, 250 * K)  # skipped
        _quib_testing.stack_forget(2)  # top is a skipped entry: kept
        _quib_testing.stack_forget(1)  # not the top: kept
        first = _quib_testing.stack_guard_state()[0]
        check(EXIT, 2, 250 * K)
        _quib_testing.stack_forget(9)  # another key: kept
        second = _quib_testing.stack_guard_state()[0]
        _quib_testing.stack_forget(1)
        return first, second, _quib_testing.stack_guard_state()

    first, second, last = in_thread(run)
    assert first == [(1, 300 * K), (2, 250 * K)]
    assert second == [(1, 300 * K)]
    assert last == ([], 0, False, True)


def test_unknown_stack_bounds_always_take_the_fast_path(in_thread):
    def run():
        _quib_testing.forget_stack_bounds()
        decisions = [_quib_testing.stack_check_here(event, 5) for event in (ENTER, WITHIN, EXIT)]
        return decisions, _quib_testing.stack_remaining(), _quib_testing.room_to_flush(), _quib_testing.stack_guard_state()

    decisions, remaining, room, state = in_thread(run)
    assert decisions == [RECORD, RECORD, RECORD]
    assert remaining is None and room is True
    assert state == ([], 0, False, True)


def test_a_normal_thread_has_room():
    assert _quib_testing.stack_remaining() > 544 * K
    assert _quib_testing.room_to_flush() is True


@pytest.fixture
def small_stack_thread(in_thread):
    """Runs a function on a fresh thread with a 1 MiB stack."""

    def run(function):
        previous = threading.stack_size(1 << 20)
        try:
            return in_thread(function)
        finally:
            threading.stack_size(previous)

    return run


def dive(stop_below):
    """Recurses, 16 KiB of C stack per level, until less than `stop_below` bytes are left."""

    def level(depth):
        if _quib_testing.stack_remaining() < stop_below:
            return depth
        return _quib_testing.burn_stack(16 * K, lambda: level(depth + 1))

    return level(0)


def test_deep_recursion_on_a_small_stack_is_skipped_not_crashed(small_stack_thread):
    def run():
        events, skips = _quib_testing.trace_events(lambda: dive(110 * K))
        return events, skips, _quib_testing.stack_guard_state()

    events, skips, state = small_stack_thread(run)
    levels = [event for event in events if event[1] == "level"]
    open_decisions = []
    for kind, _, decision, frame_id, _ in levels:
        if kind == "call":
            open_decisions.append(decision)
            assert decision in (RECORD, SKIP)
        else:
            entered = open_decisions.pop()
            if entered == SKIP:
                assert decision == SKIP  # a skipped frame's exit is skipped with it
        assert (frame_id is None) == (decision == SKIP)
    assert not open_decisions
    calls = [decision for kind, _, decision, _, _ in levels if kind == "call"]
    assert RECORD in calls and SKIP in calls
    assert calls.index(SKIP) > 0 and set(calls[calls.index(SKIP) :]) == {SKIP}  # once skipping, always
    assert skips == sum(1 for event in events if event[2] == SKIP)
    assert state == ([], 0, False, True)  # all tracked entries popped again


def test_unknown_bounds_on_a_small_stack_never_skip(small_stack_thread):
    def run():
        depth = dive(200 * K)  # as deep as the guard would start skipping at

        def fixed(level):
            return level if level == depth else _quib_testing.burn_stack(16 * K, lambda: fixed(level + 1))

        _quib_testing.forget_stack_bounds()
        return _quib_testing.trace_events(lambda: fixed(0))

    events, skips = small_stack_thread(run)
    assert skips == 0
    assert {decision for _, _, decision, _, _ in events} == {RECORD}


SKIP_WARNING = re.compile(
    r"Quib recorded no frames in trace trc_X: it skipped 3 events as too close to the end of the C stack "
    r"\(\d+ KiB left where it keeps 256 KiB in reserve\)\. A thread needs a stack of more than twice that to be "
    r"traced\. If this one has that, this is a bug in Quib: please report it with your platform and Python version\."
)


def test_skip_warning_text():
    assert SKIP_WARNING.fullmatch(_quib_testing.stack_skips_message("trc_X", 3, 200 * K + 1023))
    assert "(200 KiB left" in _quib_testing.stack_skips_message("trc_X", 3, 200 * K + 1023)


def test_warn_if_nothing_recorded(caplog):
    skips = _quib_testing.stack_skips_new()
    with caplog.at_level(logging.WARNING, logger="quib"):
        for _ in range(3):
            _quib_testing.stack_skips_note(skips)
        assert _quib_testing.stack_skips_warn(skips, "trc_X", False) == 0  # frames recorded: silent, reset
        assert caplog.records == []
        for _ in range(3):
            _quib_testing.stack_skips_note(skips)
        assert _quib_testing.stack_skips_warn(skips, "trc_X", True) == 0
        assert _quib_testing.stack_skips_warn(skips, "trc_X", True) == 0  # nothing skipped since: silent
    (record,) = caplog.records
    assert record.name == "quib" and SKIP_WARNING.fullmatch(record.getMessage())
