"""The `quib` command: record a program, list the recorded traces, show one as a call tree.

    quib run [options] script.py [args...]
    quib list
    quib show [TRACE_ID]
    quib info
"""

from __future__ import annotations

import argparse
import datetime
import os
import runpy
import shutil
import sys
import traceback
from pathlib import Path
from typing import List, Optional

from quib import settings


def _db_path(arguments: argparse.Namespace, config: Optional[dict] = None) -> Path:
    if arguments.db:
        return Path(arguments.db)
    if config is None:
        config = settings.load_config(arguments.config)
    return settings.resolve_db_path(config)


def _run_config(arguments: argparse.Namespace) -> dict:
    config = settings.load_config(arguments.config)
    config.setdefault("threading", True)
    if arguments.no_threads:
        config["threading"] = False
    filters = dict(config.get("filters") or {})
    for key, extra in (("include_frames", arguments.include), ("ignore_frames", arguments.ignore)):
        if extra:
            filters[key] = list(filters.get(key) or []) + list(extra)
    if filters:
        config["filters"] = filters
    if arguments.max_value_mb is not None:
        config["max_value_mb"] = arguments.max_value_mb
    return config


def _command_run(arguments: argparse.Namespace) -> int:
    from quib.profiler import Profiler

    script = Path(arguments.script)
    if not script.is_file():
        print(f"quib: no such script: {script}", file=sys.stderr)
        return 2
    config = _run_config(arguments)
    db_path = _db_path(arguments, config)
    db_path.parent.mkdir(parents=True, exist_ok=True)
    config.pop("db_path", None)
    profiler = Profiler(db_path=db_path, config=config, trace_name=arguments.name or script.name, source="quib run")

    # Run the script as `python script.py args` would: its own argv, its directory on sys.path.
    sys.argv = [str(script)] + list(arguments.args)
    sys.path.insert(0, str(script.resolve().parent))
    status = 0
    profiler.start()
    try:
        runpy.run_path(str(script), run_name="__main__")
    except SystemExit as stop:
        code = stop.code
        status = code if isinstance(code, int) else (0 if code is None else 1)
        if code is not None and not isinstance(code, int):
            print(code, file=sys.stderr)
    except BaseException:  # the program's own failure: shown as Python would, and still saved
        traceback.print_exc()
        status = 1
    finally:
        profiler.stop()
    if profiler.panicked:
        print("quib: recording stopped after an internal error; no trace was saved", file=sys.stderr)
        return status or 1
    trace_id = profiler.save()
    print(f"quib: saved trace {trace_id} in {db_path}", file=sys.stderr)
    return status


def _format_time(timestamp: Optional[float]) -> str:
    if timestamp is None:
        return "-"
    return datetime.datetime.fromtimestamp(timestamp).strftime("%Y-%m-%d %H:%M:%S")


def _format_size(size: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return str(size)


def _command_list(arguments: argparse.Namespace) -> int:
    from quib import db

    db_path = _db_path(arguments)
    traces = db.list_traces(db_path, limit=arguments.limit)
    if not traces:
        print(f"quib: no traces in {db_path}")
        return 0
    rows = [("TRACE", "TIME", "SIZE", "SOURCE", "NAME")]
    for trace in traces:
        rows.append(
            (
                trace.id + (" (recovered)" if trace.recovered else ""),
                _format_time(trace.timestamp if trace.timestamp is not None else trace.created_at),
                _format_size(trace.size),
                trace.source or "-",
                trace.name or "-",
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[-1])
    return 0


def _command_show(arguments: argparse.Namespace) -> int:
    from quib import db, trace

    db_path = _db_path(arguments)
    try:
        if arguments.trace_id:
            record = db.find_trace(db_path, arguments.trace_id)
        else:
            record = db.latest_trace(db_path)
            if record is None:
                print(f"quib: no traces in {db_path}", file=sys.stderr)
                return 1
    except LookupError as error:
        print(f"quib: {error.args[0]}", file=sys.stderr)
        return 1
    path = record.path(db_path)
    try:
        loaded = trace.load_trace(path)
    except (OSError, ValueError) as error:
        print(f"quib: cannot read {path}: {error}", file=sys.stderr)
        return 1
    width = arguments.width or max(60, shutil.get_terminal_size((100, 20)).columns)
    for line in trace.render(loaded, width=width):
        print(line)
    return 0


def _command_info(arguments: argparse.Namespace) -> int:
    import _quib

    import quib._platform_info
    import quib.git
    from quib.version import __version__

    print(f"quib {__version__}")
    print(f"commit of the working directory: {quib.git.COMMIT_SHA or '(not in a git repository)'}")
    print("environment:")
    for key, value in quib._platform_info.environment().items():
        print(f"  {key}: {value}")
    print(f"engine _quib ({_quib.__file__}):")
    for name in _quib.__all__:
        member = getattr(_quib, name)
        print(f"  {name}{getattr(member, '__text_signature__', None) or ''}")
        summary = (member.__doc__ or "").strip().splitlines()
        if summary and arguments.verbose:
            print(f"      {summary[0]}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quib", description="Record and inspect execution traces of Python programs.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def with_storage(command: argparse.ArgumentParser) -> None:
        command.add_argument("--db", help="trace database (default: db_path of the settings, or .quib/db.sqlite3)")
        command.add_argument("--config", help="settings file (default: .quib/config.toml)")

    run = commands.add_parser("run", help="run a Python script and record its trace")
    with_storage(run)
    run.add_argument("--name", help="name of the trace")
    run.add_argument("--include", action="append", metavar="TEXT", help="record files whose path contains TEXT")
    run.add_argument("--ignore", action="append", metavar="TEXT", help="do not record files whose path contains TEXT")
    run.add_argument("--no-threads", action="store_true", help="record only the main thread")
    run.add_argument("--max-value-mb", type=float, metavar="MB", help="cap on one recorded value's encoded size")
    run.add_argument("script", help="the script to run")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the script")
    run.set_defaults(handler=_command_run)

    listing = commands.add_parser("list", help="list the recorded traces, newest first")
    with_storage(listing)
    listing.add_argument("--limit", type=int, help="show at most this many")
    listing.set_defaults(handler=_command_list)

    show = commands.add_parser("show", help="print a trace as a call tree (default: the newest)")
    with_storage(show)
    show.add_argument("trace_id", nargs="?", help="trace id, or a unique prefix of it")
    show.add_argument("--width", type=int, help="shorten values to fit this many columns")
    show.set_defaults(handler=_command_show)

    info = commands.add_parser("info", help="show the installed engine, its version and this machine")
    info.add_argument("-v", "--verbose", action="store_true", help="describe every engine function")
    info.set_defaults(handler=_command_info)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if getattr(arguments, "handler", None) is None:
        parser.print_help()
        return 2
    try:
        return arguments.handler(arguments)
    except settings.SettingsError as error:
        print(f"quib: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
