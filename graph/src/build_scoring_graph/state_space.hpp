// The state index space of the bake and the codes that travel with it: one
// home for what the reader, the raw graph, the minimiser, the compilers and
// the dump must agree on. It includes nothing of the stages, so each of them
// can build on it without building on another.
//
// A raw automaton with N named states and R range leaves numbers its states
//   0 .. N-1    named states (message and group types; 0 and 1 are always
//               the two well-known types)
//   N + p       fixed leaf at position p, 0 <= p < 7
//   N + 7 + k   range leaf k, 0 <= k < R
// Raw transitions name leaves by negative sentinels:
//
//   position    0    1    2    3    4    5    6    7+k
//   sentinel   -5   -6   -7   -4   -3   -2   -1   -9-k     (-8 is never valid)
//   field kind i64  u32  i32  dbl  byt  str  flt  bool/enum, range k
//   node type   0    8    9    1    2    2*   5    0, range k   (* string flag)
//
// A Partition puts every state index into a block; the minimiser computes it
// and the minimising compiler makes one node per block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "build_scoring_graph/serial/graph_format.hpp"

namespace korvex {

// ------------------------------------------------------------------ codes --

// Kind of a field, from its YAML "type" spelling.
enum class FieldKind : std::uint8_t {
  kInt32 = 0,    // int32
  kUint32 = 1,   // uint32, sint32
  kInt64 = 2,    // int64, uint64, sint64
  kRanged = 3,   // bool, enum (carry a value range)
  kDouble = 4,   // double
  kString = 5,   // string
  kBytes = 6,    // bytes
  kMessage = 7,  // message, group (carry a child type)
  kFloat = 8,    // float
};

// Label of a field; an absent label is optional.
enum class Label : std::uint8_t { kOptional = 0, kRequired = 1, kRepeated = 2 };

// The byte that records and archives store for a code.
template <class Code>
constexpr std::uint8_t code_of(Code c) noexcept {
  return std::to_underlying(c);
}

// Node type codes: build_scoring_graph/serial/graph_format.hpp.

// A compiled node keeps its range leaf and extension-range set as 16-bit
// indexes whose all-ones value means "none".
inline constexpr std::uint16_t kNone16 = serial::kNoIndex;
inline constexpr std::size_t kMaxExtRangeSets = 65534;
inline constexpr std::size_t kMaxRangeLeaves = 65535;

// ----------------------------------------------------------------- leaves --

inline constexpr std::uint32_t kFixedLeafCount = 7;
inline constexpr std::int32_t kFixedLeafSentinel[kFixedLeafCount] = {-5, -6, -7, -4, -3, -2, -1};
inline constexpr std::uint32_t kStringLeafPosition = 5;

namespace detail {
// Position of the fixed sentinels -1 .. -7, indexed by -sentinel.
inline constexpr std::uint8_t kFixedPositionOfNegated[8] = {0, 6, 5, 4, 3, 0, 1, 2};
inline constexpr std::uint8_t kFixedLeafType[kFixedLeafCount] = {
    node_type::kVarint,      node_type::kVarint32,    node_type::kInt32,  node_type::kFixed64,
    node_type::kLengthDelim, node_type::kLengthDelim, node_type::kFixed32};
}  // namespace detail

constexpr std::int32_t range_leaf_sentinel(std::uint32_t k) noexcept { return -9 - static_cast<std::int32_t>(k); }

// Sentinel of leaf position p: fixed below 7, range leaf p - 7 above.
constexpr std::int32_t leaf_sentinel(std::size_t position) noexcept {
  return position < kFixedLeafCount ? kFixedLeafSentinel[position]
                                    : range_leaf_sentinel(static_cast<std::uint32_t>(position - kFixedLeafCount));
}

// Leaf position of a sentinel, or nothing for -8, a range leaf k not below
// `range_count`, or any value that is not negative.
constexpr std::optional<std::size_t> leaf_position(std::int32_t sentinel, std::size_t range_count) noexcept {
  if (sentinel >= -7 && sentinel <= -1) return detail::kFixedPositionOfNegated[-sentinel];
  if (sentinel <= -9) {
    const auto k = static_cast<std::uint64_t>(-9 - static_cast<std::int64_t>(sentinel));
    if (k < range_count) return kFixedLeafCount + k;
  }
  return std::nullopt;
}

// Fixed leaf position in which a field of a scalar kind ends. Kinds without
// a fixed leaf of their own, and codes nobody defined, end in the int32 leaf.
constexpr std::uint32_t fixed_leaf_position(FieldKind kind) noexcept {
  switch (kind) {
    case FieldKind::kInt64: return 0;
    case FieldKind::kUint32: return 1;
    case FieldKind::kDouble: return 3;
    case FieldKind::kBytes: return 4;
    case FieldKind::kString: return 5;
    case FieldKind::kFloat: return 6;
    default: return 2;
  }
}

// What the node of a leaf position carries. The caller keeps range leaves
// within kMaxRangeLeaves, so that the 16-bit range index is exact.
struct LeafNode {
  std::uint8_t type = 0;
  bool is_string = false;
  std::uint16_t range = kNone16;
};
constexpr LeafNode leaf_node(std::size_t position) noexcept {
  if (position < kFixedLeafCount) {
    return LeafNode{detail::kFixedLeafType[position], position == kStringLeafPosition, kNone16};
  }
  return LeafNode{node_type::kVarint, false, static_cast<std::uint16_t>(position - kFixedLeafCount)};
}

// ------------------------------------------------------------ state index --

// State index of a raw transition target (a named id or a leaf sentinel) in
// a space of `named` named states and `range_count` range leaves, or nothing
// for a target that no build produces.
constexpr std::optional<std::size_t> state_index(std::int32_t to, std::size_t named,
                                                 std::size_t range_count) noexcept {
  if (to >= 0) {
    if (static_cast<std::size_t>(to) < named) return static_cast<std::size_t>(to);
    return std::nullopt;
  }
  const auto position = leaf_position(to, range_count);
  if (!position) return std::nullopt;
  return named + *position;
}

// Sentinels and positions are inverse to each other, and -8 and a range leaf
// past the registry have no position.
static_assert([] {
  constexpr std::size_t kRanges = 3;
  for (std::size_t p = 0; p < kFixedLeafCount + kRanges; ++p) {
    if (leaf_position(leaf_sentinel(p), kRanges) != p) return false;
  }
  return !leaf_position(-8, kRanges) && !leaf_position(range_leaf_sentinel(kRanges), kRanges) &&
         !leaf_position(0, kRanges);
}());

// -------------------------------------------------------------- partition --

struct Partition {
  std::vector<std::uint32_t> block_of;  // one block per state index
  std::uint32_t num_blocks = 0;         // M + 7 + R for a minimiser result

  friend bool operator==(const Partition&, const Partition&) = default;
};

// Every state alone in its own block, numbered by state index.
inline Partition identity_partition(std::uint32_t state_count) {
  Partition p;
  p.block_of.resize(state_count);
  std::iota(p.block_of.begin(), p.block_of.end(), 0u);
  p.num_blocks = state_count;
  return p;
}

}  // namespace korvex
