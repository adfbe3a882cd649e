"""Descriptor sets for the tests, and what other tools make of them.

Sets are compiled with Debian's protoc from the well-known types it ships
and from testdata/protos; the converter tools/descriptors_to_scoring_graphs.py
gives their YAML documents, python3-protobuf their index maps (computed
here, independently of the native reader).
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import REPO_ROOT
from korvex_graph._wire import read_varint

PROTOS = REPO_ROOT / "testdata" / "protos"
CONVERTER = REPO_ROOT / "tools" / "descriptors_to_scoring_graphs.py"
PROTOBUF_INCLUDE = pathlib.Path("/usr/include")
WKT = ["any", "api", "descriptor", "duration", "empty", "field_mask", "source_context", "struct", "timestamp",
       "type", "wrappers"]

# name -> (protoc include folders, files to compile)
COMPILED = {
    "wkt": ([], [f"google/protobuf/{w}.proto" for w in WKT]),
    "own": ([PROTOS], ["korvex/test/groups.proto", "korvex/test/three.proto", "nopackage.proto"]),
    "small": ([PROTOS], ["nopackage.proto"]),
    "v1": ([PROTOS / "versions"], ["v1.proto"]),
    "v2": ([PROTOS / "versions"], ["v2.proto"]),
}
# name -> the sets it concatenates, each compiled apart: two versions of
# one file, which define the same names
JOINED = {"both": ["v1", "v2"]}
SETS = ["wkt", "own", "small", "both"]

needs_protoc = pytest.mark.skipif(shutil.which("protoc") is None or not (PROTOBUF_INCLUDE / "google/protobuf/any.proto").exists(),
                                  reason="protoc and libprotobuf-dev are needed to compile descriptor sets")


def compile_set(name: str, folder: pathlib.Path) -> pathlib.Path:
    out = folder / f"{name}.pb"
    if name in JOINED:
        out.write_bytes(b"".join(compile_set(part, folder).read_bytes() for part in JOINED[name]))
        return out
    includes, files = COMPILED[name]
    subprocess.run(["protoc", "--include_imports", f"--descriptor_set_out={out}",
                    *[f"-I{i}" for i in includes], f"-I{PROTOBUF_INCLUDE}", *files], check=True)
    return out


def file_entries(data: bytes) -> list[tuple[int, int]]:
    """(start, end) of each file's own bytes in a set, from the wire."""
    pos, spans = 0, []
    while pos < len(data):
        tag, pos = read_varint(data, pos)
        assert tag == 0x0A
        size, pos = read_varint(data, pos)
        assert size >= 0
        spans.append((pos, pos + size))
        pos += size
    return spans


def converter_documents(set_path: pathlib.Path, folder: pathlib.Path) -> list[str]:
    """The converter's documents of the set, in the set's file order."""
    from google.protobuf import descriptor_pb2

    out = folder / (set_path.stem + "-yaml")
    subprocess.run([sys.executable, str(CONVERTER), str(set_path), "--out", str(out), "--notes", "/dev/null"],
                   check=True, capture_output=True)
    fds = descriptor_pb2.FileDescriptorSet.FromString(set_path.read_bytes())
    names = dict.fromkeys(f.name.replace("/", "__") + ".yaml" for f in fds.file)
    return [(out / n).read_text(encoding="utf-8") for n in names]


def independent_maps(data: bytes):
    """The four dictionaries of build_fds_index for a set, by python3-protobuf
    and a walk of the set's own wire bytes."""
    from google.protobuf import descriptor_pb2

    fds = descriptor_pb2.FileDescriptorSet.FromString(data)
    types: dict[str, str] = {}
    spans: dict[str, tuple[int, int]] = {}
    deps: dict[str, list[str]] = {}
    exts: dict[str, str] = {}

    def walk(prefix, messages, enums, file):
        for e in enums:
            types.setdefault(prefix + e.name, file)
        for m in messages:
            types.setdefault(prefix + m.name, file)
            for x in m.extension:
                exts.setdefault(f"{x.extendee.lstrip('.')}/{x.number}", file)
            walk(prefix + m.name + ".", m.nested_type, m.enum_type, file)

    for f, span in zip(fds.file, file_entries(data)):
        if f.name in spans:
            continue
        spans[f.name] = span
        deps[f.name] = list(f.dependency)
        walk(f.package + "." if f.package else "", f.message_type, f.enum_type, f.name)
        for x in f.extension:
            exts.setdefault(f"{x.extendee.lstrip('.')}/{x.number}", f.name)
    return types, spans, deps, exts
