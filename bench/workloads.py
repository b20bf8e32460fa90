"""Programs the tracer benchmarks run: one dominated by small calls, one closer to real code."""

from __future__ import annotations


def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def call_heavy() -> int:
    return fib(20)


WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def make_row(index: int) -> dict:
    word = WORDS[index % len(WORDS)]
    return {"id": index, "name": f"{word}-{index}", "tags": [word, word.upper()], "score": index * 0.5}


def normalise(row: dict) -> dict:
    return {key: (value.lower() if isinstance(value, str) else value) for key, value in row.items()}


def summarise(rows: list) -> dict:
    totals: dict = {}
    for row in rows:
        totals[row["tags"][0]] = totals.get(row["tags"][0], 0) + row["score"]
    return totals


def realistic() -> dict:
    rows = [normalise(make_row(i)) for i in range(3000)]
    return summarise(rows)


WORKLOADS = {"call_heavy": call_heavy, "realistic": realistic}
