// The baked graph archive (format version 7).
//
// Payload order: nodes, transitions, out-of-line root names, roots, leaf
// ranges, extension ranges, extension-range sets, then the 56-byte
// CompiledGraph record, which ends the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "common/result.hpp"

namespace korvex::serial {

inline constexpr std::uint64_t kGraphFormatVersion = 7;

// Header + payload, or the serialisation error (a root name of 2^30 bytes or
// more, or a payload that would reach 2^31 bytes).
Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph);

// As above, but refusing any payload of `payload_limit` bytes or more (never
// more than the archive limit of 2^31): lets the refusal path run on small
// graphs.
Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph, std::size_t payload_limit);

}  // namespace korvex::serial
