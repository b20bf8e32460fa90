import pathlib
import sys
import types

import pytest

import quib.git
import quib.version

_quib_testing = pytest.importorskip("_quib_testing")


@pytest.fixture
def fake_db(monkeypatch):
    """A stand-in for quib.db that records how the engine calls it."""
    calls = []
    module = types.ModuleType("quib.db")
    module.save_v3_trace_chunks = lambda *args, **kwargs: calls.append(("chunks", args, kwargs))
    module._save_trace_metadata = lambda *args, **kwargs: calls.append(("metadata", args, kwargs))
    monkeypatch.setitem(sys.modules, "quib.db", module)
    import quib

    monkeypatch.setattr(quib, "db", module, raising=False)
    return calls


def test_package_facts_come_from_the_host():
    assert _quib_testing.host_package_version() == quib.version.__version__
    assert _quib_testing.host_commit_sha() == quib.git.COMMIT_SHA
    environment = _quib_testing.host_environment()
    assert isinstance(environment, dict) and environment


@pytest.mark.parametrize(
    "module, attribute, value, message",
    [
        (quib.version, "__version__", 3, "__version__ must be a str"),
        (quib.git, "COMMIT_SHA", b"abc", "COMMIT_SHA must be None or a str"),
    ],
)
def test_host_answers_of_the_wrong_type_are_type_errors(monkeypatch, module, attribute, value, message):
    monkeypatch.setattr(module, attribute, value)
    call = _quib_testing.host_package_version if attribute == "__version__" else _quib_testing.host_commit_sha
    with pytest.raises(TypeError, match=message):
        call()


def test_save_v3_trace_chunks_call_shape(fake_db):
    _quib_testing.host_save_v3_trace_chunks("trc_1", b"\x00container", "/tmp/x/db.sqlite3", 60)
    [(kind, args, kwargs)] = fake_db
    assert kind == "chunks"
    assert args == ("trc_1", (b"\x00container",))
    assert type(args[1]) is tuple and type(args[1][0]) is bytes
    assert list(kwargs) == ["db_path", "ignore_errors", "timeout"]
    assert kwargs == {"db_path": pathlib.Path("/tmp/x/db.sqlite3"), "ignore_errors": True, "timeout": 60}
    assert isinstance(kwargs["db_path"], pathlib.Path)


@pytest.mark.parametrize("ignore", [True, False])
def test_save_trace_metadata_call_shape(fake_db, ignore):
    _quib_testing.host_save_trace_metadata("trc_2", "db.sqlite3", 5, ignore)
    [(kind, args, kwargs)] = fake_db
    assert (kind, args) == ("metadata", ("trc_2",))
    assert list(kwargs) == ["db_path", "ignore_errors", "created_at", "timeout"]
    assert kwargs == {"db_path": pathlib.Path("db.sqlite3"), "ignore_errors": ignore, "created_at": None,
                      "timeout": 5}


def test_host_exceptions_come_back_unchanged(monkeypatch, fake_db):
    class Full(OSError):
        pass

    def refuse(*args, **kwargs):
        raise Full("disk full")

    monkeypatch.setattr(sys.modules["quib.db"], "_save_trace_metadata", refuse)
    with pytest.raises(Full, match="disk full"):
        _quib_testing.host_save_trace_metadata("trc_3", "db.sqlite3", 1, False)


def test_missing_plugins_module_is_an_internal_failure(monkeypatch):
    monkeypatch.setitem(sys.modules, "quib.plugins", None)  # makes the import fail
    with pytest.raises(BaseException, match="quib.plugins should always be importable") as caught:
        _quib_testing.host_load_plugin_data({})
    assert type(caught.value).__name__ == "InternalPanic"
