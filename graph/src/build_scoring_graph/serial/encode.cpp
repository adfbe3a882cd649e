// The baked graph archive, version 7.
//
// The payload is laid out in one forward pass into the returned vector,
// behind the header, sized once to its exact final size, known in advance: 20 bytes per node, 16 per
// transition, the out-of-line root names, 12 per root, 8 per range pair and
// the 56-byte CompiledGraph record at the very end. Both archive limits are
// checked before the first byte is written, so a refused graph costs nothing.
#include "build_scoring_graph/serial/encode.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "archive/writer.hpp"
#include "common/huge_pages.hpp"

namespace korvex::serial {
namespace {

using archive::to_le;

// Archive records, in the byte order of the archive (fields pass through
// to_le) with every padding byte an explicit zero field.
struct NodeRecord {
  std::uint32_t id;
  std::uint8_t type;
  std::uint8_t is_string;
  std::uint16_t range;
  std::uint16_t ext_set;
  std::uint8_t pad[2];
  std::uint32_t first_transition;
  std::uint32_t transition_count;
};
static_assert(sizeof(NodeRecord) == 20 && alignof(NodeRecord) == 4);
static_assert(offsetof(NodeRecord, id) == 0 && offsetof(NodeRecord, type) == 4 &&
              offsetof(NodeRecord, is_string) == 5 && offsetof(NodeRecord, range) == 6 &&
              offsetof(NodeRecord, ext_set) == 8 && offsetof(NodeRecord, pad) == 10 &&
              offsetof(NodeRecord, first_transition) == 12 && offsetof(NodeRecord, transition_count) == 16);
static_assert(std::has_unique_object_representations_v<NodeRecord>);

struct TransitionRecord {
  std::uint32_t from;
  std::uint32_t field;
  std::uint8_t label;
  std::uint8_t wire_type;
  std::uint8_t packed;
  std::uint8_t pad;
  std::uint32_t to;
};
static_assert(sizeof(TransitionRecord) == 16 && alignof(TransitionRecord) == 4);
static_assert(offsetof(TransitionRecord, from) == 0 && offsetof(TransitionRecord, field) == 4 &&
              offsetof(TransitionRecord, label) == 8 && offsetof(TransitionRecord, wire_type) == 9 &&
              offsetof(TransitionRecord, packed) == 10 && offsetof(TransitionRecord, pad) == 11 &&
              offsetof(TransitionRecord, to) == 12);
static_assert(std::has_unique_object_representations_v<TransitionRecord>);

struct RootRecord {
  std::uint8_t fqdn[8];  // string representation
  std::uint32_t state;
};
static_assert(sizeof(RootRecord) == 12 && alignof(RootRecord) == 4);
static_assert(offsetof(RootRecord, fqdn) == 0 && offsetof(RootRecord, state) == 8);
static_assert(std::has_unique_object_representations_v<RootRecord>);

// leaf_ranges (i32, i32), ext_ranges (u32, u32), ext_range_sets (u32, u32):
// all three are 8 bytes of two little-endian 32-bit words.
struct PairRecord {
  std::uint32_t first;
  std::uint32_t second;
};
static_assert(sizeof(PairRecord) == 8 && alignof(PairRecord) == 4 && offsetof(PairRecord, second) == 4);
static_assert(std::has_unique_object_representations_v<PairRecord>);

struct VectorRecord {
  std::int32_t offset;
  std::uint32_t count;
};
static_assert(sizeof(VectorRecord) == 8 && offsetof(VectorRecord, count) == 4);

struct GraphRecord {
  VectorRecord nodes;
  VectorRecord transitions;
  VectorRecord roots;
  VectorRecord leaf_ranges;
  std::uint32_t state_count;
  VectorRecord ext_ranges;
  VectorRecord ext_range_sets;
  std::uint8_t merged_flag;
  std::uint8_t pad[3];
};
static_assert(sizeof(GraphRecord) == 56 && alignof(GraphRecord) == 4);
static_assert(offsetof(GraphRecord, nodes) == 0 && offsetof(GraphRecord, transitions) == 8 &&
              offsetof(GraphRecord, roots) == 16 && offsetof(GraphRecord, leaf_ranges) == 24 &&
              offsetof(GraphRecord, state_count) == 32 && offsetof(GraphRecord, ext_ranges) == 36 &&
              offsetof(GraphRecord, ext_range_sets) == 44 && offsetof(GraphRecord, merged_flag) == 52 &&
              offsetof(GraphRecord, pad) == 53);
static_assert(std::has_unique_object_representations_v<GraphRecord>);

constexpr std::size_t kNodeSize = sizeof(NodeRecord);
constexpr std::size_t kTransitionSize = sizeof(TransitionRecord);
constexpr std::size_t kRootSize = sizeof(RootRecord);
constexpr std::size_t kPairSize = sizeof(PairRecord);
constexpr std::size_t kGraphSize = sizeof(GraphRecord);

// The exact payload length, or the first limit the graph breaks. Vector
// sizes are bounded by memory, so none of these sums can wrap a 64-bit size.
Result<std::size_t> payload_length(const CompiledGraph& g, std::size_t limit) {
  std::size_t names = 0;
  for (const RootEntry& root : g.roots) {
    if (root.fqdn.size() >= archive::kStringLimit) return std::unexpected(archive::string_too_long(root.fqdn.size()));
    if (root.fqdn.size() > archive::kInlineMax) names += root.fqdn.size();
  }
  std::size_t total = g.nodes.size() * kNodeSize + g.transitions.size() * kTransitionSize + names;
  total = archive::align_up(total, 4);
  total += g.roots.size() * kRootSize;
  total += (g.leaf_ranges.size() + g.ext_ranges.size() + g.ext_range_sets.size()) * kPairSize;
  total += kGraphSize;
  if (total >= limit) return std::unexpected(archive::payload_too_large(limit));
  return total;
}

// One node or transition record, in the layout of NodeRecord or
// TransitionRecord, put together in registers as little-endian words and
// stored whole. (Filling a record field by field in memory and copying it
// out reads back one wide word from several narrow stores, which the
// processor cannot forward: a stall on every record.)
void write_node(const NodeEntry& n, std::uint8_t* out) {
  static_assert(offsetof(NodeRecord, ext_set) == 8 && offsetof(NodeRecord, transition_count) == 16);
  const std::uint64_t head = std::uint64_t{n.id} | std::uint64_t{n.type} << 32 |
                             std::uint64_t{n.is_string ? 1u : 0u} << 40 | std::uint64_t{n.range} << 48;
  const std::uint64_t middle = std::uint64_t{n.ext_set} | std::uint64_t{n.first_transition} << 32;  // pad: 0
  archive::store_le(out, head);
  archive::store_le(out + 8, middle);
  archive::store_le(out + 16, n.transition_count);
}

void write_transition(const TransitionEntry& t, std::uint8_t* out) {
  static_assert(offsetof(TransitionRecord, label) == 8 && offsetof(TransitionRecord, to) == 12);
  const std::uint64_t head = std::uint64_t{t.from} | std::uint64_t{t.field} << 32;
  const std::uint64_t tail = std::uint64_t{t.label} | std::uint64_t{t.wire_type} << 8 |
                             std::uint64_t{t.packed} << 16 | std::uint64_t{t.to} << 32;  // pad: 0
  archive::store_le(out, head);
  archive::store_le(out + 8, tail);
}

// Appends the pairs of `list` as PairRecords and returns where they start.
template <class Pair>
std::size_t write_pairs(archive::Serializer& s, const std::vector<Pair>& list) {
  s.pad_to(4);
  const std::size_t at = s.pos();
  std::uint8_t* out = s.claim(list.size() * kPairSize);
  if (!s.ok()) return at;
  for (const Pair& p : list) {
    const PairRecord rec{to_le(static_cast<std::uint32_t>(p.first)), to_le(static_cast<std::uint32_t>(p.second))};
    std::memcpy(out, &rec, kPairSize);
    out += kPairSize;
  }
  return at;
}

VectorRecord vector_record(archive::Serializer& s, std::size_t target, std::size_t count, std::size_t field_pos) {
  return VectorRecord{to_le(s.rel(target, field_pos)), to_le(s.count(count))};
}

}  // namespace

Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph) {
  return to_bytes(graph, archive::kPayloadLimit);
}

