import sys

import pytest

_quib_testing = pytest.importorskip("_quib_testing")


def internal_panic_type():
    with pytest.raises(BaseException) as caught:
        _quib_testing.throw_internal_failure("internal")
    return type(caught.value)


def test_panic_is_reported_through_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append((report.exc_value, report.object)))
    _quib_testing.report_panic("trace capture mutex poisoned")
    ((error, context),) = seen
    assert context == "Quib stopped tracing after an internal error"
    assert type(error) is internal_panic_type()
    assert error.args == ("trace capture mutex poisoned",)
    assert isinstance(error, BaseException) and not isinstance(error, Exception)


class Custom(BaseException):
    pass


@pytest.mark.parametrize(
    "error, reaches",
    [
        (ValueError("x"), False),
        (RecursionError(), False),
        (OSError(), False),
        (KeyboardInterrupt(), True),
        (SystemExit(1), True),
        (GeneratorExit(), True),
        (Custom(), True),
    ],
)
def test_reaches_program(error, reaches):
    assert _quib_testing.reaches_program(error) is reaches


def test_internal_panic_does_not_reach_the_program():
    assert _quib_testing.reaches_program(internal_panic_type()("x")) is False
