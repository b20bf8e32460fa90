"""The Python value encoder: the bytes the native encoder writes, in Python.

The common case is ``msgpack.packb`` with a default hook that handles every
value MessagePack has no type for (tuples, sets, dates, big integers,
arbitrary objects, ...). Two situations need more than a hook can do, and
run a walker that writes the bytes itself, with the native encoder's rules:

* careful mode: a first attempt failed because a container contains itself,
  a string has a lone surrogate, or a memoryview was released; the walker
  writes placeholders and extension 10 instead of failing;
* shared references: a value with 1024 or more plain lists and dicts, whose
  repeated containers the native encoder replaces by back references.

Known difference: the fast path counts the nesting of dict-subclass copies
as MessagePack does (one level), the native encoder as two, so values nested
more than about 500 dict subclasses deep are only encoded by the native one.
"""

import importlib
import os
import struct
import sys
import types

import msgpack
from msgpack import ExtType, Timestamp, packb

from quib import _construction

__all__ = ["PyEncoder", "dump_msgpack", "count_plain_containers",
           "needs_careful", "truncation_marker", "NEST_LIMIT"]

NEST_LIMIT = 1024 if (msgpack.version >= (1, 2) or msgpack.version[0] > 1) else 511
TRACKING_START = 1024
MAX_REMEMBERED = 262144
NO_BUDGET = (1 << 64) - 1
_U32 = 1 << 32
_I64_MIN = -(1 << 63)
_U64_END = 1 << 64
_HEAPTYPE = 1 << 9
_MethodType = types.MethodType
_OBJECT_CLASS = object.__dict__["__class__"]
_OBJECT_GETATTRIBUTE = object.__dict__["__getattribute__"]
_CAREFUL_VALUE_ERRORS = frozenset((
    "recursion limit exceeded.",
    "recursion limit exceeded",
    "operation forbidden on released memoryview object",
))
_CONTAINERS = ((tuple, 6, "(...)"), (set, 7, "set(...)"),
               (frozenset, 8, "frozenset(...)"))
_MEMO_LIMIT = 1024
_EXT, _DICT, _WRITTEN = 0, 1, 2
_MISSING = object()

#: ``QUIB_CONSTRUCTION_CHECK=0`` turns the objects-under-construction check off.
CHECK_OFF = os.environ.get("QUIB_CONSTRUCTION_CHECK") == "0"


class _OverBudget(Exception):
    """The walker went past the value's budget (never leaves this module)."""


def needs_careful(error):
    """Whether ``error`` calls for a second, careful attempt at the value."""
    kind = type(error)
    if kind is RecursionError:
        return True
    if kind is ValueError:
        args = error.args
        return (len(args) == 1 and type(args[0]) is str
                and args[0] in _CAREFUL_VALUE_ERRORS)
    if kind is UnicodeEncodeError:
        return type(error.reason) is str and error.reason == "surrogates not allowed"
    return False


def count_plain_containers(value, limit):
    """Exact lists and dicts in ``value`` (list items, dict values), at most limit."""
    kind = type(value)
    if kind is not list and kind is not dict:
        return 0
    limit = max(limit, 1)
    stack = [value]
    count = 0
    while stack:
        container = stack.pop()
        count += 1
        if count + len(stack) >= limit:
            return limit
        items = container if type(container) is list else container.values()
        for item in items:
            item_kind = type(item)
            if item_kind is list or item_kind is dict:
                stack.append(item)
                if count + len(stack) >= limit:
                    return limit
    return count


def _native_counter():
    native = sys.modules.get("_quib")
    return getattr(native, "_count_plain_containers", None)


def truncation_marker(value, budget):
    """The extension 12 value written in place of a value over its budget."""
    try:
        name = type(value).__qualname__
        if not isinstance(name, str):
            raise TypeError
        name = name[:200].encode("utf-8", "backslashreplace")
        if not isinstance(name, bytes):
            raise TypeError
    except Exception:
        name = b"object"
    limit = NO_BUDGET if budget is None else budget
    text = (name + b" exceeded max_value_mb (" + str(limit).encode()
            + b" bytes); raise max_value_mb in .quib/config.toml or set it to false")
    return packb(ExtType(12, text))


def _lookup(cls, name):
    for base in cls.__mro__:
        found = base.__dict__.get(name)
        if found is not None:
            return found
    return None


