"""Reading encoded values back: every extension type becomes a Python value."""

from dataclasses import dataclass
from datetime import date, datetime, time
from decimal import Decimal, InvalidOperation

import msgpack

__all__ = ["Repr", "Truncated", "Unserializable", "load_msgpack"]


@dataclass(frozen=True)
class Repr:
    """Text written in place of an object: its repr, or a placeholder."""

    text: str


@dataclass(frozen=True)
class Truncated:
    """A value that was over its size budget when it was recorded."""

    text: str

    @property
    def type_name(self):
        """The qualified name of the value's type (cut to 200 characters)."""
        return self.text.split(" exceeded max_value_mb", 1)[0]


@dataclass(frozen=True)
class Unserializable:
    """An object that could not be described: its module and type name."""

    type_name: str


def _text(data):
    return data.decode("utf-8", "backslashreplace")


def _parse(parser, data):
    text = _text(data)
    try:
        return parser(text)
    except (ValueError, TypeError, InvalidOperation):
        return Repr(text)


class _Reader:
    """Extension hooks and the completion order of the top-level containers.

    A shared reference (extension 11) points back to the container completed
    d + 1 completions earlier, counting every array and map that ended
    outside any extension. msgpack calls the list and map hooks exactly in
    that order (post-order), so the reader keeps them all and indexes back.
    """

    def __init__(self, values):
        self.values = values
        self.completed = []

    def container(self, value):
        self.completed.append(value)
        return value

    def top_ext(self, code, data):
        if code == 11:
            if len(data) != 4:
                raise ValueError("a shared reference has a 4-byte distance")
            distance = int.from_bytes(data, "big")
            if distance >= len(self.completed):
                raise ValueError(
                    f"shared reference {distance} points before the first container")
            return self.completed[-1 - distance]
        return self.ext(code, data)

    def nested(self, data):
        # Inside an extension nothing is tracked and no reference is written.
        # An Unpacker keeps its parse stack on the heap (unpackb keeps a large
        # one on the C stack), so deeply nested extensions cannot overflow it.
        unpacker = msgpack.Unpacker(ext_hook=self.ext, strict_map_key=False, raw=False,
                                    max_buffer_size=max(len(data), 1024))
        unpacker.feed(data)
        value = unpacker.unpack()
        if unpacker.tell() != len(data):
            raise ValueError("an extension payload holds more than one value")
        return value

    def ext(self, code, data):
        if code == 0:
            return Repr(_text(data))
        if code == 1:
            return _parse(datetime.fromisoformat, data)
        if code == 2:
            return _parse(date.fromisoformat, data)
        if code == 3:
            return _parse(time.fromisoformat, data)
        if code == 4:
            return int.from_bytes(data, "big", signed=True)
        if code == 5:
            return _parse(Decimal, data)
        if code == 6:
            return tuple(self.nested(data))
        if code == 7:
            return set(self.nested(data))
        if code == 8:
            return frozenset(self.nested(data))
        if code == 9:
            return self.interned(data)
        if code == 10:
            return data.decode("utf-8", "surrogatepass")
        if code == 11:
            raise ValueError("a shared reference inside an extension")
        if code == 12:
            return Truncated(_text(data))
        if code == 127:
            return Unserializable(_text(data))
        return msgpack.ExtType(code, data)

    def interned(self, data):
        if len(data) != 4:
            raise ValueError("an interned value reference has a 4-byte identifier")
        identifier = int.from_bytes(data, "big")
        try:
            encoded = self.values[identifier]
        except (KeyError, IndexError, TypeError):
            raise ValueError(
                f"interned value {identifier} is not in the value table") from None
        return msgpack.unpackb(encoded, raw=False)


def load_msgpack(data, values=None):
    """Decode one encoded value (or a record holding several).

    ``values`` maps interned value identifiers to the encoded bytes of their
    value records; it is needed only when the data holds interned references.
    """
    reader = _Reader(values)
    return msgpack.unpackb(
        data,
        ext_hook=reader.top_ext,
        list_hook=reader.container,
        object_hook=reader.container,
        strict_map_key=False,
        raw=False,
    )
