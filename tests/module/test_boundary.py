import pytest

_quib_testing = pytest.importorskip("_quib_testing")


@pytest.mark.parametrize(
    "kind, message",
    [("internal", "forced internal failure"), ("std", "forced standard exception"), ("other", "unknown panic")],
)
def test_cpp_exceptions_stop_at_the_boundary(kind, message):
    with pytest.raises(BaseException) as caught:
        _quib_testing.throw_internal_failure(kind)
    error = caught.value
    assert type(error).__name__ == "InternalPanic"
    assert not isinstance(error, Exception)  # code catching Exception does not swallow a defect
    assert str(error) == message


def test_out_of_memory_becomes_memory_error():
    with pytest.raises(MemoryError):
        _quib_testing.throw_internal_failure("bad_alloc")
