import sys

import msgpack
import pytest

from quib.serialize import Truncated, load_msgpack

_quib_testing = pytest.importorskip("_quib_testing")

CALL, RETURN, UNWIND, RESUME, YIELD = 0, 1, 2, 3, 4
NONE, ARGUMENT, EXCEPTION = 0, 1, 2
ID = "frm_" + "A" * 26
CALLER = "frm_" + "B" * 26
PREFIX = b"\x01\x02earlier records"
KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "timestamp", "type",
        "user_code_call_site"]


def write(frame, event, kind=NONE, value=None, *, co_name="f", call_site=None, code=None, budget=None,
          omit_return_locals=False, without_values=False):
    data = _quib_testing.write_frame_record(frame, event, kind, value, co_name, ID, call_site, code, budget,
                                            omit_return_locals, PREFIX, without_values)
    assert data.startswith(PREFIX)
    return data[len(PREFIX):]


def decoded(data):
    return load_msgpack(data)


def capture(function, *args, events=("call", "return"), **options):
    """Records of `function`'s own frame, written from inside a profile hook at the given events."""
    records = []

    def hook(frame, event, arg):
        if frame.f_code is function.__code__ and event in events:
            kind = ARGUMENT if event == "return" else NONE
            records.append(write(frame, CALL if event == "call" else RETURN, kind, arg, **options))

    sys.setprofile(hook)
    try:
        function(*args)
    finally:
        sys.setprofile(None)
    return records


def add(a, b):
    total = a + b
    return total


def test_call_and_return_records():
    call, ret = capture(add, 2, 3, call_site=(CALLER, 7))
    no_site = capture(add, 2, 3, events=("return",))[0]
    assert call[0] == 0x8A
    record = decoded(call)
    assert list(record) == KEYS
    assert record["path"] == f"tests/frames/test_frame_writer.py:{add.__code__.co_firstlineno}"
    assert record["co_name"] == "f"
    assert record["qualname"] == f"{__name__}.add"
    assert (record["event"], record["frame_id"], record["type"]) == ("call", ID, "frame")
    assert record["arg"] is None
    assert record["locals"] == {"a": 2, "b": 3}
    assert isinstance(record["timestamp"], float)
    assert record["user_code_call_site"] == {"call_frame_id": CALLER, "line_number": 7}
    returned = decoded(ret)
    assert (returned["event"], returned["arg"], returned["locals"]) == ("return", 5, {"a": 2, "b": 3, "total": 5})
    assert decoded(no_site)["user_code_call_site"] is None


def test_precomputed_code_metadata_gives_the_same_path_and_name():
    [plain] = capture(add, 1, 1, events=("call",))
    [fast] = capture(add, 1, 1, events=("call",), code=("tests/frames/test_frame_writer.py", "add"))
    a, b = decoded(plain), decoded(fast)
    assert (a["path"], a["qualname"]) == (b["path"], b["qualname"])


def test_unwind_writes_the_exception_key():
    frame = sys._getframe()
    error = ValueError("boom")
    record = decoded(write(frame, UNWIND, EXCEPTION, error))
    assert list(record)[5] == "exception"
    assert "boom" in str(record["exception"])


def test_omit_return_locals_only_affects_returns():
    call, ret = capture(add, 1, 2, omit_return_locals=True)
    assert decoded(call)["locals"] == {"a": 1, "b": 2}
    assert decoded(ret)["locals"] is None


def generator():
    x = yield 1
    yield x


def test_generator_yield_and_resume():
    records = []
    gen = generator()

    def hook(frame, event, arg):
        if frame.f_code is generator.__code__:
            if event == "call":
                records.append(decoded(write(frame, RESUME)))
            elif event == "return":
                records.append(decoded(write(frame, YIELD, ARGUMENT, arg)))

    sys.setprofile(hook)
    try:
        next(gen)
        gen.send("sent")
    finally:
        sys.setprofile(None)
    assert [(r["event"], r["arg"]) for r in records] == [("resume", None), ("yield", 1), ("resume", None),
                                                        ("yield", "sent")]
    assert records[-1]["locals"] == {"x": "sent"}


