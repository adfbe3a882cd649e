#!/usr/bin/python3
"""Baking a descriptor set next to baking the converter's YAML for it,
through the Python API:

    build/venv/bin/python python/bench/bench_bake.py DATA [repeats]

DATA is the folder scripts/bench_descriptor_set.sh leaves (set.pb and the
converter's yaml/ of it). Times, best of the repeats:
  - korvex_graph.bake(set.pb): reading the file, recognising it, the bake;
  - korvex_graph.bake(the YAML files, in the set's file order);
  - korvex_graph_lib.build_graph over the same YAML documents in memory;
and checks that the three archives are equal.
"""

from __future__ import annotations

import pathlib
import sys
import time

import korvex_graph as kg
import korvex_graph_lib as kx


def best(repeats: int, work):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    data = pathlib.Path(sys.argv[1])
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    set_path = data / "set.pb"
    index = kg.Index.open(kg.index(set_path))
    files = sorted(index.file_to_span, key=lambda f: index.file_to_span[f].start)
    yaml_paths = [data / "yaml" / (f.replace("/", "__") + ".yaml") for f in files]
    documents = [p.read_text(encoding="utf-8") for p in yaml_paths]

    t_set, from_set = best(repeats, lambda: kg.bake(set_path).archive)
    t_files, from_files = best(repeats, lambda: kg.bake(yaml_paths).archive)
    t_memory, from_memory = best(repeats, lambda: kx.build_graph(documents)[0])
    if not from_set == from_files == from_memory:
        print("error: the bakes differ", file=sys.stderr)
        return 1
    size = set_path.stat().st_size
    print(f"input: {len(files)} files, {len(index.type_to_file)} types; set {size / 1e6:.1f} MB, "
          f"YAML {sum(map(len, documents)) / 1e6:.1f} MB")
    print(f"{'korvex_graph.bake(set.pb)':<44} {t_set * 1e3:10.1f} ms")
    print(f"{'korvex_graph.bake(YAML files)':<44} {t_files * 1e3:10.1f} ms")
    print(f"{'korvex_graph_lib.build_graph(YAML in memory)':<44} {t_memory * 1e3:10.1f} ms")
    print(f"ratio set / YAML files: {t_set / t_files:.3f}; set / YAML in memory: {t_set / t_memory:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
