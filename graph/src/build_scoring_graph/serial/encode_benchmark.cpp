// Throughput of the graph encoder next to plain memcpy of the same bytes.
//
// The graph is made in-process from a fixed seed: 1 000 000 nodes, 3 000 000
// transitions, 100 000 roots with names of 40 to 90 bytes, a few thousand
// range pairs. The memcpy baselines of testing/memcpy_baseline.hpp run in
// the same process. The encoder zeroes the vector it returns once and
// writes its payload there, so it touches twice the bytes of one fresh
// memcpy, but reads none of them back.
//
//   encode_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "build_scoring_graph/serial/encode.hpp"
#include "testing/memcpy_baseline.hpp"

namespace korvex::serial {
namespace {

constexpr std::uint32_t kNodes = 1000000;
constexpr std::uint32_t kTransitions = 3000000;
constexpr std::uint32_t kRoots = 100000;

const CompiledGraph& graph() {
  static const CompiledGraph g = [] {
    CompiledGraph g;
    std::mt19937 gen(1);
    const auto rng = [&gen] { return static_cast<std::uint32_t>(gen()); };
    g.nodes.reserve(kNodes);
    g.transitions.reserve(kTransitions);
    std::uint32_t next = 0;
    for (std::uint32_t id = 0; id < kNodes; ++id) {
      // Three transitions per node on average, in sorted runs.
      const std::uint32_t left = kTransitions - next;
      const std::uint32_t count = id + 1 == kNodes ? left : std::min<std::uint32_t>(rng() % 7, left);
      g.nodes.push_back(NodeEntry{id, static_cast<std::uint8_t>(rng() % 11), false, kNone16,
                                  static_cast<std::uint16_t>(rng() % 3 == 0 ? rng() % 500 : kNone16), next, count});
      for (std::uint32_t f = 1; f <= count; ++f)
        g.transitions.push_back(TransitionEntry{id, f * 3, static_cast<std::uint8_t>(rng() % 3), 2,
                                                static_cast<std::uint8_t>(rng() % 2), rng() % kNodes});
      next += count;
    }
    for (std::uint32_t i = 0; i < kRoots; ++i) {
      std::string name = "com.example.service" + std::to_string(i % 977) + ".v1.";
      while (name.size() < 40 + rng() % 50) name += "Message";
      name += std::to_string(i);
      g.roots.push_back(RootEntry{std::move(name), rng() % kNodes});
    }
    for (int i = 0; i < 3000; ++i) g.leaf_ranges.emplace_back(-i, i * 7);
    for (std::uint32_t i = 0; i < 2000; ++i) g.ext_ranges.emplace_back(i * 100, i * 100 + 50);
    for (std::uint32_t i = 0; i < 500; ++i) g.ext_range_sets.emplace_back(i * 4, 4);
    g.state_count = kNodes;
    return g;
  }();
  return g;
}

std::size_t archive_size() {
  static const std::size_t n = to_bytes(graph())->size();
  return n;
}

void BM_GraphToBytes(benchmark::State& state) {
  const CompiledGraph& g = graph();
  for (auto _ : state) {
    auto bytes = to_bytes(g);
    benchmark::DoNotOptimize(bytes->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive_size()));
  state.counters["archive_bytes"] = static_cast<double>(archive_size());
}
BENCHMARK(BM_GraphToBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

[[maybe_unused]] const int kMemcpyBaselines = testing_support::register_memcpy_baselines(&archive_size, 2.0, true);

}  // namespace
}  // namespace korvex::serial

BENCHMARK_MAIN();
