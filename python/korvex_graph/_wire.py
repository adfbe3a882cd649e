"""The protobuf wire format's base-128 varint, the one copy the package and
its tests use: writing one, and reading one within bounds that a caller
chooses, so that no byte past `end` is ever read."""

from __future__ import annotations

from collections.abc import Sequence

# What read_varint returns in place of a value.
TRUNCATED = -1  # the bytes end before the varint does
TOO_LONG = -2  # more than max_bytes bytes


def varint(value: int) -> bytes:
    """`value` (0 or more) as a varint."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def read_varint(data: Sequence[int], pos: int, end: int | None = None, max_bytes: int = 10) -> tuple[int, int]:
    """(value, the position after it) of the varint at `pos`, reading no
    further than `end` (the length of `data` when None); the value is
    TRUNCATED when `end` comes first and TOO_LONG when a varint would take
    more than `max_bytes` bytes, and the position is then where reading
    stopped."""
    end = len(data) if end is None else end
    value, shift, start = 0, 0, pos
    while True:
        if pos >= end:
            return TRUNCATED, pos
        if pos - start >= max_bytes:
            return TOO_LONG, pos
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            # A tenth byte's bits past the 64th are dropped, as protobuf does.
            return value & 0xFFFF_FFFF_FFFF_FFFF, pos
