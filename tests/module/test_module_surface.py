import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _quib

# The members this build provides, in the module's fixed member order. Members of engines that
# are not built yet are simply absent; the relative order of the rest never changes.
MEMBER_ORDER = [
    "quib_tool_is_idle",
    "take_idle_monitor",
    "IdleMonitor",
    "QuibMonitor",
    "_count_plain_containers",
    "_current_thread_hook_state",
    "_frame_local",
    "_native_dump_msgpack",
    "_native_construction_walk_state",
    "_native_encode_in_progress",
    "_native_objects_under_construction",
    "_repr_reuse_configure",
    "_repr_reuse_stats",
    "_reset_thread_hooks_after_fork",
    "_validated_objects_under_construction",
    "register_monitor",
    "register_noop_profiler",
    "register_profiler",
    "set_current_thread_quib_worker",
    "writer_circuit_open",
]


def test_all_lists_members_in_fixed_order():
    assert set(_quib.__all__) <= set(MEMBER_ORDER)
    assert _quib.__all__ == [name for name in MEMBER_ORDER if name in _quib.__all__]
    for name in _quib.__all__:
        assert hasattr(_quib, name)
    assert "QuibProfiler" not in dir(_quib)


SIGNATURES = {
    "quib_tool_is_idle": "()",
    "take_idle_monitor": "()",
    "_count_plain_containers": "(value, limit)",
    "_current_thread_hook_state": "()",
    "_frame_local": "(frame, name)",
    "_native_dump_msgpack": "(value, lightweight_repr=False)",
    "_native_construction_walk_state": "()",
    "_native_encode_in_progress": "()",
    "_native_objects_under_construction": "()",
    "_repr_reuse_configure": "(enabled=None, verify=None, stats=None)",
    "_repr_reuse_stats": "(reset=False)",
    "_reset_thread_hooks_after_fork": "()",
    "_validated_objects_under_construction": "()",
    "register_monitor": "(db_path, config, source, one_trace_per_test, name=None)",
    "register_noop_profiler": "()",
    "register_profiler": "(profiler)",
    "set_current_thread_quib_worker": "(value)",
    "writer_circuit_open": "()",
}


def test_every_function_has_its_text_signature_and_a_description():
    functions = [name for name in _quib.__all__ if not inspect.isclass(getattr(_quib, name))]
    assert functions
    for name in functions:
        member = getattr(_quib, name)
        assert str(inspect.signature(member)) == SIGNATURES[name]
        assert member.__doc__.strip()


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _quib._current_thread_hook_state(1), TypeError),
        (lambda: _quib.set_current_thread_quib_worker(), TypeError),
        (lambda: _quib.set_current_thread_quib_worker(1), TypeError),
        (lambda: _quib.set_current_thread_quib_worker(value=None), TypeError),
        (lambda: _quib.set_current_thread_quib_worker(True, False), TypeError),
        (lambda: _quib.set_current_thread_quib_worker(bogus=True), TypeError),
        (lambda: _quib._frame_local(None, 3), TypeError),
        (lambda: _quib._repr_reuse_configure(enabled=1), TypeError),
        (lambda: _quib._repr_reuse_configure(None, "x"), TypeError),
        (lambda: _quib._repr_reuse_configure(stats=0), TypeError),
        (lambda: _quib._repr_reuse_stats(reset=None), TypeError),
        (lambda: _quib.register_noop_profiler(None), TypeError),
    ],
)
def test_bad_arguments_raise_type_error_before_any_effect(call, error):
    before = _quib._current_thread_hook_state()
    with pytest.raises(error):
        call()
    assert _quib._current_thread_hook_state() == before


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda: _quib.set_current_thread_quib_worker(1), "value"),
        (lambda: _quib._frame_local(None, 3), "name"),
        (lambda: _quib._repr_reuse_configure(enabled=1), "enabled"),
        (lambda: _quib._repr_reuse_configure(True, 1), "verify"),
        (lambda: _quib._repr_reuse_configure(True, None, 1), "stats"),
        (lambda: _quib._repr_reuse_stats(1), "reset"),
    ],
)
def test_type_errors_name_the_argument(call, argument):
    with pytest.raises(TypeError, match=f"'{argument}'"):
        call()


def test_fixed_answers_of_the_probes():
    assert _quib._native_construction_walk_state() == "unsupported"
    assert _quib._native_objects_under_construction() is None
    assert _quib._validated_objects_under_construction() is None
    assert _quib._repr_reuse_configure() is None
    assert _quib._repr_reuse_configure(enabled=True, verify=False, stats=None) is None
    assert _quib._repr_reuse_stats() == {"enabled": False}
    assert _quib._repr_reuse_stats(reset=True) == {"enabled": False}
    first, second = _quib._repr_reuse_stats(), _quib._repr_reuse_stats()
    assert first is not second


def test_frame_local_is_not_available():
    with pytest.raises(NotImplementedError, match="reading one frame local needs CPython 3.12 or newer"):
        _quib._frame_local(sys._getframe(), "x")
    # the frame argument is not checked
    with pytest.raises(NotImplementedError):
        _quib._frame_local(None, name="x")


def test_noop_profiler_hooks_only_the_calling_thread(in_thread):
    previous = sys.getprofile()
    try:
        assert _quib.register_noop_profiler() is None
        assert sys.getprofile() is None  # a native hook without an argument object
        assert in_thread(sys.getprofile) is None

        # The hook is really installed: Python-level setprofile replaces it, and no event escapes.
        def work():
            return sum(range(10))

        assert work() == 45
    finally:
        sys.setprofile(previous)


def test_noop_profiler_is_installed_natively():
    # A profile function set from Python is visible; after the native one it no longer is.
    code = textwrap.dedent(
        """
        import sys, _quib
        seen = []
        sys.setprofile(lambda *a: seen.append(a[1]))
        _quib.register_noop_profiler()
        def f(): pass
        f()
        sys.setprofile(None)
        print(len([e for e in seen if e == "call"]))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "0"


@pytest.mark.parametrize(
    "environment, expected",
    [({}, "False False"), ({"QUIB_CONSTRUCTION_CHECK": "0", "QUIB_CONSTRUCTION_NATIVE": "0"}, "True True"),
     ({"QUIB_CONSTRUCTION_CHECK": "00", "QUIB_CONSTRUCTION_NATIVE": "false"}, "False False")],
)
def test_construction_switches_are_read_at_import(environment, expected):
    _quib_testing = pytest.importorskip("_quib_testing")
    del _quib_testing
    code = "import _quib, _quib_testing; print(*_quib_testing.construction_switches())"
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUIB_CONSTRUCTION")}
    env.update(environment)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert result.stdout.strip() == expected


def test_repeated_calls_do_not_leak():
    calls = [
        lambda: _quib._current_thread_hook_state(),
        lambda: _quib.set_current_thread_quib_worker(False),
        lambda: _quib._repr_reuse_stats(reset=False),
        lambda: _quib._native_construction_walk_state(),
        lambda: _quib._repr_reuse_configure(enabled=True),
    ]
    failing = [
        lambda: _quib._frame_local(None, "x"),
        lambda: _quib.set_current_thread_quib_worker(3),
    ]

    def run_all():
        for _ in range(2000):
            for call in calls:
                call()
            for call in failing:
                try:
                    call()
                except (TypeError, NotImplementedError):
                    pass

    run_all()
    before = sys.getallocatedblocks()
    run_all()
    assert sys.getallocatedblocks() - before < 100
