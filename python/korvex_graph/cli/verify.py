"""korvex-graph verify: full validation of archives, one line per file."""

from __future__ import annotations

import argparse
import sys

from .._graph import Graph
from ._common import PROG, Failure, add_max_input_size, add_subcommand, examples, one_line, open_archive

DESCRIPTION = """\
Check archives in full, as opening them for reading does: the header, every
relative pointer, string, vector and hash table, and the graph's own
invariants. Prints one line per file: "ok" lines on stdout, failures (with
the file offset of the first fault) on stderr. Exits with 1 when any file
fails."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "verify",
        "check graph and index archives in full",
        DESCRIPTION,
        examples("korvex-graph verify graph.rkyv index.rkyv", "korvex-graph verify out/*.rkyv"),
    )
    parser.add_argument("archives", nargs="+", metavar="ARCHIVE", help="graph or index archives")
    add_max_input_size(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    failed = 0
    for path in args.archives:
        try:
            archive = open_archive(path, max_input_size=args.max_input_size)
        except Failure as failure:
            failed += 1
            print(f"{PROG}: error: {one_line(str(failure))}", file=sys.stderr, flush=True)
            continue
        if isinstance(archive, Graph):
            what = f"graph archive, {len(archive.nodes):,} nodes, {len(archive.roots):,} roots"
        else:
            what = f"index archive, {len(archive.type_to_file):,} types, {len(archive.file_to_span):,} files"
        print(one_line(f"{path}: ok ({what}, {archive.nbytes:,} bytes)"), flush=True)
    return 1 if failed else 0
