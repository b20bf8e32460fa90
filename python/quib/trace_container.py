"""Reader for v3 trace container files (``.quib``).

A container is a 24-byte preamble with a small MessagePack header, a run of
self-checking records (values, frame chunks, thread and trace metadata), an
index record that lists every record and the frame layout of every thread,
and a 32-byte footer that points at the index::

    "QUIBTRC3" u16 version=3, 2, 0, u32 0, u32 header length, u32 header CRC
    header payload
    records: 40-byte header ("QR3\\0", kind, thread, sequence, count,
             payload length twice, payload CRC, header CRC) + payload
    index record (kind 4)
    "QUIBEND3" u64 index offset, u64 total length, u32 CRC, u32 0

`read_container` checks every byte it relies on. A complete container is
read through its index; any disagreement is a `ContainerError` that names
the offset of the damaged structure. A container without a usable footer or
index (a crashed or abandoned capture, a recovered prefix) is recovered by
scanning the records from the start: every complete record whose CRCs hold
is kept, and every byte range that had to be skipped is listed in
`Container.skipped`.
"""

from __future__ import annotations

import dataclasses
import os
import struct
import zlib
from typing import Dict, List, Optional, Tuple, Union

import msgpack

__all__ = [
    "Container",
    "ContainerError",
    "Record",
    "Skipped",
    "ThreadTrace",
    "TraceInfo",
    "read_container",
    "read_trace_info",
]

MAGIC = b"QUIBTRC3"
FOOTER_MAGIC = b"QUIBEND3"
RECORD_MAGIC = b"QR3\x00"
FORMAT_VERSION = 3
PREAMBLE_SIZE = 24
RECORD_HEADER_SIZE = 40
FOOTER_SIZE = 32

KIND_CHUNK = 1
KIND_THREAD_METADATA = 2
KIND_TRACE_METADATA = 3
KIND_INDEX = 4
KIND_VALUE = 5
KIND_NAMES = {
    KIND_CHUNK: "frame chunk",
    KIND_THREAD_METADATA: "thread metadata",
    KIND_TRACE_METADATA: "trace metadata",
    KIND_INDEX: "index",
    KIND_VALUE: "value",
}

_PREAMBLE = struct.Struct("<8sHBBIII")
_RECORD = struct.Struct("<4sB3sIQIIIII")
_FOOTER = struct.Struct("<8sQQII")
_U32 = 1 << 32
_U64 = 1 << 64

Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]"]


class ContainerError(ValueError):
    """The input is not a readable v3 container; `offset` locates the fault."""

    def __init__(self, reason: str, offset: int) -> None:
        super().__init__(f"{reason} at offset {offset}")
        self.reason = reason
        self.offset = offset


@dataclasses.dataclass(frozen=True)
class Record:
    """One record as it appears in the file (and in the index)."""

    kind: int
    offset: int
    payload_length: int
    thread: int
    sequence: int
    count: int

    @property
    def end(self) -> int:
        return self.offset + RECORD_HEADER_SIZE + self.payload_length

    def index_entry(self) -> List[int]:
        return [self.kind, self.offset, self.payload_length, self.thread, self.sequence, self.count]


@dataclasses.dataclass(frozen=True)
class Skipped:
    """A byte range that recovery could not use, and why."""

    offset: int
    length: int
    reason: str


@dataclasses.dataclass
class ThreadTrace:
    """The frames and metadata of one thread (by its token within the trace)."""

    token: int
    frames: List[bytes] = dataclasses.field(default_factory=list)
    metadata: Optional[dict] = None
    metadata_bytes: Optional[bytes] = None


@dataclasses.dataclass
class Container:
    trace_id: str
    timestamp: float
    size: int
    threads: Dict[int, ThreadTrace]
    values: Dict[int, bytes]
    trace_metadata: Optional[dict]
    trace_metadata_bytes: Optional[bytes]
    records: List[Record]
    #: True when the container was read by scanning instead of through its index.
    recovered: bool = False
    #: Byte ranges that recovery skipped (empty for a complete container).
    skipped: List[Skipped] = dataclasses.field(default_factory=list)
    #: Why recovery was needed and what it could not restore.
    notes: List[str] = dataclasses.field(default_factory=list)

    @property
    def frame_count(self) -> int:
        return sum(len(t.frames) for t in self.threads.values())


