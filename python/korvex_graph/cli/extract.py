"""korvex-graph extract: the files of a descriptor set that some types need."""

from __future__ import annotations

import argparse
import bisect
import os

from .._bake import read_sets
from ._common import (
    Failure,
    add_subcommand,
    check_outputs,
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
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="where to write the smaller set")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    add_input_options(parser)
    return parser


def _split(arguments: list[str]) -> tuple[list[str], list[str]]:
    """(sets, types) of the arguments after INDEX: argparse gives the sets
    all but the last; they end at the first argument that names no file."""
    def is_set(a: str) -> bool:
        if a.startswith(".") and "/" not in a:
            return False  # a type with its leading dot
        return os.path.exists(a) or a.endswith(".proto")

    k = 1
    while k < len(arguments) and is_set(arguments[k]):
        k += 1
    return arguments[:k], arguments[k:]


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _entry_ends_at(data: bytes, start: int, size: int) -> bool:
    """Whether the bytes before `start` are the tag of a set's file entry
    and a length of `size`: a file's own bytes follow them, so this catches
    an index made from another set without decoding anything else."""
    for length_bytes in range(1, 11):
        tag = start - length_bytes - 1
        if tag < 0:
            return False
        if data[tag] != 0x0A:
            continue
        value = 0
        for i, byte in enumerate(data[tag + 1:start]):
            last = i == length_bytes - 1
            if (byte < 0x80) != last:
                break
            value |= (byte & 0x7F) << (7 * i)
        else:
            if value == size:
                return True
    return False


def run(args: argparse.Namespace) -> int:
    check_outputs([args.output])
    paths, types = _split(args.descriptor_sets + args.types)
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
    starts = [0]
    for s in sets:
        starts.append(starts[-1] + len(s.data))

    out = bytearray()
    files = index.closure(roots)
    for file in files:
        span = index.span_of_file(file)
        if span is None:
            raise Failure(f"{args.index}: {file} is imported but has no span; the set was compiled without --include_imports")
        start, end = span
        k = max(bisect.bisect_right(starts, start) - 1, 0)
        data = sets[min(k, len(sets) - 1)].data
        local = start - starts[k]
        if not (k < len(sets) and end - starts[k] <= len(data) and _entry_ends_at(data, local, end - start)):
            raise Failure(f"{' '.join(paths)}: {file} is not at bytes {start} to {end}; "
                          f"is {args.index} the index of {'this set' if len(paths) == 1 else 'these sets'}?")
        out += b"\x0a" + _varint(end - start)
        out += data[local:local + end - start]
    write_outputs([(args.output, bytes(out))])
    if not args.quiet:
        say(f"{args.output}: {len(files)} file{'s' if len(files) != 1 else ''}, {len(out):,} bytes")
    return 0


def types_hint(last: str) -> str:
    return f"'{last}' names a file; give a type name after the sets (with a leading dot, if it names a file too)"
