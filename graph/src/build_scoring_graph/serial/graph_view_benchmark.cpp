// Opening a baked graph archive (every check included) next to one memcpy
// of the same bytes into a buffer already in memory, and the lookups.
//
//   graph_view_benchmark ARCHIVE [--benchmark_repetitions=5]
//
// ARCHIVE is a graph.rkyv; the README says how to bake the one of the
// synthetic 200 000-message corpus that the figures there come from.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "build_scoring_graph/serial/graph_view.hpp"

namespace {

std::vector<std::uint8_t> g_archive;

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::uint8_t> copy(g_archive.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), g_archive.data(), g_archive.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_archive.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_OpenAndCheck(benchmark::State& state) {
  for (auto _ : state) {
    auto view = korvex::serial::GraphView::open(g_archive);
    if (!view) state.SkipWithError(view.error().message.c_str());
    benchmark::DoNotOptimize(view);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_archive.size()));
}
BENCHMARK(BM_OpenAndCheck)->Unit(benchmark::kMillisecond);

// Every transition looked up by (node, field), one pass over the graph.
void BM_FindEveryTransition(benchmark::State& state) {
  const auto view = korvex::serial::GraphView::open(g_archive);
  if (!view) return state.SkipWithError(view.error().message.c_str());
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (const auto t : view->transitions()) sum += view->find_transition(t.from, t.field)->to;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * view->transitions().size()));
}
BENCHMARK(BM_FindEveryTransition)->Unit(benchmark::kMillisecond);

void BM_FindEveryRoot(benchmark::State& state) {
  const auto view = korvex::serial::GraphView::open(g_archive);
  if (!view) return state.SkipWithError(view.error().message.c_str());
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (const auto r : view->roots()) sum += *view->root_index(r.fqdn);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * view->roots().size()));
}
BENCHMARK(BM_FindEveryRoot)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE [benchmark flags]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  g_archive.assign(std::istreambuf_iterator<char>(in), {});
  if (g_archive.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  std::fprintf(stderr, "%s: %zu bytes\n", argv[1], g_archive.size());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
