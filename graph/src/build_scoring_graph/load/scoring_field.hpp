// The normalised form of one message of a scoring-graph document, in two
// shapes: ScoringField and NormalizedMessage own their texts (documents made
// from a descriptor set, read_document, tests); FieldRecord is the same field
// with its child as an id in a NameTable, 20 bytes, which the reader
// (read.hpp) writes and the merge (merge.hpp) and the raw graph
// (graph/raw_graph.hpp) keep and read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "build_scoring_graph/state_space.hpp"
#include "common/name_table.hpp"

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

// A field with its child name interned: `child` is a NameTable id, or
// NameTable::kNone when the entry has none. `range` holds a value exactly
// when `has_range` (the reader keeps one for kind::kRanged alone) and is zero
// otherwise, so that equal fields compare equal as plain records.
struct FieldRecord {
  std::uint32_t number = 0;
  std::uint32_t child = NameTable::kNone;
  ValueRange range{};
  std::uint8_t label = label::kOptional;
  std::uint8_t kind = kind::kInt32;
  bool packed = false;
  bool has_range = false;

  bool has_child() const noexcept { return child != NameTable::kNone; }
  friend bool operator==(const FieldRecord&, const FieldRecord&) = default;
};
static_assert(sizeof(FieldRecord) == 20);

// One message after normalisation: fields sorted by number (stable), and a
// checked, strictly ascending, gap-separated list of extension ranges.
struct NormalizedMessage {
  NodeKind kind = NodeKind::message;
  std::vector<ScoringField> fields;
  std::vector<ExtRange> ext_ranges;
};

}  // namespace korvex
