"""korvex-graph inspect: what an archive holds, either kind."""

from __future__ import annotations

import argparse
import heapq
import sys
from typing import Any

from .._graph import Graph
from .._index import Index
from .._native import GRAPH_FORMAT_VERSION, INDEX_FORMAT_VERSION, NODE_TYPE_NAMES
from ._common import add_json, add_max_input_size, add_subcommand, count_argument, examples, open_archive, print_json

DESCRIPTION = """\
Show what a graph archive (from `korvex-graph bake`) or an index archive
(from `korvex-graph index`) holds; the kind is recognised by the header.
The archive is checked in full first, as `korvex-graph verify` does.

For a graph: the sizes of its lists, its largest nodes (by fields) with
the root types they stand for, and its roots. For an index: the size of
each map and its first entries by key."""



def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "inspect",
        "show what a graph or index archive holds",
        DESCRIPTION,
        examples(
            "korvex-graph inspect graph.rkyv",
            "korvex-graph inspect index.rkyv --json --limit 0",
        ),
    )
    parser.add_argument("archive", metavar="ARCHIVE", help='a graph or index archive ("-": standard input)')
    add_json(parser, "print one JSON object instead of text")
    parser.add_argument(
        "--limit", type=count_argument, default=10, metavar="N",
        help="how many nodes, roots and entries to list (default 10; 0 lists all)",
    )
    add_max_input_size(parser)
    return parser


def _first(items: list[Any], limit: int) -> list[Any]:
    return items if limit == 0 else items[:limit]


def node_type(node: Any) -> str:
    if node.type == 2 and node.is_string:
        return "string"
    return NODE_TYPE_NAMES.get(node.type, f"type {node.type}")


def describe_graph(path: str, graph: Graph, limit: int) -> dict[str, Any]:
    roots_of: dict[int, list[str]] = {}
    for root in graph.roots:
        roots_of.setdefault(root.state, []).append(root.fqdn)
    nodes = graph.nodes
    largest = heapq.nsmallest(
        len(nodes) if limit == 0 else limit, range(len(nodes)), key=lambda i: (-nodes[i].transition_count, i)
    )
    roots = sorted(graph.roots, key=lambda r: r.fqdn.encode())
    return {
        "path": path,
        "kind": "graph",
        "format_version": GRAPH_FORMAT_VERSION,
        "bytes": graph.nbytes,
        "nodes": len(nodes),
        "transitions": len(graph.transitions),
        "roots": len(graph.roots),
        "leaf_ranges": len(graph.leaf_ranges),
        "ext_ranges": len(graph.ext_ranges),
        "ext_range_sets": len(graph.ext_range_sets),
        "merged_flag": graph.merged_flag,
        "largest_nodes": [
            {
                "id": i,
                "type": node_type(nodes[i]),
                "fields": nodes[i].transition_count,
                "roots": sorted(roots_of.get(i, []), key=str.encode),
            }
            for i in largest
        ],
        "root_list": [{"fqdn": r.fqdn, "node": r.state} for r in _first(roots, limit)],
    }


def describe_index(path: str, index: Index, limit: int) -> dict[str, Any]:
    def first(mapping: Any) -> list[str]:
        keys = list(mapping)
        return sorted(keys, key=str.encode) if limit == 0 else heapq.nsmallest(limit, keys, key=str.encode)

    maps: dict[str, Any] = {}
    for name in ("type_to_file", "file_to_span", "dep_graph", "ext_to_file"):
        mapping = getattr(index, name)
        entries = {}
        for key in first(mapping):
            value = mapping[key]
            entries[key] = list(value) if isinstance(value, tuple) else value
        maps[name] = {"entries": len(mapping), "first": entries}
    return {"path": path, "kind": "index", "format_version": INDEX_FORMAT_VERSION, "bytes": index.nbytes, "maps": maps}


def print_graph(d: dict[str, Any]) -> None:
    out = sys.stdout
    out.write(f"{d['path']}: graph archive, format version {d['format_version']}, {d['bytes']:,} bytes\n")
    for key, label in (
        ("nodes", "nodes"),
        ("transitions", "transitions"),
        ("roots", "roots"),
        ("leaf_ranges", "leaf ranges"),
        ("ext_ranges", "ext ranges"),
        ("ext_range_sets", "ext range sets"),
    ):
        out.write(f"  {label:<15} {d[key]:>12,}\n")
    out.write(f"  {'merged flag':<15} {'yes' if d['merged_flag'] else 'no':>12}\n")
    if d["largest_nodes"]:
        out.write("largest nodes:\n")
        for n in d["largest_nodes"]:
            names = ", ".join(n["roots"][:3]) + (f", ... ({len(n['roots'])} roots)" if len(n["roots"]) > 3 else "")
            line = f"  node {n['id']:<6} {n['fields']:>4} field{'s' if n['fields'] != 1 else ' '}  {n['type']:<8} {names}"
            out.write(line.rstrip() + "\n")
    if d["root_list"]:
        shown, total = len(d["root_list"]), d["roots"]
        out.write(f"roots (first {shown} of {total:,} by name):\n" if shown < total else "roots:\n")
        for r in d["root_list"]:
            out.write(f"  {r['fqdn']} -> node {r['node']}\n")


def print_index(d: dict[str, Any]) -> None:
    out = sys.stdout
    out.write(f"{d['path']}: index archive, format version {d['format_version']}, {d['bytes']:,} bytes\n")
    for name, m in d["maps"].items():
        out.write(f"  {name:<13} {m['entries']:>10,} entries\n")
    for name, m in d["maps"].items():
        if not m["first"]:
            continue
        out.write(f"{name} (first {len(m['first'])} by key):\n")
        for key, value in m["first"].items():
            if name == "file_to_span":
                shown = f"bytes {value[0]} to {value[1]}"
            elif name == "dep_graph":
                shown = ", ".join(value) if value else "(no imports)"
            else:
                shown = value
            out.write(f"  {key} -> {shown}\n")


def run(args: argparse.Namespace) -> int:
    archive = open_archive(args.archive, max_input_size=args.max_input_size)
    if isinstance(archive, Graph):
        d = describe_graph(args.archive, archive, args.limit)
    else:
        d = describe_index(args.archive, archive, args.limit)
    if args.json:
        print_json(d)
    elif d["kind"] == "graph":
        print_graph(d)
    else:
        print_index(d)
    return 0
