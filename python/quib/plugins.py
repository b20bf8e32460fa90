"""Plug-ins: functions whose calls add records of their own to a trace (a web request and its
response, the start and end of a test).

A plug-in is a dict that the engine reads once, when a tracer starts:

- "co_names": the code names (function names) whose frames it looks at (required);
- "path_fragment": text that the function's file name must contain (required, may be "");
- "call_type", "return_type": the record types of a call and a return (required);
- "unwind_type", "resume_type", "yield_type", "throw_type", "subtype": optional record types;
- "call": optional matcher(frame, event, arg, context) -> bool deciding whether an event counts;
- "process": optional processor(frame, event, arg, context) -> mapping merged into the record;
- "build_context": optional function(config) -> dict, made once and handed to both callables;
- "events": optional list of the event names to process ("call", "return", "unwind", ...).

The settings choose plug-ins with the key "plugins": a list whose entries are such dicts, or
strings "package.module" or "package.module:attribute" naming a dict, a list of dicts, or a
function of no arguments returning either. A module named without an attribute provides
`QUIB_PLUGINS`.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Mapping

PLUGINS_KEY = "plugins"
MODULE_ATTRIBUTE = "QUIB_PLUGINS"


class PluginError(ValueError):
    """A plug-in named in the settings cannot be loaded."""


def _resolve_reference(reference: str) -> Any:
    module_name, _, attribute = reference.partition(":")
    if not module_name:
        raise PluginError(f"plugin reference {reference!r} names no module")
    try:
        module = importlib.import_module(module_name)
    except ImportError as error:
        raise PluginError(f"plugin module {module_name!r} cannot be imported: {error}") from error
    name = attribute or MODULE_ATTRIBUTE
    try:
        target = getattr(module, name)
    except AttributeError:
        raise PluginError(f"plugin module {module_name!r} has no attribute {name!r}") from None
    if callable(target) and not isinstance(target, (dict, list, tuple)):
        target = target()
    return target


def _as_plugin_list(value: Any, origin: str) -> List[Dict[str, Any]]:
    if isinstance(value, dict):
        return [value]
    if isinstance(value, (list, tuple)):
        plugins = []
        for item in value:
            if not isinstance(item, dict):
                raise PluginError(f"{origin}: every plugin must be a dict, not {type(item).__name__}")
            plugins.append(item)
        return plugins
    raise PluginError(f"{origin}: expected a plugin dict or a list of them, not {type(value).__name__}")


def load_plugin_data(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    """The plug-in dicts that `config` declares, in order. Raises PluginError for a plug-in that
    cannot be loaded; the engine checks the dicts' entries."""
    declared = config.get(PLUGINS_KEY) if isinstance(config, Mapping) else None
    if declared is None:
        return []
    if isinstance(declared, (str, dict)):
        declared = [declared]
    if not isinstance(declared, (list, tuple)):
        raise PluginError(f"settings key {PLUGINS_KEY!r} must be a list, not {type(declared).__name__}")
    plugins: List[Dict[str, Any]] = []
    for entry in declared:
        if isinstance(entry, str):
            plugins.extend(_as_plugin_list(_resolve_reference(entry), f"plugin {entry!r}"))
        elif isinstance(entry, dict):
            plugins.append(entry)
        else:
            raise PluginError(f"plugin entries must be dicts or 'module:attribute' strings, not {type(entry).__name__}")
    return plugins
