// The per-graph lookups identification starts from, built once from a
// GraphView and only read afterwards, so concurrent calls may share them.
// Everything is a flat array made by a few counting sorts, linear in the
// graph: no per-node maps.
//
// The graph itself, copied into the form the parse reads (Arc, NodeInfo):
// checked once while copying, so a transition whose target is not a node
// is never taken, whatever the archive's bytes became after open.
//
// A candidate is one distinct root node: roots that share a node (the
// minimiser merged their types) are one candidate listing all their names.
// Candidates are numbered 0 .. size() - 1 by (declared field count D,
// smallest name): a message of fewer fields costs fewer bits to say which
// it uses, so the search goes through the candidates block by block of
// one D and stops at the first block that cannot hold a better match; and
// within a block, candidates of equal cost come in the order the answer
// ranks them (by name), so that ties past the k-th are never judged.
//
// Postings: for each tag key (field number, wire type) the candidates that
// declare it with that wire type (or wire type 2 for a repeated varint,
// 32-bit or 64-bit field, packed or not: a parser takes both), ascending,
// each with how it takes the tag and its target group. A target group is
// one (target node, repeated or not) pair of a key: the values of a tag
// cost the same for every candidate of a group, and a group whose target
// cannot read them rules all its candidates out at once. The groups'
// target masks and signatures lie side by side, so that a tag's groups
// are screened against a range in one pass over memory; a key of many
// groups also has its groups' signatures turned about, as planes.
//
// Keys declared by at least one candidate in 32 also have their postings
// as a bitset, so that looking a candidate up in them is a bit test.
//
// Field masks: per node a 128-bit Bloom filter of the keys it declares; a
// key whose bit is clear is certainly not declared.
//
// Extension ranges are kept apart, grouped by range set: a candidate takes
// any field of its ranges that it does not declare.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "build_scoring_graph/serial/graph_view.hpp"
#include "common/table_arena.hpp"
#include "identify/model.hpp"
#include "identify/scan.hpp"

namespace korvex::identify {

// A transition as the parse reads it. `wire` is the wire type of its
// target, kNoWire when the target is not a node (never taken).
struct Arc {
  std::uint32_t field;
  std::uint32_t to;
  std::uint8_t label;
  std::uint8_t wire;
};
inline constexpr std::uint8_t kNoWire = 0xFF;

// Whether arc t takes a value that arrives with `wire`: its own wire type,
// or a packed run for a repeated numeric field.
inline bool takes(const Arc& t, std::uint8_t wire) noexcept {
  return t.wire == wire || (wire == 2 && packable(t.label, t.wire));
}

// The first of a node's arcs (sorted by field) from `from` on whose field
// is `field` or more; arcs.size() when there is none.
inline std::uint32_t first_arc(std::span<const Arc> arcs, std::uint32_t from, std::uint32_t field) noexcept {
  // The fields asked for mostly ascend one by one, as a node's do: the
  // next few arcs are looked at first, then the rest halved.
  const auto size = static_cast<std::uint32_t>(arcs.size());
  for (const std::uint32_t near = std::min(size, from + 4); from < near; ++from)
    if (arcs[from].field >= field) return from;
  return static_cast<std::uint32_t>(
      std::lower_bound(arcs.begin() + from, arcs.end(), field, [](const Arc& a, std::uint32_t f) { return a.field < f; }) -
      arcs.begin());
}

// Of the arcs on one field starting at ti (a field may repeat in a node),
// the first that takes `wire`; arcs.size() when none does.
inline std::uint32_t taking(std::span<const Arc> arcs, std::uint32_t ti, std::uint8_t wire) noexcept {
  const auto count = static_cast<std::uint32_t>(arcs.size());
  const std::uint32_t field = arcs[ti].field;
  for (; ti < count && arcs[ti].field == field; ++ti)
    if (takes(arcs[ti], wire)) return ti;
  return count;
}

struct NodeInfo {
  std::uint32_t first;  // arcs [first, first + count)
  std::uint32_t count;
  std::uint32_t required;  // arcs labelled required
  std::uint16_t range;     // leaf range, or serial::kNoIndex
  std::uint16_t ext_set;   // extension range set, or serial::kNoIndex
  std::uint8_t type;
  bool is_string;
};

// Whether a node of this type is read as fields (message or group).
constexpr bool has_fields(std::uint8_t type) noexcept { return type == 10 || type == 3; }

// A 128-bit Bloom filter of tag keys, one bit each.
struct Mask {
  std::uint64_t word[2] = {0, 0};
  static unsigned bit(std::uint64_t key) noexcept {
    return static_cast<unsigned>((key * 0x9E3779B97F4A7C15ull) >> 57);
  }
  void add(std::uint64_t key) noexcept { word[bit(key) >> 6] |= std::uint64_t{1} << (bit(key) & 63); }
  bool may_have(unsigned b) const noexcept { return (word[b >> 6] >> (b & 63) & 1) != 0; }
};

// How a candidate takes a tag: the first of its transitions on the field
// that takes the wire type, by index in the node's run, with the two
// things a value's price depends on, its target and its label.
struct Taken {
  std::uint32_t transition;
  std::uint32_t to;
  std::uint32_t group;  // its target group (set once the groups are made)
  std::uint8_t label;
};

struct TargetGroup {
  std::uint32_t to;
  std::uint32_t first;     // candidates by_target()[first .. next group's first)
  std::uint32_t declared;  // the target's transitions
  std::uint32_t required;  // the target's required transitions
  std::uint8_t label;      // of the group's first candidate (repeated or not is the same for all)
  bool fields;             // the target is a message or a group
  bool extensions;         // the target has extension ranges
};

class Candidates {
 public:
  // Reads the roots, nodes and transitions. The view must outlive this
  // object.
  explicit Candidates(const serial::GraphView& graph);

