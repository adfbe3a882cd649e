"""korvex-graph identify: which message type are these protobuf bytes?"""

from __future__ import annotations

import argparse
import base64
import binascii
import importlib
import os
import stat
import sys
from collections.abc import Sequence
from typing import Any

from .._extract import NoSpan, NotThere
from .._graph import Graph
from .._index import Index
from .._limits import MAX_SET_SIZE, TooLarge, read_bounded
from .._native import Match, PayloadError
from .._source import _open_for_reading, too_large
from .._wire import read_varint
from ._common import (STDIN_TWICE, Failure, add_json, add_max_input_size, add_subcommand, count_argument,
                      describe_os_error, examples, open_archive, open_index, print_error, print_json,
                      reads_stdin_twice)

DESCRIPTION = """\
Name the message type of protobuf payloads: the root types of the baked
graph GRAPH that each payload parses as, best first: the fewer bits the
payload takes as a type, the better. A match with unknown fields or values
out of range is not exact, and pays what encoding them costs; it still
ranks first when its type explains the rest best, as for a payload written
by another version of its schema. Each PAYLOAD is a file, "-" for standard
input, or, with --hex or --base64, the bytes themselves written as text.

With the index archive of the descriptor set the graph was baked from, and
that set (--index, --descriptors), and python3-protobuf installed, the best
match is also decoded and printed as protobuf text format, from only the
files that define its types and what they import.

With --delimited, each PAYLOAD is a stream of messages each preceded by its
length as a varint (as delimited writers write them); with --grpc, a
stream of gRPC frames (a flag byte, a 4-byte big-endian length, the
message). Each record is answered on its own (a thousand at a time, on
native threads, one per core), named by its position and byte offset; a
damaged or compressed frame is reported with its offset and the records
after it are still answered where the stream allows.

A payload (or a stream) larger than --max-input-size (default 256 MiB) is
refused; reading stops one byte past the limit. A descriptor set (--descriptors)
may be as large as protobuf allows (2 GiB) when it is a regular file, and
as large as --max-input-size otherwise.

Exits with 1 when a payload cannot be read, is not protobuf wire format at
all, or takes too much work to identify (the others are still identified)."""

_CHUNK = 1 << 20
_BATCH = 1024  # records of a stream identified at once, on every core


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "identify",
        "name the message type of protobuf payloads",
        DESCRIPTION,
        examples(
            "korvex-graph identify graph.rkyv payload.bin",
            "korvex-graph identify graph.rkyv --hex 0a0568656c6c6f --top 3 --json",
            "korvex-graph identify graph.rkyv - --index index.rkyv --descriptors set.pb < payload.bin",
            "korvex-graph identify graph.rkyv --delimited records.bin",
        ),
    )
    parser.add_argument("graph", metavar="GRAPH", help="a baked graph archive (graph.rkyv)")
    parser.add_argument("payloads", metavar="PAYLOAD", nargs="+",
                        help='a payload file, "-" for standard input, or text with --hex / --base64')
    parser.add_argument("--top", type=count_argument, default=5, metavar="N",
                        help="how many matches to list (default 5); 0 lists every root that parses")
    add_json(parser, "one JSON document on standard output")
    text = parser.add_mutually_exclusive_group()
    text.add_argument("--hex", action="store_true", help="each PAYLOAD is the bytes in hexadecimal")
    text.add_argument("--base64", action="store_true", help="each PAYLOAD is the bytes in base64")
    framing = parser.add_mutually_exclusive_group()
    framing.add_argument("--delimited", action="store_true",
                         help="each PAYLOAD is a stream of varint-length-prefixed messages")
    framing.add_argument("--grpc", action="store_true", help="each PAYLOAD is a stream of gRPC frames")
    add_max_input_size(parser, "a payload or a stream, and ")
    parser.add_argument("--index", metavar="INDEX", help="index archive of the descriptor set (index.rkyv)")
    parser.add_argument("--descriptors", metavar="SET", help="the descriptor set the index describes (.pb)")
    parser.set_defaults(identify_parser=parser)
    return parser


