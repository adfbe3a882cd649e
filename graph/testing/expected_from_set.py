#!/usr/bin/python3
"""Test data for the descriptor-set reader, made independently of it.

    expected_from_set.py SET.pb CONVERTER OUT.maps

runs CONVERTER (tools/descriptors_to_scoring_graphs.py) on SET.pb into the
folder OUT-yaml/ next to OUT.maps, and writes to OUT.maps, one tab-separated
record per line:

    file  NAME  DOCUMENT     every file in the set's order, with its YAML file
    type  FULL_NAME  FILE    every message and enum, at any depth
    span  FILE  START  END   the file's own bytes in SET.pb
    dep   FILE  IMPORT...    direct imports in declaration order
    ext   EXTENDEE/NUMBER  FILE

Types, imports and extensions come from python3-protobuf's descriptor_pb2;
spans from walking the outer set's wire bytes here. A set made by
concatenating sets may repeat names: a file repeated (byte for byte) counts
once, at its first place, and a type or extension defined in several files
maps to the first of them.
"""

import os
import subprocess
import sys

from google.protobuf import descriptor_pb2

# The package's own varint reader, by path: it needs nothing of the rest
# of the package, which need not be built yet.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "korvex_graph"))
from _wire import read_varint  # noqa: E402


def spans(data):
    pos, out = 0, []
    while pos < len(data):
        tag, pos = read_varint(data, pos)
        assert tag == (1 << 3 | 2), "only files at the top of a set"
        size, pos = read_varint(data, pos)
        assert size >= 0, "a truncated set"
        out.append((pos, pos + size))
        pos += size
    return out


def strip_dot(name):
    return name[1:] if name.startswith(".") else name


def walk_types(prefix, messages, enums, out):
    for e in enums:
        out.append(prefix + e.name)
    for m in messages:
        full = prefix + m.name
        out.append(full)
        walk_types(full + ".", m.nested_type, m.enum_type, out)


def walk_extensions(file, out):
    def add(fields):
        for x in fields:
            out.append("%s/%d" % (strip_dot(x.extendee), x.number))

    def message(m):
        add(m.extension)
        for n in m.nested_type:
            message(n)

    add(file.extension)
    for m in file.message_type:
        message(m)


def main():
    set_path, converter, out_path = sys.argv[1:4]
    yaml_dir = out_path[: -len(".maps")] + "-yaml"
    subprocess.run([sys.executable, converter, set_path, "--out", yaml_dir,
                    "--notes", os.devnull], check=True)
    with open(set_path, "rb") as fh:
        data = fh.read()
    fds = descriptor_pb2.FileDescriptorSet()
    fds.ParseFromString(data)
    lines = []
    files, taken = {}, set()
    for f, (start, end) in zip(fds.file, spans(data)):
        if f.name in files:
            assert data[start:end] == files[f.name], "a repeated file must repeat its bytes"
            continue
        files[f.name] = data[start:end]
        prefix = f.package + "." if f.package else ""
        lines.append("file\t%s\t%s" % (f.name, f.name.replace("/", "__") + ".yaml"))
        types = []
        walk_types(prefix, f.message_type, f.enum_type, types)
        lines.extend("type\t%s\t%s" % (t, f.name) for t in types if ("t", t) not in taken)
        taken.update(("t", t) for t in types)
        lines.append("span\t%s\t%d\t%d" % (f.name, start, end))
        lines.append("\t".join(["dep", f.name] + list(f.dependency)))
        exts = []
        walk_extensions(f, exts)
        lines.extend("ext\t%s\t%s" % (x, f.name) for x in exts if ("x", x) not in taken)
        taken.update(("x", x) for x in exts)
    with open(out_path, "w", encoding="utf-8") as fh:
        fh.write("".join(line + "\n" for line in lines))


if __name__ == "__main__":
    main()
