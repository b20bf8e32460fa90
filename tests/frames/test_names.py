import sys
import textwrap

import pytest

_quib_testing = pytest.importorskip("_quib_testing")

MODERN = sys.version_info >= (3, 11)  # code objects carry co_qualname


def here():
    """The qualified name of the caller's frame."""
    return _quib_testing.get_qualname(sys._getframe(1))


class View:
    def get(self):
        return here()

    @classmethod
    def make(cls):
        return here()

    @staticmethod
    def helper():
        return here()

    @property
    def size(self):
        return here()


class Body:
    name = here()


def outer():
    def inner():
        return here()

    return inner()


def plain():
    return here()


@pytest.mark.parametrize(
    "run, expected",
    [
        (lambda: View().get(), "View.get"),
        (lambda: View().size, "View.size"),
        (lambda: View.make(), "View.make" if sys.version_info >= (3, 10) else None),
        (lambda: Body.name, "Body"),
        (outer, "outer.<locals>.inner"),
        (plain, "plain"),
        (lambda: View.helper(), "View.helper" if MODERN else None),
    ],
)
def test_qualname_of_functions(run, expected):
    assert run() == (f"{__name__}.{expected}" if expected else None)


def run_module(source, module_globals):
    module_globals.update(here=here)
    exec(textwrap.dedent(source), module_globals)
    return module_globals


def test_qualname_in_another_module():
    source = """
        class View:
            def get(self):
                return here()
        result = View().get()
        """
    assert run_module(source, {"__name__": "app.views"})["result"] == "app.views.View.get"


def test_module_level_code():
    assert run_module("result = here()", {"__name__": "app.views"})["result"] == "app.views.<module>"
    assert run_module("result = here()", {})["result"] == "<unknown>.<module>"


def test_module_name_that_is_not_a_str_is_formatted():
    assert run_module("result = here()", {"__name__": 42})["result"] == "42.<module>"


@pytest.mark.skipif(not MODERN, reason="older interpreters find functions by name")
def test_globals_without_name_give_unknown_module():
    functions = run_module("def f():\n    return here()\n", {})
    assert functions["f"]() == "<unknown>.f"


@pytest.mark.skipif(MODERN, reason="the lookups run only without co_qualname")
def test_lookup_failures_give_no_qualname():
    def make():
        def method_like(self):
            return here()

        return method_like

    # Found neither in the caller's locals, nor on self, nor in the globals.
    functions = {"call": make()}
    assert functions["call"](object()) is None


class NamedMapping:
    def __init__(self, name):
        self.name = name

    def __getitem__(self, key):
        if key == "__name__":
            return self.name
        raise KeyError(key)


class RaisingMapping:
    def __getitem__(self, key):
        raise RuntimeError("no items")


class DictWithMissing(dict):
    def __missing__(self, key):
        return "from __missing__"


@pytest.mark.parametrize(
    "globals_, expected",
    [
        ({"__name__": "app.views"}, "app.views"),
        ({"__name__": 5}, 5),
        ({}, "<unknown>"),
        (NamedMapping("mapped"), "mapped"),
        (RaisingMapping(), "<unknown>"),
        (DictWithMissing(), "from __missing__"),  # dict subclasses go through the mapping protocol
        (None, "<unknown>"),
    ],
)
def test_module_name_from_globals(globals_, expected):
    assert _quib_testing.module_name_from_globals(globals_) == expected


def test_line_numbers():
    frame = sys._getframe()
    line = frame.f_lineno + 1
    assert _quib_testing.frame_line_numbers(frame) == (line, line)


def without_line_numbers(code):
    """The same code with every instruction marked as having no line."""
    units = len(code.co_code) // 2
    if sys.version_info >= (3, 11):
        table = bytearray()
        while units > 0:
            chunk = min(units, 8)
            table.append(0x80 | (15 << 3) | (chunk - 1))  # "no location"
            units -= chunk
        return code.replace(co_linetable=bytes(table))
    table = bytearray()
    size = units * 2
    while size > 0:
        chunk = min(size, 254)
        table += bytes([chunk, 0x80])  # line delta -128: no line
        size -= chunk
    return code.replace(co_linetable=bytes(table))


@pytest.mark.skipif(sys.version_info < (3, 10), reason="3.9 code cannot say 'no line'")
def test_frame_without_a_line_number():
    seen = {}

    def capture():
        frame = sys._getframe(1)
        seen["lines"] = _quib_testing.frame_line_numbers(frame)
        cache = _quib_testing.path_cache_new()
        seen["path"] = _quib_testing.path_cache_call(cache, "frame", frame)[0]

    code = without_line_numbers(compile("capture()", "<no lines>", "exec"))
    exec(code, {"capture": capture})
    assert seen == {"lines": (None, None), "path": "<no lines>:None"}
