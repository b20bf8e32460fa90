import threading

import pytest

_quib_testing = pytest.importorskip("_quib_testing")


def run_in_thread(function):
    result = []
    thread = threading.Thread(target=lambda: result.append(function()))
    thread.start()
    thread.join()
    return result[0]


def test_slots_are_per_thread():
    def work():
        return [_quib_testing.per_thread_increment() for _ in range(3)]

    assert run_in_thread(work) == [1, 2, 3]
    assert run_in_thread(work) == [1, 2, 3]


def test_an_exited_threads_index_is_reused_with_a_fresh_slot():
    def identity_and_slot():
        return _quib_testing.thread_identity(), _quib_testing.per_thread_peek(), _quib_testing.per_thread_increment()

    (index_a, token_a), _, _ = run_in_thread(identity_and_slot)
    (index_b, token_b), inherited, first = run_in_thread(identity_and_slot)
    assert index_b == index_a  # the index came back when the first thread exited
    assert token_b != token_a
    assert inherited is None and first == 1  # the old thread's slot is not visible


def test_live_threads_have_distinct_indices():
    barrier = threading.Barrier(8)
    seen = []

    def work():
        seen.append(_quib_testing.thread_identity())
        barrier.wait()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len({index for index, _ in seen}) == 8
    assert len({token for _, token in seen}) == 8
