// Merger: read, normalise and merge the documents one after another, first
// definition wins.
//
// Names move from the document into the merged map without a copy; the set
// of roots already taken holds positions in Merged::roots, so it needs no
// copy of the names either.
#include "build_scoring_graph/load/merge.hpp"

#include <string_view>
#include <utility>

#include "common/warn.hpp"

namespace korvex {

void Merger::add_roots(std::vector<std::string>& entries) {
  std::vector<std::string>& roots = merged_.roots;
  auto name_of = [](const std::string& s) -> std::string_view { return s; };
  for (std::string& name : entries) {
    roots.push_back(std::move(name));
    if (taken_roots_.find_or_insert(roots, name_of, roots.size() - 1) != roots.size() - 1) roots.pop_back();
  }
}

void Merger::add_message(std::string&& name, NormalizedMessage&& message) {
  auto [it, inserted] = merged_.messages.try_emplace(std::move(name), std::move(message));
  if (inserted) return;
  // try_emplace moved nothing: `message` still holds the new definition.
  const NormalizedMessage& first = it->second;
  if (first.fields != message.fields || first.ext_ranges != message.ext_ranges) {
    emit_warning("warning: conflicting definitions for '" + it->first + "' in scoring_graph[" +
                 std::to_string(documents_) + "]; using first\n");
  }
}

Result<void> Merger::add_yaml(std::string_view text) {
  auto file = read_document(text);
  if (!file) return fail("scoring_graph[" + std::to_string(documents_) + "]: " + file.error().message);
  all_extension_ranges_ = all_extension_ranges_ && file->extension_ranges;
  add_roots(file->entries);
  if (merged_.messages.empty()) merged_.messages.reserve(file->messages.size());
  for (auto& [name, message] : file->messages) {
    auto normalized = normalize_message(name, std::move(message));
    if (!normalized) return std::unexpected(std::move(normalized.error()));
    add_message(std::move(name), std::move(*normalized));
  }
  ++documents_;
  return {};
}

void Merger::add_normalized(NormalizedDocument&& document) {
  all_extension_ranges_ = all_extension_ranges_ && document.extension_ranges;
  add_roots(document.entries);
  if (merged_.messages.empty()) merged_.messages.reserve(document.messages.size());
  for (auto& [name, message] : document.messages) add_message(std::move(name), std::move(message));
  ++documents_;
}

Merged Merger::finish() && {
  merged_.merged_flag = documents_ > 0 && all_extension_ranges_;
  return std::move(merged_);
}

Result<Merged> merge_from_strings(std::span<const std::string> documents) {
  Merger merger;
  for (const std::string& document : documents) {
    if (auto added = merger.add_yaml(document); !added) return std::unexpected(std::move(added.error()));
  }
  return std::move(merger).finish();
}

}  // namespace korvex
