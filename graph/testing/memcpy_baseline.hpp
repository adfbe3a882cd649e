// The memcpy baselines that the encoder benchmarks print beside their own
// figures, copying as many bytes as the encoder produces:
//
//   BM_MemcpyWarm            into a buffer already mapped: the bandwidth bound;
//   BM_MemcpyFresh           into a newly allocated vector: what any function
//                            returning new bytes pays for the first touch of
//                            its pages;
//   BM_MemcpyFreshHugePages  the same with the huge-page hint the archive
//                            writer gives its own large buffers: the fair
//                            baseline for a producer of fresh bytes.
//
// The byte count is asked for when a baseline first runs, so a run filtered
// to other benchmarks never builds the fixture behind it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/huge_pages.hpp"

namespace korvex::testing_support {

using ByteCount = std::size_t (*)();

inline void memcpy_warm(benchmark::State& state, ByteCount bytes) {
  const std::vector<std::uint8_t> src(bytes(), 0x5A);
  std::vector<std::uint8_t> dst(src.size(), 0);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}

inline void memcpy_fresh(benchmark::State& state, ByteCount bytes, bool huge_pages) {
  const std::vector<std::uint8_t> src(bytes(), 0x5A);
  for (auto _ : state) {
    std::vector<std::uint8_t> dst;
    dst.reserve(src.size());
    if (huge_pages) advise_huge_pages(dst.data(), dst.capacity());
    dst.insert(dst.end(), src.begin(), src.end());
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}

// Registers BM_MemcpyWarm and, with `fresh`, the two fresh baselines, in
// milliseconds of wall time over at least `min_seconds` each. Call it at
// namespace scope where the baselines belong in the listing:
//   const int kBaselines = register_memcpy_baselines(&archive_size, 2.0, true);
inline int register_memcpy_baselines(ByteCount bytes, double min_seconds, bool fresh) {
  benchmark::RegisterBenchmark("BM_MemcpyWarm", [bytes](benchmark::State& state) { memcpy_warm(state, bytes); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(min_seconds);
  if (!fresh) return 0;
  benchmark::RegisterBenchmark("BM_MemcpyFresh",
                               [bytes](benchmark::State& state) { memcpy_fresh(state, bytes, false); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(min_seconds);
  benchmark::RegisterBenchmark("BM_MemcpyFreshHugePages",
                               [bytes](benchmark::State& state) { memcpy_fresh(state, bytes, true); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(min_seconds);
  return 0;
}

}  // namespace korvex::testing_support
