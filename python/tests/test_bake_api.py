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
import subprocess
import sys
import tarfile

import pytest

import korvex_graph as kg
import korvex_graph_lib as kx
from conftest import REPO_ROOT, SANITIZED, VALID_DOCUMENT
from descriptor_sets import COMPILED, PROTOS, SETS, compile_set, converter_documents, independent_maps, needs_protoc
from korvex_graph import cli

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
    baked = kg.bake([yaml_path, sets["own"], CORPORA / "wkt", sets["small"], sets["own"]], yaml=True)
    corpus = sorted((CORPORA / "wkt").glob("*.yaml"))
    # small's one file is one of own's, read once; own given twice, once
    assert documents["small"][0] in documents["own"]
    docs = [VALID_DOCUMENT, *documents["own"], *(p.read_text() for p in corpus)]
    assert (baked.archive, baked.yaml) == kx.build_graph(docs, True)[:2]
    assert baked.documents == len(docs)


@pytest.mark.parametrize("name", SETS)
def test_index_of_a_set_is_build_fds_index_of_its_maps(name, sets):
    data = sets[name].read_bytes()
    expected = kx.build_fds_index(*independent_maps(data))
    assert kg.index(sets[name]) == expected
    for buffer in (data, bytearray(data), memoryview(data)):
        assert kg.index(buffer) == expected


def test_two_versions_of_a_file_read_as_each_sees_its_own(sets, tmp_path, capfd):
    # both.pb: v1.pb and v2.pb concatenated, which define p.E, p.M apart
    v1, v2 = (sets["both"].parent / f"{v}.pb" for v in ("v1", "v2"))
    capfd.readouterr()
    whole = kg.bake(sets["both"])
    warning = capfd.readouterr().err
    assert warning == "warning: conflicting definitions for 'p.M' in scoring_graph[1]; using first\n"
    assert kg.bake([v1, v2]) == whole and capfd.readouterr().err == warning
    documents = kg.convert([v1, v2])
    assert documents == kg.convert(sets["both"]) and list(documents) == ["v1.proto.yaml", "v2.proto.yaml"]
    assert documents["v1.proto.yaml"].count("range: [0, 1]") == 2  # p.M.e, p.OnlyV1.e
    assert documents["v2.proto.yaml"].count("range: [0, 7]") == 2  # p.M.e, p.OnlyV2.e
    index = kg.index([v1, v2, v1])  # a set given twice is read once
    assert capfd.readouterr().err == (
        "warning: type 'p.M' is defined again in 'v2.proto'; the index keeps 'v1.proto'\n"
        "warning: type 'p.E' is defined again in 'v2.proto'; the index keeps 'v1.proto'\n")
    assert index == kg.index(sets["both"])
    # extract takes the sets the index was made from: a type's own file
    (tmp_path / "index.rkyv").write_bytes(index)
    for name, file in (("p.OnlyV2", v2), ("p.M", v1)):
        argv = ["extract", str(tmp_path / "index.rkyv"), str(v1), str(v2), name, "-o", str(tmp_path / "x.pb"), "-q"]
        assert cli.main(argv) == 0 and (tmp_path / "x.pb").read_bytes() == file.read_bytes()
    assert cli.main(["convert", str(v1), str(v2), "-o", str(tmp_path / "yaml"), "-q"]) == 0
    assert {p.name: p.read_text() for p in (tmp_path / "yaml").iterdir()} == documents


def test_convert_quotes_names_as_the_converter(tmp_path):
    # Names that YAML would read as something else, or that need escapes.
    from google.protobuf import descriptor_pb2

    fds = descriptor_pb2.FileDescriptorSet()
    file = fds.file.add(name="odd/a file.proto")
    for name in ["yes", "Null", "n", "a-b", "x\n", "\x01\x1f\x7f\u2028é", "", "9", 'q"\\\t\b\f\r', "_a.b"]:
        message = file.message_type.add(name=name)
        message.field.add(name="f", number=1, type=11, label=1, type_name="." + name)
    path = tmp_path / "odd.pb"
    path.write_bytes(fds.SerializeToString())
    converted = list(kg.convert(path).values())
    # But for DEL, which YAML may not hold, and U+2028, which a reader of a
    # key takes for a line break: escaped. The documents read back as the
    # set.
    assert converted == [d.replace("\x7f", "\\u007f").replace("\u2028", "\\u2028")
                         for d in converter_documents(path, tmp_path)]
    assert kx.build_graph(converted)[0] == kg.bake(path).archive


