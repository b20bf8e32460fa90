import sys
import threading

import pytest

from quib.profiler import Profiler
from quib.trace import load_trace


@pytest.fixture
def record(tmp_path):
    """Runs `function` under a fresh profiler and returns (result, profiler, decoded trace)."""

    def run(function, config=None, **options):
        config = dict(config or {})
        # Only the traced program's own frames: the test's lambdas and this fixture stay out.
        config.setdefault("filters", {"ignore_frames": ["conftest.py", "test_profiler.py"]})
        profiler = Profiler(db_path=tmp_path / "db.sqlite3", config=config, **options)
        profiler.start()
        try:
            result = function()
        finally:
            sys.setprofile(None)
            threading.setprofile(None)
        return result, profiler, load_trace(profiler.build_trace())

    yield run
    sys.setprofile(None)
    threading.setprofile(None)


def frames_of(trace, thread_name=None):
    """The frame records of one thread (by its name; default: the first thread)."""
    for thread in trace.threads:
        if thread_name is None or thread.name == thread_name:
            return [r for r in thread.records if r.get("type") == "frame"]
    raise AssertionError(f"no thread {thread_name!r} in {[t.name for t in trace.threads]}")
