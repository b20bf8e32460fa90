"""Trace persistence: the metadata payloads, the host hand-overs, and sub-traces saved from stores."""

import logging
import os
import re
import struct
import sys
import threading
from pathlib import Path

import msgpack
import pytest

import quib._platform_info
import quib.db
import quib.git
import quib.version
from quib.trace_container import read_container
from storage_helpers import frame, t


def metadata(**overrides):
    base = {
        "trace_id": "trc_persist",
        "trace_name": "a name",
        "current_thread_id": "native_1",
        "timestamp": 1700000000.25,
        "root_trace_id": "trc_root",
        "source": "test",
        "settings": {},
        "use_monitoring": False,
        "threads": [],
    }
    base.update(overrides)
    return base


def decode(payload):
    return msgpack.unpackb(payload, raw=False, strict_map_key=False)


def prepare(tokens=None, **overrides):
    threads, trace = t.persistence_prepare(metadata(**overrides), tokens or {})
    return [(token, decode(b)) for token, b in threads], decode(trace)


class Recorder:
    """Stands in for a quib.db function and remembers its calls."""

    def __init__(self, error=None):
        self.calls = []
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error


# --- trace metadata ------------------------------------------------------------------------------


@pytest.mark.parametrize("sha", [None, "0123abcd" * 5])
def test_trace_metadata_has_ten_entries_in_order(monkeypatch, sha):
    monkeypatch.setattr(quib.git, "COMMIT_SHA", sha)
    monkeypatch.setattr(sys, "argv", ["prog.py", "--flag", "\udcff"])
    _, trace = prepare(trace_name=None, root_trace_id=None)
    assert list(trace) == [
        "trace_id", "trace_name", "current_thread_id", "timestamp", "current_commit_sha",
        "root_trace_id", "meta", "command_line_args", "frames_of_interest", "frames",
    ]  # fmt: skip
    assert trace["trace_id"] == "trc_persist" and trace["current_thread_id"] == "native_1"
    assert trace["trace_name"] is None and trace["root_trace_id"] is None
    assert trace["timestamp"] == 1700000000.25 and trace["current_commit_sha"] == sha
    assert list(trace["meta"]) == ["version", "source", "environment", "config"]
    assert trace["meta"]["version"] == quib.version.__version__
    assert trace["meta"]["source"] == "test"
    assert trace["meta"]["environment"] == quib._platform_info.environment()
    # A byte that was not UTF-8 (a lone surrogate in sys.argv) stays readable as an escape.
    assert trace["command_line_args"] == ["prog.py", "--flag", "\\udcff"]
    assert trace["frames_of_interest"] == [] and trace["frames"] == {}


def test_timestamp_is_a_float_64_even_when_whole(monkeypatch):
    _, raw = t.persistence_prepare(metadata(timestamp=5.0), {})
    at = raw.index(b"\xa9timestamp") + 10
    assert raw[at] == 0xCB and struct.unpack(">d", raw[at + 1 : at + 9]) == (5.0,)


def test_config_keeps_plain_values_and_reports_the_others(capfd):
    settings = {
        "text": "x",
        "flag": True,
        "count": 3,
        "negative": -70000,
        "large": 2**64 - 1,
        "ratio": 0.5,
        "nothing": None,
        "a_list": [1, 2],
        "huge": 2**70,
        "filters": {"include_frames": ["x"]},
        "auto_emit": True,
        "processors": [],
        "trace_points": [],
        "flush_subtree_mb": 1,
        "use_monitoring": "from the settings",
        "max_value_mb": 2,
    }
    _, trace = prepare(settings=settings, use_monitoring=True)
    config = trace["meta"]["config"]
    assert list(config.items()) == [
        ("text", "x"), ("flag", True), ("count", 3), ("negative", -70000), ("large", 2**64 - 1),
        ("ratio", 0.5), ("nothing", None), ("max_value_mb", 2), ("use_monitoring", True), ("use_native", True),
    ]  # fmt: skip
    assert type(config["flag"]) is bool and type(config["count"]) is int and type(config["ratio"]) is float
    out = capfd.readouterr().out
    assert out == "unsupported config type: a_list\nunsupported config type: huge\n"


