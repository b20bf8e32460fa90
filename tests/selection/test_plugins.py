import sys
import types

import pytest

import quib.plugins

_quib_testing = pytest.importorskip("_quib_testing")

BASE = {"co_names": ["handle"], "path_fragment": "app/", "call_type": "request", "return_type": "response"}


def plugin(**changes):
    entry = dict(BASE)
    entry.update(changes)
    return entry


def load(*plugins):
    return _quib_testing.plugins_load({"plugins": list(plugins)})


def test_types_fall_back_as_documented():
    [processor] = load(plugin())["handle"]
    assert processor["unwind_type"] == "response"
    assert processor["throw_type"] == "response"  # falls back to the unwind type
    assert processor["resume_type"] == "request"
    assert processor["yield_type"] == "response"
    assert processor["subtype"] is None and processor["events"] is None
    assert processor["context"] == {}


def test_explicit_types_and_fields():
    [processor] = load(plugin(unwind_type="error", subtype="http", events=["call"]))["handle"]
    assert (processor["unwind_type"], processor["throw_type"]) == ("error", "error")
    assert processor["subtype"] == "http"
    assert processor["events"] == ["call"]


def test_two_code_names_share_one_build_context():
    made = []

    def build_context(config):
        made.append(config)
        return {"n": len(made)}

    registry = load(plugin(co_names=["a", "b"], build_context=build_context))
    assert registry["a"][0]["context"] is registry["b"][0]["context"]
    assert len(made) == 1


def test_processors_for_one_code_name_keep_their_order():
    registry = load(plugin(call_type="first"), plugin(call_type="second"))
    assert [p["call_type"] for p in registry["handle"]] == ["first", "second"]


@pytest.mark.parametrize(
    "bad, error",
    [
        ({k: v for k, v in BASE.items() if k != "co_names"}, KeyError),
        ({k: v for k, v in BASE.items() if k != "call_type"}, KeyError),
        (plugin(co_names=[3]), TypeError),
        (plugin(call_type=3), TypeError),
        (plugin(subtype=3), TypeError),
        (plugin(events="call"), TypeError),
        (plugin(process=3), TypeError),
        (plugin(build_context=lambda config: [1]), TypeError),
    ],
)
def test_malformed_plugins_fail_the_load(bad, error):
    with pytest.raises(error):
        load(bad)


def test_build_context_exceptions_pass_through():
    def fail(config):
        raise ZeroDivisionError("context")

    with pytest.raises(ZeroDivisionError, match="context"):
        load(plugin(build_context=fail))


@pytest.mark.parametrize(
    "replacement, message",
    [
        (None, "quib.plugins should always be importable"),
        (types.ModuleType("quib.plugins"), "load_plugin_data should exist"),
    ],
)
def test_a_broken_host_plugins_module_is_an_internal_failure(monkeypatch, replacement, message):
    monkeypatch.setitem(sys.modules, "quib.plugins", replacement)
    with pytest.raises(BaseException, match=message) as caught:
        _quib_testing.plugins_load({})
    assert type(caught.value).__name__ == "InternalPanic"


@pytest.mark.parametrize(
    "loader, message",
    [(3, "load_plugin_data should be callable"), (lambda config: (), "load_plugin_data should return a list")],
)
def test_a_malformed_loader_is_an_internal_failure(monkeypatch, loader, message):
    monkeypatch.setattr(quib.plugins, "load_plugin_data", loader)
    with pytest.raises(BaseException, match=message):
        _quib_testing.plugins_load({})


def test_matcher_gets_four_arguments_and_must_return_bool():
    seen = []

    def matcher(frame, event, argument, context):
        seen.append((frame, event, argument, context))
        return event == "call"

    settings = {"plugins": [plugin(call=matcher, events=["call", "return"])]}
    frame = sys._getframe()
    assert _quib_testing.plugins_match(settings, "handle", frame, 0, None) == (True, True, "request")
    assert _quib_testing.plugins_match(settings, "handle", frame, 1, 7) == (False, True, "response")
    assert _quib_testing.plugins_match(settings, "handle", frame, 2, None) == (False, False, "response")
    assert seen[1][:3] == (frame, "return", 7) and seen[1][3] == {}
    with pytest.raises(TypeError):
        _quib_testing.plugins_match({"plugins": [plugin(call=lambda *a: 1)]}, "handle", frame, 0, None)


def test_matcher_keyboard_interrupt_is_returned():
    def matcher(*args):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _quib_testing.plugins_match({"plugins": [plugin(call=matcher)]}, "handle", sys._getframe(), 0, None)


def test_without_matcher_every_event_matches():
    assert _quib_testing.plugins_match({"plugins": [plugin()]}, "handle", None, 5, None)[0] is True


# The host side: which plug-ins the settings declare.

PLUGIN_MODULE = """
QUIB_PLUGINS = [{"co_names": ["f"], "path_fragment": "", "call_type": "c", "return_type": "r"}]
def named():
    return {"co_names": ["g"], "path_fragment": "", "call_type": "c", "return_type": "r"}
NOT_A_PLUGIN = 3
"""


