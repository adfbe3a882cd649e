"""build_graph from YAML in to archive and YAML out, on real schemas.

The expected outputs under testdata/expected were computed by an
independent implementation of the same rules: archive bytes, both dumps,
every progress call and everything written to standard error must match.
Last, descriptor sets that define names again, against the converter and
python3-protobuf.
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import pathlib
import random
import subprocess
import sys
import tarfile

import pytest

import korvex_graph as kg
import korvex_graph_lib as kx
from archive_reader import check_consistent, read_graph, to_yaml
from descriptor_sets import PROTOS, compile_set, converter_documents, independent_maps, needs_protoc

TESTDATA = pathlib.Path(__file__).resolve().parents[2] / "testdata"
CORPORA = TESTDATA / "corpora"
EXPECTED = TESTDATA / "expected"
SANITIZED = os.environ.get("KORVEX_SANITIZED") == "1"


def _untar(path: pathlib.Path) -> dict[str, bytes]:
    with tarfile.open(path) as tar:
        return {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}


def load_case(name: str) -> tuple[list[str], dict[str, bytes], dict]:
    """(documents in the order passed, expected files by name, run.json)."""
    if (EXPECTED / name).is_dir():
        files = {p.name: p.read_bytes() for p in (EXPECTED / name).iterdir() if p.is_file()}
        base = EXPECTED / name if name == "warnings" else CORPORA / name
        run = json.loads(files["run.json"])
        docs = [(base / d).read_text(encoding="utf-8") for d in run["documents"]]
        return docs, files, run
    expected = {pathlib.PurePath(k).name: v for k, v in _untar(EXPECTED / f"{name}.tar.gz").items()}
    corpus = _untar(CORPORA / f"{name}.tar.gz")
    run = json.loads(expected["run.json"])
    by_tail = {str(pathlib.PurePath(*pathlib.PurePath(k).parts[1:])): v for k, v in corpus.items()}
    docs = [by_tail[d].decode("utf-8") if d in by_tail else corpus[d].decode("utf-8") for d in run["documents"]]
    return docs, expected, run


CASES = ["wkt", "opentelemetry", "grpc-proto", "warnings", "synth-20k"]


def bake(docs, **kw):
    calls = []
    out = kx.build_graph(docs, emit_yaml=True, emit_initial_yaml=True,
                         on_progress=lambda d, t: calls.append([d, t]), **kw)
    return out, calls


@pytest.mark.parametrize("case", CASES)
def test_matches_independent_outputs(case, capfd):
    docs, files, run = load_case(case)
    capfd.readouterr()
    (archive, minimised, initial), calls = bake(docs)
    err = capfd.readouterr().err
    assert err == run["stderr"]
    assert calls == run["progress_calls"]
    assert minimised == files["minimised.yaml"].decode("utf-8")
    assert initial == files["initial.yaml"].decode("utf-8")
    assert archive == files["graph.rkyv"]


@pytest.mark.parametrize("case", CASES)
def test_archive_reads_back_as_the_dump_shows(case):
    docs, _, _ = load_case(case)
    (archive, minimised, _), _ = bake(docs)
    graph = read_graph(archive)
    check_consistent(graph)
    assert to_yaml(graph) == minimised


def test_first_element_does_not_depend_on_the_dumps():
    docs, files, _ = load_case("grpc-proto")
    plain = kx.build_graph(docs)
    assert plain[1:] == (None, None)
    assert kx.build_graph(docs, emit_yaml=True)[2] is None
    assert kx.build_graph(docs, emit_initial_yaml=True)[1] is None
    assert plain[0] == files["graph.rkyv"]


@pytest.mark.parametrize("case", ["wkt", "opentelemetry", "grpc-proto"])
def test_dumps_do_not_depend_on_document_order(case):
    # These corpora define every message once, so any order keeps the same
    # first definitions; only the archive's root order follows the input.
    docs, files, _ = load_case(case)
    rng = random.Random(7)
    for _ in range(3):
        shuffled = docs[:]
        rng.shuffle(shuffled)
        archive, minimised, initial = kx.build_graph(shuffled, emit_yaml=True, emit_initial_yaml=True)
        assert minimised == files["minimised.yaml"].decode("utf-8")
        assert initial == files["initial.yaml"].decode("utf-8")
        graph = read_graph(archive)
        expected = read_graph(files["graph.rkyv"])
        assert sorted(graph.roots) == sorted(expected.roots)
        assert (graph.nodes, graph.transitions) == (expected.nodes, expected.transitions)


@pytest.mark.skipif(SANITIZED, reason="child interpreters do not preload the sanitizer runtime")
def test_identical_bytes_across_processes_with_different_hash_seeds():
    script = (
        "import sys, hashlib, pathlib, korvex_graph_lib as kx\n"
        "docs = [p.read_text() for p in sorted(pathlib.Path(sys.argv[1]).glob('*.yaml'))]\n"
        "a, m, i = kx.build_graph(docs, emit_yaml=True, emit_initial_yaml=True)\n"
        "print(hashlib.sha256(a + m.encode() + i.encode()).hexdigest())\n"
    )
    digests = set()
    for seed in ("0", "1", "12345"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run([sys.executable, "-c", script, str(CORPORA / "grpc-proto")],
                             env=env, capture_output=True, text=True, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1


ONE_MESSAGE = """\
entries: [pkg.A]
messages:
  pkg.A:
    fields:
      - {number: 1, type: int32}
"""

ONE_MESSAGE_DUMP = """\
states:
  - id: 0
    type: message
  - id: 1
    type: message
  - id: 2
    type: message
  - id: 3
    type: uint64
  - id: 4
    type: uint32
  - id: 5
    type: int32
  - id: 6
    type: double
  - id: 7
    type: bytes
  - id: 8
    type: string
  - id: 9
    type: float
