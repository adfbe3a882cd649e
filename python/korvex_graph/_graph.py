"""Graph: a baked graph archive, read in place, and the read-only sequences
over its lists."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Generic, Self, SupportsIndex, TypeVar, cast, overload

from . import _native
from ._native import Node, Root, Transition
from ._source import DEFAULT_MAX_INPUT_SIZE, bytes_of

if TYPE_CHECKING:
    from ._source import Source

T = TypeVar("T")

# The lists' numbers, as the native primitive takes them.
_NODES, _TRANSITIONS, _ROOTS, _LEAF_RANGES, _EXT_RANGES, _EXT_RANGE_SETS = range(6)


class _GraphSequence(Sequence[T], Generic[T]):
    """Items of one list of a graph at some positions (a range: the whole
    list, or any slice of it), made on access by the native primitive."""

    __slots__ = ("_graph", "_list", "_positions")

    def __init__(self, graph: _native.Graph, which: int, positions: range) -> None:
        self._graph = graph
        self._list = which
        self._positions = positions

    def __len__(self) -> int:
        return len(self._positions)

    @overload
    def __getitem__(self, key: SupportsIndex) -> T: ...
    @overload
    def __getitem__(self, key: slice) -> Self: ...
    def __getitem__(self, key: SupportsIndex | slice) -> T | Self:
        # A range does the index arithmetic, and says what is wrong with a key.
        if isinstance(key, slice):
            return type(self)(self._graph, self._list, self._positions[key])
        return cast(T, self._graph._list_item(self._list, self._positions[key]))

    def __iter__(self) -> Iterator[T]:
        item, which = self._graph._list_item, self._list
        for position in self._positions:
            yield cast(T, item(which, position))

    def __reversed__(self) -> Iterator[T]:
        return iter(self[::-1])

    def __repr__(self) -> str:
        return f"<korvex_graph.{type(self).__name__} of {len(self)}>"


class NodeSequence(_GraphSequence[Node]):
    """The nodes of a graph (or a slice of them), by id."""

    __slots__ = ()


class TransitionSequence(_GraphSequence[Transition]):
    """Transitions of a graph, sorted by (from_, field)."""

    __slots__ = ()


class RootSequence(_GraphSequence[Root]):
    """Roots of a graph, in archive order."""

    __slots__ = ()


class RangeSequence(_GraphSequence[tuple[int, int]]):
    """Pairs of a graph: leaf ranges, extension ranges or extension-range sets."""

    __slots__ = ()


class Graph(_native.Graph):
    """A baked graph archive (the first element of build_graph's result),
    checked once when opened and then read in place.

    ``nodes``, ``transitions`` and ``roots`` are read-only sequences whose
    items are made on access; ``node(id)``, ``root(name)`` and
    ``transition(node, field)`` look one up; ``to_yaml()`` gives the dump
    that build_graph returned beside the archive.
    """

    __slots__ = ()

    @classmethod
    def open(cls, source: Source, *, mmap: bool = False, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> Self:
        """Open the graph archive at a path, or in a bytes-like object.

        A path is read into memory, so that nothing done to the file later
        reaches the graph; mmap=True maps it instead, and the caller then
        promises that nobody truncates the file or writes into it while the
        graph lives (a shrunk map kills the process). A path that is not a
        regular file is read up to max_input_size bytes (ValueError past
        it). A bytes object, or a read-only mmap (the same promise), is read
        where it is; other buffers, which can change, are copied first.
        Raises ArchiveError (a ValueError) naming the offset and the fault
        of invalid bytes.
        """
        return super().open(bytes_of(source, mmap=mmap, max_input_size=max_input_size))

    def _list(self, which: int) -> range:
        return range(self._list_len(which))

    @property
    def nodes(self) -> NodeSequence:
        """The nodes, by id: a read-only sequence of Node."""
        return NodeSequence(self, _NODES, self._list(_NODES))

    @property
    def transitions(self) -> TransitionSequence:
        """The transitions, sorted by (from_, field): a read-only sequence."""
        return TransitionSequence(self, _TRANSITIONS, self._list(_TRANSITIONS))

    @property
    def roots(self) -> RootSequence:
        """The roots in archive order: a read-only sequence of Root."""
        return RootSequence(self, _ROOTS, self._list(_ROOTS))

    @property
    def leaf_ranges(self) -> RangeSequence:
        """The (lo, hi) value range of each range leaf."""
        return RangeSequence(self, _LEAF_RANGES, self._list(_LEAF_RANGES))

    @property
    def ext_ranges(self) -> RangeSequence:
        """All extension ranges (lo, hi), the sets end to end."""
        return RangeSequence(self, _EXT_RANGES, self._list(_EXT_RANGES))

    @property
    def ext_range_sets(self) -> RangeSequence:
        """Each extension-range set as (start, count) in ext_ranges."""
        return RangeSequence(self, _EXT_RANGE_SETS, self._list(_EXT_RANGE_SETS))

    def summary(self) -> dict[str, int]:
        """The sizes of the graph's lists, and its flags, by name."""
        return {
            "nodes": len(self.nodes),
            "transitions": len(self.transitions),
            "roots": len(self.roots),
            "leaf_ranges": len(self.leaf_ranges),
            "ext_ranges": len(self.ext_ranges),
            "ext_range_sets": len(self.ext_range_sets),
            "state_count": self.state_count,
            "merged_flag": int(self.merged_flag),
            "nbytes": self.nbytes,
        }