  const serial::GraphView& graph() const noexcept { return *graph_; }
  std::size_t size() const noexcept { return node_.size(); }
  std::uint32_t node(std::uint32_t candidate) const noexcept { return node_[candidate]; }
  std::uint32_t declared(std::uint32_t candidate) const noexcept { return nodes_[node_[candidate]].count; }
  std::uint32_t required(std::uint32_t candidate) const noexcept { return nodes_[node_[candidate]].required; }
  // Indexes into graph().roots() of the roots naming the candidate's node,
  // sorted by name (bytes), then index. Safe from several threads: a
  // node's roots are sorted when first asked for (the smallest is first
  // from the start), as few nodes are ever answered.
  std::span<const std::uint32_t> roots(std::uint32_t candidate) const;
  // The name that orders equal scores: the smallest one.
  std::string_view first_name(std::uint32_t candidate) const noexcept {
    return graph_->roots()[root_order_[root_first_[candidate]]].fqdn;
  }
  // The first candidate of each D, ascending, then an end marker
  // {0, size()}.
  struct Block {
    std::uint32_t declared;
    std::uint32_t first;
  };
  std::span<const Block> blocks() const noexcept { return blocks_; }

  // The graph, as the parse reads it.
  const NodeInfo& info(std::uint32_t node) const noexcept { return nodes_[node]; }
  std::span<const Arc> arcs(std::uint32_t node) const noexcept {
    return std::span(arcs_).subspan(nodes_[node].first, nodes_[node].count);
  }
  const Mask& mask(std::uint32_t node) const noexcept { return masks_[node]; }
  // The signature of group g's target: its fields 1 to kSignatureFields,
  // one bit each (field f: bit f - 1), in eight words side by side. First,
  // by the slot of each wire type, those it declares with no transition
  // taking that wire type (a key of such a field and wire type is a value
  // it cannot read; no node takes wire types 4, 6 and 7, so those three
  // share the slot of every field declared); then those whose first
  // transition taking wire type 2 reads a message, and those where it
  // reads a string (that cannot read bytes that are not wire format, or
  // not UTF-8). Most targets that cannot read a value are told so by them.
  static constexpr std::size_t kUnreadSlots = 6;
  static constexpr std::size_t unread_slot(std::uint8_t wire) noexcept {
    constexpr std::uint8_t kSlot[8] = {0, 1, 2, 3, 5, 4, 5, 5};
    return kSlot[wire & 7];
  }
  static constexpr std::uint32_t kSignatureFields = 16;
  struct Signature {
    std::uint64_t word[2];
    static Signature of(const std::uint64_t (&words)[8]) noexcept {
      Signature s{{0, 0}};
      constexpr std::uint64_t kLow = (std::uint64_t{1} << kSignatureFields) - 1;
      for (unsigned i = 0; i < 8; ++i) s.word[i / 4] |= (words[i] & kLow) << (kSignatureFields * (i % 4));
      return s;
    }
    bool meets(const Signature& other) const noexcept {
      return ((word[0] & other.word[0]) | (word[1] & other.word[1])) != 0;
    }
  };
  const Signature& signature(std::uint32_t g) const noexcept { return group_signatures_[g]; }
  std::size_t node_count() const noexcept { return nodes_.size(); }
  // How the nodes that declare a key read its values (Reading bits; 0
  // when no node declares it). A repeated numeric field takes wire type 2
  // too, as a packed run.
  enum Reading : std::uint8_t {
    kAsString = 1,
    kAsBytes = 2,
    kAsFields = 4,  // a message or group
    kAsPackedVarints = 8,
    kAsPackedFixed = 16,
    kAsScalar = 32,
  };
  std::uint8_t readings(std::uint64_t key) const noexcept {
    return key < kDirectFields * 8 ? direct_readings_[key] : searched_readings(key);
  }
  // The least an undeclared field costs beside its bytes: the number of
  // the smallest extension range of any node holding it, else an unknown
  // field's number.
  double least_number_bits(std::uint32_t field) const noexcept {
    return field < kDirectFields ? direct_number_bits_[field] : searched_number_bits(field);
  }

