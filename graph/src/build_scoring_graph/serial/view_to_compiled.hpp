// A baked graph read back into the CompiledGraph it was encoded from.
//
// Every field comes over unchanged, the lists in archive order, so that
// to_bytes of the result gives the archive's bytes again and dump_compiled
// of it gives the very text build_graph returned beside the archive: the
// dump has one implementation, whichever side the graph comes from.
#pragma once

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/serial/graph_view.hpp"

namespace korvex::serial {

CompiledGraph to_compiled(const GraphView& view);

}  // namespace korvex::serial
