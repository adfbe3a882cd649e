// The two compilers from the raw automaton to the flat compiled graph.
//
// compile_initial keeps the raw state index space as node ids; compile maps
// every state through a partition and keeps one node per block and one
// transition per (block, field). Both sort their transitions by (from, field)
// and then raw index, so among raw transitions with equal keys the raw order
// is kept (compile_initial) or the first one wins (compile). Sentinels that
// build never emits (-8, a range leaf past the registry) come back as the
// "unexpected leaf sentinel" error rather than as an out-of-range read.
#include "build_scoring_graph/graph/compiled_graph.hpp"

#include <algorithm>
#include <optional>

#include "common/huge_pages.hpp"
#include "common/warn.hpp"

namespace korvex {
namespace {

std::unexpected<Error> unexpected_sentinel(std::int32_t sentinel) {
  return fail("unexpected leaf sentinel " + std::to_string(static_cast<std::uint32_t>(sentinel)));
}

struct NodeAttrs {
  std::uint8_t type = 0;
  bool is_string = false;
  std::uint16_t range = kNone16;
  std::uint16_t ext_set = kNone16;
};

// What the node of leaf position `position` carries. The caller has checked
// that the range index fits in 16 bits.
NodeAttrs leaf_attrs(std::size_t position) {
  const LeafNode leaf = leaf_node(position);
  return NodeAttrs{leaf.type, leaf.is_string, leaf.range, kNone16};
}

using serial::wire_type_of;

// The compiled transitions of the raw ones, sorted by (from, field) with
// equal keys in raw order; with `first_only`, only the first of each key is
// kept. `place(i, from, to)` gives the source and target of raw transition i,
// or the error for one outside the contract.
//
// A counting sort by source keeps raw order within each source's run, and a
// run needs sorting by field only where it is not sorted yet: a state's
// fields arrive sorted by number, so only a run that gathers several states
// of one block, or a graph made by hand, pays for it. No record is sorted
// twice and none is bigger than its final form. Sources from `sources` on
// (only a hand-made graph has them) follow all others, sorted on their own.
template <class Place>
Result<std::vector<TransitionEntry>> sorted_transitions(const std::vector<RawTransition>& raw, std::size_t sources,
                                                        bool first_only, Place&& place) {
  std::vector<std::uint32_t> start(sources + 1, 0);
  std::vector<TransitionEntry> beyond;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::uint32_t from = 0, to = 0;
    if (auto placed = place(i, from, to); !placed) return std::unexpected(std::move(placed.error()));
    if (from < sources) {
      ++start[from + 1];
    } else {
      beyond.push_back(TransitionEntry{from, raw[i].field, raw[i].label, 0, raw[i].packed, to});
    }
  }
  for (std::size_t b = 0; b < sources; ++b) start[b + 1] += start[b];
  std::vector<TransitionEntry> out;
  out.reserve(start[sources]);
  advise_huge_pages(out.data(), out.capacity() * sizeof(TransitionEntry));
  out.resize(start[sources]);
  {
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      std::uint32_t from = 0, to = 0;
      (void)place(i, from, to);
      if (from >= sources) continue;
      const RawTransition& t = raw[i];
      out[fill[from]++] = TransitionEntry{from, t.field, t.label, 0, t.packed, to};
    }
  }
  auto by_field = [](const TransitionEntry& a, const TransitionEntry& b) { return a.field < b.field; };
  std::size_t kept = 0;
  auto keep_run = [&](auto first, auto last) {
    if (!std::is_sorted(first, last, by_field)) std::stable_sort(first, last, by_field);
    for (auto it = first; it != last; ++it) {
      if (first_only && it != first && it->field == (it - 1)->field) continue;
      out[kept++] = *it;
    }
  };
  for (std::size_t b = 0; b < sources; ++b) keep_run(out.begin() + start[b], out.begin() + start[b + 1]);
  out.resize(kept);
  if (!beyond.empty()) {
    std::stable_sort(beyond.begin(), beyond.end(), [](const TransitionEntry& a, const TransitionEntry& b) {
      return a.from != b.from ? a.from < b.from : a.field < b.field;
    });
    for (std::size_t i = 0; i < beyond.size(); ++i) {
      if (first_only && i > 0 && beyond[i].from == beyond[i - 1].from && beyond[i].field == beyond[i - 1].field) continue;
      out.push_back(beyond[i]);
    }
  }
  return out;
}

