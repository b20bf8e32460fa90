import sys
import threading

import pytest

_quib_testing = pytest.importorskip("_quib_testing")

CALL, RETURN, UNWIND, RESUME, YIELD, THROW = range(6)


def traced(function):
    events, skips = _quib_testing.trace_events(function)
    assert skips == 0
    return [(kind, name, frame_id, site) for kind, name, _, frame_id, site in events]


def test_call_and_return_share_an_id_and_call_sites_name_the_caller():
    def inner():
        return 1

    def outer():
        return inner()  # the line the call site points at

    events = traced(outer)
    (c_outer, c_inner, r_inner, r_outer) = events
    assert [e[:2] for e in events] == [("call", "outer"), ("call", "inner"), ("return", "inner"), ("return", "outer")]
    assert c_outer[2] == r_outer[2] and c_inner[2] == r_inner[2] and c_outer[2] != c_inner[2]
    call_line = outer.__code__.co_firstlineno + 1
    assert c_outer[3] is None and r_outer[3] is None  # the outermost recorded frame has no call site
    assert c_inner[3] == (c_outer[2], call_line) == r_inner[3]


def test_generator_runs_get_fresh_ids_and_yields_close_them():
    def numbers():
        yield 1
        yield 2

    def consume():
        return list(numbers())

    runs = [(kind, frame_id) for kind, name, frame_id, _ in traced(consume) if name == "numbers"]
    # Three runs: to the first yield, to the second, to the end.
    assert [kind for kind, _ in runs] == ["call", "return"] * 3
    ids = [frame_id for _, frame_id in runs]
    assert ids[0] == ids[1] and ids[2] == ids[3] and ids[4] == ids[5]
    assert len({ids[0], ids[2], ids[4]}) == 3


@pytest.fixture
def ids():
    return _quib_testing.frame_ids_new()


def frame_ids(table, operation, address, argument=None):
    return _quib_testing.frame_ids_call(table, operation, address, argument)


@pytest.mark.parametrize("closing", [RETURN, UNWIND, YIELD])
def test_closing_without_opening_gets_a_fresh_id_that_is_not_kept(ids, closing):
    first = frame_ids(ids, "get_or_set", 0x1000, closing)
    assert first.startswith("frm_")
    assert frame_ids(ids, "get_option", 0x1000) is None
    assert frame_ids(ids, "get_or_set", 0x1000, closing) != first


@pytest.mark.parametrize("opening", [CALL, RESUME, THROW])
def test_opening_replaces_the_id_of_an_earlier_frame_at_the_address(ids, opening):
    old = frame_ids(ids, "get_or_set", 0x1000, CALL)
    assert frame_ids(ids, "get_or_set", 0x1000, RETURN) == old  # kept after the frame closes
    new = frame_ids(ids, "get_or_set", 0x1000, opening)
    assert new != old
    assert frame_ids(ids, "get_option", 0x1000) == new == frame_ids(ids, "get_or_set", 0x1000, RETURN)
    assert frame_ids(ids, "size", 0) == 1


def test_abandon(ids):
    frame_ids(ids, "get_or_set", 0x1000, CALL)
    frame_ids(ids, "abandon", 0x1000, True)
    assert frame_ids(ids, "get_option", 0x1000) is None
    assert frame_ids(ids, "take_abandoned", 0x1000) is True
    assert frame_ids(ids, "take_abandoned", 0x1000) is False  # the mark is taken once

    frame_ids(ids, "abandon", 0x2000, True)
    frame_ids(ids, "get_or_set", 0x2000, CALL)  # a new call at the address clears the mark
    assert frame_ids(ids, "take_abandoned", 0x2000) is False

    frame_ids(ids, "get_or_set", 0x3000, CALL)
    frame_ids(ids, "abandon", 0x3000, False)
    assert frame_ids(ids, "get_option", 0x3000) is None
    assert frame_ids(ids, "take_abandoned", 0x3000) is False


def test_many_addresses_stay_distinct(ids):
    addresses = [0x10000 + 0x1A0 * i for i in range(5000)]
    stored = {address: frame_ids(ids, "get_or_set", address, CALL) for address in addresses}
    for address in addresses[::3]:
        frame_ids(ids, "abandon", address, False)
    for index, address in enumerate(addresses):
        expected = None if index % 3 == 0 else stored[address]
        assert frame_ids(ids, "get_option", address) == expected
    assert frame_ids(ids, "size", 0) == len(addresses) - len(addresses[::3])


def frames_of(depth):
    """[outermost, ..., innermost] live frames of a call chain `depth` deep, with their callback."""

    def chain(n, collected, body):
        collected.append(sys._getframe())
        return body(collected) if n == 1 else chain(n - 1, collected, body)

    return lambda body: chain(depth, [], body)


