import pytest

from storage_helpers import t


@pytest.fixture
def db(tmp_path):
    """A database path; trace files go to its sibling raw/."""
    return str(tmp_path / ".quib" / "db.sqlite3")


@pytest.fixture
def raw(tmp_path):
    return tmp_path / ".quib" / "raw"


@pytest.fixture
def capture(db):
    """A streaming capture; dropped (its writer stopped, its file removed) after the test."""
    number = t.capture_new(db, "trc_test", 1700000000.5)
    yield number
    t.capture_drop(number)


@pytest.fixture
def memory_capture(db):
    number = t.capture_new(db, "trc_memory", 1700000000.5)
    t.capture_keep_in_memory(number)
    yield number
    t.capture_drop(number)
