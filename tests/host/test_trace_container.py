import struct
import zlib

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from containerkit import Builder, trace_metadata
from quib.trace_container import ContainerError, read_container, read_trace_info

TRACE = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ"


def frames(prefix, n):
    return [msgpack.packb({"event": "call", "n": f"{prefix}{i}"}) for i in range(n)]


@pytest.fixture
def sample():
    """Two threads, a value, and a layout that visits chunks out of order."""
    b = Builder(TRACE)
    b.value(0, msgpack.packb("x" * 5000))
    a0, a1, t1 = frames("a", 3), frames("b", 2), frames("t", 4)
    offsets = {
        "a0": b.chunk(0, 0, a0),
        "t1": b.chunk(1, 0, t1),
        "a1": b.chunk(0, 1, a1),
    }
    offsets["meta0"] = b.thread_meta(0, 0, {"thread_id": "MainThread", "name": "MainThread"})
    offsets["meta1"] = b.thread_meta(1, 1, {"thread_id": "worker", "name": "worker"})
    offsets["trace"] = b.trace_meta(trace_metadata(TRACE, trace_name="GET / 200"))
    data = b.build({0: [(1, 0, 2), (0, 1, 2)], 1: [(0, 0, 4)]})
    expected = {0: a1 + a0[1:3], 1: t1}
    return data, expected, offsets


def test_reads_frames_in_layout_order_with_values_and_metadata(sample, tmp_path):
    data, expected, _ = sample
    path = tmp_path / "t.quib"
    path.write_bytes(data)
    for source in (data, bytearray(data), path, str(path)):
        c = read_container(source)
        assert (c.trace_id, c.timestamp, c.size) == (TRACE, 1700000000.25, len(data))
        assert {t: th.frames for t, th in c.threads.items()} == expected
        assert c.threads[1].metadata == {"thread_id": "worker", "name": "worker"}
        assert c.trace_metadata["trace_name"] == "GET / 200"
        assert c.values == {0: msgpack.packb("x" * 5000)}
        assert not c.recovered and c.skipped == [] and c.notes == []
        assert [r.kind for r in c.records] == [5, 1, 1, 1, 2, 2, 3]


def test_empty_trace_and_varint_lengths():
    b = Builder(TRACE)
    b.trace_meta()
    c = read_container(b.build())
    assert c.threads == {} and c.values == {} and c.trace_metadata["trace_id"] == TRACE

    b = Builder(TRACE)
    chunk_at = b.chunk(7, 0, [b"", b"\x01" * 200, b"\x02" * 5])
    b.trace_meta()
    data = b.build()
    assert data[chunk_at + 40 : chunk_at + 44] == b"\x00\xc8\x01\x05"
    assert [len(f) for f in read_container(data).threads[7].frames] == [0, 200, 5]


def _flip(data, at):
    out = bytearray(data)
    out[at] ^= 0xFF
    return bytes(out)


def _rewrite_header(data, at, **fields):
    """Change fields of the record header at `at`, keeping its CRC valid."""
    head = bytearray(data[at : at + 40])
    layout = {"kind": (4, "<B"), "thread": (8, "<I"), "sequence": (12, "<Q"), "count": (20, "<I")}
    for name, value in fields.items():
        off, fmt = layout[name]
        struct.pack_into(fmt, head, off, value)
    struct.pack_into("<I", head, 36, zlib.crc32(bytes(head[:36])))
    return data[:at] + bytes(head) + data[at + 40 :]


@pytest.mark.parametrize(
    "damage, reason, where",
    [
        (lambda d, o: b"NOTQUIB!" + d[8:], "not a v3 trace container (bad magic)", lambda o: 0),
        (lambda d, o: d[:8] + b"\x04\x00" + d[10:], "unsupported container format version 4", lambda o: 8),
        (lambda d, o: _flip(d, 30), "header payload CRC mismatch", lambda o: 20),
        (lambda d, o: d[:12], "truncated preamble (12 of 24 bytes)", lambda o: 0),
        (lambda d, o: _flip(d, o["t1"] + 13), "record header CRC mismatch", lambda o: o["t1"]),
        (lambda d, o: _flip(d, o["meta1"] + 45), "thread metadata payload CRC mismatch", lambda o: o["meta1"]),
        (lambda d, o: _rewrite_header(d, o["a1"], count=9), "frame chunk lengths", lambda o: o["a1"]),
        (lambda d, o: _rewrite_header(d, o["a1"], sequence=5), "index entry 3", lambda o: o["a1"]),
        (lambda d, o: _rewrite_header(d, o["trace"], kind=9), "unknown record kind 9", lambda o: o["trace"]),
        (lambda d, o: _rewrite_header(d, o["trace"], thread=3), "trace metadata record has thread 3", lambda o: o["trace"]),
    ],
)
def test_damage_in_a_complete_container_is_an_error_naming_the_offset(sample, damage, reason, where):
    data, _, offsets = sample
    with pytest.raises(ContainerError) as info:
        read_container(damage(data, offsets))
    assert info.value.reason.startswith(reason)
    assert info.value.offset == where(offsets)
    assert str(info.value).endswith(f"at offset {where(offsets)}")


