#!/usr/bin/env python3
"""build_fds_index on large dictionaries, next to pickle.dumps of the same
four dictionaries and to Python merely iterating them.

    bench_fds_index.py [ENTRIES_PER_MAP]      (default 1 000 000)

Prints the best processor time of three rounds of each, and the ratios;
within a round the three take turns, so that other work on the machine
weighs on each alike.
"""

import pickle
import random
import sys
import time

import korvex_graph_lib as kx


def make(n: int, seed: int = 1, types_per_file: int = 1):
    """n types and n extensions; a file per type, or one per
    `types_per_file` types as in real schemas (googleapis: some 8)."""
    rng = random.Random(seed)
    count = max(1, n // types_per_file)
    files = [f"pkg{i % 5000}/sub{i % 37}/file_{i}.proto" for i in range(count)]
    type_to_file = {f"com.example.pkg{i % 5000}.Message{i}": files[i % count] for i in range(n)}
    file_to_span = {f: (i * 100, i * 100 + 99) for i, f in enumerate(files)}
    dep_graph = {f: [files[rng.randrange(count)] for _ in range(i % 4)] for i, f in enumerate(files)}
    ext_to_file = {f"com.example.Ext{i}/{1000 + i}": files[i % count] for i in range(n)}
    return type_to_file, file_to_span, dep_graph, ext_to_file


def best_alternating(runs, rounds=3):
    """Best processor time of each callable over `rounds` rounds, the
    callables taking turns within each round."""
    times = [float("inf")] * len(runs)
    for _ in range(rounds):
        for i, run in enumerate(runs):
            t0 = time.process_time()
            run()
            times[i] = min(times[i], time.process_time() - t0)
    return times


def iterate(maps):
    for m in maps:
        for k, v in m.items():
            pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    maps = make(n)
    size = len(kx.build_fds_index(*maps))
    t_iter, t_pickle, t_build = best_alternating(
        [lambda: iterate(maps), lambda: pickle.dumps(maps), lambda: kx.build_fds_index(*maps)])
    print(f"entries per map      {n}")
    print(f"archive size         {size / 1e6:.1f} MB")
    print(f"python iteration     {t_iter * 1000:.0f} ms")
    print(f"pickle.dumps         {t_pickle * 1000:.0f} ms")
    print(f"build_fds_index      {t_build * 1000:.0f} ms  ({t_build / t_iter:.1f}x iteration, {t_build / t_pickle:.2f}x pickle)")


if __name__ == "__main__":
    main()
