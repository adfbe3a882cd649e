// Rates of the writer's building blocks: the key hash, string writing, and a
// hash table of 1 000 000 string keys with u32 values, next to memcpy of the
// table's bytes. The inputs are made in-process from a fixed seed.
//
//   archive_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "archive/writer.hpp"
#include "testing/memcpy_baseline.hpp"
#include "testing/u32_codec.hpp"

namespace korvex::archive {
namespace {

constexpr std::size_t kEntries = 1000000;

using testing_support::U32Codec;

const std::vector<U32Codec::Entry>& entries() {
  static const std::vector<U32Codec::Entry> e = [] {
    std::vector<U32Codec::Entry> e;
    std::mt19937 rng(1);
    for (std::uint32_t i = 0; i < kEntries; ++i)
      e.emplace_back("com.example.pkg" + std::to_string(rng() % 1000) + ".Type" + std::to_string(i), i);
    return e;
  }();
  return e;
}

std::size_t total_key_bytes() {
  std::size_t n = 0;
  for (const auto& [k, v] : entries()) n += k.size();
  return n;
}

void BM_FxHash(benchmark::State& state) {
  const auto& e = entries();
  for (auto _ : state) {
    std::uint64_t acc = 0;
    for (const auto& [k, v] : e) acc += fx_hash(k);
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * e.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_key_bytes()));
}
BENCHMARK(BM_FxHash)->Unit(benchmark::kMillisecond);

void BM_WriteStrings(benchmark::State& state) {
  const auto& e = entries();
  for (auto _ : state) {
    Serializer s;
    for (const auto& [k, v] : e) {
      const PendingString p = s.write_string(k);
      benchmark::DoNotOptimize(p);
    }
    benchmark::DoNotOptimize(s.payload().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_key_bytes()));
}
BENCHMARK(BM_WriteStrings)->Unit(benchmark::kMillisecond);

void BM_WriteHashTable(benchmark::State& state) {
  const auto& e = entries();
  std::size_t bytes = 0;
  for (auto _ : state) {
    Serializer s;
    U32Codec codec;
    const TablePos t = s.write_hash_table(std::span<const U32Codec::Entry>(e), codec);
    benchmark::DoNotOptimize(t);
    bytes = s.pos();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * e.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["table_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WriteHashTable)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes of the table of BM_WriteHashTable, written once.
std::size_t table_bytes() {
  static const std::size_t n = [] {
    Serializer probe;
    U32Codec codec;
    probe.write_hash_table(std::span<const U32Codec::Entry>(entries()), codec);
    return probe.pos();
  }();
  return n;
}

[[maybe_unused]] const int kMemcpyBaselines = testing_support::register_memcpy_baselines(&table_bytes, 0.5, false);

}  // namespace
}  // namespace korvex::archive

BENCHMARK_MAIN();
