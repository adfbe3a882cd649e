// The whole scoring-graph bake, in its fixed order:
//
//   read + merge -> raw graph -> minimise -> compile -> encode
//     [-> compile_initial -> dump]  [-> dump]
//
// Each stage takes its inputs by reference and returns a new value or an
// Error whose text is what the caller shows. Intermediate values are dropped
// as soon as nothing reads them any more.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "common/progress.hpp"
#include "common/result.hpp"

namespace korvex {

struct BakeRequest {
  bool emit_yaml = false;
  bool emit_initial_yaml = false;
  ProgressFn progress;  // may be empty
};

struct BakeOutput {
  std::vector<std::uint8_t> archive;        // the baked graph, header included
  std::optional<std::string> yaml;          // minimised graph, when asked for
  std::optional<std::string> initial_yaml;  // unminimised graph, when asked for
  std::uint32_t raw_state_count = 0;        // states before minimisation, for summaries
};

inline constexpr const char* kNoEntriesMessage =
    "no scoring-graph entries found in provided YAML strings";

// The documents are UTF-8 texts, read in place: they must stay unchanged
// until the call returns.
Result<BakeOutput> bake_scoring_graph(std::span<const std::string_view> documents, const BakeRequest& request);
Result<BakeOutput> bake_scoring_graph(std::span<const std::string> documents, const BakeRequest& request);

// The stages after the merge, for input merged by the caller (for example
// from documents made out of a descriptor set). Consumes `merged`.
Result<BakeOutput> bake_merged(Merged&& merged, const BakeRequest& request);

}  // namespace korvex
