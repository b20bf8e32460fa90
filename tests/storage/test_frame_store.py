import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from storage_helpers import frame, panics, t


def frames_of(store):
    info = t.store_info(store)
    return [t.store_frame(store, i) for i in range(info["total"])]


# --- the store against a list model ---------------------------------------------

operation = st.one_of(
    st.tuples(st.just("append"), st.integers(0, 90)),
    st.tuples(st.just("append_many"), st.lists(st.integers(0, 90), max_size=5)),
    st.tuples(st.just("insert_frame"), st.floats(0, 1), st.integers(0, 90)),
    st.tuples(st.just("move"), st.floats(0, 1), st.floats(0, 1), st.floats(0, 1)),
    st.tuples(st.just("drop_range"), st.floats(0, 1), st.floats(0, 1)),
)


@pytest.mark.parametrize("in_memory", [False, True], ids=["streamed", "in-memory"])
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(operations=st.lists(operation, max_size=25))
def test_store_agrees_with_a_list_model(db, in_memory, operations):
    capture = t.capture_new(db, "trc_model", 1.0)
    if in_memory:
        t.capture_keep_in_memory(capture)
    # A small seal threshold makes many chunks, so spans cross chunk boundaries all the time.
    store = t.store_new(capture, 3, 128)
    model = []
    serial = iter(range(10**6))

    def bounds(a, b):
        lo, hi = sorted((int(a * len(model)), int(b * len(model))))
        return lo, hi

    for op, *params in operations:
        if op == "append":
            data = frame(next(serial), params[0])
            assert t.store_append(store, data) == (len(model), len(model) + 1, len(data))
            model.append(data)
        elif op == "append_many":
            batch = [frame(next(serial), size) for size in params[0]]
            assert t.store_append_many(store, batch) == (len(model), len(model) + len(batch), sum(map(len, batch)))
            model.extend(batch)
        elif op == "insert_frame":
            at = int(params[0] * len(model))
            data = frame(next(serial), params[1])
            t.store_insert_frame(store, at, data)
            model.insert(at, data)
        elif op == "move":
            lo, hi = bounds(params[0], params[1])
            moved = t.store_drain(store, lo, hi)
            assert t.store_info(moved)["byte_total"] == sum(map(len, model[lo:hi]))
            piece, model[lo:hi] = model[lo:hi], []
            at = int(params[2] * len(model))
            t.store_insert_store(store, at, moved)
            model[at:at] = piece
        else:
            lo, hi = bounds(params[0], params[1])
            t.store_drop(t.store_drain(store, lo, hi))
            del model[lo:hi]
        info = t.store_info(store)
        assert info["total"] == len(model)
        assert info["byte_total"] == sum(map(len, model))
    assert frames_of(store) == model
    assert [t.store_frame_len(store, i) for i in range(len(model))] == list(map(len, model))
    # The layout covers every frame exactly once, span by span.
    token, spans = t.store_layout(store)
    assert token == 3 and sum(count for _, _, count in spans) == len(model)
    t.capture_drop(capture)


# --- edge cases ----------------------------------------------------------------


def test_frames_of_300_kib_seal_on_the_second_frame(capture):
    store = t.store_new(capture, 0)
    big = [frame(i, 300 * 1024) for i in range(3)]
    t.store_append(store, big[0])
    assert t.store_info(store)["sealed"] == 0
    t.store_append(store, big[1])
    info = t.store_info(store)
    assert (info["sealed"], info["total"]) == (2, 2)
    assert [(seq, offset, count) for seq, offset, count, _, _ in info["spans"]] == [(0, 0, 2)]
    t.store_append(store, big[2])
    assert frames_of(store) == big


def test_empty_drain_and_insert_frame_at_the_front(capture):
    store = t.store_new(capture, 0)
    original = [frame(i) for i in range(5)]
    t.store_append_many(store, original)
    empty = t.store_drain(store, 3, 3)
    assert (t.store_info(empty)["total"], t.store_info(empty)["detached"]) == (0, True)
    assert frames_of(store) == original
    t.store_insert_frame(store, 0, b"new")
    assert frames_of(store) == [b"new"] + original
    assert t.store_info(store)["name_index"] is None


def test_drain_and_reinsert_restores_order_totals_and_spans(capture):
    store = t.store_new(capture, 0, 100)
    original = [frame(i, 30) for i in range(12)]
    t.store_append_many(store, original)
    t.store_layout(store)  # seal the rest
    before = t.store_info(store)
    moved = t.store_drain(store, 2, 5)
    assert frames_of(moved) == original[2:5]
    t.store_insert_store(store, 2, moved)
    after = t.store_info(store)
    assert frames_of(store) == original
    spans = lambda info: [span[:4] for span in info["spans"]]  # noqa: E731 (without written positions)
    assert (after["byte_total"], spans(after)) == (before["byte_total"], spans(before))