def run(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.identify_parser
    if (args.index is None) != (args.descriptors is None):
        return _usage(parser, "--index and --descriptors go together")
    payloads = args.payloads if not (args.hex or args.base64) else []
    if reads_stdin_twice([args.graph, args.index, args.descriptors, *payloads]):
        return _usage(parser, STDIN_TWICE)
    graph = open_archive(args.graph, "graph", args.max_input_size)
    assert isinstance(graph, Graph)
    decoder = _Decoder.open(args.index, args.descriptors, args.max_input_size) if args.index is not None else None

    failed = False
    results: list[dict[str, Any]] = []
    for name in args.payloads:
        label = "<stdin>" if name == "-" and not (args.hex or args.base64) else name
        try:
            data = _payload(name, args)
        except (Failure, OSError) as e:
            failed = True
            _report(label, e, results)
            continue
        records: list[tuple[str, bytes | Failure]] = [(label, data)]
        if args.delimited or args.grpc:
            records = [(f"{label} record {i} at byte offset {offset}", record)
                       for i, (offset, record) in enumerate(_frames(data, args.grpc))]
            if not records and not args.json:
                print(f"{label}\n  no records")
        for start in range(0, len(records), _BATCH):
            batch = records[start:start + _BATCH]
            answers = iter(_answers(graph, [p for _, p in batch if not isinstance(p, Failure)], args.top or None))
            for record_label, payload in batch:
                found = payload if isinstance(payload, Failure) else next(answers)
                failed |= not _show(record_label, payload, found, args, decoder, results)
    if args.json:
        print_json(results)
    return 1 if failed else 0


def _answers(graph: Graph, payloads: list[bytes], top: int | None) -> list[list[Match] | PayloadError]:
    """The matches of each payload, or why it has none: all at once on
    native threads, or one by one when some payload fails (identify_many
    raises for it), which answers alike."""
    try:
        return list(graph.identify_many(payloads, top=top))
    except PayloadError:
        out: list[list[Match] | PayloadError] = []
        for payload in payloads:
            try:
                out.append(graph.identify(payload, top=top))
            except PayloadError as e:
                out.append(e)
        return out


def _show(label: str, payload: bytes | Failure, found: list[Match] | Failure | PayloadError,
          args: argparse.Namespace, decoder: _Decoder | None, results: list[dict[str, Any]]) -> bool:
    """Prints a payload's answer or its error; False when it failed."""
    if isinstance(found, (Failure, PayloadError)):
        _report(label, found, results)
        return False
    assert not isinstance(payload, Failure)
    result: dict[str, Any] = {"payload": label, "matches": [_as_dict(m) for m in found]}
    if decoder is not None and found:
        try:
            result["decoded_as"], result["decoded"] = decoder.decode(found[0].names, payload)
        except Failure as e:
            _report(label, e)
    results.append(result)
    if not args.json:
        _print_text(result)
    return True


def _report(label: str, error: BaseException, results: list[dict[str, Any]] | None = None) -> None:
    """One line on stderr naming the payload (once: an OSError names its
    file itself), after the answers printed so far, so that a terminal
    shows them in stream order."""
    text = _describe(error)
    if not (isinstance(error, OSError) and error.filename is not None):
        text = f"{label}: {text}"
    try:
        sys.stdout.flush()
    except OSError:
        pass  # reported when the answers are written
    print_error(text)
    if results is not None:
        results.append({"payload": label, "error": _describe(error)})


def _usage(parser: argparse.ArgumentParser, message: str) -> int:
    parser.print_usage(sys.stderr)
    print(f"{parser.prog}: error: {message}", file=sys.stderr)
    return 2


def _read_input(path: str, limit: int, regular_limit: int | None = None) -> bytes:
    """The bytes of the file at `path` ("-": standard input), refused past
    `limit` (for a regular file, `regular_limit` when given), reading one
    byte past it at most. Opened without blocking, so that a FIFO without a
    writer reads as empty instead of waiting for one."""
    if path == "-":
        file, size = sys.stdin.buffer, None
    else:
        file = _open_for_reading(path)
        info = os.fstat(file.fileno())
        size = info.st_size if stat.S_ISREG(info.st_mode) else None
    try:
        if size is not None and regular_limit is not None:
            limit = regular_limit
        if size is not None and size > limit:  # refused without reading it
            raise TooLarge([])
        return read_bounded(file, limit, _CHUNK if size is None else min(size + 1, limit + 1))
    except TooLarge:
        raise Failure(too_large(limit)) from None
    finally:
        if file is not sys.stdin.buffer:
            file.close()


def _frames(data: bytes, grpc: bool) -> list[tuple[int, bytes | Failure]]:
    """(offset, message or the fault) of each record of a delimited or gRPC
    stream. A record whose length runs past the end ends the stream; a
    compressed gRPC frame, or one whose flag byte is neither 0 nor 1, is
    reported and skipped."""
    out: list[tuple[int, bytes | Failure]] = []
    at = 0
    while at < len(data):
        start = at
        if grpc:
            if len(data) - at < 5:
                out.append((start, Failure("truncated gRPC frame header")))
                break
            flag, length = data[at], int.from_bytes(data[at + 1:at + 5], "big")
            at += 5
            if at + length > len(data):
                out.append((start, Failure(f"gRPC frame of {length} bytes runs past the end of the stream")))
                break
            if flag == 1:
                out.append((start, Failure("compressed gRPC frame (flag 1) is not identified")))
            elif flag != 0:
                # Skipped by its length all the same: what follows may still
                # be frames, and is answered or reported as such.
                out.append((start, Failure(f"not a gRPC frame: flag byte {flag} is neither 0 nor 1")))
            else:
                out.append((start, data[at:at + length]))
            at += length
            continue
        length, at = read_varint(data, at)
        if length < 0:
            out.append((start, Failure("truncated or overlong length varint")))
            break
        if at + length > len(data):
            out.append((start, Failure(f"record of {length} bytes runs past the end of the stream")))
            break
        out.append((start, data[at:at + length]))
        at += length
    return out


def _payload(name: str, args: argparse.Namespace) -> bytes:
    if args.hex:
        try:
            return bytes.fromhex(name)
        except ValueError:
            raise Failure("not hexadecimal text") from None
    if args.base64:
        try:
            return base64.b64decode(name, validate=True)
        except binascii.Error:
            raise Failure("not base64 text") from None
    return _read_input(name, args.max_input_size)


def _describe(e: BaseException) -> str:
    return describe_os_error(e) if isinstance(e, OSError) else str(e)


def _as_dict(m: Match) -> dict[str, Any]:
    return {"score": m.score, "node": m.node, "names": list(m.names), "exact": m.exact, "reason": m.reason}


def _print_text(result: dict[str, Any]) -> None:
    print(result["payload"])
    if not result["matches"]:
        print("  no root type parses these bytes")
    for m in result["matches"]:
        print(f"  {m['score']:12.2f}  {m['reason']:<24}  {' | '.join(m['names'])}")
    if "decoded" in result:
        print(f"  decoded as {result['decoded_as']}:")
        for line in result["decoded"].splitlines():
            print(f"    {line}")


class _Decoder:
    """Decodes payloads with python3-protobuf, from the files of a
    descriptor set that define a type and the files they import."""

    def __init__(self, index: Index, descriptors: bytes) -> None:
        self.index = index
        self.descriptors = descriptors

    @classmethod
    def open(cls, index_path: str, descriptors_path: str, max_input_size: int) -> _Decoder:
        index = open_index(index_path, max_input_size)
        try:
            descriptors = _read_input(descriptors_path, max_input_size, MAX_SET_SIZE)
        except OSError as error:
            raise Failure(describe_os_error(error, descriptors_path)) from None
        except Failure as error:
            raise Failure(f"{descriptors_path}: {error}") from None
        return cls(index, descriptors)

    def decode(self, names: Sequence[str], payload: bytes) -> tuple[str, str]:
        try:
            pb: Any = importlib.import_module("google.protobuf.descriptor_pb2")
            pool_module: Any = importlib.import_module("google.protobuf.descriptor_pool")
            factory: Any = importlib.import_module("google.protobuf.message_factory")
            text_format: Any = importlib.import_module("google.protobuf.text_format")
        except ImportError:
            raise Failure("python3-protobuf is not installed: the match is not decoded") from None
        files = [f for f in (self.index.file_of_type(n) for n in names) if f is not None]
        if not files:
            raise Failure(f"the index does not know {names[0]}: the match is not decoded")
        pool = pool_module.DescriptorPool()
        try:
            slices = self.index.file_slices([self.descriptors], files)
        except (NoSpan, NotThere) as error:
            raise Failure(f"the descriptor set holds no bytes for {error.file}: the match is not decoded") from None
        for file, data in slices:
            try:
                pool.Add(pb.FileDescriptorProto.FromString(data))
            except Exception as e:  # protobuf's own errors have no common base
                raise Failure(f"{file}: {e}: the match is not decoded") from None
        for name in names:
            try:
                descriptor = pool.FindMessageTypeByName(name)
            except KeyError:
                continue
            make = getattr(factory, "GetMessageClass", None)
            cls = make(descriptor) if make is not None else factory.MessageFactory(pool).GetPrototype(descriptor)
            message = cls()
            try:
                message.ParseFromString(payload)
            except Exception as e:
                raise Failure(f"python3-protobuf cannot parse it as {name}: {e}") from None
            return name, str(text_format.MessageToString(message))
        raise Failure(f"the descriptor set does not define {names[0]}: the match is not decoded")

