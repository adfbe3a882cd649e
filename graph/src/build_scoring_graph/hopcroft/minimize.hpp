// Hopcroft minimisation of the raw automaton.
//
// Two named states are equivalent when they share node type, extension-range
// set and outgoing symbols (field number, label | packed << 2) and their
// targets are equivalent symbol by symbol. States 0 and 1 and every leaf stay
// alone. Block numbers are fully deterministic: named-state blocks 0..M-1 in
// order of first occurrence by state index, leaf position i in block M + i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "common/progress.hpp"

namespace korvex {

struct Partition {
  std::vector<std::uint32_t> block_of;  // one block per state index
  std::uint32_t num_blocks = 0;         // M + 7 + R

  friend bool operator==(const Partition&, const Partition&) = default;
};

// `range_count` is R, the number of range leaves. `progress` may be empty.
Partition minimize(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress);

}  // namespace korvex
