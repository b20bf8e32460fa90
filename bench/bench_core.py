"""Cost of the per-event core services, in nanoseconds per call, beside a bare native call.

Every figure comes from the same run: each service is timed in a native loop (so the interpreter's
call overhead does not hide it), the rounds are interleaved, and the best round counts. The ratios
compare with the bare call and with one read of the system clock.
"""

import _quib_testing

ITERATIONS = 2_000_000
ROUNDS = 7
OPERATIONS = ["bare_call", "clock_read", "timestamp", "frame_id", "stack_guard", "frame_ids_pair"]
WHAT = {
    "bare_call": "bare native call (baseline)",
    "clock_read": "one system clock read",
    "timestamp": "timestamp()",
    "frame_id": "new frame id (frm_ + ULID)",
    "stack_guard": "stack guard, fast path",
    "frame_ids_pair": "FrameIds call + return",
}


def main():
    best = {name: float("inf") for name in OPERATIONS}
    for name in OPERATIONS:  # warm up: first-use setup, page faults, seeding
        _quib_testing.bench_core(name, ITERATIONS // 10)
    for _ in range(ROUNDS):
        for name in OPERATIONS:
            best[name] = min(best[name], _quib_testing.bench_core(name, ITERATIONS))
    ns = {name: best[name] / ITERATIONS * 1e9 for name in OPERATIONS}
    bare, clock = ns["bare_call"], ns["clock_read"]
    print(f"core services, best of {ROUNDS} rounds of {ITERATIONS} calls")
    print(f"{'service':<30} {'ns/call':>8} {'minus bare':>11} {'x bare':>7} {'x clock':>8}")
    for name in OPERATIONS:
        print(
            f"{WHAT[name]:<30} {ns[name]:8.2f} {ns[name] - bare:11.2f} {ns[name] / bare:7.2f} {ns[name] / clock:8.2f}"
        )


if __name__ == "__main__":
    main()
