// Human-readable YAML dump of a compiled graph, from fixed line templates.
//
// Three sections, always present: states, transitions, roots (sorted by
// name, stably). No quoting, no blank lines, every line ends with '\n'.
#pragma once

#include <string>

#include "build_scoring_graph/graph/compiled_graph.hpp"

namespace korvex {

std::string dump_compiled(const CompiledGraph& graph);

}  // namespace korvex
