// The documentation strings of the module and its two functions.
//
// The function texts begin with the signature header ("name(...)", "--" and
// an empty line) from which the interpreter derives __text_signature__.
#pragma once

namespace korvex::docs {

inline constexpr char kModule[] = "A native extension to build compiled scoring graphs.";

inline constexpr char kBuildGraph[] =
    "build_graph(scoring_graphs, emit_yaml=False, emit_initial_yaml=False, on_progress=None)\n"
    "--\n"
    "\n"
    "Build a compiled (baked) scoring graph from in-memory YAML strings.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "scoring_graphs : list[str]\n"
    "    YAML content of each per-file scoring graph, as produced by\n"
    "    ``morvane --emit-scoring-graphs``.  One entry per file; order does\n"
    "    not matter.\n"
    "emit_yaml : bool, optional\n"
    "    When True, also return the minimised (post-Hopcroft) compiled graph as\n"
    "    a human-readable YAML string (spec 0059 \u00a72 format).  Default False.\n"
    "emit_initial_yaml : bool, optional\n"
    "    When True, also return the raw (pre-Hopcroft) compiled graph as a\n"
    "    human-readable YAML string (spec 0059 \u00a72 format).  Default False.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "tuple[bytes, str | None, str | None]\n"
    "    First element: serialised ``.rkyv`` content (the baked graph).\n"
    "    Second element: minimised YAML when ``emit_yaml=True``, else ``None``.\n"
    "    Third element: raw YAML when ``emit_initial_yaml=True``, else ``None``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If any YAML string is malformed or the graph cannot be built.";

inline constexpr char kBuildFdsIndex[] =
    "build_fds_index(type_to_file, file_to_span, dep_graph, ext_to_file)\n"
    "--\n"
    "\n"
    "Serialize an FdsIndex to rkyv bytes with the VELDRANE header (version 4).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "type_to_file : dict[str, str]\n"
    "    Fully-qualified type name (no leading dot) \u2192 proto file name.\n"
    "file_to_span : dict[str, tuple[int, int]]\n"
    "    Proto file name \u2192 (start, end) byte offsets in the raw .pb file.\n"
    "dep_graph : dict[str, list[str]]\n"
    "    Proto file name \u2192 list of direct import file names.\n"
    "ext_to_file : dict[str, str]\n"
    "    \"extendee_fqdn/field_number\" \u2192 proto file name (spec 0100 \u00a74).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes\n"
    "    Serialized ``index.rkyv`` content (VELDRANE header + rkyv payload).\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If serialization fails.";

}  // namespace korvex::docs
