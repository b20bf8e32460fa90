"""The per-value budget, truncation markers, reserved headers and the plug-in frame encoder."""

import msgpack
import pytest
import _quib_testing

from quib import serialize

MIB = 1024 * 1024
HINT = "; raise max_value_mb in .quib/config.toml or set it to false"


def marker(type_name, budget):
    return serialize.Truncated(f"{type_name} exceeded max_value_mb ({budget} bytes){HINT}")


@pytest.mark.parametrize(
    "value, budget, type_name",
    [
        ({"k": "v" * (2 * MIB)}, MIB, "dict"),
        (list(range(100)), 50, "list"),
        (b"\0" * 65, 64, "bytes"),
        ((1, "x" * 100), 60, "tuple"),
        ({frozenset(range(300))}, 100, "set"),
        (2**4000, 100, "int"),
        ("ok", 0, "str"),
        # small plain values, the ones a frame record's locals usually are
        ({"a": 1, "b": 2.5}, 12, "dict"),
        ([1, "two", None], 5, "list"),
        ({"id": 1, "tags": ["x", "y"], "inner": {"n": [1, 2]}}, 20, "dict"),
        (3.5, 8, "float"),
    ],
)
def test_over_budget_values_become_one_marker(value, budget, type_name):
    encoded, truncated, *_ = _quib_testing.encode_values([value], budget)
    assert truncated == [True]
    assert serialize.load_msgpack(encoded) == marker(type_name, budget)
    assert serialize.dump_msgpack(value, max_value_bytes=budget) == encoded


@pytest.mark.parametrize(
    "value", ["x" * 100, {"a": 1, "b": 2.5}, [1, "two", None], {"id": 1, "tags": ["x", "y"], "inner": {"n": [1, 2]}}]
)
def test_value_exactly_at_the_budget_is_kept(value):
    size = len(msgpack.packb(value))
    encoded, truncated, *_ = _quib_testing.encode_values([value, value], size)
    assert truncated == [False, False]
    assert encoded == msgpack.packb(value) * 2


def test_each_value_of_a_job_gets_its_own_budget():
    small, big = "a" * 10, "b" * 1000
    encoded, truncated, *_ = _quib_testing.encode_values([small, big, small], 100)
    assert truncated == [False, True, False]
    unpacker = msgpack.Unpacker(raw=False, ext_hook=lambda code, data: (code, data))
    unpacker.feed(encoded)
    first, second, third = unpacker
    assert first == third == small and second[0] == 12


def test_marker_names_a_long_or_odd_type_safely():
    long_name = type("N" * 300, (), {})
    encoded, truncated, *_ = _quib_testing.encode_values([[long_name()] * 10], 5)
    assert serialize.load_msgpack(encoded) == marker("list", 5)
    value = long_name()
    encoded, *_ = _quib_testing.encode_values([value], 5)
    assert serialize.load_msgpack(encoded).type_name == "N" * 200


def test_no_budget_means_no_marker_and_the_largest_number_in_texts():
    value = "y" * 100000
    encoded, truncated, *_ = _quib_testing.encode_values([value], None)
    assert truncated == [False] and encoded == msgpack.packb(value)


@pytest.mark.parametrize("length", [0, 1, 2, 3, 4, 8, 15, 16, 17, 255, 256, 65535, 65536, 70000])
def test_reserved_header_is_the_smallest(length):
    payload = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
    written = _quib_testing.reserved_extension(3, payload)
    assert written == b"\xa5" + msgpack.packb(msgpack.ExtType(3, payload))


def test_plugin_frame_keeps_identity_entries_intact():
    frame = {
        "path": "app/views.py", "event": "call", "co_name": "handler", "subtype": "request",
        "qualname": "views.handler", "frame_id": "frm_01", "timestamp": 1.5,
        "user_code_call_site": ["app/urls.py", 3], "data": "z" * 5000, "small": 1,
    }
    decoded = serialize.load_msgpack(_quib_testing.dump_capped(frame, 1000))
    expected = dict(frame, data=marker("str", 1000))
    assert decoded == expected
    assert list(decoded) == list(frame)


def test_plugin_frame_within_budget_is_written_once():
    frame = {"path": "p", "data": [1, 2]}
    assert _quib_testing.dump_capped(frame, 1000) == msgpack.packb(frame)
    assert serialize.load_msgpack(_quib_testing.dump_capped(["x" * 2000], 100)) == marker("list", 100)


LARGE = "i" * 5000


@pytest.mark.parametrize(
    "answer, expected_lookups",
    [("reference", 2), ("normal", 2), ("cache", 2)],
)
def test_interning_hook_sees_large_strings_and_bytes(answer, expected_lookups):
    value = [LARGE, b"\1" * 4096, "s" * 4095, {"k": LARGE}]
    encoded, lookups, cached = _quib_testing.encode_interned(value[:2], answer)
    assert lookups == expected_lookups
    if answer == "reference":
        assert encoded == b"\x92" + bytes.fromhex("d60900000007") * 2
    else:
        assert encoded == msgpack.packb(value[:2])
    if answer == "cache":
        assert cached == msgpack.packb(LARGE) + msgpack.packb(b"\1" * 4096)
    encoded, lookups, _ = _quib_testing.encode_interned(value, answer)
    assert lookups == 3  # "s" * 4095 is too short; the dict's string is asked about


def test_interning_failure_fails_the_value_with_oserror():
    with pytest.raises(OSError, match="trace writer is stuck"):
        _quib_testing.encode_interned([1, LARGE], "fail")

