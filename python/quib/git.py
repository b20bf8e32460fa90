"""The commit of the repository the traced program runs in, recorded with every trace.

`COMMIT_SHA` is computed once, at import, from the working directory: the full hex id of the
checked-out commit, or None when the directory is not inside a git repository or the repository
cannot be read. It never raises and never starts a process: it reads the repository's files.
"""

from __future__ import annotations

import os
import re
from typing import Optional

_HEX_ID = re.compile(r"^[0-9a-f]{40}([0-9a-f]{24})?$")
_MAX_SYMBOLIC_DEPTH = 5


def _read_text(path: str) -> Optional[str]:
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as handle:
            return handle.read().strip()
    except OSError:
        return None


def _find_git_dir(start: str) -> Optional[str]:
    directory = os.path.abspath(start)
    while True:
        candidate = os.path.join(directory, ".git")
        if os.path.isdir(candidate):
            return candidate
        if os.path.isfile(candidate):
            # A worktree or submodule: ".git" is a file that points at the real directory.
            text = _read_text(candidate) or ""
            if text.startswith("gitdir:"):
                target = text[len("gitdir:"):].strip()
                return os.path.normpath(os.path.join(directory, target))
            return None
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _common_dir(git_dir: str) -> str:
    text = _read_text(os.path.join(git_dir, "commondir"))
    if not text:
        return git_dir
    return os.path.normpath(os.path.join(git_dir, text))


def _packed_ref(common_dir: str, ref: str) -> Optional[str]:
    text = _read_text(os.path.join(common_dir, "packed-refs"))
    if not text:
        return None
    for line in text.splitlines():
        if line.startswith(("#", "^")):
            continue
        parts = line.split(" ", 1)
        if len(parts) == 2 and parts[1] == ref:
            return parts[0]
    return None


def _resolve(git_dir: str, value: str) -> Optional[str]:
    common_dir = _common_dir(git_dir)
    for _ in range(_MAX_SYMBOLIC_DEPTH):
        if _HEX_ID.match(value):
            return value
        if not value.startswith("ref:"):
            return None
        ref = value[len("ref:"):].strip()
        # Per-worktree refs (HEAD-like) live in the worktree's own directory, branches in the common one.
        loose = _read_text(os.path.join(git_dir, ref)) or _read_text(os.path.join(common_dir, ref))
        if loose is None:
            loose = _packed_ref(common_dir, ref)
            if loose is None:
                return None  # an unborn branch: no commit yet
        value = loose
    return None


def current_commit_sha(start: str = ".") -> Optional[str]:
    """The checked-out commit of the repository containing `start`, or None."""
    try:
        git_dir = _find_git_dir(start)
        if git_dir is None:
            return None
        head = _read_text(os.path.join(git_dir, "HEAD"))
        if head is None:
            return None
        return _resolve(git_dir, head)
    except Exception:  # never fail the import of the package over this
        return None


COMMIT_SHA: Optional[str] = current_commit_sha()
