"""Graph.identify and `korvex-graph identify`: which root types a protobuf
payload parses as.

The ranking rules on a small schema with one type per rule, pinned as
exact reasons and orders; the Match records; the arguments and the exact
PayloadError messages; soundness over the shared corpora (a payload
generated for a root, by the evaluation script's generator, is always
matched exactly by that root's node, and top=k is the full answer's best
tier); threads sharing a graph; and the command line, down to decoding the
best match with python3-protobuf from a descriptor set and its index.
"""

from __future__ import annotations

import array
import importlib.util
import io
import json
import os
import pathlib
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvex_graph as kg
import korvex_graph_lib as kx
from conftest import REPO_ROOT
from korvex_graph import cli

sys.path.insert(0, str(REPO_ROOT / "tools"))
import identify_eval  # noqa: E402  the generator of the evaluation

CORPORA = REPO_ROOT / "testdata" / "corpora"

SCHEMA = """\
entries: [t.Flag, t.Count, t.Big, t.Name, t.Blob, t.Outer, t.Nums, t.Req, t.Ext, t.Pair, t.Same]
messages:
  t.Flag: {fields: [{number: 1, type: bool, range: [0, 1]}]}
  t.Count: {fields: [{number: 1, type: int32}]}
  t.Big: {fields: [{number: 1, type: int64}]}
  t.Name: {fields: [{number: 1, type: string}]}
  t.Blob: {fields: [{number: 1, type: bytes}]}
  t.Outer: {fields: [{number: 1, type: message, child: t.Flag}]}
  t.Nums: {fields: [{number: 1, type: int32, label: repeated, packed: true}]}
  t.Req: {fields: [{number: 1, type: int32}, {number: 2, type: int32, label: required}]}
  t.Ext: {fields: [{number: 1, type: int32}], ext_ranges: [[100, 199]]}
  t.Pair: {fields: [{number: 1, type: int32}, {number: 2, type: string}]}
  t.Same: {fields: [{number: 1, type: int32}]}
"""


def bake(*documents: str) -> kg.Graph:
    archive, _, _ = kx.build_graph(list(documents))
    return kg.Graph.open(archive)


@pytest.fixture(scope="module")
def graph() -> kg.Graph:
    return bake(SCHEMA)


def ranking(matches: list[kg.Match]) -> list[str]:
    return [f"{'|'.join(m.names)} {m.reason}" for m in matches]


@pytest.mark.parametrize(
    "payload, expected",
    [
        # A bool explains 1 best, int32 beats int64; t.Count and t.Ext cost
        # the same and rank by name; the required field missing is a violation.
        (b"\x08\x01", ["t.Flag exact", "t.Count|t.Same exact", "t.Ext exact", "t.Big exact", "t.Nums exact",
                       "t.Pair exact", "t.Req 1 required field missing"]),
        # 2 is outside the bool's range (dearer than a missing required field); 2^40 fits only int64.
        (b"\x08\x02", ["t.Count|t.Same exact", "t.Ext exact", "t.Big exact", "t.Nums exact", "t.Pair exact",
                       "t.Req 1 required field missing", "t.Flag 1 value out of range"]),
        (b"\x08\x80\x80\x80\x80\x80\x20", ["t.Big exact", "t.Count|t.Same 1 value out of range",
                                           "t.Ext 1 value out of range", "t.Flag 1 value out of range",
                                           "t.Nums 1 value out of range", "t.Pair 1 value out of range",
                                           "t.Req 1 value out of range, 1 required field missing"]),
            # A nested message over bytes over packed varints; control bytes are dear as text.
            (b"\x0a\x02\x08\x01", ["t.Outer exact", "t.Blob exact", "t.Nums exact", "t.Name exact"]),
            # Text is cheapest as a string. A field no type declares (9) costs what it takes to
            # encode, so the type that explains the rest still ranks first, inexact.
            (b"\x08\x01\x12\x03abc\x48\x01", ["t.Pair 1 unknown field", "t.Flag 2 unknown fields",
                                              "t.Count|t.Same 2 unknown fields", "t.Ext 2 unknown fields",
                                              "t.Big 2 unknown fields", "t.Nums 2 unknown fields",
                                              "t.Req 2 unknown fields, 1 required field missing"]),
        # Invalid UTF-8 is no string; field 150 is an extension of t.Ext only.
        (b"\x0a\x01\x80", ["t.Blob exact"]),
        (b"\x08\x01\xb0\x09\x01", ["t.Ext exact, 1 extension field", "t.Flag 1 unknown field",
                                   "t.Count|t.Same 1 unknown field", "t.Big 1 unknown field", "t.Nums 1 unknown field",
                                   "t.Pair 1 unknown field", "t.Req 1 unknown field, 1 required field missing"]),
    ],
)
def test_ranking_rules(graph, payload, expected):
    assert ranking(graph.identify(payload, top=None)) == expected