@pytest.mark.parametrize(
    "layout, reason", [({0: [(1, 0, 1)]}, "names chunk 1, which is missing"), ({0: [(0, 1, 2)]}, "takes frames 1..3")]
)
def test_layout_must_name_existing_frames(layout, reason):
    b = Builder(TRACE)
    b.chunk(0, 0, frames("a", 2))
    b.trace_meta()
    with pytest.raises(ContainerError, match=reason):
        read_container(b.build(layout))


def test_truncated_capture_recovers_complete_records(sample):
    data, _, offsets = sample
    cut = offsets["a1"] + 50  # inside the third chunk; no index, no footer
    c = read_container(data[:cut])
    assert c.recovered
    assert [r.kind for r in c.records] == [5, 1, 1]
    assert {t: len(th.frames) for t, th in c.threads.items()} == {0: 3, 1: 4}
    assert len(c.skipped) == 1
    assert (c.skipped[0].offset, c.skipped[0].length) == (offsets["a1"], cut - offsets["a1"])
    assert "runs past the end" in c.skipped[0].reason
    assert c.notes[0].startswith("read by scanning: no footer")
    assert any("chunk order" in n for n in c.notes)
    with pytest.raises(ContainerError, match="no footer"):
        read_container(data[:cut], recover=False)


def test_damaged_footer_keeps_the_layout_of_an_intact_index(sample):
    data, expected, _ = sample
    c = read_container(_flip(data, len(data) - 6))
    assert c.recovered and "footer CRC mismatch" in c.notes[0]
    assert {t: th.frames for t, th in c.threads.items()} == expected
    assert [(s.offset, s.length) for s in c.skipped] == [(len(data) - 32, 32)]


def test_scan_skips_a_damaged_record_and_resumes_at_the_next(sample):
    data, expected, offsets = sample
    damaged = _flip(data, offsets["t1"] + 2)  # record magic of thread 1's chunk
    with pytest.raises(ContainerError, match="bad record magic"):
        read_container(damaged)
    c = read_container(damaged, force_scan=True)
    assert [(s.offset, s.length, s.reason) for s in c.skipped] == [
        (offsets["t1"], offsets["a1"] - offsets["t1"], "bad record magic")
    ]
    # The index no longer matches the records, so frames come in chunk order.
    assert c.threads[0].frames == frames("a", 3) + frames("b", 2)
    assert 1 not in c.threads or c.threads[1].frames == []
    assert c.threads[1].metadata["name"] == "worker"


def test_trace_info_reads_only_metadata(sample, tmp_path):
    data, _, offsets = sample
    path = tmp_path / "t.quib"
    path.write_bytes(data)
    info = read_trace_info(path)
    assert (info.trace_id, info.size, info.recovered) == (TRACE, len(data), False)
    assert info.trace_metadata["trace_name"] == "GET / 200"
    path.write_bytes(data[: offsets["a1"] + 10])
    assert read_trace_info(path).recovered
    assert read_trace_info(data[: offsets["a1"] + 10]).trace_metadata is None


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_arbitrary_damage_never_escapes_as_another_exception(sample, data):
    raw, _, _ = sample
    buf = bytearray(raw)
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(buf) - 1))
        buf[at] = data.draw(st.integers(0, 255))
    buf = buf[: data.draw(st.integers(0, len(buf)))]
    for kwargs in ({}, {"force_scan": True}):
        try:
            c = read_container(bytes(buf), **kwargs)
        except ContainerError as exc:
            assert 0 <= exc.offset <= len(raw)
        else:
            assert c.trace_id
