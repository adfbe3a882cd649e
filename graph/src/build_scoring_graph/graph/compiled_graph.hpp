// The compiled graph: flat arrays of nodes, transitions, roots and ranges.
//
// Nodes are sorted by id and ids are dense (nodes[i].id == i); transitions
// are sorted by (from, field), so the outgoing transitions of a node form one
// contiguous run [first_transition, first_transition + transition_count).
// Two compilers produce it: compile_initial keeps every raw state as its own
// node, compile merges the states of each block of a minimising partition.
// The field order of these records is also their archive order
// (serial/graph_format.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/state_space.hpp"
#include "common/name_table.hpp"
#include "common/result.hpp"

namespace korvex {

struct NodeEntry {
  std::uint32_t id = 0;
  std::uint8_t type = 0;
  bool is_string = false;
  std::uint16_t range = kNone16;
  std::uint16_t ext_set = kNone16;
  std::uint32_t first_transition = 0;
  std::uint32_t transition_count = 0;

  friend bool operator==(const NodeEntry&, const NodeEntry&) = default;
};

struct TransitionEntry {
  std::uint32_t from = 0;
  std::uint32_t field = 0;
  std::uint8_t label = 0;
  std::uint8_t wire_type = 0;  // from the target's node type; 0xFF if no such node
  std::uint8_t packed = 0;
  std::uint32_t to = 0;

  friend bool operator==(const TransitionEntry&, const TransitionEntry&) = default;
};

struct RootEntry {
  std::string fqdn;
  std::uint32_t state = 0;

  friend bool operator==(const RootEntry&, const RootEntry&) = default;
};

struct CompiledGraph {
  std::vector<NodeEntry> nodes;
  std::vector<TransitionEntry> transitions;
  std::vector<RootEntry> roots;
  std::vector<ValueRange> leaf_ranges;
  std::uint32_t state_count = 0;
  std::vector<ExtRange> ext_ranges;                                   // all sets end to end
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ext_range_sets;  // (start, count)
  bool merged_flag = false;
};

// The merged root list, in order, as the compilers resolve it against a raw
// graph's names: as texts (what tests and tools hold), or as ids of the name
// table the raw graph was built with (what the pipeline holds, so that no
// root is hashed again). It views the caller's list, which must outlive it.
class RootList {
 public:
  RootList() = default;
  RootList(std::span<const std::string> names) : texts_(names), size_(names.size()) {}
  RootList(const std::vector<std::string>& names) : RootList(std::span<const std::string>(names)) {}
  // Ids in RawGraph::names.table(), as Merged::roots holds them.
  RootList(std::span<const std::uint32_t> name_ids) : ids_(name_ids), size_(name_ids.size()), by_id_(true) {}
  RootList(const std::vector<std::uint32_t>& name_ids) : RootList(std::span<const std::uint32_t>(name_ids)) {}

  std::size_t size() const noexcept { return size_; }
  // Root i as a name id of `names`, or NameTable::kNone for a text it lacks.
  std::uint32_t name_id(std::size_t i, const NameTable& names) const noexcept {
    return by_id_ ? ids_[i] : names.find(texts_[i]);
  }
  // Root i as text.
  std::string_view text(std::size_t i, const NameTable& names) const noexcept {
    return by_id_ ? names[ids_[i]] : std::string_view(texts_[i]);
  }

 private:
  std::span<const std::string> texts_;
  std::span<const std::uint32_t> ids_;
  std::size_t size_ = 0;
  bool by_id_ = false;
};

// Every raw state becomes its own node. Roots that name no message are
// skipped silently.
Result<CompiledGraph> compile_initial(const RawGraph& graph, const LeafRegistry& leaves, const RootList& roots);

// One node per block of `partition`, one transition per (block, field), the
// first raw transition winning. Roots that name no message are warned about
// on standard error and skipped.
Result<CompiledGraph> compile(const RawGraph& graph, const LeafRegistry& leaves, const Partition& partition,
                              const RootList& roots);

// Fills first_transition/transition_count of every node and wire_type of
// every transition. Both lists must already be sorted.
void link_transitions(std::vector<NodeEntry>& nodes, std::vector<TransitionEntry>& transitions);

struct FlatExtRanges {
  std::vector<ExtRange> ext_ranges;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ext_range_sets;
};
FlatExtRanges flat_ext_ranges(const std::vector<std::vector<ExtRange>>& sets);

// Block of a leaf sentinel; "unexpected leaf sentinel <u32>" for -8, a range
// leaf k >= R, or any non-leaf value.
Result<std::uint32_t> block_of_sentinel(std::span<const std::uint32_t> block_of, std::int32_t sentinel,
                                        std::size_t range_count);

}  // namespace korvex
