"""korvex-graph convert: descriptor sets into scoring-graph YAML documents."""

from __future__ import annotations

import argparse
import os

from .._bake import convert_sets, read_sets
from ._common import Failure, add_subcommand, examples, failing_as_one_line, say
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
            "korvex-graph bake scoring-graphs/ -o graph.rkyv    # the same archive as bake set.pb",
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
    with failing_as_one_line(folder):
        os.makedirs(folder, exist_ok=True)
    _write(folder, documents)
    if not args.quiet:
        say(f"{folder}: {len(documents):,} document{'s' if len(documents) != 1 else ''}")
    return 0


def _write(folder: str, documents: dict[str, str]) -> None:
    """Each document into a temporary file in the folder, then all renamed
    into place; after a failure or an interrupt no temporary file is left.
    Unlike a single output, the files are not synced one by one: thousands
    of them would take a minute, and a rename already keeps any reader
    from a half-written one."""
    import tempfile  # imported when an output is written, not at start-up

    staged: list[tuple[str, str]] = []
    try:
        for name, text in documents.items():
            path = os.path.join(folder, name)
            fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
            staged.append((temporary, path))
            with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as file:
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(file.fileno(), 0o666 & ~umask)
                file.write(text)
        for temporary, path in staged:
            os.replace(temporary, path)
    except OSError as error:
        _remove_all(staged)
        raise Failure(f"cannot write into {folder}: {error.strerror or error}") from None
    except BaseException:
        _remove_all(staged)
        raise


def _remove_all(staged: list[tuple[str, str]]) -> None:
    for temporary, _ in staged:
        try:
            os.unlink(temporary)
        except OSError:
            pass
