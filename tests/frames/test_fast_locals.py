"""Locals read straight from a function frame are exactly dict(frame.f_locals), in the same order."""

import sys

import pytest

_quib_testing = pytest.importorskip("_quib_testing")


def with_args(a, b=2, *rest, c, d=4, **options):
    x = a
    return x


def bound_later(n):
    if n:
        y = n * 2
    return n


def deletes():
    x = 1
    del x
    return 0


def closure(v):
    w = v + 1

    def inner():
        return v + w

    return inner()


def empty_cell():
    def inner():
        return z

    z = 1
    return inner()


def comprehension(xs):
    return [x * 2 for x in xs]


def comprehension_shadowing(xs):
    x = 5
    ys = [x for x in xs]
    return x, ys


def generator(n):
    for i in range(n):
        yield i


class Base:
    def method(self):
        return "base"


class Child(Base):
    def method(self):
        return super().method()


def catches():
    try:
        raise ValueError("no")
    except ValueError as error:
        kept = str(error)
    return kept


def shadows_builtins():
    __builtins__ = 3
    return __builtins__


def many_locals():
    a0 = a1 = a2 = a3 = a4 = a5 = a6 = a7 = a8 = a9 = 0
    b0 = b1 = b2 = b3 = b4 = b5 = b6 = b7 = b8 = b9 = 0
    c0 = c1 = c2 = c3 = c4 = c5 = c6 = c7 = c8 = c9 = 0
    d0 = d1 = d2 = d3 = d4 = 0
    return 0


def asks_for_locals():
    here = 1
    return dict(locals())


def program():
    with_args(1, 3, 5, c=6, e=7)
    bound_later(0)
    bound_later(1)
    deletes()
    closure(1)
    empty_cell()
    comprehension([1, 2])
    comprehension_shadowing([1, 2])
    list(generator(3))
    Child().method()
    catches()
    shadows_builtins()
    many_locals()
    asks_for_locals()
    (lambda value, default=3: value + default)(1)


def expected_items(frame):
    return [(k, v) for k, v in dict(frame.f_locals).items() if k != "__builtins__"]


def run_checking(check_on):
    """Runs the program with a hook that compares the two reads on `check_on` events.

    Reading f_locals makes 3.11 and 3.12 keep a locals dict in the frame, after which the direct
    read is refused for that frame; so each run compares on one kind of event only."""
    compared, refused, mismatches = [], [], []

    def hook(frame, event, arg):
        if frame.f_code.co_filename != __file__ or frame.f_code.co_name in ("program", "run_checking"):
            return
        if event not in ("call", "return") or event != check_on:
            return
        direct = _quib_testing.fast_locals(frame)
        expected = expected_items(frame)
        name = frame.f_code.co_name
        if direct is None:
            refused.append(name)
        elif direct != expected:
            mismatches.append((name, event, direct, expected))
        else:
            compared.append(name)

    sys.setprofile(hook)
    try:
        program()
    finally:
        sys.setprofile(None)
    return compared, refused, mismatches


@pytest.mark.parametrize("event", ["call", "return"])
def test_direct_reads_match_f_locals(event):
    compared, refused, mismatches = run_checking(event)
    assert mismatches == []
    if sys.version_info < (3, 11):
        assert compared == []
        return
    expected_refusals = set()
    if event == "return":
        expected_refusals.add("many_locals")  # too many for the direct read (none are bound at its call)
        if sys.version_info < (3, 13):
            expected_refusals.add("asks_for_locals")  # its own locals() made the frame keep a dict
    if sys.version_info < (3, 13):
        # Resumed or suspended again: this hook's first f_locals made the frame keep a dict.
        expected_refusals.add("generator")
    assert set(refused) == expected_refusals
    for name in ("with_args", "closure", "inner", "comprehension", "generator", "method", "catches",
                 "shadows_builtins", "<lambda>", "empty_cell", "comprehension_shadowing"):
        assert name in compared


def test_a_frame_whose_locals_were_asked_for_is_read_the_usual_way():
    seen = []

    def hook(frame, event, arg):
        if frame.f_code.co_name == "bound_later" and event == "return":
            frame.f_locals  # noqa: B018 - the frame keeps its locals from now on (3.11, 3.12)
            seen.append(_quib_testing.fast_locals(frame))

    sys.setprofile(hook)
    try:
        bound_later(1)
    finally:
        sys.setprofile(None)
    if sys.version_info >= (3, 13):
        assert seen == [[("n", 1), ("y", 2)]]  # the proxy keeps nothing of its own
    else:
        assert seen == [None]


def test_module_and_class_bodies_are_not_read_directly():
    namespace = {}
    exec("import sys\nframe = sys._getframe()", namespace)
    assert _quib_testing.fast_locals(namespace["frame"]) is None
