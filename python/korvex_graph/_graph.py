"""Graph: a baked graph archive, read in place."""

from __future__ import annotations

from typing import TYPE_CHECKING, Self

from . import _native
from ._source import bytes_of

if TYPE_CHECKING:
    from ._source import Source


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
    def open(cls, source: Source) -> Self:
        """Open the graph archive at a path, or in a bytes-like object.

        A path is memory-mapped; other sources are read where they are. The
        graph holds a buffer of the source until it is collected, so a
        bytearray cannot be resized meanwhile. Raises ArchiveError (a
        ValueError) naming the offset and the fault of invalid bytes.
        """
        return super().open(bytes_of(source))

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
