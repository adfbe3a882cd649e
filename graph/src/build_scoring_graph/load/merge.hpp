// Merging the per-file documents into one input for the raw graph.
//
// Documents are merged one after another in input order. The first
// definition of a message name wins; a later definition that differs (fields
// compared position by position after sorting, and extension ranges)
// produces one warning line and is dropped. Root names are kept once each,
// in order of first appearance. Nothing here depends on the order in which a
// document's messages are visited, except which error or warning of one
// document comes first.
//
// A document arrives either as YAML text, which is read and normalised here,
// or already normalised (made from a compiled descriptor set); both kinds
// count alike for the document index that messages and warnings name.
//
// Names are interned once, into the name table of Merged, by the reader as
// it meets them; the merge keeps field records with child ids, in flat
// lists, and compares a definition that loses to an earlier one in place,
// without copying it. The texts are read where the caller keeps them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/normalize.hpp"
#include "build_scoring_graph/load/read.hpp"
#include "build_scoring_graph/load/scoring_field.hpp"
#include "common/huge_pages.hpp"
#include "common/name_table.hpp"
#include "common/result.hpp"

namespace korvex {

// The first definition of a message: its name, kind, and its fields and
// extension ranges as ranges of the flat lists of Merged.
struct MergedMessage {
  std::uint32_t name = NameTable::kNone;  // id in Merged::names
  NodeKind kind = NodeKind::message;
  std::uint32_t fields_begin = 0, fields_end = 0;  // in Merged::fields, sorted by number (stable)
  std::uint32_t ext_begin = 0, ext_end = 0;        // in Merged::ext_ranges, checked; empty when none
};

struct Merged {
  // Every name the documents used: messages, children and roots, including
  // those of definitions that were dropped.
  NameTable names;
  // First definitions, in the order in which they were first seen. Nothing
  // may depend on this order: consumers sort names themselves.
  // The large lists lie on huge pages: they are written once, in one sweep
  // each, and then read at random.
  LargeVector<MergedMessage> messages;
  LargeVector<FieldRecord> fields;
  LargeVector<ExtRange> ext_ranges;
  // Per name id: the index of its definition in `messages`, or kNone (ids
  // beyond its size have none).
  LargeVector<std::uint32_t> message_of_name;
  std::vector<std::uint32_t> roots;  // name ids, once each, in order of first appearance
  bool merged_flag = false;

  std::span<const FieldRecord> fields_of(const MergedMessage& m) const {
    return std::span(fields).subspan(m.fields_begin, m.fields_end - m.fields_begin);
  }
  std::span<const ExtRange> ext_ranges_of(const MergedMessage& m) const {
    return std::span(ext_ranges).subspan(m.ext_begin, m.ext_end - m.ext_begin);
  }
  // The definition of `name`, or null.
  const MergedMessage* find(std::string_view name) const;
  // A definition with its texts, as the owned records give it (for tests and
  // tools).
  NormalizedMessage normalized(const MergedMessage& m) const;
  std::vector<std::string> root_names() const;
};

// One document in normalised form: what reading and normalising a YAML
// document gives, without the text. Fields must be sorted by number
// (stable) and extension ranges checked, as normalize_message leaves them.
struct NormalizedDocument {
  bool extension_ranges = false;
  std::vector<std::string> entries;
  std::vector<std::pair<std::string, NormalizedMessage>> messages;
};

// Merges documents in the order they are added.
class Merger {
 public:
  // Reads, normalises and merges the next document. On a reading error the
  // message is "scoring_graph[i]: " plus the reader's text; a normalisation
  // error is returned as it stands. After an error the merger must not be
  // used again.
  Result<void> add_yaml(std::string_view text);
  // Merges the next document, already normalised.
  void add_normalized(NormalizedDocument&& document);

  // Sizes the message map once for about `bytes` of YAML text still to
  // come, instead of growing it step by step; a wrong guess costs only
  // speed.
  void expect_yaml_bytes(std::size_t bytes);

  std::size_t document_count() const noexcept { return documents_; }
  // The merged input; the flag is true exactly when at least one document
  // was added and every one had "extension_ranges" true.
  Merged finish() &&;

 private:
  void add_root(std::uint32_t name);
  // Keeps `fields` (in the given order) and `ranges` as the definition of
  // `name` when it is the first; else warns when they differ from it.
  template <class Fields>
  void add_definition(std::uint32_t name, NodeKind kind, std::size_t count, Fields&& field_at,
                      std::span<const ExtRange> ranges);
  // The same for a message of the document just read.
  Result<void> add_read_message(const MessageRecord& message);
  void warn_conflict(std::uint32_t name);

  Merged merged_;
  std::vector<bool> taken_root_;  // per name id
  bool all_extension_ranges_ = true;
  std::size_t documents_ = 0;
  DocumentReader reader_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order_;
  std::vector<FieldRecord> converted_;  // the fields of a normalised message, children interned
};

// Merges documents given as UTF-8 text, in this order; the texts are read
// in place and must outlive the call.
Result<Merged> merge_from_strings(std::span<const std::string_view> documents);
Result<Merged> merge_from_strings(std::span<const std::string> documents);

}  // namespace korvex
