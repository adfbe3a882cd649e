#!/usr/bin/python3
"""Write a synthetic schema collection as .proto files and compile it.

    synth_protos.py --messages N --files F --seed S --out DIR

builds the corpus of synth_scoring_graphs.py (same arguments, same
generator) and writes it as proto2 source files under DIR/protos/ instead of
scoring-graph YAML; then compiles them into DIR/set.pb with

    protoc --include_imports --descriptor_set_out=DIR/set.pb -I DIR/protos ...

and writes the documents tools/descriptors_to_scoring_graphs.py makes of that
set into DIR/yaml/. This gives a large descriptor set of real shape (nested
messages, groups, extension ranges, enums, imports between files) together
with its YAML twin, for comparing the two ways into a bake.

protoc accepts less than the YAML corpus holds, so the translation:

- every file is proto2; packed fields carry [packed=true];
- enum fields refer to one enum per distinct value range, in
  synth/enums.proto (package synth.enums), whose values are the range's two
  ends, so that the converter finds the same range again;
- a group field declares its group type inline; a group type that no group
  field of its parent declares becomes an ordinary nested message;
- a message field may only refer to a type of its own file or of an earlier
  file (imports must not form cycles); other references, and references to
  undeclared types, become references to the message itself;
- fields numbered in protobuf's reserved 19000..19999, fields repeating a
  number, fields inside an extension range, and the vendored copies of other
  files' messages (protoc refuses a type defined twice) are left out.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import synth_scoring_graphs as synth  # noqa: E402

MAX = synth.MAX_FIELD_NUMBER
ENUMS_PATH = "synth/enums.proto"
ENUMS_PACKAGE = "synth.enums"


class Writer:
    def __init__(self, gen):
        self.gen = gen
        self.home = {}        # fqdn -> index of the document that defines it
        for d in gen.docs:
            for m in d.all:
                self.home[m.fqdn] = d.index
        self.ranges = {}      # (lo, hi) -> enum name

    def enum_for(self, rng):
        if rng not in self.ranges:
            self.ranges[rng] = "R%d" % len(self.ranges)
        return ".%s.%s" % (ENUMS_PACKAGE, self.ranges[rng])

    def enums_file(self):
        out = ['syntax = "proto2";', "", "package %s;" % ENUMS_PACKAGE, ""]
        for (lo, hi), name in self.ranges.items():
            out.append("enum %s {" % name)
            out.append("  %s_LO = %d;" % (name, lo))
            if hi != lo:
                out.append("  %s_HI = %d;" % (name, hi))
            out.append("}")
        return "\n".join(out) + "\n"

    def document(self, d):
        self.imports = set()
        self.doc = d
        body = []
        for m in d.top:
            self.message(m, body, 0, "message %s" % m.fqdn.rsplit(".", 1)[1])
        head = ['syntax = "proto2";', ""]
        if d.package:
            head += ["package %s;" % d.package, ""]
        head += ['import "%s";' % p for p in sorted(self.imports)]
        if self.imports:
            head.append("")
        return "\n".join(head + body) + "\n"

    def reference(self, m, child):
        """The type a message field names, as written in the file."""
        home = self.home.get(child)
        if home is None or home > self.doc.index:
            child = m.fqdn
        elif home != self.doc.index:
            self.imports.add(self.gen.docs[home].path)
        return "." + child

    def message(self, m, out, depth, opening):
        pad = "  " * depth
        out.append(pad + opening + " {")
        ext = m.ext or []
        taken = set()
        inline = {}
        for num, kind, child, rng, label, packed in m.fields:
            if (num in taken or not 1 <= num <= MAX or 19000 <= num <= 19999
                    or any(lo <= num <= hi for lo, hi in ext)):
                continue
            taken.add(num)
            if kind == "group":
                g = next((c for c in m.nested if c.is_group and c.fqdn == child
                          and c.fqdn not in inline), None)
                if g is not None:
                    inline[g.fqdn] = (label, num)
                    continue
                kind = "message"
            if kind == "message":
                typ = self.reference(m, child)
            elif kind == "enum":
                typ = self.enum_for(rng)
                self.imports.add(ENUMS_PATH)
            else:
                typ = kind
            opt = " [packed = true]" if packed else ""
            out.append("%s  %s %s f%d = %d%s;" % (pad, label, typ, num, num, opt))
        for lo, hi in ext:
            out.append("%s  extensions %d to %s;" % (pad, lo, "max" if hi == MAX else hi))
        for c in m.nested:
            name = c.fqdn.rsplit(".", 1)[1]
            if c.fqdn in inline:
                label, num = inline[c.fqdn]
                self.message(c, out, depth + 1, "%s group %s = %d" % (label, name, num))
            else:
                self.message(c, out, depth + 1, "message %s" % name)
        out.append(pad + "}")


def main(argv=None):
    ap = argparse.ArgumentParser(
        description="Write the synthetic corpus of synth_scoring_graphs.py as .proto files, compile "
                    "them into a descriptor set and convert that set into scoring-graph YAML.",
        epilog="Example: %(prog)s --messages 200000 --files 2000 --seed 1 --out build/bench-data/protos-200k")
    ap.add_argument("--messages", type=int, required=True, metavar="N")
    ap.add_argument("--files", type=int, required=True, metavar="F")
    ap.add_argument("--seed", type=int, default=1, metavar="S")
    ap.add_argument("--out", required=True, help="output folder: protos/, set.pb and yaml/ go there")
    args = ap.parse_args(argv)

    gen = synth.Generator(args.messages, args.files, args.seed)
    gen._plan()
    gen._fill()
    writer = Writer(gen)
    files = {}
    for d in gen.docs:
        files[d.path] = writer.document(d)
    files[ENUMS_PATH] = writer.enums_file()
    root = os.path.join(args.out, "protos")
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as fh:
            fh.write(text)
    set_path = os.path.join(args.out, "set.pb")
    subprocess.run(["protoc", "--include_imports", "--descriptor_set_out=" + set_path, "-I", root]
                   + sorted(files), check=True)
    converter = os.path.join(os.path.dirname(os.path.abspath(__file__)), "descriptors_to_scoring_graphs.py")
    subprocess.run([sys.executable, converter, set_path, "--out", os.path.join(args.out, "yaml"),
                    "--notes", os.devnull], check=True)
    print("wrote %d .proto files, %s (%d bytes) and its YAML documents"
          % (len(files), set_path, os.path.getsize(set_path)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
