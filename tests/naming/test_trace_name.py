import msgpack
import pytest

_quib_testing = pytest.importorskip("_quib_testing")


def record(type_, **fields):
    return msgpack.packb({"frame_id": "frm_x", "type": type_, **fields})


FRAME = msgpack.packb({"type": "frame", "event": "call"})


def name_of(records):
    return _quib_testing.trace_name_from_records(records)[0]


@pytest.mark.parametrize(
    "n, expected",
    [(0, []), (1, [0]), (3, [0, 1, 2]), (4, [0, 1, 2, 3]), (6, [0, 1, 2, 3, 4, 5]), (10, [0, 1, 2, 7, 8, 9])],
)
def test_relevant_indices(n, expected):
    assert _quib_testing.relevant_frame_indices(n) == expected


@pytest.mark.parametrize(
    "records, expected",
    [
        ([], None),
        ([record("start_test", test_name="test_login", test_class="AuthTests"), FRAME], "AuthTests.test_login"),
        ([record("start_test", test_name="test_login"), FRAME], "test_login"),
        ([record("start_test", test_name="test_login", test_class=5)], "test_login"),
        (
            [record("django_request", method="GET", path_info="/items/"), FRAME, record("django_response", status_code=200)],
            "GET /items/ 200",
        ),
        ([record("django_request", method="GET", path_info="/x"), record("django_response", status_code=-1)], "GET /x -1"),
        ([record("django_request", method="GET", path_info="/x"), record("django_response", status_code="200")], None),
        ([record("django_request", method="GET", path_info="/x")], None),
        (
            [
                record("django_request", method="GET", path_info="/first"),
                record("django_request", method="POST", path_info="/second"),
                record("django_response", status_code=201),
                record("django_response", status_code=404),
            ],
            "GET /first 404",
        ),
        (
            [
                record("django_request", method="GET", path_info="/x"),
                record("start_test", test_name="test_it"),
                record("django_response", status_code=200),
            ],
            "test_it",
        ),
        # An integer test name gives no test name; the request rule still applies.
        (
            [
                record("start_test", test_name=3),
                record("django_request", method="GET", path_info="/x"),
                record("django_response", status_code=200),
            ],
            "GET /x 200",
        ),
        # The first "type" entry counts; a record that does not decode is skipped.
        ([b"\xc1", msgpack.packb({"type": 1}), record("start_test", test_name="t")], "t"),
    ],
)
def test_names_from_records(records, expected):
    assert name_of(records) == expected


def test_a_naming_record_in_the_middle_is_not_seen():
    records = [FRAME] * 4 + [record("start_test", test_name="hidden")] + [FRAME] * 4
    assert name_of(records) is None


def test_an_unreadable_record_ends_the_test_phase_and_the_request_phase():
    # Unreadable in the test phase: that phase ends without a name, the request phase also stops.
    records = [None, record("start_test", test_name="t")]
    name, reads = _quib_testing.trace_name_from_records(records)
    assert name is None
    assert reads == [0, 0]


def test_every_relevant_record_is_read_once_per_phase():
    name, reads = _quib_testing.trace_name_from_records([FRAME] * 4)
    assert name is None
    assert reads == [0, 1, 2, 3, 0, 1, 2, 3]


@pytest.mark.parametrize(
    "data, expected",
    [
        (msgpack.packb("plain"), "plain"),
        (msgpack.packb(3), None),
        (msgpack.packb(b"bytes"), None),
        (b"\xa2\xff\xfe", None),  # a str that is not valid UTF-8
        (msgpack.packb(msgpack.ExtType(10, "a\udc80b".encode("utf-8", "surrogatepass"))), "a\\udc80b"),
        (msgpack.packb(msgpack.ExtType(10, b"x\xffy")), "x\ufffdy"),
        (msgpack.packb(msgpack.ExtType(10, b"x\xe2\x82")), "x\ufffd"),  # incomplete at the end
        (msgpack.packb(msgpack.ExtType(11, b"x")), None),
    ],
)
def test_name_text(data, expected):
    assert _quib_testing.name_text_of(data) == expected


def test_hostile_counts_do_not_decode():
    # A map header claiming 2**32-1 entries with no bytes behind it is simply not a record.
    assert name_of([b"\xdf\xff\xff\xff\xff"]) is None
    deep = b"\x91" * 2000 + b"\xc0"
    assert name_of([deep]) is None
