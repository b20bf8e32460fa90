import threading

import msgpack
import pytest

from quib.trace_container import read_container
from storage_helpers import t

MIB = 1024 * 1024


@pytest.fixture
def interning():
    number = t.interning_new()
    yield number
    t.interning_drop(number)


def text(n, size, fill="x"):
    head = f"{n:08d}:"
    return head + fill * (size - len(head))


def test_third_sighting_becomes_a_reference_published_once(interning, capture, raw):
    value = text(1, 8192)
    answers = [t.interning_pack(interning, capture, value) for _ in range(4)]
    inline = msgpack.packb(value)
    assert answers[:2] == [("inline", inline), ("inline+cache", inline)]
    assert answers[2] == answers[3] == ("reference", b"\xd6\x09\x00\x00\x00\x00")
    assert t.interning_entry(interning, value) == "published"
    assert t.interning_snapshot(interning, [0, 7]) == [(0, inline)]
    t.capture_finish(capture, [], b"\x80", [])
    assert read_container(raw / "trc_test.quib").values == {0: inline}


@pytest.mark.parametrize("size, eligible", [(4095, False), (4096, True)])
@pytest.mark.parametrize("kind", [str, bytes])
def test_only_texts_of_4096_bytes_or_more_are_interned(interning, memory_capture, size, eligible, kind):
    value = text(2, size) if kind is str else text(2, size).encode()
    answers = [t.interning_pack(interning, memory_capture, value)[0] for _ in range(3)]
    assert answers == (["inline", "inline+cache", "reference"] if eligible else ["inline"] * 3)


def test_a_new_object_at_a_reused_address_is_not_confused_with_the_old_one(interning, memory_capture):
    first = "".join(["a" * 4000, "X", "a" * 4000])
    assert t.interning_pack(interning, memory_capture, first)[0] == "inline"
    address = id(first)
    del first
    # Same length and same first and last bytes: only the middle differs.
    for _ in range(100):
        second = "".join(["a" * 4000, "Y", "a" * 4000])
        if id(second) == address:
            break
    else:
        pytest.skip("the allocator did not reuse the address")
    assert t.interning_pack(interning, memory_capture, second)[0] == "inline+cache"  # fingerprint matches
    assert t.interning_pack(interning, memory_capture, second)[0] == "reference"
    assert t.interning_snapshot(interning, [0]) == [(0, msgpack.packb(second))]  # second's own bytes

    other = "".join(["b" * 4000, "Z", "b" * 4000])
    t.interning_pack(interning, memory_capture, other)
    other_address = id(other)
    del other
    for _ in range(100):
        third = "".join(["c" * 4000, "Z", "c" * 4000])
        if id(third) == other_address:
            assert t.interning_pack(interning, memory_capture, third)[0] == "inline"  # fingerprint differs
            break


def test_a_full_value_table_turns_interning_off(interning, memory_capture):
    published = 0
    for n in range(5000):
        value = text(n, 4096)
        answers = [t.interning_pack(interning, memory_capture, value)[0] for _ in range(3)]
        if answers[2] != "reference":
            break
        published += 1
    state = t.interning_state(interning)
    # 16 MiB of table charge (encoding plus text) holds 2047 values of 4 KiB.
    assert (published, state["table_size"], state["disabled"]) == (2047, 2047, True)
    assert t.interning_pack(interning, memory_capture, text(0, 4096))[0] == "inline"  # was published before
    assert len(t.capture_published(memory_capture)) == 2047


def test_cached_bytes_stay_within_their_budgets(interning, memory_capture, in_thread):
    values = [text(n, MIB // 2) for n in range(12)]
    for value in values:
        t.interning_pack(interning, memory_capture, value)
        assert t.interning_pack(interning, memory_capture, value)[0] == "inline+cache"
    state = t.interning_state(interning)
    assert 3 * MIB < state["thread_charge"] <= 4 * MIB and state["shared_charge"] == state["thread_charge"]
    entries = [t.interning_entry(interning, v) for v in values]
    assert entries[-1] == "cached" and entries.count("cached") == 3  # evicted ones are forgotten

    others = [text(100 + n, MIB // 2) for n in range(4)]

    def cache_on_another_thread():
        for value in others:
            t.interning_pack(interning, memory_capture, value)
            t.interning_pack(interning, memory_capture, value)
        return t.interning_state(interning)

    theirs = in_thread(cache_on_another_thread)
    assert theirs["shared_charge"] <= 4 * MIB
    assert theirs["thread_charge"] + t.interning_state(interning)["thread_charge"] == theirs["shared_charge"]


def test_a_failed_writer_turns_interning_off(interning, capture):
    value = text(3, 8192)
    t.capture_abandon(capture)  # the capture fails; its circuit stays closed
    answers = [t.interning_pack(interning, capture, value)[0] for _ in range(4)]
    assert answers == ["inline", "inline+cache", "inline", "inline"]
    state = t.interning_state(interning)
    assert state["disabled"] and state["table_size"] == 0


def test_an_open_circuit_fails_the_value_with_the_writer_message(db):
    interning = t.interning_new()
    runtime = t.runtime_new(0.05)
    capture = t.capture_new(db, "trc_circuit", 1.0, runtime)
    held = t.runtime_reserve(runtime, 20 * MIB)
    with pytest.raises(TimeoutError):
        t.runtime_reserve(runtime, 1)
    t.reservation_release(held)
    value = text(4, 8192)
    t.interning_pack(interning, capture, value)
    t.interning_pack(interning, capture, value)
    with pytest.raises(OSError, match="circuit breaker opened"):
        t.interning_pack(interning, capture, value)
    assert t.interning_state(interning)["disabled"] and t.interning_state(interning)["table_size"] == 0
    t.capture_drop(capture)
    t.interning_drop(interning)


def test_the_encoder_writes_references_for_repeated_large_strings(interning, capture, raw):
    from quib.serialize import load_msgpack

    body, blob = text(5, 8192), text(6, 5000).encode()
    records = [t.interning_encode(interning, capture, {"body": body, "blob": blob, "n": n}) for n in range(3)]
    assert body.encode() in records[0] and body.encode() in records[1] and body.encode() not in records[2]
    assert records[2].count(b"\xd6\x09") == 2 and blob not in records[2]
    t.capture_finish(capture, [], b"\x80", [])
    values = read_container(raw / "trc_test.quib").values
    assert sorted(values) == [0, 1]
    assert [load_msgpack(r, values=values) for r in records] == [{"body": body, "blob": blob, "n": n} for n in range(3)]


def test_short_and_subclassed_strings_are_never_interned(interning, memory_capture):
    class Text(str):
        pass

    for value in (text(7, 4095), Text(text(8, 8192))):
        outputs = {t.interning_encode(interning, memory_capture, value) for _ in range(3)}
        assert len(outputs) == 1 and b"\xd6\x09" not in outputs.pop()
    assert t.interning_state(interning)["table_size"] == 0
