#!/usr/bin/python3
"""How well does identification name the type of a protobuf payload?

    identify_eval.py CORPUS... [--payloads N] [--seed S] [--depth D] [--json]
    identify_eval.py CORPUS --emit DIR [--payloads N] [--seed S]
    identify_eval.py --truth TRUTH.tsv --graph GRAPH [--descriptors SET.pb]... [--json]
    identify_eval.py --records SET.pb... --out DIR [--payloads N] [--seed S]

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

--truth judges real payloads: TRUTH.tsv holds lines "file<TAB>type" (files
relative to its folder, or to the folder "payloads" beside it), GRAPH is a
baked graph holding those types among any others. Per type and overall:
"first" (the true type's node ranks first), "top-3", and "sound" (the true
type is listed whenever it parses the payload, and among the exact matches
whenever python3-protobuf finds nothing it does not know in it; for these
--descriptors must name the sets that define the types). Then the speed:
identification throughput (top 5, processor time, best of 3 rounds) next to
python3-protobuf parsing the same payloads with their known types, in the
same rounds, the median and worst time of one payload, and the time from
Graph.open to the first answer (processor time too: wall time on a shared
machine counts other people's work). The rounds come after the answers
above, so the graph keeps hints for every shape of payload by then, as in
a long stream; the throughput of one pass on the graph opened afresh, a
stream seen once, is printed beside them.

--records makes a second real set, of many small binary records: every
message a descriptor set holds (each file, message, field, enum, value,
service, method and options record, at any depth) whose type is a
top-level type of descriptor.proto, as python3-protobuf serialises it; N
(default 1000) of them drawn at random, written as files with a truth.tsv.
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


# ----------------------------------------------------------- real payloads --

def read_truth(path):
    """[(payload bytes, type)] of a truth table."""
    base = os.path.dirname(os.path.abspath(path))
    out = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            if not line.strip():
                continue
            name, kind = line.rstrip("\n").split("\t")[:2]
            file = os.path.join(base, name)
            if not os.path.exists(file):
                file = os.path.join(base, "payloads", name)
            with open(file, "rb") as f:
                out.append((f.read(), kind))
    return out


def message_classes(sets, names):
    """name -> python3-protobuf class, from the descriptor sets' files."""
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    pool = descriptor_pool.DescriptorPool()
    seen = set()
    for path in sets:
        with open(path, "rb") as f:
            fds = descriptor_pb2.FileDescriptorSet.FromString(f.read())
        for file in fds.file:
            if file.name not in seen:
                seen.add(file.name)
                try:
                    pool.Add(file)
                except TypeError:  # a name defined twice in the set: the file is left out
                    pass
    make = getattr(message_factory, "GetMessageClass", None)
    out = {}
    for name in names:
        try:
            descriptor = pool.FindMessageTypeByName(name)
        except KeyError:
            continue
        out[name] = make(descriptor) if make else message_factory.MessageFactory(pool).GetPrototype(descriptor)
    return out


def knows_everything(message):
    """True when python3-protobuf found no unknown field at any depth and
    no required field is missing."""
    if len(message.UnknownFields()) or not message.IsInitialized():
        return False
    for field, value in message.ListFields():
        if field.message_type is None:
            continue
        values = value if field.label == field.LABEL_REPEATED else [value]
        if field.message_type.GetOptions().map_entry:
            values = value.values() if field.message_type.fields_by_name["value"].message_type else []
        if not all(knows_everything(v) for v in values):
            return False
    return True