def test_gzipped_sets_and_proto_files(sets, tmp_path, monkeypatch):
    own = sets["own"].read_bytes()
    (tmp_path / "own.pb.gz").write_bytes(gzip.compress(own))
    assert kg.index(tmp_path / "own.pb.gz") == kg.index(own)
    assert kg.bake(tmp_path / "own.pb.gz").archive == kg.bake(sets["own"]).archive
    protos = [PROTOS / f for f in COMPILED["own"][1]]  # compiled together, as compile_set does
    assert kg.convert(protos, proto_path=PROTOS) == kg.convert(own)
    (tmp_path / "bad.proto").write_text('syntax = "proto3"; message {')
    with pytest.raises(ValueError, match=f"^{tmp_path}/bad.proto: protoc failed: bad.proto:1:28: Expected message name.$"):
        kg.index(tmp_path / "bad.proto", proto_path=tmp_path)
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(ValueError) as raised:
        kg.bake(protos)
    assert str(raised.value) == (f"{protos[0]}: compiling .proto files needs protoc, which is not on the PATH "
                                 "(on Debian: apt-get install protobuf-compiler)")


def test_inputs_are_read_within_their_bounds(sets, tmp_path, capfd):
    over = "larger than 1 KiB (the limit; --max-input-size raises it)"
    paths = {name: tmp_path / name for name in ("big.yaml", "bomb.tar.gz", "many.tar.gz")}
    paths["big.yaml"].write_text(VALID_DOCUMENT + "#" * 1024)
    paths["bomb.tar.gz"].write_bytes(_tar_gz({"x.yaml": " " * 2048}))
    paths["many.tar.gz"].write_bytes(_tar_gz({f"{i}.yaml": " " * 900 for i in range(5)}))
    (tmp_path / "zero.proto").symlink_to("/dev/zero")
    for path, message in [
        (tmp_path / "zero.proto", f"{tmp_path}/zero.proto: not a regular file, which protoc would read without a bound"),
        (paths["big.yaml"], f"{paths['big.yaml']}: {over}"),
        ("/dev/zero", f"/dev/zero: {over}"),
        (paths["bomb.tar.gz"], f"{paths['bomb.tar.gz']}: member 'x.yaml': {over}"),
        (paths["many.tar.gz"], f"{paths['many.tar.gz']}: larger than 4 KiB decompressed "
                               "(4 times the limit; --max-input-size raises it)"),
    ]:
        with pytest.raises(ValueError) as raised:
            kg.bake(path, max_input_size=1024)
        assert str(raised.value) == message
    with pytest.raises(ValueError) as raised:
        kg.index("/dev/zero", max_input_size=1024)
    assert str(raised.value) == f"/dev/zero: {over}"
    # a set in a regular file may be larger than the limit, up to 2 GiB
    assert kg.bake(sets["wkt"], max_input_size=1024) == kg.bake(sets["wkt"])
    capfd.readouterr()
    assert cli.main(["index", "/dev/zero", "-o", str(tmp_path / "out"), "--max-input-size", "1K"]) == 1
    assert capfd.readouterr().err == f"korvex-graph: error: /dev/zero: {over}\n"
    assert cli.main(["bake", "/dev/zero", "-o", str(tmp_path / "out"), "--max-input-size", "1Q"]) == 2
    # A regular file past the limit that cannot begin a set (a payload, for
    # identify) is refused without being read: the child's peak memory stays
    # far below the 256 MiB it would take.
    big, graph = tmp_path / "big.pb", tmp_path / "graph.rkyv"
    graph.write_bytes(kg.bake(sets["wkt"])[0])
    with open(big, "wb") as file:
        file.write(b"\n")
        file.truncate(1 << 30)
    out = str(tmp_path / "out")
    verbs = [["bake", str(big), "-o", out], ["index", str(big), "-o", out], ["identify", str(graph), str(big)]]
    # (The peak of the child's own memory, VmHWM: getrusage's would count
    # the test process's, which the child is forked from.)
    child = subprocess.run([sys.executable, "-c", f"""
from korvex_graph import cli
for verb in {verbs!r}:
    assert cli.main(verb) == 1
print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")))
"""], capture_output=True, text=True)
    over = f"korvex-graph: error: {big}: larger than 256 MiB (the limit; --max-input-size raises it)\n"
    assert (child.returncode, child.stderr) == (0, over * 3)
    assert SANITIZED or int(child.stdout) < 128 * 1024


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
