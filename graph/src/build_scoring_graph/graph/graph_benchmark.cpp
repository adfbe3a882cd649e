// Timings of the graph stages on a generated input of 200 000 messages:
// build, compile_initial, compile (identity partition) and dump_compiled.
//
// The input is made in-process from a fixed seed, so the figures need neither
// the YAML reader nor the minimiser: about eight fields per message, a third
// of them message fields (a few naming undeclared types), a fifth bool/enum
// fields over a few thousand distinct ranges, and one message in twenty with
// extension ranges drawn from a few hundred distinct sets.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/serial/dump.hpp"

namespace korvex {
namespace {

constexpr std::size_t kMessages = 200000;

std::string message_name(std::size_t i) {
  std::string name = "pkg";
  name += std::to_string(i % 2000);
  name += ".sub.Message";
  name += std::to_string(i);
  return name;
}

struct Input {
  Merged merged;
  BuiltGraph built;
  CompiledGraph initial;
};

const Input& input() {
  static const Input in = [] {
    Input in;
    std::mt19937 rng(1);
    NormalizedDocument doc;
    doc.messages.reserve(kMessages);
    for (std::size_t i = 0; i < kMessages; ++i) {
      NormalizedMessage m;
      m.kind = rng() % 50 == 0 ? NodeKind::group : NodeKind::message;
      const std::size_t fields = 2 + rng() % 13;
      for (std::uint32_t n = 1; n <= fields; ++n) {
        ScoringField f;
        f.number = n;
        f.label = static_cast<std::uint8_t>(rng() % 3);
        const std::uint32_t pick = rng() % 100;
        if (pick < 33) {
          f.kind = kind::kMessage;
          f.child = rng() % 20 == 0 ? "ext.Undeclared" + std::to_string(rng() % 5000) : message_name(rng() % kMessages);
        } else if (pick < 53) {
          f.kind = kind::kRanged;
          const auto hi = static_cast<std::int32_t>(rng() % 3000);
          f.range = ValueRange{rng() % 4 == 0 ? -1 : 0, hi};
        } else {
          static constexpr std::uint8_t kScalars[] = {0, 1, 2, 4, 5, 6, 8};
          f.kind = kScalars[rng() % 7];
          f.packed = f.label == label::kRepeated && f.kind != kind::kString && f.kind != kind::kBytes;
        }
        m.fields.push_back(std::move(f));
      }
      if (rng() % 20 == 0) {
        const std::uint32_t lo = 100 + rng() % 300;
        m.ext_ranges.emplace_back(lo, lo + 99);
        if (rng() % 2) m.ext_ranges.emplace_back(1000, 536870911);
      }
      doc.messages.emplace_back(message_name(i), std::move(m));
    }
    for (std::size_t i = 0; i < 1000; ++i) doc.entries.push_back(message_name(i * 197));
    Merger merger;
    merger.add_normalized(std::move(doc));
    in.merged = std::move(merger).finish();
    in.built = *build(in.merged);
    in.initial = *compile_initial(in.built.graph, in.built.leaves, in.merged.roots);
    std::fprintf(stderr, "input: %zu messages, %u states, %zu transitions, %zu range leaves, %zu ext sets\n",
                 in.merged.messages.size(), in.built.graph.state_count, in.built.graph.transitions.size(),
                 in.built.leaves.ranges.size(), in.built.graph.ext_range_sets.size());
    return in;
  }();
  return in;
}

void BM_Build(benchmark::State& state) {
  const Input& in = input();
  for (auto _ : state) benchmark::DoNotOptimize(build(in.merged));
}

void BM_CompileInitial(benchmark::State& state) {
  const Input& in = input();
  for (auto _ : state) benchmark::DoNotOptimize(compile_initial(in.built.graph, in.built.leaves, in.merged.roots));
}

void BM_CompileIdentityPartition(benchmark::State& state) {
  const Input& in = input();
  Partition p;
  p.block_of.resize(in.built.graph.state_count);
  for (std::uint32_t s = 0; s < p.block_of.size(); ++s) p.block_of[s] = s;
  p.num_blocks = in.built.graph.state_count;
  for (auto _ : state) benchmark::DoNotOptimize(compile(in.built.graph, in.built.leaves, p, in.merged.roots));
}

void BM_Dump(benchmark::State& state) {
  const Input& in = input();
  for (auto _ : state) benchmark::DoNotOptimize(dump_compiled(in.initial));
}

BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CompileInitial)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CompileIdentityPartition)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Dump)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace korvex

BENCHMARK_MAIN();
