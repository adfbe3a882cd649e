#!/usr/bin/env python3
"""Two builds' identify, side by side in one process.

    bench_identify_ab.py OLD_PACKAGE NEW_PACKAGE GRAPH [--rounds N] PAYLOAD...

OLD_PACKAGE and NEW_PACKAGE are the `korvex_graph` folders of two builds
(for example `build/release/python/korvex_graph` of a worktree at the old
commit, and of this one). Both are copied under other names into a
scratch folder and imported into this process, each opens GRAPH, and
every payload is identified (top 5) by one and then the other, N rounds
(default 3) in turn: the figure is the sum over the payloads of each
one's least time, and their ratio.

On a shared virtual machine a whole process runs fast or slow for a
while, so separate runs of the two builds can differ by more than the
change does (1.2 to 1.5 times, either way). Calls that alternate within
one process see the same machine, and the least of a few rounds drops
what else ran meanwhile. The answers are compared too: a change of
speed that changes an answer is reported.
"""

import argparse
import importlib
import pathlib
import shutil
import sys
import tempfile
import time


def cpu_model():
    try:
        for line in open("/proc/cpuinfo", encoding="utf-8"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("graph")
    parser.add_argument("payloads", nargs="+")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        for name, package in (("kg_old", args.old), ("kg_new", args.new)):
            shutil.copytree(package, pathlib.Path(scratch) / name, symlinks=False)
        sys.path.insert(0, scratch)
        old, new = importlib.import_module("kg_old"), importlib.import_module("kg_new")
        graphs = (old.Graph.open(args.graph), new.Graph.open(args.graph))
        payloads = [pathlib.Path(p).read_bytes() for p in args.payloads]

        differ = 0
        totals = [0.0, 0.0]
        for payload in payloads:
            answers = [[(m.node, m.score, m.reason) for m in g.identify(payload, top=5)] for g in graphs]
            differ += answers[0] != answers[1]
            least = [float("inf"), float("inf")]
            for _ in range(args.rounds):
                for i, g in enumerate(graphs):
                    started = time.perf_counter()
                    g.identify(payload, top=5)
                    least[i] = min(least[i], time.perf_counter() - started)
            totals[0] += least[0]
            totals[1] += least[1]

    print("cpu: %s" % cpu_model())
    print("%d payloads, %d bytes, least of %d rounds each" % (len(payloads), sum(map(len, payloads)), args.rounds))
    print("old %.2f ms  new %.2f ms  new/old %.3f" % (1e3 * totals[0], 1e3 * totals[1], totals[1] / totals[0]))
    if differ:
        print("answers differ for %d payloads" % differ)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