def test_match_records(graph):
    first, *rest = graph.identify(b"\x08\x01", top=None)
    assert isinstance(first, kg.Match) and isinstance(first, tuple)
    assert first == (first.score, first.node, first.names, first.exact, first.reason)
    assert (type(first.score), type(first.node), type(first.names), type(first.exact)) == (float, int, tuple, bool)
    assert first.score == -2.0  # presence: log2(1 + 1) + log2 C(1, 1); the bool: 1 bit
    assert graph.node(first.node) == graph.node(graph.root("t.Flag").state)
    # Roots sharing a node are one match, names sorted: t.Same merged with t.Count.
    assert ("t.Count", "t.Same") in [m.names for m in rest]
    assert all(a.score >= b.score for a, b in zip([first, *rest], rest))


@pytest.mark.parametrize(
    "top, expected",
    [(None, 7), (5, 5), (100, 7), (2**64, 7), (0, 0)],  # a top past the number of roots lists them all
)
def test_top(graph, top, expected):
    full = graph.identify(b"\x08\x01", top=None)
    assert graph.identify(b"\x08\x01", top=top) == full[:expected]
    assert graph.identify(b"\x08\x01") == full[:5]


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, memoryview, lambda b: array.array("B", b),
     lambda b: memoryview(b"xx" + b + b"yy")[2:-2]],
)
def test_any_buffer(graph, make):
    assert graph.identify(make(b"\x08\x01")) == graph.identify(b"\x08\x01")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.identify(b"\x08"), kg.PayloadError,
         "not protobuf wire format: truncated varint at byte offset 1"),
        (lambda g: g.identify(b"\x08\x01\x0b\x14"), kg.PayloadError,
         "not protobuf wire format: end-group tag of another field at byte offset 3"),
        (lambda g: g.identify(b"\x0c"), kg.PayloadError,
         "not protobuf wire format: end-group tag without a group at byte offset 0"),
        (lambda g: g.identify(b"\x08\x01", top=-1), ValueError, "identify() top must be None or at least 0, not -1"),
        (lambda g: g.identify("text"), TypeError, "identify() argument must be a bytes-like object, not str"),
        (lambda g: g.identify(b"", top="5"), TypeError, None),
        (lambda g: g.identify(memoryview(b"abcd")[::2]), BufferError, None),
        (lambda g: g.identify(), TypeError, "identify() missing required argument 'payload' (pos 1)"),
        (lambda g: g.identify(b"", 5, 6), TypeError, "identify() takes at most 2 arguments (3 given)"),
    ],
)
def test_errors(graph, call, error, message):
    with pytest.raises(error) as raised:
        call(graph)
    if message is not None:
        assert str(raised.value) == message
    assert issubclass(kg.PayloadError, ValueError)


@pytest.fixture(scope="module")
def corpora():
    out = {}
    for name in ("wkt", "opentelemetry", "grpc-proto"):
        documents = identify_eval.read_documents(str(CORPORA / name))
        out[name] = (identify_eval.Schema(documents), bake(*documents))
    return out


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32), corpus=st.sampled_from(["wkt", "opentelemetry", "grpc-proto"]))
def test_generated_payloads_match_their_root_exactly(corpora, seed, corpus):
    schema, graph = corpora[corpus]
    for root, payload, _ in identify_eval.payloads(schema, 4, seed, 3):
        full = graph.identify(payload, top=None)
        truth = graph.root(root).state
        assert any(m.exact and m.node == truth for m in full), (root, payload.hex())
        assert graph.identify(payload, top=3) == full[:3]


