"""The typing of korvex_graph: the package passes mypy --strict, its native
part matches its stub (mypy's stubtest, against the module imported here),
and a user's script gets precise types and has its mistakes flagged."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import site
import subprocess
import sys
import textwrap

import pytest

import korvex_graph
from conftest import REPO_ROOT, SANITIZED

PACKAGE_SOURCE = REPO_ROOT / "python" / "korvex_graph"

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed"),
    pytest.mark.skipif(SANITIZED, reason="typing does not depend on the sanitizer build"),
]


def run_tool(command, **kwargs):
    env = dict(kwargs.pop("env", os.environ))
    env.pop("LD_PRELOAD", None)
    return subprocess.run(command, capture_output=True, text=True, env=env, **kwargs)


def test_package_passes_mypy_strict(tmp_path):
    run = run_tool([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                    str(tmp_path / "cache"), "-p", "korvex_graph"], cwd=PACKAGE_SOURCE.parent)
    assert run.returncode == 0, run.stdout + run.stderr


def test_stubtest_against_the_imported_native_module(tmp_path):
    # The package under test, wherever it was imported from (a venv or a
    # build tree), with its own stub beside the extension.
    package_parent = pathlib.Path(korvex_graph.__file__).resolve().parent.parent
    assert (package_parent / "korvex_graph" / "_native.pyi").read_text() == (PACKAGE_SOURCE / "_native.pyi").read_text()
    env = dict(os.environ)
    if str(package_parent) not in site.getsitepackages():
        # A build tree: mypy finds installed packages by itself, others here.
        env.update(PYTHONPATH=str(package_parent), MYPYPATH=str(package_parent))
    run = run_tool([sys.executable, "-m", "mypy.stubtest", "korvex_graph._native"], env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


USER_SCRIPT = textwrap.dedent(
    """\
    import korvex_graph

    graph = korvex_graph.Graph.open("graph.rkyv")
    reveal_type(graph)
    reveal_type(graph.root("pkg.A"))
    reveal_type(graph.node(0).transitions[0])
    reveal_type(graph.nodes[1:])
    index = korvex_graph.Index.open(b"")
    reveal_type(index.file_of_type("pkg.A"))
    reveal_type(index.to_dicts())
    reveal_type(index.file_to_span["a.proto"])
    graph.node("0")
    index.file_of_extension("pkg.A", "100")
    korvex_graph.Graph.open(12)
    """
)


def test_user_script_types(tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    env = dict(os.environ, MYPYPATH=str(PACKAGE_SOURCE.parent))
    run = run_tool([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                    str(tmp_path / "cache"), "user.py"], cwd=tmp_path, env=env)
    lines = run.stdout.splitlines()
    notes = [line.split("Revealed type is ")[1] for line in lines if "Revealed type" in line]
    assert notes == [
        '"korvex_graph._graph.Graph"',
        '"Union[Tuple[builtins.str, builtins.int, fallback=korvex_graph._native.Root], None]"',
        '"Tuple[builtins.int, builtins.int, builtins.int, builtins.int, builtins.bool, builtins.int, '
        'fallback=korvex_graph._native.Transition]"',
        '"korvex_graph._graph.NodeSequence"',
        '"Union[builtins.str, None]"',
        '"Tuple[builtins.dict[builtins.str, builtins.str], builtins.dict[builtins.str, Tuple[builtins.int, '
        'builtins.int]], builtins.dict[builtins.str, builtins.list[builtins.str]], builtins.dict[builtins.str, '
        'builtins.str]]"',
        '"Tuple[builtins.int, builtins.int, fallback=korvex_graph._native.Span]"',
    ], run.stdout
    errors = [line.split(":")[1] for line in lines if ": error:" in line]
    assert errors == ["12", "13", "14"], run.stdout
