"""build_fds_index: binding, conversions, archive bytes and hostile input.

Covers the documentation string, argument binding, every accepted and
refused value of the four dictionaries (with the note naming the argument),
the exact archive of the empty and of a single-entry index, canonical order
(insertion order and hash seed have no effect), dictionaries mutated while
they are converted, and duplicate keys that only appear after conversion.
"""

import collections
import inspect
import os
import subprocess
import sys
import sysconfig
import types

import pytest

from conftest import numpy_cases

DOC_LINES = [
    "Serialize an FdsIndex to rkyv bytes with the VELDRANE header (version 4).",
    "",
    "Parameters",
    "----------",
    "type_to_file : dict[str, str]",
    "    Fully-qualified type name (no leading dot) → proto file name.",
    "file_to_span : dict[str, tuple[int, int]]",
    "    Proto file name → (start, end) byte offsets in the raw .pb file.",
    "dep_graph : dict[str, list[str]]",
    "    Proto file name → list of direct import file names.",
    "ext_to_file : dict[str, str]",
    '    "extendee_fqdn/field_number" → proto file name (spec 0100 §4).',
    "",
    "Returns",
    "-------",
    "bytes",
    "    Serialized ``index.rkyv`` content (VELDRANE header + rkyv payload).",
    "",
    "Raises",
    "------",
    "RuntimeError",
    "    If serialization fails.",
]

PARAMETERS = ["type_to_file", "file_to_span", "dep_graph", "ext_to_file"]

HEADER = b"VELDRANE" + (4).to_bytes(8, "little") + (24).to_bytes(8, "little")
EMPTY_MAP_RECORD = bytes.fromhex("01000000 00000000 00000000")

EMPTY_INDEX = HEADER + EMPTY_MAP_RECORD * 4

# type_to_file = {"a.B": "a.proto"}: key hash 0x4768EA2239422BE5, tag 0x23,
# bucket 1 of capacity 2.
SINGLE_ENTRY_INDEX = (
    HEADER
    + bytes.fromhex("612E42FF FFFFFFFF")  # bucket 1 key, inline
    + bytes.fromhex("612E7072 6F746FFF")  # bucket 1 value, inline
    + bytes(16)  # bucket 0, empty
    + bytes.fromhex("FF23FF23") + b"\xff" * 27  # 31 control bytes
    + b"\x00"  # padding to 4
    + bytes.fromhex("E0FFFFFF 01000000 02000000")  # type_to_file record
    + EMPTY_MAP_RECORD * 3
)


def notes_of(error):
    return getattr(error, "__notes__", [])


def note_for(name):
    return f"while converting argument '{name}'"


def index_args(**overrides):
    args = {name: {} for name in PARAMETERS}
    args.update(overrides)
    return args


# ------------------------------------------------------ docstring, binding


def test_text_signature(kx):
    assert kx.build_fds_index.__text_signature__ == "(type_to_file, file_to_span, dep_graph, ext_to_file)"
    parameters = inspect.signature(kx.build_fds_index).parameters
    assert [(p.name, p.kind, p.default) for p in parameters.values()] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for name in PARAMETERS
    ]


@pytest.mark.parametrize("index", range(len(DOC_LINES)))
def test_docstring_line(kx, index):
    assert kx.build_fds_index.__doc__.split("\n")[index] == DOC_LINES[index]


def test_docstring_whole(kx):
    assert kx.build_fds_index.__doc__ == "\n".join(DOC_LINES)


