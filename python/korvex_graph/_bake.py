"""bake() and index(): from files on disk to archive bytes.

An input path is one of
  - a compiled descriptor set (protoc --include_imports --descriptor_set_out),
    recognised by its content whatever its name (.pb, .binpb, .desc, ...);
  - a scoring-graph YAML document;
  - a folder of YAML documents (*.yaml, *.yml, at any depth), or a .tar.gz
    archive of them (recognised by its content too); the documents are taken
    in the order of their paths.
Inputs merge in the order given; a descriptor set gives one document per
file, in the set's own order. The native part does the reading, merging and
baking with the interpreter lock released.
"""

from __future__ import annotations

import gzip
import os
import pathlib
import tarfile
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, NamedTuple

from . import _native

if TYPE_CHECKING:
    from typing import TypeAlias

    from _typeshed import ReadableBuffer

    Path: TypeAlias = "str | os.PathLike[str]"

_YAML_SUFFIXES = (".yaml", ".yml")
_GZIP_MAGIC = b"\x1f\x8b"


class _Outputs(NamedTuple):
    archive: bytes
    """The baked graph archive: open it with Graph.open, or write it out."""
    yaml: str | None
    """The minimised graph as YAML, when asked for."""
    initial_yaml: str | None
    """The graph before minimisation as YAML, when asked for."""


class Baked(_Outputs):
    """What bake() returns: the triple build_graph returns, (archive, yaml,
    initial_yaml), so that code written for one takes the other; and, as
    attributes only, the counts a summary reports."""

    documents: int
    """Documents merged: one per YAML document and per file of each set."""
    messages: int
    """Distinct message names among them."""
    states: int
    """States of the automaton before minimisation (len(Graph.nodes) after)."""


def _baked(archive: bytes, yaml: str | None, initial_yaml: str | None, documents: int, messages: int,
           states: int) -> Baked:
    baked = Baked(archive, yaml, initial_yaml)
    baked.documents, baked.messages, baked.states = documents, messages, states
    return baked


class Input(NamedTuple):
    """One document or descriptor set, read: its name for messages (a path,
    or "archive.tar.gz:member"), and its text (YAML) or bytes (a set)."""

    name: str
    data: str | bytes


def looks_like_descriptor_set(data: bytes) -> bool:
    """Whether `data` is, at its top level, a FileDescriptorSet: nothing but
    length-delimited entries of field 1 (the files), one after another up to
    the last byte. YAML text can begin with the same byte, a line feed, but
    practically never chains such entries to its exact end."""
    pos, end = 0, len(data)
    if end == 0:
        return False
    while pos < end:
        if data[pos] != 0x0A:  # field 1, length-delimited
            return False
        pos += 1
        size, shift = 0, 0
        while True:
            if pos >= end or shift > 28:
                return False
            byte = data[pos]
            pos += 1
            size |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        pos += size
    return pos == end


