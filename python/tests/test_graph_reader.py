"""korvex_graph.Graph: reading baked graph archives back.

Round trips are the backbone: for every shared corpus and for generated
scoring graphs, the opened archive dumps to exactly the YAML build_graph
returned and reads as the independent struct reader of the tests reads it.
Then the sources a graph opens from, the lookups, the sequences and
records, the exact error messages, and corrupted archives: every
truncation and random flips either raise ArchiveError or open into a graph
that keeps the invariants of a compiled graph, never a crash.
"""

from __future__ import annotations

import collections.abc
import gc
import mmap
import os
import pathlib
import random
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvex_graph as kg
import korvex_graph_lib as kx
from archive_reader import Graph as StructGraph
from archive_reader import check_consistent, read_graph
from test_bake_end_to_end import CASES, EXPECTED, load_case

ONE_MESSAGE = "entries: [pkg.A]\nmessages:\n  pkg.A:\n    fields:\n      - {number: 1, type: int32}\n"


def as_struct(graph: kg.Graph) -> StructGraph:
    """The graph in the independent reader's terms (0xFFFF for None)."""
    none = 0xFFFF
    return StructGraph(
        nodes=[(n.id, n.type, int(n.is_string), none if n.range is None else n.range,
                none if n.ext_set is None else n.ext_set, n.first_transition, n.transition_count)
               for n in graph.nodes],
        transitions=[(t.from_, t.field, t.label, t.wire_type, int(t.packed), t.to) for t in graph.transitions],
        roots=[(r.fqdn, r.state) for r in graph.roots],
        leaf_ranges=list(graph.leaf_ranges),
        state_count=graph.state_count,
        ext_ranges=list(graph.ext_ranges),
        ext_range_sets=list(graph.ext_range_sets),
        merged_flag=graph.merged_flag,
    )


def check_lookups(graph: kg.Graph) -> None:
    """Every lookup agrees with the lists it searches."""
    for t in graph.transitions:
        found = graph.transition(t.from_, t.field)
        assert found is not None and (found.from_, found.field) == (t.from_, t.field)
    first: dict[str, int] = {}
    for i, root in enumerate(graph.roots):
        first.setdefault(root.fqdn, i)
    for name, i in first.items():
        assert graph.root(name) == graph.roots[i]
    for node in graph.nodes:
        assert list(node.transitions) == list(graph.transitions[node.first_transition:][:node.transition_count])
        assert (node.leaf_range is None) == (node.range is None)


# ------------------------------------------------------------ round trips


@pytest.mark.parametrize("case", CASES)
def test_every_shared_corpus_reads_back_as_its_dump(case):
    docs, files, _ = load_case(case)
    archive = files["graph.rkyv"]
    graph = kg.Graph.open(archive)
    assert graph.to_yaml() == files["minimised.yaml"].decode("utf-8")
    assert as_struct(graph) == read_graph(archive)
    check_lookups(graph)
    if case == "warnings":
        # The archive build_graph makes today opens the same way.
        built, dump, _ = kx.build_graph(docs, emit_yaml=True)
        assert kg.Graph.open(built).to_yaml() == dump


FIELD_KINDS = ["int32", "uint32", "sint32", "int64", "uint64", "sint64", "double", "float", "string", "bytes",
               "bool", "enum", "message", "group"]


