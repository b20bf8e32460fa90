"""Trace identifiers: "trc_" followed by a ULID (48 bits of milliseconds, 80 random bits, in
Crockford base32), so that identifiers sort by creation time."""

from __future__ import annotations

import os
import time

_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_ulid() -> str:
    value = (int(time.time() * 1000) & ((1 << 48) - 1)) << 80 | int.from_bytes(os.urandom(10), "big")
    return "".join(_ALPHABET[(value >> shift) & 31] for shift in range(125, -5, -5))


def new_trace_id() -> str:
    return "trc_" + new_ulid()
