"""Free-threaded stress: threads share a Graph, an Index and the inputs of
build_graph, build_fds_index and bake while other threads and the progress
callbacks switch each input between its states. Every call must give what
some state of each input gives (computed first, on one thread). Runs only
where the GIL is off."""

import itertools
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import REPO_ROOT

pytestmark = pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(),
                                reason="needs a free-threaded interpreter running without the GIL")

WORKERS, ROUNDS = 8, 8
WKT = sorted(str(p) for p in (REPO_ROOT / "testdata/corpora/wkt").glob("*.yaml"))
FILES = [f"dir/f{i}.proto" for i in range(40)]
PAYLOADS = [b"\x08\x96\x01\x10\x05", b"\x0a\x03abc\x12\x02hi", b"\x12\x00\x18\x01", b"\x1a\x00"]
EXTRA = "entries: [ft.Extra]\nmessages:\n  ft.Extra:\n    fields:\n      - {number: 1, type: string}\n"


def fresh(text):
    # A new non-ASCII str each time: threads that convert it first contend
    # for its UTF-8 form, which suspends the critical sections they hold.
    return "# ü\n" + text


def index_maps():
    return ({f"pkg.T{i}": f for i, f in enumerate(FILES)}, {f: (i, i + 1) for i, f in enumerate(FILES)},
            {f: FILES[max(0, i - 3):i] for i, f in enumerate(FILES)}, {f"pkg.T{i}/{i}": f for i, f in enumerate(FILES[:5])})


def switches(docs, paths, extra_path, maps):
    """(on, off) per input; a thread that switches one on switches it off again."""
    types, spans, deps, exts = maps
    return [(lambda: docs.insert(0, fresh(EXTRA)), lambda: docs.pop(0)),
            (lambda: paths.insert(0, extra_path), lambda: paths.pop(0)),
            (lambda: types.__setitem__(fresh("pkg.New"), FILES[1]), lambda: types.pop(fresh("pkg.New"), None)),
            (lambda: spans.__setitem__(FILES[0], (0, 5)), lambda: spans.__setitem__(FILES[0], (0, 1))),
            (lambda: deps[FILES[7]].insert(0, fresh("dir/new.proto")), lambda: deps[FILES[7]].pop(0)),
            (lambda: exts.__setitem__("pkg.T9/9", FILES[9]), lambda: exts.pop("pkg.T9/9", None))]


def test_threads_share_inputs_graph_and_index(tmp_path):
    import korvex_graph as kg
    import korvex_graph_lib as kx

    extra = tmp_path / "extra.yaml"
    extra.write_text(fresh(EXTRA), encoding="utf-8")
    docs, paths, maps = [open(p, encoding="utf-8").read() for p in WKT], list(WKT), index_maps()
    flips = switches(docs, paths, str(extra), maps)
    # A list holds the extra input once per thread that has switched it on.
    graphs = {kx.build_graph([fresh(EXTRA)] * k + docs, True) for k in range(WORKERS + 2)}
    baked = {kg.bake([str(extra)] * k + WKT) for k in range(WORKERS + 2)}
    indexes = set()
    for chosen in itertools.product([False, True], repeat=4):
        state = index_maps()
        for pick, (on, _) in zip(chosen, switches([], [], "", state)[2:]):
            pick and on()
        indexes.add(kx.build_fds_index(*state))
    assert len(graphs) == len(baked) == 2 and len(indexes) == 16

    archive, index_bytes = kx.build_graph(docs)[0], kx.build_fds_index(*index_maps())
    graph, index = kg.Graph.open(archive), kg.Index.open(index_bytes)  # identify's lookups: built by the first caller

    def lookups(g, i):
        return ([g.identify(p, top=None) for p in PAYLOADS], g.to_yaml(), g.root("google.protobuf.Any"),
                i.to_dicts(), i.closure([FILES[-1], FILES[20]]))

    expected = lookups(kg.Graph.open(archive), kg.Index.open(index_bytes))
    steps = [(lambda: kx.build_graph(docs, True, on_progress=lambda *_: [f() for f in flips[0]]), graphs),
             (lambda: kg.bake(paths, progress=lambda *_: [f() for f in flips[1]]), baked),
             (lambda: kx.build_fds_index(*maps), indexes),
             (lambda: lookups(graph, index), [expected]),
             (lambda: lookups(kg.Graph.open(archive), kg.Index.open(index_bytes)), [expected])]
    # identify_many over a list another thread grows and shrinks: the answer
    # of one of its states, from native threads sharing the graph.
    stream = list(PAYLOADS)
    flips.append((lambda: stream.insert(0, PAYLOADS[2]), lambda: stream.pop(0)))
    steps.append((lambda: graph.identify_many(stream, top=None, threads=3),
                  [expected[0], expected[0][2:3] + expected[0]]))

    stop, start = threading.Event(), threading.Barrier(WORKERS)

    def work(k):
        start.wait()
        for call, valid in itertools.islice(itertools.cycle(steps), k, k + ROUNDS * len(steps)):
            assert call() in valid

    def flip(on, off):
        while not stop.is_set():
            on()
            off()

    mutators = [threading.Thread(target=flip, args=pair) for pair in flips]
    for thread in mutators:
        thread.start()
    try:
        with ThreadPoolExecutor(WORKERS) as pool:
            list(pool.map(work, range(WORKERS)))
    finally:
        stop.set()
        for thread in mutators:
            thread.join()
