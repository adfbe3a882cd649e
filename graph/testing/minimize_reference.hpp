// A deliberately plain Hopcroft minimisation, used only by the tests as the
// judge of the fast `minimize`.
//
// It keeps every working structure of the textbook formulation: hash sets of
// members per block, the full blocks x alphabet worklist with its pending set,
// groups of the predecessor set split in ascending block order, and the
// progress calls computed directly from the taken counter with 128-bit
// products. Nothing here is tuned; it must stay obviously right, not fast.
// Invariant: for every raw graph it returns the same Partition and makes the
// same sequence of progress calls as `minimize`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/hopcroft/minimize.hpp"
#include "common/progress.hpp"

namespace korvex {

Partition minimize_reference(const RawGraph& graph, std::size_t range_count,
                             const ProgressFn& progress);
// The same, also appending every pair with a non-empty predecessor set.
Partition minimize_reference_traced(const RawGraph& graph, std::size_t range_count,
                                    const ProgressFn& progress, std::vector<RefinementStep>& steps);

// The progress rule of the refinement written out term by term: `start` makes
// the (0, total) call, `after_pair` is told the taken counter of every pair
// whose predecessor set was not empty, `finish` makes the (total, total) call.
class ReferenceProgress {
 public:
  ReferenceProgress(std::uint64_t total, std::uint64_t initial_length, const ProgressFn& progress);

  void start() const;
  void after_pair(std::uint64_t taken);
  void finish() const;

 private:
  std::uint64_t total_;
  std::uint64_t initial_length_;
  const ProgressFn& progress_;
  std::uint64_t last_percent_ = 0;
};

}  // namespace korvex
