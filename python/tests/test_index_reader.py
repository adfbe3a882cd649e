"""korvex_graph.Index: reading descriptor-set index archives back.

The round trip Index.open(build_fds_index(*d)).to_dicts() == d, for
generated dictionaries (hypothesis) and large ones, carries most of the
weight; then the lookups, the mapping views, closure, the exact error
messages and corrupted archives (every truncation, every byte flip of a
small archive, random flips of a larger one: ArchiveError or an index
whose every stored key is found, never a crash).
"""

from __future__ import annotations

import collections.abc
import os
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvex_graph as kg
import korvex_graph_lib as kx

names = st.text(st.characters(blacklist_categories=("Cs",)), max_size=24)
files = st.text("abc/._-xyzé", min_size=1, max_size=30)
u64 = st.integers(0, 2**64 - 1)
index_dicts = st.tuples(
    st.dictionaries(names, files, max_size=40),
    st.dictionaries(files, st.tuples(u64, u64), max_size=20),
    st.dictionaries(files, st.lists(files, max_size=5), max_size=20),
    st.dictionaries(st.builds(lambda e, n: f"{e}/{n}", names, st.integers(0, 2**29)), files, max_size=20),
)


@settings(max_examples=150, deadline=None)
@given(index_dicts)
def test_to_dicts_gives_back_what_was_built(dicts):
    index = kg.Index.open(kx.build_fds_index(*dicts))
    assert index.to_dicts() == dicts
    types, spans, deps, exts = dicts
    for name, file in types.items():
        assert index.file_of_type(name) == file
        assert index.type_to_file[name] == file
    for file, span in spans.items():
        assert index.span_of_file(file) == span
    for file, imports in deps.items():
        assert index.imports_of(file) == tuple(imports)
    for key, file in exts.items():
        extendee, number = key.rsplit("/", 1)
        assert index.file_of_extension(extendee, int(number)) == file


def large_dicts(n: int):
    files = [f"pkg{i % 97}/file_{i}.proto" for i in range(n)]
    return (
        {f"com.example.pkg{i % 97}.Message{i}": files[i] for i in range(n)},
        {f: (i * 100, i * 100 + 99) for i, f in enumerate(files)},
        {f: files[max(0, i - 3):i] for i, f in enumerate(files)},
        {f"com.example.Ext{i}/{1000 + i}": files[i] for i in range(n)},
    )


# ------------------------------------------------------------- the maps


@pytest.fixture(scope="module")
def small_index():
    return kg.Index.open(kx.build_fds_index(
        {"a.B": "a.proto", "a.C": "c.proto"},
        {"a.proto": (0, 12), "c.proto": (12, 40)},
        {"a.proto": ["c.proto", "c.proto"], "c.proto": []},
        {"a.B/100": "c.proto"}))


def test_lookups(small_index):
    i = small_index
    assert i.file_of_type("a.B") == "a.proto" and i.file_of_type("a.X") is None and i.file_of_type("") is None
    assert i.file_of_type("\ud800") is None
    span = i.span_of_file("c.proto")
    assert isinstance(span, kg.Span) and span == (12, 40) and (span.start, span.end) == (12, 40)
    assert i.imports_of("a.proto") == ("c.proto", "c.proto") and i.imports_of("c.proto") == ()
    assert i.imports_of("b.proto") is None
    assert i.file_of_extension("a.B", 100) == "c.proto"
    assert i.file_of_extension("a.B", 101) is None and i.file_of_extension("a", 100) is None
    assert i.file_of_extension("a.B", 2**70) is None and i.file_of_extension("a.B", -100) is None
    for call in (lambda: i.file_of_type(1), lambda: i.span_of_file(b"a.proto"), lambda: i.imports_of(None),
                 lambda: i.file_of_extension(1, 100), lambda: i.file_of_extension("a.B", "100")):
        with pytest.raises(TypeError):
            call()
    assert repr(i) == "<korvex_graph.Index: 2 types, 2 files, 2 import lists, 1 extensions>"


def test_mapping_views(small_index):
    view = small_index.type_to_file
    assert isinstance(view, collections.abc.Mapping) and isinstance(view, kg.MapView)
    assert len(view) == 2 and sorted(view) == ["a.B", "a.C"]
    assert dict(view) == {"a.B": "a.proto", "a.C": "c.proto"} == view
    assert sorted(view.items()) == [("a.B", "a.proto"), ("a.C", "c.proto")]
    assert sorted(view.values()) == ["a.proto", "c.proto"] and len(view.values()) == 2
    assert list(view.keys()) == list(view)
    assert "a.B" in view and "a.X" not in view and 1 not in view
    assert view.get("a.X") is None and view.get("a.C") == "c.proto"
    with pytest.raises(KeyError):
        view["a.X"]
    with pytest.raises(KeyError):
        view[1]
    assert small_index.dep_graph["a.proto"] == ("c.proto", "c.proto")
    assert small_index.file_to_span["a.proto"] == (0, 12)
    assert dict(small_index.ext_to_file) == {"a.B/100": "c.proto"}
    assert repr(view) == "<korvex_graph.MapView type_to_file of 2 entries>"
    with pytest.raises(TypeError):
        view["a.B"] = "x"


