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

std::uint8_t wire_type_of(std::uint8_t type) {
  switch (type) {
    case node_type::kVarint32:
    case node_type::kInt32: return 0;
    case node_type::kMessage: return 2;
    default: return type;
  }
}

// A transition on its way into the compiled list, tagged with its raw index.
// Sorting by (from, field, raw index) gives every record a distinct key, so a
// plain sort yields the stable order; the records carry their payload, so
// the result is written out sequentially.
struct PendingTransition {
  std::uint64_t from_field;  // from << 32 | field
  std::uint32_t raw;
  std::uint32_t to;
  std::uint8_t label;
  std::uint8_t packed;
};

PendingTransition pending(std::uint32_t from, const RawTransition& t, std::uint32_t raw, std::uint32_t to) {
  return PendingTransition{(static_cast<std::uint64_t>(from) << 32) | t.field, raw, to, t.label, t.packed};
}

// Sorts by (from, field), equal keys in raw order; with `first_only`, only
// the first record of each key is kept.
std::vector<TransitionEntry> sorted_transitions(std::vector<PendingTransition>& records, bool first_only) {
  std::sort(records.begin(), records.end(), [](const PendingTransition& a, const PendingTransition& b) {
    return a.from_field != b.from_field ? a.from_field < b.from_field : a.raw < b.raw;
  });
  std::vector<TransitionEntry> out;
  out.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const PendingTransition& p = records[i];
    if (first_only && i > 0 && p.from_field == records[i - 1].from_field) continue;
    out.push_back(TransitionEntry{static_cast<std::uint32_t>(p.from_field >> 32),
                                  static_cast<std::uint32_t>(p.from_field), p.label, 0, p.packed, p.to});
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
    std::vector<PendingTransition> records;
    records.reserve(graph.transitions.size());
    for (std::size_t i = 0; i < graph.transitions.size(); ++i) {
      const RawTransition& t = graph.transitions[i];
      const auto to = state_index(t.to, n, r);
      if (!to) return unexpected_sentinel(t.to);
      records.push_back(pending(t.from, t, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(*to)));
    }
    out.transitions = sorted_transitions(records, false);
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
    std::vector<PendingTransition> records;
    records.reserve(graph.transitions.size());
    for (std::size_t i = 0; i < graph.transitions.size(); ++i) {
      const RawTransition& t = graph.transitions[i];
      if (t.from >= block_of.size()) {
        return fail("transition from state " + std::to_string(t.from) + " outside the partition");
      }
      const auto to = state_index(t.to, n, r);
      if (!to) return unexpected_sentinel(t.to);
      records.push_back(pending(block_of[t.from], t, static_cast<std::uint32_t>(i), block_of[*to]));
    }
    out.transitions = sorted_transitions(records, true);
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
