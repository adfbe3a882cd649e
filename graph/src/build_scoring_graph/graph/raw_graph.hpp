// The raw automaton: one state per message type, shared leaves for scalars.
//
// Named states are numbered "google.protobuf.Any" 0, "google.protobuf.
// MessageSet" 1, then the declared names in byte order, then the children
// that are referenced but never declared, in walk order; the leaves follow
// (state_space.hpp has the whole index space and the leaf sentinels).
//
// Everything here is a pure function of Merged: every enumeration that feeds
// a numbering is sorted first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/state_space.hpp"
#include "common/result.hpp"

namespace korvex {

struct RawTransition {
  std::uint32_t from = 0;
  std::uint32_t field = 0;
  std::int32_t to = 0;  // >= 0: named state id; < 0: leaf sentinel
  std::uint8_t label = 0;
  std::uint8_t packed = 0;

  friend bool operator==(const RawTransition&, const RawTransition&) = default;
};

struct RawGraph {
  std::vector<RawTransition> transitions;          // generation order
  std::vector<std::vector<ExtRange>> ext_range_sets;  // sorted, distinct
  std::unordered_map<std::string, std::uint32_t> name_to_id;
  std::vector<std::string> names;       // id -> name, size N
  std::vector<std::uint8_t> node_type;  // id -> 3 (group) or 10 (message), size N
  std::vector<std::uint16_t> ext_of;    // id -> index into ext_range_sets, kNone16 if none; size N
  std::uint32_t state_count = 0;        // N + 7 + R
  bool merged_flag = false;

  std::uint32_t named_count() const { return static_cast<std::uint32_t>(node_type.size()); }
};

struct LeafRegistry {
  std::vector<ValueRange> ranges;  // range leaf k, in order of first use
  std::unordered_map<std::uint64_t, std::int32_t> range_to_sentinel;  // packed (lo, hi) -> sentinel
};

struct BuiltGraph {
  RawGraph graph;
  LeafRegistry leaves;
};

// Fails only on the limits: too many distinct extension-range sets (the
// message is fixed), or more bool/enum value ranges than a 16-bit range index
// can tell apart.
Result<BuiltGraph> build(const Merged& merged);

// The error for `count` (> kMaxRangeLeaves) distinct bool/enum value ranges.
// build returns it; the compilers refuse a registry that large with the same
// text rather than let range indexes alias.
Error too_many_range_leaves(std::size_t count);

}  // namespace korvex
