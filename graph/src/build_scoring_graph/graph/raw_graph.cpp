// Building the raw automaton from the merged scoring graph.
//
// The definitions arrive in the order they were first seen, so the first
// thing done is to sort them by name; every later walk follows that order,
// which makes the numbering, the transition list and the range leaves a pure
// function of the input. Names are ids of the merge's name table throughout:
// a child is registered by its id, never hashed or compared again, and the
// table itself becomes the raw graph's, taken over or copied once.
#include "build_scoring_graph/graph/raw_graph.hpp"

#include <algorithm>
#include <span>
#include <string_view>

#include "common/huge_pages.hpp"

namespace korvex {
namespace {

constexpr std::string_view kAnyName = "google.protobuf.Any";
constexpr std::string_view kMessageSetName = "google.protobuf.MessageSet";

// Both halves as unsigned 32-bit words, so distinct pairs get distinct keys.
std::uint64_t range_key(ValueRange r) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(r.first)) << 32) |
         static_cast<std::uint32_t>(r.second);
}

std::string field_prefix(std::string_view message, std::uint32_t field) {
  return std::string(message) + " field " + std::to_string(field) + ": ";
}

// A declared name for sorting: its first eight bytes as a big-endian word
// (zero-padded), whose order is the byte order of those bytes, then the
// whole name where the words tie. Most comparisons end at the word, without
// reading the names from the table.
struct SortKey {
  std::uint64_t prefix;
  std::uint32_t message;  // index in Merged::messages
};

std::uint64_t prefix_of(std::string_view name) {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < 8 && i < name.size(); ++i)
    w |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
  return w;
}

Result<BuiltGraph> build_with(const Merged& merged, NameTable names) {
  // Declared messages in byte order of their names (string_view compares
  // through char_traits<char>, i.e. as unsigned bytes, a prefix first).
  std::vector<SortKey> sorted;
  sorted.reserve(merged.messages.size());
  for (std::uint32_t i = 0; i < merged.messages.size(); ++i)
    sorted.push_back(SortKey{prefix_of(names[merged.messages[i].name]), i});
  std::sort(sorted.begin(), sorted.end(), [&](const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return names[merged.messages[a.message].name] < names[merged.messages[b.message].name];
  });
  auto message_at = [&](std::size_t i) -> const MergedMessage& { return merged.messages[sorted[i].message]; };

  BuiltGraph out;
  RawGraph& g = out.graph;
  LeafRegistry& leaves = out.leaves;

  // Named states: the two well-known types always hold ids 0 and 1, whether
  // declared or not; the declared names follow in sorted order. Names in
  // `sorted` are distinct, so only the two well-known ones can collide.
  const std::uint32_t any = names.intern(kAnyName);
  const std::uint32_t message_set = names.intern(kMessageSetName);
  g.names = StateNames(std::move(names));
  g.names.add_id(any);
  g.names.add_id(message_set);
  std::vector<std::uint32_t> sorted_ids(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) sorted_ids[i] = g.names.add_id(message_at(i).name);
  const std::size_t declared_count = g.names.size();

  // Extension-range sets first: they depend only on the declared messages,
  // and an input beyond the limit is refused before the larger walk below.
  {
    std::vector<std::span<const ExtRange>> sets;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const auto ranges = merged.ext_ranges_of(message_at(i));
      if (!ranges.empty()) sets.push_back(ranges);
    }
    // Lexicographic over (lo, hi) pairs, unsigned, with a proper prefix first.
    auto less = [](std::span<const ExtRange> a, std::span<const ExtRange> b) {
      return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    };
    auto equal = [](std::span<const ExtRange> a, std::span<const ExtRange> b) { return std::ranges::equal(a, b); };
    std::sort(sets.begin(), sets.end(), less);
    sets.erase(std::unique(sets.begin(), sets.end(), equal), sets.end());
    if (sets.size() > kMaxExtRangeSets) {
      return fail(std::to_string(sets.size()) +
                  " distinct extension-range sets exceeds what a u16 index can address");
    }
    g.ext_range_sets.reserve(sets.size());
    for (const auto set : sets) g.ext_range_sets.emplace_back(set.begin(), set.end());

    g.ext_of.assign(declared_count, kNone16);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const auto ranges = merged.ext_ranges_of(message_at(i));
      if (ranges.empty()) continue;
      auto it = std::lower_bound(sets.begin(), sets.end(), ranges, less);
      g.ext_of[sorted_ids[i]] = static_cast<std::uint16_t>(it - sets.begin());
    }
  }

  // One walk registers the children that nobody declared (ids in walk order)
  // and emits the transitions. Registering a child and using its id happen
  // at the same field, so a single pass gives the same ids as registering
  // everything first.
  g.transitions.reserve(merged.fields.size());
  advise_huge_pages(g.transitions.data(), g.transitions.capacity() * sizeof(RawTransition));
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::uint32_t from = sorted_ids[i];
    for (const FieldRecord& f : merged.fields_of(message_at(i))) {
      std::int32_t child_id = -1;
      if (f.has_child()) child_id = static_cast<std::int32_t>(g.names.add_id(f.child));

      std::int32_t to;
      if (f.kind == kind::kMessage) {
        if (!f.has_child())
          return fail(field_prefix(g.names[from], f.number) + "message field has no child type");
        to = child_id;
      } else if (f.kind == kind::kRanged) {
        if (!f.has_range)
          return fail(field_prefix(g.names[from], f.number) + "bool/enum field has no value range");
        auto [it, inserted] = leaves.range_to_sentinel.try_emplace(
            range_key(f.range), range_leaf_sentinel(static_cast<std::uint32_t>(leaves.ranges.size())));
        if (inserted) leaves.ranges.push_back(f.range);
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
    if (message_at(i).kind == NodeKind::group) g.node_type[sorted_ids[i]] = node_type::kGroup;
  }
  g.ext_of.resize(n, kNone16);

  g.state_count = static_cast<std::uint32_t>(n + kFixedLeafCount + leaves.ranges.size());
  g.merged_flag = merged.merged_flag;
  return out;
}

}  // namespace

Error too_many_range_leaves(std::size_t count) {
  return Error{std::to_string(count) +
               " distinct bool/enum value ranges exceeds what a u16 range index can address (at most " +
               std::to_string(kMaxRangeLeaves) + ")"};
}

Result<BuiltGraph> build(const Merged& merged) { return build_with(merged, merged.names); }

Result<BuiltGraph> build(Merged&& merged) {
  NameTable names = std::move(merged.names);
  return build_with(merged, std::move(names));
}

}  // namespace korvex
