"""Copying files of descriptor sets out where an index says they lie
(Index.file_slices): the failures, the check that a span is a file entry
of the set (a file's own bytes follow the tag and length of its entry)
naming that file (a set compiled again with its files in another order
can hold other files at the same spans), and the slices put together as
a smaller set."""

from __future__ import annotations

from collections.abc import Iterable

from ._wire import read_varint, varint

_FILE_TAG = 0x0A  # field 1 of a FileDescriptorSet, length-delimited


class NoSpan(ValueError):
    """A file of the closure that the index holds no span for (imported,
    but the set was compiled without --include_imports)."""

    def __init__(self, file: str) -> None:
        super().__init__(f"{file} is imported but has no span")
        self.file = file


class NotThere(ValueError):
    """A file whose bytes the sets do not hold where the index says."""

    def __init__(self, file: str, start: int, end: int) -> None:
        super().__init__(f"{file} is not at bytes {start} to {end}")
        self.file, self.start, self.end = file, start, end


def as_set(slices: Iterable[tuple[str, bytes]]) -> bytes:
    """The slices as one descriptor set, in their order."""
    out = bytearray()
    for _, data in slices:
        out += bytes([_FILE_TAG]) + varint(len(data)) + data
    return bytes(out)


def entry_ends_at(data: bytes, start: int, size: int) -> bool:
    """Whether the bytes before `start` are the tag of a set's file entry
    and a length of `size`."""
    for length_bytes in range(1, 11):
        tag = start - length_bytes - 1
        if tag < 0:
            return False
        if data[tag] == _FILE_TAG and read_varint(data, tag + 1, start) == (size, start):
            return True
    return False


def entry_name(data: bytes, start: int, end: int) -> bytes | None:
    """The name (field 1) of the file entry data[start:end], the last one
    given, as protobuf reads it; None when it has none or its top level is
    not wire format."""
    name = None
    pos = start
    while pos < end:
        tag, pos = read_varint(data, pos, end)
        if tag < 0:
            return None
        wire = tag & 7
        if wire == 0:
            value, pos = read_varint(data, pos, end)
            if value < 0:
                return None
        elif wire == 1 or wire == 5:
            pos += 8 if wire == 1 else 4
        elif wire == 2:
            size, pos = read_varint(data, pos, end)
            if size < 0 or size > end - pos:
                return None
            if tag >> 3 == 1:
                name = data[pos:pos + size]
            pos += size
        else:  # groups: no file entry holds one at its top level
            return None
    return name if pos == end else None
