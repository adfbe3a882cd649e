"""korvex-graph extract: the files of a descriptor set that some types need."""

from __future__ import annotations

import argparse
import os

from .._bake import read_sets
from .._extract import NoSpan, NotThere, as_set
from ._common import (
    STDIN,
    Failure,
    add_output,
    add_quiet,
    add_subcommand,
    check_outputs,
    check_stdin_once,
    examples,
    open_index,
    say,
    write_outputs,
)
from .bake import add_input_options, read_or_fail

DESCRIPTION = """\
Write a smaller descriptor set holding just the .proto files that define
the named message or enum types and every file they import, directly or
not, dependencies first: what protoc --include_imports would have written
for those files alone. Each file's bytes are copied unchanged from the SETs,
found through the index (from `korvex-graph index SET...`) without
decoding the rest of the set.

The SETs are those the index was made from, in the same order: descriptor
sets (also gzipped) or .proto files, compiled with protoc as index compiled
them. The arguments after INDEX are SETs as long as they name existing
files or end in .proto; the first that does not begins the TYPEs. Type
names are fully qualified (pkg.Message, or pkg.Outer.Inner); a leading dot
is allowed, and makes any argument a type. The output is written
atomically."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "extract",
        "take the files some types need out of a descriptor set",
        DESCRIPTION,
        examples(
            "korvex-graph index set.pb -o index.rkyv",
            "korvex-graph extract index.rkyv set.pb google.protobuf.Timestamp -o slice.pb",
            "protoc --decode=google.protobuf.Timestamp --descriptor_set_in=slice.pb < message.bin",
        ),
    )
    parser.add_argument("index", metavar="INDEX", help="the index archive of the SETs")
    parser.add_argument("descriptor_sets", nargs="+", metavar="SET", help="the descriptor sets the index was made from")
    parser.add_argument("types", nargs="+", metavar="TYPE", help="fully qualified message or enum type")
    add_output(parser, "where to write the smaller set")
    add_quiet(parser)
    add_input_options(parser)
    return parser


def _split(arguments: list[str]) -> tuple[list[str], list[str]]:
    """(sets, types) of the arguments after INDEX: argparse gives the sets
    all but the last; they end at the first argument that names no file."""
    def is_set(a: str) -> bool:
        if a == STDIN:
            return True
        if a.startswith(".") and "/" not in a:
            return False  # a type with its leading dot
        return os.path.exists(a) or a.endswith(".proto")

    k = 1
    while k < len(arguments) and is_set(arguments[k]):
        k += 1
    return arguments[:k], arguments[k:]


def run(args: argparse.Namespace) -> int:
    check_outputs([args.output], [args.index, *args.descriptor_sets, *args.types])
    paths, types = _split(args.descriptor_sets + args.types)
    check_stdin_once([args.index, *paths])
    if not types:
        raise Failure(f"no TYPE given: {types_hint(paths[-1])}")
    index = open_index(args.index, args.max_input_size)
    roots: list[str] = []
    for name in types:
        file = index.file_of_type(name[1:] if name.startswith(".") else name)
        if file is None:
            raise Failure(f"unknown type '{name}': {args.index} names no file that defines it")
        roots.append(file)
    sets = read_or_fail(read_sets, paths, args)
    try:
        slices = index.file_slices([s.data for s in sets], roots)
    except NoSpan as error:
        raise Failure(f"{args.index}: {error}; the set was compiled without --include_imports") from None
    except NotThere as error:
        raise Failure(f"{' '.join(paths)}: {error}; "
                      f"is {args.index} the index of {'this set' if len(paths) == 1 else 'these sets'}?") from None
    out = as_set(slices)
    write_outputs([(args.output, out)])
    if not args.quiet:
        say(f"{args.output}: {len(slices)} file{'s' if len(slices) != 1 else ''}, {len(out):,} bytes")
    return 0


def types_hint(last: str) -> str:
    return f"'{last}' names a file; give a type name after the sets (with a leading dot, if it names a file too)"
