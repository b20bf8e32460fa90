import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import msgpack
import pytest

import _quib
from quib.trace_container import read_container
from storage_helpers import frame, t

MIB = 1024 * 1024
STALLED = (
    "Quib trace writer stopped making progress while its resident queue was full; tracing is disabled until "
    "process restart"
)


def run_python(code, env=None, prefix=()):
    """Run a snippet in a fresh interpreter; its assertions decide the exit code."""
    full_env = dict(os.environ, **(env or {}))
    result = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            env=full_env, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def wait_until(condition, limit=60.0):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.01)


def leftovers(raw):
    return sorted(p.name for p in raw.iterdir()) if raw.exists() else []


# --- resident budget and circuit breaker ----------------------------------------


def test_a_large_reservation_fits_alone_and_the_next_one_waits_for_it():
    runtime = t.runtime_new(30.0)
    first = t.runtime_reserve(runtime, 20 * MIB)
    got = threading.Event()
    thread = threading.Thread(target=lambda: (t.reservation_release(t.runtime_reserve(runtime, 1024)), got.set()))
    thread.start()
    assert not got.wait(0.2)  # waits, and does not hold the interpreter lock while it does
    t.reservation_release(first, True)
    thread.join()
    assert got.is_set()
    assert t.runtime_state(runtime) == (0, 1, False)


def test_a_stalled_writer_opens_the_circuit_and_progress_keeps_it_closed():
    runtime = t.runtime_new(1.0)
    held = t.runtime_reserve(runtime, 15 * MIB)
    items = [t.runtime_reserve(runtime, 1024) for _ in range(20)]
    done = threading.Event()
    waiter = threading.Thread(target=lambda: (t.reservation_release(t.runtime_reserve(runtime, 2 * MIB)), done.set()))
    waiter.start()
    for item in items:  # 2 s of steady progress: longer than the stall timeout, never tripping it
        t.reservation_release(item, True)
        done.wait(0.1)
    assert not done.is_set() and not t.runtime_state(runtime)[2]
    t.reservation_release(held, True)
    waiter.join()
    assert done.is_set()

    held = t.runtime_reserve(runtime, 20 * MIB)
    with pytest.raises(TimeoutError) as caught:
        t.runtime_reserve(runtime, 1024)
    assert str(caught.value) == STALLED and t.runtime_state(runtime)[2]
    t.reservation_release(held)
    with pytest.raises(TimeoutError, match="stopped making progress"):
        t.runtime_reserve(runtime, 1)  # at once, with room to spare
    assert not _quib.writer_circuit_open()  # a private runtime leaves the process flag alone


def test_a_blocked_writer_trips_the_breaker_and_keeps_its_prefix(db, raw):
    runtime = t.runtime_new(0.5)
    capture = t.capture_new(db, "trc_stuck", 1.0, runtime)
    store = t.store_new(capture, 0)
    t.block_writers(True)
    try:
        with pytest.raises(TimeoutError) as caught:
            for i in range(100):  # 100 chunks of 512 KiB: far more than the budget
                t.store_append(store, frame(i, 512 * 1024))
        prefix = t.capture_info(capture)["temp_path"]
        assert str(caught.value) == (
            "Quib trace writer circuit breaker opened; the capture was abandoned and a recovered prefix is "
            f"available at {prefix}. Tracing is disabled until process restart"
        )
        assert t.store_info(store)["failed"] and t.capture_info(capture)["recovered_prefix"] == prefix
        with pytest.raises(TimeoutError, match="circuit breaker opened"):
            t.capture_finish(capture, [], b"\x80", [])
    finally:
        t.block_writers(False)
    # The abandoned writer, once unstuck, still stores what was queued, into the kept prefix.
    spans = t.store_info(store)["spans"]
    wait_until(lambda: all(span[4] for span in t.store_info(store)["spans"]))
    t.capture_drop(capture)
    recovered = read_container(prefix)
    assert recovered.recovered and recovered.trace_id == "trc_stuck"
    assert recovered.threads[0].frames == [frame(i, 512 * 1024) for i in range(len(spans))]
    os.unlink(prefix)


