#include "identify/candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace korvex::identify {

namespace {

std::uint32_t most_transitions(const serial::GraphView& graph) {
  std::uint32_t most = 0;
  for (const serial::Node n : graph.nodes()) most = std::max(most, n.transition_count);
  return most;
}

// A stable counting sort of `items` by key(item) < buckets, through
// `spare` (left holding the old order).
template <class Vector, class KeyOf>
void counting_sort(Vector& items, Vector& spare, std::size_t buckets, const KeyOf& key_of) {
  std::pmr::vector<std::uint32_t> start(buckets + 1, 0, items.get_allocator());
  for (const auto& item : items) ++start[key_of(item) + 1];
  for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
  spare.resize(items.size());
  for (const auto& item : items) spare[start[key_of(item)]++] = item;
  items.swap(spare);
}

// Room for the tables of a graph, and for the working arrays that build
// them, from what they take per node, transition and root (postings and
// groups by the transitions, of which they are usually fewer): the first
// block of each arena, which later ones double if it runs out. Generous,
// since room never touched costs no page, while a second block would
// leave the rest of the first unused.
std::size_t table_bytes(const serial::GraphView& graph) {
  return 64 * 1024 + 120 * graph.nodes().size() + 64 * graph.transitions().size() + 12 * graph.roots().size();
}
std::size_t scratch_bytes(const serial::GraphView& graph) {
  return 64 * 1024 + 48 * graph.nodes().size() + 24 * graph.transitions().size() + 24 * graph.roots().size();
}

}  // namespace

