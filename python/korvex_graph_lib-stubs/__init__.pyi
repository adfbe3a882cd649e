# Type stubs of the korvex_graph_lib extension module, written by hand as
# korvex_graph's are; python/tests/test_stubs.py holds them to the module
# (signatures, defaults, docstrings, and mypy's stubtest).
"""A native extension to build compiled scoring graphs."""

import typing

def build_graph(
    scoring_graphs: typing.Sequence[str],
    emit_yaml: bool = False,
    emit_initial_yaml: bool = False,
    on_progress: typing.Optional[typing.Any] = None,
) -> tuple[bytes, typing.Optional[str], typing.Optional[str]]:
    """Build a compiled (baked) scoring graph from in-memory YAML strings.

    Parameters
    ----------
    scoring_graphs : list[str]
        YAML content of each per-file scoring graph, as produced by
        ``morvane --emit-scoring-graphs``.  One entry per file; order does
        not matter.
    emit_yaml : bool, optional
        When True, also return the minimised (post-Hopcroft) compiled graph as
        a human-readable YAML string (spec 0059 §2 format).  Default False.
    emit_initial_yaml : bool, optional
        When True, also return the raw (pre-Hopcroft) compiled graph as a
        human-readable YAML string (spec 0059 §2 format).  Default False.

    Returns
    -------
    tuple[bytes, str | None, str | None]
        First element: serialised ``.rkyv`` content (the baked graph).
        Second element: minimised YAML when ``emit_yaml=True``, else ``None``.
        Third element: raw YAML when ``emit_initial_yaml=True``, else ``None``.

    Raises
    ------
    RuntimeError
        If any YAML string is malformed or the graph cannot be built.
    """

def build_fds_index(
    type_to_file: typing.Mapping[str, str],
    file_to_span: typing.Mapping[str, tuple[int, int]],
    dep_graph: typing.Mapping[str, typing.Sequence[str]],
    ext_to_file: typing.Mapping[str, str],
) -> bytes:
    """Serialize an FdsIndex to rkyv bytes with the VELDRANE header (version 4).

    Parameters
    ----------
    type_to_file : dict[str, str]
        Fully-qualified type name (no leading dot) → proto file name.
    file_to_span : dict[str, tuple[int, int]]
        Proto file name → (start, end) byte offsets in the raw .pb file.
    dep_graph : dict[str, list[str]]
        Proto file name → list of direct import file names.
    ext_to_file : dict[str, str]
        "extendee_fqdn/field_number" → proto file name (spec 0100 §4).

    Returns
    -------
    bytes
        Serialized ``index.rkyv`` content (VELDRANE header + rkyv payload).

    Raises
    ------
    RuntimeError
        If serialization fails.
    """
