"""Recording a program with the profile-hook engine.

    from quib.profiler import Profiler

    with Profiler(db_path=".quib/db.sqlite3", config={"threading": True}) as profiler:
        run_the_program()
    print(profiler.trace_id)   # saved when the block ends

`Profiler` is the host object that `_quib.register_profiler` reads: its attributes `config`,
`trace_id`, `db_path`, `one_trace_per_test`, `trace_name` and `source` describe one recording, and
the engine sets `native_profiler` on it.
"""

from __future__ import annotations

import os
import sys
import threading
from typing import Any, Dict, Optional

import _quib

from quib import utils


class Profiler:
    """One recording of this process through the interpreter's profile hook."""

    def __init__(
        self,
        *,
        db_path: "os.PathLike[str] | str",
        config: Optional[Dict[str, Any]] = None,
        trace_name: Optional[str] = None,
        source: str = "api",
        one_trace_per_test: bool = False,
        trace_id: Optional[str] = None,
    ) -> None:
        self.config: Dict[str, Any] = dict(config or {})
        self.db_path = os.fspath(db_path)
        self.trace_id = trace_id or utils.new_trace_id()
        self.trace_name = trace_name
        self.source = source
        self.one_trace_per_test = one_trace_per_test
        self.native_profiler = None
        self._started = False

    def __call__(self, frame, event, arg):
        # The engine requires a callable host object. Python-level profiling never goes through
        # it: the engine installs its native hook in its place.
        return None

    def start(self) -> None:
        """Start recording the calling thread (and, with the "threading" setting, later threads)."""
        if self._started:
            raise RuntimeError("this profiler is already recording")
        _quib.register_profiler(self)
        self._started = True

    def stop(self) -> None:
        """Stop recording on the calling thread and for new threads. Threads that are still
        running keep their hook until they end."""
        if not self._started:
            return
        sys.setprofile(None)
        threading.setprofile(None)
        self._started = False

    @property
    def panicked(self) -> bool:
        return bool(self.native_profiler is not None and self.native_profiler.panicked)

    def save(self) -> str:
        """Save what was recorded since the last save; returns the saved trace's id."""
        if self.native_profiler is None:
            raise RuntimeError("nothing was recorded: the profiler never started")
        trace_id = self.native_profiler.trace_id
        self.native_profiler.save()
        return trace_id

    def build_trace(self) -> bytes:
        """The recorded trace as container bytes, without saving it."""
        if self.native_profiler is None:
            raise RuntimeError("nothing was recorded: the profiler never started")
        return self.native_profiler.build_trace()

    def __enter__(self) -> "Profiler":
        self.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()
        self.saved_trace_id = self.save()