@pytest.fixture
def plugin_module(tmp_path, monkeypatch):
    (tmp_path / "my_quib_plugins.py").write_text(PLUGIN_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    yield "my_quib_plugins"
    sys.modules.pop("my_quib_plugins", None)


def test_load_plugin_data_resolves_references(plugin_module):
    inline = plugin()
    data = quib.plugins.load_plugin_data({"plugins": [plugin_module, f"{plugin_module}:named", inline]})
    assert [p["co_names"] for p in data] == [["f"], ["g"], ["handle"]]
    assert data[2] is inline
    assert quib.plugins.load_plugin_data({}) == []


@pytest.mark.parametrize(
    "declared, message",
    [
        ("no_such_module_xyz", "cannot be imported"),
        ("my_quib_plugins:missing", "has no attribute"),
        ("my_quib_plugins:NOT_A_PLUGIN", "expected a plugin dict"),
        (3, "must be a list"),
        ([3], "must be dicts or"),
    ],
)
def test_load_plugin_data_errors_are_clear(plugin_module, declared, message):
    with pytest.raises(quib.plugins.PluginError, match=message):
        quib.plugins.load_plugin_data({"plugins": declared})


# Processing: the plug-in records themselves.

from quib.serialize import Truncated, load_msgpack  # noqa: E402

CALLER_ID = "frm_" + "C" * 26


def process(frame, event, argument=None, call_site_frames=None):
    result = _quib_testing.plugins_process("handle", frame, event, argument, call_site_frames or [])
    if result is None:
        return None
    type_, data = result
    return type_, load_msgpack(data)


def test_record_base_entries_and_processor_entries():
    def processor(frame, event, argument, context):
        return {"event_seen": event, "argument": argument, "context": context}

    _quib_testing.plugins_keep({"plugins": [plugin(process=processor, subtype="http",
                                                   build_context=lambda c: {"k": 1})]})
    caller = sys._getframe()
    type_, record = process(caller, 0, "arg", [(caller.f_back, CALLER_ID), (caller, "frm_" + "D" * 26)])
    assert type_ == "request"
    assert list(record)[:5] == ["frame_id", "timestamp", "user_code_call_site", "type", "subtype"]
    assert record["frame_id"].startswith("frm_") and len(record["frame_id"]) == 30
    # The traced frame's own entry is skipped: the call site is the recorded frame below it.
    assert record["user_code_call_site"] == {"call_frame_id": CALLER_ID, "line_number": caller.f_back.f_lineno}
    assert (record["type"], record["subtype"]) == ("request", "http")
    assert (record["event_seen"], record["argument"], record["context"]) == ("call", "arg", {"k": 1})


def test_return_reuses_the_call_id_and_a_new_call_gets_a_new_one():
    _quib_testing.plugins_keep({"plugins": [plugin()]})
    frame = sys._getframe()
    call = process(frame, 0)[1]["frame_id"]
    ret = process(frame, 1)[1]["frame_id"]
    again = process(frame, 0)[1]["frame_id"]
    assert ret == call and again != call


def test_events_list_limits_processing():
    _quib_testing.plugins_keep({"plugins": [plugin(events=["call"])]})
    frame = sys._getframe()
    assert process(frame, 0)[0] == "request"
    assert process(frame, 1) is None


def test_processor_may_replace_the_type():
    _quib_testing.plugins_keep({"plugins": [plugin(process=lambda *a: {"type": "start_test", "test_name": "t"})]})
    type_, record = process(sys._getframe(), 0)
    assert type_ == "start_test" and record["test_name"] == "t"


@pytest.mark.parametrize("result", [None, 3, ["not", "a", "mapping"]])
def test_a_processor_without_a_mapping_gives_the_base_record_and_one_report(result):
    reports = []
    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        _quib_testing.plugins_keep({"plugins": [plugin(process=lambda *a: result)]})
        type_, record = process(sys._getframe(), 0)
    finally:
        sys.unraisablehook = hook
    assert set(record) == {"frame_id", "timestamp", "user_code_call_site", "type"}
    assert len(reports) == 1


def test_a_raising_processor_is_reported_and_tracing_goes_on():
    reports = []

    def fail(*args):
        raise ValueError("plugin bug")

    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        _quib_testing.plugins_keep({"plugins": [plugin(process=fail)]})
        assert process(sys._getframe(), 0)[0] == "request"
    finally:
        sys.unraisablehook = hook
    assert [type(r.exc_value) for r in reports] == [ValueError]


def test_a_non_text_type_fails():
    _quib_testing.plugins_keep({"plugins": [plugin(process=lambda *a: {"type": 3})]})
    with pytest.raises(TypeError):
        process(sys._getframe(), 0)


def test_a_huge_entry_is_truncated_alone():
    _quib_testing.plugins_keep({"plugins": [plugin(process=lambda *a: {"data": "x" * 10000})]}, 1024)
    _, record = process(sys._getframe(), 0)
    assert isinstance(record["data"], Truncated)
    assert record["type"] == "request" and record["frame_id"].startswith("frm_")