def test_threads_share_a_graph(corpora):
    schema, _ = corpora["grpc-proto"]
    archive, _, _ = kx.build_graph(identify_eval.read_documents(str(CORPORA / "grpc-proto")))
    graph = kg.Graph.open(archive)  # fresh: the lookups are built by whichever thread comes first
    payloads = [p for _, p, _ in identify_eval.payloads(schema, 40, 7, 3)]
    expected = [kg.Graph.open(archive).identify(p, top=None) for p in payloads]
    results: dict[int, list[list[kg.Match]]] = {}

    def work(i: int) -> None:
        results[i] = [graph.identify(p, top=None) for p in payloads]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[i] == expected for i in range(4))
    # identify_many: the same answers from native threads, in order, from any iterable of buffers.
    assert graph.identify_many(payloads, top=None, threads=3) == expected
    assert graph.identify_many(map(bytearray, payloads[:5]), top=2) == [e[:2] for e in expected[:5]]
    assert graph.identify_many([]) == []
    with pytest.raises(kg.PayloadError, match=r"^payload 1: not protobuf wire format: truncated varint"):
        graph.identify_many([payloads[0], b"\x08"])
    with pytest.raises(TypeError, match=r"^identify_many\(\) payload 2 must be a bytes-like object, not str$"):
        graph.identify_many([payloads[0], b"", "text"])
    for threads in (0, -2**70):
        with pytest.raises(ValueError, match=f"threads must be None or at least 1, not {threads}$"):
            graph.identify_many(payloads, threads=threads)


def test_payloads_their_owner_rewrites_meanwhile(graph):
    # A bytearray rewritten (not resized) by another thread while the calls
    # read it with the lock released: each reads one of its states (with the
    # lock; without, a copy may catch a write half done, valid fields too).
    payload, stop = bytearray(b"\x08\x00" * 50_000), threading.Event()
    expected = {repr(graph.identify(bytes([tag, 0]) * 20_000 + payload[40_000:], top=3)) for tag in (8, 16)}

    def rewrite() -> None:
        while not stop.is_set():
            payload[0:40_000:2] = bytes([0x18 - payload[0]]) * 20_000

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        answers = [graph.identify(payload, top=3) for _ in range(40)] + graph.identify_many([payload] * 40, top=3)
    finally:
        stop.set()
        writer.join()
    assert all(answers)
    assert getattr(sys, "_is_gil_enabled", lambda: True)() is False or {repr(a) for a in answers} <= expected


# ------------------------------------------------------------ command line --


def run_cli(argv, stdin=b""):
    out, err = io.StringIO(), io.StringIO()
    old = sys.stdout, sys.stderr, sys.stdin
    sys.stdout, sys.stderr = out, err
    sys.stdin = io.TextIOWrapper(io.BytesIO(stdin))
    try:
        try:
            code = cli.main(["identify", *argv])
        except SystemExit as e:
            code = e.code
    finally:
        sys.stdout, sys.stderr, sys.stdin = old
    return code, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def graph_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("identify") / "graph.rkyv"
    archive, _, _ = kx.build_graph([SCHEMA])
    path.write_bytes(archive)
    return path


