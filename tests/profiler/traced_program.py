"""A small program that the profiler tests record: nested calls, a generator, a handled exception,
recursion and a worker thread."""

import json
import threading


def leaf(x):
    return x * 2


def fails():
    raise ValueError("bad")


def numbers(n):
    for i in range(n):
        yield leaf(i)


def countdown(n):
    return 0 if n == 0 else 1 + countdown(n - 1)


def worker(out):
    out.append(leaf(10))


def encode(value):
    return json.dumps(value)


def program():
    total = sum(numbers(3))
    try:
        fails()
    except ValueError:
        pass
    depth = countdown(3)
    out = []
    thread = threading.Thread(target=worker, args=(out,), name="worker")
    thread.start()
    thread.join()
    return total, depth, out, encode([1])
