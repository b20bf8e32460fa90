import struct
import zlib

import msgpack
import pytest

from quib.trace_container import read_container
from storage_helpers import frame, t

TRACE_META = msgpack.packb({"trace_id": "trc_test", "trace_name": None})


def record_headers(data):
    """(offset, kind, header) of every record, walking from the preamble to the footer."""
    pos = 24 + struct.unpack_from("<I", data, 16)[0]
    end = len(data) - 32
    out = []
    while pos < end:
        header = data[pos : pos + 40]
        out.append((pos, header[4], header))
        pos += 40 + struct.unpack_from("<I", header, 24)[0]
    assert pos == end
    return out


def check_structure(data):
    assert data[:8] == b"QUIBTRC3" and struct.unpack_from("<HBBI", data, 8) == (3, 2, 0, 0)
    header_len, header_crc = struct.unpack_from("<II", data, 16)
    assert zlib.crc32(data[24 : 24 + header_len]) == header_crc
    footer = data[-32:]
    magic, index_offset, total, crc, zero = struct.unpack("<8sQQII", footer)
    assert (magic, total, crc, zero) == (b"QUIBEND3", len(data), zlib.crc32(footer[:24]), 0)
    headers = record_headers(data)
    for offset, kind, header in headers:
        assert header[:4] == b"QR3\0" and header[5:8] == b"\0\0\0"
        assert struct.unpack_from("<I", header, 36)[0] == zlib.crc32(header[:36])
        length, again, payload_crc = struct.unpack_from("<III", header, 24)
        assert length == again
        expected = 0 if kind == 1 else zlib.crc32(data[offset + 40 : offset + 40 + length])
        assert payload_crc == expected
    assert headers[-1][0] == index_offset and headers[-1][1] == 4
    return headers


def test_empty_trace_has_header_trace_metadata_index_and_footer():
    data = t.build_container("trc_empty", 12.5, [], {}, [], TRACE_META, [])
    headers = check_structure(data)
    assert [kind for _, kind, _ in headers] == [3, 4]
    header = msgpack.unpackb(data[24 : 24 + struct.unpack_from("<I", data, 16)[0]])
    assert header == {"trace_id": "trc_empty", "timestamp": 12.5}
    assert data[24 + 1 + 9 + 1 + 9 + 9 + 1] == 0xCB  # timestamp is a float 64
    index_at = headers[-1][0]
    assert msgpack.unpackb(data[index_at + 40 : -32], strict_map_key=False) == {
        "records": [[3, headers[0][0], len(TRACE_META), 0, 0, 1]],
        "threads": {},
    }


def test_chunk_payload_starts_with_leb128_frame_lengths(memory_capture):
    store = t.store_new(memory_capture, 0)
    frames = [b"", b"\x01" * 200, b"\x02" * 5]
    t.store_append_many(store, frames)
    data = t.build_container("trc_x", 1.0, [("main", store)], {"main": 9}, [(9, b"\x80")], TRACE_META, [])
    (chunk_at, kind, header), *_ = check_structure(data)
    assert kind == 1 and struct.unpack_from("<IQI", header, 8) == (9, 0, 3)
    assert data[chunk_at + 40 : chunk_at + 44] == b"\x00\xc8\x01\x05"
    assert struct.unpack_from("<I", header, 24)[0] == 4 + 205
    assert read_container(data).threads[9].frames == frames


def test_missing_thread_token_fails_the_build(memory_capture):
    store = t.store_new(memory_capture, 0)
    with pytest.raises(OSError, match="^missing v3 thread token for worker$"):
        t.build_container("trc_x", 1.0, [("worker", store)], {}, [], TRACE_META, [])


def test_streamed_and_in_memory_containers_hold_the_same_trace(db, capture, raw):
    main, worker = t.store_new(capture, 0, 2048), t.store_new(capture, 1, 2048)
    main_frames = [frame(i, 300) for i in range(40)]
    worker_frames = [frame(100 + i, 90) for i in range(25)]
    t.store_append_many(main, main_frames)
    t.store_append_many(worker, worker_frames)
    # Move a range so that the layout no longer follows chunk order.
    moved = t.store_drain(main, 5, 15)
    t.store_insert_store(main, 20, moved)
    piece, main_frames[5:15] = main_frames[5:15], []
    main_frames[20:20] = piece
    value = msgpack.packb("v" * 5000)
    t.capture_publish(capture, 0, value)
    t.capture_publish(capture, 0, value)  # published once
    assert t.capture_published(capture) == [0]
    metadata = [(0, msgpack.packb({"thread_id": "main"})), (1, msgpack.packb({"thread_id": "worker"}))]

    built = t.build_container("trc_test", 1700000000.5, [("main", main), ("worker", worker)],
                              {"main": 0, "worker": 1}, metadata, TRACE_META, [(0, value)])
    t.capture_finish(capture, metadata, TRACE_META, [main, worker])
    streamed = (raw / "trc_test.quib").read_bytes()
    assert sorted(p.name for p in raw.iterdir()) == ["trc_test.quib"]
    for data in (built, streamed):
        check_structure(data)
        c = read_container(data)
        assert not c.recovered and (c.trace_id, c.timestamp) == ("trc_test", 1700000000.5)
        assert c.threads[0].frames == main_frames and c.threads[1].frames == worker_frames
        assert c.values == {0: value}
        assert c.threads[1].metadata == {"thread_id": "worker"}
        assert [r.kind for r in c.records].count(5) == 1
    assert built[: 24 + struct.unpack_from("<I", built, 16)[0]] == streamed[: 24 + struct.unpack_from("<I", built, 16)[0]]


def test_a_streamed_trace_is_recorded_by_the_host_database(db, capture, raw):
    from quib import db as quib_db

    store = t.store_new(capture, 0)
    t.store_append_many(store, [frame(i) for i in range(3)])
    meta = {"trace_id": "trc_test", "trace_name": "GET /items/ 200", "timestamp": 1700000000.5,
            "root_trace_id": "trc_root", "meta": {"version": "0.1.0", "source": "tests"}}
    t.capture_finish(capture, [(0, msgpack.packb({"thread_id": "main"}))], msgpack.packb(meta), [store])
    quib_db._save_trace_metadata("trc_test", db_path=db, ignore_errors=False, created_at=None, timeout=5)
    trace = quib_db.latest_trace(db)
    assert (trace.id, trace.name, trace.root_id, trace.source, trace.timestamp) == (
        "trc_test", "GET /items/ 200", "trc_root", "tests", 1700000000.5)
    assert trace.size == (raw / "trc_test.quib").stat().st_size
    assert read_container(trace.path(db)).threads[0].frames == [frame(i) for i in range(3)]
