// Fuzzes the whole bake: the input is split at "\n---8<---\n" into
// documents, baked with both dumps, and every successful result is checked
// for the invariants any caller relies on (header, dump shape, determinism).
// The documents are views into the fuzzer's own buffer, read in place as the
// module reads the caller's strings, so that a read past a document's end
// is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "build_scoring_graph/pipeline.hpp"

namespace {

std::vector<std::string_view> split_documents(std::string_view input) {
  static constexpr std::string_view kSeparator = "\n---8<---\n";
  std::vector<std::string_view> docs;
  while (true) {
    std::size_t at = input.find(kSeparator);
    docs.emplace_back(input.substr(0, at));
    if (at == std::string_view::npos) break;
    input.remove_prefix(at + kSeparator.size());
  }
  return docs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return -1;
  auto docs = split_documents({reinterpret_cast<const char*>(data), size});
  std::uint64_t last_done = 0;
  bool first_call = true;
  korvex::BakeRequest request{true, true, [&](std::uint64_t done, std::uint64_t total) {
                                if (done > total || (!first_call && done < last_done)) std::abort();
                                first_call = false;
                                last_done = done;
                              }};
  auto first = korvex::bake_scoring_graph(docs, request);
  if (!first) {
    if (first.error().message.empty()) std::abort();
    return 0;
  }
  if (first->archive.size() < 24 + 56 || std::memcmp(first->archive.data(), "VELDRANE", 8) != 0) std::abort();
  if (!first->yaml || first->yaml->rfind("states:\n", 0) != 0 || first->yaml->back() != '\n') std::abort();
  auto again = korvex::bake_scoring_graph(docs, korvex::BakeRequest{true, true, {}});
  if (!again || again->archive != first->archive || again->yaml != first->yaml ||
      again->initial_yaml != first->initial_yaml)
    std::abort();
  return 0;
}
