import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def quib(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quib", *args], cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.fixture
def project(tmp_path):
    shutil.copy(EXAMPLES / "inventory.py", tmp_path / "inventory.py")
    return tmp_path


def test_run_list_and_show_an_example(project):
    direct = subprocess.run([sys.executable, "inventory.py"], cwd=project, capture_output=True, text=True)
    run = quib("run", "inventory.py", cwd=project)
    assert run.returncode == 0, run.stderr
    assert run.stdout == direct.stdout  # the program's own output is unchanged
    assert "quib: saved trace trc_" in run.stderr

    listing = quib("list", cwd=project)
    assert listing.returncode == 0
    assert listing.stdout.splitlines()[0].split() == ["TRACE", "TIME", "SIZE", "SOURCE", "NAME"]
    assert "inventory.py" in listing.stdout and "quib run" in listing.stdout

    show = quib("show", "--width", "200", cwd=project)
    assert show.returncode == 0, show.stderr
    text = show.stdout
    assert "thread native_" in text and "(MainThread)" in text and "(auditor)" in text
    assert "__main__.make_record(name='apple', kind='fruit', count=3, price=0.5)  inventory.py:22" in text
    assert "-> returned {'count': 3, 'kind': 'fruit', 'name': 'apple', 'price': 0.5}" in text
    # Nesting: restock_plan recurses, each level one step deeper.
    levels = [line.index("__main__.restock_plan(") for line in text.splitlines() if "__main__.restock_plan(" in line]
    assert levels == sorted(levels) and len(set(levels)) == len(levels) == 5


def test_exit_status_and_failures_of_the_script_are_kept(project):
    (project / "fails.py").write_text("def boom():\n    raise SystemExit(3)\nboom()\n")
    run = quib("run", "fails.py", cwd=project)
    assert run.returncode == 3
    (project / "raises.py").write_text("raise ValueError('from the script')\n")
    run = quib("run", "raises.py", cwd=project)
    assert run.returncode == 1 and "ValueError: from the script" in run.stderr
    assert len(quib("list", cwd=project).stdout.strip().splitlines()) == 3  # header and two traces


def test_settings_file_and_errors(project):
    (project / ".quib").mkdir()
    (project / ".quib" / "config.toml").write_text('db_path = "traces/db.sqlite3"\n[filters]\nignore_frames = ["inventory"]\n')
    run = quib("run", "inventory.py", cwd=project)
    assert run.returncode == 0, run.stderr
    assert (project / "traces" / "db.sqlite3").exists()
    show = quib("show", cwd=project)
    assert "make_record" not in show.stdout  # ignored by the settings

    assert quib("show", "trc_nope", cwd=project).returncode == 1
    assert quib("run", "missing.py", cwd=project).returncode == 2
    (project / ".quib" / "config.toml").write_text("threading = \n")
    bad = quib("run", "inventory.py", cwd=project)
    assert bad.returncode == 2 and "config.toml" in bad.stderr


def test_show_without_traces(tmp_path):
    show = quib("show", cwd=tmp_path)
    assert show.returncode == 1 and "no traces" in show.stderr
