import pytest

from quib import settings


def test_missing_file_gives_no_settings(tmp_path):
    assert settings.load_config(tmp_path / "nope.toml") == {}


def test_reads_the_settings_table(tmp_path):
    path = tmp_path / "config.toml"
    path.write_text('threading = false\nmax_value_mb = 0.5\n[filters]\ninclude_frames = ["src/"]\n')
    assert settings.load_config(path) == {
        "threading": False,
        "max_value_mb": 0.5,
        "filters": {"include_frames": ["src/"]},
    }


@pytest.mark.parametrize("text, message", [("threading = ", "config.toml"), ("filters = 3", "must be a table")])
def test_bad_files_are_settings_errors(tmp_path, text, message):
    path = tmp_path / "config.toml"
    path.write_text(text)
    with pytest.raises(settings.SettingsError, match=message):
        settings.load_config(path)


@pytest.mark.parametrize(
    "config, expected",
    [({}, ".quib/db.sqlite3"), ({"db_path": "traces/t.db"}, "traces/t.db"), ({"db_path": "/abs/t.db"}, "/abs/t.db")],
)
def test_db_path_is_relative_to_the_project(tmp_path, config, expected):
    resolved = settings.resolve_db_path(config, tmp_path)
    assert resolved == (tmp_path / expected if not expected.startswith("/") else settings.Path(expected))


def test_db_path_must_be_text(tmp_path):
    with pytest.raises(settings.SettingsError):
        settings.resolve_db_path({"db_path": 3}, tmp_path)
