#!/usr/bin/python3
"""How well does identification name the type of a protobuf payload?

    identify_eval.py CORPUS... [--payloads N] [--seed S] [--depth D] [--json]
    identify_eval.py CORPUS --emit DIR [--payloads N] [--seed S]

CORPUS is a folder of scoring-graph YAML documents or a .tar.gz of one
(testdata/corpora/wkt, testdata/corpora/synth-20k.tar.gz, ...). For each
corpus the documents are merged as the bake merges them (file-name order,
first definition wins), baked with korvex_graph_lib.build_graph, and N
payloads are generated for root types drawn at random: every field kind,
repeated fields (packed when the field says so), nested messages and groups
down to --depth levels (below that only required fields), enum and bool
values inside their ranges, strings of valid UTF-8. Each payload is
identified and the script reports, per corpus:

- soundness: how often the true type's node is among the exact matches
  (must be 100%);
- precision, on payloads that set at least half of their type's declared
  fields and at least three: how often the true node ranks first, next to
  the rule "among the exact matches, the fewest declared fields left
  unused, then by name";
- the median size of the group of exact matches.

--emit writes the payloads as files instead (seeds for the fuzz target) and
needs only python3-yaml. Output is a pure function of the arguments.
"""

import argparse
import json
import os
import random
import statistics
import struct
import sys
import tarfile

import yaml

_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)

_VARINT_KINDS = {"int32", "uint32", "sint32", "int64", "uint64", "sint64", "bool", "enum"}
_NUMERIC = _VARINT_KINDS | {"double", "float"}
_TEXT = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./"
_WIDE = "éüßñøΩжщ中文字€✓"


# --------------------------------------------------------------- the corpus --

def read_documents(path):
    """The YAML texts of a folder or .tar.gz, in file-name order."""
    if os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if n.endswith(".yaml"))
        return [open(os.path.join(path, n), encoding="utf-8").read() for n in names]
    with tarfile.open(path, "r:gz") as tar:
        members = sorted((m for m in tar.getmembers() if m.isfile() and m.name.endswith(".yaml")),
                         key=lambda m: os.path.basename(m.name))
        return [tar.extractfile(m).read().decode("utf-8") for m in members]


class Schema:
    """The merged documents: first definition of every message wins."""

    def __init__(self, documents):
        self.messages = {}   # name -> fields sorted by number (stable)
        self.groups = set()  # names whose first definition has kind GROUP
        self.roots = []
        seen_roots = set()
        for text in documents:
            doc = yaml.load(text, Loader=_LOADER) or {}
            for name in doc.get("entries") or []:
                if name not in seen_roots:
                    seen_roots.add(name)
                    self.roots.append(name)
            for name, entry in (doc.get("messages") or {}).items():
                if name in self.messages:
                    continue
                entry = entry or {}
                fields = sorted(entry.get("fields") or [], key=lambda f: f["number"])
                self.messages[name] = fields
                if entry.get("kind") == "GROUP":
                    self.groups.add(name)
        self.roots = [r for r in self.roots if r in self.messages]


# --------------------------------------------------------------- wire format --

def varint(v):
    v &= (1 << 64) - 1
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def tag(number, wire):
    return varint(number << 3 | wire)


def zigzag(v, bits):
    return (v << 1) ^ (v >> (bits - 1))


class Generator:
    def __init__(self, schema, rng, depth):
        self.schema = schema
        self.rng = rng
        self.depth = depth

    def message(self, name, presence, level=0):
        """(bytes, field numbers set) of a random valid message, or None
        when required fields chain deeper than the bound allows."""
        if level > self.depth + 16:
            return None
        out = bytearray()
        numbers = set()
        taken = set()
        for f in self.schema.messages.get(name, []):
            number = f["number"]
            if number in taken:  # a number given twice: the first one counts
                continue
            taken.add(number)
            if not 1 <= number < 1 << 29:
                continue
            required = f.get("label") == "required"
            if not required and (level >= self.depth or self.rng.random() >= presence):
                continue
            repeated = f.get("label") == "repeated"
            count = self.rng.randint(1, 3) if repeated else 1
            kind = f["type"]
            if kind in ("bool", "enum"):
                lo, hi = f["range"]
                if lo > hi:
                    if required:
                        return None
                    continue
            if repeated and f.get("packed") and kind in _NUMERIC:
                run = b"".join(self.scalar(f) for _ in range(count))
                out += tag(number, 2) + varint(len(run)) + run
            else:
                for _ in range(count):
                    piece = self.field(f, presence, level)
                    if piece is None:
                        return None
                    out += piece
            numbers.add(number)
        return bytes(out), numbers

    def field(self, f, presence, level):
        number, kind = f["number"], f["type"]
        if kind in ("message", "group"):
            child = f["child"]
            inner = self.message(child, presence, level + 1)
            if inner is None:
                return None
            body = inner[0]
            if child in self.schema.groups:
                return tag(number, 3) + body + tag(number, 4)
            return tag(number, 2) + varint(len(body)) + body
        if kind in ("string", "bytes"):
            body = self.text() if kind == "string" else self.blob()
            return tag(number, 2) + varint(len(body)) + body
        wire = 0 if kind in _VARINT_KINDS else 1 if kind == "double" else 5
        return tag(number, wire) + self.scalar(f)

    def scalar(self, f):
        kind, r = f["type"], self.rng
        if kind in ("bool", "enum"):
            lo, hi = f["range"]
            return varint(r.randint(lo, hi))
        if kind == "double":
            return struct.pack("<d", r.uniform(-1e6, 1e6))
        if kind == "float":
            return struct.pack("<f", r.uniform(-1e3, 1e3))
        bits = 32 if kind.endswith("32") else 64
        magnitude = r.choice((7, 14, bits - 1))
        v = r.getrandbits(magnitude)
        if kind.startswith("uint"):
            return varint(v if bits == 64 or r.random() < 0.5 else r.getrandbits(32))
        if r.random() < 0.25:
            v = -v - 1
        if kind.startswith("sint"):
            return varint(zigzag(v, bits))
        return varint(v)

    def text(self):
        r = self.rng
        chars = [r.choice(_WIDE) if r.random() < 0.08 else r.choice(_TEXT) for _ in range(r.randint(0, 16))]
        return "".join(chars).encode("utf-8")

    def blob(self):
        return bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(0, 16)))


