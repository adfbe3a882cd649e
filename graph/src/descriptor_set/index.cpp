// From the records of a descriptor set to the four maps of the index: which
// file defines each message and enum (at any depth), where each file's bytes
// lie in the inputs laid end to end, which files each file imports, and which
// file defines each extension, keyed "extendee/number" with the extendee's
// leading dot dropped. A type or extension that more than one file defines
// maps to the first of them, as the merge keeps the first definition of a
// message; the later files are named in one warning line per name.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/warn.hpp"
#include "descriptor_set/descriptor_set.hpp"

namespace korvex::fds {
namespace {

// "warning: type 'p.M' is defined again in 'b.proto'; the index keeps 'a.proto'\n",
// the later files counted when there are several.
std::string redefinition(std::string_view what, std::string_view name, std::string_view kept,
                         const std::vector<std::string_view>& again) {
  std::string line = "warning: " + std::string(what) + " " + quoted(name) + " is defined again in " + quoted(again[0]);
  if (again.size() > 1) {
    line += " and " + std::to_string(again.size() - 1) + " other file" + (again.size() > 2 ? "s" : "");
  }
  return line + "; the index keeps " + quoted(kept) + "\n";
}

}  // namespace

FdsIndex index_of(const DescriptorSet& set, std::vector<std::string>* redefined) {
  FdsIndex index;
  index.type_to_file.reserve(set.messages.size() + set.enums.size());
  index.file_to_span.reserve(set.files.size());
  index.dep_graph.reserve(set.files.size());
  index.ext_to_file.reserve(set.extensions.size());
  std::vector<std::string_view> again;
  // A type's entry comes from its first definition; the files of the later
  // ones, messages and enums alike, follow both chains.
  auto add_type = [&](std::string_view name, bool is_enum, std::uint32_t i, const FileRecord& f) {
    auto first = set.find_type(name);
    if (!first || first->is_enum != is_enum || first->index != i) return;
    index.type_to_file.emplace_back(name, f.name);
    if (redefined == nullptr) return;
    again.clear();
    auto note = [&](std::uint32_t file) {
      std::string_view other = set.files[file].name;
      if (other != f.name && std::find(again.begin(), again.end(), other) == again.end()) again.push_back(other);
    };
    for (std::uint32_t m = set.find_message(name); m != kNone; m = set.next_message(m)) note(set.messages[m].file);
    for (std::uint32_t e = set.find_enum(name); e != kNone; e = set.next_enum(e)) note(set.enums[e].file);
    if (!again.empty()) redefined->push_back(redefinition("type", name, f.name, again));
  };
  // Extension keys are few and rarely repeated: the later files of a key
  // are gathered as they come, and warned about once all files are read.
  std::unordered_map<std::string, std::size_t> extensions;  // key -> position in ext_to_file; lookups only
  std::vector<std::vector<std::string_view>> ext_again;
  for (const FileRecord& f : set.files) {
    for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i) add_type(set.messages[i].full_name, false, i, f);
    for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i) add_type(set.enums[i].full_name, true, i, f);
    for (const ExtensionRecord& x : DescriptorSet::slice(set.extensions, f.extensions)) {
      std::string key = extension_key(x);
      auto [it, inserted] = extensions.try_emplace(key, index.ext_to_file.size());
      if (inserted) {
        index.ext_to_file.emplace_back(std::move(key), f.name);
        ext_again.emplace_back();
      } else if (index.ext_to_file[it->second].second != f.name) {
        auto& files = ext_again[it->second];
        if (std::find(files.begin(), files.end(), f.name) == files.end()) files.push_back(f.name);
      }
    }
    auto deps = DescriptorSet::slice(set.dependencies, f.dependencies);
    index.dep_graph.emplace_back(f.name, std::vector<std::string>(deps.begin(), deps.end()));
    index.file_to_span.emplace_back(f.name, f.span);
  }
  if (redefined != nullptr) {
    for (std::size_t i = 0; i < ext_again.size(); ++i) {
      if (!ext_again[i].empty()) {
        const auto& [key, file] = index.ext_to_file[i];
        redefined->push_back(redefinition("extension", key, file, ext_again[i]));
      }
    }
  }
  return index;
}

SetResult<std::vector<std::uint8_t>> index_descriptor_sets(std::span<const std::string_view> inputs) {
  auto set = read_descriptor_sets(inputs);
  if (!set) return std::unexpected(std::move(set.error()));
  std::vector<std::string> redefined;
  FdsIndex index = index_of(*set, &redefined);
  for (const std::string& line : redefined) emit_warning(line);
  auto bytes = to_bytes(canonical_index(std::move(index)));
  if (!bytes) return std::unexpected(SetError{kNoInput, std::move(bytes.error().message)});
  return std::move(*bytes);
}

Result<std::vector<std::uint8_t>> index_descriptor_set(std::string_view bytes) {
  auto archive = index_descriptor_sets(std::span(&bytes, 1));
  if (!archive) return fail(std::move(archive.error().message));
  return std::move(*archive);
}

}  // namespace korvex::fds
