// Reading one scoring-graph YAML document against its fixed schema.
//
// The reader walks libyaml's events (event_source.hpp) with the YAML 1.2
// core schema applied on top (core_schema.hpp). It reads exactly one
// document and drains the stream to its end, so that a syntax error anywhere
// fails; work and memory stay linear in the input (read_limits.hpp).
//
// A DocumentReader keeps what it read in flat records, reused from one
// document to the next: one record per field entry, per message and per
// extension range, with every message, child and root name interned into a
// NameTable that the caller owns (the merge passes its own, so that a name
// is hashed once and the records are ids all the way down), all names of a
// document in one batch once it has been read. Reading allocates nothing per
// name or per field once the buffers have grown, nor for the alias tape. Field
// entries become FieldRecords while they are read; only an unknown "type" or
// "label" spelling keeps its text, for the message of the normalisation,
// which reports it only if the document was read without error and the
// message was not redefined later in the same document.
//
// read_document gives the same content as owned records (YamlFile), for
// callers that keep one document on its own.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/read_limits.hpp"
#include "build_scoring_graph/load/scoring_field.hpp"
#include "common/huge_pages.hpp"
#include "common/name_table.hpp"
#include "common/result.hpp"

namespace korvex {

namespace yaml_read {
struct Tape;
}

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

// ------------------------------------------------------------ flat records

// A text in DocumentRecords::text.
struct TextRef {
  std::size_t offset = 0, size = 0;
};

struct MessageRecord {
  std::uint32_t name = NameTable::kNone;         // id in the reader's name table
  NodeKind kind = NodeKind::message;             // group exactly when "kind" is "GROUP"
  std::size_t fields_begin = 0, fields_end = 0;  // in DocumentRecords::fields, document order
  std::size_t ext_begin = 0, ext_end = 0;        // in DocumentRecords::ext_ranges, as written
  bool has_problem = false;
  FieldProblem::Rule rule = FieldProblem::Rule::unknown_kind;
  std::uint32_t problem_number = 0;
  TextRef problem_text;
};

// A document as read. The fields after a problem are read, for reading
// errors, but not kept; a name given twice holds its later definition (the
// records of the earlier one stay unreferenced in the lists).
struct DocumentRecords {
  bool extension_ranges = false;
  std::string text;                     // the texts of field problems, back to back
  std::vector<std::uint32_t> entries;   // name ids, as listed
  std::vector<MessageRecord> messages;  // one per distinct name, in order of first appearance
  std::vector<FieldRecord> fields;
  std::vector<ExtRange> ext_ranges;

  std::string_view view(TextRef r) const { return std::string_view(text).substr(r.offset, r.size); }
  std::span<const FieldRecord> fields_of(const MessageRecord& m) const {
    return std::span(fields).subspan(m.fields_begin, m.fields_end - m.fields_begin);
  }
  std::span<const ExtRange> ext_ranges_of(const MessageRecord& m) const {
    return std::span(ext_ranges).subspan(m.ext_begin, m.ext_end - m.ext_begin);
  }
  // Empties every list and keeps the storage.
  void clear();
};

// Reads documents one after another into the same records.
class DocumentReader {
 public:
  DocumentReader();
  ~DocumentReader();
  DocumentReader(DocumentReader&&) noexcept;
  DocumentReader& operator=(DocumentReader&&) noexcept;

  // Reads one input string, interning its names into `names`. The error text
  // names the line and column (1-based) and what was expected; it carries no
  // document index. After an error the records are unspecified, and `names`
  // may hold names of the failed document.
  Result<void> read(std::string_view text, NameTable& names);

  const DocumentRecords& records() const noexcept { return records_; }
  // How far the last read went, successful or not.
  ReadWork work() const noexcept { return work_; }

 private:
  // Interns the names the records number and puts their ids in place; keeps
  // one message record per name.
  void resolve_names(NameTable& names);

  DocumentRecords records_;
  // The names of the document being read, back to back, one text each,
  // numbered in order of appearance until they are interned.
  std::string names_;
  std::vector<TextRef> pending_;
  std::vector<std::string_view> views_;
  std::vector<std::uint32_t> ids_;
  std::unique_ptr<yaml_read::Tape> tape_;  // the alias tape, kept for its storage
  // Per name id: the document that last defined it as a message (the serial
  // in the high half) and that message's index in records_.messages.
  LargeVector<std::uint64_t> message_of_name_;
  std::uint32_t serial_ = 0;
  ReadWork work_;
};

// ---------------------------------------------------------- owned records

// A message entry as read, owning its texts. Each kept field entry is a
// ScoringField already (kind and label codes, range kept for bool and enum
// only), so that normalising moves nothing.
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

// Reads one input string, with the errors of DocumentReader::read.
Result<YamlFile> read_document(std::string_view text);

// The ScoringField of a field record whose child is an id in `names`.
ScoringField make_field(const NameTable& names, const FieldRecord& field);

}  // namespace korvex