  // The postings and groups of one key, or an empty Key.
  struct Key {
    std::uint32_t first = 0, last = 0;              // postings
    std::uint32_t first_group = 0, last_group = 0;  // target groups
    std::uint32_t first_leaf = 0, last_leaf = 0;    // leaf_groups(): the groups whose target is a leaf
    std::uint32_t dense = kNotDense;                 // where dense_bits() and dense_posting() read it
    std::uint32_t dense_messages = kNotDense;        // where dense_message_bits() reads it
    std::uint32_t planes = kNotDense;                // where signature_planes() reads it
    std::size_t size() const noexcept { return last - first; }
    bool is_dense() const noexcept { return dense != kNotDense; }
  };
  static constexpr std::uint32_t kNotDense = ~std::uint32_t{0};
  Key key(std::uint32_t field, std::uint8_t wire) const noexcept;
  // The signatures of a key of kPlanesFrom groups or more, turned about:
  // for each of their 128 bits, the key's groups that have it, a bitset of
  // (groups + 63) / 64 words (bit j: group first_group + j); none for a
  // smaller key. The groups that a signature meets are then the union of
  // its bits' planes, a few hundred words where meeting each group's
  // signature in turn took thousands of steps.
  static constexpr std::uint32_t kPlanesFrom = 256;
  const std::uint64_t* signature_planes(const Key& k) const noexcept {
    return k.planes == kNotDense ? nullptr : planes_.data() + k.planes;
  }
  // Posting i of a key: candidate, how it takes the tag, its group.
  std::uint32_t posting_candidate(std::uint32_t i) const noexcept { return post_candidate_[i]; }
  const std::uint32_t* posting_candidates() const noexcept { return post_candidate_.data(); }
  const Taken& posting_taken(std::uint32_t i) const noexcept { return post_taken_[i]; }
  std::uint32_t posting_group(std::uint32_t i) const noexcept { return post_taken_[i].group; }
  const TargetGroup& group(std::uint32_t g) const noexcept { return groups_[g]; }
  // A dense key's postings, as a bitset of the candidates; and the index
  // of its posting of candidate c (which has one), counted through the
  // postings before each word of the bitset.
  const std::uint64_t* dense_bits(const Key& k) const noexcept { return dense_bits_.data() + k.dense; }
  // A dense key's candidates that take it through a target reading fields
  // (a message or group), as a bitset; none when no target does.
  const std::uint64_t* dense_message_bits(const Key& k) const noexcept {
    return k.dense_messages == kNotDense ? nullptr : dense_message_bits_.data() + k.dense_messages;
  }
  std::uint32_t dense_posting(const Key& k, std::uint32_t c) const noexcept {
    const std::uint64_t below = dense_bits_[k.dense + c / 64] & ((std::uint64_t{1} << (c % 64)) - 1);
    return k.first + dense_rank_[k.dense + c / 64] + static_cast<std::uint32_t>(std::popcount(below));
  }
  // The groups' target masks side by side, for scans; a leaf's is full and
  // so is that of a target with extension ranges (nothing is certainly
  // undeclared for them).
  const Mask* group_masks() const noexcept { return group_masks_.data(); }
  // Candidates of group g, ascending.
  std::span<const std::uint32_t> group_candidates(std::uint32_t g) const noexcept { return groups_candidates(g, g + 1); }
  // Candidates of groups from .. to, which follow one another: a key's
  // groups are consecutive, and so are their candidates.
  std::span<const std::uint32_t> groups_candidates(std::uint32_t from, std::uint32_t to) const noexcept {
    return std::span(by_target_).subspan(groups_[from].first, groups_[to].first - groups_[from].first);
  }
  // The candidates of a group of kBitsetFrom or more as a bitset (one
  // word per 64 candidates), else none: or-ing it in costs a few hundred
  // instructions where setting each bit costs thousands.
  const std::uint64_t* group_bits(std::uint32_t g) const noexcept {
    const std::uint32_t at = group_bits_at_[g];
    return at == kNoBits ? nullptr : group_bits_.data() + at;
  }
  static constexpr std::uint32_t kBitsetFrom = 256, kNoBits = ~std::uint32_t{0};
  std::span<const std::uint32_t> leaf_groups(const Key& k) const noexcept {
    return std::span(leaf_groups_).subspan(k.first_leaf, k.last_leaf - k.first_leaf);
  }

