"""Reading the archives korvex_graph_lib writes, in place and checked.

    import korvex_graph

    graph = korvex_graph.Graph.open("graph.rkyv")      # a path, bytes or any buffer
    root = graph.root("pkg.Message")
    for t in graph.node(root.state).transitions:
        print(t.field, t.label, graph.node(t.to).type)

    index = korvex_graph.Index.open(index_bytes)
    index.file_of_type("pkg.Message")                   # "pkg/message.proto" or None

Opening checks every pointer, length, table and invariant of the archive
once; afterwards each lookup reads the bytes where they are. Invalid bytes
raise ArchiveError, a ValueError whose message names the file offset of the
faulty field and what is wrong with it.
"""

from collections.abc import Sequence

from ._graph import Graph
from ._index import Index, MapView
from ._native import (
    ArchiveError,
    Node,
    NodeSequence,
    RangeSequence,
    Root,
    RootSequence,
    Span,
    Transition,
    TransitionSequence,
)

# The native sequences implement the whole Sequence interface; registering
# them makes isinstance(graph.nodes, Sequence) true.
for _sequence in (NodeSequence, TransitionSequence, RootSequence, RangeSequence):
    Sequence.register(_sequence)  # type: ignore[type-abstract]
del _sequence

__all__ = [
    "ArchiveError",
    "Graph",
    "Index",
    "MapView",
    "Node",
    "NodeSequence",
    "RangeSequence",
    "Root",
    "RootSequence",
    "Span",
    "Transition",
    "TransitionSequence",
]
