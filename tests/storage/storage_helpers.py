"""Helpers shared by the storage tests."""

import pytest

t = pytest.importorskip("_quib_testing")


def frame(n, size=24):
    """A distinguishable frame of about `size` bytes."""
    head = f"frame-{n}:".encode()
    return head + b"x" * max(0, size - len(head))


def panics(call, text):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "InternalPanic"
    assert str(caught.value) == text
