"""Cost of recording, per profile event, against baselines measured in the same run.

Each mode runs the workload in a fresh interpreter (so caches and hooks never leak between modes),
in rounds that run every mode once, keeping each mode's best wall time. Overhead per event is (traced - untraced) / events,
where events counts the call and return events of Python functions.

Modes: untraced; the bare native hook (register_noop_profiler); cProfile; VizTracer (default, and
with log_func_args + log_func_retval) when it is installed; quib recording everything; quib with
the workload's module excluded by an ignore filter (the cost of excluded code).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

RUNNER = r"""
import json, os, sys, time
sys.path.insert(0, {here!r})
import workloads
mode, name, db = sys.argv[1], sys.argv[2], sys.argv[3]
work = workloads.WORKLOADS[name]
def count_events():
    n = [0]
    def hook(frame, event, arg):
        if event in ("call", "return"):
            n[0] += 1
    sys.setprofile(hook); work(); sys.setprofile(None)
    return n[0]
events = count_events() if mode == "count" else 0
start_hook = stop_hook = lambda: None
if mode == "noop":
    import _quib
    start_hook = _quib.register_noop_profiler
    stop_hook = lambda: sys.setprofile(None)
elif mode == "cprofile":
    import cProfile
    profile = cProfile.Profile()
    start_hook, stop_hook = profile.enable, profile.disable
elif mode.startswith("viztracer"):
    from viztracer import VizTracer
    options = dict(log_func_args=True, log_func_retval=True) if mode == "viztracer_values" else {{}}
    tracer = VizTracer(verbose=0, tracer_entries=5000000, **options)
    start_hook, stop_hook = tracer.start, tracer.stop
elif mode.startswith("quib"):
    from quib.profiler import Profiler
    config = {{"threading": False}}
    if mode == "quib_excluded":
        config["filters"] = {{"ignore_frames": ["workloads.py"]}}
    profiler = Profiler(db_path=db, config=config, source="bench")
    start_hook, stop_hook = profiler.start, profiler.stop
# Set-up (imports, the first trace's capture) is not part of the per-event cost: only the run
# between starting and stopping the hook is timed.
start_hook()
start = time.perf_counter()
work()
elapsed = time.perf_counter() - start
stop_hook()
if mode.startswith("quib"):
    profiler.build_trace()  # the recorded trace is complete and readable
print(json.dumps({{"elapsed": elapsed, "events": events}}))
"""


def run(mode: str, workload: str, db: str) -> dict:
    code = RUNNER.format(here=HERE)
    result = subprocess.run([sys.executable, "-c", code, mode, workload, db], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{mode} failed: {result.stderr.strip()[-2000:]}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def best_of_rounds(modes: list, workload: str, db: str, repeat: int) -> dict:
    """The best wall time of each mode over `repeat` rounds. Each round runs every mode once, so a
    slow spell of this noisy machine slows all modes alike instead of one mode's every run."""
    times: dict = {mode: [] for mode in modes}
    for _ in range(repeat):
        for mode in modes:
            times[mode].append(run(mode, workload, db)["elapsed"])
    return {mode: min(values) for mode, values in times.items()}


def available(module: str) -> bool:
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=7)
    arguments = parser.parse_args()
    modes = ["untraced", "noop", "cprofile"]
    if available("viztracer"):
        modes += ["viztracer", "viztracer_values"]
    else:
        print("(viztracer is not installed: its rows are left out)")
    modes += ["quib", "quib_excluded"]
    with tempfile.TemporaryDirectory() as directory:
        db = os.path.join(directory, "db.sqlite3")
        for workload in ("call_heavy", "realistic"):
            events = run("count", workload, db)["events"]
            elapsed = best_of_rounds(modes, workload, db, arguments.repeat)
            base = elapsed["untraced"]
            noop = elapsed["noop"] - base
            noop_per_event = noop / events * 1e9
            print(f"\n{workload}: {events} events, untraced {base * 1e3:.1f} ms, bare hook {noop_per_event:.0f} ns/event")
            print(f"  {'mode':18} {'wall ms':>9} {'ns/event':>9} {'x bare hook':>11}")
            for mode in modes:
                per_event = (elapsed[mode] - base) / events * 1e9
                ratio = (elapsed[mode] - base) / noop if noop > 0 else float("nan")
                print(f"  {mode:18} {elapsed[mode] * 1e3:9.1f} {per_event:9.0f} {ratio:11.2f}")


if __name__ == "__main__":
    main()
