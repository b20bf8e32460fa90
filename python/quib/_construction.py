"""Which objects are still being constructed on the current stack.

A traced ``__init__`` already has ``self`` among its locals while the object
is half built; calling its repr (or a method bound to it) may fail or run code
that misbehaves on such an object. The value encoders ask this module, once
per encoding job, which objects to describe with a placeholder instead.

The answer is a flat list of integers (object and type addresses, as
``id()`` gives them):

* element 0: n, the number of direct entries;
* elements 1 to n: addresses of objects under construction (the ``self`` of
  every ``__init__`` frame on the stack);
* then zero or more type groups ``T, F, k, a1 .. ak``: every instance of the
  type at address T (or of a subtype; with F = 1 only when that type has an
  ``__init__`` of its own) except the k listed addresses is under
  construction. A ``__new__`` frame produces such a group: the new object
  has no name the encoder could know, so every instance of the class counts,
  except the ones passed in as arguments (they existed before the call).
"""

import sys

__all__ = ["objects_under_construction", "is_listed"]


def _first_argument(frame, code):
    """The value bound to the frame's first parameter, or None if unbound."""
    if code.co_argcount < 1:
        return None
    name = code.co_varnames[0]
    try:
        return frame.f_locals.get(name)
    except Exception:
        # A frame whose locals cannot be read tells us nothing.
        return None


def _positional_arguments(frame, code):
    names = code.co_varnames[1:code.co_argcount]
    try:
        local_values = frame.f_locals
    except Exception:
        return []
    return [local_values[name] for name in names if name in local_values]


def objects_under_construction(start=None):
    """Return the construction list for the stack above ``start``.

    ``start`` defaults to the caller's frame. Only ``__init__`` and
    ``__new__`` frames contribute; nothing on the stack is called.
    """
    frame = start if start is not None else sys._getframe(1)
    direct = []
    groups = []
    seen = set()
    while frame is not None:
        code = frame.f_code
        name = code.co_name
        if name == "__init__":
            obj = _first_argument(frame, code)
            if obj is not None and id(obj) not in seen:
                seen.add(id(obj))
                direct.append(id(obj))
        elif name == "__new__":
            cls = _first_argument(frame, code)
            if isinstance(cls, type):
                existing = [
                    id(arg)
                    for arg in _positional_arguments(frame, code)
                    if isinstance(arg, cls)
                ]
                groups.append(id(cls))
                groups.append(0)
                groups.append(len(existing))
                groups.extend(existing)
        frame = frame.f_back
    return [len(direct), *direct, *groups]


def is_listed(obj, listing):
    """Whether ``obj`` is under construction according to ``listing``.

    The same rule as the native encoder's, for the Python encoder.
    """
    if len(listing) < 2:
        return False
    count = min(listing[0], len(listing) - 1)
    address = id(obj)
    if address in listing[1:1 + count]:
        return True
    position = 1 + count
    obj_type = type(obj)
    while len(listing) - position >= 3:
        type_address, flag, members = listing[position:position + 3]
        exempt = listing[position + 3:position + 3 + members]
        position += 3 + members
        if address in exempt:
            continue
        for base in obj_type.__mro__:
            if id(base) == type_address:
                if flag == 0 or obj_type.__init__ is not object.__init__:
                    return True
                break
    return False
