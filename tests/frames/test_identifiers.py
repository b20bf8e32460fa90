import os
import re
import subprocess
import sys
import time

import pytest

_quib_testing = pytest.importorskip("_quib_testing")

ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
ULID = "[0-7][0-9A-HJKMNP-TV-Z]{25}"


def reference_ulid(millis, random_high, random_low):
    value = (millis << 80) | (random_high << 64) | random_low
    return "".join(ALPHABET[(value >> (5 * (25 - i))) & 31] for i in range(26))


def ulid_millis(text):
    value = 0
    for character in text[:10]:
        value = value * 32 + ALPHABET.index(character)
    return value


@pytest.mark.parametrize(
    "millis, high, low",
    [(0, 0, 0), (2**48 - 1, 2**16 - 1, 2**64 - 1), (1469918176385, 0x1234, 0xFEDCBA9876543210), (1, 1, 1)],
)
def test_ulid_encoding(millis, high, low):
    assert _quib_testing.ulid_of(millis, high, low) == reference_ulid(millis, high, low)


def test_ulid_time_is_clamped_to_48_bits():
    assert _quib_testing.ulid_of(2**60, 0, 0) == reference_ulid(2**48 - 1, 0, 0)


@pytest.mark.parametrize("make, prefix", [("new_frame_id", "frm_"), ("new_trace_id", "trc_")])
def test_identifier_format_and_time_prefix(make, prefix):
    before = int(time.time() * 1000)
    identifier = getattr(_quib_testing, make)()
    after = int(time.time() * 1000)
    assert re.fullmatch(prefix + ULID, identifier) and len(identifier) == 30
    assert before <= ulid_millis(identifier[4:]) <= after


def test_time_prefix_is_monotonic_and_ids_are_unique():
    ids = []
    for _ in range(5):
        ids.extend(_quib_testing.new_frame_id() for _ in range(2000))
        time.sleep(0.002)
    prefixes = [ulid_millis(identifier[4:]) for identifier in ids]
    assert prefixes == sorted(prefixes)
    assert len(set(prefixes)) >= 5
    assert len(set(ids)) == len(ids)


def test_threads_have_their_own_random_source(in_thread):
    here = {_quib_testing.new_frame_id()[14:] for _ in range(100)}
    there = in_thread(lambda: {_quib_testing.new_frame_id()[14:] for _ in range(100)})
    assert not here & there


FORK_SCRIPT = """
import os, _quib_testing
_quib_testing.new_frame_id()  # seed this thread's source before forking
reader, writer = os.pipe()
child = os.fork()
if child == 0:
    os.write(writer, "".join(_quib_testing.new_frame_id()[14:] for _ in range(3)).encode())
    os._exit(0)
os.close(writer)
os.waitpid(child, 0)
with os.fdopen(reader) as pipe:
    print(pipe.read())
print("".join(_quib_testing.new_frame_id()[14:] for _ in range(3)))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_does_not_repeat_the_parents_ids():
    # In a fresh single-threaded interpreter, where fork() is safe.
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    theirs, ours = done.stdout.split()
    assert len(theirs) == len(ours) == 48  # the random parts of three ids
    assert theirs != ours


def test_timestamp_is_the_system_clock():
    before = time.time()
    stamp = _quib_testing.timestamp()
    after = time.time()
    assert isinstance(stamp, float)
    assert before - 0.001 <= stamp <= after + 0.001
