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

#include "build_scoring_graph/state_space.hpp"

namespace korvex {

// The kind and label codes as ScoringField stores them: plain bytes, spelled
// after the enumerations of the state space, which are their one definition.
namespace kind {
inline constexpr std::uint8_t kInt32 = code_of(FieldKind::kInt32);
inline constexpr std::uint8_t kUint32 = code_of(FieldKind::kUint32);
inline constexpr std::uint8_t kInt64 = code_of(FieldKind::kInt64);
inline constexpr std::uint8_t kRanged = code_of(FieldKind::kRanged);
inline constexpr std::uint8_t kDouble = code_of(FieldKind::kDouble);
inline constexpr std::uint8_t kString = code_of(FieldKind::kString);
inline constexpr std::uint8_t kBytes = code_of(FieldKind::kBytes);
inline constexpr std::uint8_t kMessage = code_of(FieldKind::kMessage);
inline constexpr std::uint8_t kFloat = code_of(FieldKind::kFloat);
}  // namespace kind

namespace label {
inline constexpr std::uint8_t kOptional = code_of(Label::kOptional);
inline constexpr std::uint8_t kRequired = code_of(Label::kRequired);
inline constexpr std::uint8_t kRepeated = code_of(Label::kRepeated);
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
