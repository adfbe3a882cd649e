"""Copying files of descriptor sets out where an index says they lie
(Index.file_slices): the failures, the check that a span is a file entry
of the set (a file's own bytes follow the tag and length of its entry,
which catches an index made from other sets without decoding anything
else), and the slices put together as a smaller set."""

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
