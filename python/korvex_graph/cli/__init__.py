"""The korvex-graph command line: one verb per job, one module per verb.

Results go to stdout, diagnostics to stderr. Exit status: 0 success,
1 failure (one line on stderr, never a traceback), 2 usage error,
130 interrupted (Ctrl-C; no output file is left behind), 143 and 129 the
same for SIGTERM and SIGHUP.

A verb's module offers add_parser(subparsers), which adds the verb's
parser under the verb's name, and run(args) -> exit status, which may raise
Failure for a one-line failure; registering a verb is adding its module to
VERBS.
"""

from __future__ import annotations

import argparse
import codecs
import errno
import importlib
import io
import os
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from ._common import (ENDING_SIGNALS, PROG, Failure, Terminated, describe_os_error, print_error, raise_terminated,
                      silence)

# Verb -> module, in the order --help lists them.
VERBS = {
    "bake": "korvex_graph.cli.bake",
    "index": "korvex_graph.cli.index",
    "convert": "korvex_graph.cli.convert",
    "inspect": "korvex_graph.cli.inspect",
    "verify": "korvex_graph.cli.verify",
    "extract": "korvex_graph.cli.extract",
    "identify": "korvex_graph.cli.identify",
}

DESCRIPTION = """\
From compiled protobuf schemas to archives read in place: a minimised graph
of every message type (bake), and an index of a descriptor set (index);
then reading them back (inspect, verify, extract) and naming the type of
protobuf payloads (identify)."""

EPILOG = """\
from .proto to archive:
  protoc --include_imports --descriptor_set_out=set.pb -I protos protos/*.proto
  korvex-graph bake set.pb -o graph.rkyv
  korvex-graph index set.pb -o index.rkyv

Run 'korvex-graph VERB --help' for what a verb does, its options and examples."""


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("korvex_graph_lib")
    except metadata.PackageNotFoundError:  # a build tree on PYTHONPATH
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    subparsers = parser.add_subparsers(title="verbs", metavar="VERB", dest="verb", required=True)
    for verb, module_name in VERBS.items():
        module = importlib.import_module(module_name)
        module.add_parser(subparsers)
        subparsers.choices[verb].set_defaults(run=module.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command line; returns its exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as stop:  # --help, --version, or a usage error
            status = 0 if stop.code is None else stop.code if isinstance(stop.code, int) else 2
        else:
            status = args.run(args)
        # What is still buffered is part of the result: a failure to write
        # it fails the command, here rather than at interpreter exit.
        if sys.stdout is not None:
            sys.stdout.flush()
        return status
    except Failure as failure:
        print_error(str(failure))
    except KeyboardInterrupt as stop:
        return 128 + (stop.signum if isinstance(stop, Terminated) else signal.SIGINT)
    except BrokenPipeError:
        # The reader of stdout went away (| head): nothing left to say.
        silence(sys.stdout)
    except OSError as error:
        print_error(describe_os_error(error))
    except MemoryError:
        print_error("out of memory")
    return 1


def console() -> NoReturn:
    """The korvex-graph script: main() on the process's arguments."""
    status = 128 + signal.SIGINT
    try:
        # SIGTERM and SIGHUP end the command as Ctrl-C does, through the
        # same clean-up (from `timeout`, a service manager, a closed
        # terminal).
        # A signal ignored when the command starts (nohup) stays ignored.
        for number in ENDING_SIGNALS:
            if number != signal.SIGINT and signal.getsignal(number) is not signal.SIG_IGN:
                signal.signal(number, raise_terminated)
        _standard_streams()
        status = main()
    except KeyboardInterrupt as stop:
        if isinstance(stop, Terminated):
            status = 128 + stop.signum
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except OSError:  # reported by main() when it was the result's
            silence(stream)
    if threading.active_count() > 1:
        # Interrupted while native work still runs on a worker thread: end
        # now rather than wait for it at interpreter shutdown.
        os._exit(status)
    sys.exit(status)


# ------------------------------------------------- the standard streams


class _Standard(io.RawIOBase):
    """Descriptor 0, 1 or 2, whose failures name the stream ("standard
    output: No space left on device"). One that was closed when the command
    started fails as a closed descriptor does; once silenced, writes go
    nowhere. Standard error silences itself when a write fails: a
    diagnostic that cannot be shown is no reason to fail the command."""

    def __init__(self, fd: int, name: str, closed: bool) -> None:
        super().__init__()
        self.fd, self.label, self.was_closed, self.silenced = fd, name, closed, False

    def readable(self) -> bool:
        return self.fd == 0

    def writable(self) -> bool:
        return self.fd != 0

    def fileno(self) -> int:
        return self.fd

    def isatty(self) -> bool:
        return not self.was_closed and os.isatty(self.fd)

    def readinto(self, buffer: Any) -> int:
        return self._call(lambda: os.readv(self.fd, [buffer]))

    def write(self, data: Any) -> int:
        if not self.silenced:
            try:
                return self._call(lambda: os.write(self.fd, data))
            except OSError:
                if self.fd != 2:
                    raise
                self.silenced = True
        return memoryview(data).nbytes

    def _call(self, operation: Callable[[], int]) -> int:
        try:
            if self.was_closed:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            return operation()
        except OSError as error:
            error.filename = self.label
            raise


def _standard_streams() -> None:
    """Standard output and error are replaced by streams of _Standard, and
    standard output writes a file name that is not UTF-8 back as its own
    bytes. A standard descriptor that was closed is held first, so that no
    file opened later takes its number (the core writes warnings straight
    to descriptor 2); reading or writing its stream then fails as on a
    closed descriptor, except standard error, which discards: it has
    nowhere to report to."""
    for fd, attribute, name in ((0, "stdin", "standard input"), (1, "stdout", "standard output"),
                                (2, "stderr", "standard error")):
        try:
            os.fstat(fd)
            closed = False
        except OSError:
            closed = True
            # Held by one end of a pipe whose other end is closed: writing
            # fails there too, even through /dev/stdout, and reading finds
            # nothing.
            ends = os.pipe()
            os.dup2(ends[1 if fd else 0], fd)
            for end in ends:
                if end != fd:
                    os.close(end)
        if not closed and fd == 0:
            continue
        old = getattr(sys, attribute)
        raw = _Standard(fd, name, closed)
        raw.silenced = closed and fd == 2
        encoding = getattr(old, "encoding", None) or "utf-8"
        if fd == 0:
            sys.stdin = io.TextIOWrapper(io.BufferedReader(raw), encoding=encoding)
            continue
        if old is not None:
            old.flush()
        utf8 = codecs.lookup(encoding).name == "utf-8"
        stream = io.TextIOWrapper(io.BufferedWriter(raw), encoding=encoding,
                                  errors="surrogateescape" if fd == 1 and utf8 else "backslashreplace",
                                  line_buffering=fd == 2 or bool(getattr(old, "line_buffering", False)))
        setattr(sys, attribute, stream)
