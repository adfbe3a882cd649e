// Hopcroft minimisation of the raw automaton.
//
// Two named states are equivalent when they share node type, extension-range
// set and outgoing symbols (field number, label | packed << 2) and their
// targets are equivalent symbol by symbol. States 0 and 1 and every leaf stay
// alone. Block numbers are fully deterministic: named-state blocks 0..M-1 in
// order of first occurrence by state index, leaf position i in block M + i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/state_space.hpp"
#include "common/progress.hpp"
#include "common/result.hpp"

namespace korvex {

// `range_count` is R, the number of range leaves. `progress` may be empty.
// The working arrays number states, transitions and their cords in 32 bits:
// a graph that needs more than 4294967294 of any of them is refused with
// "cannot minimise: <n> <what> exceeds the 32-bit index limit of 4294967294
// <what>".
Result<Partition> minimize(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress);

// One worklist pair whose predecessor set was not empty: its 1-based queue
// position and the number of blocks once its splits were done.
struct RefinementStep {
  std::uint64_t taken = 0;
  std::uint64_t blocks = 0;

  friend bool operator==(const RefinementStep&, const RefinementStep&) = default;
};

// `minimize`, also appending every such pair to `steps`, in order; for checks
// that follow the refinement pair by pair.
Result<Partition> minimize_traced(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress,
                          std::vector<RefinementStep>& steps);

// The rounded-up work estimate as the total of the progress reports: 0 for
// a negative or not-a-number value, 2^64 - 1 for anything at or beyond 2^64.
std::uint64_t saturate_to_u64(double value) noexcept;

// Paces the progress reports of the refinement: (0, total) at the start,
// then at most 99 reports (value, total) with strictly rising whole percent
// and value < total, value = min(floor(taken * total / initial_length),
// total - 1), and (total, total) at the end. `taken` is the 1-based queue
// position of a worklist pair whose predecessor set was not empty. Reports
// between start and finish need total > 0 and initial_length > 0. The next
// reporting position is precomputed, so a pair that reports nothing costs
// one comparison. `progress` is kept by reference and must outlive the pacer.
class ProgressPacer {
 public:
  ProgressPacer(std::uint64_t total, std::uint64_t initial_length, const ProgressFn& progress);

  void start() const;
  void after_pair(std::uint64_t taken) {
    if (taken >= next_report_) report(taken);
  }
  void finish() const;

 private:
  void report(std::uint64_t taken);
  void arm();

  std::uint64_t total_;
  std::uint64_t initial_length_;
  const ProgressFn& progress_;
  std::uint64_t last_percent_ = 0;
  std::uint64_t next_report_ = 0;  // smallest taken that raises the percent
};

}  // namespace korvex
