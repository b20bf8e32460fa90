import os
import subprocess
import sys

import pytest

import quib
import quib._platform_info
import quib.git
import quib.version


def test_version_comes_from_the_installed_metadata():
    from importlib.metadata import version

    assert quib.version.__version__ == version("quib") == quib.__version__


def test_environment_is_str_to_str():
    environment = quib._platform_info.environment()
    assert environment and all(isinstance(k, str) and isinstance(v, str) for k, v in environment.items())
    assert environment["pid"] == str(os.getpid())
    assert environment["python_version"].startswith(f"{sys.version_info[0]}.{sys.version_info[1]}")


def git(*args, cwd):
    subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True,
                   env={**os.environ, "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@t", "GIT_COMMITTER_NAME": "t",
                        "GIT_COMMITTER_EMAIL": "t@t"})


def head(cwd):
    return subprocess.run(["git", "rev-parse", "HEAD"], cwd=cwd, check=True, capture_output=True,
                          text=True).stdout.strip()


@pytest.fixture
def repository(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    git("init", "-q", "-b", "main", cwd=repo)
    (repo / "a.txt").write_text("a")
    git("add", "a.txt", cwd=repo)
    git("commit", "-q", "-m", "first", cwd=repo)
    return repo


def test_commit_of_a_branch_loose_and_packed(repository):
    sub = repository / "deep" / "er"
    sub.mkdir(parents=True)
    assert quib.git.current_commit_sha(str(sub)) == head(repository)
    git("pack-refs", "--all", cwd=repository)
    assert quib.git.current_commit_sha(str(repository)) == head(repository)


def test_commit_of_a_detached_head_and_a_worktree(repository, tmp_path):
    git("checkout", "-q", "--detach", cwd=repository)
    assert quib.git.current_commit_sha(str(repository)) == head(repository)
    git("worktree", "add", "-q", str(tmp_path / "wt"), "-b", "side", cwd=repository)
    assert quib.git.current_commit_sha(str(tmp_path / "wt")) == head(repository)


@pytest.mark.parametrize("setup", ["none", "unborn", "garbage"])
def test_no_commit_gives_none(tmp_path, setup):
    if setup == "unborn":
        git("init", "-q", cwd=tmp_path)
    elif setup == "garbage":
        (tmp_path / ".git").mkdir()
        (tmp_path / ".git" / "HEAD").write_text("ref: refs/heads/\x00nothing")
    assert quib.git.current_commit_sha(str(tmp_path)) is None


def test_commit_sha_is_computed_at_import_in_the_working_directory(repository):
    code = "import quib.git; print(quib.git.COMMIT_SHA)"
    result = subprocess.run([sys.executable, "-c", code], cwd=repository, capture_output=True, text=True, check=True)
    assert result.stdout.strip() == head(repository)