@dataclasses.dataclass
class TraceInfo:
    """What a trace list needs, read without decoding the frames."""

    trace_id: str
    timestamp: float
    size: int
    trace_metadata: Optional[dict]
    recovered: bool


@dataclasses.dataclass
class _Chunk:
    record: Record
    frames: List[Tuple[int, int]]  # (start, end) offsets into the container


class _Damage(Exception):
    """A structure failed a check; carries the offset for `ContainerError`."""

    def __init__(self, reason: str, offset: int) -> None:
        super().__init__(reason)
        self.reason = reason
        self.offset = offset

    def error(self) -> ContainerError:
        return ContainerError(self.reason, self.offset)


def read_container(source: Source, *, recover: bool = True, force_scan: bool = False) -> Container:
    """Read a container from bytes or from a file path.

    With ``recover`` (the default) a container whose footer or index is
    missing or damaged is recovered by scanning; without it that is an error.
    ``force_scan`` ignores the footer and index and always scans, to salvage
    what is readable from a container whose index is intact but whose
    records are not.
    """
    data = _load(source)
    try:
        trace_id, timestamp, data_start = _read_preamble(data)
        if not force_scan:
            located = _locate_index(data, data_start)
            if isinstance(located, _Damage):
                if not recover:
                    raise located
                return _scan(data, trace_id, timestamp, data_start, located)
            return _read_indexed(data, trace_id, timestamp, data_start, *located)
        return _scan(data, trace_id, timestamp, data_start, None)
    except _Damage as damage:
        raise damage.error() from None