Candidates::Candidates(const serial::GraphView& graph)
    : graph_(&graph), arena_(table_bytes(graph)), presence_(most_transitions(graph)) {
  // The working arrays, freed on return.
  TableArena scratch(scratch_bytes(graph));
  // The graph, copied and checked: runs inside the transitions, targets
  // inside the nodes, ranges inside their tables.
  const auto nodes = graph.nodes();
  const auto transitions = graph.transitions();
  const auto node_count = static_cast<std::uint32_t>(nodes.size());
  leaf_ranges_.assign(graph.leaf_ranges().begin(), graph.leaf_ranges().end());
  ext_ranges_.assign(graph.ext_ranges().begin(), graph.ext_ranges().end());
  ext_sets_.assign(graph.ext_range_sets().begin(), graph.ext_range_sets().end());
  for (serial::ExtensionRangeSet& s : ext_sets_) {
    s.start = std::min<std::uint32_t>(s.start, static_cast<std::uint32_t>(ext_ranges_.size()));
    s.count = std::min<std::uint32_t>(s.count, static_cast<std::uint32_t>(ext_ranges_.size()) - s.start);
  }
  nodes_.resize(node_count);
  std::pmr::vector<std::uint8_t> type(node_count, &scratch);
  for (std::uint32_t id = 0; id < node_count; ++id) {
    const serial::Node n = nodes[id];
    const std::uint32_t first = std::min<std::uint32_t>(n.first_transition, static_cast<std::uint32_t>(transitions.size()));
    const std::uint32_t count = std::min<std::uint32_t>(n.transition_count, static_cast<std::uint32_t>(transitions.size()) - first);
    nodes_[id] = NodeInfo{first, count, 0,
                          n.range < leaf_ranges_.size() ? n.range : serial::kNoIndex,
                          n.ext_set < ext_sets_.size() ? n.ext_set : serial::kNoIndex, n.type, n.is_string};
    type[id] = n.type;
  }
  arcs_.resize(transitions.size());
  for (std::size_t i = 0; i < arcs_.size(); ++i) {
    const serial::Transition t = transitions[i];
    arcs_[i] = Arc{t.field, t.to, t.label, t.to < node_count ? serial::wire_type_of(type[t.to]) : kNoWire};
  }
  // Masks, required counts, and the readings of every key: keys numbered
  // as first seen (most repeat), each with its readings or-ed, then the
  // distinct keys sorted.
  masks_.resize(node_count);
  KeyNumbers numbers;
  std::vector<std::uint8_t> readings;
  // Each arc's key number, and its packed key's (kNoKey: none), for the
  // postings below.
  constexpr std::uint32_t kNoKey = 0xFFFFFFFF;
  // (Side by side: the postings below read both of an arc at once.)
  struct ArcKeys {
    std::uint32_t plain = kNoKey, packed = kNoKey;
  };
  std::pmr::vector<ArcKeys> arc_keys(arcs_.size(), &scratch);
  const auto read_as = [&](std::uint64_t key, std::uint8_t reading) {
    const std::uint32_t n = numbers.number(key);
    if (n == readings.size()) readings.push_back(0);
    readings[n] |= reading;
    return n;
  };
  for (std::uint32_t id = 0; id < node_count; ++id) {
    NodeInfo& n = nodes_[id];
    for (std::uint32_t i = n.first; i < n.first + n.count; ++i) {
      const Arc& a = arcs_[i];
      n.required += a.label == 1;
      if (a.wire == kNoWire) continue;
      masks_[id].add(tag_key(a.field, a.wire));
      const std::uint8_t target = type[a.to];
      arc_keys[i].plain = read_as(tag_key(a.field, a.wire), a.wire == 2 && target == 10 ? kAsFields
                                                     : a.wire == 2             ? (nodes_[a.to].is_string ? kAsString : kAsBytes)
                                                     : a.wire == 3             ? kAsFields
                                                                               : kAsScalar);
      if (packable(a.label, a.wire)) {
        masks_[id].add(tag_key(a.field, 2));
        arc_keys[i].packed = read_as(tag_key(a.field, 2), a.wire == 0 ? kAsPackedVarints : kAsPackedFixed);
      }
    }
  }
  // A node's signature, made for each group whose target it is (a node is
  // the target of a group or two).
  const auto signature_of = [&](std::uint32_t id) {
    const NodeInfo& n = nodes_[id];
    std::uint64_t declared = 0, taken[8] = {}, message = 0, string = 0;
    for (std::uint32_t i = n.first; i < n.first + n.count; ++i) {
      const Arc& a = arcs_[i];
      if (a.field < 1 || a.field > kSignatureFields) continue;
      const std::uint64_t bit = std::uint64_t{1} << (a.field - 1);
      declared |= bit;
      const bool first_of_2 = (taken[2] & bit) == 0;
      if (a.wire < 8) taken[a.wire] |= bit;
      if (a.wire != kNoWire && packable(a.label, a.wire)) taken[2] |= bit;
      if (a.wire == 2 && first_of_2) {
        if (has_fields(type[a.to]))
          message |= bit;
        else if (nodes_[a.to].is_string)
          string |= bit;
      }
    }
    std::uint64_t words[8];
    for (std::uint8_t w = 0; w < 8; ++w) words[unread_slot(w)] = declared & ~taken[w];
    words[kUnreadSlots] = message;
    words[kUnreadSlots + 1] = string;
    return Signature::of(words);
  };
  // The keys sorted; a key's number to its place among them.
  std::pmr::vector<std::uint32_t> rank(readings.size(), &scratch);
  {
    std::pmr::vector<std::uint32_t> order(readings.size(), &scratch);
    for (std::uint32_t n = 0; n < order.size(); ++n) order[n] = n;
    const std::vector<std::uint64_t>& keys = numbers.keys();
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    node_keys_.reserve(order.size());
    keys_.reserve(order.size());
    for (std::uint32_t r = 0; r < order.size(); ++r) {
      rank[order[r]] = r;
      node_keys_.emplace_back(keys[order[r]], readings[order[r]]);
      keys_.push_back(keys[order[r]]);
    }
  }

  // Candidates: the root nodes by (D, smallest name of their roots), so
  // that within a block of one D, candidates of equal cost come in the
  // order the answer ranks them; each node's smallest root first (the
  // others are sorted by roots() when first asked for).
  const auto roots = graph.roots();
  std::pmr::vector<std::uint32_t> roots_of(node_count + 1, 0, &scratch);
  for (std::uint32_t i = 0; i < roots.size(); ++i)
    if (const serial::Root r = roots[i]; r.state < node_count) ++roots_of[r.state + 1];
  for (std::uint32_t id = 0; id < node_count; ++id) roots_of[id + 1] += roots_of[id];
  std::pmr::vector<std::uint32_t> grouped(roots_of.back(), &scratch);
  {
    std::pmr::vector<std::uint32_t> at(roots_of.begin(), roots_of.end() - 1, &scratch);
    for (std::uint32_t i = 0; i < roots.size(); ++i)
      if (roots[i].state < node_count) grouped[at[roots[i].state]++] = i;
  }
  const auto by_name = [&](std::uint32_t a, std::uint32_t b) {
    const int order = roots[a].fqdn.compare(roots[b].fqdn);
    return order != 0 ? order < 0 : a < b;
  };
  std::uint32_t most = 0;
  for (std::uint32_t id = 0; id < node_count; ++id) {
    if (roots_of[id + 1] == roots_of[id]) continue;
    most = std::max(most, nodes_[id].count);
    if (roots_of[id + 1] - roots_of[id] > 1) {
      const auto first = grouped.begin() + roots_of[id], last = grouped.begin() + roots_of[id + 1];
      std::iter_swap(first, std::min_element(first, last, by_name));
    }
  }
  std::pmr::vector<std::uint32_t> by_declared(std::size_t{most} + 2, 0, &scratch);
  for (std::uint32_t id = 0; id < node_count; ++id)
    if (roots_of[id + 1] != roots_of[id]) ++by_declared[nodes_[id].count + 1];
  for (std::size_t d = 0; d + 1 < by_declared.size(); ++d) by_declared[d + 1] += by_declared[d];
  node_.resize(by_declared.back());
  for (std::uint32_t id = 0; id < node_count; ++id)
    if (roots_of[id + 1] != roots_of[id]) node_[by_declared[nodes_[id].count]++] = id;
  for (std::uint32_t c = 0; c < node_.size(); ++c)
    if (blocks_.empty() || blocks_.back().declared != nodes_[node_[c]].count)
      blocks_.push_back({nodes_[node_[c]].count, c});
  blocks_.push_back({0, static_cast<std::uint32_t>(node_.size())});
  {
    // Each candidate beside its smallest name, so that the sort reads no
    // table but this one.
    struct Named {
      std::string_view name;
      std::uint32_t root, node;
    };
    std::pmr::vector<Named> named(node_.size(), &scratch);
    for (std::uint32_t c = 0; c < node_.size(); ++c) {
      const std::uint32_t root = grouped[roots_of[node_[c]]];
      named[c] = {roots[root].fqdn, root, node_[c]};
    }
    for (std::size_t b = 0; b + 1 < blocks_.size(); ++b)
      std::sort(named.begin() + blocks_[b].first, named.begin() + blocks_[b + 1].first,
                [](const Named& x, const Named& y) {
                  const int order = x.name.compare(y.name);
                  return order != 0 ? order < 0 : x.root < y.root;
                });
    for (std::uint32_t c = 0; c < node_.size(); ++c) node_[c] = named[c].node;
  }
  root_first_.reserve(node_.size() + 1);
  root_order_.reserve(grouped.size());
  for (const std::uint32_t id : node_) {
    root_first_.push_back(static_cast<std::uint32_t>(root_order_.size()));
    root_order_.insert(root_order_.end(), grouped.begin() + roots_of[id], grouped.begin() + roots_of[id + 1]);
  }
  root_first_.push_back(static_cast<std::uint32_t>(root_order_.size()));
  sorted_ = std::make_unique<std::once_flag[]>(node_.size());

  // Postings. Of several transitions on one field (a field may repeat in
  // a node), each wire type goes to the first that takes it. Two passes
  // over the candidates' transitions: one counts each key's postings, in
  // node order (the order of the tables it reads: in candidate order,
  // three in four of their lines were misses on a graph of 200 000
  // roots), the other puts them in place, in candidate order.
  const auto postings_of = [&](std::uint32_t id, std::uint32_t c, const auto& f) {
    const NodeInfo& n = nodes_[id];
    std::uint8_t taken_wires = 0;  // bit w: wire type w already has its transition
    for (std::uint32_t i = 0; i < n.count; ++i) {
      const Arc& a = arcs_[n.first + i];
      if (i > 0 && arcs_[n.first + i - 1].field != a.field) taken_wires = 0;
      if (a.wire == kNoWire) continue;
      const auto add = [&](std::uint8_t wire, std::uint32_t number) {
        if (wire > 7 || (taken_wires >> wire & 1)) return;
        taken_wires |= static_cast<std::uint8_t>(1u << wire);
        f(rank[number], c, Taken{i, a.to, 0, a.label});
      };
      const ArcKeys keys = arc_keys[n.first + i];
      add(a.wire, keys.plain);
      if (packable(a.label, a.wire)) add(2, keys.packed);
    }
  };
  std::pmr::vector<std::uint32_t> at(keys_.size() + 1, 0, &scratch);
  for (std::uint32_t id = 0; id < node_count; ++id)
    if (roots_of[id + 1] != roots_of[id])
      postings_of(id, 0, [&](std::uint32_t key, std::uint32_t, const Taken&) { ++at[key + 1]; });
  for (std::size_t k = 0; k < keys_.size(); ++k) at[k + 1] += at[k];
  key_ranges_.assign(keys_.size(), Key{});
  for (std::size_t k = 0; k < keys_.size(); ++k) key_ranges_[k].first = key_ranges_[k].last = at[k];
  post_candidate_.resize(at.back());
  post_taken_.resize(at.back());
  for (std::uint32_t c = 0; c < node_.size(); ++c) {
    // Candidate order is not the order of the tables read: the nodes and
    // transitions of the candidates just ahead are fetched meanwhile.
    if (c + 16 < node_.size()) __builtin_prefetch(&nodes_[node_[c + 16]]);
    if (c + 8 < node_.size()) {
      const NodeInfo& ahead = nodes_[node_[c + 8]];
      __builtin_prefetch(&arcs_[ahead.first]);
      __builtin_prefetch(&arc_keys[ahead.first]);
    }
    postings_of(node_[c], c, [&](std::uint32_t key, std::uint32_t candidate, const Taken& taken) {
      const std::uint32_t i = key_ranges_[key].last++;
      post_candidate_[i] = candidate;
      post_taken_[i] = taken;
    });
  }
  // Each posting's key, written in order rather than beside the rest.
  std::pmr::vector<std::uint32_t> key_of(at.back(), &scratch);
  for (std::uint32_t k = 0; k < keys_.size(); ++k)
    std::fill(key_of.begin() + at[k], key_of.begin() + at[k + 1], k);
  // Groups: the postings by (key, target, repeated, candidate), through two
  // stable sorts of their positions.
  std::pmr::vector<std::uint32_t> position(post_candidate_.size(), &scratch);
  for (std::uint32_t i = 0; i < position.size(); ++i) position[i] = i;
  {
    std::pmr::vector<std::uint32_t> spare(&scratch);
    counting_sort(position, spare, std::size_t{node_count} * 2, [&](std::uint32_t i) {
      return std::size_t{post_taken_[i].to} * 2 + (post_taken_[i].label == 2 ? 1 : 0);
    });
    counting_sort(position, spare, keys_.size(), [&](std::uint32_t i) { return key_of[i]; });
  }
  by_target_.resize(position.size());
  // A posting starts a group where its key, target or label changes from
  // the one before. Counted first: the tables sit in an arena that frees
  // nothing, where a growing vector would leave every smaller copy behind.
  const auto starts_group = [&](std::uint32_t j) {
    if (j == 0) return true;
    const Taken &taken = post_taken_[position[j]], &before = post_taken_[position[j - 1]];
    return key_of[position[j - 1]] != key_of[position[j]] || before.to != taken.to ||
           (before.label == 2) != (taken.label == 2);
  };
  std::size_t group_count = 0, leaf_count = 0;
  for (std::uint32_t j = 0; j < position.size(); ++j) {
    if (!starts_group(j)) continue;
    ++group_count;
    leaf_count += !has_fields(nodes_[post_taken_[position[j]].to].type);
  }
  groups_.reserve(group_count + 1);
  leaf_groups_.reserve(leaf_count);
  for (std::uint32_t j = 0; j < position.size(); ++j) {
    const std::uint32_t i = position[j];
    const Taken& taken = post_taken_[i];
    Key& k = key_ranges_[key_of[i]];
    const bool starts_key = j == 0 || key_of[position[j - 1]] != key_of[i];
    if (starts_key) {
      k.first_group = k.last_group = static_cast<std::uint32_t>(groups_.size());
      k.first_leaf = k.last_leaf = static_cast<std::uint32_t>(leaf_groups_.size());
    }
    if (starts_group(j)) {
      const std::uint32_t to = taken.to;
      const bool fields = has_fields(nodes_[to].type);
      if (!fields) leaf_groups_.push_back(static_cast<std::uint32_t>(groups_.size())), ++k.last_leaf;
      groups_.push_back(TargetGroup{to, j, nodes_[to].count, nodes_[to].required, taken.label, fields,
                                    nodes_[to].ext_set != serial::kNoIndex});
      ++k.last_group;
    }
    by_target_[j] = post_candidate_[i];
    post_taken_[i].group = static_cast<std::uint32_t>(groups_.size() - 1);
  }
  groups_.push_back(TargetGroup{0, static_cast<std::uint32_t>(by_target_.size()), 0, 0, 0, false, false});
  group_masks_.resize(groups_.size());
  group_signatures_.resize(groups_.size());
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    group_masks_[g] = masks_[groups_[g].to];
    group_signatures_[g] = signature_of(groups_[g].to);
    if (!groups_[g].fields || groups_[g].extensions) group_masks_[g].word[0] = group_masks_[g].word[1] = ~std::uint64_t{0};
  }

  {
    std::size_t planes = 0;
    for (const Key& k : key_ranges_)
      if (k.last_group - k.first_group >= kPlanesFrom) planes += 128 * ((std::size_t{k.last_group - k.first_group} + 63) / 64);
    // Offsets are 32 bits: a graph of more (billions of transitions) screens
    // group by group.
    const bool fits = planes < kNotDense;
    planes_.assign(fits ? planes : 0, 0);
    planes = 0;
    for (Key& k : key_ranges_) {
      const std::uint32_t n = k.last_group - k.first_group;
      if (n < kPlanesFrom || !fits) continue;
      const std::size_t words = (std::size_t{n} + 63) / 64;
      k.planes = static_cast<std::uint32_t>(planes);
      for (std::uint32_t j = 0; j < n; ++j) {
        const Signature& s = group_signatures_[k.first_group + j];
        for (unsigned half = 0; half < 2; ++half)
          for (std::uint64_t bits = s.word[half]; bits != 0; bits &= bits - 1) {
            const std::size_t plane = 64 * half + static_cast<std::size_t>(std::countr_zero(bits));
            planes_[planes + plane * words + j / 64] |= std::uint64_t{1} << (j % 64);
          }
      }
      planes += 128 * words;
    }
  }

  const std::size_t words = (node_.size() + 63) / 64;
  group_bits_at_.assign(groups_.size(), kNoBits);
  std::size_t bitsets = 0;
  for (std::size_t g = 0; g + 1 < groups_.size(); ++g)
    if (group_candidates(static_cast<std::uint32_t>(g)).size() >= kBitsetFrom)
      group_bits_at_[g] = static_cast<std::uint32_t>(bitsets++ * words);
  group_bits_.assign(bitsets * words, 0);
  for (std::size_t g = 0; g + 1 < groups_.size(); ++g) {
    if (group_bits_at_[g] == kNoBits) continue;
    const auto members = group_candidates(static_cast<std::uint32_t>(g));
    std::uint64_t* bits = group_bits_.data() + group_bits_at_[g];
    for (const std::uint32_t c : members) bits[c / 64] |= std::uint64_t{1} << (c % 64);
  }

  // Dense keys: their postings as a bitset of the candidates, with the
  // count before each word. A key is dense when it has a posting for at
  // least every 32nd candidate, so that this takes less room than its
  // postings do.
  const auto is_dense = [&](const Key& k) { return k.size() * 32 >= node_.size(); };
  const auto has_messages = [](const Key& k) { return k.last_group - k.first_group != k.last_leaf - k.first_leaf; };
  std::size_t dense = 0, dense_messages = 0;
  for (const Key& k : key_ranges_) {
    dense += is_dense(k);
    dense_messages += is_dense(k) && has_messages(k);
  }
  dense_bits_.assign(dense * words, 0);
  dense_rank_.assign(dense * words, 0);
  dense_message_bits_.assign(dense_messages * words, 0);
  dense = dense_messages = 0;
  for (Key& k : key_ranges_) {
    if (!is_dense(k)) continue;
    k.dense = static_cast<std::uint32_t>(dense++ * words);
    std::uint64_t* bits = dense_bits_.data() + k.dense;
    for (std::uint32_t i = k.first; i < k.last; ++i) bits[post_candidate_[i] / 64] |= std::uint64_t{1} << (post_candidate_[i] % 64);
    std::uint32_t* rank = dense_rank_.data() + k.dense;
    for (std::size_t w = 1; w < words; ++w) rank[w] = rank[w - 1] + static_cast<std::uint32_t>(std::popcount(bits[w - 1]));
    // Those taking it as a message, ruled out at once by values that are
    // not wire format.
    if (!has_messages(k)) continue;
    k.dense_messages = static_cast<std::uint32_t>(dense_messages++ * words);
    std::uint64_t* messages = dense_message_bits_.data() + k.dense_messages;
    for (std::uint32_t i = k.first; i < k.last; ++i)
      if (groups_[post_taken_[i].group].fields) messages[post_candidate_[i] / 64] |= std::uint64_t{1} << (post_candidate_[i] % 64);
  }

  // Extension ranges, by set.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> extension;
  for (std::uint32_t c = 0; c < node_.size(); ++c)
    if (nodes_[node_[c]].ext_set != serial::kNoIndex) extension.emplace_back(nodes_[node_[c]].ext_set, c);
  std::sort(extension.begin(), extension.end());
  for (const auto& [set, c] : extension) {
    if (ext_groups_.empty() || ext_groups_.back().set != set)
      ext_groups_.push_back({set, static_cast<std::uint32_t>(ext_candidates_.size())});
    ext_candidates_.push_back(c);
  }
  ext_groups_.push_back({serial::kNoIndex, static_cast<std::uint32_t>(ext_candidates_.size())});
  {
    std::vector<serial::ExtensionRange> held;
    for (std::size_t g = 0; g + 1 < ext_groups_.size(); ++g) {
      const serial::ExtensionRangeSet set = ext_sets_[ext_groups_[g].set];
      for (std::uint32_t r = set.start; r < set.start + set.count; ++r)
        if (ext_ranges_[r].lo <= ext_ranges_[r].hi) held.push_back(ext_ranges_[r]);
    }
    std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.lo < b.lo; });
    for (const serial::ExtensionRange& r : held)
      if (!ext_union_.empty() && std::uint64_t{r.lo} <= std::uint64_t{ext_union_.back().hi} + 1)
        ext_union_.back().hi = std::max(ext_union_.back().hi, r.hi);
      else
        ext_union_.push_back(r);
  }

  const std::uint32_t widest = most_transitions(graph);
  presence_floor_ = widest == 0 ? 0.0 : presence_.least(1, 0, 1);

  // The least number price of an undeclared field, piece by piece of the
  // field numbers: a sweep over the extension ranges' ends.
  {
    struct End {
      std::uint64_t at;
      bool opens;
      double bits;
      std::uint32_t lo;
    };
    std::vector<End> ends;
    for (const serial::ExtensionRange& r : ext_ranges_) {
      if (r.lo > r.hi) continue;
      const double bits = log2_bits(static_cast<double>(r.hi - r.lo) + 1.0);
      ends.push_back({r.lo, true, bits, r.lo});
      ends.push_back({std::uint64_t{r.hi} + 1, false, bits, r.lo});
    }
    std::sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.at < b.at; });
    std::multiset<double> open;
    std::multiset<std::uint32_t> starts;
    for (std::size_t i = 0; i < ends.size();) {
      const std::uint64_t at = ends[i].at;
      for (; i < ends.size() && ends[i].at == at; ++i) {
        if (ends[i].opens) {
          open.insert(ends[i].bits);
          starts.insert(ends[i].lo);
        } else {
          open.erase(open.find(ends[i].bits));
          starts.erase(starts.find(ends[i].lo));
        }
      }
      if (at > 0xFFFFFFFFu) break;
      const NumberPiece piece{static_cast<std::uint32_t>(at),
                              open.empty() ? kUnknownNumberBits : std::min(kUnknownNumberBits, *open.begin()),
                              starts.empty() ? 0u : *starts.rbegin(), !open.empty()};
      if (number_pieces_.empty() || number_pieces_.back().least != piece.least ||
          number_pieces_.back().last_start != piece.last_start || number_pieces_.back().inside != piece.inside)
        number_pieces_.push_back(piece);
    }
  }

  for (unsigned priced = 0; priced < 3; ++priced)
    for (std::size_t length = 0; length <= kLongestVarint; ++length)
      for (unsigned width = 1; width < 64; ++width)  // v = 2^(width - 1) - 1: the least of its width
        integer_table_[priced][length][width] = integer_bits(
            (std::uint64_t{1} << (width - 1)) - 1, kLengthOf[priced] + kVarintByteBits * static_cast<double>(length));
  for (int t = 0; t < 3; ++t)
    for (int v = 0; v < 128; ++v)
      small_integers_[t][v] = integer_bits(static_cast<std::uint64_t>(v),
                                           kVarintByteBits + integer_length_bits(t == 0 ? 8 : t == 1 ? 9 : 0));

  ext_number_bits_.resize(std::min(ext_ranges_.size(), kPricedRanges) * kOffsetWidths);
  for (std::size_t r = 0; r * kOffsetWidths < ext_number_bits_.size(); ++r) {
    const double range_bits = log2_bits(static_cast<double>(ext_ranges_[r].hi - ext_ranges_[r].lo) + 1.0);
    for (std::size_t width = 1; width <= kOffsetWidths; ++width)
      ext_number_bits_[r * kOffsetWidths + width - 1] =
          extension_number_bits(range_bits, static_cast<std::uint32_t>((std::uint64_t{1} << (width - 1)) - 1));
  }

  // Prices of the range leaves, and the floors of small varints.
  for (const serial::LeafRange r : leaf_ranges_) {
    const std::int64_t size = std::int64_t{r.hi} - r.lo + 1;
    range_bits_.push_back(size > 0 ? log2_bits(static_cast<double>(size)) : 0.0);
  }
  small_floor_.assign(256, std::numeric_limits<double>::infinity());
  large_floor_ = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < leaf_ranges_.size(); ++i) {
    const serial::LeafRange r = leaf_ranges_[i];
    if (r.lo > r.hi) continue;
    for (std::int64_t v = std::max<std::int64_t>(r.lo, 0); v <= std::min<std::int64_t>(r.hi, 255); ++v)
      small_floor_[static_cast<std::size_t>(v)] = std::min(small_floor_[static_cast<std::size_t>(v)], range_bits_[i]);
    if (r.lo < 0 || r.hi > 255) {
      large_ranges_.emplace_back(range_bits_[i], r);
      large_floor_ = std::min(large_floor_, range_bits_[i]);
    }
  }
  std::sort(large_ranges_.begin(), large_ranges_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // The cheapest of the first kLookedAt holding each value, by the
  // intervals their bounds cut the values into.
  const std::size_t looked = std::min(kLookedAt, large_ranges_.size());
  for (std::size_t i = 0; i < looked; ++i) {
    large_starts_.push_back(large_ranges_[i].second.lo);
    large_starts_.push_back(std::int64_t{large_ranges_[i].second.hi} + 1);
  }
  std::sort(large_starts_.begin(), large_starts_.end());
  large_starts_.erase(std::unique(large_starts_.begin(), large_starts_.end()), large_starts_.end());
  for (const std::int64_t from : large_starts_) {
    std::size_t i = 0;
    while (i < looked && (from < large_ranges_[i].second.lo || from > large_ranges_[i].second.hi)) ++i;
    large_held_.push_back(i < looked ? large_ranges_[i].first : kNoneHolds);
  }
  for (std::uint64_t v = 0; v < 128; ++v) {
    one_byte_floor_[v] = any_varint_floor(v, 1);
    one_byte_quanta_[v] = static_cast<std::uint32_t>(one_byte_floor_[v] * kQuantaPerBit);
  }
  for (std::uint32_t key = 0; key < kDirectFields * 8; ++key) direct_readings_[key] = searched_readings(key);
  for (std::uint32_t field = 0; field < kDirectFields; ++field) direct_number_bits_[field] = searched_number_bits(field);
}

