"""korvex-graph verify: full validation of archives, one line per file."""

from __future__ import annotations

import argparse
from typing import Any

from .._graph import Graph
from ._common import (
    Failure,
    add_json,
    add_max_input_size,
    add_subcommand,
    check_stdin_once,
    examples,
    one_line,
    open_archive,
    print_error,
    print_json,
)

DESCRIPTION = """\
Check archives in full, as opening them for reading does: the header, every
relative pointer, string, vector and hash table, and the graph's own
invariants. Prints one line per file: "ok" lines on stdout, failures (with
the file offset of the first fault) on stderr; with --json, one JSON list
on stdout instead of the "ok" lines, an object per file. Exits with 1 when
any file fails."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "verify",
        "check graph and index archives in full",
        DESCRIPTION,
        examples("korvex-graph verify graph.rkyv index.rkyv", "korvex-graph verify out/*.rkyv"),
    )
    parser.add_argument("archives", nargs="+", metavar="ARCHIVE", help='graph or index archives ("-": standard input)')
    add_json(parser, "print one JSON list, an object per file, instead of the ok lines")
    add_max_input_size(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    check_stdin_once(args.archives)
    failed = 0
    results: list[dict[str, Any]] = []
    for path in args.archives:
        try:
            archive = open_archive(path, max_input_size=args.max_input_size)
        except Failure as failure:
            failed += 1
            print_error(str(failure))
            results.append({"path": path, "ok": False, "error": str(failure)})
            continue
        result: dict[str, Any]
        if isinstance(archive, Graph):
            result = {"kind": "graph", "nodes": len(archive.nodes), "roots": len(archive.roots)}
            what = f"graph archive, {result['nodes']:,} nodes, {result['roots']:,} roots"
        else:
            result = {"kind": "index", "types": len(archive.type_to_file), "files": len(archive.file_to_span)}
            what = f"index archive, {result['types']:,} types, {result['files']:,} files"
        results.append({"path": path, "ok": True, **result, "bytes": archive.nbytes})
        if not args.json:
            print(one_line(f"{path}: ok ({what}, {archive.nbytes:,} bytes)"), flush=True)
    if args.json:
        print_json(results)
    return 1 if failed else 0