  // Appends the candidates whose extension ranges hold `field` and that
  // declare no transition on it (so the field is an extension for them),
  // in ascending order.
  void extending(std::uint32_t field, std::vector<std::uint32_t>& out) const;
  // The extension range of `node` holding `field`, as log2 of its size
  // (quantised); negative when none does.
  double extension_bits(std::uint32_t node, std::uint32_t field) const noexcept;
  // The price of an extension's number: `offset` into a range of
  // 2^range_bits numbers.
  static double extension_number_bits(double range_bits, std::uint32_t offset) noexcept;
  bool has_extensions(std::uint32_t node) const noexcept { return nodes_[node].ext_set != serial::kNoIndex; }

  const Presence& presence() const noexcept { return presence_; }
  // The least any node of at least one field pays for which it uses.
  double presence_floor() const noexcept { return presence_floor_; }
  // log2 of the number of values of range leaf `range`, quantised; and
  // the range itself.
  double range_bits(std::uint16_t range) const noexcept { return range_bits_[range]; }
  const serial::LeafRange& leaf_range(std::uint16_t range) const noexcept { return leaf_ranges_[range]; }
  std::size_t leaf_range_count() const noexcept { return leaf_ranges_.size(); }
  // The price of varint value v (`length` bytes) for an arc into `leaf`,
  // and whether it lies outside the leaf's type (then it pays the escape).
  double varint_bits(const NodeInfo& leaf, std::uint64_t v, std::size_t length, bool& outside) const noexcept {
    const double bytes = kVarintByteBits * static_cast<double>(length);
    outside = false;
    switch (leaf.type) {
      case 8:
        if (v <= 0xFFFFFFFFu) return integer_bits(kPriced32u, v, length);
        break;
      case 9:
        // Non-negative below 2^31, or a negative int32 sign-extended to 64 bits.
        if (v < (std::uint64_t{1} << 31) || v >= ~std::uint64_t{0} - 0x7FFFFFFFu) return integer_bits(kPriced32, v, length);
        break;
      default:
        if (leaf.range == serial::kNoIndex) return integer_bits(kPriced64, v, length);
        if (const auto s = static_cast<std::int64_t>(v); leaf_ranges_[leaf.range].lo <= s && s <= leaf_ranges_[leaf.range].hi)
          return range_bits_[leaf.range];
        break;
    }
    // Outside the type's range: an unknown enum value, or a number the
    // field cannot hold. The escape, then a plain 64-bit varint.
    outside = true;
    return kEscapeBits + kLength64 + bytes;
  }
  // An integer field's value v: mostly (31 times in 32) by its bytes and
  // length (`by_bytes`), now and then (1 in 32) by the Elias gamma code
  // of v + 1, so that the smallest values, which are common, cost less. A
  // negative one (sign-extended to ten bytes) is small by its magnitude:
  // the gamma code of -v and a bit for the sign, so that the -1 real data
  // is full of costs 7 bits, not 73.
  static double integer_bits(std::uint64_t v, double by_bytes) noexcept {
    if (v >= (std::uint64_t{1} << 63))
      return mixture(gamma_bits(~v + 1) + kSmallIntegerBits + 1, by_bytes + kLargeIntegerBits);
    if (v >= (std::uint64_t{1} << 62)) return quantise(by_bytes + kLargeIntegerBits);
    return mixture(gamma_bits(v + 1) + kSmallIntegerBits, by_bytes + kLargeIntegerBits);
  }
  // The same for a value `length` bytes long of an integer type whose
  // length is priced as kLengthOf[priced]. Below 2^62 the price depends on
  // v only through its bit width, so it is looked up: it is paid at every
  // varint a candidate reads, and the mixture takes a log and a power.
  static constexpr unsigned kPriced32u = 0, kPriced32 = 1, kPriced64 = 2;
  static constexpr double kLengthOf[3] = {kLength32u, kLength32, kLength64};
  double integer_bits(unsigned priced, std::uint64_t v, std::size_t length) const noexcept {
    if (length <= kLongestVarint && v < (std::uint64_t{1} << 62))
      return integer_table_[priced][length][std::bit_width(v + 1)];
    return integer_bits(v, kLengthOf[priced] + kVarintByteBits * static_cast<double>(length));
  }
  // The least an integer value costs, whatever it is.
  static constexpr double kLeastIntegerBits = 5;
  // integer_bits of the one-byte values 0 .. 127 for an integer leaf of
  // node type 8, 9 or 0 (by_bytes: 7 bits plus the type's length price).
  double small_integer_bits(std::uint8_t type, std::uint8_t v) const noexcept {
    return small_integers_[type == 8 ? 0 : type == 9 ? 1 : 2][v];
  }
  // Those prices of the one-byte values for `leaf`, which varint_bits
  // gives too, when it is priced as an integer; else none.
  const double* one_byte_integers(const NodeInfo& leaf) const noexcept {
    if (leaf.type == 8 || leaf.type == 9 || leaf.range == serial::kNoIndex)
      return small_integers_[leaf.type == 8 ? 0 : leaf.type == 9 ? 1 : 2];
    return nullptr;
  }
  // The length price of an integer leaf of node type 8, 9 or 0.
  static constexpr double integer_length_bits(std::uint8_t type) noexcept {
    return type == 8 ? kLength32u : type == 9 ? kLength32 : kLength64;
  }
  // The least a varint value of `length` bytes costs as any varint leaf
  // of the graph (match.hpp's prices): a floor for bounds.
  double varint_floor(std::uint64_t v, std::size_t length) const noexcept {
    // One-byte values, every byte of a text bounded as packed numbers, looked up.
    return length == 1 ? one_byte_floor_[v & 0x7F] : any_varint_floor(v, length);
  }
  // varint_floor of each one-byte value in quanta (whole numbers, as every
  // price is), so that a run of them is summed without a chain of
  // floating-point additions.
  const std::uint32_t* one_byte_quanta() const noexcept { return one_byte_quanta_; }

