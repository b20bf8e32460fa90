import pytest

from quib import serialize

_quib = pytest.importorskip("_quib")


def python_dump(value, lightweight_repr=False):
    return serialize.dump_msgpack(value, lightweight_repr=lightweight_repr)


ENCODERS = {"native": _quib._native_dump_msgpack, "python": python_dump}


@pytest.fixture(params=sorted(ENCODERS))
def dump(request):
    """Each encoder in turn: what one does, the other must do byte for byte."""
    return ENCODERS[request.param]


@pytest.fixture
def host_globals(monkeypatch):
    """Set quib.serialize globals for one test (restored afterwards)."""

    def set_global(name, value):
        monkeypatch.setattr(serialize, name, value, raising=False)

    return set_global
