// Writing the baked graph archive (serial/graph_format.hpp).
//
// The payload is laid out in one forward pass into the returned vector,
// behind the header, sized once to its exact final size, known in advance:
// a record per node, transition, root and range pair, the out-of-line root
// names, and the graph record at the very end. Both archive limits are
// checked before the first byte is written, so a refused graph costs nothing.
#include "build_scoring_graph/serial/encode.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "archive/writer.hpp"
#include "common/huge_pages.hpp"

namespace korvex::serial {
namespace {

using archive::store_le;
namespace node = node_record;
namespace transition = transition_record;
namespace root = root_record;
namespace pair = pair_record;
namespace record = graph_record;

constexpr std::size_t kNodeSize = node::kSize;
constexpr std::size_t kTransitionSize = transition::kSize;
constexpr std::size_t kRootSize = root::kSize;
constexpr std::size_t kPairSize = pair::kSize;
constexpr std::size_t kGraphSize = record::kSize;

// The exact payload length, or the first limit the graph breaks. Vector
// sizes are bounded by memory, so none of these sums can wrap a 64-bit size.
Result<std::size_t> payload_length(const CompiledGraph& g, std::size_t limit) {
  std::size_t names = 0;
  for (const RootEntry& root : g.roots) {
    if (root.fqdn.size() >= archive::kStringLimit) return std::unexpected(archive::string_too_long(root.fqdn.size()));
    if (root.fqdn.size() > archive::kInlineMax) names += root.fqdn.size();
  }
  std::size_t total = g.nodes.size() * kNodeSize + g.transitions.size() * kTransitionSize + names;
  total = archive::align_up(total, kRecordAlign);
  total += g.roots.size() * kRootSize;
  total += (g.leaf_ranges.size() + g.ext_ranges.size() + g.ext_range_sets.size()) * kPairSize;
  total += kGraphSize;
  if (total >= limit) return std::unexpected(archive::payload_too_large(limit));
  return total;
}

// One node or transition record put together in registers as
// little-endian words and stored whole. (Filling a record field by field in
// memory and copying it out reads back one wide word from several narrow
// stores, which the processor cannot forward: a stall on every record.)
constexpr unsigned bit(std::size_t offset, std::size_t word) { return static_cast<unsigned>(8 * (offset - word)); }

void write_node(const NodeEntry& n, std::uint8_t* out) {
  static_assert(node::kRange + 2 <= 8 && node::kExtSet == 8 && node::kFirstTransition + 4 <= 16 &&
                    node::kTransitionCount == 16 && node::kSize == 20,
                "the node record is written as two words and a u32");
  const std::uint64_t head = std::uint64_t{n.id} << bit(node::kId, 0) | std::uint64_t{n.type} << bit(node::kType, 0) |
                             std::uint64_t{n.is_string ? 1u : 0u} << bit(node::kIsString, 0) |
                             std::uint64_t{n.range} << bit(node::kRange, 0);
  const std::uint64_t middle = std::uint64_t{n.ext_set} << bit(node::kExtSet, 8) |
                               std::uint64_t{n.first_transition} << bit(node::kFirstTransition, 8);  // padding: 0
  store_le(out, head);
  store_le(out + 8, middle);
  store_le(out + node::kTransitionCount, n.transition_count);
}

void write_transition(const TransitionEntry& t, std::uint8_t* out) {
  static_assert(transition::kField + 4 <= 8 && transition::kLabel == 8 && transition::kTo + 4 == 16 &&
                    transition::kSize == 16,
                "the transition record is written as two words");
  const std::uint64_t head = std::uint64_t{t.from} << bit(transition::kFrom, 0) |
                             std::uint64_t{t.field} << bit(transition::kField, 0);
  const std::uint64_t tail =
      std::uint64_t{t.label} << bit(transition::kLabel, 8) | std::uint64_t{t.wire_type} << bit(transition::kWireType, 8) |
      std::uint64_t{t.packed} << bit(transition::kPacked, 8) | std::uint64_t{t.to} << bit(transition::kTo, 8);  // padding: 0
  store_le(out, head);
  store_le(out + 8, tail);
}

// Appends the pairs of `list` as PairRecords and returns where they start.
template <class Pair>
std::size_t write_pairs(archive::Serializer& s, const std::vector<Pair>& list) {
  s.pad_to(kRecordAlign);
  const std::size_t at = s.pos();
  std::uint8_t* out = s.claim(list.size() * kPairSize);
  if (!s.ok()) return at;
  for (const Pair& p : list) {
    store_le(out + pair::kFirst, static_cast<std::uint32_t>(p.first));
    store_le(out + pair::kSecond, static_cast<std::uint32_t>(p.second));
    out += kPairSize;
  }
  return at;
}

using GraphRecord = std::array<std::uint8_t, record::kSize>;

// The vector record at `field` of the graph record that will sit at `at`.
void put_vector(archive::Serializer& s, GraphRecord& rec, std::size_t field, std::size_t at, std::size_t target,
                std::size_t count) {
  store_le(rec.data() + field, s.rel(target, at + field));
  store_le(rec.data() + field + archive::kVectorCountField, s.count(count));
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
  s.pad_to(kRecordAlign);
  const std::size_t transitions_at = s.pos();
  if (std::uint8_t* out = s.claim(graph.transitions.size() * kTransitionSize); s.ok()) {
    for (const TransitionEntry& t : graph.transitions) {
      write_transition(t, out);
      out += kTransitionSize;
    }
  }

  // 3.-4. Root names too long to sit inline, back to back, then the roots.
  static_assert(root::kFqdn == 0, "string records open with their string");
  const std::size_t roots_at = s.write_string_records(
      std::span<const RootEntry>(graph.roots), kRootSize,
      [](const RootEntry& root) -> std::string_view { return root.fqdn; },
      [](const RootEntry& root, std::uint8_t* record) {
        store_le(record + root::kState, root.state);
      });

  // 5.-7. The three lists of pairs.
  const std::size_t leaf_ranges_at = write_pairs(s, graph.leaf_ranges);
  const std::size_t ext_ranges_at = write_pairs(s, graph.ext_ranges);
  const std::size_t ext_range_sets_at = write_pairs(s, graph.ext_range_sets);

  // 8. The graph record ends the payload.
  s.pad_to(kRecordAlign);
  const std::size_t at = s.pos();
  GraphRecord rec{};
  put_vector(s, rec, record::kNodes, at, nodes_at, graph.nodes.size());
  put_vector(s, rec, record::kTransitions, at, transitions_at, graph.transitions.size());
  put_vector(s, rec, record::kRoots, at, roots_at, graph.roots.size());
  put_vector(s, rec, record::kLeafRanges, at, leaf_ranges_at, graph.leaf_ranges.size());
  store_le(rec.data() + record::kStateCount, graph.state_count);
  put_vector(s, rec, record::kExtRanges, at, ext_ranges_at, graph.ext_ranges.size());
  put_vector(s, rec, record::kExtRangeSets, at, ext_range_sets_at, graph.ext_range_sets.size());
  rec[record::kMergedFlag] = graph.merged_flag ? 1 : 0;
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
