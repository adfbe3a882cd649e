#include "identify/candidates.hpp"

#include "identify/ranges.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace korvex::identify {

namespace {

// log2(n!) below this is summed exactly once; above it lgamma is close
// enough (the score needs no more than a few decimals).
constexpr std::size_t kFactorialTable = 4096;

}  // namespace

Candidates::Candidates(const serial::GraphView& graph) : graph_(&graph) {
  const auto roots = graph.roots();

  // Roots by (declared fields, node, name, index): each run of one node is
  // a candidate.
  std::vector<std::uint32_t> order(roots.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::vector<std::uint32_t> state(roots.size());
  for (std::uint32_t i = 0; i < state.size(); ++i) state[i] = roots[i].state;
  std::vector<std::uint32_t> declared(graph.nodes().size());
  for (std::uint32_t id = 0; id < declared.size(); ++id) declared[id] = graph.node(id).transition_count;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (state[a] != state[b])
      return declared[state[a]] != declared[state[b]] ? declared[state[a]] < declared[state[b]] : state[a] < state[b];
    const std::string_view na = roots[a].fqdn, nb = roots[b].fqdn;
    return na != nb ? na < nb : a < b;
  });
  root_order_ = std::move(order);
  for (std::uint32_t i = 0; i < root_order_.size(); ++i) {
    const std::uint32_t node = state[root_order_[i]];
    if (node_.empty() || node_.back() != node) {
      node_.push_back(node);
      root_first_.push_back(i);
    }
  }
  root_first_.push_back(static_cast<std::uint32_t>(root_order_.size()));

  // The inverted index: (key, candidate, taken) sorted, then split into
  // runs. Of several transitions on one field (a field may repeat in a
  // node), each wire type goes to the first that takes it.
  struct Entry {
    std::uint64_t key;
    std::uint32_t candidate;
    Taken taken;
  };
  std::vector<Entry> entries;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> extension;
  for (std::uint32_t c = 0; c < node_.size(); ++c) {
    const serial::Node n = graph.node(node_[c]);
    declared_.push_back(n.transition_count);
    const auto run = graph.transitions_of(node_[c]);
    std::uint8_t taken_wires = 0;  // bit w: wire type w already has its transition
    for (std::uint32_t i = 0; i < run.size(); ++i) {
      const serial::Transition t = run[i];
      if (i > 0 && run[i - 1].field != t.field) taken_wires = 0;
      const auto add = [&](std::uint8_t wire) {
        if (wire > 7 || (taken_wires >> wire & 1)) return;
        taken_wires |= static_cast<std::uint8_t>(1u << wire);
        entries.push_back({tag_key(t.field, wire), c, Taken{i, t.to, t.label}});
      };
      add(t.wire_type);
      if (packable(t.label, t.wire_type)) add(2);
    }
    if (n.ext_set != serial::kNoIndex && n.ext_set < graph.ext_range_sets().size()) extension.emplace_back(n.ext_set, c);
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.key != b.key ? a.key < b.key : a.candidate < b.candidate;
  });
  posting_candidates_.reserve(entries.size());
  posting_taken_.reserve(entries.size());
  for (const Entry& e : entries) {
    if (keys_.empty() || keys_.back() != e.key) {
      keys_.push_back(e.key);
      key_first_.push_back(static_cast<std::uint32_t>(posting_candidates_.size()));
    }
    posting_candidates_.push_back(e.candidate);
    posting_taken_.push_back(e.taken);
  }
  key_first_.push_back(static_cast<std::uint32_t>(posting_candidates_.size()));
  // Within each key, by (target, label, candidate): the target groups.
  for (std::size_t k = 0; k + 1 < key_first_.size(); ++k) {
    const auto first = entries.begin() + key_first_[k], last = entries.begin() + key_first_[k + 1];
    std::sort(first, last, [](const Entry& a, const Entry& b) {
      if (a.taken.to != b.taken.to) return a.taken.to < b.taken.to;
      return a.taken.label != b.taken.label ? a.taken.label < b.taken.label : a.candidate < b.candidate;
    });
    key_groups_.push_back(static_cast<std::uint32_t>(groups_.size()));
    for (auto it = first; it != last; ++it) {
      const bool repeated = it->taken.label == 2;
      if (it == first || it->taken.to != groups_.back().to || repeated != (groups_.back().label == 2))
        groups_.push_back({it->taken.to, it->taken.label, static_cast<std::uint32_t>(by_target_.size())});
      by_target_.push_back(it->candidate);
    }
  }
  key_groups_.push_back(static_cast<std::uint32_t>(groups_.size()));
  groups_.push_back({0, 0, static_cast<std::uint32_t>(by_target_.size())});

  std::sort(extension.begin(), extension.end());
  for (const auto& [set, c] : extension) {
    if (ext_groups_.empty() || ext_groups_.back().set != set)
      ext_groups_.push_back({set, static_cast<std::uint32_t>(ext_candidates_.size())});
    ext_candidates_.push_back(c);
  }
  ext_groups_.push_back({serial::kNoIndex, static_cast<std::uint32_t>(ext_candidates_.size())});

  required_.assign(graph.nodes().size(), 0);
  for (const serial::Transition t : graph.transitions())
    if (t.label == 1 && t.from < required_.size()) ++required_[t.from];
  for (const std::uint32_t node : node_) required_of_candidate_.push_back(required_[node]);

  for (const serial::LeafRange r : graph.leaf_ranges()) {
    const std::int64_t size = std::int64_t{r.hi} - r.lo + 1;
    range_bits_.push_back(size > 0 ? std::log2(static_cast<double>(size)) : 0.0);
  }

  small_floor_.assign(256, std::numeric_limits<double>::infinity());
  large_floor_ = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < graph.leaf_ranges().size(); ++i) {
    const serial::LeafRange r = graph.leaf_ranges()[i];
    if (r.lo > r.hi) continue;
    for (std::int64_t v = std::max<std::int64_t>(r.lo, 0); v <= std::min<std::int64_t>(r.hi, 255); ++v)
      small_floor_[static_cast<std::size_t>(v)] = std::min(small_floor_[static_cast<std::size_t>(v)], range_bits_[i]);
    if (r.lo < 0 || r.hi > 255) {
      large_ranges_.emplace_back(range_bits_[i], r);
      large_floor_ = std::min(large_floor_, range_bits_[i]);
    }
  }
  std::sort(large_ranges_.begin(), large_ranges_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  log2_factorial_.resize(kFactorialTable);
  double sum = 0;
  for (std::size_t n = 2; n < kFactorialTable; ++n) log2_factorial_[n] = sum += std::log2(static_cast<double>(n));
}

