"""Property tests: the native encoder against msgpack, the Python encoder and the decoder."""

import datetime
import decimal

import _quib
import msgpack
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quib import serialize

native = _quib._native_dump_msgpack

int64 = st.integers(min_value=-(2**63), max_value=2**64 - 1)
scalars = st.none() | st.booleans() | int64 | st.floats() | st.text() | st.binary()
plain_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(max_size=8), inner, max_size=6),
    max_leaves=40,
)


@given(plain_values)
def test_plain_values_encode_as_msgpack_does(value):
    assert native(value) == msgpack.packb(value)


class Point:
    """An object whose repr is stable, so that it can be compared after decoding."""

    def __init__(self, x):
        self.x = x

    def __repr__(self):
        return f"Point({self.x!r})"


hashable_atoms = (
    st.none() | st.booleans() | st.integers() | st.text(max_size=6) | st.binary(max_size=6)
    | st.decimals(allow_nan=False) | st.dates() | st.times() | st.datetimes()
)
hashables = st.recursive(
    hashable_atoms, lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=4), max_leaves=8
)
atoms = (
    hashable_atoms | st.floats(allow_nan=False) | st.integers().map(Point)
    | st.datetimes(timezones=st.just(datetime.timezone.utc))
)
mixed_values = st.recursive(
    atoms | hashables,
    lambda inner: (
        st.lists(inner, max_size=5)
        | st.tuples(inner, inner)
        | st.lists(inner, max_size=3).map(tuple)
        | st.sets(hashables, max_size=4)
        | st.frozensets(hashables, max_size=4)
        | st.dictionaries(st.text(max_size=6) | hashables, inner, max_size=5)
    ),
    max_leaves=30,
)


def expected(value):
    """What the decoder gives back for a value the encoders wrote."""
    if isinstance(value, Point):
        return serialize.Repr(repr(value))
    if isinstance(value, list):
        return [expected(item) for item in value]
    if isinstance(value, tuple):
        return tuple(expected(item) for item in value)
    if isinstance(value, frozenset):
        return frozenset(expected(item) for item in value)
    if isinstance(value, set):
        return {expected(item) for item in value}
    if isinstance(value, dict):
        return {expected(key): expected(item) for key, item in value.items()}
    return value


@settings(suppress_health_check=[HealthCheck.too_slow], deadline=None)
@given(mixed_values)
def test_mixed_values_round_trip_and_both_encoders_agree(value):
    encoded = native(value)
    assert serialize.dump_msgpack(value) == encoded
    assert serialize.load_msgpack(encoded) == expected(value)


@settings(suppress_health_check=[HealthCheck.too_slow], max_examples=50, deadline=None)
@given(mixed_values, st.integers(min_value=0, max_value=200))
def test_both_encoders_truncate_alike(value, budget):
    import _quib_testing

    encoded, truncated, *_ = _quib_testing.encode_values([value], budget)
    assert serialize.dump_msgpack(value, max_value_bytes=budget) == encoded
    decoded = serialize.load_msgpack(encoded)
    assert truncated[0] == isinstance(decoded, serialize.Truncated)
    if not truncated[0]:
        assert len(encoded) <= budget


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large], max_examples=40, deadline=None)
@given(st.lists(mixed_values, min_size=1, max_size=4), st.lists(st.integers(0, 7), min_size=1030, max_size=1200))
def test_shared_references_agree_and_round_trip(pool, picks):
    shared = [[item, index] for index, item in enumerate(pool)]
    value = {"picked": [shared[i % len(shared)] for i in picks], "pool": shared}
    encoded = native(value)
    assert b"\xd6\x0b" in encoded  # tracking started and some container was referenced
    assert serialize.dump_msgpack(value) == encoded
    assert serialize.load_msgpack(encoded) == expected(value)
