import os
import subprocess
import sys
import textwrap
import threading
import types

import pytest

import _quib
from quib.profiler import Profiler
from quib.trace import load_trace
from quib import db, trace_container

from . import traced_program
from .conftest import frames_of

_quib_testing = pytest.importorskip("_quib_testing")

PROGRAM_FILE = traced_program.__file__


def names(records):
    return [(r["event"], r["qualname"].rsplit(".", 1)[-1]) for r in records]


def test_records_a_real_program(record):
    result, _, trace = record(traced_program.program, {"threading": True})
    assert result == (6, 3, [20], "[1]")
    main = frames_of(trace, "MainThread")
    events = names(main)
    assert events[0] == ("call", "program") and events[-1] == ("return", "program")
    # Generators: the profile hook reports each resumption as a call and each yield as a return.
    assert events.count(("call", "numbers")) == 4 and events.count(("call", "leaf")) == 3
    assert ("call", "fails") in events and ("return", "fails") in events
    assert events.count(("call", "countdown")) == 4
    # Library code (json, threading) and quib's own code are not recorded.
    paths = {r["path"].rsplit(":", 1)[0] for thread in trace.threads for r in thread.records}
    assert paths == {os.path.relpath(PROGRAM_FILE)}
    worker = frames_of(trace, "worker")
    assert names(worker) == [("call", "worker"), ("call", "leaf"), ("return", "leaf"), ("return", "worker")]


def test_calls_and_returns_pair_up_and_call_sites_name_the_caller(record):
    _, _, trace = record(traced_program.program, {"threading": True})
    for thread in trace.threads:
        stack, seen = [], {}
        for r in frames_of(trace, thread.name):
            seen[r["frame_id"]] = r
            if r["event"] == "call":
                site = r["user_code_call_site"]
                if stack:
                    assert site["call_frame_id"] == stack[-1]
                    assert isinstance(site["line_number"], int)
                else:
                    assert site is None
                stack.append(r["frame_id"])
            else:
                assert stack.pop() == r["frame_id"]
        assert stack == []


def test_values_are_recorded(record):
    _, _, trace = record(lambda: traced_program.leaf(21))
    call, ret = frames_of(trace)
    assert call["locals"] == {"x": 21} and ret["arg"] == 42


def test_the_saved_file_holds_the_same_frames(tmp_path):
    profiler = Profiler(db_path=tmp_path / "db.sqlite3", config={})
    profiler.start()
    try:
        traced_program.countdown(5)
    finally:
        profiler.stop()
    trace_id = profiler.save()
    [stored] = db.list_traces(tmp_path / "db.sqlite3")
    assert stored.id == trace_id
    container = trace_container.read_container(stored.path(tmp_path / "db.sqlite3"))
    assert container.frame_count == 12
    assert stored.path(tmp_path / "db.sqlite3") == tmp_path / "raw" / f"{trace_id}.quib"


