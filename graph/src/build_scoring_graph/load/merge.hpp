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
// YAML text is read into the flat records of one DocumentReader, reused
// from one document to the next, and normalised straight from them into
// Merged: a definition that loses to an earlier one is compared in place and
// never copied, and the texts are read where the caller keeps them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/normalize.hpp"
#include "build_scoring_graph/load/read.hpp"
#include "build_scoring_graph/load/scoring_field.hpp"
#include "common/result.hpp"

namespace korvex {

struct Merged {
  // Message name -> its first definition (kind, sorted fields, ext ranges;
  // an empty ext_ranges list means the name has no extension ranges).
  // Iteration order is unspecified: consumers sort names themselves.
  std::unordered_map<std::string, NormalizedMessage> messages;
  std::vector<std::string> roots;
  bool merged_flag = false;
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
  void add_roots(std::vector<std::string>& entries);
  void add_root(std::string_view name);
  // Keeps the first definition of `name`, warning when a later one differs.
  void add_message(std::string&& name, NormalizedMessage&& message);
  // The same for a message of the document just read.
  Result<void> add_read_message(const MessageRecord& message);
  void warn_conflict(std::string_view name);

  Merged merged_;
  NameIndex taken_roots_;
  bool all_extension_ranges_ = true;
  std::size_t documents_ = 0;
  DocumentReader reader_;
  std::string key_;  // a name looked up in merged_.messages; kept while it is found there
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order_;
};

// Merges documents given as UTF-8 text, in this order; the texts are read
// in place and must outlive the call.
Result<Merged> merge_from_strings(std::span<const std::string_view> documents);
Result<Merged> merge_from_strings(std::span<const std::string> documents);

}  // namespace korvex
