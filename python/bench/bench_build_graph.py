#!/usr/bin/env python3
"""build_graph on a folder of YAML documents: processor time and peak memory.

    bench_build_graph.py DIR [REPEATS]      (default 3)

Prints one line of key=value pairs: documents, input bytes, the best
processor time of build_graph over the repeats (the module starts no
threads, so the process's time is the call's), and the peak resident memory
the call adds over the documents held as Python strings, from the first
call and the kernel's high-water mark of the process (VmHWM). A bake of a
one-message document first pages in the module's code, which is not memory
the documents cost.
"""

import os
import sys
import time

import korvex_graph_lib as kx


def status_bytes(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {key} in /proc/self/status")


WARM_UP = """extension_ranges: true
entries:
  - bench.Empty
messages:
  bench.Empty:
    fields: []
"""


def main():
    folder = sys.argv[1]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    names = sorted(n for n in os.listdir(folder) if n.endswith((".yaml", ".yml")))
    docs = []
    for name in names:
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            docs.append(f.read())
    size = sum(len(d.encode()) for d in docs)
    kx.build_graph([WARM_UP])
    # Reading the folder may have peaked above what stays: the first call
    # starts from a fresh high-water mark. Where the kernel refuses, the
    # figure is only the growth beyond the old mark, and says so.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        print("warning: could not reset the high-water mark; peak is a lower bound", file=sys.stderr)
    floor = max(status_bytes("VmRSS"), status_bytes("VmHWM"))
    archive = kx.build_graph(docs)[0]
    peak = status_bytes("VmHWM") - floor
    del archive
    best = float("inf")
    for _ in range(repeats):
        t0 = time.process_time()
        kx.build_graph(docs)
        best = min(best, time.process_time() - t0)
    print(f"documents={len(docs)} bytes={size} build_graph_ms={best * 1000:.1f} peak_over_documents={peak}")


if __name__ == "__main__":
    main()
