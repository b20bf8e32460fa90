import logging
import subprocess
import sys
import textwrap

import pytest

import _quib

_quib_testing = pytest.importorskip("_quib_testing")

SUSPENDED = 2
STACK_EXHAUSTED = (
    "Quib: an internal error could not be logged because the stack is nearly exhausted; "
    "further such errors are not reported.\n"
)


@pytest.fixture
def unraisable(monkeypatch):
    """What reaches the interpreter's unraisable hook, as (exception, object) pairs."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append((report.exc_value, report.object)))
    return seen


@pytest.fixture
def failing_logger(monkeypatch):
    """Makes the "quib" logger's warning() raise the given exception."""

    def install(error):
        def warning(*args, **kwargs):
            raise error

        monkeypatch.setattr(logging.getLogger("quib"), "warning", warning)

    return install


def test_warning_goes_to_the_quib_logger_with_exc_info(caplog):
    error = ValueError("bad value")
    with caplog.at_level(logging.WARNING, logger="quib"):
        _quib_testing.log_warning(("failed on %s: %s", "frame", 42), error)
    (record,) = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == ("quib", logging.WARNING, "failed on frame: 42")
    assert record.exc_info[1] is error


def test_logging_runs_suspended(monkeypatch):
    states = []

    def warning(*args, **kwargs):
        states.append(_quib._current_thread_hook_state())

    monkeypatch.setattr(logging.getLogger("quib"), "warning", warning)
    _quib_testing.log_warning(("message",))
    assert states[0] & SUSPENDED
    assert _quib._current_thread_hook_state() & SUSPENDED == 0


@pytest.mark.parametrize(
    "args, context",
    [
        (("first line\r\nsecond line",), "Quib: first line"),
        (("one line only %s", 1), "Quib: one line only %s"),
        ((42, "x"), "Quib: quib"),  # a first argument that is not a str
        (("",), "Quib: quib"),
        ((), "Quib: quib"),
    ],
)
def test_failed_logging_falls_back_to_the_unraisable_hook(failing_logger, unraisable, args, context):
    failure = RuntimeError("logging broke")
    failing_logger(failure)
    error = KeyError("the original problem")
    _quib_testing.log_warning(args, error)
    # First the problem that was to be logged, then why logging failed; both under the same text.
    assert unraisable == [(error, context), (failure, context)]


def test_failed_logging_without_an_error_reports_only_the_failure(failing_logger, unraisable):
    failure = RuntimeError("logging broke")
    failing_logger(failure)
    _quib_testing.log_warning(("message",))
    assert unraisable == [(failure, "Quib: message")]


def test_recursion_error_while_logging_is_reported_once_per_process(tmp_path):
    # Process-wide state: run it in a fresh interpreter.
    script = textwrap.dedent(
        """
        import logging, sys
        import _quib_testing
        def warning(*args, **kwargs):
            raise RecursionError("maximum recursion depth exceeded")
        logging.getLogger("quib").warning = warning
        sys.unraisablehook = lambda report: print("unraisable", report.exc_value)
        _quib_testing.log_warning(("first",), ValueError("x"))
        _quib_testing.log_warning(("second",))
        print("done")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "done\n"
    assert done.stderr == STACK_EXHAUSTED
    assert len(STACK_EXHAUSTED.encode()) == 121


def test_logging_at_the_real_recursion_limit_returns_normally():
    def deep():
        try:
            return deep()
        except RecursionError:
            # At the limit: the logging package's calls may overflow again. Whether the line
            # is logged or replaced by the stack-exhausted text, nothing is raised here.
            _quib_testing.log_warning(("too deep",), ValueError("x"))
            return "returned"

    assert deep() == "returned"
