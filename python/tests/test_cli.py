"""The korvex-graph command line, as a new user meets it.

Every verb's --help; every mistake in a table (missing arguments, wrong
paths, a folder for a file, empty and damaged files, the wrong archive
kind, an output in a missing folder): exit 2 with usage for a usage error,
exit 1 with exactly one line on stderr otherwise, never a traceback and
never an output or temporary file left behind. Then what the verbs write,
byte for byte where it is fixed, and the process as a whole: the console
script, python -m, and Ctrl-C.
"""

from __future__ import annotations

import json
import os
import signal
import shutil
import stat
import subprocess
import sys

import pytest
import yaml

import korvex_graph as kg
import korvex_graph_lib as kx
from conftest import REPO_ROOT
from descriptor_sets import compile_set, converter_documents, file_entries, independent_maps, needs_protoc
from korvex_graph import cli

pytestmark = needs_protoc
EXPECTED = REPO_ROOT / "testdata" / "expected"


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    """A folder of the files the commands below are given."""
    w = tmp_path_factory.mktemp("cli")
    own, wkt = compile_set("own", w), compile_set("wkt", w)
    own.rename(w / "set.pb")
    data = (w / "set.pb").read_bytes()
    (w / "index.rkyv").write_bytes(kg.index(data))
    (w / "other-index.rkyv").write_bytes(kg.index(wkt))
    graph = kg.bake(wkt).archive
    (w / "graph.rkyv").write_bytes(graph)
    (w / "truncated.rkyv").write_bytes(graph[:-40])
    (w / "truncated.pb").write_bytes(data[: len(data) // 2])
    (w / "tiny").write_bytes(b"VELDRANE\x07")
    (w / "empty").write_bytes(b"")
    (w / "doc.yaml").write_text("entries: [a.B]\nmessages:\n  a.B:\n    fields: []\n")
    (w / "broken.yaml").write_text("messages: [\n")
    (w / "folder").mkdir()
    # Two files whose entries are as long as each other: in the other
    # order, each lies where the index says the other does.
    a1, a2 = (file_set(f"a{i}.proto", f"A{i}") for i in (1, 2))
    (w / "swapped.pb").write_bytes(a2 + a1)
    (w / "pair-index.rkyv").write_bytes(kg.index(a1 + a2))
    from google.protobuf import descriptor_pb2

    nul = descriptor_pb2.FileDescriptorSet()
    nul.file.add(name="a\0b.proto").message_type.add(name="M")
    (w / "nul.pb").write_bytes(nul.SerializeToString())
    enums = descriptor_pb2.FileDescriptorSet()
    enums.file.add(name="e.proto").enum_type.add(name="E").value.add(name="A", number=0)
    (w / "enums.pb").write_bytes(enums.SerializeToString())
    return w


def file_set(name, message):
    from google.protobuf import descriptor_pb2

    file = descriptor_pb2.FileDescriptorProto(name=name, package="p")
    file.message_type.add(name=message)
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


def run_main(argv, capfd):
    capfd.readouterr()
    status = cli.main(argv)
    out, err = capfd.readouterr()
    return status, out, err


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(("out", ".out")))


USAGE = [
    [],
    ["frobnicate"],
    ["bake"],
    ["bake", "set.pb"],
    ["bake", "set.pb", "-o"],
    ["index", "set.pb"],
    ["inspect"],
    ["inspect", "--limit", "-1", "graph.rkyv"],
    ["verify"],
    ["extract", "index.rkyv", "set.pb"],
    ["extract", "index.rkyv", "set.pb", "korvex.test.Outer"],
    ["inspect", "--max-input-size", "1x", "graph.rkyv"],
    ["identify", "graph.rkyv", "-", "--index", "-", "--descriptors", "set.pb"],
]

FAILURES = [
    (["bake", "missing.pb", "-o", "out.rkyv"], "missing.pb: No such file or directory"),
    (["bake", "empty", "-o", "out.rkyv"], "empty: empty file"),
    (["bake", "folder", "-o", "out.rkyv"], "folder: no YAML documents (*.yaml, *.yml) in this folder"),
    (["bake", "truncated.pb", "-o", "out.rkyv"], "truncated.pb: descriptor set, byte offset "),
    (["bake", "doc.yaml", "broken.yaml", "-o", "out.rkyv"], "broken.yaml: "),
    (["bake", "set.pb", "-o", "nowhere/out.rkyv"], "nowhere/out.rkyv: folder nowhere does not exist"),
    (["bake", "set.pb", "-o", "folder"], "folder: is a folder; give the file to write"),
    (["bake", "set.pb", "-o", "out.rkyv", "--yaml", "out.rkyv"], "out.rkyv: given as two outputs"),
    (["bake", "set.pb", "-o", "set.pb"], "set.pb: is also an input; give another file to write"),
    (["bake", ".", "-o", "out.rkyv", "--yaml", "doc.yaml"], "doc.yaml: is also an input"),  # a document of "."
    (["convert", "nul.pb", "-o", "out"], "out/a\\x00b.proto.yaml: cannot be a file name (it holds a NUL byte)"),
    (["bake", "set.pb", "-o", "out/"], "out/: names a folder; give the file to write"),
    (["bake", "-", "-", "-o", "out.rkyv"], 'standard input ("-") can be read only once'),
    (["bake", "enums.pb", "-o", "out.rkyv"],
     "enums.pb: no message types to bake (no scoring-graph entries found in provided YAML strings)"),
    (["index", "missing.pb", "-o", "out.rkyv"], "missing.pb: No such file or directory"),
    (["index", "folder", "-o", "out.rkyv"], "folder: Is a directory"),
    (["index", "empty", "-o", "out.rkyv"], "empty: empty file, not a descriptor set"),
    (["index", "doc.yaml", "-o", "out.rkyv"], "doc.yaml: not a descriptor set (it is text;"),
    (["index", "truncated.pb", "-o", "out.rkyv"], "truncated.pb: descriptor set, byte offset "),
    (["index", "set.pb", "-o", "nowhere/out.rkyv"], "nowhere/out.rkyv: folder nowhere does not exist"),
    (["inspect", "missing.rkyv"], "missing.rkyv: No such file or directory"),
    (["inspect", "folder"], "folder: Is a directory"),
    (["inspect", "empty"], "empty: empty file, not an archive"),
    (["inspect", "tiny"], "tiny: too short for an archive (9 bytes; the header alone has 24)"),
    (["inspect", "set.pb"], "set.pb: not an archive (it does not begin with VELDRANE)"),
    (["inspect", "truncated.rkyv"], "truncated.rkyv: offset "),
    (["inspect", "new\nline"], "new\\nline: No such file or directory"),
    (["index", "set.pb", "-o", "/dev/full"], "cannot write /dev/full: No space left on device"),
    (["verify", "missing.rkyv"], "missing.rkyv: No such file or directory"),
    (["verify", "truncated.rkyv"], "truncated.rkyv: offset "),
    (["extract", "graph.rkyv", "set.pb", "a.B", "-o", "out.pb"],
     "graph.rkyv: a graph archive, not the index archive expected here"),
    (["extract", "index.rkyv", "set.pb", "no.Such", "-o", "out.pb"],
     "unknown type 'no.Such': index.rkyv names no file that defines it"),
    (["extract", "index.rkyv", "missing.pb", "korvex.test.Outer", "-o", "out.pb"],
     "missing.pb: No such file or directory"),
    (["extract", "other-index.rkyv", "set.pb", "google.protobuf.Timestamp", "-o", "out.pb"],
     "set.pb: google/protobuf/timestamp.proto is not at bytes "),
    (["extract", "index.rkyv", "set.pb", "korvex.test.Outer", "-o", "folder"], "folder: is a folder"),
    (["extract", "index.rkyv", "set.pb", "korvex.test.Outer", "-o", "index.rkyv"], "index.rkyv: is also an input"),
    (["extract", "pair-index.rkyv", "swapped.pb", "p.A1", "-o", "out.pb"],
     "swapped.pb: a1.proto is not at bytes 2 to 21; is pair-index.rkyv the index of this set?"),
]


@pytest.mark.parametrize("argv", USAGE, ids=" ".join)
def test_usage_errors_exit_2_with_usage(argv, workspace, monkeypatch, capfd):
    monkeypatch.chdir(workspace)
    status, out, err = run_main(argv, capfd)
    assert (status, out) == (2, "")
    assert err.startswith("usage: korvex-graph")
    assert err.splitlines()[-1].startswith("korvex-graph") and ": error: " in err.splitlines()[-1]


@pytest.mark.parametrize("argv, message", FAILURES, ids=[" ".join(a) for a, _ in FAILURES])
def test_failures_exit_1_with_one_line(argv, message, workspace, monkeypatch, capfd):
    monkeypatch.chdir(workspace)
    status, out, err = run_main(argv, capfd)
    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and err.startswith(f"korvex-graph: error: {message}"), err
    assert leftovers(workspace) == []


def test_verify_gives_one_line_per_file(workspace, monkeypatch, capfd):
    monkeypatch.chdir(workspace)
    status, out, err = run_main(["verify", "graph.rkyv", "set.pb", "index.rkyv"], capfd)
    assert status == 1
    assert out.splitlines() == [
        f"graph.rkyv: ok (graph archive, {len(kg.Graph.open('graph.rkyv').nodes)} nodes, 47 roots, "
        f"{os.path.getsize('graph.rkyv'):,} bytes)",
        f"index.rkyv: ok (index archive, {len(kg.Index.open('index.rkyv').type_to_file)} types, 5 files, "
        f"{os.path.getsize('index.rkyv'):,} bytes)",
    ]
    assert err == "korvex-graph: error: set.pb: not an archive (it does not begin with VELDRANE)\n"
    assert run_main(["verify", "graph.rkyv", "index.rkyv"], capfd)[0] == 0
    # --json: the same files, the same failure on stderr, one list on stdout.
    status, out, json_err = run_main(["verify", "--json", "graph.rkyv", "set.pb", "index.rkyv"], capfd)
    assert (status, json_err) == (1, err)
    assert json.loads(out) == [
        {"path": "graph.rkyv", "ok": True, "kind": "graph", "nodes": len(kg.Graph.open("graph.rkyv").nodes),
         "roots": 47, "bytes": os.path.getsize("graph.rkyv")},
        {"path": "set.pb", "ok": False, "error": "set.pb: not an archive (it does not begin with VELDRANE)"},
        {"path": "index.rkyv", "ok": True, "kind": "index", "types": len(kg.Index.open("index.rkyv").type_to_file),
         "files": 5, "bytes": os.path.getsize("index.rkyv")},
    ]


@pytest.mark.parametrize("verb", [None, *cli.VERBS])
def test_help_answers_the_question(verb, capfd):
    status, out, err = run_main(["--help"] if verb is None else [verb, "--help"], capfd)
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: korvex-graph {verb or ''}".rstrip())
    assert "examples:" in out or "from .proto to archive:" in out


def test_bake_writes_what_build_graph_gives(workspace, tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    wkt = compile_set("wkt", tmp_path)
    docs = converter_documents(wkt, tmp_path)
    archive, minimised, initial = kx.build_graph(docs, True, True)
    os.umask(0o022)
    status, out, err = run_main(["bake", str(wkt), "-o", "g.rkyv", "--yaml", "m.yaml", "--initial-yaml", "i.yaml"],
                                capfd)
    assert (status, out) == (0, "")
    assert open("g.rkyv", "rb").read() == archive
    assert open("m.yaml").read() == minimised and open("i.yaml").read() == initial
    assert oct(os.stat("g.rkyv").st_mode & 0o777) == "0o644"
    nodes = len(kg.Graph.open(archive).nodes)
    states = initial.split("\ntransitions:")[0].count("\n  - id: ")
    messages = len({name for doc in docs for name in yaml.safe_load(doc)["messages"]})
    lines = err.splitlines()
    assert lines[:-1] == [
        "minimising: 0%", "minimising: 25%", "minimising: 50%", "minimising: 75%", "minimising: 100%",
        "documents  11 (from 1 descriptor set)",
        f"messages   {messages}",
        f"states     {states:,} before minimisation, {nodes:,} after",
        f"archive    g.rkyv: {len(archive)} bytes",
    ]
    assert lines[-1].startswith("time       ") and lines[-1].endswith(" s")
    assert sorted(os.listdir()) == ["g.rkyv", "i.yaml", "m.yaml", "wkt-yaml", "wkt.pb"]


def test_bake_shows_warnings_as_they_come(tmp_path, monkeypatch, capfd):
    run = json.loads((EXPECTED / "warnings" / "run.json").read_text())
    status, out, err = run_main(["bake", str(EXPECTED / "warnings" / "input"), "-o", str(tmp_path / "g.rkyv"), "-q"],
                                capfd)
    assert (status, out, err) == (0, "", run["stderr"])
    assert (tmp_path / "g.rkyv").read_bytes() == (EXPECTED / "warnings" / "graph.rkyv").read_bytes()


def test_index_writes_build_fds_index_of_the_sets_maps(workspace, tmp_path, capfd):
    status, out, err = run_main(["index", str(workspace / "set.pb"), "-o", str(tmp_path / "i.rkyv")], capfd)
    assert (status, out) == (0, "")
    expected = kx.build_fds_index(*independent_maps((workspace / "set.pb").read_bytes()))
    assert (tmp_path / "i.rkyv").read_bytes() == expected
    index = kg.Index.open(expected)
    assert err == (f"{tmp_path / 'i.rkyv'}: {len(index.type_to_file)} types in 5 files, "
                   f"{len(index.ext_to_file)} extensions; {len(expected)} bytes\n")


@pytest.mark.parametrize("types", [
    ["korvex.test.three.Sample"],
    ["google.protobuf.Timestamp", ".Root"],
    ["korvex.test.Mood", "korvex.test.Outer.Header.Entry", "korvex.test.Outer"],
])
def test_extract_writes_a_set_that_protobuf_loads(types, workspace, tmp_path, capfd):
    from google.protobuf import descriptor_pb2, descriptor_pool

    out = tmp_path / "slice.pb"
    status, _, _ = run_main(["extract", str(workspace / "index.rkyv"), str(workspace / "set.pb"), *types,
                             "-o", str(out), "-q"], capfd)
    assert status == 0
    data = (workspace / "set.pb").read_bytes()
    original = {f.name: data[s:e] for f, (s, e) in
                zip(descriptor_pb2.FileDescriptorSet.FromString(data).file, file_entries(data))}
    written = out.read_bytes()
    sliced = descriptor_pb2.FileDescriptorSet.FromString(written)
    names = [f.name for f in sliced.file]
    # Dependencies first, every file's bytes as they were, nothing else.
    assert [written[s:e] for s, e in file_entries(written)] == [original[n] for n in names]
    for i, f in enumerate(sliced.file):
        assert set(f.dependency) <= set(names[:i])
    pool = descriptor_pool.DescriptorPool()
    for f in sliced.file:
        pool.Add(f)
    for name in types:
        name = name.lstrip(".")
        found = pool.FindEnumTypeByName(name) if name.endswith("Mood") else pool.FindMessageTypeByName(name)
        assert found.full_name == name
    index = kg.Index.open(workspace / "index.rkyv")
    assert names == index.closure(dict.fromkeys(index.file_of_type(t.lstrip(".")) for t in types))


def test_inspect(workspace, monkeypatch, capfd):
    monkeypatch.chdir(workspace)
    graph = kg.Graph.open("graph.rkyv")
    status, out, _ = run_main(["inspect", "graph.rkyv", "--json", "--limit", "2"], capfd)
    d = json.loads(out)
    assert status == 0
    assert {k: d[k] for k in ("kind", "nodes", "transitions", "roots", "bytes")} == {
        "kind": "graph", "nodes": len(graph.nodes), "transitions": len(graph.transitions),
        "roots": len(graph.roots), "bytes": graph.nbytes}
    counts = sorted((-n.transition_count, n.id) for n in graph.nodes)[:2]
    assert [(-n["fields"], n["id"]) for n in d["largest_nodes"]] == counts
    assert [r["fqdn"] for r in d["root_list"]] == sorted(r.fqdn for r in graph.roots)[:2]
    status, out, _ = run_main(["inspect", "graph.rkyv"], capfd)
    assert out.startswith(f"graph.rkyv: graph archive, format version 7, {graph.nbytes:,} bytes\n")
    assert "\nlargest nodes:\n  node 24       21 fields  message  google.protobuf.FileOptions\n" in out
    assert "\nroots (first 10 of 47 by name):\n  google.protobuf.Any -> node 0\n" in out

    status, out, _ = run_main(["inspect", "index.rkyv", "--json", "--limit", "0"], capfd)
    d = json.loads(out)
    types, spans, deps, exts = kg.Index.open("index.rkyv").to_dicts()
    assert d["maps"]["type_to_file"] == {"entries": len(types), "first": dict(sorted(types.items()))}
    assert d["maps"]["file_to_span"]["first"] == {k: list(v) for k, v in sorted(spans.items())}
    assert d["maps"]["dep_graph"]["first"] == dict(sorted(deps.items()))
    status, out, _ = run_main(["inspect", "index.rkyv"], capfd)
    assert out.splitlines()[:2] == [f"index.rkyv: index archive, format version 4, {os.path.getsize('index.rkyv'):,} bytes",
                                    f"  type_to_file  {len(types):>10,} entries"]


def test_outputs_through_devices_and_links(workspace, tmp_path, capfd):
    # A device or a FIFO is written through, never replaced by a regular
    # file; through a link, the file it names is replaced and the link kept;
    # a name as long as a name may be still leaves room for the temporary.
    (tmp_path / "real.rkyv").write_bytes(b"old")
    (tmp_path / "real.rkyv").chmod(0o600)  # kept by the file that replaces it
    (tmp_path / "link.rkyv").symlink_to("real.rkyv")
    os.mkfifo(tmp_path / "fifo")
    for target, status in (("/dev/null", 0), (tmp_path / "link.rkyv", 0), (tmp_path / "fifo", 1),
                           (tmp_path / ("o" * 255), 0)):
        assert run_main(["index", str(workspace / "set.pb"), "-o", str(target)], capfd)[0] == status
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode) and stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    assert (tmp_path / "link.rkyv").is_symlink()
    assert (tmp_path / "real.rkyv").read_bytes() == (workspace / "index.rkyv").read_bytes()
    assert stat.S_IMODE(os.stat(tmp_path / "real.rkyv").st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == ["fifo", "link.rkyv", "o" * 255, "real.rkyv"]
    run = subprocess.run([*command(), "index", str(workspace / "set.pb"), "-o", "-", "-q"], capture_output=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, (workspace / "index.rkyv").read_bytes(), b"")


def test_an_interrupted_write_leaves_nothing(workspace, tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    real_fsync = os.fsync
    calls = []

    def fsync(fd):
        calls.append(fd)
        if len(calls) == 2:  # while staging the second output
            raise KeyboardInterrupt
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    status, out, err = run_main(["bake", str(workspace / "set.pb"), "-o", "out.rkyv", "--yaml", "out.yaml", "-q"],
                                capfd)
    assert (status, out, err) == (130, "", "")
    assert os.listdir() == []
    # Once the outputs are being renamed into place, Ctrl-C waits for the
    # last: all of them are new.
    monkeypatch.setattr(os, "fsync", real_fsync)
    real_replace = os.replace

    def replace(source, target):
        os.kill(os.getpid(), signal.SIGINT)
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    status, out, err = run_main(["bake", str(workspace / "set.pb"), "-o", "out.rkyv", "--yaml", "out.yaml", "-q"],
                                capfd)
    assert (status, out, err) == (130, "", "")
    assert sorted(os.listdir()) == ["out.rkyv", "out.yaml"]


# ------------------------------------------------------------------ process

def command():
    return [sys.executable, "-m", "korvex_graph"]


def test_python_m_and_the_console_script(workspace, tmp_path):
    run = subprocess.run([*command(), "inspect", str(workspace / "missing")], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr == f"korvex-graph: error: {workspace / 'missing'}: No such file or directory\n"
    script = shutil.which("korvex-graph", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("no console script beside this interpreter (a build tree on PYTHONPATH)")
    run = subprocess.run([script, "bake", str(workspace / "set.pb"), "-o", str(tmp_path / "g.rkyv"), "-q"],
                         capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    assert (tmp_path / "g.rkyv").read_bytes() == kg.bake(workspace / "set.pb").archive


def test_standard_input_as_an_input(workspace, tmp_path):
    # "-" reads standard input, as identify's payloads do: a set to bake,
    # then the archive to inspect.
    graph = tmp_path / "g.rkyv"
    run = subprocess.run([*command(), "bake", "-", "-o", str(graph), "-q"],
                         input=(workspace / "set.pb").read_bytes(), capture_output=True)
    assert (run.returncode, run.stderr) == (0, b"")
    assert graph.read_bytes() == kg.bake(workspace / "set.pb").archive
    with open(graph, "rb") as stdin:
        run = subprocess.run([*command(), "inspect", "-"], stdin=stdin, capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.startswith(f"-: graph archive, format version 7, {graph.stat().st_size:,} bytes\n")
    # Standard input is an input, and standard output written where it stands.
    with open(graph, "rb") as stdin:
        run = subprocess.run([*command(), "bake", "-", "-o", str(graph)], stdin=stdin, capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (1, f"korvex-graph: error: {graph}: is also an input; give another file to write\n")
    log = tmp_path / "log"
    with open(log, "wb") as stdout:
        stdout.write(b"before\n")
        stdout.flush()
        run = subprocess.run([*command(), "index", str(workspace / "set.pb"), "-o", "/dev/stdout", "-q"], stdout=stdout)
    assert run.returncode == 0
    assert log.read_bytes() == b"before\n" + (workspace / "index.rkyv").read_bytes()


def test_standard_output_that_cannot_be_written(workspace):
    # Full: one line and exit 1; a reader gone (| head): exit 1, quietly.
    closed, write_end = os.pipe()
    os.close(closed)
    with open("/dev/full", "wb") as full:
        graph = str(workspace / "graph.rkyv")
        for argv in (["inspect", graph], ["verify", graph], ["--help"], ["--version"],
                     ["index", str(workspace / "set.pb"), "-o", "-", "-q"]):
            for stdout, message in ((full, b"korvex-graph: error: standard output: No space left on device\n"),
                                    (write_end, b"")):
                run = subprocess.run([*command(), *argv], stdout=stdout, stderr=subprocess.PIPE)
                assert (run.returncode, run.stderr) == (1, message), argv
    os.close(write_end)
    run = subprocess.run([*command(), "inspect", "--max-input-size", "1K", "/dev/stdin"], capture_output=True,
                         input=(workspace / "graph.rkyv").read_bytes())
    assert (run.returncode, run.stderr) == (
        1, b"korvex-graph: error: /dev/stdin: larger than 1 KiB (the limit; --max-input-size raises it)\n")


@pytest.mark.parametrize("signum, ignored", [(signal.SIGINT, False), (signal.SIGTERM, False), (signal.SIGHUP, True)],
                         ids=["Ctrl-C", "SIGTERM", "SIGHUP under nohup"])
def test_an_interrupted_bake_exits_128_plus_the_signal_and_writes_nothing(signum, ignored, tmp_path):
    # The dumps asked for keep the bake busy well after minimising starts,
    # which is when the signal comes. A signal ignored from the start
    # (nohup) stays ignored.
    corpus = REPO_ROOT / "testdata" / "corpora" / "synth-20k.tar.gz"
    process = subprocess.Popen([*command(), "bake", str(corpus), "-o", str(tmp_path / "g.rkyv"),
                                "--yaml", str(tmp_path / "m.yaml"), "--initial-yaml", str(tmp_path / "i.yaml")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=(lambda: signal.signal(signum, signal.SIG_IGN)) if ignored else None)
    first = process.stderr.readline()
    process.send_signal(signum)
    out, rest = process.communicate(timeout=120)
    assert first == "minimising: 0%\n"
    if ignored:
        assert process.returncode == 0 and sorted(os.listdir(tmp_path)) == ["g.rkyv", "i.yaml", "m.yaml"]
        return
    # A report already on its way from the worker may still be printed
    # before the signal reaches the main thread; nothing else may.
    assert (process.returncode, out) == (128 + signum, "")
    assert all(line.startswith("minimising: ") for line in rest.splitlines()), rest
    assert os.listdir(tmp_path) == []