def test_cli_text_and_exit_codes(graph_file, tmp_path):
    (tmp_path / "flag.bin").write_bytes(b"\x08\x01")
    code, out, err = run_cli([str(graph_file), str(tmp_path / "flag.bin"), "--top", "2"])
    assert (code, err) == (0, "")
    assert out.splitlines()[1:] == ["         -2.00  exact                     t.Flag",
                                    "         -8.60  exact                     t.Count | t.Same"]
    # Not wire format, not hexadecimal, missing: one line each, status 1,
    # and the other payloads are still identified.
    code, out, err = run_cli([str(graph_file), "--hex", "0801", "08", "zz"])
    assert code == 1
    assert err.splitlines() == [
        "korvex-graph: error: 08: not protobuf wire format: truncated varint at byte offset 1",
        "korvex-graph: error: zz: not hexadecimal text"]
    assert out.startswith("0801\n")
    code, _, err = run_cli([str(graph_file), str(tmp_path / "missing.bin")])
    assert (code, err) == (1, f"korvex-graph: error: {tmp_path / 'missing.bin'}: No such file or directory\n")
    code, _, err = run_cli([str(tmp_path / "flag.bin"), "-"], stdin=b"\x08\x01")
    assert code == 1 and err.endswith("flag.bin: too short for an archive (2 bytes; the header alone has 24)\n")
    assert err.startswith("korvex-graph: error: ") and err.count("\n") == 1
    for usage in (["--top", "-1", str(graph_file), "-"], [str(graph_file), "-", "--index", "x"], [str(graph_file)],
                  [str(graph_file), "-", "--max-input-size", "x"], [str(graph_file), "-", "--grpc", "--delimited"]):
        assert run_cli(usage)[0] == 2
    # A top past the number of roots lists them all.
    code, out, _ = run_cli([str(graph_file), "--hex", "0801", "--top", "99999999999999999999"])
    assert code == 0 and len(out.splitlines()) == 8
    # Inputs are read one byte past the limit, no further.
    code, _, err = run_cli([str(graph_file), "-", "--max-input-size", "1K"], stdin=b"\x08\x01" * 1000)
    assert (code, err) == (1, "korvex-graph: error: <stdin>: larger than 1 KiB (the limit; --max-input-size raises it)\n")
    # So is a descriptor set from a pipe; a FIFO without a writer reads as
    # empty instead of blocking; a name with a line break stays one line.
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "index.rkyv").write_bytes(kx.build_fds_index({}, {}, {}, {}))
    code, _, err = run_cli([str(graph_file), str(tmp_path / "fifo"), "--max-input-size", "1K",
                            "--index", str(tmp_path / "index.rkyv"), "--descriptors", "/dev/zero"])
    assert (code, err) == (1, "korvex-graph: error: /dev/zero: larger than 1 KiB (the limit; --max-input-size raises "
                              "it)\n")
    assert run_cli([str(graph_file), str(tmp_path / "fifo"), "--top", "1"])[0] == 0
    code, _, err = run_cli([str(graph_file), "--hex", "new\nline"])
    assert (code, err) == (1, "korvex-graph: error: new\\nline: not hexadecimal text\n")


def test_cli_streams(graph_file, tmp_path):
    # Delimited: good, not wire format, then a length past the end (a
    # tenth byte's bits past the 64th dropped, as protobuf drops them).
    (tmp_path / "d.bin").write_bytes(b"\x02\x08\x01" b"\x01\x08" + b"\xff" * 9 + b"\x7f")
    code, out, err = run_cli([str(graph_file), str(tmp_path / "d.bin"), "--delimited", "--top", "1"])
    assert code == 1
    assert out.splitlines()[0] == f"{tmp_path / 'd.bin'} record 0 at byte offset 0"
    assert err.splitlines() == [
        f"korvex-graph: error: {tmp_path / 'd.bin'} record 1 at byte offset 3: not protobuf wire format: truncated "
        "varint at byte offset 1",
        f"korvex-graph: error: {tmp_path / 'd.bin'} record 2 at byte offset 5: record of {2**64 - 1} bytes runs past "
        "the end of the stream"]
    # gRPC: a compressed frame and one that is not a frame are reported, the
    # next one still answered.
    frames = b"\x01\x00\x00\x00\x01\x00" + b"\xff\x00\x00\x00\x00" + b"\x00\x00\x00\x00\x02\x08\x01"
    code, out, err = run_cli([str(graph_file), "-", "--grpc", "--json", "--top", "1"], stdin=frames)
    assert code == 1 and err.splitlines() == [
        "korvex-graph: error: <stdin> record 0 at byte offset 0: compressed gRPC frame (flag 1) is not identified",
        "korvex-graph: error: <stdin> record 1 at byte offset 6: not a gRPC frame: flag byte 255 is neither 0 nor 1"]
    assert [r.get("matches", [{}])[0].get("names") for r in json.loads(out)] == [None, None, ["t.Flag"]]
    # An empty stream is said to be one, in text; in JSON it has no records.
    assert run_cli([str(graph_file), "-", "--grpc"]) == (0, "<stdin>\n  no records\n", "")
    assert run_cli([str(graph_file), "-", "--delimited", "--json"]) == (0, "[]\n", "")