 private:
  double any_varint_floor(std::uint64_t v, std::size_t length) const noexcept;
  std::uint8_t searched_readings(std::uint64_t key) const noexcept {
    const auto it = std::lower_bound(node_keys_.begin(), node_keys_.end(), key,
                                     [](const auto& entry, std::uint64_t k) { return entry.first < k; });
    return it != node_keys_.end() && it->first == key ? it->second : 0;
  }
  double searched_number_bits(std::uint32_t field) const noexcept;
  // readings() and least_number_bits() of the small field numbers, which
  // nearly every field read has, looked up rather than searched for.
  static constexpr std::uint32_t kDirectFields = 1024;
  std::uint8_t direct_readings_[kDirectFields * 8];
  double direct_number_bits_[kDirectFields];

  const serial::GraphView* graph_;
  // Every table below sits in one arena (and the constructor's working
  // arrays in another, freed on return): they are built on the first
  // identification after open, whose wait is mostly their fresh pages
  // (see common/table_arena.hpp).
  TableArena arena_;
  // The graph.
  std::pmr::vector<NodeInfo> nodes_{&arena_};
  std::pmr::vector<Arc> arcs_{&arena_};
  std::pmr::vector<Mask> masks_{&arena_};
  // Every key any node declares, ascending, with its readings.
  std::pmr::vector<std::pair<std::uint64_t, std::uint8_t>> node_keys_{&arena_};
  // The field numbers in pieces: from `first` on, the least size price of
  // the extension ranges holding them, and the latest start of those.
  struct NumberPiece {
    std::uint32_t first;
    double least;
    std::uint32_t last_start;
    bool inside;  // some extension range holds them
  };
  std::pmr::vector<NumberPiece> number_pieces_{&arena_};
  std::pmr::vector<serial::LeafRange> leaf_ranges_{&arena_};
  std::pmr::vector<serial::ExtensionRange> ext_ranges_{&arena_};
  std::pmr::vector<serial::ExtensionRangeSet> ext_sets_{&arena_};
  // An extension's number price by its range and the bit width of offset
  // + 1, which fixes the offset's gamma code: kOffsetWidths prices a
  // range, for its first kPricedRanges ranges. (Priced each time, an
  // exp2 and two log2, they took a fifth of the work on a payload of many
  // fields among 200 000 types, many of them with extension ranges.)
  static constexpr std::size_t kOffsetWidths = 33, kPricedRanges = 4096;
  std::pmr::vector<double> ext_number_bits_{&arena_};
  // Candidates.
  std::pmr::vector<std::uint32_t> node_{&arena_};        // candidate -> node
  std::pmr::vector<std::uint32_t> root_first_{&arena_};  // candidate -> first position in root_order_, plus an end
  // Root indexes grouped by candidate, each group's smallest first, the
  // rest by name once roots() has sorted them (once per candidate).
  mutable std::pmr::vector<std::uint32_t> root_order_{&arena_};
  mutable std::unique_ptr<std::once_flag[]> sorted_;
  std::pmr::vector<Block> blocks_{&arena_};
  // Postings, groups.
  std::pmr::vector<std::uint64_t> keys_{&arena_};  // distinct tag keys, ascending
  std::pmr::vector<Key> key_ranges_{&arena_};
  std::pmr::vector<std::uint32_t> post_candidate_{&arena_};
  std::pmr::vector<Taken> post_taken_{&arena_};
  std::pmr::vector<TargetGroup> groups_{&arena_};  // plus an end marker
  std::pmr::vector<Mask> group_masks_{&arena_};
  std::pmr::vector<Signature> group_signatures_{&arena_};
  std::pmr::vector<std::uint64_t> planes_{&arena_};
  std::pmr::vector<std::uint32_t> group_bits_at_{&arena_};
  std::pmr::vector<std::uint64_t> group_bits_{&arena_};
  std::pmr::vector<std::uint32_t> by_target_{&arena_};
  std::pmr::vector<std::uint32_t> leaf_groups_{&arena_};
  std::pmr::vector<std::uint64_t> dense_bits_{&arena_};
  std::pmr::vector<std::uint32_t> dense_rank_{&arena_};
  std::pmr::vector<std::uint64_t> dense_message_bits_{&arena_};
  // Extension ranges by set.
  struct ExtensionGroup {
    std::uint16_t set;
    std::uint32_t first;  // candidates ext_candidates_[first .. next group's first)
  };
  std::pmr::vector<ExtensionGroup> ext_groups_{&arena_};  // by set index, plus an end marker
  std::pmr::vector<std::uint32_t> ext_candidates_{&arena_};
  // The field numbers some candidate's extension ranges hold, as disjoint
  // ranges in order: most fields read are in none, and are told so
  // without a look at each set (a graph may have hundreds).
  std::pmr::vector<serial::ExtensionRange> ext_union_{&arena_};
  // Prices.
  Presence presence_;
  double presence_floor_ = 0;
  std::pmr::vector<double> range_bits_{&arena_};
  double small_integers_[3][128];
  // integer_bits(priced, v, length) by [priced][length][bit width of v + 1].
  static constexpr std::size_t kLongestVarint = 10;
  double integer_table_[3][kLongestVarint + 1][64];
  // Range leaves' prices for varint_floor: the cheapest range holding v
  // for v below 256, and the other ranges, cheapest first.
  std::pmr::vector<double> small_floor_{&arena_};
  std::pmr::vector<std::pair<double, serial::LeafRange>> large_ranges_{&arena_};
  double large_floor_ = 0;  // the cheapest of them
  // Values held by one of the kLookedAt cheapest, found by a search rather
  // than tried range by range (binary data read as numbers has thousands
  // of wide values): from large_starts_[i] up to the next start, the
  // price of the cheapest of them holding the value is large_held_[i]
  // (kNoneHolds: none).
  static constexpr std::size_t kLookedAt = 16;
  static constexpr double kNoneHolds = std::numeric_limits<double>::infinity();
  std::pmr::vector<std::int64_t> large_starts_{&arena_};
  std::pmr::vector<double> large_held_{&arena_};
  double one_byte_floor_[128];  // varint_floor of the one-byte values
  std::uint32_t one_byte_quanta_[128];  // the same in quanta
};

}  // namespace korvex::identify
