"""The module object and build_graph's face towards Python.

Covers the module definition (docstring, multi-phase initialisation, the
single exported symbol), build_graph's argument binding and conversions
with every refusal and its note, the documentation string, the result
tuple, the progress bridge (callbacks that raise, return, are not callable
or re-enter the module), reference counts, and inputs mutated during a
call by the callback or by other threads.
"""

import collections
import gc
import importlib.util
import inspect
import json
import shutil
import subprocess
import sys
import threading

import pytest

from conftest import INVALID_DOCUMENT, NO_ENTRIES_MESSAGE, REPO_ROOT, VALID_DOCUMENT, needs_numpy, numpy, numpy_cases

BUILD_GRAPH_DOC_LINES = [
    "Build a compiled (baked) scoring graph from in-memory YAML strings.",
    "",
    "Parameters",
    "----------",
    "scoring_graphs : list[str]",
    "    YAML content of each per-file scoring graph, as produced by",
    "    ``morvane --emit-scoring-graphs``.  One entry per file; order does",
    "    not matter.",
    "emit_yaml : bool, optional",
    "    When True, also return the minimised (post-Hopcroft) compiled graph as",
    "    a human-readable YAML string (spec 0059 §2 format).  Default False.",
    "emit_initial_yaml : bool, optional",
    "    When True, also return the raw (pre-Hopcroft) compiled graph as a",
    "    human-readable YAML string (spec 0059 §2 format).  Default False.",
    "",
    "Returns",
    "-------",
    "tuple[bytes, str | None, str | None]",
    "    First element: serialised ``.rkyv`` content (the baked graph).",
    "    Second element: minimised YAML when ``emit_yaml=True``, else ``None``.",
    "    Third element: raw YAML when ``emit_initial_yaml=True``, else ``None``.",
    "",
    "Raises",
    "------",
    "RuntimeError",
    "    If any YAML string is malformed or the graph cannot be built.",
]


def notes_of(error):
    return getattr(error, "__notes__", [])


def note_for(name):
    return f"while converting argument '{name}'"


# ---------------------------------------------------------------- module


def test_module_docstring_is_one_52_character_sentence(kx):
    assert kx.__doc__ == "A native extension to build compiled scoring graphs."
    assert len(kx.__doc__) == 52


def test_module_offers_the_two_functions_in_order(kx):
    names = [name for name, value in vars(kx).items() if callable(value)]
    assert names == ["build_graph", "build_fds_index"]
    for function in (kx.build_graph, kx.build_fds_index):
        assert function.__module__ == "korvex_graph_lib"
        assert function.__self__ is kx


def test_each_module_object_gets_its_own_functions(kx):
    # Multi-phase initialisation: a second module object from the same
    # library runs the execution slot again instead of copying the first.
    found = importlib.util.find_spec("korvex_graph_lib")
    second = importlib.util.module_from_spec(found)
    found.loader.exec_module(second)
    assert second is not kx
    assert second.build_graph is not kx.build_graph
    assert second.build_graph.__self__ is second
    assert second.build_fds_index.__self__ is second
    assert second.__doc__ == kx.__doc__
    with pytest.raises(RuntimeError, match=NO_ENTRIES_MESSAGE):
        second.build_graph([])


