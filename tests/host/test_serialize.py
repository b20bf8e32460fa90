"""The host side of the value encoder: globals, construction list, decoder."""

import datetime
import decimal
import sys
import types

import msgpack
import pytest

from quib import _construction, serialize
from quib.serialize import Repr, Truncated, Unserializable, load_msgpack


def ext(code, payload):
    return msgpack.ExtType(code, payload)


def pack(value):
    return msgpack.packb(value)


# -- decoder ------------------------------------------------------------------

@pytest.mark.parametrize(
    "code, payload, expected",
    [
        (0, b"<x>", Repr("<x>")),
        (1, b"2020-01-02T03:04:05.000006+01:00",
         datetime.datetime(2020, 1, 2, 3, 4, 5, 6, datetime.timezone(datetime.timedelta(hours=1)))),
        (2, b"2020-01-02", datetime.date(2020, 1, 2)),
        (3, b"01:02:03", datetime.time(1, 2, 3)),
        (4, b"\x00\x01" + b"\x00" * 8, 2**64),
        (4, b"\xff\xff", -1),
        (5, b"-1.50", decimal.Decimal("-1.50")),
        (6, pack([1, [2]]), (1, [2])),
        (7, pack([1, 2]), {1, 2}),
        (8, pack([3]), frozenset([3])),
        (10, "a\ud800".encode("utf-8", "surrogatepass"), "a\ud800"),
        (12, b"str exceeded max_value_mb (1 bytes)", Truncated("str exceeded max_value_mb (1 bytes)")),
        (127, b"mod.Name", Unserializable("mod.Name")),
        (42, b"raw", msgpack.ExtType(42, b"raw")),
        (1, b"not a date", Repr("not a date")),
    ],
)
def test_every_extension_decodes(code, payload, expected):
    assert load_msgpack(pack(ext(code, payload))) == expected


def test_nested_extensions_and_timestamps():
    inner = pack([ext(6, pack([1])), msgpack.Timestamp(5, 0)])
    assert load_msgpack(pack(ext(6, inner))) == ((1,), msgpack.Timestamp(5, 0))


def test_shared_reference_resolves_by_completion_order():
    # Completed so far when the references are read: [1, 2], [3, 4], {"a": [3, 4]}.
    data = (b"\x94" + pack([1, 2]) + pack({"a": [3, 4]})
            + bytes.fromhex("d60b00000000") + bytes.fromhex("d60b00000002"))
    decoded = load_msgpack(data)
    assert decoded[2] is decoded[1]
    assert decoded[3] is decoded[0]


@pytest.mark.parametrize(
    "data, message",
    [
        (bytes.fromhex("91d60b00000000"), "points before the first container"),
        (pack(ext(6, bytes.fromhex("91d60b00000000"))), "inside an extension"),
        (pack(ext(9, b"\0\0\0\5")), "interned value 5 is not in the value table"),
        (pack(ext(6, pack(1) + pack(2))), "more than one value"),
    ],
)
def test_malformed_references_are_reported(data, message):
    with pytest.raises(ValueError, match=message):
        load_msgpack(data)


def test_interned_values_come_from_the_table():
    data = pack([ext(9, b"\0\0\0\1"), ext(6, pack([ext(9, b"\0\0\0\2")]))])
    table = {1: pack("x" * 5000), 2: pack(b"\1" * 4096)}
    assert load_msgpack(data, values=table) == ["x" * 5000, (b"\1" * 4096,)]


def test_decoded_texts_are_hashable_keys():
    data = pack({ext(0, b"<k>"): 1, ext(8, pack([1])): 2})
    assert load_msgpack(data) == {Repr("<k>"): 1, frozenset([1]): 2}


def test_truncated_names_its_type():
    assert Truncated("dict exceeded max_value_mb (5 bytes); raise ...").type_name == "dict"


# -- the Python encoder's arguments --------------------------------------------

@pytest.mark.parametrize("budget", [-1, 1.5, "10", True])
def test_budget_must_be_none_or_a_non_negative_int(budget):
    with pytest.raises(TypeError):
        serialize.dump_msgpack([], max_value_bytes=budget)


