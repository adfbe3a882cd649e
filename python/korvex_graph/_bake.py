"""bake(), index() and convert(): from files on disk to archives and documents.

An input path is one of
  - a compiled descriptor set (protoc --include_imports --descriptor_set_out),
    recognised by its content whatever its name (.pb, .binpb, .desc, ...),
    or such a set compressed with gzip (.pb.gz, recognised alike);
  - a .proto file, compiled with protoc (--include_imports always, the
    proto_path folders as its -I); .proto files given one after another are
    compiled together, into one set;
  - a scoring-graph YAML document;
  - a folder of YAML documents (*.yaml, *.yml, at any depth), or a .tar.gz
    archive of them (recognised by its content too); the documents are taken
    in the order of their paths.
Inputs merge in the order given; a descriptor set gives one document per
file, in the set's own order. All the sets are read as one: a set given
twice, or a file in two sets with the same bytes, is read once, and a name
defined in several files is read as each file sees it. Every input is read
with a bound (see _limits). The native part does the reading, merging and
baking with the interpreter lock released.
"""

from __future__ import annotations

import io
import os
import stat
import sys
import zlib
from collections.abc import Callable, Iterable, Sequence
from typing import IO, TYPE_CHECKING, BinaryIO, NamedTuple, cast

from . import _native
from ._limits import (
    DEFAULT_MAX_INPUT_SIZE,
    MAX_SET_SIZE,
    TooLarge,
    check_limit,
    describe_size,
    over_limit,
    read_bounded,
)
from ._wire import TOO_LONG, TRUNCATED, read_varint

if TYPE_CHECKING:
    from typing import TypeAlias

    from _typeshed import ReadableBuffer

    Path: TypeAlias = "str | os.PathLike[str]"

_YAML_SUFFIXES = (".yaml", ".yml")
# tarfile's block: the most a member header reads at once. tarfile, gzip,
# pathlib and the protoc helpers are imported where they serve, not at
# start-up: the command starts sooner and a Ctrl-C while it does meets
# less of Python's own import machinery.
_TAR_BLOCK = 512
_GZIP_MAGIC = b"\x1f\x8b"
_SET_START = b"\n"  # a set's first byte: the tag of its first file
# How much of a regular file past the limit is read to see whether it can
# begin a set before the rest is read.
_SET_PROBE = 1 << 20
_NOT_A_SET = "not a descriptor set (it is text; protoc --descriptor_set_out writes one)"


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


class SetInput(NamedTuple):
    """One descriptor set, read: its name for messages (a path, or "" for
    bytes given as they are), and its bytes."""

    name: str
    data: bytes


def looks_like_descriptor_set(data: bytes, *, prefix: bool = False) -> bool:
    """Whether `data` is, at its top level, a FileDescriptorSet: nothing but
    length-delimited entries of field 1 (the files), one after another up to
    the last byte (with `prefix`, the last entry may run past it: the start
    of a set). YAML text can begin with the same byte, a line feed, but
    practically never chains such entries to its exact end."""
    pos, end = 0, len(data)
    if end == 0:
        return False
    while pos < end:
        if data[pos] != 0x0A:  # field 1, length-delimited
            return False
        size, pos = read_varint(data, pos + 1, end, max_bytes=5)
        if size == TRUNCATED:
            return prefix
        if size == TOO_LONG:
            return False
        pos += size
    return pos == end or prefix