def evaluate_real(truth_path, graph_path, sets, rounds=3):
    import time

    import korvex_graph

    items = read_truth(truth_path)
    started, started_cpu = time.perf_counter(), time.process_time()
    graph = korvex_graph.Graph.open(graph_path)
    graph.identify(items[0][0], top=5)
    first_answer, first_answer_cpu = time.perf_counter() - started, time.process_time() - started_cpu

    classes = message_classes(sets, {k for _, k in items}) if sets else {}
    per_type = {}
    totals = {"payloads": 0, "first": 0, "top3": 0, "sound": 0}
    for payload, kind in items:
        root = graph.root(kind)
        truth = root.state if root is not None else None
        top = graph.identify(payload, top=5)
        full = graph.identify(payload, top=None)
        mine = [m for m in full if m.node == truth]
        cls = classes.get(kind)
        clean = False
        if cls is not None:
            try:
                clean = knows_everything(cls.FromString(payload))
            except Exception:
                clean = False
        sound = bool(mine) and (mine[0].exact or not clean)
        row = per_type.setdefault(kind, {"payloads": 0, "first": 0, "top3": 0, "sound": 0})
        for r in (row, totals):
            r["payloads"] += 1
            r["first"] += bool(top) and top[0].node == truth
            r["top3"] += any(m.node == truth for m in top[:3])
            r["sound"] += sound

    # Speed: identification and the known-type parse alternate in rounds.
    # By then the graph keeps hints from the answers above (the types that
    # payloads of each shape ranked), as it would for a long stream; a
    # stream seen once is timed first, on the graph opened afresh.
    total_bytes = sum(len(p) for p, _ in items)
    fresh = korvex_graph.Graph.open(graph_path)
    fresh.identify(b"", top=5)  # its lookups built, and no hint kept for any payload of the set
    t = time.process_time()
    for payload, _ in items:
        fresh.identify(payload, top=5)
    first_pass = time.process_time() - t
    del fresh
    best_identify = best_parse = float("inf")
    times = [float("inf")] * len(items)
    parseable = [(cls.FromString, p) for p, k in items if (cls := classes.get(k)) is not None]
    parse_bytes = sum(len(p) for _, p in parseable)
    for _ in range(rounds):
        # The whole set timed as the parse is, without a clock read around
        # each payload (a third of a microsecond each here); then each
        # payload on its own.
        t = time.process_time()
        for payload, _ in items:
            graph.identify(payload, top=5)
        best_identify = min(best_identify, time.process_time() - t)
        for i, (payload, _) in enumerate(items):
            t = time.process_time()
            graph.identify(payload, top=5)
            times[i] = min(times[i], time.process_time() - t)
        if parseable:
            t = time.process_time()
            for parse, payload in parseable:
                try:
                    parse(payload)
                except Exception:
                    pass
            best_parse = min(best_parse, time.process_time() - t)
    ordered = sorted(times)
    return {
        "truth": truth_path,
        "graph": graph_path,
        "roots": len(graph.roots),
        "per_type": per_type,
        "overall": totals,
        "bytes": total_bytes,
        "identify_mb_s": total_bytes / best_identify / 1e6,
        "first_pass_mb_s": total_bytes / first_pass / 1e6,
        "parse_mb_s": parse_bytes / best_parse / 1e6 if parseable else None,
        "median_ms": 1e3 * ordered[len(ordered) // 2],
        "worst_ms": 1e3 * ordered[-1],
        "worst_under_64k_ms": 1e3 * max((t for t, (p, _) in zip(times, items) if len(p) < 65536), default=0.0),
        "first_answer_ms": 1e3 * first_answer,
        "first_answer_cpu_ms": 1e3 * first_answer_cpu,
    }


def print_real(r, per_type=True):
    def pct(row, key):
        return 100.0 * row[key] / row["payloads"] if row["payloads"] else 0.0

    if per_type:
        print("%-64s %6s %7s %7s %7s" % ("type", "count", "first", "top-3", "sound"))
        for kind in sorted(r["per_type"], key=lambda k: (-r["per_type"][k]["payloads"], k)):
            row = r["per_type"][kind]
            print("%-64s %6d %6.1f%% %6.1f%% %6.1f%%" % (kind[-64:], row["payloads"], pct(row, "first"),
                                                        pct(row, "top3"), pct(row, "sound")))
    o = r["overall"]
    print("%-64s %6d %6.1f%% %6.1f%% %6.1f%%" % ("overall", o["payloads"], pct(o, "first"), pct(o, "top3"),
                                                pct(o, "sound")))
    parse = r["parse_mb_s"]
    print("identify %.2f MB/s, python3-protobuf known-type parse %s MB/s, ratio %s; per payload median %.3f ms, "
          "worst %.2f ms (under 64 KB: %.2f ms); first answer after open %.1f ms (processor time %.1f ms)" % (
              r["identify_mb_s"], "%.1f" % parse if parse else "-",
              "%.3f" % (r["identify_mb_s"] / parse) if parse else "-", r["median_ms"], r["worst_ms"],
              r["worst_under_64k_ms"], r["first_answer_ms"], r["first_answer_cpu_ms"]))
    print("a first pass over the set, on the graph opened afresh: identify %.2f MB/s, ratio %s" % (
        r["first_pass_mb_s"], "%.3f" % (r["first_pass_mb_s"] / parse) if parse else "-"))


_RECORD_FIELDS = {
    # descriptor.proto's top-level types, and where each holds others.
    "FileDescriptorProto": {"message_type": "DescriptorProto", "enum_type": "EnumDescriptorProto",
                            "service": "ServiceDescriptorProto", "extension": "FieldDescriptorProto",
                            "options": "FileOptions", "source_code_info": "SourceCodeInfo"},
    "DescriptorProto": {"field": "FieldDescriptorProto", "extension": "FieldDescriptorProto",
                        "nested_type": "DescriptorProto", "enum_type": "EnumDescriptorProto",
                        "oneof_decl": "OneofDescriptorProto", "options": "MessageOptions"},
    "FieldDescriptorProto": {"options": "FieldOptions"},
    "OneofDescriptorProto": {"options": "OneofOptions"},
    "EnumDescriptorProto": {"value": "EnumValueDescriptorProto", "options": "EnumOptions"},
    "EnumValueDescriptorProto": {"options": "EnumValueOptions"},
    "ServiceDescriptorProto": {"method": "MethodDescriptorProto", "options": "ServiceOptions"},
    "MethodDescriptorProto": {"options": "MethodOptions"},
}


def descriptor_records(sets):
    """[(type, bytes)] of every non-empty record the sets hold."""
    from google.protobuf import descriptor_pb2

    out = []

    def walk(kind, message):
        data = message.SerializeToString()
        if data:
            out.append(("google.protobuf." + kind, data))
        for name, inner in _RECORD_FIELDS.get(kind, {}).items():
            field = message.DESCRIPTOR.fields_by_name[name]
            if field.label == field.LABEL_REPEATED:
                for m in getattr(message, name):
                    walk(inner, m)
            elif message.HasField(name):
                walk(inner, getattr(message, name))

    for path in sets:
        with open(path, "rb") as f:
            for file in descriptor_pb2.FileDescriptorSet.FromString(f.read()).file:
                walk("FileDescriptorProto", file)
    return out


def emit_records(sets, out_dir, count, seed):
    records = descriptor_records(sets)
    chosen = random.Random(seed).sample(records, min(count, len(records)))
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "truth.tsv"), "w", encoding="utf-8") as truth:
        for i, (kind, data) in enumerate(chosen):
            name = "%05d-%s.bin" % (i, kind.rsplit(".", 1)[-1])
            with open(os.path.join(out_dir, name), "wb") as f:
                f.write(data)
            truth.write("%s\t%s\n" % (name, kind))
    return len(records), len(chosen)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("corpora", nargs="*", metavar="CORPUS")
    ap.add_argument("--payloads", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--depth", type=int, default=3)
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--emit", metavar="DIR")
    ap.add_argument("--truth", metavar="TRUTH.tsv")
    ap.add_argument("--graph", metavar="GRAPH")
    ap.add_argument("--descriptors", metavar="SET.pb", action="append", default=[])
    ap.add_argument("--records", metavar="SET.pb", nargs="+")
    ap.add_argument("--out", metavar="DIR")
    ap.add_argument("--summary", action="store_true", help="with --truth: the overall rows only")
    args = ap.parse_args(argv)

    if args.records:
        total, chosen = emit_records(args.records, args.out or "records", args.payloads, args.seed)
        print("%d of %d records written to %s" % (chosen, total, args.out or "records"))
        return 0
    if args.truth:
        r = evaluate_real(args.truth, args.graph, args.descriptors)
        if args.json:
            json.dump(r, sys.stdout, indent=2)
            print()
        else:
            print_real(r, per_type=not args.summary)
        return 0

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
