// Building the raw automaton from the merged scoring graph.
//
// The messages arrive in a hash map whose iteration order is arbitrary, so
// the first thing done is to sort pointers to its entries by name; every later
// walk follows that order, which makes the numbering, the transition list and
// the range leaves a pure function of the input. Names are copied exactly
// twice (into `names` and into `name_to_id`), child names are looked up once
// per field, and every other step is a sort or a linear pass.
#include "build_scoring_graph/graph/raw_graph.hpp"

#include <algorithm>
#include <string_view>

namespace korvex {
namespace {

constexpr std::string_view kAnyName = "google.protobuf.Any";
constexpr std::string_view kMessageSetName = "google.protobuf.MessageSet";

using MessageEntry = std::pair<const std::string, NormalizedMessage>;

// Both halves as unsigned 32-bit words, so distinct pairs get distinct keys.
std::uint64_t range_key(ValueRange r) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(r.first)) << 32) |
         static_cast<std::uint32_t>(r.second);
}

std::string field_prefix(const std::string& message, std::uint32_t field) {
  return message + " field " + std::to_string(field) + ": ";
}

}  // namespace

Error too_many_range_leaves(std::size_t count) {
  return Error{std::to_string(count) +
               " distinct bool/enum value ranges exceeds what a u16 range index can address (at most " +
               std::to_string(kMaxRangeLeaves) + ")"};
}

Result<BuiltGraph> build(const Merged& merged) {
  // Declared messages in byte order of their names (std::string compares
  // through char_traits<char>, i.e. as unsigned bytes, a prefix first).
  std::vector<const MessageEntry*> sorted;
  sorted.reserve(merged.messages.size());
  for (const auto& entry : merged.messages) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(),
            [](const MessageEntry* a, const MessageEntry* b) { return a->first < b->first; });

  BuiltGraph out;
  RawGraph& g = out.graph;
  LeafRegistry& leaves = out.leaves;

  // Named states: the two well-known types always hold ids 0 and 1, whether
  // declared or not; the declared names follow in sorted order. Names in
  // `sorted` are distinct, so only the two well-known ones can collide.
  std::vector<std::uint32_t> sorted_ids(sorted.size());
  g.names.reserve(sorted.size() + 2);
  g.names.emplace_back(kAnyName);
  g.names.emplace_back(kMessageSetName);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::string& name = sorted[i]->first;
    if (name == kAnyName) {
      sorted_ids[i] = 0;
    } else if (name == kMessageSetName) {
      sorted_ids[i] = 1;
    } else {
      sorted_ids[i] = static_cast<std::uint32_t>(g.names.size());
      g.names.push_back(name);
    }
  }
  const std::size_t declared_count = g.names.size();

  // Extension-range sets first: they depend only on the declared messages,
  // and an input beyond the limit is refused before the larger walk below.
  {
    std::vector<const std::vector<ExtRange>*> sets;
    for (const MessageEntry* entry : sorted) {
      if (!entry->second.ext_ranges.empty()) sets.push_back(&entry->second.ext_ranges);
    }
    // vector<pair<u32, u32>>::operator< is lexicographic over (lo, hi) pairs,
    // unsigned, with a proper prefix first.
    std::sort(sets.begin(), sets.end(), [](const auto* a, const auto* b) { return *a < *b; });
    sets.erase(std::unique(sets.begin(), sets.end(), [](const auto* a, const auto* b) { return *a == *b; }),
               sets.end());
    if (sets.size() > kMaxExtRangeSets) {
      return fail(std::to_string(sets.size()) +
                  " distinct extension-range sets exceeds what a u16 index can address");
    }
    g.ext_range_sets.reserve(sets.size());
    for (const auto* set : sets) g.ext_range_sets.push_back(*set);

    g.ext_of.assign(declared_count, kNone16);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const auto& ranges = sorted[i]->second.ext_ranges;
      if (ranges.empty()) continue;
      auto it = std::lower_bound(g.ext_range_sets.begin(), g.ext_range_sets.end(), ranges);
      g.ext_of[sorted_ids[i]] = static_cast<std::uint16_t>(it - g.ext_range_sets.begin());
    }
  }

  g.name_to_id.reserve(declared_count);
  for (std::uint32_t id = 0; id < declared_count; ++id) g.name_to_id.emplace(g.names[id], id);

  // One walk registers the children that nobody declared (ids in walk order)
  // and emits the transitions. Registering a child and using its id happen
  // at the same field, so a single pass gives the same ids as registering
  // everything first.
  std::size_t field_count = 0;
  for (const MessageEntry* entry : sorted) field_count += entry->second.fields.size();
  g.transitions.reserve(field_count);

  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::uint32_t from = sorted_ids[i];
    for (const ScoringField& f : sorted[i]->second.fields) {
      std::int32_t child_id = -1;
      if (f.child) {
        auto [it, inserted] = g.name_to_id.try_emplace(*f.child, static_cast<std::uint32_t>(g.names.size()));
        if (inserted) g.names.push_back(*f.child);
        child_id = static_cast<std::int32_t>(it->second);
      }

      std::int32_t to;
      if (f.kind == kind::kMessage) {
        if (!f.child) return fail(field_prefix(sorted[i]->first, f.number) + "message field has no child type");
        to = child_id;
      } else if (f.kind == kind::kRanged) {
        if (!f.range) return fail(field_prefix(sorted[i]->first, f.number) + "bool/enum field has no value range");
        auto [it, inserted] = leaves.range_to_sentinel.try_emplace(
            range_key(*f.range), range_leaf_sentinel(static_cast<std::uint32_t>(leaves.ranges.size())));
        if (inserted) leaves.ranges.push_back(*f.range);
        to = it->second;
      } else {
        to = kFixedLeafSentinel[fixed_leaf_position(static_cast<FieldKind>(f.kind))];
      }
      g.transitions.push_back(RawTransition{from, f.number, to, f.label, static_cast<std::uint8_t>(f.packed ? 1 : 0)});
    }
  }

  if (leaves.ranges.size() > kMaxRangeLeaves) return std::unexpected(too_many_range_leaves(leaves.ranges.size()));

  // Undeclared children are plain messages without extension ranges.
  const std::size_t n = g.names.size();
  g.node_type.assign(n, node_type::kMessage);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (sorted[i]->second.kind == NodeKind::group) g.node_type[sorted_ids[i]] = node_type::kGroup;
  }
  g.ext_of.resize(n, kNone16);

  g.state_count = static_cast<std::uint32_t>(n + kFixedLeafCount + leaves.ranges.size());
  g.merged_flag = merged.merged_flag;
  return out;
}

}  // namespace korvex
