"""Graph: a baked graph archive, read in place."""

from __future__ import annotations

from typing import TYPE_CHECKING, Self

from . import _native
from ._source import DEFAULT_MAX_INPUT_SIZE, bytes_of

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
