"""What an archive can be opened from: a path, or any bytes-like object.

A path is memory-mapped read-only, so that opening a large archive costs
no copy and only the pages a lookup touches are ever read. The map stays
alive as long as the Graph or Index that holds a buffer of it; the file
itself may be renamed over meanwhile (writers replace archives atomically)
without affecting the open view.
"""

from __future__ import annotations

import mmap
import os
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing import TypeAlias

    from _typeshed import ReadableBuffer

    Source: TypeAlias = "str | os.PathLike[str] | ReadableBuffer"


def bytes_of(source: Source) -> ReadableBuffer:
    """The buffer to read `source` from: mapped from its file for a path."""
    if isinstance(source, (str, os.PathLike)):
        return map_file(source)
    return source


def map_file(path: str | os.PathLike[str]) -> bytes | mmap.mmap:
    """A read-only map of the file at `path`; b"" for an empty file, which
    cannot be mapped (the reader then reports it as too short)."""
    with open(path, "rb") as file:
        if os.fstat(file.fileno()).st_size == 0:
            return b""
        return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
