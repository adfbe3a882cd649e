// From the records of a descriptor set to the four maps of the index: which
// file defines each message and enum (at any depth), where each file's bytes
// lie in the input, which files each file imports, and which file defines
// each extension, keyed "extendee/number" with the extendee's leading dot
// dropped. Reading already made every key unique.
#include <string>
#include <utility>

#include "descriptor_set/descriptor_set.hpp"

namespace korvex::fds {

FdsIndex index_of(const DescriptorSet& set) {
  FdsIndex index;
  index.type_to_file.reserve(set.messages.size() + set.enums.size());
  index.file_to_span.reserve(set.files.size());
  index.dep_graph.reserve(set.files.size());
  index.ext_to_file.reserve(set.extensions.size());
  for (const FileRecord& f : set.files) {
    std::string file(f.name);
    for (const MessageRecord& m : DescriptorSet::slice(set.messages, f.messages))
      index.type_to_file.emplace_back(std::string(m.full_name), file);
    for (const EnumRecord& e : DescriptorSet::slice(set.enums, f.enums))
      index.type_to_file.emplace_back(std::string(e.full_name), file);
    for (const ExtensionRecord& x : DescriptorSet::slice(set.extensions, f.extensions))
      index.ext_to_file.emplace_back(extension_key(x), file);
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