def _describing_is_inert(target_type, is_method, lightweight):
    """Whether describing an instance of a heap type runs none of its own code."""
    base = target_type
    while base.__flags__ & _HEAPTYPE:
        base = base.__base__
    return (base is object
            and (target_type.__repr__ is object.__repr__
                 or (not is_method and lightweight))
            and _lookup(target_type, "__getattribute__") is _OBJECT_GETATTRIBUTE
            and _lookup(target_type, "__getattr__") is None
            and _lookup(target_type, "__class__") is _OBJECT_CLASS)


def _format_field(value):
    if isinstance(value, str):
        return value
    text = format(value)
    if not isinstance(text, str):
        raise TypeError("format() did not return a string")
    return text


def _str_header(n):
    if n < 32:
        return bytes((0xa0 | n,))
    if n < 0x100:
        return bytes((0xd9, n))
    return struct.pack(">BH", 0xda, n) if n < 0x10000 else struct.pack(">BI", 0xdb, n)


def _bin_header(n):
    if n < 0x100:
        return bytes((0xc4, n))
    return struct.pack(">BH", 0xc5, n) if n < 0x10000 else struct.pack(">BI", 0xc6, n)


def _array_header(n):
    if n < 16:
        return bytes((0x90 | n,))
    return struct.pack(">BH", 0xdc, n) if n < 0x10000 else struct.pack(">BI", 0xdd, n)


def _map_header(n):
    if n < 16:
        return bytes((0x80 | n,))
    return struct.pack(">BH", 0xde, n) if n < 0x10000 else struct.pack(">BI", 0xdf, n)


_FIXEXT = {1: 0xd4, 2: 0xd5, 4: 0xd6, 8: 0xd7, 16: 0xd8}


def _ext_header(code, n):
    fixed = _FIXEXT.get(n)
    if fixed is not None:
        return bytes((fixed, code & 0xff))
    if n < 0x100:
        return struct.pack(">BBb", 0xc7, n, code)
    if n < 0x10000:
        return struct.pack(">BHb", 0xc8, n, code)
    return struct.pack(">BIb", 0xc9, n, code)


