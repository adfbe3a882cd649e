// Opening a baked graph archive: one pass per list, in an order that lets
// each check rely on the ones before it. Nodes first (their types give the
// wire type every transition must carry, their runs the node every
// transition must come from), then transitions, roots, the range sets and
// the record's scalars. Every message is built only once a check fails, so
// the loops stay plain loads and compares.
#include "build_scoring_graph/serial/graph_view.hpp"

#include <algorithm>
#include <string>
#include <utility>


namespace korvex::serial {

namespace {

using archive::error_at;
using archive::file_offset;
using archive::Reader;
using archive::Run;

namespace node = node_record;
namespace transition = transition_record;
namespace root = root_record;
namespace record = graph_record;

std::string str(std::uint64_t v) { return std::to_string(v); }

// Sorts the root words (hash << 32 | index, built in index order) by hash,
// stably, so that equal hashes keep their indexes ascending; then orders
// each run of equal hashes by name. Two 16-bit radix passes for large
// lists: a comparison sort of 10^5 names would cost more than the rest of
// the checks.
void sort_roots(std::vector<std::uint64_t>& order, const Records<Root>& roots) {
  constexpr std::size_t kRadixFrom = 4096;
  if (order.size() < kRadixFrom) {
    std::sort(order.begin(), order.end());
  } else {
    std::vector<std::uint64_t> scratch(order.size());
    std::vector<std::uint32_t> counts(std::size_t{1} << 16);
    for (const unsigned shift : {32u, 48u}) {
      std::fill(counts.begin(), counts.end(), 0);
      for (const std::uint64_t w : order) ++counts[(w >> shift) & 0xFFFF];
      std::uint32_t sum = 0;
      for (std::uint32_t& c : counts) sum += std::exchange(c, sum);
      for (const std::uint64_t w : order) scratch[counts[(w >> shift) & 0xFFFF]++] = w;
      order.swap(scratch);
    }
  }
  const auto by_name = [&roots](std::uint64_t a, std::uint64_t b) {
    const std::string_view na = roots[a & 0xFFFFFFFF].fqdn;
    const std::string_view nb = roots[b & 0xFFFFFFFF].fqdn;
    return na != nb ? na < nb : a < b;
  };
  for (auto run = order.begin(); run != order.end();) {
    const auto hash = *run >> 32;
    auto next = run + 1;
    while (next != order.end() && (*next >> 32) == hash) ++next;
    if (next - run > 1) std::sort(run, next, by_name);
    run = next;
  }
}

}  // namespace

// Friend of GraphView: fills in a view while checking what it reads.
class GraphChecker {
 public:
  static Result<GraphView> open(std::span<const std::uint8_t> archive) {
    auto payload = archive::open_payload(archive, kGraphFormatVersion, "graph");
    if (!payload) return std::unexpected(std::move(payload.error()));
    GraphView v;
    v.reader_ = Reader(*payload);
    const Reader& r = v.reader_;
    const std::size_t size = r.size();
    if (size < record::kSize)
      return std::unexpected(error_at(file_offset(0), "payload of " + str(size) +
                                                          " bytes is too short for the " + str(record::kSize) + "-byte graph record"));
    const std::size_t at = size - record::kSize;
    if (at % kRecordAlign != 0)
      return std::unexpected(error_at(file_offset(at), "the graph record that ends the payload is not 4-aligned"));

    struct Field {
      std::size_t offset;
      std::size_t element_size;
      const char* name;
      Run GraphView::* run;
    };
    static constexpr Field kLists[] = {
        {record::kNodes, node::kSize, "nodes", &GraphView::nodes_},
        {record::kTransitions, transition::kSize, "transitions", &GraphView::transitions_},
        {record::kRoots, root::kSize, "roots", &GraphView::roots_},
        {record::kLeafRanges, pair_record::kSize, "leaf_ranges", &GraphView::leaf_ranges_},
        {record::kExtRanges, pair_record::kSize, "ext_ranges", &GraphView::ext_ranges_},
        {record::kExtRangeSets, pair_record::kSize, "ext_range_sets", &GraphView::ext_range_sets_},
    };
    for (const Field& f : kLists) {
      auto run = r.vector(at + f.offset, f.element_size, kRecordAlign, at,
                          [&] { return std::string(f.name) + " list"; });
      if (!run) return std::unexpected(std::move(run.error()));
      v.*f.run = *run;
    }

    const std::uint32_t node_count = v.nodes_.count;
    if (auto ok = check_record(v, at, node_count); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = check_range_sets(v); !ok) return std::unexpected(std::move(ok.error()));
    std::vector<std::uint8_t> wire(node_count);
    if (auto ok = check_nodes(v, wire); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = check_transitions(v, wire); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = check_roots(v); !ok) return std::unexpected(std::move(ok.error()));
    return v;
  }

