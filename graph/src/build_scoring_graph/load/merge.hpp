// Merging the per-file documents into one input for the raw graph.
//
// Documents are read one after another in input order. The first definition
// of a message name wins; a later definition that differs (fields compared
// position by position after sorting, and extension ranges) produces one
// warning line and is dropped. Root names are kept once each, in order of
// first appearance. Nothing here depends on the order in which a document's
// messages are visited, except which error or warning of one document comes
// first.
#pragma once

#include <span>
#include <string>
#include <unordered_map>
#include <vector>

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

// On a reading error of document i the message is "scoring_graph[i]: " plus
// the reader's text; a normalisation error is returned as it stands.
Result<Merged> merge_from_strings(std::span<const std::string> documents);

}  // namespace korvex
