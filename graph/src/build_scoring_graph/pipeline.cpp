#include "build_scoring_graph/pipeline.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/hopcroft/minimize.hpp"
#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/encode.hpp"

namespace korvex {

Result<BakeOutput> bake_scoring_graph(std::span<const std::string_view> documents, const BakeRequest& request) {
  auto merged = merge_from_strings(documents);
  if (!merged) return std::unexpected(std::move(merged.error()));
  return bake_merged(std::move(*merged), request);
}

Result<BakeOutput> bake_scoring_graph(std::span<const std::string> documents, const BakeRequest& request) {
  std::vector<std::string_view> views(documents.begin(), documents.end());
  return bake_scoring_graph(std::span<const std::string_view>(views), request);
}

Result<BakeOutput> bake_merged(Merged&& merged, const BakeRequest& request) {
  if (merged.messages.empty()) return fail(kNoEntriesMessage);

  // The raw graph takes over the name table and holds everything later
  // stages need of the messages; only the root list of Merged, ids in that
  // table, is still read.
  auto built = build(std::move(merged));
  if (!built) return std::unexpected(std::move(built.error()));
  const std::vector<std::uint32_t> roots = std::move(merged.roots);
  merged = Merged{};

  const RawGraph& raw = built->graph;
  const LeafRegistry& leaves = built->leaves;
  BakeOutput out;
  out.raw_state_count = raw.state_count;
  {
    std::optional<CompiledGraph> minimised;
    {
      auto partition = minimize(raw, leaves.ranges.size(), request.progress);
      if (!partition) return std::unexpected(std::move(partition.error()));
      auto compiled = compile(raw, leaves, *partition, roots);
      if (!compiled) return std::unexpected(std::move(compiled.error()));
      minimised = std::move(*compiled);
    }
    auto bytes = serial::to_bytes(*minimised);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    out.archive = std::move(*bytes);

    if (request.emit_initial_yaml) {
      auto initial = compile_initial(raw, leaves, roots);
      if (!initial) return std::unexpected(std::move(initial.error()));
      out.initial_yaml = dump_compiled(*initial);
    }
    if (request.emit_yaml) out.yaml = dump_compiled(*minimised);
  }
  return out;
}

}  // namespace korvex
