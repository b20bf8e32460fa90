"""A small v3 container builder for tests, written from the format's layout.

Independent of the reader on purpose: tests build containers byte by byte
here and check that the reader (and later the native writer) agree with it.
"""

from __future__ import annotations

import struct
import zlib
from typing import Dict, List, Optional, Sequence, Tuple

import msgpack


def leb128(n: int) -> bytes:
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def record_header(kind: int, thread: int, sequence: int, count: int, payload: bytes, crc: Optional[int]) -> bytes:
    if crc is None:
        crc = 0 if kind == 1 else zlib.crc32(payload)
    head = b"QR3\x00" + bytes([kind, 0, 0, 0]) + struct.pack("<IQIIII", thread, sequence, count, len(payload), len(payload), crc)
    return head + struct.pack("<I", zlib.crc32(head))


def trace_metadata(trace_id: str, **overrides) -> dict:
    meta = {
        "trace_id": trace_id,
        "trace_name": None,
        "current_thread_id": "MainThread-1",
        "timestamp": 1700000000.25,
        "current_commit_sha": None,
        "root_trace_id": trace_id,
        "meta": {"version": "0.1", "source": "tests", "environment": {}, "config": {"use_native": True}},
        "command_line_args": ["prog.py"],
        "frames_of_interest": [],
        "frames": {},
    }
    meta.update(overrides)
    return meta


class Builder:
    def __init__(self, trace_id: str = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ", timestamp: float = 1700000000.25):
        self.trace_id = trace_id
        self.timestamp = timestamp
        header = msgpack.packb({"trace_id": trace_id, "timestamp": float(timestamp)})
        self.out = bytearray(b"QUIBTRC3" + struct.pack("<HBBIII", 3, 2, 0, 0, len(header), zlib.crc32(header)) + header)
        self.entries: List[List[int]] = []
        self.chunks: Dict[int, List[Tuple[int, int]]] = {}

    def record(self, kind: int, thread: int, sequence: int, count: int, payload: bytes, crc: Optional[int] = None) -> int:
        offset = len(self.out)
        self.out += record_header(kind, thread, sequence, count, payload, crc) + payload
        if kind != 4:
            self.entries.append([kind, offset, len(payload), thread, sequence, count])
        return offset

    def value(self, ident: int, encoded: bytes) -> int:
        return self.record(5, 0, ident, 1, encoded)

    def chunk(self, token: int, sequence: int, frames: Sequence[bytes]) -> int:
        payload = b"".join(leb128(len(f)) for f in frames) + b"".join(frames)
        self.chunks.setdefault(token, []).append((sequence, len(frames)))
        return self.record(1, token, sequence, len(frames), payload)

    def thread_meta(self, token: int, position: int, meta) -> int:
        payload = meta if isinstance(meta, bytes) else msgpack.packb(meta)
        return self.record(2, token, position, 1, payload)

    def trace_meta(self, meta=None) -> int:
        meta = trace_metadata(self.trace_id) if meta is None else meta
        payload = meta if isinstance(meta, bytes) else msgpack.packb(meta)
        return self.record(3, 0, 0, 1, payload)

    def build(self, layouts: Optional[Dict[int, List[Tuple[int, int, int]]]] = None, *, footer: bool = True) -> bytes:
        if layouts is None:
            layouts = {t: [(s, 0, n) for s, n in sorted(c)] for t, c in self.chunks.items()}
        index = msgpack.packb(
            {"records": self.entries, "threads": {t: [list(s) for s in spans] for t, spans in layouts.items()}}
        )
        index_offset = self.record(4, 0, 0, len(self.entries), index)
        if footer:
            total = len(self.out) + 32
            body = b"QUIBEND3" + struct.pack("<QQ", index_offset, total)
            self.out += body + struct.pack("<II", zlib.crc32(body), 0)
        return bytes(self.out)