std::span<const std::uint32_t> Candidates::roots(std::uint32_t candidate) const {
  const std::span<std::uint32_t> all(root_order_.data() + root_first_[candidate],
                                     root_first_[candidate + 1] - root_first_[candidate]);
  if (all.size() > 2) {
    std::call_once(sorted_[candidate], [&] {
      // Each root beside its name, so that the sort decodes no record: a
      // node of a few thousand roots (the empty message's) took a
      // first call some milliseconds.
      const auto records = graph_->roots();
      struct Named {
        std::string_view name;
        std::uint32_t root;
      };
      std::vector<Named> named(all.size() - 1);
      for (std::size_t i = 1; i < all.size(); ++i) named[i - 1] = {records[all[i]].fqdn, all[i]};
      std::sort(named.begin(), named.end(), [](const Named& a, const Named& b) {
        const int order = a.name.compare(b.name);
        return order != 0 ? order < 0 : a.root < b.root;
      });
      for (std::size_t i = 1; i < all.size(); ++i) all[i] = named[i - 1].root;
    });
  }
  return all;
}

Candidates::Key Candidates::key(std::uint32_t field, std::uint8_t wire) const noexcept {
  const std::uint64_t k = tag_key(field, wire);
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), k);
  if (it == keys_.end() || *it != k) return {};
  return key_ranges_[static_cast<std::size_t>(it - keys_.begin())];
}

