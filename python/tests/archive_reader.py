"""An independent reader of the baked graph archive, for the tests.

Written from the archive layout with nothing but `struct`: it checks the
header, follows every relative pointer, and checks alignment, bounds and
counts on the way, so that a writer bug shows up as a clear failure here
rather than as a misread graph.
"""

from __future__ import annotations

import collections
import dataclasses
import struct

MAGIC = b"VELDRANE"
HEADER = 24
GRAPH_RECORD = 56
NODE, TRANSITION, ROOT, PAIR = 20, 16, 12, 8


class ArchiveError(AssertionError):
    pass


def _check(cond: bool, what: str) -> None:
    if not cond:
        raise ArchiveError(what)


@dataclasses.dataclass
class Graph:
    nodes: list[tuple[int, int, int, int, int, int, int]]  # id, type, is_string, range, ext_set, first, count
    transitions: list[tuple[int, int, int, int, int, int]]  # from, field, label, wire_type, packed, to
    roots: list[tuple[str, int]]
    leaf_ranges: list[tuple[int, int]]
    state_count: int
    ext_ranges: list[tuple[int, int]]
    ext_range_sets: list[tuple[int, int]]
    merged_flag: bool


def payload_of(archive: bytes, version: int) -> bytes:
    _check(len(archive) >= HEADER, "archive shorter than its header")
    magic, got_version, offset = struct.unpack_from("<8sQQ", archive, 0)
    _check(magic == MAGIC, f"bad magic {magic!r}")
    _check(got_version == version, f"format version {got_version}, expected {version}")
    _check(offset == HEADER, f"payload offset {offset}")
    return archive[HEADER:]


def relative(payload: bytes, field_pos: int) -> int:
    _check(field_pos % 4 == 0, f"pointer at {field_pos} not 4-aligned")
    (off,) = struct.unpack_from("<i", payload, field_pos)
    target = field_pos + off
    _check(0 <= target <= len(payload), f"pointer at {field_pos} leaves the payload ({target})")
    return target


def vector(payload: bytes, pos: int, elem_size: int, align: int, limit: int) -> tuple[int, int]:
    """(first element position, count); the elements must end before `limit`."""
    start = relative(payload, pos)
    (count,) = struct.unpack_from("<I", payload, pos + 4)
    _check(start % align == 0, f"vector at {pos}: elements at {start} not {align}-aligned")
    _check(start + count * elem_size <= limit, f"vector at {pos}: {count} elements overrun {limit}")
    return start, count


def string(payload: bytes, pos: int) -> str:
    rep = payload[pos:pos + 8]
    _check(len(rep) == 8, f"string at {pos} cut short")
    if rep[0] & 0xC0 == 0x80:
        length = (rep[0] & 0x3F) | (int.from_bytes(rep[1:4], "little") << 6)
        _check(length > 8, f"out-of-line string at {pos} of only {length} bytes")
        (off,) = struct.unpack_from("<i", payload, pos + 4)
        start = pos + off
        _check(0 <= start and start + length <= pos, f"string at {pos} points outside what precedes it")
        raw = payload[start:start + length]
    else:
        end = rep.find(b"\xff")
        raw = rep if end < 0 else rep[:end]
        _check(all(b == 0xFF for b in rep[len(raw):]), f"inline string at {pos} has bytes after its 0xFF fill")
    return raw.decode("utf-8")


