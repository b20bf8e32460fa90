import logging
import os
import sqlite3
from pathlib import Path

import msgpack
import pytest

from containerkit import Builder, trace_metadata
from quib import db

ID_A = "trc_01HAAAAAAAAAAAAAAAAAAAAAAA"
ID_B = "trc_01HBBBBBBBBBBBBBBBBBBBBBBB"


def container(trace_id, *, name=None, timestamp=1700000000.25, source="tests"):
    b = Builder(trace_id, timestamp)
    b.chunk(0, 0, [msgpack.packb({"event": "call"})])
    meta = trace_metadata(trace_id, trace_name=name, timestamp=timestamp, root_trace_id="trc_root")
    meta["meta"]["source"] = source
    b.trace_meta(meta)
    return b.build()


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / ".quib" / "db.sqlite3"


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.endswith(".tmp"))


def test_in_memory_container_is_written_and_recorded(db_path):
    data = container(ID_A, name="AuthTests.test_login")
    db.save_v3_trace_chunks(ID_A, (data,), db_path=db_path, ignore_errors=True, timeout=5)
    path = db_path.parent / "raw" / f"{ID_A}.quib"
    assert path.read_bytes() == data
    assert leftovers(path.parent) == []
    trace = db.get_trace(db_path, ID_A)
    assert (trace.name, trace.timestamp, trace.root_id, trace.source, trace.size, trace.file) == (
        "AuthTests.test_login",
        1700000000.25,
        "trc_root",
        "tests",
        len(data),
        f"raw/{ID_A}.quib",
    )
    assert trace.path(db_path) == path and not trace.recovered
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION


def test_streamed_file_is_recorded_and_listed_newest_first(db_path):
    raw = db_path.parent / "raw"
    raw.mkdir(parents=True)
    (raw / f"{ID_A}.quib").write_bytes(container(ID_A, timestamp=100.0))
    (raw / f"{ID_B}.quib").write_bytes(container(ID_B, timestamp=200.0, source="cli"))
    for trace_id in (ID_A, ID_B):
        db._save_trace_metadata(trace_id, db_path=db_path, ignore_errors=False, created_at=None, timeout=5)
    assert [t.id for t in db.list_traces(db_path)] == [ID_B, ID_A]
    assert db.latest_trace(db_path).source == "cli"
    assert db.find_trace(db_path, "01HA").id == ID_A
    with pytest.raises(LookupError, match="ambiguous"):
        db.find_trace(db_path, "trc_01H")
    with pytest.raises(LookupError, match="no trace"):
        db.find_trace(db_path, "zzz")


def test_queries_on_a_missing_database_find_nothing_and_create_nothing(tmp_path):
    path = tmp_path / "none" / "db.sqlite3"
    assert db.list_traces(path) == [] and db.get_trace(path, ID_A) is None and db.latest_trace(path) is None
    assert not path.parent.exists()


def test_failed_write_keeps_the_earlier_file_and_removes_the_temporary(db_path, monkeypatch):
    db.save_v3_trace_chunks(ID_A, (container(ID_A, name="old"),), db_path=db_path, timeout=5)
    path = db_path.parent / "raw" / f"{ID_A}.quib"
    before = path.read_bytes()

    def full_disk(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", full_disk)
    with pytest.raises(OSError, match="No space left"):
        db.save_v3_trace_chunks(ID_A, (container(ID_A, name="new"),), db_path=db_path, timeout=5)
    assert path.read_bytes() == before and leftovers(path.parent) == []
    assert db.get_trace(db_path, ID_A).name == "old"


def test_ignore_errors_logs_storage_failures(db_path, caplog):
    db_path.parent.mkdir(parents=True)
    (db_path.parent / "raw").write_text("not a directory")
    with pytest.raises(OSError):
        db.save_v3_trace_chunks(ID_A, (container(ID_A),), db_path=db_path, timeout=5)
    with caplog.at_level(logging.WARNING, logger="quib"):
        assert db.save_v3_trace_chunks(ID_A, (container(ID_A),), db_path=db_path, ignore_errors=True) is None
        assert db._save_trace_metadata(ID_B, db_path=db_path, ignore_errors=True) is None
    assert [r.getMessage().split(":")[0] for r in caplog.records] == [
        f"Quib could not store trace {ID_A}",
        f"Quib could not store trace {ID_B}",
    ]
    assert all(r.exc_info for r in caplog.records)


@pytest.mark.parametrize("bad", ["../escape", "a/b", ".hidden", "", "x\0y", 7])
def test_trace_ids_that_are_not_plain_file_names_are_refused(db_path, bad):
    with pytest.raises(ValueError, match="not a plain file name"):
        db.save_v3_trace_chunks(bad, (b"",), db_path=db_path, ignore_errors=True)
    assert not db_path.parent.exists()


def test_busy_database_times_out_and_the_file_is_indexed_later(db_path, caplog):
    db.connect(db_path).close()
    blocker = sqlite3.connect(db_path, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    try:
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            db.save_v3_trace_chunks(ID_A, (container(ID_A),), db_path=db_path, timeout=0)
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    assert (db_path.parent / "raw" / f"{ID_A}.quib").exists() and db.list_traces(db_path) == []
    assert [t.id for t in db.index_trace_files(db_path)] == [ID_A]
    assert db.index_trace_files(db_path) == []


def test_unreadable_or_incomplete_files_are_still_recorded(db_path, caplog):
    data = container(ID_A, name="kept")
    with caplog.at_level(logging.WARNING, logger="quib"):
        db.save_v3_trace_chunks(ID_A, (data[:-40],), db_path=db_path)
        db.save_v3_trace_chunks(ID_B, (b"garbage",), db_path=db_path)
    a, b = db.get_trace(db_path, ID_A), db.get_trace(db_path, ID_B)
    assert (a.recovered, a.name, a.timestamp) == (True, "kept", 1700000000.25)
    assert (b.name, b.timestamp, b.size) == (None, None, 7)
    messages = [r.getMessage() for r in caplog.records]
    assert any("incomplete file" in m for m in messages) and any("not a readable container" in m for m in messages)


def test_schema_is_migrated_and_a_newer_schema_is_refused(db_path, monkeypatch):
    db.save_v3_trace_chunks(ID_A, (container(ID_A),), db_path=db_path)
    monkeypatch.setattr(db, "_MIGRATIONS", db._MIGRATIONS + [["ALTER TABLE traces ADD COLUMN note TEXT"]])
    monkeypatch.setattr(db, "SCHEMA_VERSION", db.SCHEMA_VERSION + 1)
    db.connect(db_path).close()
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
        assert conn.execute("SELECT id, note FROM traces").fetchall() == [(ID_A, None)]
    monkeypatch.undo()
    with pytest.raises(RuntimeError, match="schema version 2"):
        db.list_traces(db_path)


def test_database_without_directory_puts_traces_under_raw_here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db.save_v3_trace_chunks(ID_A, (container(ID_A),), db_path=Path("db.sqlite3"))
    assert (tmp_path / "raw" / f"{ID_A}.quib").exists()
    assert db.get_trace("db.sqlite3", ID_A).path("db.sqlite3") == Path("raw") / f"{ID_A}.quib"