BINDING_ERRORS = [
    ((), {}, "build_fds_index() missing required argument 'type_to_file' (pos 1)"),
    (({}, {}), {}, "build_fds_index() missing required argument 'dep_graph' (pos 3)"),
    (({}, {}, {}), {}, "build_fds_index() missing required argument 'ext_to_file' (pos 4)"),
    (({}, {}, {}, {}, {}), {}, "build_fds_index() takes exactly 4 arguments (5 given)"),
    (({},), {"type_to_file": {}}, "build_fds_index() got multiple values for argument 'type_to_file'"),
    (({}, {}, {}, {}), {"dep_graph": {}}, "build_fds_index() got multiple values for argument 'dep_graph'"),
    (({}, {}, {}, {}), {"index": {}}, "build_fds_index() got an unexpected keyword argument 'index'"),
    # Refused before any conversion: the bad dictionaries are never looked at.
    (([], 1, "x"), {"typo": {}}, "build_fds_index() got an unexpected keyword argument 'typo'"),
    (([], 1, "x"), {}, "build_fds_index() missing required argument 'ext_to_file' (pos 4)"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(kx, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        kx.build_fds_index(*args, **kwargs)
    assert str(caught.value) == message
    assert notes_of(caught.value) == []


def test_keywords_in_any_order(kx):
    entries = {"type_to_file": {"a.B": "a.proto"}, "file_to_span": {"a.proto": (0, 9)}}
    positional = kx.build_fds_index(*index_args(**entries).values())
    shuffled = dict(reversed(list(index_args(**entries).items())))
    assert kx.build_fds_index(**shuffled) == positional
    assert kx.build_fds_index(entries["type_to_file"], entries["file_to_span"], ext_to_file={}, dep_graph={}) == (
        positional
    )


# ----------------------------------------------------------- archives


def test_empty_index_is_72_bytes(kx):
    archive = kx.build_fds_index({}, {}, {}, {})
    assert type(archive) is bytes
    assert archive == EMPTY_INDEX
    assert len(archive) == 72


def test_single_entry_index(kx):
    archive = kx.build_fds_index({"a.B": "a.proto"}, {}, {}, {})
    assert len(archive) == 136
    assert archive == SINGLE_ENTRY_INDEX


def test_result_is_a_new_object_each_call(kx):
    first = kx.build_fds_index({}, {}, {}, {})
    second = kx.build_fds_index({}, {}, {}, {})
    assert first == second and first is not second


SAMPLE = {
    "type_to_file": {f"pkg.M{i}": f"pkg/file{i % 7}.proto" for i in range(40)},
    "file_to_span": {f"pkg/file{i}.proto": (i * 1000, i * 1000 + 999) for i in range(7)},
    "dep_graph": {f"pkg/file{i}.proto": [f"pkg/file{j}.proto" for j in range(i)] for i in range(7)},
    "ext_to_file": {f"pkg.M{i}/{100 + i}": "pkg/ext.proto" for i in range(20)},
}


def reordered(mapping):
    return dict(reversed(list(mapping.items())))


def test_insertion_order_has_no_effect(kx):
    forward = kx.build_fds_index(*SAMPLE.values())
    backward = kx.build_fds_index(*(reordered(m) for m in SAMPLE.values()))
    assert forward == backward
    assert forward[:24] == HEADER


def test_equal_bytes_across_hash_seeds(kx):
    # The set below iterates in a seed-dependent order, so each process
    # inserts the same entries in a different order.
    script = (
        "import korvex_graph_lib as k\n"
        "names = {f'pkg.Message{i}' for i in range(64)}\n"
        "order = list(names)\n"
        "archive = k.build_fds_index({n: n + '.proto' for n in order},\n"
        "    {n + '.proto': (len(n), 2 * len(n)) for n in order},\n"
        "    {n + '.proto': sorted(names)[:3] for n in order}, {n + '/1': 'e.proto' for n in order})\n"
        "print(','.join(order[:5]))\n"
        "print(archive.hex())\n"
    )
    module_dir = os.path.dirname(os.path.abspath(kx.__file__))
    outputs = []
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        outputs.append(run.stdout.splitlines())
    assert outputs[0][0] != outputs[1][0], "the seeds should give different insertion orders"
    assert outputs[0][1] == outputs[1][1]


# -------------------------------------------------- accepted conversions

Span = collections.namedtuple("Span", "start end")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class DictSubclass(dict):
    def __iter__(self):  # never consulted: entries are read directly
        raise AssertionError("dict subclass iterated through __iter__")


class StrSubclass(str):
    pass


class Names:
    """A sequence that is neither list nor tuple."""

    def __init__(self, *names):
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, index):
        return self.names[index]


class LyingLength(Names):
    def __len__(self):
        return sys.maxsize


EQUIVALENT_INPUTS = [
    (
        "dict subclasses",
        index_args(type_to_file={"a.B": "a.proto"}, file_to_span={"a.proto": (1, 2)}),
        dict(
            type_to_file=DictSubclass({"a.B": "a.proto"}),
            file_to_span=collections.OrderedDict({"a.proto": (1, 2)}),
            dep_graph=collections.defaultdict(list),
            ext_to_file=DictSubclass(),
        ),
    ),
    (
        "str subclasses",
        index_args(type_to_file={"a.B": "a.proto"}, dep_graph={"a.proto": ["b.proto"]}),
        index_args(
            type_to_file={StrSubclass("a.B"): StrSubclass("a.proto")},
            dep_graph={StrSubclass("a.proto"): [StrSubclass("b.proto")]},
        ),
    ),
    (
        "named tuple span",
        index_args(file_to_span={"a.proto": (3, 4)}),
        index_args(file_to_span={"a.proto": Span(3, 4)}),
    ),
    (
        "True counts as 1",
        index_args(file_to_span={"a.proto": (1, 0)}),
        index_args(file_to_span={"a.proto": (True, False)}),
    ),
    (
        "__index__ objects",
        index_args(file_to_span={"a.proto": (7, 2**64 - 1)}),
        index_args(file_to_span={"a.proto": (Index(7), Index(2**64 - 1))}),
    ),
    (
        "tuple and other sequences as import lists",
        index_args(dep_graph={"a.proto": ["b.proto", "c.proto"], "b.proto": []}),
        index_args(dep_graph={"a.proto": ("b.proto", "c.proto"), "b.proto": Names()}),
    ),
    (
        "a lying length only sizes the list",
        index_args(dep_graph={"a.proto": ["b.proto", "c.proto"]}),
        index_args(dep_graph={"a.proto": LyingLength("b.proto", "c.proto")}),
    ),
]


# numpy's integers: __index__ objects implemented in C.
NUMPY_EQUIVALENT_INPUTS = numpy_cases(lambda np: [
    pytest.param(
        index_args(file_to_span={"a.proto": (7, 2**64 - 1)}),
        index_args(file_to_span={"a.proto": (Index(7), np.uint64(2**64 - 1))}),
        id="numpy __index__ objects",
    ),
    pytest.param(
        index_args(file_to_span={"a.proto": (5, 6)}),
        index_args(file_to_span={"a.proto": (np.int8(5), np.int64(6))}),
        id="numpy integers",
    ),
], width=2)


@pytest.mark.parametrize(
    "plain, other", [pytest.param(*case[1:], id=case[0]) for case in EQUIVALENT_INPUTS] + NUMPY_EQUIVALENT_INPUTS
)
def test_equivalent_inputs(kx, plain, other):
    assert kx.build_fds_index(**other) == kx.build_fds_index(**plain)


DISTINCT_INPUTS = [
    ("leading dot kept", index_args(type_to_file={".a.B": "a.proto"}), index_args(type_to_file={"a.B": "a.proto"})),
    ("import order kept", index_args(dep_graph={"a": ["b", "c"]}), index_args(dep_graph={"a": ["c", "b"]})),
    ("repeated imports kept", index_args(dep_graph={"a": ["b", "b"]}), index_args(dep_graph={"a": ["b"]})),
    ("empty import list kept", index_args(dep_graph={"a": []}), index_args()),
    ("start and end kept apart", index_args(file_to_span={"a": (1, 2)}), index_args(file_to_span={"a": (2, 1)})),
    ("maps kept apart", index_args(type_to_file={"a": "b"}), index_args(ext_to_file={"a": "b"})),
    ("NUL bytes kept", index_args(type_to_file={"a\x00": "b"}), index_args(type_to_file={"a": "b"})),
]


@pytest.mark.parametrize("one, other", [case[1:] for case in DISTINCT_INPUTS], ids=[case[0] for case in DISTINCT_INPUTS])
def test_distinct_inputs(kx, one, other):
    assert kx.build_fds_index(**one) != kx.build_fds_index(**other)


def test_keys_stored_as_given(kx):
    archive = kx.build_fds_index(**index_args(type_to_file={".a.B": "a.proto"}))
    assert b".a.B\xff\xff\xff\xff" in archive


def test_non_ascii_strings_as_utf8(kx):
    archive = kx.build_fds_index(**index_args(type_to_file={"é.Ü": "∂.proto"}))
    assert "é.Ü".encode() in archive and "∂.proto".encode() in archive


def test_large_index(kx):
    # Many entries and a long import list: a correct, deterministic result.
    many = {f"pkg.M{i}": f"f{i}.proto" for i in range(20000)}
    imports = {"all.proto": [f"f{i}.proto" for i in range(50000)]}
    first = kx.build_fds_index(many, {}, imports, {})
    assert first == kx.build_fds_index(reordered(many), {}, imports, {})
    assert len(first) > 20000 * 16 + 50000 * 8


# --------------------------------------------------- refused conversions


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


class WrongIndex:
    def __index__(self):
        return "1"


class OtherMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class FailingNames(Names):
    def __getitem__(self, index):
        if index == 1:
            raise KeyError("import list broken")
        return super().__getitem__(index)


# (argument, value, exception type, exact message or None)
REFUSALS = [
    ("type_to_file", [], TypeError, "'list' object cannot be converted to 'dict'"),
    ("type_to_file", None, TypeError, None),
    ("type_to_file", OtherMapping({"a": "b"}), TypeError, None),
    ("type_to_file", types.MappingProxyType({"a": "b"}), TypeError, None),
    ("type_to_file", [("a", "b")], TypeError, None),
    ("type_to_file", {1: "a.proto"}, TypeError, "'int' object cannot be converted to 'str'"),
    ("type_to_file", {b"a": "a.proto"}, TypeError, None),
    ("type_to_file", {"a": 1}, TypeError, "'int' object cannot be converted to 'str'"),
    ("type_to_file", {"a": None}, TypeError, None),
    ("type_to_file", {"a": ["a.proto"]}, TypeError, None),
    ("type_to_file", {"\ud800": "a.proto"}, UnicodeEncodeError, None),
    ("type_to_file", {"a": "\udfff"}, UnicodeEncodeError, None),
    ("file_to_span", {"a": [1, 2]}, TypeError, "'list' object cannot be converted to 'tuple'"),
    ("file_to_span", {"a": (1, 2, 3)}, ValueError, "expected a tuple of length 2, got length 3"),
    ("file_to_span", {"a": (1,)}, ValueError, "expected a tuple of length 2, got length 1"),
    ("file_to_span", {"a": ()}, ValueError, "expected a tuple of length 2, got length 0"),
    ("file_to_span", {"a": (BadIndex(), 1, 2)}, ValueError, "expected a tuple of length 2, got length 3"),
    ("file_to_span", {"a": (-1, 2)}, OverflowError, None),
    ("file_to_span", {"a": (0, -(2**70))}, OverflowError, None),
    ("file_to_span", {"a": (0, 2**64)}, OverflowError, None),
    ("file_to_span", {"a": (2**64, -1)}, OverflowError, None),
    ("file_to_span", {"a": (Index(-1), 0)}, OverflowError, None),
    ("file_to_span", {"a": (Index(2**200), 0)}, OverflowError, None),
    ("file_to_span", {"a": (1.0, 2)}, TypeError, None),
    ("file_to_span", {"a": ("1", 2)}, TypeError, None),
    ("file_to_span", {"a": (1, None)}, TypeError, None),
    ("file_to_span", {"a": (1, BadIndex())}, ZeroDivisionError, "no index"),
    ("file_to_span", {"a": (WrongIndex(), 1)}, TypeError, None),
    ("file_to_span", {"a": 5}, TypeError, None),
    ("file_to_span", {"a": "12"}, TypeError, None),
    ("file_to_span", {3: (1, 2)}, TypeError, None),
    ("dep_graph", {"a": "b.proto"}, TypeError, "Can't extract `str` to `Vec`"),
    ("dep_graph", {"a": StrSubclass("b.proto")}, TypeError, "Can't extract `str` to `Vec`"),
    ("dep_graph", {"a": {"b.proto"}}, TypeError, None),
    ("dep_graph", {"a": {"b.proto": 1}}, TypeError, None),
    ("dep_graph", {"a": (n for n in ["b.proto"])}, TypeError, None),
    ("dep_graph", {"a": 5}, TypeError, None),
    ("dep_graph", {"a": None}, TypeError, None),
    ("dep_graph", {"a": [1]}, TypeError, "'int' object cannot be converted to 'str'"),
    ("dep_graph", {"a": ["b", b"c"]}, TypeError, None),
    ("dep_graph", {"a": ["\ud800"]}, UnicodeEncodeError, None),
    ("dep_graph", {"a": b"b.proto"}, TypeError, None),
    ("dep_graph", {"a": FailingNames("b", "c")}, KeyError, "'import list broken'"),
    ("ext_to_file", {"M/1": 1}, TypeError, None),
    ("ext_to_file", ["M/1"], TypeError, None),
    ("ext_to_file", {("M", 1): "e.proto"}, TypeError, None),
]


@pytest.mark.parametrize(
    "name, value, error, message", REFUSALS, ids=[f"{case[0]}-{i}" for i, case in enumerate(REFUSALS)]
)
def test_refused(kx, name, value, error, message):
    with pytest.raises(error) as caught:
        kx.build_fds_index(**index_args(**{name: value}))
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert notes_of(caught.value) == [note_for(name)]


def test_first_failure_ends_the_call(kx):
    # ext_to_file would fail too, and dep_graph's values are never touched.
    touched = []

    class Watched(Names):
        def __getitem__(self, index):
            touched.append(index)
            return super().__getitem__(index)

    with pytest.raises(ValueError) as caught:
        kx.build_fds_index({"a": "b"}, {"a": (1, 2, 3)}, {"a": Watched("x")}, {"e": 1})
    assert notes_of(caught.value) == [note_for("file_to_span")]
    assert touched == []


def test_span_length_checked_before_items(kx):
    with pytest.raises(ValueError):
        kx.build_fds_index({}, {"a": (BadIndex(), BadIndex(), BadIndex())}, {}, {})


def test_start_converted_before_end(kx):
    with pytest.raises(OverflowError):
        kx.build_fds_index({}, {"a": (-1, BadIndex())}, {}, {})
    with pytest.raises(ZeroDivisionError):
        kx.build_fds_index({}, {"a": (BadIndex(), -1)}, {}, {})


# --------------------------------------------------------- hostile input


class CollidingKey(str):
    """Distinct dictionary keys that convert to the same UTF-8 bytes."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def test_duplicate_keys_after_conversion(kx):
    mapping = {CollidingKey("a.B"): "x.proto", "c.D": "c.proto", CollidingKey("a.B"): "y.proto"}
    assert len(mapping) == 3
    with pytest.raises(ValueError) as caught:
        kx.build_fds_index(mapping, {}, {}, {})
    assert str(caught.value) == "duplicate key 'a.B'"
    assert notes_of(caught.value) == [note_for("type_to_file")]

    spans = {CollidingKey("f"): (1, 2), CollidingKey("f"): (1, 2)}
    with pytest.raises(ValueError) as caught:
        kx.build_fds_index({}, spans, {}, {})
    assert notes_of(caught.value) == [note_for("file_to_span")]


class Mutating:
    """An __index__ (or sequence) that runs an action on the dictionary."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index > 0:
            raise IndexError(index)
        self.action()
        return "imported.proto"


def mutation_cases():
    cases = []

    def grows(d):
        return lambda: d.update({f"new{i}": (0, 0) for i in range(100)})

    def shrinks(d):
        return lambda: [d.pop(k) for k in list(d) if k != "a"]

    def clears(d):
        return d.clear

    for name, action in [("grows", grows), ("shrinks", shrinks), ("clears", clears)]:
        spans = {}
        spans.update({"z": (1, 2), "a": (Mutating(action(spans)), 5), "b": (3, 4), "c": (5, 6)})
        cases.append(pytest.param("file_to_span", spans, id=f"span item {name} the dict"))
        imports = {}
        imports.update({"z": [], "a": Mutating(action(imports)), "b": ["x"]})
        cases.append(pytest.param("dep_graph", imports, id=f"import list {name} the dict"))
    return cases


@pytest.mark.parametrize("name, value", mutation_cases())
def test_dict_resized_during_conversion(kx, name, value):
    with pytest.raises(RuntimeError) as caught:
        kx.build_fds_index(**index_args(**{name: value}))
    assert str(caught.value) == "dictionary changed size during iteration"
    assert notes_of(caught.value) == [note_for(name)]


def test_dict_rewritten_at_same_size(kx):
    # The entry being converted is removed and re-added: the walk meets the
    # key again, which must not produce a table holding it twice.
    spans = {}

    def rewrite():
        if "a" in spans:
            del spans["a"]
            spans["a"] = (9, 9)

    spans.update({"a": (Mutating(rewrite), 1), "b": (2, 3)})
    if sysconfig.get_config_var("Py_GIL_DISABLED"):  # the walk reads a copy taken as the call began
        assert kx.build_fds_index({}, spans, {}, {}) == kx.build_fds_index({}, {"a": (1, 1), "b": (2, 3)}, {}, {})
        return
    with pytest.raises(ValueError) as caught:
        kx.build_fds_index({}, spans, {}, {})
    assert str(caught.value) == "duplicate key 'a'"


def test_values_dropped_during_conversion_stay_alive(kx):
    # The tuple being read loses its last outside reference mid-conversion.
    spans = {}
    spans["a"] = (Mutating(lambda: spans.__setitem__("a", None), 4), 5)
    expected = kx.build_fds_index({}, {"a": (4, 5)}, {}, {})
    assert kx.build_fds_index({}, spans, {}, {}) == expected
    assert spans == {"a": None}

    # Texts of a dictionary already converted lose their last reference
    # when a later conversion clears it: each made at run time, so that
    # nothing else holds them, and long enough to be stored out of line.
    types = {"".join(["pkg.", "Type", str(i)]): "".join(["dir/file", str(i), ".proto"]) for i in range(50)}
    expected = kx.build_fds_index(dict(types), {"f": (4, 5)}, {}, {})
    spans = {"f": (Mutating(types.clear, 4), 5)}
    assert kx.build_fds_index(types, spans, {}, {}) == expected
    assert types == {}
