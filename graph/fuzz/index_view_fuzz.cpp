// Fuzzes opening a descriptor-set index archive. An input that starts with
// the magic is opened as it is; any other input is taken as a payload and
// given a valid version-4 header first. In an index that opens, every
// stored key must be found by lookup, with the value stored beside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "fds_index/index_view.hpp"

namespace {

template <class Map, class Same>
void check_map(const Map& map, Same same) {
  std::size_t count = 0;
  for (const auto& [key, value] : map) {
    const auto found = map.find(key);
    if (!found || !same(*found, value)) std::abort();
    ++count;
  }
  if (count != map.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes;
  if (size >= 8 && std::memcmp(data, "VELDRANE", 8) == 0) {
    bytes.assign(data, data + size);
  } else {
    static constexpr std::uint8_t kHeader[24] = {'V', 'E', 'L', 'D', 'R', 'A', 'N', 'E', 4, 0, 0, 0,
                                                 0,   0,   0,   0,   24,  0,   0,   0,   0, 0, 0, 0};
    bytes.assign(kHeader, kHeader + sizeof kHeader);
    bytes.insert(bytes.end(), data, data + size);
  }
  std::vector<std::uint8_t> exact(bytes);
  exact.shrink_to_fit();
  auto view = korvex::fds::IndexView::open(exact);
  if (!view) return 0;
  const auto equal = [](const auto& a, const auto& b) { return a == b; };
  check_map(view->type_to_file(), equal);
  check_map(view->file_to_span(), equal);
  check_map(view->ext_to_file(), equal);
  check_map(view->dep_graph(), [](const korvex::fds::Strings& a, const korvex::fds::Strings& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return false;
    return true;
  });
  for (const auto& [key, value] : view->ext_to_file()) {
    // A key "extendee/number" is found by its two pieces as well.
    const std::size_t slash = key.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == key.size() || key.size() - slash > 19) continue;
    std::int64_t number = 0;
    bool digits = key[slash + 1] != '0' || slash + 2 == key.size();
    for (std::size_t i = slash + 1; i < key.size() && digits; ++i) {
      digits = key[i] >= '0' && key[i] <= '9';
      number = number * 10 + (key[i] - '0');
    }
    if (digits && view->file_of_extension(key.substr(0, slash), number) != value) std::abort();
  }
  return 0;
}