def test_the_process_breaker_disables_tracing_for_the_process(tmp_path):
    run_python(f"""
        import _quib, _quib_testing as t
        t.set_stall_timeout(0.3)
        capture = t.capture_new({str(tmp_path / 'db')!r}, "trc_a", 1.0)
        store = t.store_new(capture, 0)
        t.block_writers(True)
        try:
            for i in range(100):
                t.store_append(store, b"x" * 512 * 1024)
        except TimeoutError:
            pass
        assert _quib.writer_circuit_open()
        later = t.capture_new({str(tmp_path / 'db')!r}, "trc_b", 1.0)
        assert t.capture_info(later)["keeps_in_memory"]
        t.block_writers(False)
    """)


# --- failures -------------------------------------------------------------------


def test_an_unusable_trace_directory_fails_cleanly(tmp_path):
    earlier = tmp_path / "raw" / "trc_old.quib"
    earlier.parent.mkdir()
    earlier.write_bytes(b"an earlier trace")
    (tmp_path / "raw" / "trc_new.quib").mkdir()  # the final name is taken by a directory
    capture = t.capture_new(str(tmp_path / "db.sqlite3"), "trc_new", 1.0)
    store = t.store_new(capture, 0)
    t.store_append(store, b"frame")
    with pytest.raises(IsADirectoryError):
        t.capture_finish(capture, [], b"\x80", [store])
    assert leftovers(tmp_path / "raw") == ["trc_new.quib", "trc_old.quib"]
    assert earlier.read_bytes() == b"an earlier trace"
    t.capture_drop(capture)


# Root writes into read-only directories; without its capabilities it cannot.
WITHOUT_PRIVILEGES = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"] if os.geteuid() == 0 else []


@pytest.mark.skipif(os.geteuid() == 0 and not shutil.which("setpriv"), reason="needs setpriv to drop root's rights")
def test_a_read_only_directory_fails_cleanly(tmp_path):
    raw = tmp_path / "raw"
    raw.mkdir()
    (raw / "trc_old.quib").write_bytes(b"an earlier trace")
    raw.chmod(0o555)
    try:
        out = run_python(f"""
            import _quib_testing as t
            capture = t.capture_new({str(tmp_path / 'db.sqlite3')!r}, "trc_x", 1.0)
            store = t.store_new(capture, 0, 10)
            for call in (lambda: t.store_append(store, b"twelve bytes"), lambda: t.capture_finish(capture, [], b"", [])):
                try:
                    call()
                except OSError as error:
                    print(type(error).__name__, error)
        """, prefix=WITHOUT_PRIVILEGES)
    finally:
        raw.chmod(0o755)
    first, second = out.splitlines()
    assert first.startswith(f"PermissionError cannot create trace file {raw}/.trc_x.quib.")
    assert first.endswith(".tmp: Permission denied (os error 13)")
    assert second == "BrokenPipeError trace writer failed"
    assert leftovers(raw) == ["trc_old.quib"]


def test_a_full_disk_fails_the_queued_frames_and_removes_the_temporary_file(tmp_path):
    # RLIMIT_FSIZE makes writes past 1 MiB fail with EFBIG, as a full disk fails them with ENOSPC.
    out = run_python(f"""
        import resource, _quib_testing as t
        db = {str(tmp_path / 'db.sqlite3')!r}
        old = t.capture_new(db, "trc_old", 1.0)
        t.capture_finish(old, [], b"\\x80", [])
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024 * 1024, resource.RLIM_INFINITY))
        capture = t.capture_new(db, "trc_full", 1.0)
        store = t.store_new(capture, 0)
        t.block_writers(True)
        for i in range(4):
            t.store_append(store, bytes([i]) * 512 * 1024)  # four chunks queued behind the gate
        t.block_writers(False)
        try:
            t.capture_finish(capture, [], b"\\x80", [store])
        except OSError as error:
            print("finish:", error)
        try:
            t.store_frame(store, 3)
        except OSError as error:
            print("frame:", error)
        print("frame 0 still readable:", t.store_frame(store, 0)[:1] == b"\\x00")
    """)
    assert "finish: cannot write trace file" in out and "File too large" in out
    assert "frame: cannot write trace file" in out
    assert "frame 0 still readable: True" in out
    assert leftovers(tmp_path / "raw") == ["trc_old.quib"]
    assert read_container(tmp_path / "raw" / "trc_old.quib").trace_id == "trc_old"


def test_dropping_an_unfinished_capture_removes_its_file(capture, raw):
    store = t.store_new(capture, 0, 10)
    t.store_append(store, frame(0))
    assert leftovers(raw) == [os.path.basename(t.capture_info(capture)["temp_path"])]
    t.store_retire(store)  # the store's share of the capture
    t.capture_drop(capture)
    assert leftovers(raw) == []
    assert t.store_frame(store, 0) == frame(0)  # the store still reads its chunk


