"""A small program to trace: builds an inventory of records, transforms it and reports on it.

It exercises what a trace shows: nested calls with arguments and return values, a generator, a
handled exception, a recursive function and a worker thread.
"""

from __future__ import annotations

import threading
from collections import Counter

ITEMS = [
    ("apple", "fruit", 3, 0.5),
    ("pear", "fruit", 0, 0.75),
    ("carrot", "vegetable", 12, 0.2),
    ("leek", "vegetable", 4, 1.1),
    ("basil", "herb", 7, 2.0),
    ("sorrel", "herb", 2, 0.0),
]


def make_record(name: str, kind: str, count: int, price: float) -> dict:
    return {"name": name, "kind": kind, "count": count, "price": price}


def in_stock(records):
    for record in records:
        if record["count"] > 0:
            yield record


def value_of(record: dict) -> float:
    if record["price"] <= 0:
        raise ValueError(f"bad price for {record['name']}")
    return round(record["count"] * record["price"], 2)


def total_value(records) -> float:
    total = 0.0
    for record in records:
        try:
            total += value_of(record)
        except ValueError:
            continue
    return round(total, 2)


def group_sizes(records) -> dict:
    return dict(Counter(record["kind"] for record in records))


def restock_plan(count: int, target: int = 10) -> list:
    """How many crates to order, recursively halving the gap."""
    gap = target - count
    if gap <= 1:
        return [max(gap, 0)]
    half = gap // 2
    return [half] + restock_plan(count + half, target)


def report(records) -> str:
    lines = [f"{len(records)} records, value {total_value(records)}"]
    for kind, size in sorted(group_sizes(records).items()):
        lines.append(f"  {kind}: {size}")
    return "\n".join(lines)


def audit(records, results: list) -> None:
    results.append(sorted(record["name"] for record in records if record["count"] == 0))


def main() -> None:
    records = [make_record(*item) for item in ITEMS]
    stocked = list(in_stock(records))
    print(report(stocked))
    print("restock pear:", restock_plan(records[1]["count"]))
    results: list = []
    worker = threading.Thread(target=audit, args=(records, results), name="auditor")
    worker.start()
    worker.join()
    print("out of stock:", results[0])


if __name__ == "__main__":
    main()
