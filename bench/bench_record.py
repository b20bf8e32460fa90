"""Cost of writing one frame record for a small function frame (two int arguments), against
reading that frame's locals mapping and a bare native call, each timed in a native loop."""

from __future__ import annotations

import sys

import _quib_testing

N = 200_000


def measure():
    frame = sys._getframe(1)  # the caller's frame, whose only locals are a and b
    # The records come first: once anything asks for the frame's locals mapping, 3.11 and 3.12 keep
    # a dict in the frame, and records then read the locals through it instead of from the frame.
    return {kind: min(_quib_testing.bench_record(frame, kind, N) for _ in range(5))
            for kind in ("bare", "record", "record_plain", "locals")}


def add(a, b):
    return measure()


def main() -> None:
    results = add(2, 3)
    locals_ns = results["locals"]
    print(f"frame record for add(a, b), {N} per run, best of 5 (Python {sys.version.split()[0]}):")
    for kind, label in (("bare", "bare native call"), ("locals", "frame locals mapping"),
                        ("record", "record, precomputed metadata"), ("record_plain", "record, path and name looked up")):
        ns = results[kind]
        print(f"  {label:34} {ns:8.1f} ns   x locals {ns / locals_ns:5.2f}")


if __name__ == "__main__":
    main()
