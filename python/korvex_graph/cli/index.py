"""korvex-graph index: the index archive of descriptor sets."""

from __future__ import annotations

import argparse
import sys

from .._bake import index_sets, read_sets
from .._index import Index
from ._common import (
    Failure,
    add_output,
    add_quiet,
    add_subcommand,
    check_outputs,
    examples,
    human_bytes,
    say,
    write_outputs,
)
from .bake import add_input_options, failure_text, read_or_fail

DESCRIPTION = """\
Write the index archive of compiled descriptor sets: which .proto file
defines each message, enum and extension, where each file's bytes lie in
the sets, and which files each file imports. With it, `korvex-graph
extract` and other readers take single files out of a large set without
decoding the rest.

Each SET is a descriptor set (also gzipped) or .proto files, compiled with
protoc. Several are read as one set laid end to end (a file in two of them
once): the spans count from the start of the first, and extract takes the
same SETs in the same order. A type or extension that several files define
maps to the first of them; each such name is warned about on stderr. The
output is written atomically."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "index",
        "write the index archive of descriptor sets",
        DESCRIPTION,
        examples(
            "protoc --include_imports --descriptor_set_out=set.pb -I protos protos/*.proto",
            "korvex-graph index set.pb -o index.rkyv",
            "korvex-graph index -I protos protos/*.proto -o index.rkyv",
        ),
    )
    add_set_arguments(parser, "FILE", "where to write the index archive")
    return parser


def add_set_arguments(parser: argparse.ArgumentParser, output: str, output_help: str) -> None:
    """SET..., -o, -q and the input options of the verbs that read sets."""
    parser.add_argument("descriptor_sets", nargs="+", metavar="SET", help='a descriptor set ("-": standard input), or .proto files')
    add_output(parser, output_help, output)
    add_quiet(parser)
    add_input_options(parser)


def run(args: argparse.Namespace) -> int:
    check_outputs([args.output], args.descriptor_sets)
    sets = read_or_fail(read_sets, args.descriptor_sets, args)
    sys.stderr.flush()  # the core writes its warnings straight to the descriptor
    try:
        archive = index_sets(sets)
    except RuntimeError as error:
        raise Failure(failure_text(error)) from None
    write_outputs([(args.output, archive)])
    if not args.quiet:
        index = Index.open(archive)
        say(
            f"{args.output}: {len(index.type_to_file):,} types in {len(index.file_to_span):,} files, "
            f"{len(index.ext_to_file):,} extensions; {human_bytes(len(archive))}"
        )
    return 0
