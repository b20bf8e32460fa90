"""The installed package's version, as recorded in every trace's metadata."""

from __future__ import annotations


def _installed_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - importlib.metadata exists on every supported Python
        return "0+unknown"
    try:
        return version("quib")
    except PackageNotFoundError:
        # Running from a source tree that was never installed.
        return "0+unknown"


__version__: str = _installed_version()