def payloads(schema, count, seed, depth):
    """[(root name, payload, top-level field numbers set)] for random roots."""
    rng = random.Random(seed)
    gen = Generator(schema, rng, depth)
    out = []
    tries = 0
    while len(out) < count and schema.roots and tries < 20 * count:
        tries += 1
        root = rng.choice(schema.roots)
        made = gen.message(root, rng.uniform(0.2, 1.0))
        if made is not None:
            out.append((root, made[0], made[1]))
    return out


# ---------------------------------------------------------------- evaluation --

def evaluate(path, count, seed, depth):
    import korvex_graph
    import korvex_graph_lib

    documents = read_documents(path)
    schema = Schema(documents)
    archive, _, _ = korvex_graph_lib.build_graph(documents)
    graph = korvex_graph.Graph.open(archive)
    node_of = {name: graph.root(name).state for name in schema.roots}

    sound = first_any = first = baseline_first = eligible = 0
    groups = []
    generated = payloads(schema, count, seed, depth)
    for root, payload, numbers in generated:
        truth = node_of[root]
        # The best tier holds every exact match whenever there is one.
        matches = graph.identify(payload, top=1 << 30)
        exact = [m for m in matches if m.exact]
        groups.append(len(exact))
        sound += any(m.node == truth for m in exact)
        first_any += bool(matches) and matches[0].node == truth
        fields = schema.messages[root]
        if len(numbers) >= 3 and 2 * len(numbers) >= len(fields):
            eligible += 1
            first += bool(matches) and matches[0].node == truth

            def unused(m):
                declared = {f["number"] for f in schema.messages.get(m.names[0], [])}
                return len(schema.messages.get(m.names[0], [])) - len(numbers & declared)

            if exact:
                pick = min(exact, key=lambda m: (unused(m), m.names[0].encode("utf-8")))
                baseline_first += pick.node == truth
    n = len(generated)
    return {
        "corpus": os.path.basename(path.rstrip("/")).removesuffix(".tar.gz"),
        "payloads": n,
        "sound": sound / n if n else 0.0,
        "first_any": first_any / n if n else 0.0,
        "eligible": eligible,
        "first": first / eligible if eligible else 0.0,
        "baseline_first": baseline_first / eligible if eligible else 0.0,
        "median_exact_group": statistics.median(groups) if groups else 0,
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("corpora", nargs="+", metavar="CORPUS")
    ap.add_argument("--payloads", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--depth", type=int, default=3)
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--emit", metavar="DIR")
    args = ap.parse_args(argv)

    if args.emit:
        os.makedirs(args.emit, exist_ok=True)
        for path in args.corpora:
            schema = Schema(read_documents(path))
            stem = os.path.basename(path.rstrip("/")).split(".")[0]
            for i, (_, payload, _) in enumerate(payloads(schema, args.payloads, args.seed, args.depth)):
                with open(os.path.join(args.emit, "%s-%04d" % (stem, i)), "wb") as out:
                    out.write(payload)
        return 0

    rows = [evaluate(p, args.payloads, args.seed, args.depth) for p in args.corpora]
    if args.json:
        json.dump(rows, sys.stdout, indent=2)
        print()
        return 0
    # first: the true node ranked first, over all payloads; then over the
    # eligible ones, next to the baseline rule; the median exact group.
    print("%-14s %8s %7s %7s %8s %7s %9s %6s" % ("corpus", "payloads", "sound", "first", "eligible", "first",
                                                "baseline", "group"))
    for r in rows:
        print("%-14s %8d %6.1f%% %6.1f%% %8d %6.1f%% %8.1f%% %6g" % (
            r["corpus"], r["payloads"], 100 * r["sound"], 100 * r["first_any"], r["eligible"], 100 * r["first"],
            100 * r["baseline_first"], r["median_exact_group"]))
    if len(rows) > 1:
        print("%-14s %8s %7s %7s %8s %6.1f%% %8.1f%%" % (
            "average", "", "", "", "", 100 * statistics.mean(r["first"] for r in rows),
            100 * statistics.mean(r["baseline_first"] for r in rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