def test_cli_json_stdin_and_base64(graph_file, tmp_path):
    code, out, err = run_cli([str(graph_file), "-", "--json", "--top", "0"], stdin=b"\x08\x01")
    assert (code, err) == (0, "")
    [result] = json.loads(out)
    assert result["payload"] == "<stdin>"
    assert [m["names"] for m in result["matches"]][:2] == [["t.Flag"], ["t.Count", "t.Same"]]
    assert len(result["matches"]) == 7 and result["matches"][0]["exact"] is True
    code, out, _ = run_cli([str(graph_file), "--base64", "CAE=", "--json"])
    assert code == 0 and json.loads(out)[0]["matches"][0]["names"] == ["t.Flag"]
    # Valid JSON in any terminal encoding: what is not ASCII is escaped.
    (tmp_path / "fl\u00e4g.bin").write_bytes(b"\x08\x01")
    code, out, _ = run_cli([str(graph_file), str(tmp_path / "fl\u00e4g.bin"), "--json"])
    assert code == 0 and out.isascii() and json.loads(out)[0]["payload"] == str(tmp_path / "fl\u00e4g.bin")


def wkt_descriptor_set() -> tuple[bytes, bytes]:
    """The well-known types as a FileDescriptorSet, from python3-protobuf's
    own compiled descriptors, and its index archive."""
    from google.protobuf import (any_pb2, api_pb2, descriptor_pb2, duration_pb2, empty_pb2, field_mask_pb2,
                                 source_context_pb2, struct_pb2, timestamp_pb2, type_pb2, wrappers_pb2)

    modules = [descriptor_pb2, any_pb2, duration_pb2, empty_pb2, field_mask_pb2, source_context_pb2, struct_pb2,
               timestamp_pb2, type_pb2, wrappers_pb2, api_pb2]
    data = bytearray()
    type_to_file, file_to_span, dep_graph = {}, {}, {}
    for module in modules:
        proto = descriptor_pb2.FileDescriptorProto.FromString(module.DESCRIPTOR.serialized_pb)
        body = proto.SerializeToString()
        data += identify_eval.tag(1, 2) + identify_eval.varint(len(body))
        file_to_span[proto.name] = (len(data), len(data) + len(body))
        data += body
        dep_graph[proto.name] = list(proto.dependency)

        def walk(prefix, messages):
            for m in messages:
                type_to_file[prefix + m.name] = proto.name
                walk(prefix + m.name + ".", m.nested_type)

        walk(proto.package + ".", proto.message_type)
    return bytes(data), kx.build_fds_index(type_to_file, file_to_span, dep_graph, {})


@pytest.mark.skipif(importlib.util.find_spec("google") is None or importlib.util.find_spec("google.protobuf") is None,
                    reason="python3-protobuf not installed")
def test_cli_decodes_the_best_match(tmp_path):
    from google.protobuf import descriptor_pb2

    documents = identify_eval.read_documents(str(CORPORA / "wkt"))
    archive, _, _ = kx.build_graph(documents)
    descriptors, index = wkt_descriptor_set()
    for name, data in (("graph.rkyv", archive), ("set.pb", descriptors), ("index.rkyv", index)):
        (tmp_path / name).write_bytes(data)
    option = descriptor_pb2.FieldOptions(ctype=descriptor_pb2.FieldOptions.CORD, lazy=True)
    code, out, err = run_cli([str(tmp_path / "graph.rkyv"), "--hex", option.SerializeToString().hex(), "--top", "1",
                              "--index", str(tmp_path / "index.rkyv"), "--descriptors", str(tmp_path / "set.pb")])
    assert (code, err) == (0, "")
    assert out.splitlines()[1:] == ["        -10.56  exact                     google.protobuf.FieldOptions",
                                    "  decoded as google.protobuf.FieldOptions:", "    ctype: CORD", "    lazy: true"]