def test_use_monitoring_false_and_empty_settings(capfd):
    _, trace = prepare()
    assert trace["meta"]["config"] == {"use_monitoring": False, "use_native": True}
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "target, attribute, value, message",
    [
        (quib.version, "__version__", 3, "quib.version.__version__ must be a str"),
        (quib.git, "COMMIT_SHA", b"abc", "quib.git.COMMIT_SHA must be None or a str"),
        (quib._platform_info, "environment", lambda: [("a", "b")], "environment() must return a dict"),
        (quib._platform_info, "environment", lambda: {"a": 1}, "must return a dict of str to str"),
        (sys, "argv", ("prog",), "sys.argv must be a list of str"),
        (sys, "argv", ["prog", 1], "sys.argv must be a list of str"),
    ],
)
def test_host_values_of_the_wrong_shape_fail(monkeypatch, target, attribute, value, message):
    monkeypatch.setattr(target, attribute, value)
    with pytest.raises(TypeError, match=re.escape(message)):
        prepare()


def test_host_exception_is_returned(monkeypatch):
    def broken():
        raise LookupError("no platform")

    monkeypatch.setattr(quib._platform_info, "environment", broken)
    with pytest.raises(LookupError, match="no platform"):
        prepare()


def test_missing_sys_argv_is_an_empty_list(monkeypatch):
    monkeypatch.delattr(sys, "argv")
    _, trace = prepare()
    assert trace["command_line_args"] == []


# --- thread metadata -----------------------------------------------------------------------------


class OddThread:
    """A thread object with every kind of unusable attribute."""

    name = 7  # wrong type
    ident = None
    native_id = "12"  # wrong type
    # no daemon attribute

    def is_alive(self):
        raise RuntimeError("cannot tell")


class NoIdThread:
    name = "worker"
    ident = 99
    native_id = None
    daemon = False

    def is_alive(self):
        return True


def test_thread_metadata_has_six_entries_in_order():
    finished = threading.Thread(target=lambda: None, name="finished", daemon=True)
    finished.start()
    finished.join()
    current = threading.current_thread()
    threads = [("native_a", current), ("native_b", finished), ("ident_99", NoIdThread()), ("odd", OddThread())]
    thread_maps, _ = prepare(tokens={"native_a": 4, "native_b": 0, "ident_99": 1, "odd": 2}, threads=threads)
    assert [token for token, _ in thread_maps] == [4, 0, 1, 2]
    maps = [m for _, m in thread_maps]
    assert all(list(m) == ["thread_id", "name", "ident", "native_id", "daemon", "is_alive"] for m in maps)
    assert maps[0] == {
        "thread_id": "native_a",
        "name": current.name,
        "ident": current.ident,
        "native_id": current.native_id,
        "daemon": current.daemon,
        "is_alive": True,
    }
    assert maps[1]["name"] == "finished" and maps[1]["daemon"] is True and maps[1]["is_alive"] is False
    assert maps[2] == {"thread_id": "ident_99", "name": "worker", "ident": 99, "native_id": None, "daemon": False,
                       "is_alive": True}  # fmt: skip
    assert maps[3] == {"thread_id": "odd", "name": None, "ident": None, "native_id": None, "daemon": None,
                       "is_alive": None}  # fmt: skip


