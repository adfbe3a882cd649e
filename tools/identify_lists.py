#!/usr/bin/python3
"""Identification of lists of real objects: long repeated message fields.

    identify_lists.py --truth TRUTH.tsv --graph GRAPH [--items N]... [--top K]

TRUTH.tsv is a truth table of Kubernetes objects (lines "file<TAB>type",
files relative to its folder or to the folder "payloads" beside it), GRAPH
a baked graph holding their types. For every type T of the table whose
list type (T with "List" appended, the Kubernetes convention: field 1 its
ListMeta, field 2 the repeated items) is a root of the graph, the first
payload of T is repeated N times (default 100 and 1000) as the items of a
list, with a ListMeta of one resource version. Each list is identified
once (top K, default 5) and the script prints, per N: how many lists name
their list type first and among the top K, how many fail (and why, once),
and the median and worst processor time with the size of the worst list,
then the lists that are not named first.

Then long lists and big fields inside one message, of the types the
graph has: a google.protobuf.Struct of 500 and 2000 string entries, a
ListValue of 5000 numbers, a Kubernetes Endpoints object of 1000
addresses, and Kubernetes Secrets holding 60 KB of zeros, of small bytes,
of float64 samples and of random bytes; for each its size, the best
processor time of three calls and the rank of its type in the top K ("-":
not there).
"""

import argparse
import os
import random
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from identify_eval import read_truth, tag, varint  # noqa: E402


def field(number, content):
    return tag(number, 2) + varint(len(content)) + content


def shapes():
    """(type, label, payload) of long lists inside one message."""
    for n in (500, 2000):
        entries = b"".join(field(1, field(1, b"key%d" % i) + field(2, field(3, b"v%d" % (i * 7 % 1000))))
                           for i in range(n))
        yield "google.protobuf.Struct", f"Struct of {n} string entries", entries
    values = b"".join(field(1, tag(2, 1) + struct.pack("<d", i * 0.37)) for i in range(5000))
    yield "google.protobuf.ListValue", "ListValue of 5000 numbers", values
    addresses = b"".join(field(1, field(1, b"10.0.%d.%d" % (i // 250, i % 250)) + field(4, b"node-%d" % (i % 37)))
                         for i in range(1000))
    meta = field(1, b"web") + field(3, b"default") + field(6, b"123456")  # name, namespace, resourceVersion
    yield "k8s.io.api.core.v1.Endpoints", "Endpoints of 1000 addresses", field(1, meta) + field(2, addresses)
    # Opaque bytes, which a target may read as text, as packed numbers or
    # as a message, each as far as they still parse.
    rnd = random.Random(1)
    contents = {
        "zeros": bytes(60000),
        "small bytes": bytes(rnd.choice(b"\0\0\0\0\1\2\3\xff") for _ in range(60000)),
        "float64 samples": b"".join(struct.pack("<d", rnd.random() * 100) for _ in range(7500)),
        "random bytes": rnd.randbytes(60000),
    }
    for label, content in contents.items():
        secret = field(1, field(1, b"blob")) + field(2, field(1, b"data") + field(2, content)) + field(3, b"Opaque")
        yield "k8s.io.api.core.v1.Secret", f"Secret of 60 KB of {label}", secret


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--truth", required=True)
    parser.add_argument("--graph", required=True)
    parser.add_argument("--items", type=int, action="append")
    parser.add_argument("--top", type=int, default=5)
    args = parser.parse_args(argv)
    import korvex_graph

    graph = korvex_graph.Graph.open(args.graph)
    roots = {r.fqdn for r in graph.roots}
    items = {}
    for payload, kind in read_truth(args.truth):
        items.setdefault(kind, payload)
    kinds = sorted(t for t in items if t + "List" in roots)
    list_meta = field(2, b"123456")  # resourceVersion
    graph.identify(field(1, list_meta), top=1)  # the lookups are built on the first call: not timed
    for n in args.items or [100, 1000]:
        first = top = 0
        failed, times, missed = [], [], []
        for kind in kinds:
            payload = field(1, list_meta) + field(2, items[kind]) * n
            started = time.process_time()
            try:
                matches = graph.identify(payload, top=args.top)
            except korvex_graph.PayloadError as e:
                failed.append((kind, str(e)))
                continue
            times.append((time.process_time() - started, len(payload)))
            names = [m.names for m in matches]
            first += bool(names) and kind + "List" in names[0]
            top += any(kind + "List" in ns for ns in names)
            if not names or kind + "List" not in names[0]:
                missed.append((kind, names[0][0] if names else "nothing"))
        worst = max(times) if times else (0, 0)
        print(f"{n} items: {len(kinds)} lists, first {first}, top-{args.top} {top}, failed {len(failed)}"
              + (f" ({failed[0][1]})" if failed else "")
              + f"; median {1000 * statistics.median([t for t, _ in times] or [0]):.2f} ms,"
              f" worst {1000 * worst[0]:.2f} ms ({worst[1]} bytes)")
        for kind, got in missed:
            print(f"  {kind}List: first {got}")
    for kind, label, payload in shapes():
        if kind not in roots:
            continue
        best = float("inf")
        for _ in range(3):
            started = time.process_time()
            matches = graph.identify(payload, top=args.top)
            best = min(best, time.process_time() - started)
        rank = next((str(i + 1) for i, m in enumerate(matches) if kind in m.names), "-")
        print(f"{label}: {len(payload)} bytes, {1000 * best:.2f} ms, rank {rank}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