def test_init_function_is_the_only_exported_symbol(kx):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    listing = subprocess.run([nm, "-D", "--defined-only", kx.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_korvex_graph_lib"]


# ------------------------------------------------------------ docstring


def test_text_signature(kx):
    assert kx.build_graph.__text_signature__ == (
        "(scoring_graphs, emit_yaml=False, emit_initial_yaml=False, on_progress=None)"
    )
    parameters = inspect.signature(kx.build_graph).parameters
    assert [(p.name, p.kind, p.default) for p in parameters.values()] == [
        ("scoring_graphs", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("emit_yaml", inspect.Parameter.POSITIONAL_OR_KEYWORD, False),
        ("emit_initial_yaml", inspect.Parameter.POSITIONAL_OR_KEYWORD, False),
        ("on_progress", inspect.Parameter.POSITIONAL_OR_KEYWORD, None),
    ]


@pytest.mark.parametrize("index", range(len(BUILD_GRAPH_DOC_LINES)))
def test_docstring_line(kx, index):
    assert kx.build_graph.__doc__.split("\n")[index] == BUILD_GRAPH_DOC_LINES[index]


def test_docstring_whole(kx):
    assert kx.build_graph.__doc__ == "\n".join(BUILD_GRAPH_DOC_LINES)


# ------------------------------------------------------ argument binding

BINDING_ERRORS = [
    ((), {}, "build_graph() missing required argument 'scoring_graphs' (pos 1)"),
    ((), {"emit_yaml": True}, "build_graph() missing required argument 'scoring_graphs' (pos 1)"),
    (([], False, False, None, None), {}, "build_graph() takes at most 4 arguments (5 given)"),
    (([], True), {"emit_yaml": True}, "build_graph() got multiple values for argument 'emit_yaml'"),
    (([],), {"scoring_graphs": []}, "build_graph() got multiple values for argument 'scoring_graphs'"),
    (([], 1, 2, 3), {"on_progress": None}, "build_graph() got multiple values for argument 'on_progress'"),
    (([],), {"x": 1}, "build_graph() got an unexpected keyword argument 'x'"),
    ((), {"scoring_graph": []}, "build_graph() got an unexpected keyword argument 'scoring_graph'"),
    (([],), {"émit_yaml": True}, "build_graph() got an unexpected keyword argument 'émit_yaml'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(kx, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        kx.build_graph(*args, **kwargs)
    assert str(caught.value) == message
    assert notes_of(caught.value) == []  # raised before any conversion


BINDINGS = [
    ((INVALID_DOCUMENT_LIST := [INVALID_DOCUMENT],), {}),
    ((INVALID_DOCUMENT_LIST, False, True, print), {}),
    ((), {"scoring_graphs": INVALID_DOCUMENT_LIST}),
    (
        (),
        {"on_progress": None, "emit_initial_yaml": True, "emit_yaml": False, "scoring_graphs": INVALID_DOCUMENT_LIST},
    ),
    ((INVALID_DOCUMENT_LIST, True), {"on_progress": 5, "emit_initial_yaml": False}),
]


@pytest.mark.parametrize("args, kwargs", BINDINGS)
def test_bindings_reach_the_build(kx, args, kwargs):
    # Every parameter binds by position or keyword; the call gets as far as
    # reading the documents, which fails for this input.
    with pytest.raises(RuntimeError, match=r"^scoring_graph\[0\]"):
        kx.build_graph(*args, **kwargs)


# ------------------------------------------- scoring_graphs conversions


class StrSubclass(str):
    pass


class Sequence:
    """A sequence by the interpreter's check: __getitem__ and __len__."""

    def __init__(self, items, length=None, length_error=None):
        self.items = list(items)
        self.length = length
        self.length_error = length_error

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]


class FailingSequence(Sequence):
    def __getitem__(self, index):
        if index == 1:
            raise LookupError("second item unavailable")
        return super().__getitem__(index)


REFUSED_SCORING_GRAPHS = [
    ("str", VALID_DOCUMENT, TypeError, "Can't extract `str` to `Vec`"),
    ("empty str", "", TypeError, "Can't extract `str` to `Vec`"),
    ("str subclass", StrSubclass(VALID_DOCUMENT), TypeError, "Can't extract `str` to `Vec`"),
    ("generator", (d for d in [VALID_DOCUMENT]), TypeError, None),
    ("set", {VALID_DOCUMENT}, TypeError, None),
    ("frozenset", frozenset([VALID_DOCUMENT]), TypeError, None),
    ("dict", {VALID_DOCUMENT: 1}, TypeError, None),
    ("int", 3, TypeError, None),
    ("None", None, TypeError, None),
    ("int item", [VALID_DOCUMENT, 1], TypeError, None),
    ("None item", [None], TypeError, None),
    ("bytes item", [VALID_DOCUMENT.encode()], TypeError, None),
    ("bytes", VALID_DOCUMENT.encode(), TypeError, None),
    ("nested list", [[VALID_DOCUMENT]], TypeError, None),
    ("lone surrogate", ["entries: [\ud800]"], UnicodeEncodeError, None),
    ("raising item", FailingSequence([VALID_DOCUMENT, VALID_DOCUMENT]), LookupError, "second item unavailable"),
]


@pytest.mark.parametrize(
    "value, error, message", [case[1:] for case in REFUSED_SCORING_GRAPHS], ids=[case[0] for case in REFUSED_SCORING_GRAPHS]
)
def test_scoring_graphs_refused(kx, value, error, message):
    with pytest.raises(error) as caught:
        kx.build_graph(value, on_progress=lambda *a: pytest.fail("build ran"))
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert notes_of(caught.value) == [note_for("scoring_graphs")]


ACCEPTED_INVALID_SEQUENCES = [
    ("list", [INVALID_DOCUMENT]),
    ("tuple", (INVALID_DOCUMENT,)),
    ("str subclass item", [StrSubclass(INVALID_DOCUMENT)]),
    ("custom sequence", Sequence([INVALID_DOCUMENT])),
    ("len says maxsize", Sequence([INVALID_DOCUMENT], length=sys.maxsize)),
    ("len beyond ssize_t", Sequence([INVALID_DOCUMENT], length=2**100)),
    ("len negative", Sequence([INVALID_DOCUMENT], length=-5)),
    ("len raises", Sequence([INVALID_DOCUMENT], length_error=ZeroDivisionError("no length"))),
    ("len says zero", Sequence([INVALID_DOCUMENT], length=0)),
    ("deque", collections.deque([INVALID_DOCUMENT])),
    ("NUL byte kept", [VALID_DOCUMENT + "\x00" + INVALID_DOCUMENT]),
]


@pytest.mark.parametrize(
    "value", [case[1] for case in ACCEPTED_INVALID_SEQUENCES], ids=[case[0] for case in ACCEPTED_INVALID_SEQUENCES]
)
def test_scoring_graphs_accepted(kx, value):
    # Conversion succeeds (the length is only a hint; iteration decides) and
    # the whole string, NUL and all, reaches the YAML reader, which refuses it.
    with pytest.raises(RuntimeError, match=r"^scoring_graph\[0\]"):
        kx.build_graph(value)
    assert sys.exc_info() == (None, None, None)


def test_length_errors_are_discarded(kx):
    with pytest.raises(RuntimeError) as caught:
        kx.build_graph(Sequence([INVALID_DOCUMENT], length_error=ValueError("bad length")))
    assert caught.value.__context__ is None


def test_document_index_follows_iteration_order(kx):
    with pytest.raises(RuntimeError, match=r"^scoring_graph\[2\]"):
        kx.build_graph([VALID_DOCUMENT, VALID_DOCUMENT, INVALID_DOCUMENT])


def test_empty_list_has_no_entries(kx):
    with pytest.raises(RuntimeError) as caught:
        kx.build_graph([])
    assert str(caught.value) == NO_ENTRIES_MESSAGE
    assert notes_of(caught.value) == []


def test_scoring_graphs_converted_before_the_flags(kx):
    with pytest.raises(TypeError) as caught:
        kx.build_graph("x", emit_yaml=1)
    assert notes_of(caught.value) == [note_for("scoring_graphs")]


# ------------------------------------------------------- emit flags

REFUSED_FLAGS = [0, 1, 2, None, "True", 1.0, []] + numpy_cases(
    lambda np: [np.int64(1), np.array(True), np.array([True])])


@pytest.fixture(params=["build_graph", "bake"])
def bake_function(request, kx):
    """build_graph, or korvex_graph's native bake cut to the same triple: both
    cross one bridge, so both take the same flags and progress callables."""
    if request.param == "build_graph":
        return kx.build_graph
    from korvex_graph import _native

    return lambda *args, **kwargs: _native.bake(*args, **kwargs)[:3]


@pytest.mark.parametrize("name", ["emit_yaml", "emit_initial_yaml"])
@pytest.mark.parametrize("value", REFUSED_FLAGS, ids=repr)
def test_flag_refused(bake_function, name, value):
    with pytest.raises(TypeError) as caught:
        bake_function([VALID_DOCUMENT], **{name: value})
    assert notes_of(caught.value) == [note_for(name)]


def test_flags_converted_in_parameter_order(kx):
    with pytest.raises(TypeError) as caught:
        kx.build_graph([VALID_DOCUMENT], 0, 0)
    assert notes_of(caught.value) == [note_for("emit_yaml")]


FLAG_VALUES = [
    (True, True),
    (False, False),
] + numpy_cases(lambda np: [
    (np.bool_(True), True),
    (np.bool_(False), False),
    (np.True_, True),
], width=2)


@pytest.mark.parametrize("value, expected", FLAG_VALUES, ids=repr)
def test_flag_accepted_by_truth_value(bake_function, valid_documents, value, expected):
    archive, yaml, initial = bake_function(valid_documents, emit_yaml=value)
    assert (yaml is not None) == expected
    assert initial is None
    archive, yaml, initial = bake_function(valid_documents, emit_initial_yaml=value)
    assert yaml is None
    assert (initial is not None) == expected


# --------------------------------------------------------------- result

RESULT_SHAPES = [
    ((), (bytes, type(None), type(None))),
    ((False, False), (bytes, type(None), type(None))),
    ((True, False), (bytes, str, type(None))),
    ((False, True), (bytes, type(None), str)),
    ((True, True), (bytes, str, str)),
]


@pytest.mark.parametrize("flags, types", RESULT_SHAPES)
def test_result_shape(kx, valid_documents, baseline, flags, types):
    result = kx.build_graph(valid_documents, *flags)
    assert type(result) is tuple
    assert tuple(type(item) for item in result) == types
    # The archive never depends on which dumps were asked for, and a dump is
    # the same whether or not the other one is made.
    assert result[0] == baseline[0]
    for got, full in zip(result[1:], baseline[1:]):
        assert got is None or got == full


def test_result_archive_has_graph_header(baseline):
    archive = baseline[0]
    assert archive[:8] == b"VELDRANE"
    assert int.from_bytes(archive[8:16], "little") == 7
    assert int.from_bytes(archive[16:24], "little") == 24


def test_invalid_input_fails_whatever_the_flags(kx):
    for flags in [(False, False), (True, True)]:
        with pytest.raises(RuntimeError, match=r"^scoring_graph\[1\]"):
            kx.build_graph([VALID_DOCUMENT, INVALID_DOCUMENT], *flags)


def test_same_result_every_call(kx, valid_documents, baseline):
    assert kx.build_graph(list(valid_documents), True, True) == baseline


# --------------------------------------------------------- progress


class Recorder:
    def __init__(self, result=None, error=None):
        self.calls = []
        self.result = result
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            # A fresh exception each time: from Python 3.12 on a raised
            # exception holds its traceback, and through it this frame, so
            # raising the stored one would keep the recorder referenced.
            raise type(self.error)(*self.error.args)
        return self.result


def test_progress_calls(kx, valid_documents):
    recorder = Recorder()
    kx.build_graph(valid_documents, on_progress=recorder)
    assert recorder.calls, "minimisation reports at least its start and end"
    assert all(kwargs == {} and len(args) == 2 for args, kwargs in recorder.calls)
    pairs = [args for args, _ in recorder.calls]
    assert all(type(done) is int and type(total) is int for done, total in pairs)
    total = pairs[0][1]
    assert total > 0 and len(pairs) >= 3, "the document should give minimisation work to report"
    assert pairs[0] == (0, total)
    assert pairs[-1] == (total, total)
    assert all(t == total and 0 <= d <= total for d, t in pairs)


def test_progress_matches_recorded_run(kx):
    # A recorded run of the whole pipeline: its archive, both dumps and the
    # exact progress reports.
    case = REPO_ROOT / "testdata" / "expected" / "warnings"
    if not case.is_dir():
        pytest.skip("recorded run not present")
    run = json.loads((case / "run.json").read_text())
    documents = [(case / name).read_text(encoding="utf-8") for name in run["documents"]]
    calls = []
    archive, yaml, initial = kx.build_graph(documents, True, True, lambda done, total: calls.append([done, total]))
    assert calls == run["progress_calls"]
    assert archive == (case / "graph.rkyv").read_bytes()
    assert yaml == (case / "minimised.yaml").read_text(encoding="utf-8")
    assert initial == (case / "initial.yaml").read_text(encoding="utf-8")


CALLBACKS = [
    ("raises", lambda: Recorder(error=ValueError("stop"))),
    ("raises SystemExit", lambda: Recorder(error=SystemExit(3))),
    ("returns False", lambda: Recorder(result=False)),
    ("returns an object", lambda: Recorder(result=object())),
    ("not callable: int", lambda: 5),
    ("not callable: str", lambda: "print"),
    ("wrong arity", lambda: (lambda: None)),
    ("keyword-only", lambda: (lambda *, done, total: None)),
]


@pytest.mark.parametrize("make", [case[1] for case in CALLBACKS], ids=[case[0] for case in CALLBACKS])
def test_progress_callback_cannot_change_the_result(kx, valid_documents, baseline, make):
    callback = make()
    before = sys.getrefcount(callback)
    assert kx.build_graph(valid_documents, True, True, callback) == baseline
    assert sys.exc_info() == (None, None, None)
    assert sys.getrefcount(callback) == before
    if isinstance(callback, Recorder):
        assert callback.calls  # it was called, and went on being called


def test_ctrl_c_in_progress_is_raised_after_the_build(bake_function, valid_documents):
    # The build cannot stop, and the callable is not called again; but its
    # result is not what the caller waits for any more.
    callback = Recorder(error=KeyboardInterrupt())
    before = sys.getrefcount(callback)
    with pytest.raises(KeyboardInterrupt):
        bake_function(valid_documents, True, True, callback)
    assert len(callback.calls) == 1
    assert sys.getrefcount(callback) == before


def test_progress_none_and_absent_agree(kx, valid_documents, baseline):
    assert kx.build_graph(valid_documents, True, True, None) == baseline
    assert kx.build_graph(valid_documents, True, True, on_progress=None) == baseline


def test_progress_callback_reenters_the_module(kx, valid_documents, baseline):
    inner_results = []
    inner_errors = []

    def callback(done, total):
        inner_results.append(kx.build_graph(valid_documents, True, True))
        try:
            kx.build_graph([INVALID_DOCUMENT], on_progress=callback_inner)
        except RuntimeError as error:
            inner_errors.append(str(error))
        inner_results.append(kx.build_fds_index({"a.B": "a.proto"}, {}, {}, {}))

    def callback_inner(done, total):
        kx.build_graph(valid_documents, on_progress=lambda *a: None)

    assert kx.build_graph(valid_documents, True, True, callback) == baseline
    assert inner_results and all(r == baseline for r in inner_results[0::2])
    assert inner_errors and all(e.startswith("scoring_graph[0]") for e in inner_errors)


def test_progress_callback_mutating_the_input_has_no_effect(kx, baseline):
    # The list holds the only other reference to its string.
    documents = [StrSubclass(VALID_DOCUMENT)]

    def callback(done, total):
        documents.clear()
        documents.append(INVALID_DOCUMENT)

    assert kx.build_graph(documents, True, True, callback) == baseline
    assert documents == [INVALID_DOCUMENT]


def test_progress_callback_released_on_failure(kx):
    callback = Recorder()
    before = sys.getrefcount(callback)
    for _ in range(3):
        with pytest.raises(RuntimeError):
            kx.build_graph([INVALID_DOCUMENT], on_progress=callback)
        with pytest.raises(TypeError):
            kx.build_graph([INVALID_DOCUMENT], emit_yaml=1, on_progress=callback)
    assert sys.getrefcount(callback) == before


@needs_numpy
def test_arguments_not_leaked(kx, valid_documents):
    documents = [StrSubclass(VALID_DOCUMENT)]
    item = documents[0]
    flag = numpy.bool_(True)
    counts = (sys.getrefcount(documents), sys.getrefcount(item), sys.getrefcount(flag))
    for _ in range(3):
        kx.build_graph(documents, flag, flag)
    gc.collect()
    assert (sys.getrefcount(documents), sys.getrefcount(item), sys.getrefcount(flag)) == counts


# ------------------------------------------------ mutation and threads


class SelfClearingSequence(Sequence):
    """Empties its own storage while being read."""

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        item = self.items[index]
        self.items.clear()
        self.items.extend([INVALID_DOCUMENT] * 3)
        del item
        return self.items[index] if index < len(self.items) else VALID_DOCUMENT


def test_sequence_mutated_by_its_own_getitem(kx):
    with pytest.raises(RuntimeError, match=r"^scoring_graph\[0\]"):
        kx.build_graph(SelfClearingSequence([StrSubclass(VALID_DOCUMENT)]))


def test_list_mutated_by_other_threads(kx, valid_documents, baseline):
    shared = [VALID_DOCUMENT] * 4
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            shared.append(StrSubclass(VALID_DOCUMENT))
            shared.pop(0)
            if len(shared) > 8:
                del shared[:4]
            shared.insert(0, VALID_DOCUMENT)

    mutators = [threading.Thread(target=mutate) for _ in range(2)]
    for thread in mutators:
        thread.start()
    try:
        for _ in range(50):
            result = kx.build_graph(shared, True, True)
            # Repetitions of one document merge into the same graph.
            assert result == baseline
    finally:
        stop.set()
        for thread in mutators:
            thread.join()


def test_concurrent_calls_share_nothing(kx, valid_documents, baseline):
    results = []
    errors = []

    def work():
        try:
            for _ in range(10):
                results.append(kx.build_graph(valid_documents, True, True, lambda *a: None))
                try:
                    kx.build_graph([INVALID_DOCUMENT])
                except RuntimeError as error:
                    errors.append(str(error))
        except BaseException as error:  # surfaced below
            errors.append(repr(error))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 40 and all(r == baseline for r in results)
    assert len(errors) == 40 and all(e.startswith("scoring_graph[0]") for e in errors)