Result<std::vector<std::uint8_t>> to_bytes(const CompiledGraph& graph, std::size_t payload_limit) {
  archive::Serializer s(payload_limit);
  auto total = payload_length(graph, std::min(payload_limit, archive::kPayloadLimit));
  if (!total) return std::unexpected(std::move(total.error()));
  // The payload is written where it is returned, behind room for the
  // header: zeroing that vector first costs less than copying a finished
  // payload into it, which would read every byte once more.
  std::vector<std::uint8_t> archive;
  archive.reserve(archive::kHeaderSize + *total);
  advise_huge_pages(archive.data(), archive.capacity());
  archive.resize(archive::kHeaderSize + *total);
  s.write_into(std::span(archive).subspan(archive::kHeaderSize));
  s.reserve(*total);

  // 1. Nodes, from position 0.
  const std::size_t nodes_at = s.pos();
  if (std::uint8_t* out = s.claim(graph.nodes.size() * kNodeSize); s.ok()) {
    for (const NodeEntry& n : graph.nodes) {
      write_node(n, out);
      out += kNodeSize;
    }
  }

  // 2. Transitions.
  s.pad_to(4);
  const std::size_t transitions_at = s.pos();
  if (std::uint8_t* out = s.claim(graph.transitions.size() * kTransitionSize); s.ok()) {
    for (const TransitionEntry& t : graph.transitions) {
      write_transition(t, out);
      out += kTransitionSize;
    }
  }

  // 3.-4. Root names too long to sit inline, back to back, then the roots.
  const std::size_t roots_at = s.write_string_records(
      std::span<const RootEntry>(graph.roots), kRootSize,
      [](const RootEntry& root) -> std::string_view { return root.fqdn; },
      [](const RootEntry& root, std::uint8_t* record) {
        archive::store_le(record + offsetof(RootRecord, state), root.state);
      });

  // 5.-7. The three lists of pairs.
  const std::size_t leaf_ranges_at = write_pairs(s, graph.leaf_ranges);
  const std::size_t ext_ranges_at = write_pairs(s, graph.ext_ranges);
  const std::size_t ext_range_sets_at = write_pairs(s, graph.ext_range_sets);

  // 8. The CompiledGraph record ends the payload.
  s.pad_to(4);
  const std::size_t at = s.pos();
  GraphRecord rec{};
  rec.nodes = vector_record(s, nodes_at, graph.nodes.size(), at + offsetof(GraphRecord, nodes));
  rec.transitions =
      vector_record(s, transitions_at, graph.transitions.size(), at + offsetof(GraphRecord, transitions));
  rec.roots = vector_record(s, roots_at, graph.roots.size(), at + offsetof(GraphRecord, roots));
  rec.leaf_ranges =
      vector_record(s, leaf_ranges_at, graph.leaf_ranges.size(), at + offsetof(GraphRecord, leaf_ranges));
  rec.state_count = to_le(graph.state_count);
  rec.ext_ranges = vector_record(s, ext_ranges_at, graph.ext_ranges.size(), at + offsetof(GraphRecord, ext_ranges));
  rec.ext_range_sets =
      vector_record(s, ext_range_sets_at, graph.ext_range_sets.size(), at + offsetof(GraphRecord, ext_range_sets));
  rec.merged_flag = graph.merged_flag ? 1 : 0;
  s.write_record(rec);
  auto framed = s.finish_framed(kGraphFormatVersion);
  if (!framed) return std::unexpected(std::move(framed.error()));
  // Should the length computed up front and the bytes written ever
  // disagree, the bytes written are what counts.
  if (!framed->in_lent_storage()) {
    std::vector<std::uint8_t> own(framed->size());
    framed->copy_to(own.data());
    return own;
  }
  std::memcpy(archive.data(), framed->header().data(), archive::kHeaderSize);
  archive.resize(framed->size());
  return archive;
}

}  // namespace korvex::serial