@st.composite
def scoring_graphs(draw):
    """One or two documents over a handful of messages, with every field
    kind, labels, packing, ranges, groups, extension ranges and roots."""
    names = draw(st.lists(st.sampled_from(["a.A", "a.B", "b.C", "b.D", "c.Group", "pkg.sub.LongMessageName"]),
                          min_size=1, max_size=6, unique=True))
    lines = ["extension_ranges: %s" % draw(st.sampled_from(["true", "false"]))]
    roots = draw(st.lists(st.sampled_from(names + ["x.Missing"]), max_size=4))
    lines.append("entries: [%s]" % ", ".join(roots))
    lines.append("messages:")
    for name in names:
        lines.append(f"  {name}:")
        if name == "c.Group":
            lines.append("    kind: GROUP")
        numbers = draw(st.lists(st.integers(1, 40), max_size=6, unique=True))
        lines.append("    fields:" if numbers else "    fields: []")
        for number in numbers:
            kind = draw(st.sampled_from(FIELD_KINDS))
            label = draw(st.sampled_from(["optional", "required", "repeated"]))
            field = f"      - {{number: {number}, type: {kind}, label: {label}"
            if kind in ("message", "group"):
                field += ", child: " + draw(st.sampled_from(names + ["x.Undeclared"]))
            if kind == "bool":
                field += ", range: [0, 1]"
            if kind == "enum":
                lo = draw(st.integers(-3, 3))
                field += f", range: [{lo}, {lo + draw(st.integers(0, 4))}]"
            if label == "repeated" and kind not in ("string", "bytes", "message", "group") and draw(st.booleans()):
                field += ", packed: true"
            lines.append(field + "}")
        if draw(st.booleans()):
            lo = draw(st.integers(100, 200))
            lines.append(f"    ext_ranges: [[{lo}, {lo + 50}]]")
    return "\n".join(lines) + "\n"


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(scoring_graphs(), min_size=1, max_size=2))
def test_generated_graphs_read_back_as_their_dump(docs):
    archive, dump, _ = kx.build_graph(docs, emit_yaml=True)
    graph = kg.Graph.open(archive)
    assert graph.to_yaml() == dump
    assert as_struct(graph) == read_graph(archive)
    check_lookups(graph)


# --------------------------------------------------------------- sources


def warnings_archive() -> bytes:
    return (EXPECTED / "warnings" / "graph.rkyv").read_bytes()


def test_every_kind_of_source_gives_the_same_graph_and_is_held(tmp_path):
    archive = warnings_archive()
    path = tmp_path / "graph.rkyv"
    path.write_bytes(archive)
    data = bytearray(archive)
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    sources = [archive, data, memoryview(archive), memoryview(b"\x00" + archive)[1:], mapped, str(path), path]
    graphs = [kg.Graph.open(source) for source in sources] + [kg.Graph.open(path, mmap=True)]
    for graph in graphs:
        assert type(graph) is kg.Graph and graph.nbytes == len(archive)
        assert graph.to_yaml() == graphs[0].to_yaml()
    # A read-only map is read in place, and held: it cannot be closed; a
    # bytearray was copied, and stays the caller's to change.
    with pytest.raises(BufferError):
        mapped.close()
    data.extend(b"x")
    del graphs
    gc.collect()
    mapped.close()


def walk(graph: kg.Graph) -> tuple:
    """Everything a graph answers, read through every walk it offers."""
    nodes = [(repr(n), [(t, graph.node(t.to)) for t in n.transitions], n.leaf_range, n.ext_ranges)
             for n in graph.nodes]
    matches = [graph.identify(p, top=None) for p in (b"\x08\x01", b"\x0a\x05hello\x10\x01", b"\x12\x02\x08\x01")]
    return nodes, [graph.root(r.fqdn) for r in graph.roots], graph.to_yaml(), matches