def test_module_level_frame_hides_builtins_and_leaves_globals_alone():
    namespace = {"__name__": "scratch", "value": 42}
    captured = []

    def hook(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "<module>":
            captured.append(decoded(write(frame, CALL)))

    code = compile("pass", "scratch.py", "exec")
    sys.setprofile(hook)
    try:
        exec(code, namespace)
    finally:
        sys.setprofile(None)
    [record] = captured
    assert "__builtins__" not in record["locals"]
    assert record["locals"]["value"] == 42
    assert "__builtins__" in namespace  # the real globals keep it
    assert record["qualname"] == "scratch.<module>"


def big_locals():
    small = "s" * 10
    huge = "h" * 5000
    other = 7
    return small, huge, other


def test_each_local_gets_its_own_budget_when_all_together_are_too_large():
    [ret] = capture(big_locals, events=("return",), budget=4096)
    local_values = decoded(ret)["locals"]
    assert list(local_values) == ["small", "huge", "other"]
    assert local_values["small"] == "s" * 10 and local_values["other"] == 7
    assert isinstance(local_values["huge"], Truncated)


class CustomRepr:
    def __repr__(self):
        return "custom"


class InterruptingRepr:
    def __repr__(self):
        raise KeyboardInterrupt


def current_depth():
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    return depth


def test_recursion_error_gives_a_record_without_values():
    # The encoder's repr of the object runs out of recursion depth.
    old = sys.getrecursionlimit()
    frame, value = sys._getframe(), CustomRepr()
    limit = current_depth() + 2
    while True:
        try:
            sys.setrecursionlimit(limit)
            break
        except RecursionError:  # some interpreters count the depth differently
            limit += 1
    try:
        data = _quib_testing.write_frame_record(frame, RETURN, ARGUMENT, value, "f", ID, None, None, None, False,
                                                PREFIX, False)
    finally:
        sys.setrecursionlimit(old)
    # Depending on where the interpreter notices the depth, the value becomes a placeholder or the
    # record loses its values; either way a whole record and no exception.
    record_bytes = data[len(PREFIX):]
    record = decoded(record_bytes)
    if record_bytes[0] == 0x8B:
        assert record["arg"] is None and record["locals"] == {}
        assert record["values_omitted"] == "stack_limit"
    else:
        assert record_bytes[0] == 0x8A and list(record) == KEYS


def with_context(error, context):
    error.__context__ = context
    return error


@pytest.mark.parametrize(
    "error, without_values",
    [
        (RecursionError("deep"), True),
        (type("DeeperError", (RecursionError,), {})("deep"), True),
        (with_context(ValueError("while handling"), RecursionError("deep")), True),
        (ValueError("other"), False),
        (KeyboardInterrupt(), False),  # the program's own: always handed back
        (with_context(KeyboardInterrupt(), RecursionError("deep")), False),
    ],
)
def test_fallback_after_an_encoding_error(error, without_values):
    if without_values:
        record = decoded(_quib_testing.record_after_error(sys._getframe(), error))
        assert record["values_omitted"] == "stack_limit"
    else:
        with pytest.raises(type(error)):
            _quib_testing.record_after_error(sys._getframe(), error)


def test_a_failing_value_leaves_the_buffer_unchanged():
    with pytest.raises(KeyboardInterrupt) as caught:
        write(sys._getframe(), RETURN, ARGUMENT, InterruptingRepr())
    assert caught.value.quib_buffer == PREFIX


def test_without_values_record():
    record_bytes = write(sys._getframe(), CALL, NONE, None, without_values=True)
    assert record_bytes[0] == 0x8B
    record = decoded(record_bytes)
    assert list(record) == KEYS + ["values_omitted"]
    assert record["values_omitted"] == "stack_limit"


def test_pairs_are_compact_msgpack():
    [call] = capture(add, 1, 2, events=("call",), call_site=(CALLER, None))
    # Re-encoding with msgpack gives the same bytes for the parts msgpack can express.
    record = msgpack.unpackb(call)
    assert msgpack.packb(record) == call
    assert record["user_code_call_site"] == {"call_frame_id": CALLER, "line_number": None}
