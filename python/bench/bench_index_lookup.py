#!/usr/bin/env python3
"""Index lookups from Python: file_of_type on a warm index of N entries.

    bench_index_lookup.py [--against-dicts] [ENTRIES]      (default 1 000 000)

Builds the index with build_fds_index (the same dictionaries as
bench_fds_index.py), opens it with korvex_graph.Index and times, best of
three rounds of N lookups each:
  - warm working sets: 100, 1 000 and 10 000 of the types, over and over
    (a program that identifies payloads of a few hundred types);
  - every type once, in a shuffled order: each lookup then walks to a
    random place of an archive far larger than the caches, so the figure
    is the machine's memory latency, twice over (the table's entry, then
    the key's and the value's bytes, which are fetched together);
  - as many absent names;
  - 200 000 keys of each map in a shuffled order next to dict.get on the
    dictionary the index was built from, with the same keys, alternating
    in the same rounds (processor time), on this index and on one whose
    files hold eight types each, with the dictionaries' own key objects and
    with copies of them: the ratio is the dictionary's time over the
    index's, 1.00x or more when the index is as fast (--against-dicts:
    only this table).
Opening is timed too, next to a copy of the archive's bytes.
"""

import random
import sys
import time

import korvex_graph
import korvex_graph_lib as kx

from bench_fds_index import best_alternating, make


def best(f, repeats=3):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def against_dicts(index, maps, own_keys, count=200_000):
    """Each map's lookup against dict.get of its dictionary, on `count` keys
    in a shuffled order: the dictionary's own key objects (which it finds
    by identity, where the index reads their bytes), or fresh copies laid
    out in the order they are asked for, as a caller's own names would be."""
    rng = random.Random(2)
    type_to_file, file_to_span, dep_graph, ext_to_file = maps

    def keys_of(mapping):
        keys = rng.sample(list(mapping), min(count, len(mapping)))
        return keys if own_keys else [key.encode().decode() for key in keys]

    cases = [
        ("file_of_type", type_to_file.get, index.file_of_type, keys_of(type_to_file)),
        ("span_of_file", file_to_span.get, index.span_of_file, keys_of(file_to_span)),
        ("imports_of", dep_graph.get, index.imports_of, keys_of(dep_graph)),
        ("type_to_file[key]", type_to_file.__getitem__, index.type_to_file.__getitem__, keys_of(type_to_file)),
    ]
    for label, dict_lookup, lookup, keys in cases:

        def native(lookup=lookup, keys=keys):
            for key in keys:
                lookup(key)

        def python(dict_lookup=dict_lookup, keys=keys):
            for key in keys:
                dict_lookup(key)

        native()  # every value the keys reach made once
        t_native, t_dict = best_alternating([native, python])
        yield label, len(keys), t_native, t_dict

    ext_keys = keys_of(ext_to_file)
    ext_args = [(key.rpartition("/")[0], int(key.rpartition("/")[2])) for key in ext_keys]
    lookup, dict_get = index.file_of_extension, ext_to_file.get

    def native_ext():
        for extendee, number in ext_args:
            lookup(extendee, number)

    def python_ext():
        for key in ext_keys:
            dict_get(key)

    native_ext()
    t_native, t_dict = best_alternating([native_ext, python_ext])
    yield "file_of_extension", len(ext_keys), t_native, t_dict


def compare_with_dicts(n):
    """The table of against_dicts for an index with a file per type and one
    with eight types per file, each with both kinds of keys."""
    print(f"{'lookup':<18} {'index of':<22} {'keys':<9} {'count':>7} {'index':>9} {'dict':>9}  ratio")
    for types_per_file, label in ((1, "a file per type"), (8, "8 types per file")):
        maps = make(n, types_per_file=types_per_file)
        index = korvex_graph.Index.open(kx.build_fds_index(*maps))
        for own_keys in (True, False):
            for lookup, count, t_native, t_dict in against_dicts(index, maps, own_keys):
                print(f"{lookup:<18} {label:<22} {'its own' if own_keys else 'copies':<9} {count:>7} "
                      f"{count / t_native / 1e6:5.2f} M/s {count / t_dict / 1e6:5.2f} M/s  {t_dict / t_native:.2f}x")
        del index, maps


def main():
    args = sys.argv[1:]
    only_dicts = "--against-dicts" in args
    args = [a for a in args if a != "--against-dicts"]
    n = int(args[0]) if args else 1_000_000
    if only_dicts:
        compare_with_dicts(n)
        return
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
    del index, archive, maps, names, absent, lookup
    print()
    print(f"against dict.get of the same dictionaries, keys in a shuffled order (processor time, best of 3,")
    print(f"the two alternating; ratio: the dictionary's time over the index's, 1.00x or more when as fast)")
    compare_with_dicts(n)


if __name__ == "__main__":
    main()