// The roots that name a message, in list order, each on the node of its
// state; a root resolves only to a named state (never when there is none).
// The others are left out, with a warning line each when `warn_missing`.
template <class NodeOf>
std::vector<RootEntry> resolve_roots(const RawGraph& graph, const RootList& roots, NodeOf node_of,
                                     bool warn_missing) {
  const NameTable& names = graph.names.table();
  std::vector<RootEntry> out;
  out.reserve(roots.size());
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const std::uint32_t state = graph.names.state_of_name(roots.name_id(i, names));
    if (state < graph.named_count()) {
      out.push_back(RootEntry{std::string(roots.text(i, names)), node_of(state)});
    } else if (warn_missing) {
      emit_warning("warning: root entry '" + std::string(roots.text(i, names)) + "' has no node in graph; skipping\n");
    }
  }
  return out;
}

void fill_shared_tail(CompiledGraph& out, const RawGraph& graph, const LeafRegistry& leaves) {
  FlatExtRanges flat = flat_ext_ranges(graph.ext_range_sets);
  out.ext_ranges = std::move(flat.ext_ranges);
  out.ext_range_sets = std::move(flat.ext_range_sets);
  out.leaf_ranges = leaves.ranges;
  out.merged_flag = graph.merged_flag;
}

}  // namespace

void link_transitions(std::vector<NodeEntry>& nodes, std::vector<TransitionEntry>& transitions) {
  std::size_t cursor = 0;
  const std::size_t count = transitions.size();
  for (NodeEntry& node : nodes) {
    while (cursor < count && transitions[cursor].from < node.id) ++cursor;
    const std::size_t first = cursor;
    while (cursor < count && transitions[cursor].from == node.id) ++cursor;
    node.first_transition = static_cast<std::uint32_t>(first);
    node.transition_count = static_cast<std::uint32_t>(cursor - first);
  }
  // Both compilers number their nodes densely (nodes[i].id == i); then the
  // target is found by indexing, which is what a binary search over the
  // sorted ids would find, without its cache misses on large graphs.
  bool dense = true;
  for (std::size_t i = 0; i < nodes.size() && dense; ++i) dense = nodes[i].id == i;
  for (TransitionEntry& t : transitions) {
    const NodeEntry* target = nullptr;
    if (dense) {
      if (t.to < nodes.size()) target = &nodes[t.to];
    } else {
      auto it = std::lower_bound(nodes.begin(), nodes.end(), t.to,
                                 [](const NodeEntry& node, std::uint32_t id) { return node.id < id; });
      if (it != nodes.end() && it->id == t.to) target = &*it;
    }
    t.wire_type = target ? wire_type_of(target->type) : 0xFF;
  }
}

FlatExtRanges flat_ext_ranges(const std::vector<std::vector<ExtRange>>& sets) {
  FlatExtRanges out;
  std::size_t total = 0;
  for (const auto& set : sets) total += set.size();
  out.ext_ranges.reserve(total);
  out.ext_range_sets.reserve(sets.size());
  for (const auto& set : sets) {
    out.ext_range_sets.emplace_back(static_cast<std::uint32_t>(out.ext_ranges.size()),
                                    static_cast<std::uint32_t>(set.size()));
    out.ext_ranges.insert(out.ext_ranges.end(), set.begin(), set.end());
  }
  return out;
}

Result<std::uint32_t> block_of_sentinel(std::span<const std::uint32_t> block_of, std::int32_t sentinel,
                                        std::size_t range_count) {
  if (block_of.size() < range_count + kFixedLeafCount) {
    return fail("partition covers " + std::to_string(block_of.size()) + " states, fewer than its " +
                std::to_string(range_count + kFixedLeafCount) + " leaves");
  }
  const auto position = leaf_position(sentinel, range_count);
  if (!position) return unexpected_sentinel(sentinel);
  const std::size_t named = block_of.size() - range_count - kFixedLeafCount;
  return block_of[named + *position];
}

