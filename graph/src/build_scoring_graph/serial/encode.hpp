// Encoding a compiled graph as a baked graph archive (its layout:
// serial/graph_format.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/serial/graph_format.hpp"
#include "common/result.hpp"

namespace korvex::serial {

// Header + payload, or the serialisation error (a root name of 2^30 bytes or
// more, or a payload that would reach 2^31 bytes).
Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph);

// As above, but refusing any payload of `payload_limit` bytes or more (never
// more than the archive limit of 2^31): lets the refusal path run on small
// graphs.
Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph, std::size_t payload_limit);

}  // namespace korvex::serial
