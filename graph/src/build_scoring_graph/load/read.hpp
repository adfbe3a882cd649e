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
// 10 000, so that an expansion bomb fails instead of exploding. An alias in
// a value that is skipped is not replayed but counts as if it were, so that
// a bomb fails wherever it stands.
//
// Field entries become ScoringField records while they are read; only an
// unknown "type" or "label" spelling keeps its text, for the message of the
// normalisation, which reports it only if the document was read without
// error and the message was not redefined later in the same document.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
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

// The accepted "type" spellings and the kind code of each.
inline constexpr std::string_view kTypeSpellings[] = {
    "int32", "uint32", "sint32", "int64", "uint64", "sint64", "bool",
    "enum",  "double", "string", "bytes", "message", "group", "float",
};
inline constexpr std::uint8_t kTypeKind[] = {
    kind::kInt32,  kind::kUint32,  kind::kUint32, kind::kInt64,  kind::kInt64,
    kind::kInt64,  kind::kRanged,  kind::kRanged, kind::kDouble, kind::kString,
    kind::kBytes,  kind::kMessage, kind::kMessage, kind::kFloat,
};
static_assert(std::size(kTypeKind) == std::size(kTypeSpellings));

// The first field entry of a message, in document order, that breaks a rule
// of the normalisation: the check order within one entry is kind, then
// range or child, then label.
struct FieldProblem {
  enum class Rule : std::uint8_t { unknown_kind, requires_range, requires_child, unknown_label };
  Rule rule = Rule::unknown_kind;
  std::uint32_t number = 0;
  std::string text;  // the "type" as written (unknown_kind, requires_child) or the "label" (unknown_label)
};

// A message entry as read. Each field entry is read straight into the
// ScoringField it becomes (kind and label codes, range kept for bool and
// enum only), so that normalising moves nothing; the fields after a problem
// are still read, for reading errors, but not kept.
struct YamlMessage {
  NodeKind kind = NodeKind::message;   // group exactly when "kind" is "GROUP"
  std::vector<ScoringField> fields;    // document order
  std::vector<ExtRange> ext_ranges;    // as written, not yet checked
  std::optional<FieldProblem> problem;
};

struct YamlFile {
  bool extension_ranges = false;
  std::vector<std::string> entries;
  // One entry per distinct name, in order of first appearance; a name given
  // twice holds its later definition.
  std::vector<std::pair<std::string, YamlMessage>> messages;
};

// A set of positions in a list of names, hashed by the name at each
// position: it finds the earlier position of an equal name without holding a
// copy of any name, and stays valid while the list grows. Open addressing
// with linear probing over (hash, position) slots.
class NameIndex {
 public:
  // Returns the position of an earlier equal name, or inserts `pos` and
  // returns it. `names` must hold a name at every inserted position.
  template <class Names, class Proj>
  std::size_t find_or_insert(const Names& names, Proj&& name_of, std::size_t pos) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::string_view name = name_of(names[pos]);
    std::uint64_t h = hash(name);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.pos == kEmpty) {
        s = Slot{h, pos};
        ++count_;
        return pos;
      }
      if (s.hash == h && name_of(names[s.pos]) == name) return s.pos;
    }
  }

 private:
  static constexpr std::size_t kEmpty = ~std::size_t{0};
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t pos = kEmpty;
  };
  static std::uint64_t hash(std::string_view s) { return std::hash<std::string_view>{}(s); }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.pos == kEmpty) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].pos != kEmpty) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// Reads one input string. The error text names the line and column (1-based)
// and what was expected; it carries no document index.
Result<YamlFile> read_document(std::string_view text);

// Normalises one message: reports its field problem, sorts the fields by
// number (stable) and checks the extension ranges. Consumes the message.
Result<NormalizedMessage> normalize_message(std::string_view name, YamlMessage&& message);

}  // namespace korvex
