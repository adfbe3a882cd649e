// Small builders for the graph and dump tests: Merged values and raw graphs
// written by hand, so that these tests depend neither on the YAML reader nor
// on the minimiser.
//
// merged_of inserts the messages in exactly the order given, which is what
// the order-independence tests vary.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/load/merge.hpp"

namespace korvex::testing_support {

inline ScoringField scalar(std::uint32_t number, std::uint8_t kind, std::uint8_t label = label::kOptional,
                           bool packed = false) {
  ScoringField f;
  f.number = number;
  f.kind = kind;
  f.label = label;
  f.packed = packed;
  return f;
}

inline ScoringField ranged(std::uint32_t number, std::int32_t lo, std::int32_t hi,
                           std::uint8_t label = label::kOptional, bool packed = false) {
  ScoringField f = scalar(number, kind::kRanged, label, packed);
  f.range = ValueRange{lo, hi};
  return f;
}

inline ScoringField child(std::uint32_t number, std::string type, std::uint8_t label = label::kOptional) {
  ScoringField f = scalar(number, kind::kMessage, label);
  f.child = std::move(type);
  return f;
}

inline NormalizedMessage message(std::vector<ScoringField> fields, std::vector<ExtRange> ext = {},
                                 NodeKind kind = NodeKind::message) {
  return NormalizedMessage{kind, std::move(fields), std::move(ext)};
}

inline NormalizedMessage group(std::vector<ScoringField> fields) {
  return message(std::move(fields), {}, NodeKind::group);
}

using Entries = std::vector<std::pair<std::string, NormalizedMessage>>;

// One normalised document holding `entries` (names distinct, fields kept in
// the order given) and `roots`; the flag is the merged flag.
inline Merged merged_of(const Entries& entries, std::vector<std::string> roots = {}, bool merged_flag = false) {
  Merger merger;
  merger.add_normalized(NormalizedDocument{merged_flag, std::move(roots), entries});
  return std::move(merger).finish();
}

// The names of a raw graph's named states, by id.
inline std::vector<std::string> state_names(const RawGraph& g) {
  std::vector<std::string> out;
  for (std::uint32_t id = 0; id < g.names.size(); ++id) out.emplace_back(g.names[id]);
  return out;
}

// A raw graph with the given named states (ids in list order) and `range_count`
// range leaves (ranges (k, k)); transitions are taken as they are.
inline BuiltGraph hand_graph(std::vector<std::string> names, std::vector<std::uint8_t> types,
                             std::vector<RawTransition> transitions, std::size_t range_count = 0) {
  BuiltGraph b;
  RawGraph& g = b.graph;
  for (const std::string& name : names) g.names.add(name);
  g.node_type = std::move(types);
  g.ext_of.assign(g.node_type.size(), kNone16);
  g.transitions = std::move(transitions);
  for (std::size_t k = 0; k < range_count; ++k) {
    const auto v = static_cast<std::int32_t>(k);
    b.leaves.ranges.emplace_back(v, v);
    const auto key = (static_cast<std::uint64_t>(k) << 32) | static_cast<std::uint64_t>(k);
    b.leaves.range_to_sentinel.emplace(key, range_leaf_sentinel(static_cast<std::uint32_t>(k)));
  }
  g.state_count = static_cast<std::uint32_t>(g.node_type.size() + kFixedLeafCount + range_count);
  return b;
}

}  // namespace korvex::testing_support
