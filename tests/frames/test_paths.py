import os
import sys

import pytest

_quib_testing = pytest.importorskip("_quib_testing")


@pytest.mark.parametrize(
    "path, normalized",
    [
        (b"/a/./b/../c.py", b"/a/c.py"),
        (b"//a//b/", b"/a/b"),
        (b"/..", b"/"),
        (b"/../x", b"/x"),
        (b"./a", b"a"),
        (b"a/../..", b".."),
        (b"../../a/../b", b"../../b"),
        (b"", b"."),
        (b".", b"."),
        (b"a/..", b"."),
        (b"<string>", b"<string>"),
    ],
)
def test_lexical_normalize(path, normalized):
    assert _quib_testing.lexical_normalize(path) == normalized


@pytest.mark.parametrize(
    "filename, relative",
    [
        ("/home/u/proj/a/./b/../c.py", "a/c.py"),
        ("/home/u/proj", "."),
        ("/home/u/proj/", "."),
        ("/usr/lib/x.py", "../../../usr/lib/x.py"),
        ("/home/u/other/y.py", "../other/y.py"),
        ("/home/u/projects/z.py", "../projects/z.py"),  # a common prefix of text is not a common directory
        ("/home/u", ".."),
        ("/", "../../.."),
        ("<string>", "<string>"),
        ("a/../b.py", "b.py"),
    ],
)
def test_relative_path(filename, relative):
    assert _quib_testing.relative_path(filename, "/home/u/proj") == relative


def test_relative_path_normalizes_the_base_too():
    assert _quib_testing.relative_path("/home/u/proj/a.py", "/home//u/./proj/sub/..") == "a.py"


def test_relative_path_replaces_invalid_utf8():
    assert _quib_testing.relative_path(b"/home/u/proj/caf\xe9/\xe2\x82.py", "/home/u/proj") == "caf\ufffd/\ufffd.py"
    assert _quib_testing.relative_path("/home/u/proj/café.py", "/home/u/proj") == "café.py"


def frame_path(cache, frame):
    return _quib_testing.path_cache_call(cache, "frame", frame)


def test_path_cache_gives_relative_path_with_line(tmp_path, monkeypatch):
    monkeypatch.chdir(os.path.dirname(__file__))
    cache = _quib_testing.path_cache_new()
    assert _quib_testing.path_cache_call(cache, "base") == os.path.dirname(__file__)
    frame = sys._getframe()
    path, code, eligible = frame_path(cache, frame)
    assert path == f"test_paths.py:{frame.f_lineno - 1}"
    assert code is frame.f_code and eligible is True
    assert _quib_testing.path_cache_call(cache, "size") == 1


def test_marking_native_encoding_unsupported(monkeypatch):
    monkeypatch.chdir("/")
    cache = _quib_testing.path_cache_new()
    frame = sys._getframe()
    first, code, _ = frame_path(cache, frame)
    _quib_testing.path_cache_call(cache, "mark", code)
    _quib_testing.path_cache_call(cache, "mark", compile("", "other", "exec"))  # not cached: ignored
    second, _, eligible = frame_path(cache, frame)
    assert eligible is False
    assert second.rsplit(":", 1)[0] == first.rsplit(":", 1)[0] == __file__.lstrip("/")
    assert _quib_testing.path_cache_call(cache, "size") == 1


def test_path_cache_keeps_code_alive():
    cache = _quib_testing.path_cache_new()
    seen = {}

    def capture():
        seen["path"] = frame_path(cache, sys._getframe(1))[0]

    code = compile("capture()", "/nowhere/generated.py", "exec")
    before = sys.getrefcount(code)
    exec(code, {"capture": capture})
    assert sys.getrefcount(code) == before + 1  # the entry's reference
    assert seen["path"].endswith("nowhere/generated.py:1")


def test_unreadable_working_directory_is_an_internal_failure(tmp_path, monkeypatch):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    with pytest.raises(BaseException) as caught:
        _quib_testing.path_cache_new()
    assert type(caught.value).__name__ == "InternalPanic"
    assert str(caught.value) == "Current directory is invalid"