 private:
  static Result<void> check_record(GraphView& v, std::size_t at, std::uint32_t node_count) {
    const Reader& r = v.reader_;
    v.state_count_ = r.load<std::uint32_t>(at + record::kStateCount);
    if (v.state_count_ != node_count)
      return std::unexpected(error_at(file_offset(at + record::kStateCount),
                                      "state_count is " + str(v.state_count_) + ", but the graph has " +
                                          str(node_count) + " nodes"));
    const std::uint8_t merged = r.data()[at + record::kMergedFlag];
    if (merged > 1)
      return std::unexpected(error_at(file_offset(at + record::kMergedFlag),
                                      "merged_flag is " + str(merged) + ", which is neither 0 nor 1"));
    v.merged_flag_ = merged != 0;
    for (std::size_t i = record::kMergedFlag + 1; i < record::kSize; ++i) {
      if (r.data()[at + i] != 0)
        return std::unexpected(error_at(file_offset(at + i), "the graph record has non-zero padding"));
    }
    return {};
  }

  static Result<void> check_range_sets(const GraphView& v) {
    const Records<ExtensionRangeSet> sets = v.ext_range_sets();
    const std::uint64_t ranges = v.ext_ranges_.count;
    for (std::uint32_t i = 0; i < sets.size(); ++i) {
      const ExtensionRangeSet s = sets[i];
      if (std::uint64_t{s.start} + s.count > ranges) [[unlikely]]
        return std::unexpected(error_at(file_offset(v.ext_range_sets_.pos + pair_record::kSize * std::size_t{i}),
                                        "extension-range set " + str(i) + " (start " + str(s.start) + ", count " +
                                            str(s.count) + ") runs past the " + str(ranges) +
                                            " extension ranges"));
    }
    return {};
  }

  // Node-local fields, and the runs: each node's run starts where the
  // previous one ended, so together they cover the transitions in node
  // order. Fills the wire type a transition into each node must carry.
  static Result<void> check_nodes(const GraphView& v, std::vector<std::uint8_t>& wire) {
    const Reader& r = v.reader_;
    const std::uint32_t n = v.nodes_.count;
    const std::uint64_t transitions = v.transitions_.count;
    const std::uint32_t leaf_ranges = v.leaf_ranges_.count;
    const std::uint32_t sets = v.ext_range_sets_.count;
    std::uint64_t cursor = 0;
    std::size_t at = v.nodes_.pos;
    for (std::uint32_t i = 0; i < n; ++i, at += node::kSize) {
      const auto id = r.load<std::uint32_t>(at + node::kId);
      const std::uint8_t type = r.data()[at + node::kType];
      const std::uint8_t is_string = r.data()[at + node::kIsString];
      const auto range = r.load<std::uint16_t>(at + node::kRange);
      const auto ext_set = r.load<std::uint16_t>(at + node::kExtSet);
      const auto padding = r.load<std::uint16_t>(at + node::kPadding);
      const auto first = r.load<std::uint32_t>(at + node::kFirstTransition);
      const auto count = r.load<std::uint32_t>(at + node::kTransitionCount);
      wire[i] = wire_type_of(type);
      if (id != i || is_string > 1 || padding != 0 || (range != kNoIndex && range >= leaf_ranges) ||
          (ext_set != kNoIndex && ext_set >= sets) || first != cursor || count > transitions - cursor) [[unlikely]] {
        if (id != i)
          return std::unexpected(error_at(file_offset(at + node::kId), "node " + str(i) + " has id " + str(id) +
                                                               ", but node ids count up from 0"));
        if (is_string > 1)
          return std::unexpected(error_at(file_offset(at + node::kIsString), "node " + str(i) + " has is_string " +
                                                                   str(is_string) + ", which is neither 0 nor 1"));
        if (padding != 0)
          return std::unexpected(error_at(file_offset(at + node::kPadding), "node " + str(i) + " has non-zero padding"));
        if (range != kNoIndex && range >= leaf_ranges)
          return std::unexpected(error_at(file_offset(at + node::kRange), "node " + str(i) + " has range " + str(range) +
                                                                   ", but the graph has " + str(leaf_ranges) +
                                                                   " leaf ranges"));
        if (ext_set != kNoIndex && ext_set >= sets)
          return std::unexpected(error_at(file_offset(at + node::kExtSet), "node " + str(i) + " has ext_set " + str(ext_set) +
                                                                   ", but the graph has " + str(sets) +
                                                                   " extension-range sets"));
        if (first != cursor)
          return std::unexpected(error_at(file_offset(at + node::kFirstTransition), "node " + str(i) + " has first_transition " +
                                                                    str(first) + ", but its run starts at transition " +
                                                                    str(cursor)));
        return std::unexpected(error_at(file_offset(at + node::kTransitionCount), "node " + str(i) + " has transition_count " +
                                                                  str(count) + ", which runs past the " +
                                                                  str(transitions) + " transitions"));
      }
      cursor += count;
    }
    if (cursor != transitions)
      return std::unexpected(error_at(file_offset(v.transitions_.pos + transition::kSize * cursor),
                                      "transition " + str(cursor) + " lies past the runs of all " + str(n) +
                                          " nodes"));
    return {};
  }

