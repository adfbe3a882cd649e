// The plain minimisation: every step as the algorithm is usually told, with
// hash containers wherever a set or a lookup is meant. Only the tests link it.
#include "testing/minimize_reference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace korvex {
namespace {

struct Symbol {
  std::uint32_t field = 0;
  std::uint8_t label_code = 0;

  friend bool operator==(const Symbol&, const Symbol&) = default;
  friend auto operator<=>(const Symbol&, const Symbol&) = default;
};

std::uint64_t symbol_key(Symbol s) { return (std::uint64_t{s.field} << 8) | s.label_code; }

struct SymbolHash {
  std::size_t operator()(Symbol s) const { return std::hash<std::uint64_t>{}(symbol_key(s)); }
};

struct NamedSignature {
  std::uint8_t node_type = 0;
  std::uint16_t ext_set = 0;
  std::vector<Symbol> outgoing;

  friend bool operator==(const NamedSignature&, const NamedSignature&) = default;
};

struct NamedSignatureHash {
  std::size_t operator()(const NamedSignature& s) const {
    std::size_t h = std::hash<std::uint32_t>{}((std::uint32_t{s.node_type} << 16) | s.ext_set);
    for (Symbol sym : s.outgoing) h = h * 1000003u ^ SymbolHash{}(sym);
    return h;
  }
};

// The range index is kept at full width (none = all ones): with 16 bits,
// range leaf 65535 would share its signature with the int64 leaf.
struct LeafSignature {
  std::uint8_t node_type = 0;
  bool is_string = false;
  std::uint64_t range = 0;

  friend bool operator==(const LeafSignature&, const LeafSignature&) = default;
};

struct LeafSignatureHash {
  std::size_t operator()(const LeafSignature& s) const {
    return std::hash<std::uint64_t>{}(s.range) * 31u + s.node_type * 2u + (s.is_string ? 1u : 0u);
  }
};

struct PendingKey {
  std::size_t block = 0;
  Symbol symbol;

  friend bool operator==(const PendingKey&, const PendingKey&) = default;
};

struct PendingKeyHash {
  std::size_t operator()(const PendingKey& k) const {
    return std::hash<std::size_t>{}(k.block) * 1000003u ^ SymbolHash{}(k.symbol);
  }
};

}  // namespace

ReferenceProgress::ReferenceProgress(std::uint64_t total, std::uint64_t initial_length,
                                     const ProgressFn& progress)
    : total_(total), initial_length_(initial_length), progress_(progress) {}

void ReferenceProgress::start() const {
  if (progress_) progress_(0, total_);
}

void ReferenceProgress::after_pair(std::uint64_t taken) {
  if (total_ == 0 || initial_length_ == 0) return;
  using u128 = unsigned __int128;
  const u128 scaled = static_cast<u128>(taken) * total_ / initial_length_;
  const std::uint64_t value =
      scaled < total_ - 1 ? static_cast<std::uint64_t>(scaled) : total_ - 1;
  const std::uint64_t percent = static_cast<std::uint64_t>(static_cast<u128>(value) * 100 / total_);
  if (percent > last_percent_) {
    if (progress_) progress_(value, total_);
    last_percent_ = percent;
  }
}

void ReferenceProgress::finish() const {
  if (progress_) progress_(total_, total_);
}