void Candidates::extending(std::uint32_t field, std::vector<std::uint32_t>& out) const {
  const auto held = std::upper_bound(ext_union_.begin(), ext_union_.end(), field,
                                     [](std::uint32_t f, const serial::ExtensionRange& r) { return f < r.lo; });
  if (held == ext_union_.begin() || std::prev(held)->hi < field) return;
  const std::size_t before = out.size();
  for (std::size_t g = 0; g + 1 < ext_groups_.size(); ++g) {
    const serial::ExtensionRangeSet set = ext_sets_[ext_groups_[g].set];
    bool inside = false;
    for (std::uint32_t r = set.start; r < set.start + set.count; ++r)
      if (ext_ranges_[r].lo <= field && field <= ext_ranges_[r].hi) {
        inside = true;
        break;
      }
    if (!inside) continue;
    for (std::uint32_t i = ext_groups_[g].first; i < ext_groups_[g + 1].first; ++i) {
      const std::uint32_t c = ext_candidates_[i];
      const auto run = arcs(node_[c]);
      const std::uint32_t at = first_arc(run, 0, field);
      if (at == run.size() || run[at].field != field) out.push_back(c);
    }
  }
  // Groups are in set order, not candidate order.
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
}

double Candidates::extension_bits(std::uint32_t node, std::uint32_t field) const noexcept {
  const std::uint16_t s = nodes_[node].ext_set;
  if (s == serial::kNoIndex) return -1;
  const serial::ExtensionRangeSet set = ext_sets_[s];
  const auto first = ext_ranges_.begin() + set.start, last = first + set.count;
  // The first range whose hi is at least `field`.
  const auto it = std::lower_bound(first, last, field,
                                   [](const serial::ExtensionRange& r, std::uint32_t f) { return r.hi < f; });
  if (it == last || it->lo > field) return -1;
  const auto r = static_cast<std::size_t>(it - ext_ranges_.begin());
  const std::uint32_t offset = field - it->lo;
  if (r < kPricedRanges)
    return ext_number_bits_[r * kOffsetWidths + static_cast<std::size_t>(std::bit_width(std::uint64_t{offset} + 1)) - 1];
  return extension_number_bits(log2_bits(static_cast<double>(it->hi - it->lo) + 1.0), offset);
}