def test_finishing_needs_a_streaming_capture_with_a_plain_trace_id(db, memory_capture):
    with pytest.raises(BrokenPipeError, match="kept in memory"):
        t.capture_finish(memory_capture, [], b"\x80", [])
    capture = t.capture_new(db, "../escape", 1.0)
    with pytest.raises(OSError, match="cannot store a trace under the id ../escape: not a plain file name"):
        t.capture_finish(capture, [], b"\x80", [])
    with pytest.raises(BrokenPipeError, match="^trace writer failed$"):
        t.capture_finish(capture, [], b"\x80", [])


# --- placement, reuse, fork -----------------------------------------------------


def test_temporary_and_final_paths(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    a, b = t.capture_new("db.sqlite3", "trc_same", 1.0), t.capture_new("db.sqlite3", "trc_same", 1.0)
    info_a, info_b = t.capture_info(a), t.capture_info(b)
    assert info_a["final_path"] == info_b["final_path"] == "./raw/trc_same.quib"
    assert info_a["temp_path"] != info_b["temp_path"]
    assert info_a["temp_path"].startswith(f"./raw/.trc_same.quib.{os.getpid()}.")
    t.capture_finish(a, [], b"\x80", [])
    assert (tmp_path / "raw" / "trc_same.quib").exists()
    t.capture_drop(b)


def test_empty_trace_streams_a_complete_container(capture, raw):
    t.capture_finish(capture, [], b"\x80", [])
    c = read_container(raw / "trc_test.quib")
    assert not c.recovered and c.threads == {} and c.trace_metadata == {}


def test_writer_threads_are_named_and_reused(db):
    def one_trace(name):
        capture = t.capture_new(db, name, 1.0)
        t.capture_finish(capture, [], b"\x80", [])
        t.capture_drop(capture)

    one_trace("trc_first")
    started = t.writer_threads()
    names = {open(f"/proc/self/task/{task}/comm").read().strip() for task in os.listdir("/proc/self/task")}
    assert "quib-v3-writer" in names  # parked, waiting for the next job
    one_trace("trc_second")
    one_trace("trc_third")
    assert t.writer_threads() == started


def test_reuse_can_be_switched_off(tmp_path):
    run_python(f"""
        import _quib_testing as t
        for name in ("trc_a", "trc_b"):
            capture = t.capture_new({str(tmp_path / 'db')!r}, name, 1.0)
            t.capture_finish(capture, [], b"\\x80", [])
        assert t.writer_threads() == 2, t.writer_threads()
    """, env={"QUIB_REUSE_SAVE_WORKERS": "0"})


def test_a_forked_child_keeps_its_capture_in_memory_and_the_parent_file_is_unharmed(capture, raw):
    store = t.store_new(capture, 0, 64)
    parent_frames = [frame(i, 40) for i in range(10)]
    t.store_append_many(store, parent_frames)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            t.store_append(store, frame(99, 80))
            info = t.capture_info(capture)
            assert info["inherited"] and info["keeps_in_memory"]
            assert [t.store_frame(store, i) for i in range(11)] == parent_frames + [frame(99, 80)]
            try:
                t.capture_finish(capture, [], b"\x80", [store])
            except BrokenPipeError as error:
                assert str(error) == "trace writer cannot be finished in a forked child"
                code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    more = [frame(50 + i, 40) for i in range(5)]
    t.store_append_many(store, more)
    t.capture_finish(capture, [], b"\x80", [store])
    assert read_container(raw / "trc_test.quib").threads[0].frames == parent_frames + more
    assert leftovers(raw) == ["trc_test.quib"]


@pytest.mark.parametrize(
    "kind, error",
    list(enumerate([FileNotFoundError, PermissionError, ConnectionRefusedError, ConnectionResetError,
                    ConnectionAbortedError, BrokenPipeError, FileExistsError, BlockingIOError, NotADirectoryError,
                    IsADirectoryError, TimeoutError, InterruptedError, MemoryError, OSError, OSError, OSError,
                    OSError])),
)
def test_io_error_kinds_become_their_exceptions(kind, error):
    with pytest.raises(error) as caught:
        t.io_error(kind, "storage said no")
    assert type(caught.value) is error and caught.value.args == ("storage said no",)
