"""Reading the archives korvex_graph_lib writes, in place and checked.

    import korvex_graph

    graph = korvex_graph.Graph.open("graph.rkyv")      # a path, bytes or any buffer
    root = graph.root("pkg.Message")
    for t in graph.node(root.state).transitions:
        print(t.field, t.label, graph.node(t.to).type)

    index = korvex_graph.Index.open(index_bytes)
    index.file_of_type("pkg.Message")                   # "pkg/message.proto" or None

    for match in graph.identify(payload):               # which root types are these bytes?
        print(match.score, match.names, match.reason)

Opening checks every pointer, length, table and invariant of the archive
once; afterwards each lookup reads the bytes where they are. Invalid bytes
raise ArchiveError, a ValueError whose message names the file offset of the
faulty field and what is wrong with it; bytes that are not protobuf wire
format at all raise PayloadError, a ValueError saying where they break.

Making the archives from files, as the korvex-graph command does:

    baked = korvex_graph.bake(["set.pb"])               # descriptor sets, YAML, folders
    graph = korvex_graph.Graph.open(baked.archive)
    index = korvex_graph.Index.open(korvex_graph.index("set.pb"))
    documents = korvex_graph.convert("set.pb")          # {"a__b.proto.yaml": "...", ...}
"""

from ._bake import Baked, bake, convert, index
from ._graph import Graph, NodeSequence, RangeSequence, RootSequence, TransitionSequence
from ._index import Index, MapView
from ._native import ArchiveError, Match, Node, PayloadError, Root, Span, Transition

__all__ = [
    "ArchiveError",
    "Baked",
    "Graph",
    "Index",
    "MapView",
    "Match",
    "Node",
    "NodeSequence",
    "PayloadError",
    "RangeSequence",
    "Root",
    "RootSequence",
    "Span",
    "Transition",
    "TransitionSequence",
    "bake",
    "convert",
    "index",
]
