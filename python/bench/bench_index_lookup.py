#!/usr/bin/env python3
"""Index lookups from Python: file_of_type on a warm index of N entries.

    bench_index_lookup.py [ENTRIES]      (default 1 000 000)

Builds the index with build_fds_index (the same dictionaries as
bench_fds_index.py), opens it with korvex_graph.Index and times, best of
three rounds of N lookups each:
  - warm working sets: 100, 1 000 and 10 000 of the types, over and over
    (a program that identifies payloads of a few hundred types);
  - every type once, in a shuffled order: each lookup then walks to a
    random place of an archive far larger than the caches, so the figure
    is the machine's memory latency, twice over (the table's entry, then
    the key's and the value's bytes, which are fetched together);
  - as many absent names.
Opening is timed too, next to a copy of the archive's bytes.
"""

import random
import sys
import time

import korvex_graph
import korvex_graph_lib as kx

from bench_fds_index import make


def best(f, repeats=3):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    maps = make(n)
    archive = kx.build_fds_index(*maps)
    t_copy = best(lambda: bytearray(archive))
    t_open = best(lambda: korvex_graph.Index.open(archive))
    index = korvex_graph.Index.open(archive)

    names = list(maps[0])
    random.Random(1).shuffle(names)
    # Fresh str objects, laid out in the order they are asked for, as a
    # caller's own names would be: the time is then the lookup's, not that
    # of fetching a million scattered query strings.
    names = [name.encode().decode() for name in names]
    absent = [name + ".Absent" for name in names]
    lookup = index.file_of_type

    def present():
        for name in names:
            lookup(name)

    def missing():
        for name in absent:
            lookup(name)

    def warm(k):
        hot = (names[:k] * (n // k + 1))[:n]

        def run():
            for name in hot:
                lookup(name)

        return run

    present()  # every page of the table and the keys touched once
    t_warm = {k: best(warm(k)) for k in (100, 1_000, 10_000) if k <= n}
    t_present = best(present)
    t_missing = best(missing)

    def loop_only():
        for name in names:
            pass

    t_loop = best(loop_only)
    print(f"entries per map           {n}")
    print(f"archive size              {len(archive) / 1e6:.1f} MB")
    print(f"copy of the bytes         {t_copy * 1000:.1f} ms")
    print(f"Index.open (all checks)   {t_open * 1000:.1f} ms  ({t_open / t_copy:.1f}x the copy)")
    for k, t in t_warm.items():
        label = f"file_of_type, {k} types"
        print(f"{label:<26}{n / t / 1e6:.2f} M lookups/s  ({t / n * 1e9:.0f} ns each)")
    print(f"file_of_type, all, mixed  {n / t_present / 1e6:.2f} M lookups/s  ({t_present / n * 1e9:.0f} ns each)")
    print(f"file_of_type, absent      {n / t_missing / 1e6:.2f} M lookups/s  ({t_missing / n * 1e9:.0f} ns each)")
    print(f"the bare Python loop      {t_loop / n * 1e9:.0f} ns per item")


if __name__ == "__main__":
    main()