# -- host globals ----------------------------------------------------------------

def test_encoder_globals_are_present():
    for name in ("datetime", "date", "time", "Decimal", "DatabaseAccessBlocked", "_query_free_repr",
                 "_QuerySet_checked", "_QuerySet", "_get_queryset_class", "_objects_under_construction",
                 "_under_construction_repr", "_method_under_construction_repr", "IN_QUIB_PROFILER"):
        assert hasattr(serialize, name), name
    assert serialize.datetime is datetime.datetime and serialize.Decimal is decimal.Decimal


def test_query_set_class_is_found_once_django_is_loaded(monkeypatch):
    monkeypatch.setattr(serialize, "_QuerySet_checked", False)
    monkeypatch.setattr(serialize, "_QuerySet", None)
    monkeypatch.delitem(sys.modules, "django.db.models.query", raising=False)
    assert serialize._get_queryset_class() is None
    assert serialize._QuerySet_checked is False
    query = types.ModuleType("django.db.models.query")
    query.QuerySet = type("QuerySet", (), {})
    monkeypatch.setitem(sys.modules, "django.db.models.query", query)
    assert serialize._get_queryset_class() is query.QuerySet
    assert serialize._QuerySet_checked is True and serialize._QuerySet is query.QuerySet


def test_query_free_repr_reads_no_attribute_through_the_program():
    pk = types.SimpleNamespace(attname="id")

    class Order:
        _meta = types.SimpleNamespace(pk=pk)

        def __getattr__(self, name):
            raise AssertionError("a deferred field would query the database")

    order = Order()
    order.__dict__["id"] = 7
    assert serialize._query_free_repr(order) == "<Order: pk=7>"
    plain = object()
    assert serialize._query_free_repr(plain) == object.__repr__(plain)


def test_database_guard_blocks_queries_while_encoding(monkeypatch):
    calls = []

    def execute(sql, params, many, context):
        calls.append(sql)
        return "rows"

    assert serialize._database_guard(execute, "SELECT 1", (), False, {}) == "rows"
    monkeypatch.setattr(serialize, "IN_QUIB_PROFILER", True)
    with pytest.raises(serialize.DatabaseAccessBlocked):
        serialize._database_guard(execute, "SELECT 2", (), False, {})
    assert calls == ["SELECT 1"]


def test_under_construction_texts():
    class Half:
        def method(self):
            pass

    half = Half()
    text = f"<{Half.__qualname__} object at {id(half):#x} (under construction)>"
    assert serialize._under_construction_repr(half, False, False) == text
    assert serialize._method_under_construction_repr(half.method) == (
        f"<bound method {Half.method.__qualname__} of {text}>")


# -- objects under construction ------------------------------------------------

class Inner:
    def __init__(self, seen):
        seen.append(serialize._objects_under_construction())


class Outer:
    def __init__(self, seen):
        self.inner = Inner(seen)


def test_construction_list_holds_every_self_on_the_stack():
    seen = []
    outer = Outer(seen)
    (listing,) = seen
    assert listing[0] == 2
    assert set(listing[1:3]) == {id(outer), id(outer.inner)}
    assert _construction.is_listed(outer, listing)
    assert not _construction.is_listed(object(), listing)


class Made:
    def __new__(cls, template=None, seen=None):
        obj = super().__new__(cls)
        if seen is not None:
            seen.append(_construction.objects_under_construction())
        return obj


def test_new_frames_list_their_class_except_the_arguments():
    seen = []
    template = Made()
    made = Made(template, seen)
    (listing,) = seen
    assert listing[:1] == [0]
    assert listing[1:] == [id(Made), 0, 1, id(template)]
    assert _construction.is_listed(made, listing)
    assert not _construction.is_listed(template, listing)


def test_empty_and_short_listings_list_nothing():
    assert not _construction.is_listed(object(), [])
    assert not _construction.is_listed(object(), [1])