def read_graph(archive: bytes) -> Graph:
    payload = payload_of(archive, 7)
    _check(len(payload) >= GRAPH_RECORD and len(payload) % 4 == 0, "payload size")
    rec = len(payload) - GRAPH_RECORD
    _check(payload[rec + 53:rec + 56] == b"\0\0\0", "record padding not zero")
    (merged,) = struct.unpack_from("<B", payload, rec + 52)
    _check(merged in (0, 1), "merged_flag not a boolean")
    (state_count,) = struct.unpack_from("<I", payload, rec + 32)

    n0, nn = vector(payload, rec + 0, NODE, 4, rec)
    _check(n0 == 0, "nodes do not start the payload")
    nodes = []
    for i in range(nn):
        p = n0 + i * NODE
        node_id, typ, is_string, rng, ext, first, count = struct.unpack_from("<IBBHH2xII", payload, p)
        _check(payload[p + 10:p + 12] == b"\0\0", f"node {i} padding")
        _check(is_string in (0, 1), f"node {i} is_string")
        nodes.append((node_id, typ, is_string, rng, ext, first, count))

    t0, tn = vector(payload, rec + 8, TRANSITION, 4, rec)
    transitions = []
    for i in range(tn):
        p = t0 + i * TRANSITION
        frm, field, label, wire, packed, to = struct.unpack_from("<IIBBBxI", payload, p)
        _check(payload[p + 11] == 0, f"transition {i} padding")
        transitions.append((frm, field, label, wire, packed, to))

    r0, rn = vector(payload, rec + 16, ROOT, 4, rec)
    roots = []
    for i in range(rn):
        p = r0 + i * ROOT
        roots.append((string(payload, p), struct.unpack_from("<I", payload, p + 8)[0]))

    def pairs(pos: int, fmt: str) -> list[tuple[int, int]]:
        start, count = vector(payload, pos, PAIR, 4, rec)
        return [struct.unpack_from(fmt, payload, start + i * PAIR) for i in range(count)]

    return Graph(nodes, transitions, roots, pairs(rec + 24, "<ii"), state_count,
                 pairs(rec + 36, "<II"), pairs(rec + 44, "<II"), bool(merged))


TYPE_NAMES = {1: "double", 3: "group", 5: "float", 8: "uint32", 9: "int32", 10: "message"}
LABELS = {0: "optional", 1: "required", 2: "repeated"}


def check_consistent(g: Graph) -> None:
    """The invariants every compiled graph keeps."""
    _check(len(g.nodes) == g.state_count, "state_count differs from the node count")
    _check([n[0] for n in g.nodes] == list(range(len(g.nodes))), "node ids not dense and sorted")
    keys = [(t[0], t[1]) for t in g.transitions]
    per_source = collections.Counter(t[0] for t in g.transitions)
    _check(keys == sorted(keys), "transitions not sorted by (from, field)")
    for node in g.nodes:
        node_id, _, _, rng, ext, first, count = node
        run = g.transitions[first:first + count]
        _check(all(t[0] == node_id for t in run), f"node {node_id}: transition run holds other sources")
        _check(per_source[node_id] == count, f"node {node_id}: count")
        _check(rng == 0xFFFF or rng < len(g.leaf_ranges), f"node {node_id}: range index")
        _check(ext == 0xFFFF or ext < len(g.ext_range_sets), f"node {node_id}: ext_set index")
    for t in g.transitions:
        _check(t[5] < len(g.nodes), f"transition {t} points past the nodes")
        typ = g.nodes[t[5]][1]
        _check(t[3] == {8: 0, 9: 0, 10: 2}.get(typ, typ), f"transition {t}: wire type")
    for start, count in g.ext_range_sets:
        _check(start + count <= len(g.ext_ranges), "ext_range_set overruns ext_ranges")
    for _, state in g.roots:
        _check(state < len(g.nodes), "root state past the nodes")


def to_yaml(g: Graph) -> str:
    """The graph as the module's YAML dump shows it."""
    out = ["states:"]
    for node_id, typ, is_string, rng, _, _, _ in g.nodes:
        if typ == 0:
            name = "range" if rng != 0xFFFF else "uint64"
        elif typ == 2:
            name = "string" if is_string else "bytes"
        else:
            name = TYPE_NAMES.get(typ, "unknown")
        out += [f"  - id: {node_id}", f"    type: {name}"]
        if rng != 0xFFFF:
            lo, hi = g.leaf_ranges[rng]
            out.append(f"    range: [{lo}, {hi}]")
    out.append("transitions:")
    for frm, field, label, _, packed, to in g.transitions:
        out += [f"  - from: {frm}", f"    field: {field}", f"    label: {LABELS.get(label, 'unknown')}"]
        if packed:
            out.append("    packed: true")
        out.append(f"    to: {to}")
    out.append("roots:")
    for fqdn, state in sorted(g.roots, key=lambda r: r[0].encode("utf-8")):
        out += [f"  - fqdn: {fqdn}", f"    state: {state}"]
    return "\n".join(out) + "\n"
