"""Values that fight back: no crash, no partial output, no lost reference."""

import sys

import _quib
import _quib_testing
import pytest

from quib import serialize

native = _quib._native_dump_msgpack


def refcounts(*objects):
    return [sys.getrefcount(item) for item in objects]


def test_list_containing_itself_leaks_nothing():
    items = [1, "two"]
    items.append(items)
    before = refcounts(items)
    for _ in range(50):
        assert serialize.load_msgpack(native(items)) == [1, "two", serialize.Repr("[...]")]
    assert refcounts(items) == before


def test_dict_mutated_by_an_items_repr_keeps_the_items_seen_first():
    mapping = {}

    class Mutator:
        def __repr__(self):
            mapping.clear()
            mapping["late"] = "added"
            return "Mutator()"

    mapping.update(a=1, b=Mutator(), c=[2], d="x")
    decoded = serialize.load_msgpack(native(mapping))
    assert decoded == {"a": 1, "b": serialize.Repr("Mutator()"), "c": [2], "d": "x"}


def test_list_emptied_by_an_items_repr_still_writes_every_item():
    items = []

    class Emptier:
        def __repr__(self):
            items.clear()
            return "Emptier()"

    tail = ["kept alive by the snapshot"]
    items.extend([1, Emptier(), tail])
    del tail
    decoded = serialize.load_msgpack(native(items))
    assert decoded == [1, serialize.Repr("Emptier()"), ["kept alive by the snapshot"]]


def test_repr_raising_keyboard_interrupt_propagates_and_leaves_nothing():
    class Interrupting:
        def __repr__(self):
            raise KeyboardInterrupt

    value = Interrupting()
    holder = [1, value, {"k": value}]
    before = refcounts(value, holder)
    for _ in range(20):
        with pytest.raises(KeyboardInterrupt):
            native(holder)
        with pytest.raises(KeyboardInterrupt):
            _quib_testing.encode_values([holder], None, False, b"prefix")
    assert refcounts(value, holder) == before
    assert _quib._native_encode_in_progress() is False
    assert serialize.IN_QUIB_PROFILER is False


def test_repr_raising_an_exception_names_the_type():
    class Failing:
        def __repr__(self):
            raise RuntimeError("broken")

    value = [Failing(), Failing()]
    before = refcounts(*value)
    decoded = serialize.load_msgpack(native(value))
    name = f"{__name__}.{Failing.__qualname__}"
    assert decoded == [serialize.Unserializable(name)] * 2
    assert refcounts(*value) == before


def test_lone_surrogates_anywhere():
    value = {"\udc80key": ["\ud800", ("x\udfff",)]}
    encoded = native(value)
    assert encoded == serialize.dump_msgpack(value)
    assert serialize.load_msgpack(encoded) == value


def test_inner_list_repeated_2000_times_becomes_shared_references():
    inner = [1, 2]
    value = [inner] * 2000
    before = refcounts(inner, value)
    encoded = native(value)
    reference = bytes.fromhex("d60b00000000")
    assert encoded.count(reference) == 977
    assert encoded.endswith(reference * 977)
    assert len(encoded) == 3 + 1023 * 3 + 977 * 6
    decoded = serialize.load_msgpack(encoded)
    assert decoded == value
    assert decoded[1022] is decoded[1999] and decoded[0] is not decoded[1022]
    assert serialize.dump_msgpack(value) == encoded
    assert refcounts(inner, value) == before


def test_shared_references_point_back_by_completion_order():
    leaves = [[i, i] for i in range(1100)]
    value = {"all": leaves, "again": [leaves[1050], leaves[1099], {"x": leaves[1060]}]}
    encoded = native(value)
    assert encoded == serialize.dump_msgpack(value)
    decoded = serialize.load_msgpack(encoded)
    assert decoded == value
    assert decoded["again"][0] is decoded["all"][1050]


def test_recursion_at_the_nesting_limit_through_extensions():
    value = ()
    for _ in range(200):
        value = ([value],)
    # Extensions restart the nesting count; their own depth bound is the recursion limit.
    assert serialize.load_msgpack(native(value)) == value
    deeper = ()
    for _ in range(sys.getrecursionlimit()):
        deeper = (deeper,)
    with pytest.raises(RecursionError):
        native(deeper)


def test_huge_string_under_a_budget_becomes_one_marker():
    text = "x" * (2 * 1024 * 1024)
    before = refcounts(text)
    encoded, truncated, *_ = _quib_testing.encode_values([text], 1024 * 1024)
    assert truncated == [True]
    marker = serialize.load_msgpack(encoded)
    assert marker == serialize.Truncated(
        "str exceeded max_value_mb (1048576 bytes); raise max_value_mb in .quib/config.toml or set it to false")
    assert marker.type_name == "str"
    assert refcounts(text) == before


def test_a_failed_value_leaves_the_buffer_as_it_was():
    class Interrupting:
        def __repr__(self):
            raise SystemExit(3)

    prefix = b"\x93\x01\x02"
    with pytest.raises(SystemExit):
        _quib_testing.encode_values([[1, 2, {"deep": [Interrupting()]}]], None, False, prefix)
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        deep = []
        for _ in range(2000):
            deep = [deep]
        _quib_testing.encode_values([deep], None, False, prefix)


def test_released_memoryview_is_written_as_its_repr():
    view = memoryview(b"abc")
    view.release()
    for encode in (native, serialize.dump_msgpack):
        decoded = serialize.load_msgpack(encode([view, 1]))
        assert decoded[0].text.startswith("<released memory at ") and decoded[1] == 1


def test_first_use_from_two_threads_waits_without_the_interpreter_lock():
    import subprocess
    import textwrap

    script = textwrap.dedent("""
        import importlib.abc, sys, threading, time

        class Slow(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == "quib.serialize":
                    time.sleep(0.5)  # releases the interpreter lock; the other thread runs
                return None

        sys.meta_path.insert(0, Slow())
        import _quib

        results = []
        threads = [threading.Thread(target=lambda: results.append(_quib._native_dump_msgpack((1,))))
                   for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [bytes.fromhex("d5069101")] * 2, results
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
