#!/usr/bin/env python3
"""Bake a folder of per-file scoring graphs into a compiled graph archive.

    bake.py [INPUT] [--out DIR]

INPUT is a folder of YAML scoring graphs (one per .proto file, read in
file-name order) or a .tar.gz holding one; it defaults to the bundled
grpc-proto schemas. Writes DIR/graph.rkyv, DIR/minimised.yaml and
DIR/initial.yaml and prints a one-screen summary.
"""

from __future__ import annotations

import argparse
import pathlib
import struct
import sys
import tarfile
import time

import korvex_graph_lib

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_INPUT = HERE.parent / "testdata" / "corpora" / "grpc-proto"


def read_documents(path: pathlib.Path) -> list[tuple[str, str]]:
    if path.is_dir():
        files = sorted(p for p in path.iterdir() if p.suffix in (".yaml", ".yml"))
        return [(p.name, p.read_text(encoding="utf-8")) for p in files]
    with tarfile.open(path) as tar:
        members = sorted((m for m in tar.getmembers() if m.isfile() and m.name.endswith(".yaml")),
                         key=lambda m: m.name)
        return [(m.name, tar.extractfile(m).read().decode("utf-8")) for m in members]


def count_messages(documents: list[str]) -> int | None:
    try:
        import yaml  # only for the summary; the module reads the YAML itself
    except ImportError:
        return None
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    names: set[str] = set()
    for text in documents:
        names.update((yaml.load(text, Loader=loader) or {}).get("messages") or {})
    return len(names)


def archive_counts(archive: bytes) -> dict[str, int]:
    # The CompiledGraph record closes the archive: vectors of nodes,
    # transitions, roots, leaf ranges, then the state count.
    rec = archive[-56:]
    _, nodes, _, transitions, _, roots, _, leaf_ranges, state_count = struct.unpack_from("<9i", rec)
    return {"nodes": nodes, "transitions": transitions, "roots": roots,
            "leaf_ranges": leaf_ranges, "state_count": state_count}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT_INPUT)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"))
    args = ap.parse_args()

    named = read_documents(args.input)
    documents = [text for _, text in named]
    calls: list[tuple[int, int]] = []

    start = time.perf_counter()
    archive, minimised, initial = korvex_graph_lib.build_graph(
        documents, emit_yaml=True, emit_initial_yaml=True,
        on_progress=lambda done, total: calls.append((done, total)))
    elapsed = time.perf_counter() - start

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "graph.rkyv").write_bytes(archive)
    (args.out / "minimised.yaml").write_text(minimised, encoding="utf-8")
    (args.out / "initial.yaml").write_text(initial, encoding="utf-8")

    counts = archive_counts(archive)
    states_before = initial.split("\ntransitions:\n", 1)[0].count("\n  - id: ")
    messages = count_messages(documents)
    rows = [
        ("input", str(args.input)),
        ("documents", f"{len(documents)}"),
        ("messages", "?" if messages is None else f"{messages}"),
        ("states before minimisation", f"{states_before}"),
        ("states after minimisation", f"{counts['state_count']}"),
        ("nodes", f"{counts['nodes']}"),
        ("transitions", f"{counts['transitions']}"),
        ("roots", f"{counts['roots']}"),
        ("range leaves", f"{counts['leaf_ranges']}"),
        ("progress reports", f"{len(calls)}"),
        ("archive size", f"{len(archive)} bytes"),
        ("build time", f"{elapsed * 1000:.1f} ms (with both YAML dumps)"),
        ("written to", f"{args.out}/graph.rkyv, minimised.yaml, initial.yaml"),
    ]
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
