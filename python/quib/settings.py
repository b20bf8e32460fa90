"""Recording settings: the `.quib/config.toml` of a project, merged with command-line choices.

The file holds the settings dict that the engine reads, for example::

    threading = true
    max_value_mb = 1
    omit_return_locals = false

    [filters]
    include_frames = ["src/myapp/"]
    ignore_frames = ["tests/fixtures/"]

plus `db_path`, the database to store traces in (default `.quib/db.sqlite3`, relative paths being
relative to the directory that holds `.quib/`).
"""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any, Dict, Optional

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on 3.9 and 3.10
    import tomli as tomllib

CONFIG_DIRECTORY = ".quib"
CONFIG_FILE = "config.toml"
DEFAULT_DB = "db.sqlite3"


class SettingsError(ValueError):
    """The settings file cannot be read or holds a value of the wrong kind."""


def config_path(directory: Optional[os.PathLike] = None) -> Path:
    return Path(directory or os.getcwd()) / CONFIG_DIRECTORY / CONFIG_FILE


def load_config(path: Optional[os.PathLike] = None) -> Dict[str, Any]:
    """The settings in `path` (default: `.quib/config.toml` in the working directory), or an empty
    dict when there is no such file."""
    path = Path(path) if path is not None else config_path()
    try:
        text = path.read_bytes()
    except FileNotFoundError:
        return {}
    except OSError as error:
        raise SettingsError(f"cannot read {path}: {error.strerror or error}") from error
    try:
        config = tomllib.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
        raise SettingsError(f"{path}: {error}") from error
    filters = config.get("filters")
    if filters is not None and not isinstance(filters, dict):
        raise SettingsError(f"{path}: [filters] must be a table")
    return config


def default_db_path(directory: Optional[os.PathLike] = None) -> Path:
    return Path(directory or os.getcwd()) / CONFIG_DIRECTORY / DEFAULT_DB


def resolve_db_path(config: Dict[str, Any], directory: Optional[os.PathLike] = None) -> Path:
    """The database path: the `db_path` setting (relative to the project directory) or the default."""
    base = Path(directory or os.getcwd())
    configured = config.get("db_path")
    if configured is None:
        return default_db_path(base)
    if not isinstance(configured, str) or not configured:
        raise SettingsError("db_path must be a non-empty string")
    path = Path(os.path.expanduser(configured))
    return path if path.is_absolute() else base / path
