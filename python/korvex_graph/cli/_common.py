"""What the verbs share: the one-line failure, reading archives by their
header, writing outputs atomically, and running native work so that Ctrl-C
still reaches the command at once."""

from __future__ import annotations

import argparse
import mmap
import os
import struct
import sys
import tempfile
import threading
from collections.abc import Callable, Sequence
from typing import TypeVar

from .._graph import Graph
from .._index import Index
from .._native import ArchiveError
from .._source import map_file

T = TypeVar("T")

PROG = "korvex-graph"

MAGIC = b"VELDRANE"
HEADER_SIZE = 24
GRAPH_VERSION = 7
INDEX_VERSION = 4


class Failure(Exception):
    """A failure of the command, reported as one line on stderr, exit 1."""


def describe_os_error(error: OSError, path: str | None = None) -> str:
    """`path: reason`, as the C library words it, without Python's [Errno]."""
    name = path if path is not None else error.filename
    reason = error.strerror or str(error)
    return f"{name}: {reason}" if name is not None else reason


def count_argument(text: str) -> int:
    """An argparse type: a whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def examples(*lines: str) -> str:
    """An epilog of example command lines under the options."""
    return "examples:\n" + "".join(f"  {line}\n" for line in lines)


def add_subcommand(
    subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    summary: str,
    description: str,
    epilog: str,
) -> argparse.ArgumentParser:
    """A verb's parser, with the help layout every verb shares."""
    return subparsers.add_parser(
        name,
        help=summary,
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


# ------------------------------------------------------------------ archives


def archive_kind(path: str) -> tuple[str, bytes | mmap.mmap]:
    """("graph" or "index", the file's bytes mapped), recognised by the
    header; Failure for anything else."""
    try:
        data = map_file(path)
    except OSError as error:
        raise Failure(describe_os_error(error, path)) from None
    except ValueError as error:  # mmap of something that is not a plain file
        raise Failure(f"{path}: {error}") from None
    if len(data) < HEADER_SIZE:
        if len(data) == 0:
            raise Failure(f"{path}: empty file, not an archive")
        raise Failure(f"{path}: too short for an archive ({len(data)} bytes; the header alone has {HEADER_SIZE})")
    if bytes(data[:8]) != MAGIC:
        raise Failure(f"{path}: not an archive (it does not begin with {MAGIC.decode()})")
    (version,) = struct.unpack_from("<Q", data, 8)
    if version == GRAPH_VERSION:
        return "graph", data
    if version == INDEX_VERSION:
        return "index", data
    raise Failure(
        f"{path}: unknown archive format version {version} "
        f"(graph archives are version {GRAPH_VERSION}, index archives version {INDEX_VERSION})"
    )


def open_archive(path: str, expected: str | None = None) -> Graph | Index:
    """The archive at `path`, fully checked; Failure naming the offset of a
    fault, or the kind when it is not the `expected` one."""
    kind, data = archive_kind(path)
    if expected is not None and kind != expected:
        raise Failure(f"{path}: a {kind} archive, not the {expected} archive expected here")
    try:
        return Graph.open(data) if kind == "graph" else Index.open(data)
    except ArchiveError as error:
        raise Failure(f"{path}: {error}") from None


def open_index(path: str) -> Index:
    index = open_archive(path, "index")
    assert isinstance(index, Index)
    return index


# ------------------------------------------------------------------ outputs


def check_outputs(paths: Sequence[str | None]) -> list[str]:
    """The output paths given, checked before any work is done: each in an
    existing folder, none a folder itself, no two the same."""
    given = [p for p in paths if p is not None]
    seen: set[str] = set()
    for path in given:
        if os.path.isdir(path):
            raise Failure(f"{path}: is a folder; give the file to write")
        parent = os.path.dirname(path) or "."
        if not os.path.isdir(parent):
            raise Failure(f"{path}: folder {parent} does not exist")
        real = os.path.realpath(path)
        if real in seen:
            raise Failure(f"{path}: given as two outputs")
        seen.add(real)
    return given


def _stage(path: str, data: bytes | str) -> str:
    """Writes `data` into a new temporary file beside `path`, synced to disk,
    with the permissions a plain open() would give; returns its name."""
    folder = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(file.fileno(), 0o666 & ~umask)
            file.write(data.encode("utf-8") if isinstance(data, str) else data)
            file.flush()
            os.fsync(file.fileno())
    except BaseException:
        _remove(temporary)
        raise
    return temporary


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def write_outputs(outputs: Sequence[tuple[str, bytes | str]]) -> None:
    """Writes every output atomically: each into a temporary file in its
    target's folder first, all of them before any is renamed into place, so
    that a failure or an interrupt leaves no output half-written and no
    temporary file behind."""
    staged: list[tuple[str, str]] = []
    try:
        for path, data in outputs:
            try:
                staged.append((_stage(path, data), path))
            except OSError as error:
                raise Failure(f"cannot write {path}: {error.strerror or error}") from None
        for temporary, path in staged:
            try:
                os.replace(temporary, path)
            except OSError as error:
                raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    except BaseException:
        for temporary, _ in staged:
            _remove(temporary)
        raise
    for folder in {os.path.dirname(path) or "." for path, _ in outputs}:
        _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    # The renames are durable once the folder itself is synced; a file
    # system that cannot sync folders keeps them anyway.
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# ------------------------------------------------------------------ running


def run_interruptible(work: Callable[[], T]) -> T:
    """work() on a worker thread while this thread waits, so that Ctrl-C
    interrupts the wait at once (native code holds no Python frame that the
    signal could interrupt). After an interrupt the work may still be
    running; the command then ends without waiting for it."""
    results: list[T] = []
    errors: list[BaseException] = []

    def target() -> None:
        try:
            results.append(work())
        except BaseException as error:  # handed to the waiting thread
            errors.append(error)

    thread = threading.Thread(target=target, name=f"{PROG} worker", daemon=True)
    thread.start()
    while thread.is_alive():
        thread.join(0.25)
    if errors:
        raise errors[0]
    return results[0]


def say(message: str) -> None:
    """A diagnostic line on stderr."""
    print(message, file=sys.stderr, flush=True)


def human_bytes(size: int) -> str:
    if size < 10_000:
        return f"{size} bytes"
    for unit, scale in (("MB", 1_000_000), ("kB", 1_000)):
        if size >= scale:
            return f"{size / scale:.1f} {unit} ({size:,} bytes)"
    return f"{size:,} bytes"
