// Fuzzes the index archive: the input becomes four maps (lines "key\tvalue";
// a blank line ends a map), which are canonicalised and encoded; the result
// must not depend on the order in which the entries were given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fds_index/fds_index.hpp"

using korvex::fds::Entries;

namespace {

std::vector<std::vector<std::pair<std::string, std::string>>> parse(std::string_view in) {
  std::vector<std::vector<std::pair<std::string, std::string>>> maps(4);
  std::vector<std::set<std::string>> seen(4);
  std::size_t m = 0;
  while (!in.empty() && m < 4) {
    std::size_t nl = in.find('\n');
    std::string_view line = in.substr(0, nl);
    in.remove_prefix(nl == std::string_view::npos ? in.size() : nl + 1);
    if (line.empty()) {
      ++m;
      continue;
    }
    std::size_t tab = line.find('\t');
    std::string key(line.substr(0, tab));
    std::string value(tab == std::string_view::npos ? std::string_view{} : line.substr(tab + 1));
    if (seen[m].insert(key).second) maps[m].emplace_back(std::move(key), std::move(value));
  }
  return maps;
}

korvex::fds::FdsIndex make(const std::vector<std::vector<std::pair<std::string, std::string>>>& maps) {
  korvex::fds::FdsIndex index;
  index.type_to_file.assign(maps[0].begin(), maps[0].end());
  Entries<korvex::fds::Span> spans;
  for (const auto& [k, v] : maps[1]) spans.emplace_back(k, korvex::fds::Span{v.size(), std::hash<std::string>{}(v)});
  index.file_to_span = std::move(spans);
  Entries<std::vector<std::string>> deps;
  for (const auto& [k, v] : maps[2]) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < v.size(); i += 3) list.emplace_back(v.substr(i, 9));
    deps.emplace_back(k, std::move(list));
  }
  index.dep_graph = std::move(deps);
  index.ext_to_file.assign(maps[3].begin(), maps[3].end());
  return korvex::fds::canonical_index(std::move(index));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto maps = parse({reinterpret_cast<const char*>(data), size});
  auto bytes = korvex::fds::to_bytes(make(maps));
  for (auto& map : maps) std::reverse(map.begin(), map.end());
  auto reversed = korvex::fds::to_bytes(make(maps));
  if (!bytes || !reversed || *bytes != *reversed) std::abort();
  if (bytes->size() < 72 || (bytes->size() - 24) % 4 != 0) std::abort();
  return 0;
}
