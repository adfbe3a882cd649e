"""What an archive can be opened from: a path, or any bytes-like object.

A path is read into memory by default, so that the object owns its bytes:
nothing another process does to the file afterwards (truncating it,
writing into it) can reach them. A map (``mmap=True``) shares the page
cache instead and reads only what lookups touch, but the caller then
promises that nobody truncates the file or writes into it while the object
lives: on a map, a file that shrinks kills the process (SIGBUS) at the next
read of a page past its end, and bytes changed in place escape the checks
made at open. Replacing the file by renaming another over it, as writers of
archives do, is safe either way.

A path that is not a regular file (a pipe, a device, standard input) is
read up to a bound, max_input_size, and refused past it; a regular file is
read up to the size it has when opened, and refused when larger than any
archive can be. What does not begin as an archive is not read past its
header. A FIFO is read from the writer it has when opened; without one, it
reads as empty instead of waiting for one.
"""

from __future__ import annotations

import errno
import mmap as _mmap
import os
import stat
from io import BufferedReader
from typing import TYPE_CHECKING

from ._native import ARCHIVE_HEADER_SIZE, ARCHIVE_MAGIC, ArchiveError, read_file as _read_regular

if TYPE_CHECKING:
    from typing import TypeAlias

    from _typeshed import ReadableBuffer

    Source: TypeAlias = "str | os.PathLike[str] | ReadableBuffer"

# The default bound of what is read from a file that is not a regular one.
DEFAULT_MAX_INPUT_SIZE = 256 << 20

# No archive is larger: the header, and a payload below 2 GiB.
ARCHIVE_LIMIT = ARCHIVE_HEADER_SIZE + (1 << 31) - 1


def check_limit(limit: object) -> int:
    """The max_input_size argument of the API, checked."""
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"max_input_size must be an int, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"max_input_size must be 0 or more, not {limit}")
    return limit


def bytes_of(source: Source, *, mmap: bool = False, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> ReadableBuffer:
    """The buffer to read `source` from: for a path, the file's bytes, read
    into memory or (mmap=True) mapped."""
    check_limit(max_input_size)
    if isinstance(source, (str, os.PathLike)):
        return map_file(source, max_input_size) if mmap else read_file(source, max_input_size)
    return source


def read_file(path: str | os.PathLike[str], max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> bytes | memoryview:
    """The bytes of the archive file at `path`, read into memory with a
    bound (see the module's docstring); ValueError past it."""
    with _open_for_reading(path) as file:
        return _read(file, path, max_input_size)


def _read(file: BufferedReader, path: str | os.PathLike[str], max_input_size: int) -> bytes | memoryview:
    if max_input_size < 0:
        raise ValueError(f"max_input_size must be 0 or more, not {max_input_size}")
    info = os.fstat(file.fileno())
    regular = stat.S_ISREG(info.st_mode)
    if regular and info.st_size > ARCHIVE_LIMIT:
        raise ArchiveError(
            f"offset 24: payload of {info.st_size - 24} bytes reaches the archive limit of {1 << 31} bytes"
        )
    # What does not begin as an archive (/dev/zero, a large file of another
    # kind) is not read further: the checks refuse its header as well.
    first = file.peek(len(ARCHIVE_MAGIC))[: len(ARCHIVE_MAGIC)]
    if len(first) == len(ARCHIVE_MAGIC) and first != ARCHIVE_MAGIC:
        return file.read(ARCHIVE_HEADER_SIZE)
    if regular:  # one allocation of the size found, filled in place, read-only
        return _read_regular(file.fileno(), info.st_size)
    if max_input_size > ARCHIVE_LIMIT:  # the checks refuse what is larger
        return file.read(ARCHIVE_LIMIT + 1)
    return _read_bounded(file, path, max_input_size)


def _read_bounded(file: BufferedReader, path: str | os.PathLike[str], limit: int) -> bytes:
    # One allocation of the bound, filled as the input comes, cut to size.
    data = file.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{os.fsdecode(path)}: {too_large(limit)}")
    return data


def too_large(limit: int) -> str:
    """Why an input past `limit` bytes is refused."""
    return f"larger than {describe_size(limit)} (the limit; --max-input-size raises it)"


def describe_size(size: int) -> str:
    """`size` in the largest power-of-1024 unit that divides it: "256 MiB"."""
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size} bytes"


def _open_for_reading(path: str | os.PathLike[str]) -> BufferedReader:
    # Opened without blocking, so that a FIFO without a writer does not
    # wait for one; reading then blocks as usual.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fsdecode(path))
        os.set_blocking(fd, True)
        return open(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def map_file(
    path: str | os.PathLike[str], max_input_size: int = DEFAULT_MAX_INPUT_SIZE
) -> bytes | _mmap.mmap:
    """A read-only map of the regular file at `path` (see the module's
    docstring for what the caller promises). What is not a regular file
    cannot be mapped: it is read into memory, up to `max_input_size` bytes
    (ValueError past it); so is a file that says it has no bytes, which
    cannot be mapped either, but may have some (/proc, /sys)."""
    with _open_for_reading(path) as file:
        info = os.fstat(file.fileno())
        if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
            return _read_bounded(file, path, max_input_size)
        return _mmap.mmap(file.fileno(), 0, access=_mmap.ACCESS_READ)
