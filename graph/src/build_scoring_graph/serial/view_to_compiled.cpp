#include "build_scoring_graph/serial/view_to_compiled.hpp"

#include <string>

namespace korvex::serial {

CompiledGraph to_compiled(const GraphView& view) {
  CompiledGraph g;
  g.nodes.reserve(view.nodes().size());
  for (const Node n : view.nodes())
    g.nodes.push_back(NodeEntry{n.id, n.type, n.is_string, n.range, n.ext_set, n.first_transition, n.transition_count});
  g.transitions.reserve(view.transitions().size());
  for (const Transition t : view.transitions())
    g.transitions.push_back(
        TransitionEntry{t.from, t.field, t.label, t.wire_type, static_cast<std::uint8_t>(t.packed ? 1 : 0), t.to});
  g.roots.reserve(view.roots().size());
  for (const Root r : view.roots()) g.roots.push_back(RootEntry{std::string(r.fqdn), r.state});
  g.leaf_ranges.reserve(view.leaf_ranges().size());
  for (const LeafRange r : view.leaf_ranges()) g.leaf_ranges.emplace_back(r.lo, r.hi);
  g.state_count = view.state_count();
  g.ext_ranges.reserve(view.ext_ranges().size());
  for (const ExtensionRange r : view.ext_ranges()) g.ext_ranges.emplace_back(r.lo, r.hi);
  g.ext_range_sets.reserve(view.ext_range_sets().size());
  for (const ExtensionRangeSet s : view.ext_range_sets()) g.ext_range_sets.emplace_back(s.start, s.count);
  g.merged_flag = view.merged_flag();
  return g;
}

}  // namespace korvex::serial