Postings Candidates::declaring(std::uint32_t field, std::uint8_t wire) const noexcept {
  const std::uint64_t key = tag_key(field, wire);
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (it == keys_.end() || *it != key) return {};
  const std::size_t k = static_cast<std::size_t>(it - keys_.begin());
  return Postings(posting_candidates_.data() + key_first_[k], posting_taken_.data() + key_first_[k],
                  key_first_[k + 1] - key_first_[k]);
}

std::span<const Candidates::TargetGroup> Candidates::target_groups(std::uint32_t field,
                                                                  std::uint8_t wire) const noexcept {
  const std::uint64_t key = tag_key(field, wire);
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (it == keys_.end() || *it != key) return {};
  const std::size_t k = static_cast<std::size_t>(it - keys_.begin());
  return std::span(groups_).subspan(key_groups_[k], key_groups_[k + 1] - key_groups_[k]);
}

void Candidates::extending(std::uint32_t field, std::vector<std::uint32_t>& out) const {
  const std::size_t before = out.size();
  for (std::size_t g = 0; g + 1 < ext_groups_.size(); ++g) {
    bool inside = false;
    for (const serial::ExtensionRange r : graph_->ext_ranges().sub(
             graph_->ext_range_sets()[ext_groups_[g].set].start, graph_->ext_range_sets()[ext_groups_[g].set].count))
      if (r.lo <= field && field <= r.hi) {
        inside = true;
        break;
      }
    if (!inside) continue;
    for (std::uint32_t i = ext_groups_[g].first; i < ext_groups_[g + 1].first; ++i)
      if (!graph_->transition_index(node_[ext_candidates_[i]], field)) out.push_back(ext_candidates_[i]);
  }
  // Groups are in set order, not candidate order.
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
}

double Candidates::varint_floor(std::uint64_t v, std::size_t length) const noexcept {
  // An integer leaf: uint32 is the cheapest that holds a value below 2^32.
  double best = kVarintByteBits * static_cast<double>(length) +
                (v <= 0xFFFFFFFFu ? kLength32u : v >= ~std::uint64_t{0} - 0x7FFFFFFFu ? kLength32 : kLength64);
  if (v < 256) return std::min(best, small_floor_[v]);
  // A range leaf holding v (as int64): the cheapest few are looked at,
  // past them the cheapest of all stands in.
  const auto s = static_cast<std::int64_t>(v);
  for (std::size_t i = 0; i < large_ranges_.size(); ++i) {
    if (large_ranges_[i].first >= best) return best;
    if (i == 16) return std::min(best, large_floor_);
    if (large_ranges_[i].second.lo <= s && s <= large_ranges_[i].second.hi) return large_ranges_[i].first;
  }
  return best;
}

double Candidates::log2_factorial(std::uint64_t n) const noexcept {
  if (n < log2_factorial_.size()) return log2_factorial_[n];
  return std::lgamma(static_cast<double>(n) + 1) / std::numbers::ln2;
}

}  // namespace korvex::identify