Result<CompiledGraph> compile_initial(const RawGraph& graph, const LeafRegistry& leaves, const RootList& roots) {
  const std::uint32_t n = graph.named_count();
  const std::size_t r = leaves.ranges.size();
  if (r > kMaxRangeLeaves) return std::unexpected(too_many_range_leaves(r));

  CompiledGraph out;
  {
    auto transitions = sorted_transitions(
        graph.transitions, n, false, [&](std::size_t i, std::uint32_t& from, std::uint32_t& to) -> Result<void> {
          const RawTransition& t = graph.transitions[i];
          const auto target = state_index(t.to, n, r);
          if (!target) return unexpected_sentinel(t.to);
          from = t.from;
          to = static_cast<std::uint32_t>(*target);
          return {};
        });
    if (!transitions) return std::unexpected(std::move(transitions.error()));
    out.transitions = std::move(*transitions);
  }

  // Named states, then leaves: built in id order, so already sorted.
  const std::size_t leaf_count = kFixedLeafCount + r;
  out.nodes.reserve(n + leaf_count);
  for (std::uint32_t id = 0; id < n; ++id) {
    const std::uint16_t ext = id < graph.ext_of.size() ? graph.ext_of[id] : kNone16;
    out.nodes.push_back(NodeEntry{id, graph.node_type[id], false, kNone16, ext, 0, 0});
  }
  for (std::size_t i = 0; i < leaf_count; ++i) {
    const NodeAttrs a = leaf_attrs(i);
    out.nodes.push_back(NodeEntry{n + static_cast<std::uint32_t>(i), a.type, a.is_string, a.range, a.ext_set, 0, 0});
  }
  link_transitions(out.nodes, out.transitions);

  out.roots = resolve_roots(graph, roots, [](std::uint32_t id) { return id; }, false);

  fill_shared_tail(out, graph, leaves);
  out.state_count = static_cast<std::uint32_t>(n + leaf_count);
  return out;
}

Result<CompiledGraph> compile(const RawGraph& graph, const LeafRegistry& leaves, const Partition& partition,
                              const RootList& roots) {
  const std::uint32_t n = graph.named_count();
  const std::size_t r = leaves.ranges.size();
  if (r > kMaxRangeLeaves) return std::unexpected(too_many_range_leaves(r));

  // The partition must cover exactly the raw state index space, and every
  // block number must lie below num_blocks; both hold for what the
  // minimiser returns, and checking them here keeps every read in bounds.
  const std::span<const std::uint32_t> block_of(partition.block_of);
  const std::size_t leaf_count = kFixedLeafCount + r;
  const std::size_t num_blocks = partition.num_blocks;
  if (block_of.size() != n + leaf_count) {
    return fail("partition covers " + std::to_string(block_of.size()) + " states, the raw graph has " +
                std::to_string(n + leaf_count));
  }
  if (num_blocks < leaf_count || num_blocks > block_of.size()) {
    return fail("partition has " + std::to_string(num_blocks) + " blocks, outside " + std::to_string(leaf_count) +
                ".." + std::to_string(block_of.size()));
  }
  for (std::size_t s = 0; s < block_of.size(); ++s) {
    if (block_of[s] >= num_blocks) {
      return fail("partition puts state " + std::to_string(s) + " in block " + std::to_string(block_of[s]) +
                  ", not below " + std::to_string(num_blocks));
    }
  }

  CompiledGraph out;

  // One transition per (source block, field): among equal keys the raw order
  // decides, so the first raw transition heads each run and survives.
  {
    auto transitions = sorted_transitions(
        graph.transitions, num_blocks, true,
        [&](std::size_t i, std::uint32_t& from, std::uint32_t& to) -> Result<void> {
          const RawTransition& t = graph.transitions[i];
          if (t.from >= block_of.size()) {
            return fail("transition from state " + std::to_string(t.from) + " outside the partition");
          }
          const auto target = state_index(t.to, n, r);
          if (!target) return unexpected_sentinel(t.to);
          from = block_of[t.from];
          to = block_of[*target];
          return {};
        });
    if (!transitions) return std::unexpected(std::move(transitions.error()));
    out.transitions = std::move(*transitions);
  }

  // Block attributes: the first named member (by id) speaks for its block;
  // leaves then overwrite whatever their block holds, the later position last.
  std::vector<std::optional<NodeAttrs>> attrs(num_blocks);
  for (std::uint32_t id = 0; id < n; ++id) {
    auto& slot = attrs[block_of[id]];
    if (!slot) slot = NodeAttrs{graph.node_type[id], false, kNone16, id < graph.ext_of.size() ? graph.ext_of[id] : kNone16};
  }
  for (std::size_t i = 0; i < leaf_count; ++i) attrs[block_of[n + i]] = leaf_attrs(i);

  out.nodes.reserve(num_blocks);
  for (std::size_t b = 0; b < num_blocks; ++b) {
    if (const auto& a = attrs[b]) {
      out.nodes.push_back(NodeEntry{static_cast<std::uint32_t>(b), a->type, a->is_string, a->range, a->ext_set, 0, 0});
    }
  }
  link_transitions(out.nodes, out.transitions);

  out.roots = resolve_roots(graph, roots, [&](std::uint32_t id) { return block_of[id]; }, true);

  fill_shared_tail(out, graph, leaves);
  out.state_count = static_cast<std::uint32_t>(num_blocks);
  return out;
}

}  // namespace korvex
