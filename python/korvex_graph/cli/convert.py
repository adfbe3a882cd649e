"""korvex-graph convert: descriptor sets into scoring-graph YAML documents."""

from __future__ import annotations

import argparse
import os

from .._bake import convert_sets, read_sets
from ._common import Failure, add_subcommand, examples, failing_as_one_line, say, write_outputs
from .bake import failure_text, read_or_fail
from .index import add_set_arguments

DESCRIPTION = """\
Write the scoring-graph YAML document of every .proto file of compiled
descriptor sets into a folder, one file per .proto file, named after its
path with "/" as "__" (google/protobuf/any.proto ->
google__protobuf__any.proto.yaml): the documents `korvex-graph bake` reads
the sets as, for build_graph or any other reader of scoring graphs.

Each SET is a descriptor set (also gzipped) or .proto files, compiled with
protoc; several are read as one set (a file in two of them once), each
file's enum ranges as that file sees its enums. The folder is created when
missing. Each file replaces its namesake at once, never half-written (a
temporary file renamed over it); none is written when the conversion
fails."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "convert",
        "write the scoring-graph YAML documents of descriptor sets",
        DESCRIPTION,
        examples(
            "korvex-graph convert set.pb -o scoring-graphs/",
            "korvex-graph convert -I protos protos/*.proto -o scoring-graphs/",
            "korvex-graph bake scoring-graphs/ -o graph.rkyv    # the same types as bake set.pb",
        ),
    )
    add_set_arguments(parser, "DIR", "the folder to write the documents into")
    return parser


def run(args: argparse.Namespace) -> int:
    folder = args.output
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise Failure(f"{folder}: not a folder")
    sets = read_or_fail(read_sets, args.descriptor_sets, args)
    try:
        documents = convert_sets(sets)
    except RuntimeError as error:
        raise Failure(failure_text(error)) from None
    # A set named as one of its documents, in the folder, would be replaced.
    for path in args.descriptor_sets:
        if (os.path.basename(path) in documents and os.path.isfile(path)
                and os.path.realpath(os.path.dirname(path) or ".") == os.path.realpath(folder)):
            raise Failure(f"{path}: is also an input; give another folder to write")
    created = not os.path.isdir(folder)
    with failing_as_one_line(folder):
        os.makedirs(folder, exist_ok=True)
    try:
        write_outputs([(os.path.join(folder, name), text) for name, text in documents.items()], sync=False)
    except BaseException:
        if created:  # nothing was written into it
            try:
                os.rmdir(folder)
            except OSError:
                pass
        raise
    if not args.quiet:
        say(f"{folder}: {len(documents):,} document{'s' if len(documents) != 1 else ''}")
    return 0
