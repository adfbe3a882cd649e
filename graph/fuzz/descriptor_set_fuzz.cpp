// Fuzzes the descriptor-set reader: any bytes either fail with one error of
// the reader, or read into a set whose records keep their invariants, whose
// index encodes, and whose documents (when they convert) bake.
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
    // The first definition of the name: a message too, maybe of another file.
    auto found = set.find_type(m.full_name);
    if (!found || found->is_enum || found->index > i || set.messages[found->index].full_name != m.full_name)
      std::abort();
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
  auto docs = fds::documents_of(*set);
  if (!docs) {
    if (!docs.error().message.starts_with("descriptor set")) std::abort();
    return 0;
  }
  Merger merger;
  for (NormalizedDocument& doc : *docs) merger.add_normalized(std::move(doc));
  (void)bake_merged(std::move(merger).finish(), BakeRequest{});
  return 0;
}