def test_two_saves_split_the_frames(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    profiler = Profiler(db_path=db_path, config={})
    profiler.start()
    try:
        traced_program.leaf(1)
        profiler.native_profiler.save()
        traced_program.countdown(1)
    finally:
        profiler.stop()
    profiler.save()
    counts = sorted(trace_container.read_container(t.path(db_path)).frame_count for t in db.list_traces(db_path))
    assert counts == [2, 4]


@pytest.mark.parametrize(
    "filters, expected",
    [
        ({"ignore_frames": ["traced_program", "test_profiler.py", "conftest.py"]}, set()),
        ({"include_frames": ["json/encoder.py"], "ignore_frames": ["test_profiler.py", "conftest.py"]}, {"encode"}),
    ],
)
def test_include_and_ignore_filters(record, filters, expected):
    _, _, trace = record(lambda: traced_program.encode({"a": 1}), {"filters": filters})
    recorded = {r["co_name"] for t in trace.threads for r in t.records}
    if expected:
        assert "encode" in recorded and any(r["path"].endswith(":0") or "encoder" in r["path"]
                                            for t in trace.threads for r in t.records)
    else:
        assert recorded == set()


def test_build_trace_starts_the_next_trace(record):
    _, profiler, _ = record(lambda: traced_program.leaf(1))
    data = profiler.build_trace()
    assert data.startswith(b"QUIBTRC3")
    assert trace_container.read_container(data).frame_count == 0


def test_the_program_behaves_the_same(record):
    def program():
        try:
            traced_program.fails()
        except ValueError as error:
            caught = str(error)
        return caught, traced_program.countdown(10), list(traced_program.numbers(2))

    expected = program()
    result, _, _ = record(program)
    assert result == expected


def test_keyboard_interrupt_from_a_plugin_reaches_the_program(record):
    def interrupt(*args):
        raise KeyboardInterrupt

    plugin = {"co_names": ["leaf"], "path_fragment": "", "call_type": "c", "return_type": "r", "call": interrupt}
    with pytest.raises(KeyboardInterrupt):
        record(lambda: traced_program.leaf(1), {"plugins": [plugin]})


def test_plugin_records_are_stored_beside_the_frame(record):
    plugin = {"co_names": ["leaf"], "path_fragment": "traced_program", "call_type": "leaf_call",
              "return_type": "leaf_return", "process": lambda frame, event, arg, ctx: {"seen": event}}
    _, _, trace = record(lambda: traced_program.leaf(1), {"plugins": [plugin]})
    kinds = [(r["type"], r.get("event")) for r in trace.threads[0].records]
    assert kinds == [("leaf_call", None), ("frame", "call"), ("frame", "return"), ("leaf_return", None)]


def test_an_internal_failure_stops_tracing_quietly(tmp_path):
    reports = []
    previous_hook, sys.unraisablehook = sys.unraisablehook, reports.append
    profiler = Profiler(db_path=tmp_path / "db.sqlite3", config={})
    try:
        profiler.start()
        _quib_testing.profiler_poison_stores(profiler.native_profiler)
        assert traced_program.leaf(2) == 4  # the program goes on
        hooked_after = sys.getprofile()
        traced_program.leaf(3)
    finally:
        sys.setprofile(None)
        sys.unraisablehook = previous_hook
    assert profiler.native_profiler.panicked is True
    assert hooked_after is None  # this thread's hook was removed
    assert len(reports) == 1
    assert type(reports[0].exc_value).__name__ == "InternalPanic"
    assert reports[0].object == "Quib stopped tracing after an internal error"
    assert profiler.native_profiler.save() is None
    with pytest.raises(RuntimeError, match="no trace is available"):
        profiler.native_profiler.build_trace()


class Host:
    def __init__(self, **fields):
        self.config, self.trace_id, self.db_path = {}, "trc_01H0000000000000000000000A", "/tmp/x/db.sqlite3"
        self.one_trace_per_test, self.trace_name, self.source = False, None, "test"
        self.__dict__.update(fields)

    def __call__(self, *args):
        return None


@pytest.mark.parametrize(
    "host, error, message",
    [
        (object(), TypeError, "profiler object is not callable"),
        (Host(config=[]), TypeError, "PyDict"),
        (Host(config={1: 2}), TypeError, None),
        (Host(trace_id=3), TypeError, "trace_id"),
        (Host(config={"max_value_mb": -1}), ValueError, "max_value_mb must be a non-negative number or false"),
        (Host(one_trace_per_test="yes"), TypeError, "one_trace_per_test"),
        (Host(config={"filters": {"include_frames": "x"}}), TypeError, "include_frames"),
    ],
)
def test_bad_host_objects_fail_before_anything_is_installed(host, error, message):
    with pytest.raises(error, match=message):
        _quib.register_profiler(host)
    assert sys.getprofile() is None
    assert getattr(host, "native_profiler", None) is None


def test_surface_of_the_native_profiler(tmp_path):
    host = Host(db_path=tmp_path / "db.sqlite3", config={"flush_subtree_mb": False})
    try:
        _quib.register_profiler(host)
    finally:
        sys.setprofile(None)
    native = host.native_profiler
    assert type(native).__name__ == "QuibProfiler" and not hasattr(_quib, "QuibProfiler")
    assert native.trace_id == native.root_trace_id == host.trace_id
    assert native.flush_subtree_bytes is None and native.panicked is False
    assert native.release_repr_reuse() is None
    assert Host(config={})  # default flush threshold
    host2 = Host(db_path=tmp_path / "db.sqlite3")
    try:
        _quib.register_profiler(host2)
    finally:
        sys.setprofile(None)
    assert host2.native_profiler.flush_subtree_bytes == 500 * 1024 * 1024
    assert _quib_testing.profiler_view(host2.native_profiler)["low_water"] == 500 * 1024 * 1024 - 64 * 1024 * 1024


@pytest.mark.parametrize("threading_setting, recorded", [(True, True), (False, False), ("yes", False)])
def test_threads_started_later_are_hooked_only_when_asked(record, threading_setting, recorded):
    def program():
        out = []
        thread = threading.Thread(target=traced_program.worker, args=(out,), name="later")
        thread.start()
        thread.join()

    _, _, trace = record(program, {"threading": threading_setting})
    assert ("later" in [t.name for t in trace.threads]) is recorded


def test_worker_threads_are_not_recorded(record):
    def marked_worker(out):
        _quib.set_current_thread_quib_worker(True)
        traced_program.worker(out)

    def program():
        thread = threading.Thread(target=marked_worker, args=([],), name="quib-worker")
        thread.start()
        thread.join()

    _, _, trace = record(program, {"threading": True})
    workers = [t for t in trace.threads if t.name == "quib-worker"]
    assert all(r["co_name"] == "marked_worker" for t in workers for r in t.records)


def test_storage_errors_are_logged_not_raised(tmp_path, monkeypatch, caplog):
    def refuse(*args, **kwargs):
        raise PermissionError("read-only database")

    monkeypatch.setattr(db, "save_v3_trace_chunks", refuse)
    profiler = Profiler(db_path=tmp_path / "db.sqlite3", config={})
    profiler.start()
    try:
        traced_program.leaf(1)
    finally:
        profiler.stop()
    with caplog.at_level("WARNING", logger="quib"):
        assert profiler.native_profiler.save() is None
    assert any(m.startswith("Failed to save trace ") for m in caplog.messages)

    monkeypatch.setattr(db, "save_v3_trace_chunks", lambda *a, **k: (_ for _ in ()).throw(ValueError("bug")))
    with pytest.raises(ValueError, match="bug"):
        profiler.native_profiler.save()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_save_in_a_forked_child_uses_a_new_id_in_memory(tmp_path):
    code = textwrap.dedent(
        f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(PROGRAM_FILE)!r})
        import traced_program
        from quib.profiler import Profiler
        profiler = Profiler(db_path={str(tmp_path / "db.sqlite3")!r}, config={{}})
        profiler.start()
        traced_program.leaf(1)
        pid = os.fork()
        if pid == 0:
            import _quib
            _quib._reset_thread_hooks_after_fork()
            traced_program.countdown(1)
            child_id = profiler.save()
            print("child", child_id, profiler.native_profiler.trace_id, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        profiler.stop()
        print("parent", profiler.save(), flush=True)
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(" ", 1) for line in result.stdout.strip().splitlines())
    parent_id = lines["parent"]
    traces = {t.id: t for t in db.list_traces(tmp_path / "db.sqlite3")}
    assert parent_id in traces and len(traces) == 2
    [child_id] = set(traces) - {parent_id}
    counts = {i: trace_container.read_container(t.path(tmp_path / "db.sqlite3")).frame_count
              for i, t in traces.items()}
    # The parent's file holds its own frames; the child saved what it inherited plus its own under
    # a new id, in memory, without touching the parent's file.
    assert counts[parent_id] == 2 and counts[child_id] == 6
    assert lines["child"].split()[1] != parent_id


