// From the records of a descriptor set to the four maps of the index: which
// file defines each message and enum (at any depth), where each file's bytes
// lie in the input, which files each file imports, and which file defines
// each extension, keyed "extendee/number" with the extendee's leading dot
// dropped. A type or extension that more than one file defines maps to the
// first of them, as the merge keeps the first definition of a message.
#include <string>
#include <unordered_set>
#include <utility>

#include "descriptor_set/descriptor_set.hpp"

namespace korvex::fds {

FdsIndex index_of(const DescriptorSet& set) {
  FdsIndex index;
  index.type_to_file.reserve(set.messages.size() + set.enums.size());
  index.file_to_span.reserve(set.files.size());
  index.dep_graph.reserve(set.files.size());
  index.ext_to_file.reserve(set.extensions.size());
  auto first = [&](std::string_view name, bool is_enum, std::size_t i) {
    auto t = set.find_type(name);
    return t && t->is_enum == is_enum && t->index == i;
  };
  std::unordered_set<std::string> extensions;  // lookups only
  for (const FileRecord& f : set.files) {
    std::string file(f.name);
    for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i)
      if (first(set.messages[i].full_name, false, i)) index.type_to_file.emplace_back(set.messages[i].full_name, file);
    for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i)
      if (first(set.enums[i].full_name, true, i)) index.type_to_file.emplace_back(set.enums[i].full_name, file);
    for (const ExtensionRecord& x : DescriptorSet::slice(set.extensions, f.extensions)) {
      std::string key = extension_key(x);
      if (extensions.insert(key).second) index.ext_to_file.emplace_back(std::move(key), file);
    }
    auto deps = DescriptorSet::slice(set.dependencies, f.dependencies);
    index.dep_graph.emplace_back(file, std::vector<std::string>(deps.begin(), deps.end()));
    index.file_to_span.emplace_back(std::move(file), f.span);
  }
  return index;
}

Result<std::vector<std::uint8_t>> index_descriptor_set(std::string_view bytes) {
  auto set = read_descriptor_set(bytes);
  if (!set) return std::unexpected(std::move(set.error()));
  return to_bytes(canonical_index(index_of(*set)));
}

}  // namespace korvex::fds
