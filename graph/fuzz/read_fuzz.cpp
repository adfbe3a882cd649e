// libFuzzer target for the scoring-graph reader and the merge.
//
// The input is read whole as one document (and its messages normalised);
// then it is cut at every 0xFF byte, which never occurs in UTF-8, into a
// list of documents for merge_from_strings, read in place. Neither may
// crash, hang or exhaust memory, and whatever the merge accepts must keep
// the invariants that the raw graph relies on. Seeds: testdata/corpora/*/*.yaml.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/load/normalize.hpp"
#include "build_scoring_graph/load/read.hpp"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void check_message(const korvex::NormalizedMessage& m) {
  for (std::size_t i = 1; i < m.fields.size(); ++i) check(m.fields[i - 1].number <= m.fields[i].number);
  for (const auto& f : m.fields) {
    check(f.range.has_value() == (f.kind == korvex::kind::kRanged));
    check(f.kind != korvex::kind::kMessage || f.child.has_value());
    check(f.label <= korvex::label::kRepeated);
  }
  for (std::size_t i = 0; i < m.ext_ranges.size(); ++i) {
    check(m.ext_ranges[i].first <= m.ext_ranges[i].second);
    check(m.ext_ranges[i].second <= korvex::kMaxFieldNumber);
    if (i > 0) check(m.ext_ranges[i].first > m.ext_ranges[i - 1].second + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto file = korvex::read_document(text)) {
    for (auto& [name, message] : file->messages) {
      if (auto normalized = korvex::normalize_message(name, std::move(message))) check_message(*normalized);
    }
  } else {
    check(!file.error().message.empty());
  }

  std::vector<std::string_view> documents;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0xFF) {
      documents.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  auto merged = korvex::merge_from_strings(documents);
  if (merged) {
    std::unordered_set<std::uint32_t> roots(merged->roots.begin(), merged->roots.end());
    check(roots.size() == merged->roots.size());
    for (const std::uint32_t root : merged->roots) check(root < merged->names.size());
    for (const korvex::MergedMessage& message : merged->messages) {
      check(merged->find(merged->names[message.name]) == &message);
      check_message(merged->normalized(message));
    }
  } else {
    check(!merged.error().message.empty());
  }
  return 0;
}
