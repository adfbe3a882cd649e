// What every view that opened must keep, checked through the public
// accessors only: the tests and the fuzz target hold every successful open
// to it. Returns "" or the first broken promise.
#pragma once

#include <cstdint>
#include <string>

#include "build_scoring_graph/serial/graph_view.hpp"

namespace korvex::serial {

inline std::string check_view_invariants(const GraphView& v) {
  const std::uint64_t n = v.nodes().size();
  const std::uint64_t t = v.transitions().size();
  if (v.state_count() != n) return "state_count differs from the node count";
  std::uint64_t cursor = 0;
  for (std::uint32_t id = 0; id < n; ++id) {
    const Node node = v.node(id);
    if (node.id != id) return "node ids not dense";
    if (node.first_transition != cursor || node.transition_count > t - cursor) return "node runs not contiguous";
    cursor += node.transition_count;
    if (node.range != kNoIndex && node.range >= v.leaf_ranges().size()) return "range index";
    if (node.ext_set != kNoIndex && node.ext_set >= v.ext_range_sets().size()) return "ext_set index";
    std::uint32_t previous = 0;
    for (const Transition tr : v.transitions_of(id)) {
      if (tr.from != id) return "run holds another node's transition";
      if (tr.field < previous) return "fields not sorted";
      previous = tr.field;
      if (tr.to >= n) return "transition target";
      if (tr.wire_type != wire_type_of(v.node(tr.to).type)) return "wire type";
      const auto found = v.find_transition(id, tr.field);
      if (!found || found->field != tr.field || found->from != id) return "transition lookup";
    }
    if (v.leaf_range_of(id).has_value() != (node.range != kNoIndex)) return "leaf range lookup";
    for (const ExtensionRange r : v.ext_ranges_of(id)) (void)r;
  }
  if (cursor != t) return "transitions outside every run";
  for (const ExtensionRangeSet s : v.ext_range_sets())
    if (std::uint64_t{s.start} + s.count > v.ext_ranges().size()) return "extension-range set";
  for (std::uint32_t i = 0; i < v.roots().size(); ++i) {
    const Root r = v.roots()[i];
    if (r.state >= n) return "root state";
    const auto found = v.root_index(r.fqdn);
    if (!found || *found > i || v.roots()[*found].fqdn != r.fqdn) return "root lookup";
  }
  return "";
}

}  // namespace korvex::serial
