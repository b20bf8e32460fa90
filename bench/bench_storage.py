"""Trace storage throughput and memory, as ratios against a plain write measured in the same run.

  python bench/bench_storage.py [--mib 256] [--rss-mib 1024] [--dir DIR]

Needs the test-only extension (_quib_testing), whose native loops do the appending so that Python
call overhead stays out of the figures.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

import _quib_testing as t

RECORD = 1024


def best_of(runs, measure):
    return min(measure() for _ in range(runs))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256, help="bytes streamed per throughput run")
    parser.add_argument("--rss-mib", type=int, default=1024, help="bytes streamed for the memory check")
    parser.add_argument("--dir", default=None, help="where trace files go (default: a temporary directory)")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    root = args.dir or tempfile.mkdtemp(prefix="quib-bench-")
    count = args.mib * 1024 * 1024 // RECORD
    total = count * RECORD

    memory = t.capture_new(os.path.join(root, "db"), "trc_bench_memory", 0.0)
    t.capture_keep_in_memory(memory)

    def append_in_memory():
        seconds, store = t.bench_append(memory, RECORD, count)
        t.store_drop(store)
        return seconds

    append = best_of(args.runs, append_in_memory)
    t.capture_drop(memory)

    plain_path = os.path.join(root, "plain.bin")
    plain = best_of(args.runs, lambda: t.bench_plain_write(plain_path, RECORD, count))
    os.unlink(plain_path)
    runs = iter(range(10**6))

    def stream():
        name = f"trc_bench_{next(runs)}"
        seconds = t.bench_stream(os.path.join(root, "db"), name, RECORD, count)
        os.unlink(os.path.join(root, "raw", name + ".quib"))
        return seconds

    streamed = best_of(args.runs, stream)

    print(f"records of {RECORD} bytes, {total / 2**20:.0f} MiB per run, best of {args.runs}")
    print(f"  store append (in memory):  {count / append / 1e6:8.2f} M records/s  {total / append / 2**30:6.2f} GiB/s")
    print(f"  plain write + fsync (C++): {count / plain / 1e6:8.2f} M records/s  {total / plain / 2**30:6.2f} GiB/s")
    print(f"  streamed trace to disk:    {count / streamed / 1e6:8.2f} M records/s  {total / streamed / 2**30:6.2f} GiB/s")
    print(f"  streamed / plain time:     {streamed / plain:8.2f}x  (target <= 1.5)")

    # Peak resident memory of a fresh process while it streams, above what it held before.
    code = textwrap.dedent(f"""
        import _quib_testing as t

        def status(key):
            for line in open("/proc/self/status"):
                if line.startswith(key + ":"):
                    return int(line.split()[1])

        before = status("VmRSS")
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # restart the peak (VmHWM) from the current size
        t.bench_stream({os.path.join(root, "db")!r}, "trc_bench_rss", {RECORD}, {args.rss_mib * 1024 * 1024 // RECORD})
        print(before, status("VmHWM"))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    before, peak = (int(x) for x in out.split())
    os.unlink(os.path.join(root, "raw", "trc_bench_rss.quib"))
    print(f"streaming {args.rss_mib} MiB: peak RSS {(peak - before) / 1024:.1f} MiB above the start "
          f"(budget 16 MiB + one open chunk of 0.5-1 MiB)")


if __name__ == "__main__":
    main()
