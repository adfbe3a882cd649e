// Fuzzes the descriptor-set reader: any bytes either fail with one error of
// the reader, or read into a set whose records keep their invariants, whose
// index encodes, and whose documents (when they convert, and exactly then
// their YAML too) bake. The same bytes read as two inputs, cut after the
// first file, read alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "descriptor_set/descriptor_set.hpp"

using namespace korvex;

namespace {

void check_records(const fds::DescriptorSet& set, std::size_t size) {
  for (const fds::FileRecord& f : set.files) {
    if (f.span.start > f.span.end || f.span.end > size || f.name.empty()) std::abort();
    if (f.messages.begin > f.messages.end || f.messages.end > set.messages.size()) std::abort();
  }
  for (std::size_t i = 0; i < set.messages.size(); ++i) {
    const fds::MessageRecord& m = set.messages[i];
    if (m.parent != fds::kNone && m.parent >= i) std::abort();
    if (m.fields.end > set.fields.size() || m.ext_ranges.end > set.ext_ranges.size()) std::abort();
    // The first message of the name, maybe of another file, whose chain
    // leads to this one.
    std::uint32_t first = set.find_message(m.full_name);
    while (first != fds::kNone && first < i) first = set.next_message(first);
    if (first != i || m.file >= set.files.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto set = fds::read_descriptor_set(bytes);
  if (!set) {
    if (!set.error().message.starts_with("descriptor set")) std::abort();
    return 0;
  }
  check_records(*set, size);
  auto index = fds::to_bytes(fds::canonical_index(fds::index_of(*set)));
  auto direct = fds::index_descriptor_set(bytes);
  if (!index || !direct || *index != *direct) std::abort();
  if (set->files.size() > 1) {
    const std::size_t cut = set->files[0].span.end;  // where the first file's entry ends
    std::string_view parts[] = {bytes.substr(0, cut), bytes.substr(cut)};
    auto apart = fds::index_descriptor_sets(parts);
    if (!apart || *apart != *direct) std::abort();
  }
  auto docs = fds::documents_of(*set);
  auto texts = fds::yaml_documents_of(*set);
  if (!docs) {
    if (!docs.error().message.starts_with("descriptor set") || texts) std::abort();
    return 0;
  }
  if (!texts && !texts.error().message.contains("would both be written as")) std::abort();
  Merger merger;
  for (NormalizedDocument& doc : *docs) merger.add_normalized(std::move(doc));
  (void)bake_merged(std::move(merger).finish(), BakeRequest{});
  return 0;
}