def _is_text(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return b"\0" not in data


def _yaml_in_tar(path: str, data: bytes) -> list[Input]:
    import io

    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
            members = sorted((m for m in tar.getmembers() if m.isfile() and m.name.endswith(_YAML_SUFFIXES)),
                             key=lambda m: m.name)
            documents = []
            for member in members:
                extracted = tar.extractfile(member)
                assert extracted is not None  # a regular file
                documents.append((member.name, extracted.read()))
    except (tarfile.TarError, gzip.BadGzipFile, EOFError, OSError) as error:
        raise ValueError(f"{path}: not a readable .tar.gz archive ({error})") from None
    if not documents:
        raise ValueError(f"{path}: no YAML documents (*.yaml, *.yml) in this archive")
    return [_yaml_input(f"{path}:{name}", text) for name, text in documents]


def _yaml_input(name: str, data: bytes) -> Input:
    try:
        return Input(name, data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ValueError(f"{name}: not UTF-8 text at byte {error.start}") from None


def read_inputs(paths: Path | Iterable[Path]) -> list[Input]:
    """Every document and descriptor set under `paths`, in merge order.

    Raises OSError for a path that cannot be read, ValueError (naming the
    path) for one that is none of the accepted kinds.
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    inputs: list[Input] = []
    for given in paths:
        path = os.fspath(given)
        if os.path.isdir(path):
            found = sorted(
                (p for p in pathlib.Path(path).rglob("*") if p.suffix in _YAML_SUFFIXES and p.is_file()),
                key=lambda p: p.relative_to(path).as_posix().encode(),
            )
            if not found:
                raise ValueError(f"{path}: no YAML documents (*.yaml, *.yml) in this folder")
            inputs.extend(_yaml_input(str(p), p.read_bytes()) for p in found)
            continue
        with open(path, "rb") as file:
            data = file.read()
        if not data:
            raise ValueError(f"{path}: empty file")
        if looks_like_descriptor_set(data):
            inputs.append(Input(path, data))
        elif data.startswith(_GZIP_MAGIC):
            inputs.extend(_yaml_in_tar(path, data))
        elif _is_text(data):
            inputs.append(Input(path, data.decode("utf-8")))
        else:
            # Binary, but not a whole set: most likely a damaged one, which
            # the reader refuses naming the byte offset of the fault.
            inputs.append(Input(path, data))
    return inputs


def bake_inputs(
    inputs: list[Input],
    *,
    yaml: bool = False,
    initial_yaml: bool = False,
    progress: Callable[[int, int], object] | None = None,
) -> Baked:
    """bake() over inputs already read. A RuntimeError that belongs to one
    input carries its name as `input_name` and in a note."""
    try:
        result = _native.bake([i.data for i in inputs], bool(yaml), bool(initial_yaml), progress)
    except RuntimeError as error:
        position = getattr(error, "input_index", None)
        if isinstance(position, int) and 0 <= position < len(inputs):
            error.input_name = inputs[position].name  # type: ignore[attr-defined]
            error.add_note(f"while reading {inputs[position].name}")
        raise
    return _baked(*result)


def bake(
    inputs: Path | Iterable[Path],
    *,
    yaml: bool = False,
    initial_yaml: bool = False,
    progress: Callable[[int, int], object] | None = None,
) -> Baked:
    """Bake scoring-graph documents and descriptor sets into a graph archive.

    `inputs` is a path or several: compiled descriptor sets (recognised by
    their content), YAML documents, folders or .tar.gz archives of YAML
    documents (taken in path order). They merge in the order given, a set
    giving one document per file in the set's order; the first definition
    of a message wins. For a descriptor set the archive is byte for byte
    what build_graph gives for tools/descriptors_to_scoring_graphs.py's
    documents of the set, in the set's file order.

    `yaml` and `initial_yaml` ask for the YAML dumps of the graph after and
    before minimisation; `progress(done, total)` is called while minimising
    (what it raises is ignored, except KeyboardInterrupt: Ctrl-C then
    raises once the build, which cannot stop midway, is over). Warnings go
    to standard error as they arise.

    Raises OSError for an unreadable path, ValueError for a file of none of
    the accepted kinds, RuntimeError with the message of the failing stage
    (a note and the attribute input_name name the input it came from).
    """
    return bake_inputs(read_inputs(inputs), yaml=yaml, initial_yaml=initial_yaml, progress=progress)


def read_descriptor_set(path: Path) -> bytes:
    """The bytes of the descriptor set at `path`; ValueError naming the path
    for an empty file or a text file, which are surely not sets."""
    with open(path, "rb") as file:
        data = file.read()
    name = os.fspath(path)
    if not data:
        raise ValueError(f"{name}: empty file, not a descriptor set")
    if not looks_like_descriptor_set(data) and _is_text(data):
        raise ValueError(f"{name}: not a descriptor set (it is text; protoc --descriptor_set_out writes one)")
    return data


def index(descriptor_set: Path | ReadableBuffer) -> bytes:
    """The index archive of a compiled descriptor set, given as a path or as
    its bytes: which file defines each type and extension, where each file's
    bytes lie in the set, what each file imports (open it with Index.open).

    Raises OSError for an unreadable path, ValueError for a path that holds
    nothing or text, RuntimeError naming the byte offset of a fault.
    """
    if isinstance(descriptor_set, (str, os.PathLike)):
        descriptor_set = read_descriptor_set(descriptor_set)
    return _native.index(descriptor_set)
