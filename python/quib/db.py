"""The trace database: an SQLite index of the trace files under ``raw/``.

Trace files live next to the database, as ``raw/{trace_id}.quib``. The
database records one row per trace with what a trace list needs (name,
start time, root trace, source, file and size), read from the container's
own trace metadata record. The engine calls two functions here:

- `save_v3_trace_chunks` with a container built in memory: the bytes are
  written atomically to the trace file and the trace is recorded;
- `_save_trace_metadata` once the background writer has committed the
  trace file itself: the trace is recorded from that file.

The schema carries a version number (``PRAGMA user_version``); opening a
database applies the migrations it lacks, inside one transaction.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import itertools
import logging
import os
import re
import sqlite3
import time
from pathlib import Path
from typing import Iterable, Iterator, List, Optional, Union

from quib.trace_container import ContainerError, TraceInfo, read_trace_info

__all__ = [
    "SCHEMA_VERSION",
    "TraceRecord",
    "connect",
    "find_trace",
    "get_trace",
    "index_trace_files",
    "latest_trace",
    "list_traces",
    "save_v3_trace_chunks",
    "trace_directory",
    "trace_file",
]

logger = logging.getLogger("quib")

PathLike = Union[str, "os.PathLike[str]"]
DEFAULT_TIMEOUT = 60

# Migration i brings a database from schema version i to i + 1.
_MIGRATIONS: List[List[str]] = [
    [
        """
        CREATE TABLE traces (
            id TEXT PRIMARY KEY,
            name TEXT,
            timestamp REAL,
            root_id TEXT,
            file TEXT NOT NULL,
            size INTEGER NOT NULL,
            source TEXT,
            created_at REAL NOT NULL,
            thread_id TEXT,
            commit_sha TEXT,
            version TEXT,
            recovered INTEGER NOT NULL DEFAULT 0
        )
        """,
        "CREATE INDEX traces_by_time ON traces (timestamp DESC, created_at DESC)",
    ],
]
SCHEMA_VERSION = len(_MIGRATIONS)

_COLUMNS = (
    "id, name, timestamp, root_id, file, size, source, created_at, thread_id, commit_sha, version, recovered"
)
# Trace ids become file names: keep them to one safe path component.
_TRACE_ID = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.\-]{0,199}\Z")
_TEMP_SEQUENCE = itertools.count()


@dataclasses.dataclass(frozen=True)
class TraceRecord:
    id: str
    name: Optional[str]
    timestamp: Optional[float]
    root_id: Optional[str]
    #: The trace file, relative to the database's directory.
    file: str
    size: int
    source: Optional[str]
    created_at: float
    thread_id: Optional[str]
    commit_sha: Optional[str]
    version: Optional[str]
    #: The file had no usable index; its record was made from a scan.
    recovered: bool

    def path(self, db_path: PathLike) -> Path:
        return Path(db_path).parent / self.file


# --- placement -----------------------------------------------------------------


def trace_directory(db_path: PathLike) -> Path:
    """The directory of trace files: ``raw`` next to the database."""
    return Path(db_path).parent / "raw"


def trace_file(db_path: PathLike, trace_id: str) -> Path:
    _check_trace_id(trace_id)
    return trace_directory(db_path) / f"{trace_id}.quib"


def _check_trace_id(trace_id: object) -> None:
    if not isinstance(trace_id, str) or not _TRACE_ID.match(trace_id):
        raise ValueError(f"Quib cannot store a trace under the id {trace_id!r}: not a plain file name")


# --- the engine's entry points -------------------------------------------------


def save_v3_trace_chunks(
    trace_id: str,
    chunks: Iterable[bytes],
    *,
    db_path: PathLike,
    ignore_errors: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
) -> Optional[TraceRecord]:
    """Write an in-memory container to its trace file and record the trace.

    With ``ignore_errors``, storage failures (``OSError``, ``sqlite3.Error``)
    are logged to the "quib" logger and None is returned. The trace file is
    replaced atomically: a reader sees the old file or the new one, and a
    failed write leaves no temporary file behind.
    """
    path = trace_file(db_path, trace_id)
    with _storage_errors(trace_id, ignore_errors):
        parts = list(chunks)
        # The engine hands the whole container as one bytes object: write it without a copy.
        data = parts[0] if len(parts) == 1 and type(parts[0]) is bytes else b"".join(parts)
        _write_atomically(path, data)
        info = _trace_info(trace_id, data)
        return _record(db_path, trace_id, path, len(data), info, None, timeout)
    return None


def _save_trace_metadata(
    trace_id: str,
    *,
    db_path: PathLike,
    ignore_errors: bool = False,
    created_at: Union[None, float, datetime.datetime] = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> Optional[TraceRecord]:
    """Record a trace whose file the writer has already committed."""
    path = trace_file(db_path, trace_id)
    with _storage_errors(trace_id, ignore_errors):
        size = path.stat().st_size
        info = _trace_info(trace_id, path)
        return _record(db_path, trace_id, path, size, info, created_at, timeout)
    return None


@contextlib.contextmanager
def _storage_errors(trace_id: str, ignore_errors: bool) -> Iterator[None]:
    try:
        yield
    except (OSError, sqlite3.Error) as exc:
        if not ignore_errors:
            raise
        logger.warning("Quib could not store trace %s: %s", trace_id, exc, exc_info=True)


def _write_atomically(path: Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    while True:
        temp = path.with_name(f".{path.name}.{os.getpid()}.py{next(_TEMP_SEQUENCE)}.tmp")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
            break
        except FileExistsError:
            continue
    try:
        try:
            view = memoryview(data)
            while view:
                written = os.write(fd, view)
                view = view[written:]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    _sync_directory(path.parent)


def _sync_directory(directory: Path) -> None:
    fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _trace_info(trace_id: str, source) -> Optional[TraceInfo]:
    """The container's own description of the trace; None when unreadable.

    An unreadable container is still recorded (its file is the user's data),
    with a warning, so that nothing silently disappears from the list.
    """
    try:
        info = read_trace_info(source)
    except ContainerError as exc:
        logger.warning("Quib recorded trace %s, but its file is not a readable container: %s", trace_id, exc)
        return None
    if info.trace_id != trace_id:
        logger.warning("Quib recorded trace %s, but its file says it holds trace %s", trace_id, info.trace_id)
    if info.recovered:
        logger.warning("Quib recorded trace %s from an incomplete file; some of it may be missing", trace_id)
    return info


# --- the database --------------------------------------------------------------


def connect(db_path: PathLike, *, timeout: float = DEFAULT_TIMEOUT) -> sqlite3.Connection:
    """Open (creating if needed) the database and bring its schema up to date.

    The connection is in autocommit mode; ``timeout`` seconds is how long a
    statement waits for another process's lock.
    """
    Path(db_path).parent.mkdir(parents=True, exist_ok=True)
    conn = sqlite3.connect(os.fspath(db_path), timeout=timeout, isolation_level=None)
    try:
        conn.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
        _migrate(conn, db_path)
    except BaseException:
        conn.close()
        raise
    return conn


def _migrate(conn: sqlite3.Connection, db_path: PathLike) -> None:
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    if version > SCHEMA_VERSION:
        raise RuntimeError(
            f"Quib database {os.fspath(db_path)} has schema version {version}; "
            f"this version of quib understands up to {SCHEMA_VERSION}"
        )
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while this one waited for the lock.
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        for step in _MIGRATIONS[version:]:
            for statement in step:
                conn.execute(statement)
        conn.execute(f"PRAGMA user_version = {max(version, SCHEMA_VERSION)}")
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


@contextlib.contextmanager
def _open(db_path: PathLike, timeout: float) -> Iterator[sqlite3.Connection]:
    conn = connect(db_path, timeout=timeout)
    try:
        yield conn
    finally:
        conn.close()


def _text(meta: Optional[dict], *keys: str) -> Optional[str]:
    value = meta
    for key in keys:
        if not isinstance(value, dict):
            return None
        value = value.get(key)
    return value if isinstance(value, str) else None


def _record(
    db_path: PathLike,
    trace_id: str,
    path: Path,
    size: int,
    info: Optional[TraceInfo],
    created_at: Union[None, float, datetime.datetime],
    timeout: float,
) -> TraceRecord:
    if created_at is None:
        created = time.time()
    elif isinstance(created_at, datetime.datetime):
        created = created_at.timestamp()
    else:
        created = float(created_at)
    meta = info.trace_metadata if info else None
    timestamp = info.timestamp if info else None
    if isinstance(meta, dict) and isinstance(meta.get("timestamp"), float):
        timestamp = meta["timestamp"]
    record = TraceRecord(
        id=trace_id,
        name=_text(meta, "trace_name"),
        timestamp=timestamp,
        root_id=_text(meta, "root_trace_id"),
        file=path.relative_to(Path(db_path).parent).as_posix(),
        size=size,
        source=_text(meta, "meta", "source"),
        created_at=created,
        thread_id=_text(meta, "current_thread_id"),
        commit_sha=_text(meta, "current_commit_sha"),
        version=_text(meta, "meta", "version"),
        recovered=bool(info.recovered) if info else False,
    )
    values = dataclasses.astuple(record)
    with _open(db_path, timeout) as conn:
        conn.execute(
            f"INSERT OR REPLACE INTO traces ({_COLUMNS}) VALUES ({', '.join('?' * len(values))})",
            values,
        )
    return record


def _row(row: tuple) -> TraceRecord:
    *fields, recovered = row
    return TraceRecord(*fields, recovered=bool(recovered))


# --- queries -------------------------------------------------------------------


def list_traces(
    db_path: PathLike, *, limit: Optional[int] = None, timeout: float = DEFAULT_TIMEOUT
) -> List[TraceRecord]:
    """The recorded traces, newest first. A missing database holds none."""
    if not Path(db_path).exists():
        return []
    query = f"SELECT {_COLUMNS} FROM traces ORDER BY COALESCE(timestamp, created_at) DESC, created_at DESC"
    params: tuple = ()
    if limit is not None:
        query += " LIMIT ?"
        params = (int(limit),)
    with _open(db_path, timeout) as conn:
        return [_row(r) for r in conn.execute(query, params)]


def get_trace(db_path: PathLike, trace_id: str, *, timeout: float = DEFAULT_TIMEOUT) -> Optional[TraceRecord]:
    if not Path(db_path).exists():
        return None
    with _open(db_path, timeout) as conn:
        row = conn.execute(f"SELECT {_COLUMNS} FROM traces WHERE id = ?", (trace_id,)).fetchone()
    return _row(row) if row else None


def latest_trace(db_path: PathLike, *, timeout: float = DEFAULT_TIMEOUT) -> Optional[TraceRecord]:
    traces = list_traces(db_path, limit=1, timeout=timeout)
    return traces[0] if traces else None


def find_trace(db_path: PathLike, ref: str, *, timeout: float = DEFAULT_TIMEOUT) -> TraceRecord:
    """The trace with id ``ref``, or the only one whose id starts with it.

    A prefix may leave out the "trc_" of the id. Raises `LookupError` with a
    message for the user when there is no such trace or the prefix is
    ambiguous.
    """
    exact = get_trace(db_path, ref, timeout=timeout)
    if exact is not None:
        return exact
    if not ref:
        raise LookupError("Quib needs a trace id")
    matches = {}
    for trace in list_traces(db_path, timeout=timeout):
        if trace.id.startswith(ref) or trace.id.startswith("trc_" + ref):
            matches[trace.id] = trace
    if not matches:
        raise LookupError(f"Quib has no trace {ref!r}")
    if len(matches) > 1:
        shown = ", ".join(sorted(matches)[:5])
        raise LookupError(f"Quib trace id {ref!r} is ambiguous: it matches {len(matches)} traces ({shown})")
    return next(iter(matches.values()))


def index_trace_files(db_path: PathLike, *, timeout: float = DEFAULT_TIMEOUT) -> List[TraceRecord]:
    """Record every trace file under ``raw/`` that the database lacks.

    A trace whose database update failed (a locked or read-only database)
    keeps its file; this brings it back into the list.
    """
    directory = trace_directory(db_path)
    if not directory.is_dir():
        return []
    known = {t.id for t in list_traces(db_path, timeout=timeout)}
    added = []
    for path in sorted(directory.glob("*.quib")):
        trace_id = path.name[: -len(".quib")]
        if trace_id in known or not _TRACE_ID.match(trace_id):
            continue
        added.append(_record(db_path, trace_id, path, path.stat().st_size, _trace_info(trace_id, path), None, timeout))
    return added