def test_ranges_only_move_within_their_capture(db, capture):
    other_capture = t.capture_new(db, "trc_other", 1.0)
    store, other = t.store_new(capture, 0), t.store_new(other_capture, 1)
    t.store_append(other, b"frame")
    with pytest.raises(OSError, match="^incompatible frame range insertion$"):
        t.store_insert_store(store, 0, t.store_drain(other, 0, 1))
    t.capture_drop(other_capture)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda s: t.store_frame(s, 3), OSError, "invalid frame index"),
        (lambda s: t.store_frame_len(s, 99), OSError, "invalid frame index"),
        (lambda s: t.store_insert_frame(s, 4, b"x"), OSError, "invalid frame index"),
        (lambda s: t.store_drain(s, 2, 1), OSError, "invalid frame range"),
        (lambda s: t.store_drain(s, 0, 4), OSError, "invalid frame range"),
    ],
)
def test_bad_indexes_and_ranges(capture, call, error, text):
    store = t.store_new(capture, 0)
    t.store_append_many(store, [b"a", b"b", b"c"])
    with pytest.raises(error) as caught:
        call(store)
    assert type(caught.value) is error and str(caught.value) == text
    assert frames_of(store) == [b"a", b"b", b"c"]


def test_detached_and_retired_stores(capture):
    store = t.store_new(capture, 0)
    t.store_append_many(store, [b"a", b"b"])
    detached = t.store_drain(store, 0, 1)
    panics(lambda: t.store_append(detached, b"x"), "cannot append to a detached frame range")
    t.store_append(store, b"c")
    t.store_retire(store)
    assert frames_of(store) == [b"b", b"c"]  # a retired store is still readable
    panics(lambda: t.store_append(store, b"x"), "cannot append to a retired frame store")
    with pytest.raises(BrokenPipeError, match="^frame store retired$"):
        t.store_layout(store)  # "c" is still in the open chunk and can no longer be committed
    panics(lambda: t.store_drain(store, 0, 0), "cannot detach from a retired frame store")


def test_a_failed_commit_fails_the_store_for_good(tmp_path):
    (tmp_path / "raw").write_text("a file where the trace directory should be")
    capture = t.capture_new(str(tmp_path / "db.sqlite3"), "trc_x", 1.0)
    store = t.store_new(capture, 0, 10)
    with pytest.raises(NotADirectoryError):
        t.store_append(store, b"twelve bytes")
    assert t.store_info(store)["failed"]
    for call in (lambda: t.store_append(store, b"x"), lambda: t.store_frame(store, 0), lambda: t.store_layout(store)):
        with pytest.raises(BrokenPipeError, match="^frame store writer failed$"):
            call()
    # A second store of the same capture finds the capture failed.
    with pytest.raises(BrokenPipeError, match="^trace writer failed$"):
        t.store_append(t.store_new(capture, 1, 1), b"y")
    t.capture_drop(capture)


def test_failed_encoding_leaves_no_partial_frame(capture):
    store = t.store_new(capture, 0)
    t.store_append(store, b"first")
    problem = ValueError("cannot encode this")
    with pytest.raises(ValueError) as caught:
        t.store_append_encoded(store, b"half written", problem)
    assert caught.value is problem
    assert t.store_append_encoded(store, b"second") == (1, 2, 6)
    assert frames_of(store) == [b"first", b"second"]
    assert t.store_info(store)["byte_total"] == 11


def test_frames_are_read_from_memory_while_queued_and_from_the_file_once_written(capture):
    store = t.store_new(capture, 0, 16)
    t.block_writers(True)
    try:
        t.store_append(store, frame(0, 20))  # sealed and queued; the writer waits at its gate
        assert t.store_info(store)["spans"][0][4] == 0
        assert t.store_frame(store, 0) == frame(0, 20)
    finally:
        t.block_writers(False)
    t.capture_finish(capture, [], b"\x80", [store])
    assert t.store_info(store)["spans"][0][4] > 0
    assert t.store_frame(store, 0) == frame(0, 20)  # now through the file


# --- name index bookkeeping -----------------------------------------------------


def test_name_index_follows_drained_and_inserted_frames(capture):
    store = t.store_new(capture, 0)
    t.store_append_many(store, [frame(i) for i in range(6)])
    for index, kind, first, second in [(0, "test", "test_login", "AuthTests"), (3, "request", "GET", "/items/"),
                                       (5, "response", "200", None)]:
        assert t.store_observe(store, index, kind, first, second)
    moved = t.store_drain(store, 2, 4)
    assert t.store_info(moved)["name_index"] == [(1, "request", "GET", "/items/")]
    assert t.store_info(store)["name_index"] == [(0, "test", "test_login", "AuthTests"), (3, "response", "200", None)]
    t.store_insert_store(store, 1, moved)
    assert t.store_info(store)["name_index"] == [
        (0, "test", "test_login", "AuthTests"),
        (2, "request", "GET", "/items/"),
        (5, "response", "200", None),
    ]


def test_name_index_over_its_bounds_becomes_absent(capture):
    store, other = t.store_new(capture, 0), t.store_new(capture, 1)
    for s in (store, other):
        t.store_append_many(s, [frame(i) for i in range(40)])
        for i in range(40):
            assert t.store_observe(s, i, "response", "200")
    t.store_insert_store(store, 40, other)
    assert t.store_info(store)["name_index"] is None
    assert not t.store_observe(store, 0, "response", "200")
