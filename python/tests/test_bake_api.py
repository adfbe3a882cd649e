"""korvex_graph.bake and korvex_graph.index: from files to archives.

A descriptor set bakes to exactly what build_graph gives for the
converter's documents of the set in its file order (archive, both dumps,
progress calls), alone or merged with YAML inputs; its index is exactly
build_fds_index over maps computed independently with python3-protobuf.
Then how inputs are recognised, and how failures name the input.
"""

from __future__ import annotations

import gzip
import io
import os
import tarfile

import pytest

import korvex_graph as kg
import korvex_graph_lib as kx
from conftest import REPO_ROOT, VALID_DOCUMENT
from descriptor_sets import SETS, compile_set, converter_documents, independent_maps, needs_protoc

pytestmark = needs_protoc
CORPORA = REPO_ROOT / "testdata" / "corpora"


@pytest.fixture(scope="module")
def sets(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sets")
    return {name: compile_set(name, folder) for name in SETS}


@pytest.fixture(scope="module")
def documents(sets, tmp_path_factory):
    folder = tmp_path_factory.mktemp("yaml")
    return {name: converter_documents(path, folder) for name, path in sets.items()}


def build_with_calls(docs):
    calls = []
    out = kx.build_graph(docs, True, True, lambda d, t: calls.append((d, t)))
    return out, calls


@pytest.mark.parametrize("name", SETS)
def test_a_set_bakes_as_the_converters_documents(name, sets, documents, capfd):
    capfd.readouterr()
    expected, expected_calls = build_with_calls(documents[name])
    expected_err = capfd.readouterr().err
    calls = []
    baked = kg.bake(sets[name], yaml=True, initial_yaml=True, progress=lambda d, t: calls.append((d, t)))
    assert capfd.readouterr().err == expected_err
    assert baked == expected and (baked.archive, baked.yaml, baked.initial_yaml) == expected
    assert calls == expected_calls
    assert baked.documents == len(documents[name])
    assert kg.bake([sets[name]]).archive == expected[0]


def test_sets_and_yaml_merge_in_the_order_given(sets, documents, tmp_path):
    yaml_path = tmp_path / "first.yaml"
    yaml_path.write_text(VALID_DOCUMENT)
    baked = kg.bake([yaml_path, sets["own"], CORPORA / "wkt", sets["small"]], yaml=True)
    corpus = sorted((CORPORA / "wkt").glob("*.yaml"))
    docs = [VALID_DOCUMENT, *documents["own"], *(p.read_text() for p in corpus), *documents["small"]]
    assert (baked.archive, baked.yaml) == kx.build_graph(docs, True)[:2]
    assert baked.documents == len(docs)


@pytest.mark.parametrize("name", SETS)
def test_index_of_a_set_is_build_fds_index_of_its_maps(name, sets):
    data = sets[name].read_bytes()
    expected = kx.build_fds_index(*independent_maps(data))
    assert kg.index(sets[name]) == expected
    for buffer in (data, bytearray(data), memoryview(data)):
        assert kg.index(buffer) == expected


def _tar_gz(members: dict[str, str]) -> bytes:
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w:gz") as tar:
        for name, text in members.items():
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return raw.getvalue()


def test_inputs_are_recognised_by_content(sets, tmp_path):
    other = VALID_DOCUMENT.replace("pkg.", "other.")
    (tmp_path / "tree" / "b").mkdir(parents=True)
    (tmp_path / "tree" / "b" / "a.yml").write_text(other)
    (tmp_path / "tree" / "a.yaml").write_text(VALID_DOCUMENT)
    (tmp_path / "tree" / "notes.txt").write_text("not read")
    (tmp_path / "set.yaml").write_bytes(sets["small"].read_bytes())  # a set, whatever its name
    (tmp_path / "doc.pb").write_text("\n" + VALID_DOCUMENT)  # YAML, beginning like a set
    (tmp_path / "docs.bin").write_bytes(_tar_gz({"z/2.yaml": other, "z/1.yaml": VALID_DOCUMENT, "z/x.txt": "-"}))
    inputs = kg._bake.read_inputs([tmp_path / n for n in ("tree", "set.yaml", "doc.pb", "docs.bin")])
    tree, named = str(tmp_path / "tree"), str(tmp_path / "docs.bin")
    assert [(i.name, type(i.data)) for i in inputs] == [
        (os.path.join(tree, "a.yaml"), str),
        (os.path.join(tree, "b", "a.yml"), str),
        (str(tmp_path / "set.yaml"), bytes),
        (str(tmp_path / "doc.pb"), str),
        (named + ":z/1.yaml", str),
        (named + ":z/2.yaml", str),
    ]


def test_every_set_and_no_yaml_looks_like_a_set(sets):
    for path in sets.values():
        assert kg._bake.looks_like_descriptor_set(path.read_bytes())
    for path in CORPORA.rglob("*.yaml"):
        assert not kg._bake.looks_like_descriptor_set(path.read_bytes())
    for data in (b"", b"\n", b"\n\x05abc", b"\n\x00\x12\x00", b"\n\x80"):
        assert not kg._bake.looks_like_descriptor_set(data)
    assert kg._bake.looks_like_descriptor_set(b"\n\x00\n\x01x")


@pytest.mark.parametrize("content, error, message", [
    (b"", ValueError, "empty file"),
    (gzip.compress(b"not a tar", mtime=0), ValueError, "not a readable .tar.gz archive"),
    (_tar_gz({"a/readme.txt": "-"}), ValueError, "no YAML documents (*.yaml, *.yml) in this archive"),
    (b"\xff\xfe: [", RuntimeError, "descriptor set, byte offset 0: "),
    (b"bad: [\n", RuntimeError, "scoring_graph[1]: "),
])
def test_a_failure_names_its_input(sets, tmp_path, content, error, message):
    path = tmp_path / "input"
    path.write_bytes(content)
    with pytest.raises(error) as raised:
        kg.bake([sets["small"], path])
    text = str(raised.value)
    if error is ValueError:
        assert text.startswith(f"{path}: {message}")
    else:
        assert text.startswith(message)
        assert raised.value.input_name == str(path)
        assert raised.value.__notes__ == [f"while reading {path}"]


def test_failures_that_belong_to_no_input(tmp_path):
    (tmp_path / "empty.yaml").write_text("entries: []\nmessages: {}\n")
    with pytest.raises(RuntimeError, match="^no scoring-graph entries found in provided YAML strings$") as raised:
        kg.bake(tmp_path)
    assert not hasattr(raised.value, "input_name")
    with pytest.raises(RuntimeError, match="^descriptor set, byte offset 1: "):
        kg.index(b"\n\xff")


def test_progress_cannot_stop_a_bake_but_ctrl_c_is_not_lost(sets):
    expected = kg.bake(sets["wkt"]).archive
    calls = []

    def failing(done, total):
        calls.append(done)
        raise ValueError("ignored, as build_graph ignores it")

    assert kg.bake(sets["wkt"], progress=failing).archive == expected
    assert kg.bake(sets["wkt"], progress=12).archive == expected
    assert len(calls) > 1

    def interrupted(done, total):
        calls.append(done)
        raise KeyboardInterrupt

    calls.clear()
    with pytest.raises(KeyboardInterrupt):
        kg.bake(sets["wkt"], progress=interrupted)
    assert calls == [0]  # and never called again


def test_native_bake_arguments(sets):
    data = sets["small"].read_bytes()
    with pytest.raises(TypeError, match="an input must be str"):
        kg._native.bake([12])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        kg._native.bake("entries: []")
    with pytest.raises(TypeError, match="cannot be converted to 'bool'"):
        kg._native.bake([data], 1)
    # Every buffer kind reads alike; a mutable one is copied before the
    # lock is released.
    expected = kg._native.bake([data])
    assert kg._native.bake([bytearray(data)]) == kg._native.bake([memoryview(data)]) == expected
