"""quib: records what a Python program does (calls, returns, arguments, locals, exceptions) into
trace files, through the native recording engine `_quib`."""

from quib.version import __version__

__all__ = ["__version__"]
