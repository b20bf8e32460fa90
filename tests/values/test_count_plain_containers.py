import sys

import _quib
import pytest

from quib import _encoder

count = _quib._count_plain_containers


class ListSub(list):
    pass


@pytest.mark.parametrize("counter", [count, _encoder.count_plain_containers], ids=["native", "python"])
@pytest.mark.parametrize(
    "value, limit, expected",
    [
        (5, 10, 0),
        (ListSub([[]]), 10, 0),
        ({"k": []}.keys(), 10, 0),
        ([[], {}], 100, 3),
        ([[], {}], 2, 2),
        ([[], {}], 0, 1),
        ({"a": [[]], ("key",): {}}, 100, 4),
        ([ListSub([[]]), ([],)], 100, 1),
        ([[1, 2]] * 2000, 1024, 1024),
        ([[1, 2]] * 2000, 10**6, 2001),
    ],
)
def test_count(counter, value, limit, expected):
    assert counter(value, limit) == expected


def test_self_containing_value_counts_as_the_limit_without_running_forever():
    items = []
    items.append(items)
    assert count(items, 1024) == 1024
    assert count(items, 2**64 - 1) == 2**64 - 1
    chain = []
    for _ in range(100):
        chain = [chain, chain]  # 2**101 - 1 occurrences, 101 distinct lists
    assert count(chain, 2**64 - 1) == 2**64 - 1
    assert count(chain, 5000) == 5000


def test_count_touches_no_reference_count():
    inner = [1]
    value = [inner, {"x": inner}]
    before = sys.getrefcount(inner), sys.getrefcount(value)
    count(value, 2**40)
    assert (sys.getrefcount(inner), sys.getrefcount(value)) == before


@pytest.mark.parametrize("limit, error", [(-1, OverflowError), (2**64, OverflowError), ("3", TypeError)])
def test_limit_must_fit_64_bits(limit, error):
    with pytest.raises(error, match="limit"):
        count([], limit)
