"""Value encoder benchmark: the native encoder against msgpack.packb and the Python encoder.

Run with the interpreter of a built environment, e.g. .venvs/3.12/bin/python bench/bench_encoder.py.
Every ratio compares timings taken in this run: baseline time / native time, so above 1 means the
native encoder is faster.
"""

import datetime
import decimal
import sys
import timeit

import msgpack

import _quib
from quib import serialize

native = _quib._native_dump_msgpack


class Plain:
    def __init__(self, n):
        self.n = n


def plain_small():
    return {"id": 12345, "name": "widget", "price": 19.99, "tags": ["a", "bb", "ccc"], "owner": None,
            "dims": [1.5, 2.5, 3.5], "active": True}


def plain_large():
    # About 1 MB encoded.
    return [{"id": i, "name": f"item-{i}", "score": i * 0.5, "note": None, "flags": [i % 2 == 0, "x" * 8]}
            for i in range(16000)]


def plain_large_flat():
    # About 1 MB in fewer than 1024 containers: shared-reference tracking never starts.
    return {f"row{r}": [r * 100 + c if c % 3 == 0 else (f"v{c}" if c % 3 == 1 else c * 0.25) for c in range(160)]
            for r in range(1000)}


def mixed_small():
    return {"point": (1, 2), "tags": {"a", "b"}, "when": datetime.datetime(2024, 5, 6, 7, 8, 9),
            "price": decimal.Decimal("19.99"), "obj": Plain(1), "frozen": frozenset([3]),
            "day": datetime.date(2024, 5, 6)}


def mixed_large():
    return [{"pair": (i, str(i)), "at": datetime.datetime(2024, 1, 1) + datetime.timedelta(seconds=i),
             "amount": decimal.Decimal(i) / 100, "ids": {i, i + 1}, "obj": Plain(i)} for i in range(4000)]


def timings(functions, value, repeats=9):
    """Best time per call of each function; the functions take turns, so load that comes and
    goes on the machine falls on all of them alike."""
    numbers = []
    for function in functions:
        number, _ = timeit.Timer(lambda: function(value)).autorange()
        numbers.append(max(1, number // 4))
    best = [float("inf")] * len(functions)
    for _ in range(repeats):
        for index, function in enumerate(functions):
            elapsed = timeit.Timer(lambda: function(value)).timeit(numbers[index])
            best[index] = min(best[index], elapsed / numbers[index])
    return best


def row(name, value, baselines):
    encoded = native(value)
    assert encoded == serialize.dump_msgpack(value), name
    native_time, *baseline_times = timings([native] + [function for _, function in baselines], value)
    cells = [f"{name:<14} {len(encoded):>9} B  native {native_time * 1e6:>10.1f} us"]
    for (label, _), baseline_time in zip(baselines, baseline_times):
        cells.append(f"{label} x{baseline_time / native_time:5.2f}")
    print("  ".join(cells))


def main():
    print(f"Python {sys.version.split()[0]}, msgpack {'.'.join(map(str, msgpack.version))}")
    print("ratio = baseline time / native time")
    both = [("vs msgpack.packb", msgpack.packb), ("vs dump_msgpack", serialize.dump_msgpack)]
    python_only = [("vs dump_msgpack", serialize.dump_msgpack)]
    row("plain small", plain_small(), both)
    row("plain 1 MB", plain_large(), both)
    row("plain 1 MB flat", plain_large_flat(), both)
    row("mixed small", mixed_small(), python_only)
    row("mixed large", mixed_large(), python_only)


if __name__ == "__main__":
    main()
