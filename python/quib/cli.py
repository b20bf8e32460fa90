"""The `quib` command line (also `python -m quib`)."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional


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
        summary = (member.__doc__ or "").strip().splitlines()
        print(f"  {name}{getattr(member, '__text_signature__', None) or ''}")
        if summary and arguments.verbose:
            print(f"      {summary[0]}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quib", description="Record and inspect execution traces of Python programs.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
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
    return arguments.handler(arguments)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
