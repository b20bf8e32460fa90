"""Value serialization: the host side of the value encoder.

The native encoder in ``_quib`` reads the names below from this module's
globals at use time (so tests and integrations may replace them), and it
writes ``IN_QUIB_PROFILER`` while it runs Python code for a value.
``dump_msgpack`` is the same encoding written in Python on top of
``msgpack.packb``; ``load_msgpack`` turns the encoding back into Python values.
"""

import importlib.util
import sys
from datetime import date, datetime, time  # noqa: F401  (read by the encoders)
from decimal import Decimal  # noqa: F401  (read by the encoders)

from quib import _construction

__all__ = [
    "DatabaseAccessBlocked",
    "dump_msgpack",
    "load_msgpack",
    "Repr",
    "Truncated",
    "Unserializable",
    "database_access_blocked",
]

#: True while an encoder runs Python code for a value (repr, isoformat, ...).
IN_QUIB_PROFILER = False


class DatabaseAccessBlocked(Exception):
    """Raised by the database guard for a query issued while a value is encoded.

    The encoders then describe the value with ``_query_free_repr`` instead.
    """


def database_access_blocked():
    """Whether a database query made now comes from an encoder's Python call."""
    if IN_QUIB_PROFILER:
        return True
    native = sys.modules.get("_quib")
    probe = getattr(native, "_native_encode_in_progress", None)
    return bool(probe is not None and probe())


def _database_guard(execute, sql, params, many, context):
    """A Django ``execute_wrapper`` that refuses queries made while encoding."""
    if database_access_blocked():
        raise DatabaseAccessBlocked(
            "Quib blocked a database query made while describing a value")
    return execute(sql, params, many, context)


def install_database_guard():
    """Install the query guard on every Django connection, present and future.

    Does nothing when Django is not loaded.
    """
    if "django.db" not in sys.modules:
        return False
    from django.db import connections
    from django.db.backends.signals import connection_created

    def _add(connection, **_ignored):
        if _database_guard not in connection.execute_wrappers:
            connection.execute_wrappers.append(_database_guard)

    connection_created.connect(_add, weak=False,
                               dispatch_uid="quib.serialize.database_guard")
    for connection in connections.all():
        _add(connection)
    return True


# Query sets. Without Django installed there are none, and the encoders never
# ask again. With Django installed but not yet imported, none exist yet
# either; the class is picked up once the program imports Django's models.
def _django_installed():
    try:
        return importlib.util.find_spec("django") is not None
    except (ImportError, ValueError):
        return "django" in sys.modules


_QuerySet = None
_QuerySet_checked = not _django_installed()


def _get_queryset_class():
    """Django's ``QuerySet`` class once it is loaded, else None."""
    global _QuerySet, _QuerySet_checked
    if _QuerySet_checked:
        return _QuerySet
    query = sys.modules.get("django.db.models.query")
    if query is None:
        return None
    _QuerySet = getattr(query, "QuerySet", None)
    _QuerySet_checked = True
    return _QuerySet


def _query_free_repr(value):
    """Describe ``value`` without running code that may query the database."""
    cls = type(value)
    name = cls.__name__
    qs = _get_queryset_class()
    if qs is not None and isinstance(value, qs):
        model = value.__dict__.get("model")
        model_name = getattr(model, "__name__", None) or "?"
        return f"<{name} of {model_name} (not evaluated by Quib)>"
    meta = getattr(cls, "_meta", None)
    pk = getattr(meta, "pk", None)
    attname = getattr(pk, "attname", None)
    if isinstance(attname, str):
        state = getattr(value, "__dict__", {})
        if attname in state:
            return f"<{name}: pk={state[attname]!r}>"
    return object.__repr__(value)


def _objects_under_construction():
    """The construction list of the caller's stack (see ``quib._construction``)."""
    return _construction.objects_under_construction(sys._getframe(1))


def _under_construction_repr(value, as_method_self=False, lightweight=False):
    """The placeholder text for an object whose construction has not finished.

    ``as_method_self`` says the text describes the ``self`` of a bound
    method; ``lightweight`` that no Python-level code may be run. Neither
    changes the text: it names the class and the address only, which is all
    that can be said safely about a half-built object.
    """
    name = type(value).__qualname__
    if not isinstance(name, str):
        name = "object"
    return f"<{name} object at {id(value):#x} (under construction)>"


def _method_under_construction_repr(method):
    """The placeholder text for a method bound to an object under construction."""
    func = method.__func__
    name = getattr(func, "__qualname__", None)
    if not isinstance(name, str):
        name = getattr(func, "__name__", None)
    if not isinstance(name, str):
        name = "?"
    owner = _under_construction_repr(method.__self__, True, False)
    return f"<bound method {name} of {owner}>"


from quib._decoder import Repr, Truncated, Unserializable, load_msgpack  # noqa: E402
from quib._encoder import dump_msgpack  # noqa: E402
