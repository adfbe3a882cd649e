"""korvex-graph extract: the files of a descriptor set that some types need."""

from __future__ import annotations

import argparse
import mmap

from .._source import map_file
from ._common import Failure, add_subcommand, check_outputs, describe_os_error, examples, open_index, say, write_outputs

DESCRIPTION = """\
Write a smaller descriptor set holding just the .proto files that define
the named message or enum types and every file they import, directly or
not, dependencies first: what protoc --include_imports would have written
for those files alone. Each file's bytes are copied unchanged from SET.pb,
found through the index (from `korvex-graph index SET.pb`) without decoding
the rest of the set. Type names are fully qualified (pkg.Message, or
pkg.Outer.Inner); a leading dot is allowed. The output is written
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
    parser.add_argument("index", metavar="INDEX", help="the index archive of SET.pb")
    parser.add_argument("descriptor_set", metavar="SET.pb", help="the descriptor set the index was made from")
    parser.add_argument("types", nargs="+", metavar="TYPE", help="fully qualified message or enum type")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="where to write the smaller set")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    return parser


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _entry_ends_at(data: bytes | mmap.mmap, start: int, size: int) -> bool:
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
    index = open_index(args.index)
    roots: list[str] = []
    for name in args.types:
        file = index.file_of_type(name[1:] if name.startswith(".") else name)
        if file is None:
            raise Failure(f"unknown type '{name}': {args.index} names no file that defines it")
        roots.append(file)
    try:
        data = map_file(args.descriptor_set)
    except OSError as error:
        raise Failure(describe_os_error(error, args.descriptor_set)) from None
    except ValueError as error:
        raise Failure(f"{args.descriptor_set}: {error}") from None

    out = bytearray()
    files = index.closure(roots)
    for file in files:
        span = index.span_of_file(file)
        if span is None:
            raise Failure(f"{args.index}: {file} is imported but has no span; the set was compiled without --include_imports")
        start, end = span
        if not (end <= len(data) and _entry_ends_at(data, start, end - start)):
            raise Failure(f"{args.descriptor_set}: {file} is not at bytes {start} to {end}; "
                          f"is {args.index} the index of this set?")
        out += b"\x0a" + _varint(end - start)
        out += data[start:end]
    write_outputs([(args.output, bytes(out))])
    if not args.quiet:
        say(f"{args.output}: {len(files)} file{'s' if len(files) != 1 else ''}, {len(out):,} bytes")
    return 0