def read_trace_info(source: Source) -> TraceInfo:
    """Read the header and trace metadata, touching only the records needed.

    Falls back to a full (recovering) read when the footer or index is not
    usable.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _trace_info(bytes(source))
    with open(source, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        view = _FileView(f.fileno(), size)
        try:
            return _trace_info(view)
        except _NeedFullRead:
            pass
    return _info_from(read_container(source))


# --- loading -----------------------------------------------------------------


class _FileView:
    """The parts of a file the quick metadata path reads, fetched with pread."""

    def __init__(self, fd: int, size: int) -> None:
        self._fd = fd
        self._size = size

    def __len__(self) -> int:
        return self._size

    def __getitem__(self, item: slice) -> bytes:
        start, stop, _ = item.indices(self._size)
        if stop <= start:
            return b""
        parts = []
        while start < stop:
            part = os.pread(self._fd, stop - start, start)
            if not part:
                break
            parts.append(part)
            start += len(part)
        return b"".join(parts)


class _NeedFullRead(Exception):
    pass


def _load(source: Source) -> bytes:
    if isinstance(source, bytes):
        return source
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    raise TypeError(f"read_container() needs bytes or a path, not {type(source).__name__}")


# --- fixed structures --------------------------------------------------------


def _read_preamble(data) -> Tuple[str, float, int]:
    if len(data) < PREAMBLE_SIZE:
        if data[: len(MAGIC)] != MAGIC[: len(data)]:
            raise _Damage("not a v3 trace container (bad magic)", 0)
        raise _Damage(f"truncated preamble ({len(data)} of {PREAMBLE_SIZE} bytes)", 0)
    magic, version, b10, b11, zero, header_len, header_crc = _PREAMBLE.unpack(data[:PREAMBLE_SIZE])
    if magic != MAGIC:
        raise _Damage("not a v3 trace container (bad magic)", 0)
    if version != FORMAT_VERSION:
        raise _Damage(f"unsupported container format version {version}", 8)
    if (b10, b11, zero) != (2, 0, 0):
        raise _Damage("unexpected values in the preamble's fixed fields", 10)
    end = PREAMBLE_SIZE + header_len
    if end > len(data):
        raise _Damage(
            f"header payload of {header_len} bytes runs past the end of the container ({len(data)} bytes)", 16
        )
    payload = data[PREAMBLE_SIZE:end]
    if zlib.crc32(payload) != header_crc:
        raise _Damage("header payload CRC mismatch", 20)
    header = _unpack(payload, PREAMBLE_SIZE, "header payload")
    if (
        not isinstance(header, dict)
        or list(header) != ["trace_id", "timestamp"]
        or not isinstance(header["trace_id"], str)
        or not isinstance(header["timestamp"], float)
    ):
        raise _Damage("header payload is not a map of trace_id and timestamp", PREAMBLE_SIZE)
    return header["trace_id"], header["timestamp"], end


def _unpack(payload: bytes, offset: int, what: str):
    try:
        return msgpack.unpackb(
            payload, raw=False, strict_map_key=False, unicode_errors="surrogateescape"
        )
    except Exception as exc:  # msgpack raises a zoo of types for bad input
        raise _Damage(f"{what} is not valid MessagePack ({exc.__class__.__name__}: {exc})", offset) from None


def _read_record_header(data, offset: int, limit: int) -> Record:
    """Parse and check one record header; the payload must end by `limit`."""
    available = limit - offset
    if available < RECORD_HEADER_SIZE:
        raise _Damage(f"truncated record header ({max(available, 0)} of {RECORD_HEADER_SIZE} bytes)", offset)
    raw = data[offset : offset + RECORD_HEADER_SIZE]
    magic, kind, pad, thread, sequence, count, length, length2, _payload_crc, header_crc = _RECORD.unpack(raw)
    if magic != RECORD_MAGIC:
        raise _Damage("bad record magic", offset)
    if zlib.crc32(raw[:36]) != header_crc:
        raise _Damage("record header CRC mismatch", offset)
    if pad != b"\x00\x00\x00":
        raise _Damage("nonzero reserved bytes in record header", offset)
    if length != length2:
        raise _Damage(f"record payload lengths disagree ({length} and {length2})", offset)
    if kind not in KIND_NAMES:
        raise _Damage(f"unknown record kind {kind}", offset)
    if length > available - RECORD_HEADER_SIZE:
        raise _Damage(
            f"{KIND_NAMES[kind]} payload of {length} bytes runs past the end "
            f"({available - RECORD_HEADER_SIZE} bytes left)",
            offset,
        )
    rec = Record(kind, offset, length, thread, sequence, count)
    expected = {
        KIND_THREAD_METADATA: (None, None, 1),
        KIND_TRACE_METADATA: (0, 0, 1),
        KIND_INDEX: (0, 0, None),
        KIND_VALUE: (0, None, 1),
    }.get(kind)
    if expected is not None:
        for name, want, got in zip(("thread", "sequence", "count"), expected, (thread, sequence, count)):
            if want is not None and want != got:
                raise _Damage(f"{KIND_NAMES[kind]} record has {name} {got}, expected {want}", offset)
    if kind == KIND_VALUE and sequence >= _U32:
        raise _Damage(f"value identifier {sequence} does not fit 32 bits", offset)
    return rec


def _check_payload(data, rec: Record) -> Optional[_Chunk]:
    """Check the payload CRC (frame chunks: the frame lengths) of a record."""
    start = rec.offset + RECORD_HEADER_SIZE
    crc_field = struct.unpack_from("<I", data[rec.offset + 32 : rec.offset + 36])[0]
    if rec.kind != KIND_CHUNK:
        if zlib.crc32(data[start : rec.end]) != crc_field:
            raise _Damage(f"{KIND_NAMES[rec.kind]} payload CRC mismatch", rec.offset)
        return None
    # Frame chunks carry no payload CRC (the field is 0); should a writer fill
    # it in anyway, it is checked.
    if crc_field and zlib.crc32(data[start : rec.end]) != crc_field:
        raise _Damage("frame chunk payload CRC mismatch", rec.offset)
    return _Chunk(rec, _frame_bounds(data, rec))


def _frame_bounds(data, rec: Record) -> List[Tuple[int, int]]:
    """Decode the LEB128 frame lengths of a chunk into absolute byte ranges."""
    start = rec.offset + RECORD_HEADER_SIZE
    payload = data[start : rec.end]
    lengths = []
    pos = 0
    n = len(payload)
    for i in range(rec.count):
        value = 0
        shift = 0
        while True:
            if pos >= n:
                raise _Damage(f"frame chunk ends inside the length of frame {i} of {rec.count}", rec.offset)
            byte = payload[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            if not byte & 0x80:
                break
            shift += 7
            if shift > 63:
                raise _Damage(f"frame chunk length of frame {i} is not a valid varint", rec.offset)
        lengths.append(value)
    if pos + sum(lengths) != n:
        raise _Damage(
            f"frame chunk lengths ({sum(lengths)} bytes after {pos} bytes of lengths) "
            f"do not match its payload of {n} bytes",
            rec.offset,
        )
    bounds = []
    cursor = start + pos
    for length in lengths:
        bounds.append((cursor, cursor + length))
        cursor += length
    return bounds


def _read_footer(data) -> Tuple[int, int]:
    size = len(data)
    if size < FOOTER_SIZE:
        raise _Damage("no footer", size)
    at = size - FOOTER_SIZE
    magic, index_offset, total, crc, zero = _FOOTER.unpack(data[at:size])
    if magic != FOOTER_MAGIC:
        raise _Damage("no footer (bad footer magic)", at)
    if zlib.crc32(data[at : at + 24]) != crc:
        raise _Damage("footer CRC mismatch", at)
    if zero != 0:
        raise _Damage("nonzero reserved bytes in footer", at)
    if total != size:
        raise _Damage(f"footer gives a total length of {total} bytes, the container has {size}", at)
    return index_offset, at


def _locate_index(data, data_start: int):
    """The index record and its decoded payload, or the `_Damage` that prevents it."""
    try:
        index_offset, footer_at = _read_footer(data)
        if not data_start <= index_offset <= footer_at - RECORD_HEADER_SIZE:
            raise _Damage(f"footer points at index offset {index_offset}, outside the records", footer_at)
        rec = _read_record_header(data, index_offset, footer_at)
        if rec.kind != KIND_INDEX:
            raise _Damage(f"footer points at a {KIND_NAMES[rec.kind]} record, not the index", index_offset)
        if rec.end != footer_at:
            raise _Damage("index record does not end where the footer begins", index_offset)
        _check_payload(data, rec)
        index = _unpack(data[index_offset + RECORD_HEADER_SIZE : rec.end], index_offset, "index")
        entries, layouts = _parse_index(index, rec)
    except _Damage as damage:
        return damage
    return rec, entries, layouts


def _parse_index(index, rec: Record):
    def bad(what: str) -> _Damage:
        return _Damage(f"malformed index: {what}", rec.offset)

    def uints(item, n: int, what: str) -> List[int]:
        if not isinstance(item, list) or len(item) != n:
            raise bad(f"{what} is not an array of {n} integers")
        for v in item:
            if type(v) is not int or v < 0:
                raise bad(f"{what} is not an array of {n} unsigned integers")
        return item

    if not isinstance(index, dict) or list(index) != ["records", "threads"]:
        raise bad("expected a map of records and threads")
    records, threads = index["records"], index["threads"]
    if not isinstance(records, list) or not isinstance(threads, dict):
        raise bad("records must be an array and threads a map")
    if len(records) != rec.count:
        raise bad(f"the index record counts {rec.count} entries, its array has {len(records)}")
    entries = [uints(item, 6, f"record entry {i}") for i, item in enumerate(records)]
    layouts: Dict[int, List[List[int]]] = {}
    for token, spans in threads.items():
        if type(token) is not int or not 0 <= token < _U32:
            raise bad(f"thread key {token!r} is not a thread token")
        if not isinstance(spans, list):
            raise bad(f"layout of thread {token} is not an array")
        layouts[token] = [uints(span, 3, f"layout span of thread {token}") for span in spans]
    return entries, layouts


# --- reading a complete container --------------------------------------------


def _read_indexed(data, trace_id, timestamp, data_start, index_rec, entries, layouts) -> Container:
    records: List[Record] = []
    chunks: Dict[Tuple[int, int], _Chunk] = {}
    pos = data_start
    while pos < index_rec.offset:
        rec = _read_record_header(data, pos, index_rec.offset)
        if rec.kind == KIND_INDEX:
            raise _Damage("a second index record precedes the one the footer names", pos)
        chunk = _check_payload(data, rec)
        if chunk is not None:
            _add_chunk(chunks, chunk)
        records.append(rec)
        pos = rec.end
    if len(entries) != len(records):
        raise _Damage(f"index lists {len(entries)} records, the container holds {len(records)}", index_rec.offset)
    for i, (entry, rec) in enumerate(zip(entries, records)):
        if entry != rec.index_entry():
            raise _Damage(f"index entry {i} {entry} disagrees with the record {rec.index_entry()}", rec.offset)
    container = _assemble(data, trace_id, timestamp, records, strict=True)
    for token, spans in layouts.items():
        frames = container.threads.setdefault(token, ThreadTrace(token)).frames
        for sequence, offset, count in spans:
            chunk = chunks.get((token, sequence))
            if chunk is None:
                raise _Damage(f"layout of thread {token} names chunk {sequence}, which is missing", index_rec.offset)
            if offset + count > len(chunk.frames):
                raise _Damage(
                    f"layout of thread {token} takes frames {offset}..{offset + count} "
                    f"of chunk {sequence}, which holds {len(chunk.frames)}",
                    index_rec.offset,
                )
            frames.extend(data[a:b] for a, b in chunk.frames[offset : offset + count])
    return container


def _add_chunk(chunks: Dict[Tuple[int, int], _Chunk], chunk: _Chunk) -> None:
    key = (chunk.record.thread, chunk.record.sequence)
    if key in chunks:
        raise _Damage(f"thread {key[0]} has a second chunk with sequence {key[1]}", chunk.record.offset)
    chunks[key] = chunk


def _assemble(data, trace_id, timestamp, records: List[Record], *, strict: bool) -> Container:
    """Collect values and metadata from checked records."""
    container = Container(
        trace_id=trace_id,
        timestamp=timestamp,
        size=len(data),
        threads={},
        values={},
        trace_metadata=None,
        trace_metadata_bytes=None,
        records=records,
    )

    def problem(reason: str, offset: int) -> None:
        if strict:
            raise _Damage(reason, offset)
        container.notes.append(f"{reason} at offset {offset}")

    for rec in records:
        payload = data[rec.offset + RECORD_HEADER_SIZE : rec.end]
        if rec.kind == KIND_VALUE:
            known = container.values.get(rec.sequence)
            if known is not None and known != payload:
                problem(f"value {rec.sequence} is stored twice with different bytes", rec.offset)
                continue
            container.values[rec.sequence] = payload
        elif rec.kind == KIND_THREAD_METADATA:
            thread = container.threads.setdefault(rec.thread, ThreadTrace(rec.thread))
            if thread.metadata_bytes is not None:
                problem(f"thread {rec.thread} has a second metadata record", rec.offset)
                continue
            try:
                meta = _unpack(payload, rec.offset, "thread metadata")
            except _Damage as damage:
                problem(damage.reason, damage.offset)
                continue
            thread.metadata_bytes = payload
            thread.metadata = meta if isinstance(meta, dict) else None
            if not isinstance(meta, dict):
                problem(f"thread {rec.thread} metadata is not a map", rec.offset)
        elif rec.kind == KIND_TRACE_METADATA:
            if container.trace_metadata_bytes is not None:
                problem("a second trace metadata record", rec.offset)
                continue
            try:
                meta = _unpack(payload, rec.offset, "trace metadata")
            except _Damage as damage:
                problem(damage.reason, damage.offset)
                continue
            if not isinstance(meta, dict):
                problem("trace metadata is not a map", rec.offset)
                continue
            container.trace_metadata_bytes = payload
            container.trace_metadata = meta
    return container


# --- recovery ------------------------------------------------------------------


def _scan(data, trace_id, timestamp, data_start, why: Optional[_Damage]) -> Container:
    size = len(data)
    end = size
    try:
        _read_footer(data)
        end = size - FOOTER_SIZE
    except _Damage:
        pass
    records: List[Record] = []
    chunks: Dict[Tuple[int, int], _Chunk] = {}
    skipped: List[Skipped] = []
    index = None
    pos = data_start
    while pos < end:
        try:
            rec, chunk = _checked_record(data, pos, end)
            if chunk is not None:
                _add_chunk(chunks, chunk)
        except _Damage as damage:
            resume = _resync(data, pos + 1, end)
            skipped.append(Skipped(pos, (resume if resume is not None else end) - pos, damage.reason))
            if resume is None:
                break
            pos = resume
            continue
        if rec.kind == KIND_INDEX:
            index = (rec, len(records))
        else:
            records.append(rec)
        pos = rec.end
    container = _assemble(data, trace_id, timestamp, records, strict=False)
    container.recovered = True
    container.skipped = skipped
    if why is not None:
        container.notes.insert(0, f"read by scanning: {why.reason} at offset {why.offset}")
    layouts = _recovered_layouts(data, index, records)
    if layouts is None:
        if chunks:
            container.notes.append(
                "no usable index: each thread's frames are given in chunk order and may include "
                "frames that the trace had moved out"
            )
        layouts = {}
        for token, sequence in sorted(chunks):
            layouts.setdefault(token, []).append([sequence, 0, len(chunks[token, sequence].frames)])
    for token, spans in layouts.items():
        frames = container.threads.setdefault(token, ThreadTrace(token)).frames
        for sequence, offset, count in spans:
            chunk = chunks.get((token, sequence))
            if chunk is None or offset + count > len(chunk.frames):
                container.notes.append(f"thread {token}: frames of chunk {sequence} are missing")
                continue
            frames.extend(data[a:b] for a, b in chunk.frames[offset : offset + count])
    return container


def _checked_record(data, pos: int, end: int):
    rec = _read_record_header(data, pos, end)
    return rec, _check_payload(data, rec)


def _resync(data, start: int, end: int) -> Optional[int]:
    """The offset of the next record header whose checks hold, if any."""
    while True:
        at = data.find(RECORD_MAGIC, start, end)
        if at < 0:
            return None
        try:
            _checked_record(data, at, end)
            return at
        except _Damage:
            start = at + 1


def _recovered_layouts(data, index, records: List[Record]):
    """Use an index record found while scanning when it matches the records before it."""
    if index is None:
        return None
    rec, before = index
    try:
        parsed = _unpack(data[rec.offset + RECORD_HEADER_SIZE : rec.end], rec.offset, "index")
        entries, layouts = _parse_index(parsed, rec)
    except _Damage:
        return None
    if entries != [r.index_entry() for r in records[:before]] or before != len(records):
        return None
    return layouts


# --- quick metadata ----------------------------------------------------------


def _trace_info(data) -> TraceInfo:
    try:
        trace_id, timestamp, data_start = _read_preamble(data)
    except _Damage as damage:
        raise damage.error() from None
    located = _locate_index(data, data_start)
    if isinstance(located, _Damage):
        if isinstance(data, _FileView):
            raise _NeedFullRead
        return _info_from(read_container(data))
    _index_rec, entries, _layouts = located
    meta = None
    for kind, offset, *_rest in entries:
        if kind != KIND_TRACE_METADATA:
            continue
        try:
            rec = _read_record_header(data, offset, _index_rec.offset)
            if rec.kind != KIND_TRACE_METADATA:
                raise _Damage("index entry does not match the record", offset)
            _check_payload(data, rec)
        except _Damage as damage:
            raise damage.error() from None
        try:
            meta = _unpack(data[offset + RECORD_HEADER_SIZE : rec.end], offset, "trace metadata")
        except _Damage as damage:
            raise damage.error() from None
        break
    return TraceInfo(trace_id, timestamp, len(data), meta if isinstance(meta, dict) else None, False)


def _info_from(container: Container) -> TraceInfo:
    return TraceInfo(
        container.trace_id, container.timestamp, container.size, container.trace_metadata, container.recovered
    )
