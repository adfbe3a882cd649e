"""The files of descriptor sets that some files need, each copied out of
the sets where an index says it lies: the closure of the files in the
index, then each file's span, checked against the bytes before it (a
file's own bytes follow the tag and length of its entry in the set, which
catches an index made from other sets without decoding anything else).
extract writes the slices as a smaller set; identify decodes with them."""

from __future__ import annotations

import bisect
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

from ._wire import read_varint, varint

if TYPE_CHECKING:
    from ._index import Index

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


def file_slices(index: Index, sets: Sequence[bytes], files: Iterable[str]) -> list[tuple[str, bytes]]:
    """(file, its descriptor's bytes) for the given files and everything they
    import, every file after the files it imports; the sets are those the
    index was made from, in the same order (its spans count from the start
    of the first). NoSpan or NotThere for a file that cannot be taken."""
    starts = [0]
    for data in sets:
        starts.append(starts[-1] + len(data))
    slices = []
    for file in index.closure(files):
        span = index.span_of_file(file)
        if span is None:
            raise NoSpan(file)
        start, end = span
        k = max(bisect.bisect_right(starts, start) - 1, 0)
        data = sets[min(k, len(sets) - 1)] if sets else b""
        local = start - starts[k]
        if not (k < len(sets) and end - starts[k] <= len(data) and _entry_ends_at(data, local, end - start)):
            raise NotThere(file, start, end)
        slices.append((file, data[local:local + end - start]))
    return slices


def as_set(slices: Iterable[tuple[str, bytes]]) -> bytes:
    """The slices as one descriptor set, in their order."""
    out = bytearray()
    for _, data in slices:
        out += bytes([_FILE_TAG]) + varint(len(data)) + data
    return bytes(out)


def _entry_ends_at(data: bytes, start: int, size: int) -> bool:
    """Whether the bytes before `start` are the tag of a set's file entry
    and a length of `size`."""
    for length_bytes in range(1, 11):
        tag = start - length_bytes - 1
        if tag < 0:
            return False
        if data[tag] == _FILE_TAG and read_varint(data, tag + 1, start) == (size, start):
            return True
    return False
