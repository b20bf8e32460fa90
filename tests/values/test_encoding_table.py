"""Byte-exact encodings, for both encoders."""

import datetime
import decimal
import enum
import math

import msgpack
import pytest


class Plain:
    pass


class Color(enum.IntEnum):
    RED = -1


class Sub(int):
    pass


class Tup(tuple):
    pass


class Dct(dict):
    pass


def ext(code, payload):
    return msgpack.packb(msgpack.ExtType(code, payload))


CASES = [
    (None, "c0"),
    (True, "c3"),
    (False, "c2"),
    (0, "00"),
    (127, "7f"),
    (128, "cc80"),
    (-1, "ff"),
    (-32, "e0"),
    (-33, "d0df"),
    (-129, "d1ff7f"),
    (2**31, "ce80000000"),
    (-(2**31) - 1, "d3ffffffff7fffffff"),
    (2**63 - 1, "cf7fffffffffffffff"),
    (2**63, "cf8000000000000000"),
    (2**64 - 1, "cfffffffffffffffff"),
    (2**64, "c70a04" + "0001" + "00" * 8),
    (-(2**63) - 1, "c70904" + "ff7fffffffffffffff"),
    (Sub(-1), "d504ffff"),
    (Sub(0), "d40400"),
    (Color.RED, "d504ffff"),
    (1.5, "cb3ff8000000000000"),
    (math.inf, "cb7ff0000000000000"),
    (-math.inf, "cbfff0000000000000"),
    ("", "a0"),
    ("é", "a2c3a9"),
    ("x" * 32, "d920" + "78" * 32),
    (b"", "c400"),
    (bytearray(b"ab"), "c4026162"),
    (memoryview(b"ab"), "c4026162"),
    ([], "90"),
    ({}, "80"),
    ({1: [None]}, "810191c0"),
    ((1, 2), "c70306920102"),
    ((7,), "d5069107"),
    ((), "d40690"),
    (((1,),), "c70506" + "91d5069101"),
    ({3}, "d5079103"),
    (frozenset([3]), "d5089103"),
    (Tup((1, 2)), "c70306920102"),
    (Dct(a=1), "81a16101"),
    (datetime.datetime(2020, 1, 2, 3, 4, 5), "c71301" + b"2020-01-02T03:04:05".hex()),
    (datetime.date(2020, 1, 2), "c70a02" + b"2020-01-02".hex()),
    (datetime.time(1, 2, 3), "d703" + b"01:02:03".hex()),
    (decimal.Decimal("-1.50"), "c70505" + b"-1.50".hex()),
    (msgpack.ExtType(42, b"abc"), "c7032a616263"),
    (msgpack.Timestamp(1, 2), "d7ff0000000800000001"),
    ("a\ud800", "d60a61eda080"),
    (Plain, "c7" + format(len(repr(Plain)), "02x") + "00" + repr(Plain).encode().hex()),
]


@pytest.mark.parametrize("value, expected", CASES, ids=[repr(c[0])[:40] for c in CASES])
def test_encoding_is_exact(dump, value, expected):
    assert dump(value).hex() == expected


def test_nan_keeps_its_bit_pattern(dump):
    import struct

    quiet = struct.unpack(">d", bytes.fromhex("7ff8000000000001"))[0]
    assert dump(quiet) == bytes.fromhex("cb7ff8000000000001")
    assert dump(-math.nan)[1:] == struct.pack(">d", -math.nan)


def test_a_set_follows_its_iteration_order(dump):
    value = {"b", "a", 3, 90000}
    assert dump(value) == ext(7, msgpack.packb(list(value)))


def test_object_with_failing_repr_is_named_by_its_type(dump):
    class Broken:
        def __repr__(self):
            raise ValueError("no")

    name = f"{__name__}.{Broken.__qualname__}".encode()
    assert dump(Broken()) == ext(127, name)


def test_lightweight_repr_names_class_and_address(dump):
    class Loud:
        def __repr__(self):
            raise AssertionError("repr must not be called")

    value = Loud()
    text = f"<{Loud.__qualname__} object {id(value)}>".encode()
    assert dump(value, lightweight_repr=True) == ext(0, text)


def test_self_containing_tuple_gets_a_placeholder(dump):
    value = ([],)
    value[0].append(value)
    assert dump(value) == ext(6, b"\x91\x91" + ext(0, b"(...)"))


def test_self_containing_list_and_dict(dump):
    items = [1]
    items.append(items)
    assert dump(items) == b"\x92\x01" + ext(0, b"[...]")
    mapping = {"k": None}
    mapping["k"] = mapping
    assert dump(mapping) == b"\x81\xa1k" + ext(0, b"{...}")


def nested(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def test_nesting_limit(dump):
    limit = 1024 if msgpack.version >= (1, 2) else 511
    if limit == 1024:
        assert dump(nested(600)) == msgpack.packb(nested(600))
    else:
        with pytest.raises(ValueError, match=r"^recursion limit exceeded\.$"):
            dump(nested(600))
    assert dump(nested(limit + 1)) == msgpack.packb(nested(limit + 1))
    with pytest.raises(ValueError, match=r"^recursion limit exceeded\.$"):
        dump(nested(limit + 2))
