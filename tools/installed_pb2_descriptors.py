#!/usr/bin/python3
"""Collect the descriptor sets compiled into installed *_pb2.py modules.

    installed_pb2_descriptors.py OUT.pb DIR...

Generated protobuf modules carry their FileDescriptorProto as a bytes
literal (AddSerializedFile(b"...") or serialized_pb=b"..."). This reads
every *_pb2.py under the given folders as text (nothing is imported or
run), keeps the first descriptor of each file name, drops files whose
imports are missing, and writes the rest, imports first, as one
FileDescriptorSet: a real-schema corpus made of whatever the machine has
installed, e.g.

    installed_pb2_descriptors.py gcloud.pb /usr/lib/google-cloud-sdk /usr/lib/python3/dist-packages
    descriptors_to_scoring_graphs.py gcloud.pb --out gcloud --check

(159 files and 855 top-level messages with the Debian 12 google-cloud-sdk
package installed).
"""

import ast
import os
import sys

from google.protobuf import descriptor_pb2


def embedded(path):
    """The bytes literals a module passes as a serialized descriptor."""
    try:
        tree = ast.parse(open(path, encoding="utf-8", errors="replace").read())
    except (SyntaxError, ValueError):
        return
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call):
            continue
        name = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", "")
        if name == "AddSerializedFile" and node.args and isinstance(node.args[0], ast.Constant):
            yield node.args[0].value
        for kw in node.keywords:
            if kw.arg == "serialized_pb" and isinstance(kw.value, ast.Constant):
                yield kw.value.value


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out, roots = argv[0], argv[1:]
    files = {}
    for root in roots:
        for folder, dirs, names in os.walk(root):
            dirs.sort()
            for name in sorted(names):
                if not name.endswith("_pb2.py"):
                    continue
                for blob in embedded(os.path.join(folder, name)):
                    if not isinstance(blob, bytes):
                        continue
                    fd = descriptor_pb2.FileDescriptorProto()
                    try:
                        fd.ParseFromString(blob)
                    except Exception:
                        continue
                    files.setdefault(fd.name, fd)

    ordered, done = [], set()

    def visit(name, path=()):
        if name in done:
            return True
        if name not in files or name in path:
            return False
        if all(visit(dep, path + (name,)) for dep in files[name].dependency):
            done.add(name)
            ordered.append(files[name])
            return True
        return False

    for name in sorted(files):
        visit(name)
    data = descriptor_pb2.FileDescriptorSet(file=ordered).SerializeToString()
    with open(out + ".tmp", "wb") as f:
        f.write(data)
    os.replace(out + ".tmp", out)
    print("%d files found, %d kept, %d top-level messages" %
          (len(files), len(ordered), sum(len(f.message_type) for f in ordered)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