def test_call_frames_stack_updates():
    def body(frames):
        stack = _quib_testing.call_frames_new()
        site = lambda frame, event, frame_id: _quib_testing.call_frames_site(stack, frame, event, frame_id)
        view = lambda: _quib_testing.call_frames_view(stack, "ids")
        a, b, c = (_quib_testing.new_frame_id() for _ in range(3))
        assert site(frames[0], CALL, a) is None
        assert site(frames[1], CALL, b) == (a, frames[0].f_lineno)
        assert site(frames[2], CALL, c) == (b, frames[1].f_lineno)
        snapshot = _quib_testing.call_frames_view(stack, "snapshot")
        assert snapshot == [(frames[1], b), (frames[2], c)]
        assert site(frames[2], RETURN, "frm_" + "0" * 26) == (c, frames[2].f_lineno)  # unknown id: stack kept
        assert view() == [a, b, c]
        # c never closed: it is still the top entry, so it is the site; b and c are popped.
        assert site(frames[1], RETURN, b) == (c, frames[2].f_lineno)
        assert view() == [a]
        assert site(frames[0], RETURN, a) is None
        assert view() == [] and _quib_testing.call_frames_view(stack, "snapshot") == []
        return True

    assert frames_of(3)(body)


def test_call_frames_truncate():
    def body(frames):
        stack = _quib_testing.call_frames_new()
        ids = [_quib_testing.new_frame_id() for _ in frames]
        for frame, frame_id in zip(frames, ids):
            _quib_testing.call_frames_site(stack, frame, CALL, frame_id)
        _quib_testing.call_frames_view(stack, "truncate", "frm_" + "1" * 26)  # unknown: nothing
        _quib_testing.call_frames_view(stack, "truncate", ids[1])
        return _quib_testing.call_frames_view(stack, "ids") == ids[:1]

    assert frames_of(3)(body)


def test_a_call_site_that_is_not_a_frame_fails_and_keeps_the_stack():
    stack = _quib_testing.call_frames_new()
    a, b = _quib_testing.new_frame_id(), _quib_testing.new_frame_id()
    _quib_testing.call_frames_site(stack, object(), CALL, a)
    with pytest.raises(TypeError, match="'object' object cannot be converted to 'PyFrame'"):
        _quib_testing.call_frames_site(stack, sys._getframe(), CALL, b)
    assert _quib_testing.call_frames_view(stack, "ids") == [a]


class FakeThread:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class Raising:
    def __init__(self, error):
        self.error = error

    def __get__(self, instance, owner):
        raise self.error


def thread_with(name="worker", **descriptors):
    return type("Thread", (), {"name": name, **descriptors})()


@pytest.mark.parametrize(
    "thread, expected",
    [
        (FakeThread(native_id=123, ident=456), "native_123"),
        (FakeThread(native_id=None, ident=456), "ident_456"),
        (FakeThread(ident=2**64 - 1), "ident_18446744073709551615"),  # no native_id attribute at all
        (thread_with(native_id=Raising(AttributeError("gone")), ident=7), "ident_7"),
    ],
)
def test_thread_ids(thread, expected):
    assert _quib_testing.get_thread_id(thread) == expected


def test_real_threads_use_the_native_id(in_thread):
    assert _quib_testing.get_thread_id(threading.current_thread()) == f"native_{threading.get_native_id()}"
    assert in_thread(lambda: _quib_testing.get_thread_id(threading.current_thread())) != _quib_testing.get_thread_id(
        threading.current_thread()
    )


@pytest.mark.parametrize(
    "thread, name",
    [
        (FakeThread(native_id=None, ident=None, name="poller"), "poller"),
        (FakeThread(), "<unknown>"),
        (thread_with(name=Raising(RuntimeError("no name"))), "<unknown>"),
        (FakeThread(name=42), "<unknown>"),
    ],
)
def test_thread_without_ids_warns_on_stdout(capfd, thread, name):
    assert _quib_testing.get_thread_id(thread) == "no_thread_id"
    assert capfd.readouterr().out == f"Quib warning: thread has no id: {name}\n"


@pytest.mark.parametrize(
    "thread, error",
    [
        (thread_with(native_id=Raising(RuntimeError("broken"))), RuntimeError),
        (FakeThread(native_id=-1), OverflowError),
        (FakeThread(native_id="12"), TypeError),
        (FakeThread(native_id=None, ident=2**64), OverflowError),
    ],
)
def test_thread_id_failures_are_returned(thread, error):
    with pytest.raises(error):
        _quib_testing.get_thread_id(thread)