def _is_text(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return b"\0" not in data


def _yaml_input(name: str, data: bytes) -> Input:
    try:
        return Input(name, data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ValueError(f"{name}: not UTF-8 text at byte {error.start}") from None


# ------------------------------------------------------------------ reading


class _Rewound(io.RawIOBase):
    """A file whose first bytes were already read, from its start again; at
    most `bound` bytes of it in all, when it is not a regular file."""

    def __init__(self, name: str, head: bytes, file: BinaryIO, bound: int | None) -> None:
        self.name, self.head, self.file, self.bound = name, head, file, bound
        self.left = None if bound is None else bound - len(head)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: bytearray | memoryview) -> int:  # type: ignore[override]
        if self.head:
            n = min(len(buffer), len(self.head))
            buffer[:n], self.head = self.head[:n], self.head[n:]
            return n
        want = len(buffer) if self.left is None else min(len(buffer), max(self.left, 0) + 1)
        data = self.file.read(want)
        if self.left is not None:
            if len(data) > self.left:
                raise ValueError(over_limit(self.name, self.bound or 0))
            self.left -= len(data)
        buffer[: len(data)] = data
        return len(data)


class _Members(io.RawIOBase):
    """The decompressed bytes of a .tar.gz as tarfile reads them: forward
    only, at most `total` bytes in all and `limit` (plus a header block) in
    one read, so that neither a member nor a header can grow past its
    bound. Seeking past the total is refused before anything more is
    decompressed."""

    def __init__(self, source: BinaryIO, name: str, limit: int) -> None:
        self.source, self.name, self.limit, self.total = source, name, limit, 4 * limit
        self.position = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self.position

    def _past_total(self) -> ValueError:
        return ValueError(f"{self.name}: larger than {describe_size(self.total)} decompressed "
                          f"(4 times the limit; --max-input-size raises it)")

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        target = offset if whence == os.SEEK_SET else self.position + offset
        if whence not in (os.SEEK_SET, os.SEEK_CUR) or target < self.position:
            raise io.UnsupportedOperation("a .tar.gz is read forward only")
        if target > self.total:
            raise self._past_total()
        while self.position < target:
            skipped = len(self.source.read(min(target - self.position, 1 << 20)))
            if skipped == 0:
                break
            self.position += skipped
        return self.position

    def read(self, size: int | None = -1) -> bytes:
        if size is None or size < 0 or size > self.limit + _TAR_BLOCK:
            raise ValueError(over_limit(self.name, self.limit, "a member header: "))
        data = self.source.read(min(size, self.total + 1 - self.position))
        self.position += len(data)
        if self.position > self.total:
            raise self._past_total()
        return data


def _unreadable(name: str, what: str, error: BaseException) -> ValueError:
    return ValueError(f"{name}: not a readable {what} ({error})")


def _yaml_in_tar(name: str, source: BinaryIO, limit: int) -> list[Input]:
    """The YAML members of a .tar.gz decompressed from `source`, read in one
    pass, then ordered by name."""
    import tarfile

    documents: list[tuple[str, bytes]] = []
    with tarfile.open(fileobj=cast(IO[bytes], _Members(source, name, limit)), mode="r:") as tar:
        while (member := tar.next()) is not None:
            if member.size > limit:
                raise ValueError(over_limit(name, limit, f"member '{member.name}': "))
            if member.isfile() and member.name.endswith(_YAML_SUFFIXES):
                extracted = tar.extractfile(member)
                assert extracted is not None  # a regular file
                documents.append((member.name, extracted.read()))
    if not documents:
        raise ValueError(f"{name}: no YAML documents (*.yaml, *.yml) in this archive")
    documents.sort(key=lambda d: d[0])
    return [_yaml_input(f"{name}:{member}", data) for member, data in documents]


def _read_gzip(name: str, compressed: BinaryIO, limit: int, sets_only: bool) -> list[Input]:
    """A .pb.gz (when the first byte decompressed is a set's) or a .tar.gz
    of YAML documents."""
    import gzip
    import tarfile

    source = gzip.GzipFile(fileobj=compressed, mode="rb")
    what = ".gz file"
    try:
        if source.peek(1)[:1] != _SET_START:
            if sets_only:
                raise ValueError(f"{name}: compressed, but not a descriptor set")
            what = ".tar.gz archive"
            return _yaml_in_tar(name, source, limit)  # type: ignore[arg-type]
        try:
            data = read_bounded(source, MAX_SET_SIZE)  # type: ignore[arg-type]
        except TooLarge:
            raise ValueError(f"{name}: larger than 2 GiB decompressed, more than a descriptor set can hold") from None
    except (tarfile.TarError, EOFError, zlib.error, io.UnsupportedOperation) as error:
        raise _unreadable(name, what, error) from None
    except OSError as error:  # gzip.BadGzipFile and the like, not the file system's
        if error.errno is not None:
            raise
        raise _unreadable(name, what, error) from None
    if not looks_like_descriptor_set(data):
        raise ValueError(f"{name}: compressed, but neither a descriptor set nor a .tar.gz archive of YAML documents")
    return [Input(name, data)]


def _read_plain(name: str, file: BinaryIO, head: bytes, regular: bool, size: int, limit: int) -> bytes:
    """The rest of an uncompressed file after its first bytes: up to the
    limit, or up to 2 GiB for a regular file that begins as a set does."""
    if not regular:
        try:
            data = head + read_bounded(file, max(limit - len(head), 0))
        except TooLarge:
            raise ValueError(over_limit(name, limit)) from None
        if len(data) > limit:  # the first bytes alone were past it
            raise ValueError(over_limit(name, limit))
        return data
    may_be_set = head.startswith(_SET_START)
    set_too_large = f"{name}: larger than 2 GiB, more than a descriptor set can hold"
    if size > limit and not (may_be_set and size <= MAX_SET_SIZE):
        raise ValueError(set_too_large if may_be_set and limit <= MAX_SET_SIZE else over_limit(name, limit))
    if size > limit:
        # Only a set may be larger than the limit: a file whose first bytes
        # cannot begin one is refused before the rest is read.
        head += _read_head(file, min(size, limit, _SET_PROBE) - len(head))
        if not looks_like_descriptor_set(head, prefix=True):
            raise ValueError(over_limit(name, limit))
    try:
        return head + read_bounded(file, max(limit - len(head), 0), size + 1 - len(head))
    except TooLarge as over:
        # Past the limit of a document: only a set may be larger.
        data = head + over.data
        if not (may_be_set and looks_like_descriptor_set(data, prefix=True)):
            raise ValueError(over_limit(name, limit)) from None
        if len(data) > MAX_SET_SIZE:
            raise ValueError(set_too_large) from None
    try:
        return data + read_bounded(file, MAX_SET_SIZE - len(data), size + 1 - len(data))
    except TooLarge:
        raise ValueError(set_too_large) from None


def _read_head(file: BinaryIO, size: int) -> bytes:
    """The first `size` bytes, fewer only at the end of the file."""
    data = b""
    while len(data) < size:
        chunk = file.read(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


def _read_file(path: str, limit: int, sets_only: bool = False) -> list[Input]:
    """The inputs of one file: a set, a document, or the documents of an
    archive."""
    with open(path, "rb", buffering=0) as file:
        info = os.fstat(file.fileno())
        regular = stat.S_ISREG(info.st_mode)
        head = _read_head(file, 2)
        if head == _GZIP_MAGIC:
            rewound = _Rewound(path, head, file, None if regular else limit)
            return _read_gzip(path, io.BufferedReader(rewound), limit, sets_only)
        data = _read_plain(path, file, head, regular, info.st_size, limit)
    if not data:
        raise ValueError(f"{path}: empty file" + (", not a descriptor set" if sets_only else ""))
    if looks_like_descriptor_set(data):
        return [Input(path, data)]
    if _is_text(data):
        if sets_only:
            raise ValueError(f"{path}: {_NOT_A_SET}")
        if len(data) > limit:
            raise ValueError(over_limit(path, limit))
        return [Input(path, data.decode("utf-8"))]
    # Binary, but not a whole set: most likely a damaged one, which the
    # reader refuses naming the byte offset of the fault.
    return [Input(path, data)]


def _read_folder(path: str, limit: int) -> list[Input]:
    import pathlib

    found = sorted(
        (p for p in pathlib.Path(path).rglob("*") if p.suffix in _YAML_SUFFIXES and p.is_file()),
        key=lambda p: p.relative_to(path).as_posix().encode(),
    )
    if not found:
        raise ValueError(f"{path}: no YAML documents (*.yaml, *.yml) in this folder")
    documents = []
    for p in found:
        for i in _read_file(str(p), limit):
            documents.append(i if isinstance(i.data, str) else _yaml_input(i.name, i.data))
    return documents


def _compile(protos: list[str], proto_path: list[str]) -> Input:
    """The set protoc compiles from .proto files, with their imports."""
    import shutil
    import subprocess
    import tempfile

    more = len(protos) - 1
    name = protos[0] + (f" and {more} more .proto file{'s' if more > 1 else ''}" if more else "")
    protoc = shutil.which("protoc")
    if protoc is None:
        raise ValueError(f"{protos[0]}: compiling .proto files needs protoc, which is not on the PATH "
                         "(on Debian: apt-get install protobuf-compiler)")
    for proto in protos:
        # protoc reads a file whole, without a bound: a pipe or a device is
        # not for it (a path that is no file here may be one under -I)
        if os.path.exists(proto) and not os.path.isfile(proto):
            raise ValueError(f"{proto}: not a regular file, which protoc would read without a bound")
    with tempfile.TemporaryDirectory(prefix="korvex-graph-") as folder:
        out = os.path.join(folder, "set.pb")
        command = [protoc, "--include_imports", f"--descriptor_set_out={out}",
                   *(f"--proto_path={p}" for p in proto_path),
                   *(f"./{p}" if p.startswith("-") else p for p in protos)]
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, check=False)
        said = [line.strip() for line in done.stderr.decode("utf-8", "replace").splitlines() if line.strip()]
        if done.returncode != 0:
            shown = "; ".join(said[:3]) + (f" (and {len(said) - 3} more lines)" if len(said) > 3 else "")
            raise ValueError(f"{name}: protoc failed: " + (shown or f"exit status {done.returncode}"))
        for line in said:  # its warnings
            print(f"protoc: {line}", file=sys.stderr, flush=True)
        with open(out, "rb") as file:
            try:
                return Input(name, read_bounded(file, MAX_SET_SIZE, os.fstat(file.fileno()).st_size + 1))
            except TooLarge:
                raise ValueError(f"{name}: larger than 2 GiB, more than a descriptor set can hold") from None


def _paths(paths: Path | Iterable[Path]) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        return [os.fspath(paths)]
    # A snapshot: another thread may change the caller's list meanwhile.
    return [os.fspath(p) for p in tuple(paths)]


def _distinct(inputs: list[Input]) -> list[Input]:
    """The inputs without a set whose bytes an earlier one has already."""
    seen: set[bytes] = set()
    out = []
    for i in inputs:
        if isinstance(i.data, bytes):
            if i.data in seen:
                continue
            seen.add(i.data)
        out.append(i)
    return out


def read_inputs(
    paths: Path | Iterable[Path],
    *,
    proto_path: Path | Iterable[Path] = (),
    max_input_size: int = DEFAULT_MAX_INPUT_SIZE,
    sets_only: bool = False,
) -> list[Input]:
    """Every document and descriptor set under `paths`, in merge order; a
    set whose bytes an earlier one has already is left out. With
    `sets_only`, anything else is refused.

    Raises OSError for a path that cannot be read, ValueError (naming the
    path) for one that is none of the accepted kinds or passes its bound.
    """
    limit = check_limit(max_input_size)
    includes = _paths(proto_path)
    inputs: list[Input] = []
    protos: list[str] = []
    for path in _paths(paths):
        if path.endswith(".proto") and not os.path.isdir(path):
            protos.append(path)
            continue
        if protos:
            inputs.append(_compile(protos, includes))
            protos = []
        if os.path.isdir(path) and not sets_only:
            inputs.extend(_read_folder(path, limit))
        else:
            inputs.extend(_read_file(path, limit, sets_only))
    if protos:
        inputs.append(_compile(protos, includes))
    return _distinct(inputs)


def _is_buffer(value: object) -> bool:
    try:
        memoryview(value)  # type: ignore[arg-type]
    except TypeError:
        return False
    return True


def read_sets(
    sets: Path | ReadableBuffer | Iterable[Path | ReadableBuffer],
    *,
    proto_path: Path | Iterable[Path] = (),
    max_input_size: int = DEFAULT_MAX_INPUT_SIZE,
) -> list[SetInput]:
    """The descriptor sets given as paths (of sets, .pb.gz or .proto files)
    or as their bytes, in order; a set whose bytes an earlier one has
    already is left out. ValueError naming the path for a file that is
    surely no set (empty, text, an archive of documents)."""
    one = isinstance(sets, (str, os.PathLike)) or _is_buffer(sets)
    given = [cast("Path | ReadableBuffer", sets)] if one else list(cast("Iterable[Path | ReadableBuffer]", sets))
    out: list[Input] = []
    paths: list[str] = []  # a run of paths, read together

    def flush() -> None:
        if paths:
            out.extend(read_inputs(paths, proto_path=proto_path, max_input_size=max_input_size, sets_only=True))
            paths.clear()

    for item in given:
        if isinstance(item, (str, os.PathLike)):
            paths.append(os.fspath(item))
            continue
        flush()
        out.append(Input("", item if isinstance(item, bytes) else bytes(item)))
    flush()
    return [SetInput(i.name, i.data) for i in _distinct(out) if isinstance(i.data, bytes)]


def _with_input_name(error: RuntimeError, inputs: Sequence[Input | SetInput]) -> None:
    """Names the input a native failure belongs to, when it belongs to one
    that has a name: as the attribute input_name and in a note."""
    position = getattr(error, "input_index", None)
    if isinstance(position, int) and 0 <= position < len(inputs) and inputs[position].name:
        error.input_name = inputs[position].name  # type: ignore[attr-defined]
        error.add_note(f"while reading {inputs[position].name}")


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
        _with_input_name(error, inputs)
        raise
    return _baked(*result)


def bake(
    inputs: Path | Iterable[Path],
    *,
    yaml: bool = False,
    initial_yaml: bool = False,
    progress: Callable[[int, int], object] | None = None,
    proto_path: Path | Iterable[Path] = (),
    max_input_size: int = DEFAULT_MAX_INPUT_SIZE,
) -> Baked:
    """Bake scoring-graph documents and descriptor sets into a graph archive.

    `inputs` is a path or several: compiled descriptor sets (recognised by
    their content, also gzipped), .proto files (compiled with protoc, with
    `proto_path` as its -I folders), YAML documents, folders or .tar.gz
    archives of YAML documents (taken in path order). They merge in the
    order given, a set giving one document per file in the set's order; the
    first definition of a message wins. For descriptor sets the archive is
    byte for byte what build_graph gives for the converter's documents of
    the sets laid end to end (convert() gives them), in file order.

    `yaml` and `initial_yaml` ask for the YAML dumps of the graph after and
    before minimisation; `progress(done, total)` is called while minimising
    (what it raises is ignored, except KeyboardInterrupt: Ctrl-C then
    raises once the build, which cannot stop midway, is over). Warnings go
    to standard error as they arise. `max_input_size` bounds each YAML
    document, .tar.gz member and input that is not a regular file (see
    the package's README); a set may hold up to 2 GiB.

    Raises OSError for an unreadable path, ValueError for a file of none of
    the accepted kinds or past its bound, RuntimeError with the message of
    the failing stage (a note and the attribute input_name name the input
    it came from).
    """
    read = read_inputs(inputs, proto_path=proto_path, max_input_size=max_input_size)
    return bake_inputs(read, yaml=yaml, initial_yaml=initial_yaml, progress=progress)


def index(
    descriptor_sets: Path | ReadableBuffer | Iterable[Path | ReadableBuffer],
    *,
    proto_path: Path | Iterable[Path] = (),
    max_input_size: int = DEFAULT_MAX_INPUT_SIZE,
) -> bytes:
    """The index archive of compiled descriptor sets, given as paths (also
    .pb.gz and .proto files) or as their bytes, one or several read as one:
    which file defines each type and extension (the first file, where
    several do: each name defined again is warned about on standard error),
    where each file's bytes lie in the sets laid end to end, what each file
    imports (open it with Index.open).

    Raises OSError for an unreadable path, ValueError for a path that holds
    nothing, text or too much, RuntimeError naming the byte offset of a
    fault (a note and the attribute input_name name the path it came from).
    """
    return index_sets(read_sets(descriptor_sets, proto_path=proto_path, max_input_size=max_input_size))


def index_sets(sets: list[SetInput]) -> bytes:
    """index() over sets already read."""
    try:
        return _native.index([i.data for i in sets])
    except RuntimeError as error:
        _with_input_name(error, sets)
        raise


def convert(
    descriptor_sets: Path | ReadableBuffer | Iterable[Path | ReadableBuffer],
    *,
    proto_path: Path | Iterable[Path] = (),
    max_input_size: int = DEFAULT_MAX_INPUT_SIZE,
) -> dict[str, str]:
    """The scoring-graph YAML document of every .proto file of the sets
    (given as index() takes them), by file name ("a/b.proto" ->
    "a__b.proto.yaml"), in the sets' file order: byte for byte what
    tools/descriptors_to_scoring_graphs.py writes for the sets laid end to
    end, and what bake() reads them as. Raises as index() does."""
    return convert_sets(read_sets(descriptor_sets, proto_path=proto_path, max_input_size=max_input_size))


def convert_sets(sets: list[SetInput]) -> dict[str, str]:
    """convert() over sets already read."""
    try:
        return dict(_native.convert([i.data for i in sets]))
    except RuntimeError as error:
        _with_input_name(error, sets)
        raise
