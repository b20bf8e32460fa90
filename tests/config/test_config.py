import os
import subprocess
import sys

import pytest

_quib_testing = pytest.importorskip("_quib_testing")

MAX_INVALID = "max_value_mb must be a non-negative number or false"
FLUSH_INVALID = "flush_subtree_mb must be a non-negative number or false"
FLUSH_TRUE = "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to set the threshold"
FLUSH_TOO_LARGE = "flush_subtree_mb is too large for this platform"
MIB = 1024 * 1024


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class Indexable:
    def __index__(self):
        return 3


class BrokenFloat(float):
    def __float__(self):
        raise ZeroDivisionError("broken")


@pytest.mark.parametrize(
    "settings, expected",
    [
        ({}, 64 * MIB),
        ({"max_value_mb": None}, None),
        ({"max_value_mb": False}, None),
        ({"max_value_mb": 0.5}, 512 * 1024),
        ({"max_value_mb": 0}, 0),
        ({"max_value_mb": -0.0}, 0),
        ({"max_value_mb": 3}, 3 * MIB),
        ({"max_value_mb": IntSubclass(2)}, 2 * MIB),
        ({"max_value_mb": FloatSubclass(1.5)}, 3 * MIB // 2),
        ({"max_value_mb": 1e-7}, 0),  # truncated toward zero
        ({"max_value_mb": 2.0**43 - 1}, (2**43 - 1) * MIB),  # just below 2**63 bytes
    ],
)
def test_max_value_bytes(settings, expected):
    assert _quib_testing.resolve_max_value_bytes(settings) == expected


@pytest.mark.parametrize(
    "value", [True, -1, -0.5, "10", float("nan"), float("inf"), 10**400, 2.0**43, Indexable(), [1]]
)
def test_max_value_bytes_rejects(value):
    with pytest.raises(ValueError) as caught:
        _quib_testing.resolve_max_value_bytes({"max_value_mb": value})
    assert str(caught.value) == MAX_INVALID


def test_max_value_bytes_keeps_a_broken_float_conversion():
    with pytest.raises(ZeroDivisionError, match="broken"):
        _quib_testing.resolve_max_value_bytes({"max_value_mb": BrokenFloat(1.0)})


@pytest.mark.parametrize(
    "settings, expected",
    [
        ({}, 500 * MIB),
        ({"flush_subtree_mb": None}, None),
        ({"flush_subtree_mb": False}, None),
        ({"flush_subtree_mb": 1}, MIB),
        ({"flush_subtree_mb": 0.25}, MIB // 4),
        ({"flush_subtree_mb": -0.0}, 0),
        ({"flush_subtree_mb": Indexable()}, 3 * MIB),  # anything with __index__ or __float__
        ({"flush_subtree_mb": 2.0**44}, 2**64 - 1),  # exactly 2**64 bytes saturates
    ],
)
def test_flush_subtree_bytes(settings, expected):
    assert _quib_testing.resolve_flush_subtree_bytes(settings) == expected


@pytest.mark.parametrize(
    "value, message",
    [
        (True, FLUSH_TRUE),
        ("abc", FLUSH_INVALID),
        ("10", FLUSH_INVALID),
        (-1, FLUSH_INVALID),
        (float("nan"), FLUSH_INVALID),
        (float("-inf"), FLUSH_INVALID),
        (10**400, FLUSH_INVALID),  # float conversion overflows; its error is dropped
        (1e300, FLUSH_TOO_LARGE),
        (2.0**44 * 1.0000001, FLUSH_TOO_LARGE),
    ],
)
def test_flush_subtree_bytes_rejects(value, message):
    with pytest.raises(ValueError) as caught:
        _quib_testing.resolve_flush_subtree_bytes({"flush_subtree_mb": value})
    assert str(caught.value) == message


class LookupRaises:
    """A key that collides with "max_value_mb" and raises when compared."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise KeyError("compare")


@pytest.mark.parametrize("resolve", ["resolve_max_value_bytes", "resolve_flush_subtree_bytes"])
def test_resolvers_return_a_raising_lookup(resolve):
    key = "max_value_mb" if resolve == "resolve_max_value_bytes" else "flush_subtree_mb"
    with pytest.raises(KeyError, match="compare"):
        getattr(_quib_testing, resolve)({LookupRaises(key): 1})


def test_resolvers_ignore_an_overridden_lookup():
    class Settings(dict):
        def __getitem__(self, key):
            return 1

        def get(self, key, default=None):
            return 1

    assert _quib_testing.resolve_max_value_bytes(Settings()) == 64 * MIB
    assert _quib_testing.resolve_flush_subtree_bytes(Settings()) == 500 * MIB


@pytest.mark.parametrize(
    "settings, key, default, expected",
    [
        ({}, "lightweight_repr", None, False),
        ({"lightweight_repr": True}, "lightweight_repr", None, True),
        ({"omit_return_locals": False}, "omit_return_locals", None, False),
        ({}, "sqlite_busy_timeout", 60, 60),
        ({"sqlite_busy_timeout": 0}, "sqlite_busy_timeout", 60, 0),
        ({"sqlite_busy_timeout": 2**64 - 1}, "sqlite_busy_timeout", 60, 2**64 - 1),
    ],
)
def test_typed_lookups(settings, key, default, expected):
    args = (settings, key) if default is None else (settings, key, default)
    assert _quib_testing.config_get(*args) == expected


@pytest.mark.parametrize(
    "settings, key, default, error",
    [
        ({"lightweight_repr": 1}, "lightweight_repr", None, TypeError),
        ({"lightweight_repr": "yes"}, "lightweight_repr", None, TypeError),
        ({"sqlite_busy_timeout": -5}, "sqlite_busy_timeout", 60, OverflowError),
        ({"sqlite_busy_timeout": 2**64}, "sqlite_busy_timeout", 60, OverflowError),
        ({"sqlite_busy_timeout": 1.5}, "sqlite_busy_timeout", 60, TypeError),
        ({"sqlite_busy_timeout": "60"}, "sqlite_busy_timeout", 60, TypeError),
    ],
)
def test_typed_lookups_reject(settings, key, default, error):
    args = (settings, key) if default is None else (settings, key, default)
    with pytest.raises(error):
        _quib_testing.config_get(*args)



def test_non_str_key_fails_with_type_error():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
        _quib_testing.config_get({"lightweight_repr": True, 1: "x"}, "lightweight_repr")


def test_later_equal_key_replaces_earlier():
    class OtherHash(str):
        def __hash__(self):
            return 12345

    settings = {OtherHash("line_events"): False, "line_events": True}
    assert len(settings) == 2
    assert _quib_testing.config_get(settings, "line_events") is True
    value = object()
    assert _quib_testing.config_item({"anything": value}, "anything") is value  # kept unchanged


@pytest.mark.parametrize("value, reuse", [(None, True), ("0", False), ("00", True), ("false", True), ("", True)])
def test_reuse_save_workers_is_off_only_for_zero(value, reuse):
    environment = {k: v for k, v in os.environ.items() if k != "QUIB_REUSE_SAVE_WORKERS"}
    if value is not None:
        environment["QUIB_REUSE_SAVE_WORKERS"] = value
    script = (
        "import os, _quib_testing as t\n"
        "first = t.reuse_save_workers()\n"
        "os.environ['QUIB_REUSE_SAVE_WORKERS'] = '1' if first is False else '0'\n"
        "assert t.reuse_save_workers() is first  # read once per process\n"
        "print(first)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(reuse)
