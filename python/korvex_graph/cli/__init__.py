"""The korvex-graph command line: one verb per job, one module per verb.

Results go to stdout, diagnostics to stderr. Exit status: 0 success,
1 failure (one line on stderr, never a traceback), 2 usage error,
130 interrupted (Ctrl-C; no output file is left behind).

A verb's module offers add_parser(subparsers), which adds the verb's
parser under the verb's name, and run(args) -> exit status, which may raise
Failure for a one-line failure; registering a verb is adding its module to
VERBS.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import threading
from collections.abc import Sequence
from typing import NoReturn

from ._common import PROG, Failure

# Verb -> module, in the order --help lists them.
VERBS = {
    "bake": "korvex_graph.cli.bake",
    "index": "korvex_graph.cli.index",
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
            return 0 if stop.code is None else stop.code if isinstance(stop.code, int) else 2
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except Failure as failure:
        _error(str(failure))
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (| head): nothing left to say.
        _silence_stdout()
    except OSError as error:
        _error(f"{error.filename}: {error.strerror}" if error.filename else str(error))
    except MemoryError:
        _error("out of memory")
    return 1


def _error(message: str) -> None:
    try:
        print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)
    except OSError:
        pass


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def console() -> NoReturn:
    """The korvex-graph script: main() on the process's arguments."""
    status = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
    if threading.active_count() > 1:
        # Interrupted while native work still runs on a worker thread: end
        # now rather than wait for it at interpreter shutdown.
        sys.stderr.flush()
        os._exit(status)
    sys.exit(status)
