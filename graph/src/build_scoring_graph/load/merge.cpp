// merge_from_strings: read, normalise and merge the documents one after
// another, first definition wins.
//
// Names move from the document into the merged map without a copy; the set
// of roots already taken holds positions in Merged::roots, so it needs no
// copy of the names either.
#include "build_scoring_graph/load/merge.hpp"

#include <string_view>
#include <utility>

#include "build_scoring_graph/load/read.hpp"
#include "common/warn.hpp"

namespace korvex {

Result<Merged> merge_from_strings(std::span<const std::string> documents) {
  Merged merged;
  std::vector<std::string>& roots = merged.roots;
  NameIndex taken;
  auto name_of = [](const std::string& s) -> std::string_view { return s; };
  bool all_extension_ranges = true;

  for (std::size_t i = 0; i < documents.size(); ++i) {
    auto file = read_document(documents[i]);
    if (!file) return fail("scoring_graph[" + std::to_string(i) + "]: " + file.error().message);
    all_extension_ranges = all_extension_ranges && file->extension_ranges;

    for (std::string& name : file->entries) {
      roots.push_back(std::move(name));
      if (taken.find_or_insert(roots, name_of, roots.size() - 1) != roots.size() - 1) roots.pop_back();
    }

    if (merged.messages.empty()) merged.messages.reserve(file->messages.size());
    for (auto& [name, message] : file->messages) {
      auto normalized = normalize_message(name, std::move(message));
      if (!normalized) return std::unexpected(std::move(normalized.error()));
      auto [it, inserted] = merged.messages.try_emplace(std::move(name), std::move(*normalized));
      if (inserted) continue;
      // try_emplace moved nothing: `normalized` still holds the new definition.
      const NormalizedMessage& first = it->second;
      if (first.fields != normalized->fields || first.ext_ranges != normalized->ext_ranges) {
        emit_warning("warning: conflicting definitions for '" + it->first + "' in scoring_graph[" + std::to_string(i) +
                     "]; using first\n");
      }
    }
  }
  merged.merged_flag = !documents.empty() && all_extension_ranges;
  return merged;
}

}  // namespace korvex
