import os
import sys
import textwrap

import pytest

_quib_testing = pytest.importorskip("_quib_testing")
verdict = _quib_testing.filters_verdict


@pytest.mark.parametrize(
    "file_name, include, ignore, expected",
    [
        ("/home/u/app/main.py", [], [], "default"),
        ("/usr/lib/python3.12/json/__init__.py", [], [], "excluded"),
        ("/home/u/lib64/python/x.py", [], [], "excluded"),
        ("/opt/venv/site-packages/x.py", [], [], "excluded"),
        ("/v/lib/site-packages/mylib/a.py", ["site-packages/mylib"], [], "forced"),
        ("/v/lib/site-packages/other/a.py", ["site-packages/mylib"], [], "excluded"),
        ("/x/quib/db.py", [], [], "excluded"),
        ("/x/quib/web/views.py", [], [], "excluded"),
        ("/x/quib/filters/anything/deep.py", [], [], "excluded"),
        ("/x/quib/mymodule.py", [], [], "default"),
        ("/x/quibble/db.py", [], [], "default"),
        ("/x/quib/app/quib/serialize.py", [], [], "excluded"),  # found through the second occurrence
        ("/x/quib/quib/db.py", [], [], "excluded"),
        ("<frozen importlib._bootstrap>", [], [], "excluded"),
        ("prefix<frozen x", [], [], "excluded"),
        ("<string>", [], [], "excluded"),
        ("a<string>b", [], [], "excluded"),
        ("<pytest match expression>", [], [], "excluded"),
        ("<pytest match expression>x", [], [], "default"),
        ("<attrs generated init foo.Bar>", [], [], "excluded"),
        ("<attrs generate", [], [], "default"),
        ("/home/u/app/main.py", [], ["app/"], "excluded"),
        ("/home/u/app/main.py", [], [""], "excluded"),  # an empty needle matches everything
        ("/home/u/app/main.py", ["main"], [""], "forced"),
        ("/usr/lib/python3.12/json/__init__.py", [""], [], "forced"),
        ("", [], [], "default"),
    ],
)
def test_name_verdict(file_name, include, ignore, expected):
    assert verdict(file_name, include, ignore) == expected


@pytest.mark.parametrize(
    "settings, expected",
    [
        (None, []),
        ({}, []),
        ({"include_frames": ["a", "b/", ""]}, ["a", "b/", ""]),
        ({"include_frames": ("x",)}, ["x"]),
        ({"other": ["x"]}, []),
    ],
)
def test_load_filters(settings, expected):
    assert _quib_testing.filters_load(settings, "include_frames") == expected


def test_load_filters_with_a_raising_lookup_is_empty():
    class Raising(dict):
        def __getitem__(self, key):
            raise RuntimeError("no")

    assert _quib_testing.filters_load(Raising(include_frames=["a"]), "include_frames") == []


@pytest.mark.parametrize("value", ["app/", ["a", 3], 5, [b"x"]])
def test_load_filters_rejects_wrong_types(value):
    with pytest.raises(TypeError):
        _quib_testing.filters_load({"include_frames": value}, "include_frames")


def test_include_frame_follows_the_name_verdict():
    include = _quib_testing.filters_include_frame
    assert include("/home/u/app.py", [], []) is True
    assert include("/usr/lib/python3.12/os.py", [], []) is False
    assert include("/usr/lib/python3.12/os.py", ["os.py"], []) is True
    assert include("/home/u/app.py", [], ["app"]) is False
    assert include("<attrs generated eq>", [], []) is False
    assert include("", [], []) is True  # called from this test file, not from attrs


@pytest.fixture
def fake_attrs_make(tmp_path, monkeypatch):
    """A module whose path ends in attr/_make.py that runs code compiled with an empty file name,
    as attrs does for the methods it generates."""
    package = tmp_path / "fakeattrs" / "attr"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "_make.py").write_text(
        textwrap.dedent(
            """
            def run_generated(check):
                code = compile("result = check(__import__('sys')._getframe())", "", "exec")
                namespace = {"check": check}
                exec(code, namespace)
                return namespace["result"]
            """
        )
    )
    monkeypatch.syspath_prepend(str(tmp_path / "fakeattrs"))
    sys.modules.pop("attr", None)
    sys.modules.pop("attr._make", None)
    import attr._make as make

    yield make
    sys.modules.pop("attr", None)
    sys.modules.pop("attr._make", None)


def test_attrs_frame_test_looks_at_the_caller(fake_attrs_make):
    # The frame of the generated code has an empty file name; its caller is attr/_make.py.
    assert fake_attrs_make.run_generated(_quib_testing.filters_attrs) is True
    code = compile("result = check(__import__('sys')._getframe())", "", "exec")
    namespace = {"check": _quib_testing.filters_attrs}
    exec(code, namespace)
    assert namespace["result"] is False  # called from user code


def test_attrs_frame_test_for_named_code():
    assert _quib_testing.filters_attrs(sys._getframe()) is False


def test_real_attrs_generated_methods_are_excluded():
    attr = pytest.importorskip("attr")

    @attr.s
    class Point:
        x = attr.ib()

    file_name = Point.__init__.__code__.co_filename
    assert verdict(file_name, [], []) == "excluded"
    assert os.path.basename(__file__) not in file_name