class PyEncoder:
    """One encoding job: the state the native encoder keeps per job."""

    def __init__(self, max_value_bytes=None, lightweight_repr=False):
        if max_value_bytes is not None and (
                type(max_value_bytes) is not int or max_value_bytes < 0):
            raise TypeError("max_value_bytes must be None or a non-negative int")
        self.budget = max_value_bytes
        self.lightweight = bool(lightweight_repr)
        self.default_hook_used = False
        self.truncated = False
        self.careful = False
        self._host = importlib.import_module("quib.serialize")
        self._memo = {}
        self._construction = None
        self._flag_held = False
        self._flag_before = False
        self._out = None
        self._reset()

    # -- entry -------------------------------------------------------------

    def encode(self, value):
        """The MessagePack bytes of ``value`` (a truncation marker if too big)."""
        self.truncated = False
        try:
            data = self._encode(value)
        finally:
            self._release_flag()
        if data is None or (self.budget is not None and len(data) > self.budget):
            self.truncated = True
            return truncation_marker(value, self.budget)
        return data

    def _encode(self, value):
        counter = _native_counter() or count_plain_containers
        if counter(value, TRACKING_START) < TRACKING_START:
            self._reset()
            try:
                return packb(value, default=self._hook, strict_types=True)
            except BaseException as error:
                if not needs_careful(error):
                    raise
            if self.budget is None:
                return self._walk(value, careful=True)
        # The walker's first attempt stops where the native one does: at the
        # budget, which may come before the error that asks for care.
        try:
            return self._walk(value, careful=False)
        except BaseException as error:
            if not needs_careful(error):
                raise
        return self._walk(value, careful=True)

    def _reset(self):
        self._progress = {}
        self._ext_depth = 0
        self._dict_copy_depth = 0
        self._plain = 0
        self._tracking = False
        self._index = {}
        self._kept = []
        self._completed = 0
        self._placeholders = 0
        self._base = 0
        self._credit = 0

    def _walk(self, value, careful):
        self._reset()
        self.careful = careful
        self._out = bytearray()
        # The walker recurses in Python, about two frames per nesting level;
        # it must reach the nesting limit wherever the caller stands.
        self._recursion_limit = sys.getrecursionlimit()
        sys.setrecursionlimit(self._recursion_limit + 3 * NEST_LIMIT)
        try:
            self._pack(value, NEST_LIMIT)
            self._check(0)
            return bytes(self._out)
        except _OverBudget:
            return None
        finally:
            sys.setrecursionlimit(self._recursion_limit)
            self._out = None
            self.careful = False
            self._reset()

    # -- host flag ---------------------------------------------------------

    def _set_flag(self):
        if self._flag_held:
            return
        self._flag_held = True
        if not self.lightweight:
            self._flag_before = self._host.IN_QUIB_PROFILER
            self._host.IN_QUIB_PROFILER = True

    def _release_flag(self):
        if self._flag_held:
            self._flag_held = False
            if not self.lightweight:
                self._host.IN_QUIB_PROFILER = self._flag_before

    def _global(self, name):
        found = self._host.__dict__.get(name, _MISSING)
        if found is _MISSING:
            raise NameError(f"name '{name}' is not defined")
        return found

    # -- budget ------------------------------------------------------------

    def _check(self, n):
        if self._out is None or self.budget is None:
            return
        if self._base + len(self._out) + n - self._credit > self.budget:
            raise _OverBudget

    def _remaining(self):
        return max(0, self.budget + self._credit - self._base - len(self._out))

    # -- the walker: exact types -------------------------------------------

    def _pack(self, obj, depth):
        if depth < 0:
            raise ValueError("recursion limit exceeded.")
        out = self._out
        if obj is None:
            out.append(0xc0)
        elif obj is True:
            out.append(0xc3)
        elif obj is False:
            out.append(0xc2)
        else:
            kind = type(obj)
            if kind is int:
                if _I64_MIN <= obj < _U64_END:
                    out += packb(obj)
                else:
                    self._uncommon_into(obj, depth - 1)
            elif kind is float:
                out += struct.pack(">Bd", 0xcb, obj)
            elif kind is str:
                self._pack_str(obj)
            elif kind is bytes:
                self._pack_bin(obj, "bytes object is too large")
            elif kind is list or kind is dict:
                self._pack_container(obj, depth)
            elif kind is bytearray:
                self._pack_bin(obj, "bytearray object is too large")
            elif kind is ExtType or kind is Timestamp or kind is memoryview:
                self._pack_with_msgpack(obj)
            else:
                self._uncommon_into(obj, depth - 1)

    def _pack_str(self, text):
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:
            if not self.careful:
                raise
            data = text.encode("utf-8", "surrogatepass")
            self._check(len(data))
            self._write_ext(10, data)
            return
        if len(data) >= _U32:
            raise ValueError("unicode string is too large")
        self._check(len(data))
        self._out += _str_header(len(data))
        self._out += data

    def _pack_bin(self, data, too_large):
        if len(data) >= _U32:
            raise ValueError(too_large)
        self._check(len(data))
        self._out += _bin_header(len(data))
        self._out += data

    def _write_ext(self, code, data):
        if len(data) >= _U32:
            raise ValueError("EXT data is too large")
        self._out += _ext_header(code, len(data))
        self._out += data

    def _pack_with_msgpack(self, obj):
        if type(obj) is ExtType and isinstance(obj.data, bytes):
            self._check(len(obj.data))
        elif type(obj) is memoryview:
            try:
                self._check(obj.nbytes)
            except ValueError:
                pass
        self._set_flag()
        try:
            data = packb(obj, strict_types=True)
        except ValueError as error:
            if not (self.careful and type(obj) is memoryview
                    and needs_careful(error)):
                raise
            text = repr(obj).encode("utf-8")
            self._check(len(text))
            self._write_ext(0, text)
            return
        self._check(len(data))
        self._out += data

    # -- the walker: lists and dicts, careful mode, shared references -------

    def _pack_container(self, container, depth):
        if self._ext_depth == 0 and self._dict_copy_depth == 0:
            if not self._tracking:
                self._plain += 1
                if self._plain >= TRACKING_START:
                    self._tracking = True
            else:
                ordinal = self._index.get(id(container))
                if ordinal is not None:
                    distance = self._completed - 1 - ordinal
                    if distance < _U32:
                        self._out += b"\xd6\x0b" + distance.to_bytes(4, "big")
                        return
        is_list = type(container) is list
        size = len(container)
        self._check(size if is_list else 2 * size)
        if size >= _U32:
            raise ValueError("list is too large" if is_list else "dict is too large")
        address = id(container)
        if self.careful:
            if address in self._progress:
                self._write_placeholder("[...]" if is_list else "{...}")
                return
            self._progress[address] = 1
        placeholders = self._placeholders
        try:
            if is_list:
                self._out += _array_header(size)
                for i, item in enumerate(list(container)):
                    if i and not i % 256:
                        self._check(0)
                    self._pack(item, depth - 1)
            else:
                self._out += _map_header(size)
                for i, (key, value) in enumerate(list(container.items())):
                    if i and not i % 128:
                        self._check(0)
                    self._pack(key, depth - 1)
                    self._pack(value, depth - 1)
        finally:
            if self.careful:
                del self._progress[address]
        if self._ext_depth == 0 and self._tracking:
            eligible = (size > 1 and self._dict_copy_depth == 0
                        and (not self.careful or placeholders == self._placeholders))
            ordinal = self._completed
            self._completed += 1
            if eligible and len(self._kept) < MAX_REMEMBERED:
                self._kept.append(container)
                self._index[address] = ordinal

    def _write_placeholder(self, text):
        self._placeholders += 1
        data = text.encode()
        self._check(len(data))
        self._write_ext(0, data)

    # -- values MessagePack has no type for ---------------------------------

    def _hook(self, obj):
        """The default hook of ``msgpack.packb``."""
        result = self._uncommon(obj, None)
        if result[0] == _EXT:
            return ExtType(result[1], result[2])
        return result[1]

    def _uncommon_into(self, obj, depth):
        result = self._uncommon(obj, depth)
        if result[0] == _EXT:
            self._check(len(result[2]))
            self._write_ext(result[1], result[2])
            self._check(0)

    def _placeholder(self, text):
        if self._out is not None:
            self._write_placeholder(text)
            return (_WRITTEN,)
        self._placeholders += 1
        return (_EXT, 0, text.encode())

    def _uncommon(self, obj, depth):
        kind = type(obj)
        if kind is tuple:
            if self.careful and id(obj) in self._progress:
                return self._placeholder("(...)")
            return (_EXT, 6, self._extension_items(obj, False, obj))
        start = None if self._out is None else len(self._out)
        completed = self._completed
        try:
            self.default_hook_used = True
            self._set_flag()
            if not CHECK_OFF and ((kind is _MethodType and not self.lightweight)
                                  or kind.__flags__ & _HEAPTYPE):
                text = self._construction_default(obj, kind)
                if text is not None:
                    return (_EXT, 0, text.encode("utf-8", "backslashreplace"))
            for cls, code, placeholder in _CONTAINERS:
                if isinstance(obj, cls):
                    if self.careful and id(obj) in self._progress:
                        return self._placeholder(placeholder)
                    if kind is set or kind is frozenset:
                        self._check(len(obj))
                    items = list(obj)
                    return (_EXT, code, self._extension_items(obj, True, items))
            if isinstance(obj, dict):
                if self.careful and id(obj) in self._progress:
                    return self._placeholder("{...}")
                copy = dict(obj)
                if self._out is None:
                    return (_DICT, copy)
                self._pack_dict_copy(obj, copy, depth)
                return (_WRITTEN,)
            return (_EXT,) + self._default_leaf(obj)
        except _OverBudget:
            raise
        except BaseException as error:
            if start is not None:
                # What was cut is not in the output: a reader must not count
                # the containers completed inside it.
                del self._out[start:]
                self._completed = completed
            return self._default_error(obj, error)

    def _pack_dict_copy(self, original, copy, depth):
        tracked = self.careful or depth <= 8
        address = id(original)
        if tracked:
            if address in self._progress:
                raise ValueError("recursion limit exceeded.")
            self._progress[address] = 1
        self._dict_copy_depth += 1
        try:
            self._pack_container(copy, depth)
        finally:
            self._dict_copy_depth -= 1
            if tracked:
                del self._progress[address]

    def _extension_items(self, value, as_list, items):
        open_now = self._ext_depth
        limit = sys.getrecursionlimit() if self._out is None else self._recursion_limit
        if open_now > 15 and open_now >= limit // (
                3 + self.careful + self.lightweight):
            raise RecursionError("maximum recursion depth exceeded")
        pushed = open_now >= 8 or self.careful
        if pushed:
            if id(value) in self._progress:
                raise RecursionError("maximum recursion depth exceeded")
            self._progress[id(value)] = 1
        self._ext_depth += 1
        try:
            if self._out is None:
                return packb(items if as_list else list(items),
                             default=self._hook, strict_types=True)
            return self._walk_payload(items, as_list)
        finally:
            self._ext_depth -= 1
            if pushed:
                del self._progress[id(value)]

    def _walk_payload(self, items, as_list):
        """Items of an extension, written after a six-byte header reservation."""
        outer = self._out
        self._base += len(outer) + 6
        self._credit += 6
        self._out = bytearray()
        try:
            if as_list:
                self._pack(items, NEST_LIMIT)
            else:
                if len(items) >= _U32:
                    raise ValueError("list is too large")
                self._out += _array_header(len(items))
                for i, item in enumerate(items):
                    if i and not i % 256:
                        self._check(0)
                    self._pack(item, NEST_LIMIT - 1)
            return bytes(self._out)
        finally:
            self._out = outer
            self._credit -= 6
            self._base -= len(outer) + 6

    def _construction_default(self, value, kind):
        is_method = kind is _MethodType
        target = value.__self__ if is_method else value
        target_type = type(target)
        if not target_type.__flags__ & _HEAPTYPE:
            return None
        if _describing_is_inert(target_type, is_method, self.lightweight):
            return None
        if self._construction is None:
            listing = self._global("_objects_under_construction")()
            if isinstance(listing, str):
                raise TypeError("Can't extract `str` to `Vec`")
            converted = []
            for item in listing:
                number = item.__index__()
                if not 0 <= number < _U64_END:
                    raise OverflowError("can't convert to an unsigned 64-bit integer")
                converted.append(number)
            self._construction = converted
        if not _construction.is_listed(target, self._construction):
            return None
        if is_method:
            return self._global("_method_under_construction_repr")(value)
        return self._global("_under_construction_repr")(value, False, self.lightweight)

    def _default_leaf(self, obj):
        for name, code in (("datetime", 1), ("date", 2), ("time", 3)):
            if isinstance(obj, self._global(name)):
                return code, obj.isoformat().encode("utf-8")
        if isinstance(obj, int):
            bits = obj.bit_length()
            if (type(obj) is int and self.budget is not None and self._out is not None
                    and bits // 8 > self._remaining()):
                raise _OverBudget
            data = obj.to_bytes((bits + 7) // 8 + 1, "big", signed=True)
            if not isinstance(data, bytes):
                raise ValueError("data must be bytes")
            return 4, data
        if isinstance(obj, self._global("Decimal")):
            return 5, str(obj).encode("utf-8")
        if not self.lightweight:
            if self._global("_QuerySet_checked"):
                queryset = self._global("_QuerySet")
            else:
                queryset = self._global("_get_queryset_class")()
            if queryset is not None and isinstance(obj, queryset):
                if obj._result_cache is None:
                    text = "Unevaluated queryset for: " + _format_field(obj.model)
                    return 0, text.encode("utf-8")
        return self._unmatched(obj)

    def _unmatched(self, obj):
        if self.lightweight:
            text = ("<" + _format_field(obj.__class__.__qualname__)
                    + " object " + str(id(obj)) + ">")
            return 0, text.encode("utf-8")
        return 0, self._repr(obj, True).encode("utf-8")

    def _repr(self, obj, top_level):
        entry = self._memo.get(id(obj))
        if entry is not None:
            return entry[1]
        if top_level and type(obj) is _MethodType:
            text = self._bound_method_repr(obj)
        else:
            text = repr(obj)
        if type(text) is str and len(self._memo) < _MEMO_LIMIT:
            self._memo[id(obj)] = (obj, text)
        return text

    def _bound_method_repr(self, method):
        function = method.__func__
        owner = method.__self__
        name = "?"
        for attribute in ("__qualname__", "__name__"):
            try:
                found = getattr(function, attribute)
            except AttributeError:
                continue
            if isinstance(found, str):
                name = found
                break
        return f"<bound method {name} of {self._repr(owner, False)}>"

    def _default_error(self, obj, error):
        blocked = self._global("DatabaseAccessBlocked")
        if isinstance(error, blocked):
            text = self._global("_query_free_repr")(obj)
            return (_EXT, 0, text.encode("utf-8"))
        if (not self.lightweight and isinstance(error, Exception)
                and (self.careful or not needs_careful(error))):
            text = str(obj.__module__) + "." + str(type(obj).__qualname__)
            return (_EXT, 127, text.encode("utf-8", "backslashreplace"))
        raise error


def dump_msgpack(value, max_value_bytes=None, lightweight_repr=False):
    """Encode ``value`` as the native encoder does, in Python.

    ``max_value_bytes`` caps the encoded size (None: no cap); a bigger value
    becomes a truncation marker. ``lightweight_repr`` describes objects by
    class and address instead of calling their repr.
    """
    return PyEncoder(max_value_bytes, lightweight_repr).encode(value)
