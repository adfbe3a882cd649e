// The normalised form of one message of a scoring-graph document.
//
// Reading (read.hpp) turns a YAML document into these records; merging
// (merge.hpp) keeps the first definition of every message name; the raw
// graph (graph/raw_graph.hpp) is built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

// Kind codes of a field, from its YAML "type" spelling.
namespace kind {
inline constexpr std::uint8_t kInt32 = 0;    // int32
inline constexpr std::uint8_t kUint32 = 1;   // uint32, sint32
inline constexpr std::uint8_t kInt64 = 2;    // int64, uint64, sint64
inline constexpr std::uint8_t kRanged = 3;   // bool, enum (carry a range)
inline constexpr std::uint8_t kDouble = 4;   // double
inline constexpr std::uint8_t kString = 5;   // string
inline constexpr std::uint8_t kBytes = 6;    // bytes
inline constexpr std::uint8_t kMessage = 7;  // message, group (carry a child)
inline constexpr std::uint8_t kFloat = 8;    // float
}  // namespace kind

// Label codes: 0 optional (also absent), 1 required, 2 repeated.
namespace label {
inline constexpr std::uint8_t kOptional = 0;
inline constexpr std::uint8_t kRequired = 1;
inline constexpr std::uint8_t kRepeated = 2;
}  // namespace label

enum class NodeKind : std::uint8_t { message, group };

using ValueRange = std::pair<std::int32_t, std::int32_t>;   // (min, max)
using ExtRange = std::pair<std::uint32_t, std::uint32_t>;   // (lo, hi), inclusive

inline constexpr std::uint32_t kMaxFieldNumber = 536870911;  // 2^29 - 1

struct ScoringField {
  std::uint32_t number = 0;
  std::uint8_t label = label::kOptional;
  std::uint8_t kind = kind::kInt32;
  bool packed = false;
  std::optional<std::string> child;  // kept as written, for every kind
  std::optional<ValueRange> range;   // present exactly for kind::kRanged

  friend bool operator==(const ScoringField&, const ScoringField&) = default;
};

// One message after normalisation: fields sorted by number (stable), and a
// checked, strictly ascending, gap-separated list of extension ranges.
struct NormalizedMessage {
  NodeKind kind = NodeKind::message;
  std::vector<ScoringField> fields;
  std::vector<ExtRange> ext_ranges;
};

}  // namespace korvex
