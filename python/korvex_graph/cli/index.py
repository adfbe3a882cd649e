"""korvex-graph index: a descriptor set's index archive."""

from __future__ import annotations

import argparse

from .. import _native
from .._bake import read_descriptor_set
from .._index import Index
from ._common import Failure, add_subcommand, check_outputs, describe_os_error, examples, human_bytes, say, write_outputs

DESCRIPTION = """\
Write the index archive of a compiled descriptor set: which .proto file
defines each message, enum and extension, where each file's bytes lie in
the set, and which files each file imports. With it, `korvex-graph extract`
and other readers take single files out of a large set without decoding
the rest. The output is written atomically."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "index",
        "write the index archive of a descriptor set",
        DESCRIPTION,
        examples(
            "protoc --include_imports --descriptor_set_out=set.pb -I protos protos/*.proto",
            "korvex-graph index set.pb -o index.rkyv",
        ),
    )
    parser.add_argument("descriptor_set", metavar="SET.pb", help="a compiled descriptor set")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="where to write the index archive")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    return parser


def run(args: argparse.Namespace) -> int:
    check_outputs([args.output])
    try:
        data = read_descriptor_set(args.descriptor_set)
    except OSError as error:
        raise Failure(describe_os_error(error, args.descriptor_set)) from None
    except ValueError as error:
        raise Failure(str(error)) from None
    try:
        archive = _native.index(data)
    except RuntimeError as error:
        raise Failure(f"{args.descriptor_set}: {error}") from None
    write_outputs([(args.output, archive)])
    if not args.quiet:
        index = Index.open(archive)
        say(
            f"{args.output}: {len(index.type_to_file):,} types in {len(index.file_to_span):,} files, "
            f"{len(index.ext_to_file):,} extensions; {human_bytes(len(archive))}"
        )
    return 0