  // Every transition: its source is the node whose run holds it (which
  // also proves the sources sorted), fields ascend within a run, the target
  // is a node and the wire type is the one the target's type implies.
  static Result<void> check_transitions(const GraphView& v, const std::vector<std::uint8_t>& wire) {
    const Reader& r = v.reader_;
    const std::uint32_t n = v.nodes_.count;
    const std::uint32_t t = v.transitions_.count;
    std::uint32_t owner = 0;      // node whose run holds transition j
    std::uint64_t owner_end = 0;  // end of that run
    std::size_t node_at = v.nodes_.pos;
    std::uint32_t previous_field = 0;
    std::size_t at = v.transitions_.pos;
    for (std::uint32_t j = 0; j < t; ++j, at += transition::kSize) {
      if (j == owner_end) {
        // The node runs cover [0, t) (checked above), so a later node owns
        // j; the bound only matters should the bytes change meanwhile.
        if (j != 0) ++owner, node_at += node::kSize;
        while (owner < n && r.load<std::uint32_t>(node_at + node::kTransitionCount) == 0) ++owner, node_at += node::kSize;
        if (owner == n)
          return std::unexpected(error_at(file_offset(at + transition::kFrom), "transition " + str(j) + " lies past the runs of all " +
                                                               str(n) + " nodes"));
        owner_end = std::uint64_t{j} + r.load<std::uint32_t>(node_at + node::kTransitionCount);
        previous_field = 0;
      }
      const auto from = r.load<std::uint32_t>(at + transition::kFrom);
      const auto field = r.load<std::uint32_t>(at + transition::kField);
      const std::uint8_t wire_type = r.data()[at + transition::kWireType];
      const std::uint8_t packed = r.data()[at + transition::kPacked];
      const std::uint8_t padding = r.data()[at + transition::kPadding];
      const auto to = r.load<std::uint32_t>(at + transition::kTo);
      if (from != owner || field < previous_field || to >= n || packed > 1 || padding != 0 ||
          wire_type != wire[to]) [[unlikely]] {
        if (from >= n)
          return std::unexpected(error_at(file_offset(at + transition::kFrom), "transition " + str(j) + " comes from node " + str(from) +
                                                               ", but the graph has " + str(n) + " nodes"));
        if (from != owner)
          return std::unexpected(error_at(file_offset(at + transition::kFrom), "transition " + str(j) + " comes from node " + str(from) +
                                                               ", but it lies in the run of node " + str(owner)));
        if (field < previous_field)
          return std::unexpected(error_at(file_offset(at + transition::kField), "transition " + str(j) + " has field " + str(field) +
                                                                   " after field " + str(previous_field) +
                                                                   " of the same node, but transitions are sorted "
                                                                   "by (from, field)"));
        if (to >= n)
          return std::unexpected(error_at(file_offset(at + transition::kTo), "transition " + str(j) + " points at node " +
                                                                    str(to) + ", but the graph has " + str(n) +
                                                                    " nodes"));
        if (packed > 1)
          return std::unexpected(error_at(file_offset(at + transition::kPacked), "transition " + str(j) + " has packed " +
                                                                    str(packed) + ", which is neither 0 nor 1"));
        if (padding != 0)
          return std::unexpected(error_at(file_offset(at + transition::kPadding), "transition " + str(j) + " has non-zero padding"));
        return std::unexpected(error_at(file_offset(at + transition::kWireType), "transition " + str(j) + " has wire_type " +
                                                                 str(wire_type) + ", but its target node " + str(to) +
                                                                 " of type " + str(r.data()[node_at_of(v, to) + node::kType]) +
                                                                 " needs " + str(wire[to])));
      }
      previous_field = field;
    }
    return {};
  }

