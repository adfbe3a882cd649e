// Fuzzes opening a graph archive. An input that starts with the magic is
// opened as it is; any other input is taken as a payload and given a valid
// version-7 header first, so that most inputs reach the checks behind it.
// A view that opens must keep every invariant the checks promise, and
// reading it back (the path of Graph.to_yaml) must not fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/graph_view.hpp"
#include "testing/graph_view_invariants.hpp"
#include "build_scoring_graph/serial/view_to_compiled.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes;
  if (size >= 8 && std::memcmp(data, "VELDRANE", 8) == 0) {
    bytes.assign(data, data + size);
  } else {
    static constexpr std::uint8_t kHeader[24] = {'V', 'E', 'L', 'D', 'R', 'A', 'N', 'E', 7, 0, 0, 0,
                                                 0,   0,   0,   0,   24,  0,   0,   0,   0, 0, 0, 0};
    bytes.assign(kHeader, kHeader + sizeof kHeader);
    bytes.insert(bytes.end(), data, data + size);
  }
  // The exact size, so that the sanitizer sees any read past the end.
  std::vector<std::uint8_t> exact(bytes);
  exact.shrink_to_fit();
  auto view = korvex::serial::GraphView::open(exact);
  if (!view) return 0;
  if (!korvex::serial::check_view_invariants(*view).empty()) std::abort();
  (void)korvex::dump_compiled(korvex::serial::to_compiled(*view));
  return 0;
}