CLOSURES = [
    # (dep_graph, files, closure)
    ({"a": ["b", "c"], "b": ["c"], "c": []}, ["a"], ["c", "b", "a"]),
    ({"a": ["b", "c"], "b": ["d"], "c": ["d"], "d": []}, ["a"], ["d", "b", "c", "a"]),
    ({"a": ["b"], "b": ["a"]}, ["a"], ["b", "a"]),                 # a cycle is cut where it closes
    ({"a": ["a"]}, ["a", "a"], ["a"]),                              # a self-import, a repeated file
    ({"a": ["x"]}, ["a", "y"], ["x", "a", "y"]),                    # unknown files import nothing
    ({"a": ["b"], "b": [], "c": ["b"]}, ["c", "a"], ["b", "c", "a"]),
    ({}, [], []),
]


@pytest.mark.parametrize("deps, files, closure", CLOSURES)
def test_closure(deps, files, closure):
    index = kg.Index.open(kx.build_fds_index({}, {}, deps, {}))
    assert index.closure(files) == closure
    assert index.closure(iter(files)) == closure


def test_closure_of_a_long_chain_needs_no_recursion():
    n = 50000
    deps = {f"f{i}": [f"f{i + 1}"] for i in range(n)}
    index = kg.Index.open(kx.build_fds_index({}, {}, deps, {}))
    order = index.closure(["f0"])
    assert order[0] == f"f{n}" and order[-1] == "f0" and len(order) == n + 1


def test_closure_refuses_a_single_str(small_index):
    with pytest.raises(TypeError, match="not a single str"):
        small_index.closure("a.proto")


# ----------------------------------------------------------------- faults

EMPTY = kx.build_fds_index({}, {}, {}, {})
SINGLE = kx.build_fds_index({"a.B": "a.proto"}, {}, {}, {})

def test_fault_message():
    # The message names the file offset: here the tag byte of bucket 1.
    data = bytearray(SINGLE)
    data[57:60] = b"\x24\xff\x24"
    with pytest.raises(kg.ArchiveError) as info:
        kg.Index.open(data)
    assert str(info.value) == "offset 57: type_to_file bucket 1 has tag 0x24, but its key hashes to tag 0x23"


def test_empty_index_and_empty_file(tmp_path):
    assert kg.Index.open(EMPTY).to_dicts() == ({}, {}, {}, {})
    path = tmp_path / "index.rkyv"
    path.write_bytes(b"")
    with pytest.raises(kg.ArchiveError, match="^offset 0: an index archive starts with a 24-byte header"):
        kg.Index.open(str(path))


def test_nothing_done_to_the_source_after_open_reaches_the_index(tmp_path):
    # A bytearray is copied at open, a path read into memory: the lookups
    # follow offsets checked at open, which a change could otherwise bend.
    archive = kx.build_fds_index(*large_dicts(40))
    expected = kg.Index.open(archive).to_dicts()
    data = bytearray(archive)
    index = kg.Index.open(memoryview(data))
    data[24:] = b"\xff" * (len(data) - 24)
    path = tmp_path / "index.rkyv"
    path.write_bytes(archive)
    opened = kg.Index.open(path)
    os.truncate(path, 0)
    assert index.to_dicts() == opened.to_dicts() == expected


# ----------------------------------------------------- corrupted archives


def open_or_refuse(data: bytes) -> None:
    try:
        index = kg.Index.open(data)
    except kg.ArchiveError:
        return
    # Every stored key is found, with the value stored beside it.
    for view, lookup in ((index.type_to_file, index.file_of_type), (index.file_to_span, index.span_of_file),
                         (index.dep_graph, index.imports_of), (index.ext_to_file, None)):
        for key, value in view.items():
            assert (lookup or view.get)(key) == value


def small_archive() -> bytes:
    return kx.build_fds_index({"a.B": "a.proto", "pkg.sub.LongTypeName": "pkg/sub/long_file.proto"},
                              {"a.proto": (0, 12)}, {"a.proto": ["b.proto", "some/longer/import.proto"]},
                              {"a.B/100": "a.proto"})


def test_every_truncation_and_byte_flip_of_a_small_archive():
    archive = small_archive()
    for n in range(len(archive)):
        with pytest.raises(kg.ArchiveError):
            kg.Index.open(archive[:n])
    for i in range(len(archive)):
        for mask in (0x01, 0x10, 0x80, 0xFF):
            data = bytearray(archive)
            data[i] ^= mask
            open_or_refuse(bytes(data))


def test_random_flips_of_a_larger_archive():
    archive = kx.build_fds_index(*large_dicts(300))
    rng = random.Random(23)
    for _ in range(300):
        data = bytearray(archive)
        for _ in range(rng.randrange(1, 5)):
            data[rng.randrange(len(data))] ^= rng.randrange(1, 256)
        open_or_refuse(bytes(data))
