"""Index: a descriptor-set index archive, read in place, and the read-only
mapping views over its four maps."""

from __future__ import annotations

import bisect
from collections.abc import ItemsView, Iterable, Iterator, Mapping, Sequence, ValuesView
from typing import TYPE_CHECKING, Generic, Self, TypeVar, cast

from . import _native
from ._extract import NoSpan, NotThere, entry_ends_at, entry_name
from ._native import Span
from ._source import DEFAULT_MAX_INPUT_SIZE, bytes_of

if TYPE_CHECKING:
    from ._source import Source

V = TypeVar("V")

# The maps' numbers in the archive, as the native lookups take them.
_MAPS = ("type_to_file", "file_to_span", "dep_graph", "ext_to_file")


class MapView(Mapping[str, V], Generic[V]):
    """One map of an index archive as a read-only mapping: each lookup is a
    probe of the archive's own hash table; iteration follows its buckets."""

    __slots__ = ("_index", "_which")

    def __init__(self, index: _native.Index, which: int) -> None:
        self._index = index
        self._which = which

    def __getitem__(self, key: str) -> V:
        value = self._index._map_get(self._which, key) if isinstance(key, str) else None
        if value is None:
            raise KeyError(key)
        return cast(V, value)

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self._index._map_get(self._which, key) is not None

    def __iter__(self) -> Iterator[str]:
        return cast(Iterator[str], self._index._map_iter(self._which, 0))

    def __len__(self) -> int:
        return self._index._map_len(self._which)

    def items(self) -> ItemsView[str, V]:
        return _Items(self)

    def values(self) -> ValuesView[V]:
        return _Values(self)

    def _iter_items(self) -> Iterator[tuple[str, V]]:
        return cast(Iterator[tuple[str, V]], self._index._map_iter(self._which, 2))

    def _iter_values(self) -> Iterator[V]:
        return cast(Iterator[V], self._index._map_iter(self._which, 1))

    def __repr__(self) -> str:
        return f"<korvex_graph.MapView {_MAPS[self._which]} of {len(self)} entries>"


class _Items(ItemsView[str, V]):
    # One pass over the buckets instead of a lookup per key.
    __slots__ = ("_view",)

    def __init__(self, view: MapView[V]) -> None:
        super().__init__(view)
        self._view = view

    def __iter__(self) -> Iterator[tuple[str, V]]:
        return self._view._iter_items()


class _Values(ValuesView[V]):
    __slots__ = ("_view",)

    def __init__(self, view: MapView[V]) -> None:
        super().__init__(view)
        self._view = view

    def __iter__(self) -> Iterator[V]:
        return self._view._iter_values()


class Index(_native.Index):
    """A descriptor-set index archive (what build_fds_index returns),
    checked once when opened and then read in place.

    ``file_of_type``, ``span_of_file``, ``imports_of`` and
    ``file_of_extension`` look one entry up (None when absent); the four
    maps are also offered as read-only mappings, and ``to_dicts()`` gives
    back the dictionaries the index was built from.
    """

    __slots__ = ()

    @classmethod
    def open(cls, source: Source, *, mmap: bool = False, max_input_size: int = DEFAULT_MAX_INPUT_SIZE) -> Self:
        """Open the index archive at a path, or in a bytes-like object.

        Sources are taken as Graph.open takes them: a path read into memory
        (mmap=True maps it, with the same promise), bytes and read-only maps
        read in place, other buffers copied. Raises ArchiveError (a
        ValueError) naming the offset and the fault of invalid bytes.
        """
        return super().open(bytes_of(source, mmap=mmap, max_input_size=max_input_size))

    @property
    def type_to_file(self) -> MapView[str]:
        """Fully-qualified type name -> file that defines it."""
        return MapView(self, 0)

    @property
    def file_to_span(self) -> MapView[Span]:
        """File -> Span(start, end) of its descriptor in the raw .pb file."""
        return MapView(self, 1)

    @property
    def dep_graph(self) -> MapView[tuple[str, ...]]:
        """File -> the files it imports directly, in order."""
        return MapView(self, 2)

    @property
    def ext_to_file(self) -> MapView[str]:
        """"extendee/number" -> file that defines the extension."""
        return MapView(self, 3)

    def closure(self, files: Iterable[str]) -> list[str]:
        """The given files and everything they import, transitively, each
        once, every file after the files it imports. A file the index does
        not know imports nothing; an import cycle is cut where it closes.
        """
        if isinstance(files, str):
            raise TypeError("closure() takes an iterable of file names, not a single str")
        order: list[str] = []
        seen: set[str] = set()
        for root in files:
            if root in seen:
                continue
            seen.add(root)
            # Depth first without recursion: a file is emitted once all its
            # imports have been.
            stack: list[tuple[str, Iterator[str]]] = [(root, iter(self.imports_of(root) or ()))]
            while stack:
                name, imports = stack[-1]
                for imported in imports:
                    if imported not in seen:
                        seen.add(imported)
                        stack.append((imported, iter(self.imports_of(imported) or ())))
                        break
                else:
                    stack.pop()
                    order.append(name)
        return order

    def file_slices(self, sets: Sequence[bytes], files: Iterable[str]) -> list[tuple[str, bytes]]:
        """(file, its descriptor's bytes) for the given files and everything
        they import, every file after the files it imports, copied out of the
        descriptor sets the index was made from, given in the same order (its
        spans count from the start of the first). Raises NoSpan for a file
        the index holds no span for, NotThere for one whose entry the sets
        do not hold where the index says (both ValueErrors)."""
        starts = [0]
        for data in sets:
            starts.append(starts[-1] + len(data))
        slices = []
        for file in self.closure(files):
            span = self.span_of_file(file)
            if span is None:
                raise NoSpan(file)
            start, end = span
            k = max(bisect.bisect_right(starts, start) - 1, 0)
            data = sets[min(k, len(sets) - 1)] if sets else b""
            local = start - starts[k]
            if not (k < len(sets) and end - starts[k] <= len(data) and entry_ends_at(data, local, end - start)
                    and entry_name(data, local, local + end - start) == file.encode("utf-8", "surrogatepass")):
                raise NotThere(file, start, end)
            slices.append((file, data[local:local + end - start]))
        return slices

    def to_dicts(
        self,
    ) -> tuple[dict[str, str], dict[str, tuple[int, int]], dict[str, list[str]], dict[str, str]]:
        """The four maps as the dictionaries build_fds_index takes: equal to
        the ones the index was built from."""
        return (
            dict(self.type_to_file._iter_items()),
            {file: (span.start, span.end) for file, span in self.file_to_span._iter_items()},
            {file: list(imports) for file, imports in self.dep_graph._iter_items()},
            dict(self.ext_to_file._iter_items()),
        )