  static std::size_t node_at_of(const GraphView& v, std::uint32_t id) { return v.nodes_.pos + node::kSize * std::size_t{id}; }

  static Result<void> check_roots(GraphView& v) {
    const Reader& r = v.reader_;
    const std::uint32_t n = v.nodes_.count;
    const std::uint32_t count = v.roots_.count;
    v.root_order_.resize(count);
    std::size_t at = v.roots_.pos;
    for (std::uint32_t i = 0; i < count; ++i, at += root::kSize) {
      auto name = r.string(at + root::kFqdn, [&] { return "root " + str(i) + " fqdn"; });
      if (!name) return std::unexpected(std::move(name.error()));
      const auto state = r.load<std::uint32_t>(at + root::kState);
      if (state >= n)
        return std::unexpected(error_at(file_offset(at + root::kState), "root " + str(i) + " points at node " + str(state) +
                                                                 ", but the graph has " + str(n) + " nodes"));
      v.root_order_[i] = (archive::fx_hash(*name) >> 32) << 32 | i;
    }
    sort_roots(v.root_order_, v.roots());
    return {};
  }
};

Result<GraphView> GraphView::open(std::span<const std::uint8_t> archive) { return GraphChecker::open(archive); }

std::optional<std::uint32_t> GraphView::transition_index(std::uint32_t id, std::uint32_t field) const noexcept {
  const Records<Transition> all = transitions();
  const Node n = node(id);
  // Clamped like Records::sub, so that changed bytes cannot send the search
  // outside the list.
  std::size_t lo = std::min<std::size_t>(n.first_transition, all.size());
  std::size_t hi = lo + std::min<std::size_t>(n.transition_count, all.size() - lo);
  const std::size_t base = transitions_.pos;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (reader_.load<std::uint32_t>(base + transition_record::kSize * mid + transition_record::kField) < field)
      lo = mid + 1;
    else
      hi = mid;
  }
  const std::size_t end = std::min<std::size_t>(std::size_t{n.first_transition} + n.transition_count, all.size());
  if (lo < end && reader_.load<std::uint32_t>(base + transition_record::kSize * lo + transition_record::kField) == field) return static_cast<std::uint32_t>(lo);
  return std::nullopt;
}

std::optional<std::uint32_t> GraphView::root_index(std::string_view name) const noexcept {
  const std::uint64_t hash = archive::fx_hash(name) >> 32;
  const auto lo = std::lower_bound(root_order_.begin(), root_order_.end(), hash << 32);
  const auto hi = std::upper_bound(lo, root_order_.end(), hash << 32 | 0xFFFFFFFF);
  const Records<Root> all = roots();
  const auto it = std::lower_bound(lo, hi, name, [&all](std::uint64_t word, std::string_view key) {
    return all[word & 0xFFFFFFFF].fqdn < key;
  });
  if (it == hi || all[*it & 0xFFFFFFFF].fqdn != name) return std::nullopt;
  return static_cast<std::uint32_t>(*it & 0xFFFFFFFF);
}

}  // namespace korvex::serial