transitions:
  - from: 2
    field: 1
    label: optional
    to: 5
roots:
  - fqdn: pkg.A
    state: 2
"""


def test_one_message_dump_and_archive():
    archive, minimised, initial = kx.build_graph([ONE_MESSAGE], emit_yaml=True, emit_initial_yaml=True)
    assert initial == ONE_MESSAGE_DUMP
    assert minimised == ONE_MESSAGE_DUMP  # nothing to merge
    # 10 nodes, 1 transition, one inline root: 24 + 200 + 16 + 12 + 56 bytes.
    assert len(archive) == 24 + 10 * 20 + 16 + 12 + 56


def test_two_equivalent_messages_share_a_node(capfd):
    doc = """\
entries: [a.A, b.B, pkg.Missing]
messages:
  b.B: {fields: [{number: 1, type: int32}]}
  a.A: {fields: [{number: 1, type: int32}]}
"""
    calls = []
    archive, minimised, _ = kx.build_graph([doc], emit_yaml=True, on_progress=lambda d, t: calls.append((d, t)))
    assert capfd.readouterr().err == "warning: root entry 'pkg.Missing' has no node in graph; skipping\n"
    graph = read_graph(archive)
    assert graph.state_count == 10
    assert graph.transitions == [(2, 1, 0, 0, 0, 5)]
    assert graph.roots == [("a.A", 2), ("b.B", 2)]
    assert calls[0] == (0, calls[0][1]) and calls[-1] == (calls[-1][1],) * 2
    assert minimised.endswith("roots:\n  - fqdn: a.A\n    state: 2\n  - fqdn: b.B\n    state: 2\n")


def test_errors_leave_no_partial_result(capfd):
    bad = "entries: []\nmessages:\n  m.M: {fields: [{number: 1, type: fixed32}]}\n"
    conflict = "entries: []\nmessages:\n  m.N: {fields: []}\n"
    conflict2 = "entries: []\nmessages:\n  m.N: {fields: [{number: 1, type: int32}]}\n"
    for flags in [(False, False), (True, True)]:
        with pytest.raises(RuntimeError) as info:
            kx.build_graph([conflict, conflict2, bad], *flags)
        assert str(info.value) == "m.M: unknown kind 'fixed32'"
    # the warning of document 1 was written before document 2 failed
    assert capfd.readouterr().err.count("conflicting definitions for 'm.N' in scoring_graph[1]") == 2
    with pytest.raises(RuntimeError) as info:
        kx.build_graph(["entries: [a.A]\nmessages: {}\n"])
    assert str(info.value) == "no scoring-graph entries found in provided YAML strings"
    with pytest.raises(RuntimeError) as info:
        kx.build_graph([ONE_MESSAGE, "entries: [\n"])
    assert str(info.value).startswith("scoring_graph[1]: ")


def check_read_as_one(paths, folder, capfd) -> str:
    """Sets given together bake, convert, index and extract as the converter
    and python3-protobuf read them laid end to end; the bake's warnings."""
    whole = folder / "whole.pb"
    whole.write_bytes(b"".join(s.data for s in kg._bake.read_sets(paths)))
    documents = converter_documents(whole, folder)
    capfd.readouterr()
    expected = kx.build_graph(documents, True, True)
    warnings = capfd.readouterr().err
    assert tuple(kg.bake(paths, yaml=True, initial_yaml=True)) == expected
    assert capfd.readouterr().err == warnings
    assert list(kg.convert(paths).values()) == documents
    index = kg.index(paths)
    maps = independent_maps(whole.read_bytes())
    assert index == kx.build_fds_index(*maps)
    types, _, deps, _ = maps
    view = kg.Index.open(index)
    for file in set(types.values()):  # extract gives the closure of a type's first file
        closure, todo = set(), [file]
        while todo:
            f = todo.pop()
            closure.add(f)
            todo += [d for d in deps[f] if d not in closure]
        assert set(view.closure([file])) == closure
    return warnings


@needs_protoc
def test_bundled_sets_and_a_changed_copy_read_as_one(tmp_path, capfd):
    # A preview copy of own's korvex/test files under preview/ (an enum of
    # groups.proto ranging further), compiled apart and given after wkt and
    # own: the same names in two files each, an import seeing its own copy.
    preview = tmp_path / "preview" / "korvex" / "test"
    preview.mkdir(parents=True)
    for name in ("groups.proto", "three.proto"):
        text = (PROTOS / "korvex" / "test" / name).read_text()
        (preview / name).write_text(text.replace("HAPPY = 7;", "HAPPY = 9;").replace(
            '"korvex/test/groups.proto"', '"preview/korvex/test/groups.proto"'))
    paths = [compile_set("wkt", tmp_path), compile_set("own", tmp_path), tmp_path / "preview.pb"]
    subprocess.run(["protoc", "--include_imports", f"--descriptor_set_out={paths[2]}", f"-I{tmp_path}", f"-I{PROTOS}",
                    "preview/korvex/test/three.proto"], check=True)
    assert "conflicting definitions for 'korvex.test.Outer'" in check_read_as_one(paths, tmp_path, capfd)


@pytest.mark.skipif("KORVEX_DESCRIPTOR_SETS" not in os.environ, reason="KORVEX_DESCRIPTOR_SETS names no sets")
def test_a_collection_read_as_one(tmp_path, capfd):
    # A real collection, too large to keep here (googleapis and a preview
    # copy of one of its packages, say): KORVEX_DESCRIPTOR_SETS=a.pb:b.pb
    check_read_as_one(os.environ["KORVEX_DESCRIPTOR_SETS"].split(os.pathsep), tmp_path, capfd)