def test_nothing_done_to_the_source_after_open_reaches_the_graph(tmp_path):
    # Writable buffers are copied at open and a path is read into memory:
    # a transition rewritten to point at node 0x7fffffff, or a file cut
    # short, would otherwise send identification or a walk outside the
    # bytes (a crash, not an exception).
    archive = warnings_archive()
    expected = walk(kg.Graph.open(archive))
    path = tmp_path / "graph.rkyv"
    for view in (lambda b: b, lambda b: memoryview(b).toreadonly(), None):
        target = bytearray(archive) if view else mmap.mmap(-1, len(archive))
        target[:] = archive
        graph = kg.Graph.open(view(target) if view else target)
        for at in range(24, len(archive) - 4, 4):
            target[at:at + 4] = (0x7FFFFFFF).to_bytes(4, "little")
        assert walk(graph) == expected
    for size in (len(archive) // 2, 0):
        path.write_bytes(archive)
        graph = kg.Graph.open(path)
        os.truncate(path, size)
        assert walk(graph) == expected


def test_a_regular_file_is_read_into_bytes_of_its_own(tmp_path):
    # From a megabyte on into a map of huge pages, below into the heap;
    # either way a read-only view that outlives the file's bytes.
    path = tmp_path / "data"
    for size in (0, 5, (1 << 20) - 1, 3 << 20 | 7):
        data = os.urandom(size)
        path.write_bytes(data)
        with open(path, "rb") as file:
            file.read(3)  # the position does not matter
            view = kg._native.read_file(file.fileno(), size + 10)  # a file shorter than asked gives what it has
        os.truncate(path, 0)
        assert view.readonly and len(view) == size and bytes(view) == data
        with pytest.raises(TypeError):
            view[:1] = b"x"
    directory = os.open(tmp_path, os.O_RDONLY)
    try:
        with pytest.raises(IsADirectoryError):
            kg._native.read_file(directory, 10)
    finally:
        os.close(directory)
    with pytest.raises(ValueError):
        kg._native.read_file(-1, 10)


def test_a_path_that_is_not_a_regular_file_is_read_with_a_bound():
    archive = warnings_archive()
    for data, limit, error in ((archive, len(archive), None), (archive + b"x", len(archive), ValueError)):
        read, write = os.pipe()
        writer = threading.Thread(target=lambda: (os.write(write, data), os.close(write)))
        writer.start()
        try:
            if error is None:
                assert kg.Graph.open(f"/dev/fd/{read}", max_input_size=limit).nbytes == len(archive)
            else:
                with pytest.raises(error) as info:
                    kg.Graph.open(f"/dev/fd/{read}", max_input_size=limit)
                assert str(info.value) == f"/dev/fd/{read}: larger than {limit} bytes (the limit; --max-input-size raises it)"
        finally:
            writer.join()
            os.close(read)
    # What does not begin as an archive is not read past its header; a
    # file that says it is empty is read, not mapped (it cannot be).
    for source, mapped in (("/dev/zero", False), ("/proc/self/status", True)):
        with pytest.raises(kg.ArchiveError, match='the magic is not "VELDRANE"'):
            kg.Graph.open(source, mmap=mapped)


def test_refused_sources(tmp_path):
    (tmp_path / "empty.rkyv").write_bytes(b"")
    with pytest.raises(kg.ArchiveError) as info:
        kg.Graph.open(tmp_path / "empty.rkyv", mmap=True)  # cannot be mapped; read, as no bytes
    assert str(info.value) == "offset 0: a graph archive starts with a 24-byte header, but there are only 0 bytes"
    for source, error in ((tmp_path / "missing.rkyv", FileNotFoundError), (12, TypeError), (tmp_path, IsADirectoryError),
                          (memoryview(bytearray(warnings_archive()))[::2], BufferError)):
        with pytest.raises(error):
            kg.Graph.open(source)
    with pytest.raises(TypeError):
        kg.Graph()
    # The bound is an int, as bake() takes it.
    for limit, error, text in ((1.5, TypeError, "max_input_size must be an int, not float"),
                               ("1M", TypeError, "max_input_size must be an int, not str"),
                               (-1, ValueError, "max_input_size must be 0 or more, not -1")):
        for reader in (kg.Graph, kg.Index):
            with pytest.raises(error) as info:
                reader.open(tmp_path / "empty.rkyv", max_input_size=limit)
            assert str(info.value) == text


# -------------------------------------------------------- lookups, records


@pytest.fixture(scope="module")
def warnings_graph():
    return kg.Graph.open(warnings_archive())


def test_records_and_lookups(warnings_graph):
    g = warnings_graph
    assert isinstance(g, kg.Graph) and isinstance(g, kg._native.Graph)
    root = g.roots[0]
    assert isinstance(root, kg.Root) and root == (root.fqdn, root.state) and g.root(root.fqdn) == root
    assert g.root("no.Such") is None and g.root("") is None and g.root("\ud800") is None
    node = g.node(root.state)
    assert node.graph is g and node == g.nodes[root.state] and hash(node) == hash(g.nodes[root.state])
    assert node.transitions[0] == g.transitions[node.first_transition]
    t = node.transitions[0]
    assert isinstance(t, kg.Transition) and t == tuple(t) and t.from_ == node.id
    assert (t.from_, t.field, t.label, t.wire_type, t.packed, t.to) == t
    assert g.transition(node.id, t.field) == t == node.transition(t.field)
    assert g.transition(node.id, 10**6) is None and g.transition(node.id, -1) is None
    assert g.transition(node.id, 2**64) is None
    assert repr(node).startswith(f"korvex_graph.Node(id={node.id}, type=")
    assert repr(g) == (f"<korvex_graph.Graph: {len(g.nodes)} nodes, {len(g.transitions)} transitions, "
                       f"{len(g.roots)} roots>")
    with pytest.raises(IndexError, match="node id 99999 out of range"):
        g.node(99999)
    for call, error in ((lambda: g.node(-1), IndexError), (lambda: g.node("1"), TypeError),
                        (lambda: g.root(1), TypeError), (lambda: g.transition(1), TypeError),
                        (lambda: setattr(node, "id", 3), AttributeError)):
        with pytest.raises(error):
            call()


def test_leaf_ranges_and_extension_ranges():
    doc = ("entries: [a.A]\nmessages:\n  a.A:\n    fields:\n      - {number: 1, type: enum, range: [-1, 3]}\n"
           "    ext_ranges: [[100, 199], [300, 400]]\n")
    graph = kg.Graph.open(kx.build_graph([doc])[0])
    a = graph.node(graph.root("a.A").state)
    assert a.ext_ranges == ((100, 199), (300, 400)) and a.ext_set == 0 and a.leaf_range is None
    leaf = graph.node(a.transition(1).to)
    assert leaf.range == 0 and leaf.leaf_range == (-1, 3) and leaf.type == 0 and leaf.ext_ranges == ()
    assert list(graph.leaf_ranges) == [(-1, 3)] and list(graph.ext_range_sets) == [(0, 2)]


def test_sequences_behave_like_tuples(warnings_graph):
    g = warnings_graph
    for seq in (g.nodes, g.transitions, g.roots, g.leaf_ranges, g.ext_ranges, g.ext_range_sets):
        items = list(seq)
        assert isinstance(seq, collections.abc.Sequence)
        assert len(seq) == len(items)
        for key in (slice(None), slice(1, None), slice(None, None, -1), slice(-3, None, 2), slice(5, 1),
                    slice(None, None, 3)):
            assert list(seq[key]) == items[key]
            assert list(seq[key][::-1]) == items[key][::-1]
        if items:
            assert seq[-1] == items[-1] and seq[0] == items[0]
            assert items[-1] in seq and seq.index(items[-1]) == items.index(items[-1])
            assert seq.count(items[0]) == items.count(items[0])
        with pytest.raises(IndexError):
            seq[len(items)]
        with pytest.raises(IndexError):
            seq[-len(items) - 1]
        with pytest.raises(TypeError):
            seq["0"]
        with pytest.raises(ValueError):
            seq.index(object())
        assert list(reversed(seq)) == items[::-1]
    assert repr(g.roots) == f"<korvex_graph.RootSequence of {len(g.roots)}>"


# ----------------------------------------------------------------- faults

def fault(at: int, patch: bytes) -> bytes:
    data = bytearray(kx.build_graph([ONE_MESSAGE])[0])
    data[at:at + len(patch)] = patch
    return bytes(data)


FAULTS = [
    (fault(0, b"X"), 'offset 0: not an archive: the magic is not "VELDRANE"'),
    (kx.build_fds_index({}, {}, {}, {}), "offset 8: format version 4, but a graph archive has version 7"),
    # 10 nodes of 20 bytes, then the one transition, whose `to` is at +12.
    (fault(24 + 200 + 12, (900).to_bytes(4, "little")),
     "offset 236: transition 0 points at node 900, but the graph has 10 nodes"),
]


@pytest.mark.parametrize("data, message", FAULTS)
def test_fault_messages(data, message):
    with pytest.raises(kg.ArchiveError) as info:
        kg.Graph.open(data)
    assert str(info.value) == message
    assert isinstance(info.value, ValueError)


# ----------------------------------------------------- corrupted archives


def open_or_refuse(data: bytes) -> None:
    try:
        graph = kg.Graph.open(data)
    except kg.ArchiveError:
        return
    check_consistent(as_struct(graph))
    check_lookups(graph)
    graph.to_yaml()


def test_every_truncation_of_a_small_archive():
    archive = warnings_archive()
    for n in range(len(archive)):
        with pytest.raises(kg.ArchiveError):
            kg.Graph.open(archive[:n])


def test_every_byte_flip_of_a_small_archive():
    archive = warnings_archive()
    for i in range(len(archive)):
        for mask in (0x01, 0x10, 0x80, 0xFF):
            data = bytearray(archive)
            data[i] ^= mask
            open_or_refuse(bytes(data))


def test_random_flips_of_a_larger_archive():
    archive = (EXPECTED / "grpc-proto" / "graph.rkyv").read_bytes()
    rng = random.Random(17)
    for _ in range(400):
        data = bytearray(archive)
        for _ in range(rng.randrange(1, 5)):
            data[rng.randrange(len(data))] ^= rng.randrange(1, 256)
        open_or_refuse(bytes(data))
