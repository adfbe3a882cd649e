"""The type stubs of korvex_graph_lib.

The stub file, written by hand as korvex_graph's _native.pyi is, must
describe the runtime module (names, parameters, defaults, docstrings; also
checked by mypy's stubtest) and must let mypy flag a wrongly typed call.
mypy is the system's; checks that need it skip cleanly when it is absent.
"""

import ast
import importlib.util
import inspect
import os
import pathlib
import shutil
import site
import subprocess
import sys
import textwrap

import pytest

from conftest import REPO_ROOT, SANITIZED

STUB_FILE = REPO_ROOT / "python" / "korvex_graph_lib-stubs" / "__init__.pyi"

DECLARED = {
    "build_graph": (
        [
            ("scoring_graphs", "typing.Sequence[str]", None),
            ("emit_yaml", "bool", "False"),
            ("emit_initial_yaml", "bool", "False"),
            ("on_progress", "typing.Optional[typing.Any]", "None"),
        ],
        "tuple[bytes, typing.Optional[str], typing.Optional[str]]",
    ),
    "build_fds_index": (
        [
            ("type_to_file", "typing.Mapping[str, str]", None),
            ("file_to_span", "typing.Mapping[str, tuple[int, int]]", None),
            ("dep_graph", "typing.Mapping[str, typing.Sequence[str]]", None),
            ("ext_to_file", "typing.Mapping[str, str]", None),
        ],
        "bytes",
    ),
}


def run_tool(command, **kwargs):
    # The generator and mypy never need the sanitizer runtime.
    env = dict(kwargs.pop("env", os.environ))
    env.pop("LD_PRELOAD", None)
    return subprocess.run(command, capture_output=True, text=True, env=env, **kwargs)


# ---------------------------------------------- stub file against module


@pytest.fixture(scope="module")
def stub_tree():
    return ast.parse(STUB_FILE.read_text(encoding="utf-8"))


def stub_functions(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_module_docstring(kx, stub_tree):
    assert ast.get_docstring(stub_tree) == kx.__doc__


def test_stub_imports_typing_only(stub_tree):
    imports = [node for node in stub_tree.body if isinstance(node, (ast.Import, ast.ImportFrom))]
    assert [ast.unparse(node) for node in imports] == ["import typing"]


@pytest.mark.parametrize("name", DECLARED)
def test_stub_signature(kx, stub_tree, name):
    function = stub_functions(stub_tree)[name]
    arguments = function.args
    assert not arguments.posonlyargs and not arguments.kwonlyargs
    assert arguments.vararg is None and arguments.kwarg is None
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + [
        ast.unparse(d) for d in arguments.defaults
    ]
    declared_parameters, declared_return = DECLARED[name]
    assert [
        (a.arg, ast.unparse(a.annotation), default) for a, default in zip(arguments.args, defaults)
    ] == declared_parameters
    assert ast.unparse(function.returns) == declared_return

    runtime = inspect.signature(getattr(kx, name))
    assert [(p.name, None if p.default is p.empty else repr(p.default)) for p in runtime.parameters.values()] == [
        (parameter, default) for parameter, _, default in declared_parameters
    ]


@pytest.mark.parametrize("name", DECLARED)
def test_stub_docstring_is_the_runtime_docstring(kx, stub_tree, name):
    assert ast.get_docstring(stub_functions(stub_tree)[name]) == getattr(kx, name).__doc__


def test_stub_declares_exactly_the_module_functions(kx, stub_tree):
    runtime = [name for name, value in vars(kx).items() if callable(value)]
    assert list(stub_functions(stub_tree)) == runtime


# ----------------------------------------------------------------- mypy

mypy_missing = importlib.util.find_spec("mypy") is None

USER_SCRIPT = textwrap.dedent(
    """\
    import korvex_graph_lib

    archive, yaml, initial = korvex_graph_lib.build_graph(["entries: []"], emit_yaml=True)
    reveal_type(korvex_graph_lib.build_graph(("doc",), False, True, print))
    reveal_type(korvex_graph_lib.build_fds_index({}, {"f": (1, 2)}, {"f": ("g",)}, {}))
    korvex_graph_lib.build_graph(123)
    korvex_graph_lib.build_fds_index({"a": "b"}, {"f": (1, "x")}, {}, {})
    korvex_graph_lib.build_graph(["doc"], emit_yaml="yes")
    """
)


def check_user_script(tmp_path, cache, mypy_path=None):
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypy_path is not None:
        env["MYPYPATH"] = str(mypy_path)
    run = run_tool(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(cache), "user.py"],
        cwd=tmp_path,
        env=env,
    )
    lines = run.stdout.splitlines()
    assert run.returncode == 1, run.stdout + run.stderr
    assert lines[0] == (
        'user.py:4: note: Revealed type is "Tuple[builtins.bytes, Union[builtins.str, None], '
        'Union[builtins.str, None]]"'
    )
    assert lines[1] == 'user.py:5: note: Revealed type is "builtins.bytes"'
    assert [line.split(":")[1] for line in lines[2:]] == ["6", "7", "8"]
    assert 'Argument 1 to "build_graph" has incompatible type "int"; expected "Sequence[str]"' in lines[2]
    assert '"Tuple[int, int]"' in lines[3]
    assert 'Argument "emit_yaml" to "build_graph" has incompatible type "str"; expected "bool"' in lines[4]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    if mypy_missing:
        pytest.skip("mypy not installed")
    if SANITIZED:
        pytest.skip("stub typing does not depend on the sanitizer build")
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="module")
def stub_search_dir(tmp_path_factory):
    # MYPYPATH entries hold plain packages: the stub-only distribution
    # korvex_graph_lib-stubs is laid out as korvex_graph_lib there.
    root = tmp_path_factory.mktemp("stubs")
    (root / "korvex_graph_lib").mkdir()
    shutil.copy(STUB_FILE, root / "korvex_graph_lib" / "__init__.pyi")
    return root


def test_mypy_flags_wrong_calls(tmp_path, mypy_cache, stub_search_dir):
    check_user_script(tmp_path, mypy_cache, stub_search_dir)


def test_stubtest_against_runtime(kx, mypy_cache, stub_search_dir, tmp_path):
    env = dict(os.environ, MYPYPATH=str(stub_search_dir))
    module_dir = os.path.dirname(os.path.abspath(kx.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    run = run_tool([sys.executable, "-m", "mypy.stubtest", "korvex_graph_lib"], env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def installed_stub_package():
    dirs = list(site.getsitepackages()) + [site.getusersitepackages()]
    for directory in dirs:
        candidate = pathlib.Path(directory) / "korvex_graph_lib-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    return None


def test_installed_stub_package(tmp_path, mypy_cache):
    # After pip install, mypy finds the PEP 561 stub-only package by itself.
    installed = installed_stub_package()
    if installed is None:
        pytest.skip("korvex_graph_lib-stubs not installed in this interpreter's site-packages")
    assert installed.read_text(encoding="utf-8") == STUB_FILE.read_text(encoding="utf-8")
    check_user_script(tmp_path, mypy_cache)
