// Canonical ordering and archiving of a descriptor-set index with
// 1 000 000 entries in each of its four maps, next to memcpy of the archive.
//
// The maps are made in-process from a fixed seed and shuffled, as a caller's
// dictionaries would arrive: type names of 20 to 40 bytes, file names of 15
// to 30, import lists of 0 to 4 names, extension keys "Extendee/number".
//
//   fds_index_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fds_index/fds_index.hpp"
#include "testing/memcpy_baseline.hpp"

namespace korvex::fds {
namespace {

constexpr std::size_t kEntries = 1000000;

std::string file_name(std::size_t i) {
  return "proto/dir" + std::to_string(i % 97) + "/file_" + std::to_string(i) + ".proto";
}

const FdsIndex& raw_index() {
  static const FdsIndex index = [] {
    FdsIndex index;
    std::mt19937_64 rng(1);
    for (std::size_t i = 0; i < kEntries; ++i) {
      index.type_to_file.emplace_back("com.example.pkg" + std::to_string(i % 1000) + ".Message" + std::to_string(i),
                                      file_name(i / 10));
      index.file_to_span.emplace_back(file_name(i), Span{i * 4096, i * 4096 + 1000 + rng() % 3000});
      std::vector<std::string> deps(rng() % 5);
      for (std::string& d : deps) d = file_name(rng() % kEntries);
      index.dep_graph.emplace_back(file_name(i), std::move(deps));
      index.ext_to_file.emplace_back("com.example.Extendee" + std::to_string(i % 5000) + "/" + std::to_string(1000 + i),
                                     file_name(i % 1000));
    }
    std::shuffle(index.type_to_file.begin(), index.type_to_file.end(), rng);
    std::shuffle(index.file_to_span.begin(), index.file_to_span.end(), rng);
    std::shuffle(index.dep_graph.begin(), index.dep_graph.end(), rng);
    std::shuffle(index.ext_to_file.begin(), index.ext_to_file.end(), rng);
    return index;
  }();
  return index;
}

const FdsIndex& canonical_fixture() {
  static const FdsIndex index = canonical_index(raw_index());
  return index;
}

std::size_t archive_size() {
  static const std::size_t n = to_bytes(canonical_fixture())->size();
  return n;
}

void BM_CanonicalMapFourMaps(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FdsIndex copy = raw_index();
    state.ResumeTiming();
    FdsIndex out = canonical_index(std::move(copy));
    benchmark::DoNotOptimize(out.type_to_file.data());
    state.PauseTiming();
    out = FdsIndex{};
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4 * kEntries));
}
BENCHMARK(BM_CanonicalMapFourMaps)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_IndexToBytes(benchmark::State& state) {
  const FdsIndex& index = canonical_fixture();
  for (auto _ : state) {
    auto bytes = to_bytes(index);
    benchmark::DoNotOptimize(bytes->data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4 * kEntries));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive_size()));
  state.counters["archive_bytes"] = static_cast<double>(archive_size());
}
BENCHMARK(BM_IndexToBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

[[maybe_unused]] const int kMemcpyBaselines = testing_support::register_memcpy_baselines(&archive_size, 1.0, false);

}  // namespace
}  // namespace korvex::fds

BENCHMARK_MAIN();