def test_program_exceptions_from_thread_attributes_pass_through():
    class Interrupting:
        @property
        def name(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        prepare(tokens={"x": 0}, threads=[("x", Interrupting())])


def test_thread_without_token_fails():
    with pytest.raises(OSError, match="^missing v3 thread token for native_7$"):
        prepare(tokens={"native_1": 0}, threads=[("native_1", NoIdThread()), ("native_7", NoIdThread())])


# --- host hand-overs -----------------------------------------------------------------------------


def test_container_bytes_go_to_save_v3_trace_chunks(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(quib.db, "save_v3_trace_chunks", recorder)
    t.persistence_save_container_bytes("trc_a", b"container", "/x/db.sqlite3", 7)
    [(args, kwargs)] = recorder.calls
    assert args == ("trc_a", (b"container",)) and type(args[1][0]) is bytes
    assert list(kwargs) == ["db_path", "ignore_errors", "timeout"]
    assert kwargs == {"db_path": Path("/x/db.sqlite3"), "ignore_errors": True, "timeout": 7}
    assert isinstance(kwargs["db_path"], Path) and type(kwargs["timeout"]) is int


@pytest.mark.parametrize("ignore", [True, False])
def test_trace_metadata_goes_to_save_trace_metadata(monkeypatch, ignore):
    recorder = Recorder()
    monkeypatch.setattr(quib.db, "_save_trace_metadata", recorder)
    t.persistence_save_trace_metadata("trc_a", "db.sqlite3", 30, ignore)
    [(args, kwargs)] = recorder.calls
    assert args == ("trc_a",)
    assert list(kwargs) == ["db_path", "ignore_errors", "created_at", "timeout"]
    assert kwargs == {"db_path": Path("db.sqlite3"), "ignore_errors": ignore, "created_at": None, "timeout": 30}


@pytest.mark.parametrize(
    "call, function",
    [
        (lambda: t.persistence_save_container_bytes("trc_a", b"", "db", 1), "save_v3_trace_chunks"),
        (lambda: t.persistence_save_trace_metadata("trc_a", "db", 1, True), "_save_trace_metadata"),
    ],
)
def test_host_errors_are_returned_unchanged(monkeypatch, call, function):
    monkeypatch.setattr(quib.db, function, Recorder(ValueError("host says no")))
    with pytest.raises(ValueError, match="host says no"):
        call()


# --- file placement ------------------------------------------------------------------------------


def test_two_captures_of_one_trace_use_distinct_temporary_files(tmp_path):
    db = str(tmp_path / "db.sqlite3")
    first, second = t.capture_new(db, "trc_same", 1.0), t.capture_new(db, "trc_same", 1.0)
    try:
        a, b = t.capture_info(first), t.capture_info(second)
        assert a["final_path"] == b["final_path"] == str(tmp_path / "raw" / "trc_same.quib")
        assert a["temp_path"] != b["temp_path"]
        for info in (a, b):
            name = os.path.basename(info["temp_path"])
            assert name.startswith(f".trc_same.quib.{os.getpid()}.") and name.endswith(".tmp")
    finally:
        t.capture_drop(first)
        t.capture_drop(second)


# --- finishing a streamed trace ------------------------------------------------------------------


def test_streamed_trace_is_finished_with_its_stores_and_payloads(tmp_path):
    db = str(tmp_path / "db.sqlite3")
    capture = t.capture_new(db, "trc_streamed", 2.0)
    try:
        frames = {0: [frame(i, 300 * 1024) for i in range(3)], 5: [b"one", b"two"]}
        stores = []
        for token, items in frames.items():
            stores.append(t.store_new(capture, token))
            for f in items:
                t.store_append(stores[-1], f)
        threads, trace = t.persistence_prepare(
            metadata(trace_id="trc_streamed", threads=[("a", NoIdThread()), ("b", NoIdThread())]), {"a": 0, "b": 5}
        )
        t.persistence_finish(capture, stores, threads, trace)
    finally:
        t.capture_drop(capture)
    container = read_container(str(tmp_path / "raw" / "trc_streamed.quib"))
    assert {token: thread.frames for token, thread in container.threads.items()} == frames
    assert container.threads[5].metadata["thread_id"] == "b"
    assert container.trace_metadata["trace_id"] == "trc_streamed"
    assert [p.name for p in (tmp_path / "raw").iterdir()] == ["trc_streamed.quib"]


# --- sub-traces ----------------------------------------------------------------------------------


@pytest.fixture
def parent(tmp_path):
    """The running trace whose frames a sub-trace is cut from: a streaming capture."""
    number = t.capture_new(str(tmp_path / "parent" / "db.sqlite3"), "trc_parent", 1.0)
    yield number
    t.capture_drop(number)


def drained_range(parent, frames, lo, hi, token=3):
    store = t.store_new(parent, token)
    for f in frames:
        t.store_append(store, f)
    return t.store_drain(store, lo, hi)


def sub_metadata(**overrides):
    base = {
        "trace_id": "trc_sub",
        "trace_name": "flushed",
        "current_thread_id": "native_5",
        "timestamp": 1700000001.5,
        "root_trace_id": "trc_parent",
        "source": "flush",
        "settings": {"max_value_mb": 1},
        "threads": [("native_5", threading.current_thread())],
    }
    base.update(overrides)
    return metadata(**base)


def test_sub_trace_is_written_read_back_and_recorded(tmp_path, parent):
    # Large frames: the range spans sealed chunks (already in the parent's file) and the arena,
    # and the copy seals chunks of its own.
    frames = [frame(i, 200 * 1024 if i % 3 == 0 else 40) for i in range(12)]
    drained = drained_range(parent, frames, 2, 11)
    value = msgpack.packb("a long interned string" * 10)
    db = tmp_path / "db.sqlite3"
    t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [(0, value)], str(db), 5, False)

    path = tmp_path / "raw" / "trc_sub.quib"
    container = read_container(str(path))
    assert not container.recovered and container.trace_id == "trc_sub" and container.timestamp == 1700000001.5
    assert list(container.threads) == [0]
    thread = container.threads[0]
    assert thread.frames == frames[2:11]
    assert thread.metadata["thread_id"] == "native_5" and thread.metadata["ident"] == threading.get_ident()
    assert container.values == {0: value}
    assert container.trace_metadata["trace_name"] == "flushed"
    assert container.trace_metadata["meta"]["config"] == {"max_value_mb": 1, "use_monitoring": False,
                                                         "use_native": True}  # fmt: skip
    assert sum(1 for r in container.records if r.kind == 1) >= 2

    record = quib.db.get_trace(db, "trc_sub")
    assert (record.name, record.root_id, record.source, record.timestamp) == (
        "flushed", "trc_parent", "flush", 1700000001.5)  # fmt: skip
    assert record.size == path.stat().st_size and record.path(db) == path
    assert [p.name for p in path.parent.iterdir()] == ["trc_sub.quib"]  # no temporary file left
    # The source range is only read: it still holds its frames.
    assert [t.store_frame(drained, i) for i in range(9)] == frames[2:11]


def test_threads_get_tokens_in_the_order_met(tmp_path, parent):
    a = drained_range(parent, [b"a0", b"a1"], 0, 2, token=7)
    b = drained_range(parent, [b"b0"], 0, 1, token=0)
    threads = [("native_9", NoIdThread()), ("native_b", NoIdThread()), ("native_a", NoIdThread())]
    meta = sub_metadata(threads=threads)
    t.persistence_save_from_parts(meta, {"native_a": a, "native_b": b}, [], str(tmp_path / "db"), 5, False)
    container = read_container(str(tmp_path / "raw" / "trc_sub.quib"))
    assert container.threads[0].frames == [b"a0", b"a1"] and container.threads[1].frames == [b"b0"]
    by_token = {token: thread.metadata["thread_id"] for token, thread in container.threads.items()}
    assert by_token == {0: "native_a", 1: "native_b", 2: "native_9"}


def test_database_path_without_directory_puts_traces_under_raw(tmp_path, monkeypatch, parent):
    drained = drained_range(parent, [b"only"], 0, 1)
    monkeypatch.chdir(tmp_path)
    t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [], "db.sqlite3", 5, False)
    assert read_container(str(tmp_path / "raw" / "trc_sub.quib")).threads[0].frames == [b"only"]
    assert quib.db.get_trace(tmp_path / "db.sqlite3", "trc_sub").file == "raw/trc_sub.quib"


