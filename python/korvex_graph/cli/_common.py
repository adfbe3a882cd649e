"""What the verbs share: the one-line failure, reading archives by their
header, writing outputs atomically, and running native work so that Ctrl-C
still reaches the command at once."""

from __future__ import annotations

import argparse
import contextlib
import errno
import json
import os
import signal
import stat
import struct
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO, TypeVar

from .._graph import Graph
from .._index import Index
from .._native import ARCHIVE_HEADER_SIZE, ARCHIVE_MAGIC, GRAPH_FORMAT_VERSION, INDEX_FORMAT_VERSION, ArchiveError
from .._source import DEFAULT_MAX_INPUT_SIZE, read_file

T = TypeVar("T")

PROG = "korvex-graph"


class Failure(Exception):
    """A failure of the command, reported as one line on stderr, exit 1."""


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where Ctrl-C raises KeyboardInterrupt, so
    that they too leave no output half-written; the command ends with
    128 + the signal's number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# The signals that end a command, each as the exception it raises.
ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def raise_terminated(signum: int, frame: object) -> None:
    raise Terminated(signum)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Ctrl-C, SIGTERM and SIGHUP wait until the block has run, then act
    as they would have: for steps that must not stop halfway (outputs
    renamed into place). Only the main thread can hold them; elsewhere, as
    in a program that imports the package, the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    came: list[int] = []
    # (A handler set outside Python reads as None, and is left alone, as
    # is a signal ignored.)
    previous = {number: signal.signal(number, lambda number, frame: came.append(number))
                for number in ENDING_SIGNALS if signal.getsignal(number) not in (None, signal.SIG_IGN)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if came:
            signal.raise_signal(came[0])


# Control characters (but the tab) as escapes: a file name may hold a line
# break, and a message must stay one line.
_ESCAPES = {c: f"\\x{c:02x}" for c in (*range(0x20), 0x7F) if c != 0x09} | {0x0A: "\\n", 0x0D: "\\r"}


def one_line(message: str) -> str:
    """`message` with its control characters escaped, as one line."""
    return message.translate(_ESCAPES)


def describe_os_error(error: OSError, path: str | None = None) -> str:
    """`path: reason`, as the C library words it, without Python's [Errno]."""
    name = path if path is not None else error.filename
    reason = error.strerror or str(error)
    return f"{name}: {reason}" if name is not None else reason


@contextlib.contextmanager
def failing_as_one_line(path: str | None = None) -> Iterator[None]:
    """Turns what reading an input raises into the one-line Failure: an
    OSError as `path: reason` (the error's own file name without `path`),
    an ArchiveError after `path`, and any other ValueError (a limit passed,
    text that is not UTF-8) as it is, since it already names its input."""
    try:
        yield
    except OSError as error:
        raise Failure(describe_os_error(error, path)) from None
    except ArchiveError as error:
        raise Failure(f"{path}: {error}" if path is not None else str(error)) from None
    except ValueError as error:
        raise Failure(str(error)) from None


def print_error(message: str) -> None:
    """The one-line failure on stderr: "korvex-graph: error: message". A
    stderr that cannot take it is silenced; there is nowhere to report to."""
    try:
        print(f"{PROG}: error: {one_line(message)}", file=sys.stderr, flush=True)
    except OSError:
        silence(sys.stderr)


def silence(stream: TextIO | None) -> None:
    """What `stream` still buffers goes nowhere from now on, instead of
    failing again at interpreter exit."""
    raw: Any = getattr(getattr(stream, "buffer", None), "raw", None)
    if hasattr(raw, "silenced"):  # the command's own standard stream
        raw.silenced = True
        return
    try:
        fd = stream.fileno() if stream is not None else -1
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except (OSError, ValueError):
        pass


def count_argument(text: str) -> int:
    """An argparse type: a whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def size_argument(text: str) -> int:
    """An argparse type: a size in bytes, or with a suffix K, M or G
    (powers of 1024)."""
    shift = {"K": 10, "M": 20, "G": 30}.get(text[-1:].upper(), 0)
    digits = text[:-1] if shift else text
    if not (digits.isascii() and digits.isdigit()):
        raise argparse.ArgumentTypeError(f"not a size (bytes, or with a suffix K, M or G): {text!r}")
    return int(digits) << shift


def add_max_input_size(parser: argparse.ArgumentParser, bounds: str = "") -> None:
    """The --max-input-size option of a verb that reads input files;
    `bounds` names what else it bounds for that verb."""
    parser.add_argument(
        "--max-input-size", type=size_argument, default=DEFAULT_MAX_INPUT_SIZE, metavar="SIZE",
        help=f"the most read from {bounds}an input that is not a regular file (a pipe, a device): bytes, or with "
        f"a suffix K, M or G (default {DEFAULT_MAX_INPUT_SIZE >> 20}M)",
    )


def add_output(parser: argparse.ArgumentParser, help: str, metavar: str = "FILE") -> None:
    """The -o/--output option, required, of a verb that writes a result."""
    parser.add_argument("-o", "--output", required=True, metavar=metavar, help=help)


def add_quiet(parser: argparse.ArgumentParser, help: str = "no summary") -> None:
    """The -q/--quiet option of a verb that reports a summary on stderr."""
    parser.add_argument("-q", "--quiet", action="store_true", help=help)


def add_json(parser: argparse.ArgumentParser, help: str = "print one JSON document instead of text") -> None:
    """The --json option of a verb that prints a result on stdout."""
    parser.add_argument("--json", action="store_true", help=help)


def print_json(document: object) -> None:
    """`document` as indented JSON on stdout, non-ASCII text escaped: valid
    JSON whatever the encoding of stdout, and names that are not UTF-8
    (surrogate escapes) do not fail."""
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


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


# The input name that means standard input.
STDIN = "-"


def input_file(path: str) -> str:
    """The file to read input `path` from: "-" is standard input."""
    return "/dev/stdin" if path == STDIN else path


STDIN_TWICE = 'standard input ("-") can be read only once'


def reads_stdin_twice(paths: Sequence[str | None]) -> bool:
    return sum(p == STDIN for p in paths) > 1


def check_stdin_once(paths: Sequence[str | None]) -> None:
    if reads_stdin_twice(paths):
        raise Failure(STDIN_TWICE)


def archive_kind(path: str, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> tuple[str, bytes | memoryview]:
    """("graph" or "index", the file's bytes), recognised by the header;
    Failure for anything else. The file ("-": standard input) is read into
    memory, so that nothing done to it meanwhile can reach the archive once
    checked; what is not a regular file is read up to `max_input_size`
    bytes."""
    with failing_as_one_line(path):
        data = read_file(input_file(path), max_input_size)
    if len(data) < ARCHIVE_HEADER_SIZE:
        if len(data) == 0:
            raise Failure(f"{path}: empty file, not an archive")
        raise Failure(f"{path}: too short for an archive ({len(data)} bytes; the header alone has {ARCHIVE_HEADER_SIZE})")
    if bytes(data[: len(ARCHIVE_MAGIC)]) != ARCHIVE_MAGIC:
        raise Failure(f"{path}: not an archive (it does not begin with {ARCHIVE_MAGIC.decode()})")
    (version,) = struct.unpack_from("<Q", data, 8)
    if version == GRAPH_FORMAT_VERSION:
        return "graph", data
    if version == INDEX_FORMAT_VERSION:
        return "index", data
    raise Failure(
        f"{path}: unknown archive format version {version} "
        f"(graph archives are version {GRAPH_FORMAT_VERSION}, index archives version {INDEX_FORMAT_VERSION})"
    )


def open_archive(path: str, expected: str | None = None, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> Graph | Index:
    """The archive at `path`, fully checked; Failure naming the offset of a
    fault, or the kind when it is not the `expected` one."""
    kind, data = archive_kind(path, max_input_size)
    if expected is not None and kind != expected:
        raise Failure(f"{path}: a {kind} archive, not the {expected} archive expected here")
    with failing_as_one_line(path):
        return Graph.open(data) if kind == "graph" else Index.open(data)


def open_index(path: str, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> Index:
    index = open_archive(path, "index", max_input_size)
    assert isinstance(index, Index)
    return index


# ------------------------------------------------------------------ outputs

# The output name that means standard output.
STDOUT = "-"

# The output names of the standard streams, written to their descriptor
# rather than opened again: through /proc, a file that standard output is
# redirected to would be opened anew from its start (or replaced).
_STANDARD = {STDOUT: 1, "/dev/stdout": 1, "/dev/fd/1": 1, "/proc/self/fd/1": 1,
             "/dev/stderr": 2, "/dev/fd/2": 2, "/proc/self/fd/2": 2}


def check_outputs(paths: Sequence[str | None], inputs: Sequence[str] = ()) -> list[str]:
    """The output paths given, checked before any work is done: each in an
    existing folder, none a folder itself, no two the same, none a file
    that is also read (the command would replace what it reads)."""
    given = [p for p in paths if p is not None]
    seen: set[str] = set()
    read = []
    folders = []  # the input folders, resolved
    for path in inputs:
        try:
            info = os.fstat(0) if path == STDIN else os.stat(path)
        except (OSError, ValueError):
            continue  # reported when it is read
        read.append(info)
        if stat.S_ISDIR(info.st_mode):
            folders.append(os.path.realpath(path))
    for path in given:
        target, through = output_target(path)
        parent = os.path.dirname(target)
        if not through and not os.path.isdir(parent):
            shown = parent if os.path.islink(path) else os.path.dirname(path) or "."
            raise Failure(f"{path}: folder {shown} does not exist")
        if target in seen:
            raise Failure(f"{path}: given as two outputs")
        seen.add(target)
        try:
            there = os.stat(target) if target not in _STANDARD else None
        except OSError:
            there = None
        if there is not None and stat.S_ISREG(there.st_mode) and (
                any(os.path.samestat(there, i) for i in read)
                or (os.path.splitext(target)[1] in (".yaml", ".yml")  # a document of an input folder
                    and any(os.path.commonpath([folder, target]) == folder for folder in folders))):
            raise Failure(f"{path}: is also an input; give another file to write")
    return given


def output_target(path: str) -> tuple[str, bool]:
    """(the file to write for output `path`, whether to write through it).

    A regular file, or nothing yet, is replaced atomically; through a
    symbolic link, the file it names is, and the link stays. A character
    device or a FIFO (/dev/null, /dev/stdout on a pipe) is written
    through, never replaced, and so are "-" and the other names of the
    standard streams (/dev/stdout), written to their descriptors; a folder
    or anything else is refused."""
    if not path:
        raise Failure("an output file name is empty")
    if "\0" in path:
        raise Failure(f"{path}: cannot be a file name (it holds a NUL byte)")
    if path in _STANDARD:
        return path, True
    if path.endswith(os.sep) and not os.path.isdir(path):
        raise Failure(f"{path}: names a folder; give the file to write")
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return os.path.realpath(path), False  # a new file, or one a dangling link names
    except OSError as error:
        raise Failure(describe_os_error(error, path)) from None
    if stat.S_ISDIR(info.st_mode):
        raise Failure(f"{path}: is a folder; give the file to write")
    if stat.S_ISCHR(info.st_mode) or stat.S_ISFIFO(info.st_mode):
        return path, True
    if not stat.S_ISREG(info.st_mode):
        raise Failure(f"{path}: not a regular file, a character device or a FIFO; refused as an output")
    target = os.path.realpath(path)
    try:
        same = os.path.samestat(os.stat(target), info)
    except OSError:
        same = False
    # A file reached through /proc/self/fd/N (/dev/stdout) may have no name
    # to replace: it is written through, as a device is.
    return (target, False) if same else (path, True)


def _write_through(path: str, data: bytes | str) -> None:
    standard = _STANDARD.get(path)
    if standard is not None:
        # After what the command printed before, on the same descriptor.
        stream = sys.stdout if standard == 1 else sys.stderr
        if stream is not None:
            stream.flush()
        fd = os.dup(standard)
    else:
        # Opened without blocking, so that a FIFO that no process reads
        # fails at once instead of waiting for a reader.
        try:
            fd = os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as error:
            fifo = error.errno == errno.ENXIO and stat.S_ISFIFO(os.stat(path).st_mode)
            raise Failure(f"cannot write {path}: {'no process reads from it' if fifo else error.strerror}") from None
    try:
        os.set_blocking(fd, True)
        view = memoryview(data.encode("utf-8") if isinstance(data, str) else data)
        while view:
            written = os.write(fd, view)
            if written == 0:  # a device that takes nothing would loop forever
                raise OSError(errno.EIO, os.strerror(errno.EIO))
            view = view[written:]
    except BrokenPipeError:
        raise  # the reader went away: the command ends quietly
    except OSError as error:
        what = ("standard output" if standard == 1 else "standard error") if standard else f"cannot write {path}"
        raise Failure(f"{what}: {error.strerror or error}") from None
    finally:
        os.close(fd)


def _stage(path: str, data: bytes | str, staged: list[str], sync: bool = True) -> str:
    """Writes `data` into a new temporary file beside `path`, synced to
    disk unless `sync` is false, with the permissions a plain open() would
    give (those of the file it replaces, if there is one); returns its
    name, which is in `staged` from its making on."""
    folder = os.path.dirname(path) or "."
    # Named after the target, cut so that the name stays within the 255
    # bytes a file name may have.
    name = os.fsdecode(os.fsencode(os.path.basename(path))[:200])
    # Remembered before it is made: an interrupt at any point leaves
    # nothing that is not removed.
    while True:
        temporary = os.path.join(folder, f".{name}.{os.urandom(6).hex()}.tmp")
        staged.append(temporary)
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            break
        except FileExistsError:
            staged.remove(temporary)  # someone else's
    with os.fdopen(fd, "wb") as file:
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.fchmod(file.fileno(), mode)
        file.write(data.encode("utf-8") if isinstance(data, str) else data)
        if sync:
            file.flush()
            os.fsync(file.fileno())
    return temporary


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def write_outputs(outputs: Sequence[tuple[str, bytes | str]], sync: bool = True) -> None:
    """Writes every output atomically: each into a temporary file in its
    target's folder first, all of them before any is renamed into place, so
    that a failure or an interrupt (Ctrl-C, SIGTERM, SIGHUP) leaves no
    output half-written and no temporary file behind; once the renames
    begin, an interrupt waits until they are done, so the outputs are all
    old or all new. An output that is a device, a FIFO or "-" is written
    through instead (see output_target), after the staging and before the
    renames. With `sync` false the files are not synced one by one (for
    thousands of small ones: the renames alone keep readers from a
    half-written file)."""
    plans = [(path, *output_target(path), data) for path, data in outputs]
    staged: list[str] = []
    targets: list[tuple[str, str]] = []  # (target, path) of each staged file
    try:
        for path, target, through, data in plans:
            if not through:
                try:
                    _stage(target, data, staged, sync)
                except OSError as error:
                    raise Failure(f"cannot write {path}: {error.strerror or error}") from None
                targets.append((target, path))
        for path, target, through, data in plans:
            if through:
                _write_through(target, data)
        with signals_held():
            for temporary, (target, path) in zip(staged, targets):
                try:
                    os.replace(temporary, target)
                except OSError as error:
                    raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    except BaseException:
        for temporary in staged:
            _remove(temporary)
        raise
    for folder in {os.path.dirname(target) for target, _ in targets}:
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
