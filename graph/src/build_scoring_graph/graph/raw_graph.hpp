// The raw automaton: one state per message type, shared leaves for scalars.
//
// Named states are numbered "google.protobuf.Any" 0, "google.protobuf.
// MessageSet" 1, then the declared names in byte order, then the children
// that are referenced but never declared, in walk order; the leaves follow
// (state_space.hpp has the whole index space and the leaf sentinels).
//
// Everything here is a pure function of Merged: every enumeration that feeds
// a numbering is sorted first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/state_space.hpp"
#include "common/name_table.hpp"
#include "common/result.hpp"

namespace korvex {

struct RawTransition {
  std::uint32_t from = 0;
  std::uint32_t field = 0;
  std::int32_t to = 0;  // >= 0: named state id; < 0: leaf sentinel
  std::uint8_t label = 0;
  std::uint8_t packed = 0;

  friend bool operator==(const RawTransition&, const RawTransition&) = default;
};

// The names of the named states: state id -> name, and name -> state id,
// over a name table that may hold more names than there are states (roots,
// children of dropped definitions); those have no state.
class StateNames {
 public:
  static constexpr std::uint32_t kNone = NameTable::kNone;

  StateNames() = default;
  // Starts without states over the names of `table`.
  explicit StateNames(NameTable table) : table_(std::move(table)), state_of_name_(table_.size(), kNone) {}

  // N, the number of named states.
  std::size_t size() const noexcept { return name_of_state_.size(); }
  std::string_view operator[](std::uint32_t state) const noexcept { return table_[name_of_state_[state]]; }
  // The state of a name, or kNone.
  std::uint32_t find(std::string_view name) const noexcept { return state_of_name(table_.find(name)); }
  // The state of a name given by its id in table(), or kNone.
  std::uint32_t state_of_name(std::uint32_t name_id) const noexcept {
    return name_id < state_of_name_.size() ? state_of_name_[name_id] : kNone;
  }
  const NameTable& table() const noexcept { return table_; }

  // The state of a name, registering it as the next state when it has none.
  std::uint32_t add(std::string_view name) { return add_id(table_.intern(name)); }
  std::uint32_t add_id(std::uint32_t name_id) {
    if (name_id >= state_of_name_.size()) state_of_name_.resize(std::max(table_.size(), 2 * state_of_name_.size()), kNone);
    std::uint32_t& state = state_of_name_[name_id];
    if (state == kNone) {
      state = static_cast<std::uint32_t>(name_of_state_.size());
      name_of_state_.push_back(name_id);
    }
    return state;
  }

 private:
  NameTable table_;
  std::vector<std::uint32_t> name_of_state_;
  std::vector<std::uint32_t> state_of_name_;  // per name id
};

struct RawGraph {
  std::vector<RawTransition> transitions;          // generation order
  std::vector<std::vector<ExtRange>> ext_range_sets;  // sorted, distinct
  StateNames names;                     // id <-> name, size N
  std::vector<std::uint8_t> node_type;  // id -> 3 (group) or 10 (message), size N
  std::vector<std::uint16_t> ext_of;    // id -> index into ext_range_sets, kNone16 if none; size N
  std::uint32_t state_count = 0;        // N + 7 + R
  bool merged_flag = false;

  std::uint32_t named_count() const { return static_cast<std::uint32_t>(node_type.size()); }
};

struct LeafRegistry {
  std::vector<ValueRange> ranges;  // range leaf k, in order of first use
  std::unordered_map<std::uint64_t, std::int32_t> range_to_sentinel;  // packed (lo, hi) -> sentinel
};

struct BuiltGraph {
  RawGraph graph;
  LeafRegistry leaves;
};

// Fails only on the limits: too many distinct extension-range sets (the
// message is fixed), or more bool/enum value ranges than a 16-bit range index
// can tell apart. The raw graph's names are those of Merged under the same
// ids: the first form copies them, the second takes them over and leaves
// the rest of `merged` as it was (the pipeline keeps its root list).
Result<BuiltGraph> build(const Merged& merged);
Result<BuiltGraph> build(Merged&& merged);

// The error for `count` (> kMaxRangeLeaves) distinct bool/enum value ranges.
// build returns it; the compilers refuse a registry that large with the same
// text rather than let range indexes alias.
Error too_many_range_leaves(std::size_t count);

}  // namespace korvex
