"""Reading a stored trace back as a call tree, and printing it for a person.

`load_trace` decodes a container into `Trace` (threads with their events); `render` turns it into
indented text: one line per call with its arguments, its return value or exception, nested by call
depth, thread by thread.
"""

from __future__ import annotations

import dataclasses
import reprlib
from typing import Any, Dict, Iterator, List, Optional

from quib import trace_container
from quib.serialize import Repr, Truncated, Unserializable, load_msgpack

OPENING = {"call", "resume", "throw"}
CLOSING = {"return", "unwind", "yield"}


@dataclasses.dataclass
class Event:
    record: Dict[str, Any]

    @property
    def kind(self) -> str:
        return self.record.get("event", "")

    @property
    def frame_id(self) -> Optional[str]:
        return self.record.get("frame_id")


@dataclasses.dataclass
class ThreadEvents:
    token: int
    thread_id: str
    name: Optional[str]
    records: List[Dict[str, Any]]


@dataclasses.dataclass
class Trace:
    trace_id: str
    name: Optional[str]
    timestamp: float
    threads: List[ThreadEvents]
    notes: List[str]


def load_trace(source) -> Trace:
    """Decode a container (bytes or a path) into its threads' records."""
    container = trace_container.read_container(source)
    values = container.values
    threads = []
    for token in sorted(container.threads):
        thread = container.threads[token]
        metadata = thread.metadata or {}
        records = [load_msgpack(frame, values=values) for frame in thread.frames]
        threads.append(
            ThreadEvents(
                token=token,
                thread_id=str(metadata.get("thread_id") or f"thread {token}"),
                name=metadata.get("name"),
                records=records,
            )
        )
    meta = container.trace_metadata or {}
    notes = list(container.notes)
    if container.skipped:
        notes.append(f"{len(container.skipped)} damaged byte ranges were skipped")
    return Trace(
        trace_id=container.trace_id,
        name=meta.get("trace_name"),
        timestamp=container.timestamp,
        threads=threads,
        notes=notes,
    )


class _Shortener(reprlib.Repr):
    """Short reprs of decoded values; the engine's placeholders show as what they stand for."""

    def __init__(self, width: int) -> None:
        super().__init__()
        self.width = width
        self.maxstring = max(20, width // 3)
        self.maxother = max(20, width // 3)
        self.maxlist = self.maxtuple = self.maxdict = self.maxset = self.maxfrozenset = 4
        self.maxlevel = 2

    def repr1(self, value, level):
        if isinstance(value, Repr):
            return self._cut(value.text)
        if isinstance(value, Truncated):
            return f"<{value.type_name}: too large to record>"
        if isinstance(value, Unserializable):
            return f"<{value.type_name}>"
        return super().repr1(value, level)

    def _cut(self, text: str) -> str:
        limit = self.maxother
        return text if len(text) <= limit else text[: limit - 3] + "..."

    def line(self, text: str) -> str:
        return text if len(text) <= self.width else text[: self.width - 3] + "..."


def _arguments(record: Dict[str, Any], shorten: _Shortener) -> str:
    local_values = record.get("locals")
    if not isinstance(local_values, dict) or record.get("co_name") == "<module>":
        return ""
    return shorten.line(", ".join(f"{name}={shorten.repr(value)}" for name, value in local_values.items()))


def _name(record: Dict[str, Any]) -> str:
    qualname = record.get("qualname")
    if qualname:
        return str(qualname)
    return str(record.get("co_name") or "?")


def _outcome(record: Dict[str, Any], shorten: _Shortener) -> str:
    kind = record.get("event")
    if record.get("values_omitted"):
        return f"{kind} (values omitted: {record['values_omitted']})"
    if kind == "unwind":
        return f"raised {shorten.repr(record.get('exception'))}"
    if kind == "yield":
        return f"yielded {shorten.repr(record.get('arg'))}"
    return f"returned {shorten.repr(record.get('arg'))}"


def _opening_line(record: Dict[str, Any], shorten: _Shortener) -> str:
    kind = record.get("event")
    prefix = "" if kind == "call" else f"[{kind}] "
    return f"{prefix}{_name(record)}({_arguments(record, shorten)})  {record.get('path', '')}"


def render_thread(thread: ThreadEvents, width: int = 100) -> Iterator[str]:
    shorten = _Shortener(width)
    stack: List[str] = []
    records = thread.records
    i = 0
    while i < len(records):
        record = records[i]
        indent = "  " * len(stack)
        if record.get("type", "frame") != "frame":
            extra = {k: v for k, v in record.items() if k not in ("frame_id", "timestamp", "user_code_call_site", "type")}
            yield f"{indent}* {record.get('type')}: {shorten.repr(extra)}"
        elif record.get("event") in OPENING:
            following = records[i + 1] if i + 1 < len(records) else None
            line = _opening_line(record, shorten)
            if (
                following is not None
                and following.get("type", "frame") == "frame"
                and following.get("event") in CLOSING
                and following.get("frame_id") == record.get("frame_id")
            ):
                # A call without recorded callees: one line.
                yield f"{indent}{line}  -> {_outcome(following, shorten)}"
                i += 2
                continue
            yield f"{indent}{line}"
            stack.append(record.get("frame_id"))
        elif record.get("event") in CLOSING:
            frame_id = record.get("frame_id")
            if frame_id in stack:
                del stack[stack.index(frame_id):]
            indent = "  " * len(stack)
            yield f"{indent}-> {_outcome(record, shorten)}  ({_name(record)})"
        else:
            yield f"{indent}{record.get('event')}: {_name(record)} {record.get('path', '')}"
        i += 1


def render(trace: Trace, width: int = 100) -> Iterator[str]:
    title = f"trace {trace.trace_id}"
    if trace.name:
        title += f"  {trace.name}"
    yield title
    for note in trace.notes:
        yield f"note: {note}"
    for thread in trace.threads:
        label = thread.thread_id + (f" ({thread.name})" if thread.name else "")
        yield ""
        yield f"thread {label}: {sum(1 for r in thread.records if r.get('event') in OPENING)} calls"
        for line in render_thread(thread, width):
            yield "  " + line
