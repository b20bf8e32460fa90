import sys

import pytest

_quib_testing = pytest.importorskip("_quib_testing")
capture = _quib_testing.line_frame_capture


def current():
    return sys._getframe(1)


def test_two_events_in_one_function_share_the_qualified_name():
    code = test_two_events_in_one_function_share_the_qualified_name.__code__
    first = capture(code, "tests/frames/test_line_frames.py", sys._getframe())
    second = capture(code, "tests/frames/test_line_frames.py", sys._getframe())
    assert first["qualname"] == f"{__name__}.test_two_events_in_one_function_share_the_qualified_name"
    if sys.version_info >= (3, 11):
        assert first["qualname_address"] == second["qualname_address"]
    assert first["path_with_line"] is None
    assert second["line"] == first["line"] + 1
    assert first["co_name"] == "test_two_events_in_one_function_share_the_qualified_name"
    assert first["frame_id"].startswith("frm_") and len(first["frame_id"]) == 30


@pytest.mark.skipif(sys.version_info < (3, 11), reason="co_qualname is needed for the cache")
def test_other_module_globals_replace_the_cached_name():
    source = "def probe(capture, code):\n    return capture(code, 'm.py', __import__('sys')._getframe())\n"
    first_ns = {"__name__": "first_module"}
    second_ns = {"__name__": "second_module"}
    exec(compile(source, "m.py", "exec"), first_ns)
    code = first_ns["probe"].__code__
    # The same code object run under other globals.
    second = type(first_ns["probe"])(code, second_ns)
    a = first_ns["probe"](capture, code)
    b = second(capture, code)
    c = first_ns["probe"](capture, code)
    assert (a["qualname"], b["qualname"], c["qualname"]) == ("first_module.probe", "second_module.probe",
                                                             "first_module.probe")


def test_a_frame_of_another_code_gets_its_path_from_the_cache():
    other = current.__code__
    result = capture(other, "ignored.py", sys._getframe())
    assert result["line"] is None
    assert result["path_with_line"] == f"tests/frames/test_line_frames.py:{sys._getframe().f_lineno - 2}"