@pytest.fixture
def unwritable_db(tmp_path):
    """A database whose trace directory cannot be made: "raw" is a file (root ignores permissions)."""
    (tmp_path / "raw").write_bytes(b"not a directory")
    return str(tmp_path / "db.sqlite3")


def test_failed_sub_trace_is_logged_when_errors_are_ignored(monkeypatch, caplog, parent, unwritable_db):
    recorder = Recorder()
    monkeypatch.setattr(quib.db, "_save_trace_metadata", recorder)
    drained = drained_range(parent, [b"f"], 0, 1)
    with caplog.at_level(logging.WARNING, logger="quib"):
        t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [], unwritable_db, 5, True)
    [warning] = [r for r in caplog.records if r.name == "quib"]
    assert warning.getMessage().startswith("Failed to save trace trc_sub to file: cannot create trace directory")
    assert isinstance(warning.exc_info[1], NotADirectoryError)
    assert recorder.calls == []


def test_failed_sub_trace_is_returned_when_errors_are_not_ignored(monkeypatch, caplog, parent, unwritable_db):
    recorder = Recorder()
    monkeypatch.setattr(quib.db, "_save_trace_metadata", recorder)
    drained = drained_range(parent, [b"f"], 0, 1)
    with pytest.raises(NotADirectoryError, match="cannot create trace directory"):
        t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [], unwritable_db, 5, False)
    assert recorder.calls == [] and not [r for r in caplog.records if r.name == "quib"]


def test_metadata_errors_are_returned_even_when_errors_are_ignored(tmp_path, monkeypatch, parent):
    monkeypatch.setattr(quib.version, "__version__", None)
    drained = drained_range(parent, [b"f"], 0, 1)
    with pytest.raises(TypeError, match="__version__ must be a str"):
        t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [], str(tmp_path / "db"), 5, True)
    assert not (tmp_path / "raw").exists()


def test_sub_trace_save_tells_the_host_with_its_flag(tmp_path, monkeypatch, parent):
    recorder = Recorder()
    monkeypatch.setattr(quib.db, "_save_trace_metadata", recorder)
    drained = drained_range(parent, [b"f"], 0, 1)
    t.persistence_save_from_parts(sub_metadata(), {"native_5": drained}, [], str(tmp_path / "db"), 9, True)
    assert recorder.calls == [
        (("trc_sub",), {"db_path": tmp_path / "db", "ignore_errors": True, "created_at": None, "timeout": 9})
    ]
