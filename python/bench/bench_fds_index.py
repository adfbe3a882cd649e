#!/usr/bin/env python3
"""build_fds_index on large dictionaries, next to pickle.dumps of the same
four dictionaries and to Python merely iterating them.

    bench_fds_index.py [ENTRIES_PER_MAP]      (default 1 000 000)

Prints the best processor time of three runs of each, and the ratios.
"""

import pickle
import random
import sys
import time

import korvex_graph_lib as kx


def make(n: int, seed: int = 1):
    rng = random.Random(seed)
    files = [f"pkg{i % 5000}/sub{i % 37}/file_{i}.proto" for i in range(n)]
    type_to_file = {f"com.example.pkg{i % 5000}.Message{i}": files[i] for i in range(n)}
    file_to_span = {f: (i * 100, i * 100 + 99) for i, f in enumerate(files)}
    dep_graph = {f: [files[rng.randrange(n)] for _ in range(i % 4)] for i, f in enumerate(files)}
    ext_to_file = {f"com.example.Ext{i}/{1000 + i}": files[i] for i in range(n)}
    return type_to_file, file_to_span, dep_graph, ext_to_file


def best(f, repeats=3):
    times = []
    for _ in range(repeats):
        t0 = time.process_time()
        f()
        times.append(time.process_time() - t0)
    return min(times)


def iterate(maps):
    for m in maps:
        for k, v in m.items():
            pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    maps = make(n)
    t_iter = best(lambda: iterate(maps))
    size = len(kx.build_fds_index(*maps))
    t_build = best(lambda: kx.build_fds_index(*maps))
    t_pickle = best(lambda: pickle.dumps(maps))
    print(f"entries per map      {n}")
    print(f"archive size         {size / 1e6:.1f} MB")
    print(f"python iteration     {t_iter * 1000:.0f} ms")
    print(f"pickle.dumps         {t_pickle * 1000:.0f} ms")
    print(f"build_fds_index      {t_build * 1000:.0f} ms  ({t_build / t_iter:.1f}x iteration, {t_build / t_pickle:.2f}x pickle)")


if __name__ == "__main__":
    main()
