// Reading one scoring-graph YAML document and normalising its messages.
//
// The reader streams libyaml's events and applies the YAML 1.2 core schema
// itself (quoted scalars are strings; plain true/false, null/~/empty and
// integers are typed; yes/no/on/off stay strings). It reads exactly one
// document and drains the stream to its end, so that a syntax error anywhere
// fails. Work is linear in the input: nesting deeper than kMaxNestingDepth
// stops the parser (libyaml itself slows down quadratically on deep flow
// collections), and aliases are expanded by replaying the recorded events of
// their anchored node, at most 16 replayed events per parsed event plus
// 10 000, so that an expansion bomb fails instead of exploding.
//
// Field "type" and "label" spellings are turned into small codes while
// reading; only an unknown spelling keeps its text, for the error message of
// the normalisation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/scoring_field.hpp"
#include "common/result.hpp"

namespace korvex {

// Deepest nesting of collections accepted by the reader. A valid document
// needs five levels; the rest is room for ignored keys.
inline constexpr int kMaxNestingDepth = 256;

// The accepted "type" spellings, indexed by YamlField::type.
inline constexpr std::string_view kTypeSpellings[] = {
    "int32", "uint32", "sint32", "int64", "uint64", "sint64", "bool",
    "enum",  "double", "string", "bytes", "message", "group", "float",
};
inline constexpr std::uint8_t kTypeCount = std::size(kTypeSpellings);
inline constexpr std::uint8_t kUnknownType = 0xFF;
inline constexpr std::uint8_t kUnknownLabel = 0xFF;

// Kind code of each accepted spelling (same index as kTypeSpellings).
inline constexpr std::uint8_t kTypeKind[] = {
    kind::kInt32,  kind::kUint32,  kind::kUint32, kind::kInt64,  kind::kInt64,
    kind::kInt64,  kind::kRanged,  kind::kRanged, kind::kDouble, kind::kString,
    kind::kBytes,  kind::kMessage, kind::kMessage, kind::kFloat,
};
static_assert(std::size(kTypeKind) == std::size(kTypeSpellings));

struct YamlField {
  std::uint32_t number = 0;
  std::uint8_t type = kUnknownType;        // index into kTypeSpellings
  std::uint8_t label = label::kOptional;   // label code, or kUnknownLabel
  bool packed = false;
  std::optional<std::string> child;        // absent when missing or null
  std::optional<ValueRange> range;         // absent when missing or null
  std::string unknown_type;                // the text, when type == kUnknownType
  std::string unknown_label;               // the text, when label == kUnknownLabel

  std::string_view type_text() const {
    return type == kUnknownType ? std::string_view(unknown_type) : kTypeSpellings[type];
  }
};

struct YamlMessage {
  std::string kind;  // "GROUP" marks a group; empty when absent
  std::vector<YamlField> fields;
  std::vector<ExtRange> ext_ranges;
};

struct YamlFile {
  bool extension_ranges = false;
  std::vector<std::string> entries;
  // One entry per distinct name, in order of first appearance; a name given
  // twice holds its later definition.
  std::vector<std::pair<std::string, YamlMessage>> messages;
};

// Reads one input string. The error text names the line and column (1-based)
// and what was expected; it carries no document index.
Result<YamlFile> read_document(std::string_view text);

// Checks and normalises one message: kind, fields sorted by number (stable),
// checked extension ranges. Consumes the message's strings.
Result<NormalizedMessage> normalize_message(std::string_view name, YamlMessage&& message);

}  // namespace korvex