double Candidates::extension_number_bits(double range_bits, std::uint32_t offset) noexcept {
  // Half the time any number of the range, half the time a small offset
  // from its start (extensions are mostly numbered from there).
  return mixture(1 + range_bits, 1 + gamma_bits(std::uint64_t{offset} + 1));
}

double Candidates::searched_number_bits(std::uint32_t field) const noexcept {
  // The piece holding `field`: the last one starting at or before it.
  const auto it = std::upper_bound(number_pieces_.begin(), number_pieces_.end(), field,
                                   [](std::uint32_t f, const NumberPiece& piece) { return f < piece.first; });
  if (it == number_pieces_.begin() || !std::prev(it)->inside) return kUnknownNumberBits;
  const NumberPiece& piece = *std::prev(it);
  // A mixture of two codes costs at least the cheaper of them.
  return std::min({kUnknownNumberBits, piece.least, gamma_bits(std::uint64_t{field - piece.last_start} + 1)});
}

double Candidates::any_varint_floor(std::uint64_t v, std::size_t length) const noexcept {
  // An integer leaf: uint32 is the cheapest that holds a value below 2^32.
  double best = integer_bits(v <= 0xFFFFFFFFu ? kPriced32u : v >= ~std::uint64_t{0} - 0x7FFFFFFFu ? kPriced32 : kPriced64,
                             v, length);
  if (v < 256) return std::min(best, small_floor_[v]);
  // A range leaf holding v (as int64): the cheapest few are looked at,
  // past them the cheapest of all stands in.
  const auto s = static_cast<std::int64_t>(v);
  const auto at = std::upper_bound(large_starts_.begin(), large_starts_.end(), s) - large_starts_.begin();
  if (at > 0 && large_held_[static_cast<std::size_t>(at - 1)] < kNoneHolds)
    return std::min(large_held_[static_cast<std::size_t>(at - 1)], best);
  const bool past_looked = large_ranges_.size() > kLookedAt && large_ranges_[kLookedAt].first < best;
  return past_looked ? std::min(best, large_floor_) : best;
}

}  // namespace korvex::identify