def test_call_sites_carry_the_callers_current_line(record):
    def caller():
        first = traced_program.leaf(1)
        second = traced_program.leaf(2)
        for _ in range(2):
            traced_program.leaf(3)
        return first, second

    start = caller.__code__.co_firstlineno
    _, _, trace = record(caller, {"filters": {"ignore_frames": ["conftest.py"]}})
    records = frames_of(trace)
    caller_id = records[0]["frame_id"]
    lines = [r["user_code_call_site"]["line_number"] for r in records if r["event"] == "call" and r["co_name"] == "leaf"]
    assert lines == [start + 1, start + 2, start + 4, start + 4]
    assert {r["user_code_call_site"]["call_frame_id"] for r in records if r["co_name"] == "leaf"} == {caller_id}
    paths = [r["path"] for r in records if r["co_name"] == "caller"]
    assert paths[0].endswith(f":{start}") and paths[-1].endswith(f":{start + 5}")


def run_test(name):
    return traced_program.leaf(len(name))


def test_one_trace_per_test_saves_each_test_under_its_name(tmp_path):
    boundaries = {
        "co_names": ["run_test"],
        "path_fragment": "test_profiler.py",
        "call_type": "start_test",
        "return_type": "end_test",
        "process": lambda frame, event, arg, context: {"test_name": frame.f_locals["name"], "test_class": "Suite"},
    }
    db_path = tmp_path / "db.sqlite3"
    profiler = Profiler(db_path=db_path, config={"plugins": [boundaries]}, one_trace_per_test=True)
    profiler.start()
    try:
        traced_program.leaf(0)  # before any test: dropped
        run_test("first")
        run_test("second")
    finally:
        profiler.stop()
    traces = {t.name: t for t in db.list_traces(db_path)}
    assert set(traces) == {"Suite.first", "Suite.second"}
    first = load_trace(traces["Suite.first"].path(db_path))
    kinds = [(r["type"], r.get("co_name")) for r in first.threads[0].records]
    assert kinds[0] == ("start_test", None) and kinds[-1] == ("end_test", None)
    assert ("frame", "leaf") in kinds
    assert len({t.id for t in traces.values()}) == 2


def test_one_code_object_run_in_two_modules_is_named_after_each(record):
    # The same code object under two module names: each record names the module it ran in.
    source = "def shared(x):\n    return x + 1\n"
    code = compile(source, PROGRAM_FILE, "exec")
    first, second = {"__name__": "alpha"}, {"__name__": "beta"}
    exec(code, first)
    beta_shared = second["shared"] = types.FunctionType(first["shared"].__code__, second)

    def run():
        return [first["shared"](1), beta_shared(2), first["shared"](3)]

    result, _, trace = record(run)
    assert result == [2, 3, 4]
    assert [r["qualname"] for r in frames_of(trace) if r["event"] == "call"] == [
        "alpha.shared",
        "beta.shared",
        "alpha.shared",
    ]