namespace {

Partition reference_with(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress,
                         std::vector<RefinementStep>* steps) {
  // 1. Index space.
  const std::size_t total_states = graph.state_count;
  if (range_count > total_states || total_states - range_count < kFixedLeafCount) {
    // Not a graph that building can produce: keep every state alone.
    ReferenceProgress report(0, 0, progress);
    report.start();
    report.finish();
    return identity_partition(graph.state_count);
  }
  const std::size_t named = total_states - range_count - kFixedLeafCount;
  auto index_of = [&](std::int64_t raw) -> std::optional<std::size_t> {
    if (raw >= 0) {
      if (static_cast<std::uint64_t>(raw) < named) return static_cast<std::size_t>(raw);
      return std::nullopt;
    }
    for (std::uint32_t p = 0; p < kFixedLeafCount; ++p) {
      if (raw == kFixedLeafSentinel[p]) return named + p;
    }
    if (raw <= -9) {
      const std::uint64_t k = static_cast<std::uint64_t>(-9 - raw);
      if (k < range_count) return named + kFixedLeafCount + k;
    }
    return std::nullopt;
  };

  // 2. Predecessor and outgoing lists.
  std::vector<std::vector<std::pair<std::size_t, Symbol>>> predecessors(total_states);
  std::vector<std::vector<Symbol>> outgoing(total_states);
  std::vector<Symbol> all_symbols;
  for (const RawTransition& t : graph.transitions) {
    const std::optional<std::size_t> from = index_of(t.from);
    const std::optional<std::size_t> to = index_of(t.to);
    if (!from || !to || *from >= named) continue;  // outside the contract: ignored
    const Symbol sym{t.field, static_cast<std::uint8_t>(t.label | (t.packed * 4))};
    predecessors[*to].emplace_back(*from, sym);
    outgoing[*from].push_back(sym);
    all_symbols.push_back(sym);
  }
  for (std::vector<Symbol>& list : outgoing) {
    if (list.size() >= 2) {
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
    }
  }

  // 3. Alphabet.
  std::unordered_set<Symbol, SymbolHash> symbol_set;
  symbol_set.reserve(graph.transitions.size());
  for (Symbol s : all_symbols) symbol_set.insert(s);
  std::vector<Symbol> alphabet(symbol_set.begin(), symbol_set.end());
  std::sort(alphabet.begin(), alphabet.end());

  // 4. Initial partition.
  std::vector<std::size_t> block(total_states, 0);
  std::size_t counter = 0;
  std::unordered_map<NamedSignature, std::size_t, NamedSignatureHash> named_blocks;
  for (std::size_t s = 0; s < named; ++s) {
    if (s < 2) {
      block[s] = counter++;
      continue;
    }
    NamedSignature sig;
    sig.node_type = s < graph.node_type.size() ? graph.node_type[s] : node_type::kMessage;
    sig.ext_set = s < graph.ext_of.size() ? graph.ext_of[s] : kNone16;
    sig.outgoing = outgoing[s];
    auto [it, inserted] = named_blocks.try_emplace(std::move(sig), counter);
    if (inserted) ++counter;
    block[s] = it->second;
  }
  std::unordered_map<LeafSignature, std::size_t, LeafSignatureHash> leaf_blocks;
  for (std::size_t i = 0; i < kFixedLeafCount + range_count; ++i) {
    LeafSignature sig;
    if (i < kFixedLeafCount) {
      sig = {leaf_node(i).type, i == kStringLeafPosition, std::numeric_limits<std::uint64_t>::max()};
    } else {
      sig = {node_type::kVarint, false, i - kFixedLeafCount};
    }
    auto [it, inserted] = leaf_blocks.try_emplace(sig, counter);
    if (inserted) ++counter;
    block[named + i] = it->second;
  }
  const std::size_t initial_blocks = counter;

  // 5. Member sets.
  std::vector<std::unordered_set<std::size_t>> members(initial_blocks);
  for (std::size_t s = 0; s < total_states; ++s) members[block[s]].insert(s);

  // 6. Initial worklist.
  std::deque<PendingKey> queue;
  std::unordered_set<PendingKey, PendingKeyHash> pending;
  for (std::size_t b = 0; b < initial_blocks; ++b) {
    for (Symbol c : alphabet) {
      queue.push_back({b, c});
      pending.insert({b, c});
    }
  }
  const std::uint64_t initial_length = static_cast<std::uint64_t>(initial_blocks) * alphabet.size();

  // 7. Work estimate.
  double estimate = -0.0;
  for (std::size_t b = 0; b < initial_blocks; ++b) {
    if (members[b].size() >= 2) estimate += std::log2(static_cast<double>(members[b].size()));
  }
  const std::uint64_t total = saturate_to_u64(std::ceil(estimate));
  ReferenceProgress report(total, initial_length, progress);
  report.start();

  // 8. Refinement.
  std::uint64_t taken = 0;
  while (!queue.empty()) {
    const PendingKey front = queue.front();
    queue.pop_front();
    ++taken;
    pending.erase(front);
    if (front.block >= members.size() || members[front.block].empty()) continue;

    std::unordered_set<std::size_t> x;
    for (std::size_t s : members[front.block]) {
      for (const auto& [p, sym] : predecessors[s]) {
        if (sym == front.symbol) x.insert(p);
      }
    }
    if (x.empty()) continue;

    std::map<std::size_t, std::vector<std::size_t>> groups;
    for (std::size_t p : x) groups[block[p]].push_back(p);
    for (const auto& [y, group] : groups) {
      if (group.size() == members[y].size()) continue;
      const std::size_t z = members.size();
      std::unordered_set<std::size_t> moved;
      for (std::size_t p : group) {
        members[y].erase(p);
        moved.insert(p);
        block[p] = z;
      }
      members.push_back(std::move(moved));
      for (Symbol d : alphabet) {
        if (pending.contains({y, d})) {
          queue.push_back({z, d});
          pending.insert({z, d});
        } else {
          const std::size_t smaller = members[y].size() < group.size() ? y : z;
          queue.push_back({smaller, d});
          pending.insert({smaller, d});
        }
      }
    }
    if (steps != nullptr) steps->push_back({taken, members.size()});
    report.after_pair(taken);
  }
  report.finish();

  // 10. Renumbering.
  constexpr std::size_t kUnset = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> leaf_block_list;
  for (std::size_t i = 0; i < kFixedLeafCount + range_count; ++i) leaf_block_list.push_back(block[named + i]);
  const std::unordered_set<std::size_t> leaf_block_set(leaf_block_list.begin(), leaf_block_list.end());
  std::unordered_map<std::size_t, std::size_t> final_number;
  std::uint32_t next = 0;
  for (std::size_t s = 0; s < total_states; ++s) {
    if (leaf_block_set.contains(block[s]) || final_number.contains(block[s])) continue;
    final_number[block[s]] = next++;
  }
  const std::size_t m = next;
  for (std::size_t i = 0; i < leaf_block_list.size(); ++i) {
    final_number.try_emplace(leaf_block_list[i], m + i);
  }
  Partition result;
  result.block_of.resize(total_states);
  for (std::size_t s = 0; s < total_states; ++s) {
    const auto it = final_number.find(block[s]);
    result.block_of[s] = static_cast<std::uint32_t>(it == final_number.end() ? kUnset : it->second);
  }
  result.num_blocks = static_cast<std::uint32_t>(m + kFixedLeafCount + range_count);
  return result;
}

}  // namespace

Partition minimize_reference(const RawGraph& graph, std::size_t range_count,
                             const ProgressFn& progress) {
  return reference_with(graph, range_count, progress, nullptr);
}

Partition minimize_reference_traced(const RawGraph& graph, std::size_t range_count,
                                    const ProgressFn& progress, std::vector<RefinementStep>& steps) {
  return reference_with(graph, range_count, progress, &steps);
}

}  // namespace korvex
