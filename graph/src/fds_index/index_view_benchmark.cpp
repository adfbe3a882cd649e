// Opening a descriptor-set index archive with 1 000 000 entries per map
// (every check included) next to a memcpy of its bytes, and lookups of the
// types in a shuffled order (each a random walk into a 300 MB archive: the
// figure is memory latency) and in a small warm set.
//
//   index_view_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fds_index/fds_index.hpp"
#include "fds_index/index_view.hpp"

namespace korvex::fds {
namespace {

constexpr std::size_t kEntries = 1000000;

std::string file_name(std::size_t i) { return "pkg" + std::to_string(i % 97) + "/file_" + std::to_string(i) + ".proto"; }

struct Fixture {
  std::vector<std::uint8_t> archive;
  std::vector<std::string> types;  // shuffled
};

const Fixture& fixture() {
  static const Fixture f = [] {
    FdsIndex index;
    for (std::size_t i = 0; i < kEntries; ++i) {
      index.type_to_file.emplace_back("com.example.pkg" + std::to_string(i % 97) + ".Message" + std::to_string(i),
                                      file_name(i));
      index.file_to_span.emplace_back(file_name(i), Span{i * 100, i * 100 + 99});
      index.dep_graph.emplace_back(file_name(i), std::vector<std::string>(i % 4, file_name(i / 2)));
      index.ext_to_file.emplace_back("com.example.Ext" + std::to_string(i) + "/" + std::to_string(1000 + i),
                                     file_name(i));
    }
    Fixture out;
    for (const auto& [type, file] : index.type_to_file) out.types.push_back(type);
    std::shuffle(out.types.begin(), out.types.end(), std::mt19937_64(1));
    out.archive = *to_bytes(canonical_index(std::move(index)));
    return out;
  }();
  return f;
}

void BM_Memcpy(benchmark::State& state) {
  const auto& archive = fixture().archive;
  std::vector<std::uint8_t> copy(archive.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), archive.data(), archive.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_OpenAndCheck(benchmark::State& state) {
  const auto& archive = fixture().archive;
  for (auto _ : state) benchmark::DoNotOptimize(IndexView::open(archive));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive.size()));
}
BENCHMARK(BM_OpenAndCheck)->Unit(benchmark::kMillisecond);

// state.range(0) distinct types, looked up round after round.
void BM_FileOfType(benchmark::State& state) {
  const auto view = IndexView::open(fixture().archive);
  const auto& types = fixture().types;
  const auto distinct = static_cast<std::size_t>(state.range(0));
  std::size_t i = 0;
  std::size_t found = 0;
  for (auto _ : state) {
    found += view->file_of_type(types[i]).has_value();
    if (++i == distinct) i = 0;
  }
  if (found != static_cast<std::size_t>(state.iterations())) state.SkipWithError("a type was not found");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FileOfType)->Arg(1000)->Arg(kEntries);

}  // namespace
}  // namespace korvex::fds

BENCHMARK_MAIN();
