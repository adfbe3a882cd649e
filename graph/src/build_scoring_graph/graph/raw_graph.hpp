// The raw automaton: one state per message type, shared leaves for scalars.
//
// State index space: named states 0..N-1 ("google.protobuf.Any" is 0,
// "google.protobuf.MessageSet" is 1, then declared names in byte order, then
// referenced-but-undeclared children), the seven fixed leaves N..N+6, and the
// range leaves N+7+k. Transitions name leaves by negative sentinels:
//
//   position   0   1   2   3   4   5   6   7+k
//   sentinel  -5  -6  -7  -4  -3  -2  -1   -9-k     (-8 is never valid)
//   kind     i64 u32 i32 dbl byt str flt  bool/enum range k
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
#include "common/result.hpp"

namespace korvex {

inline constexpr std::uint16_t kNone16 = 0xFFFF;
inline constexpr std::uint32_t kFixedLeafCount = 7;

// Limits of the compiled node's 16-bit indexes, whose 0xFFFF means "none".
inline constexpr std::size_t kMaxExtRangeSets = 65534;
inline constexpr std::size_t kMaxRangeLeaves = 65535;

// Node type codes shared by raw graph, compiled graph, archive and dump.
namespace node_type {
inline constexpr std::uint8_t kVarint = 0;     // 64-bit ints, bool/enum ranges
inline constexpr std::uint8_t kFixed64 = 1;    // double
inline constexpr std::uint8_t kLengthDelim = 2;  // bytes, string
inline constexpr std::uint8_t kGroup = 3;
inline constexpr std::uint8_t kFixed32 = 5;    // float
inline constexpr std::uint8_t kVarint32 = 8;   // uint32, sint32
inline constexpr std::uint8_t kInt32 = 9;
inline constexpr std::uint8_t kMessage = 10;
}  // namespace node_type

// Sentinel of fixed leaf position p (0..6).
inline constexpr std::int32_t kFixedLeafSentinel[kFixedLeafCount] = {-5, -6, -7, -4, -3, -2, -1};
// Node type code of fixed leaf position p; position 5 is the string leaf.
inline constexpr std::uint8_t kFixedLeafType[kFixedLeafCount] = {0, 8, 9, 1, 2, 2, 5};
inline constexpr std::uint32_t kStringLeafPosition = 5;

inline constexpr std::int32_t range_leaf_sentinel(std::uint32_t k) {
  return -9 - static_cast<std::int32_t>(k);
}

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
