// Reading a baked graph archive (serial/graph_format.hpp) in place.
//
// GraphView::open checks the whole archive once: the header, every vector
// (inside the payload, aligned, before the CompiledGraph record that ends
// it), every root name, and the graph's own invariants: node ids dense and
// in order; transitions sorted by (from, field), their `from` and `to`
// naming nodes and their wire type derived from the target's node type;
// each node's run [first_transition, first_transition + transition_count)
// holding exactly its transitions, the runs following each other in node
// order; `range`/`ext_set` indexes inside their tables or 0xFFFF; every
// extension-range set inside ext_ranges; roots naming nodes; booleans 0 or
// 1 and padding zero. After that every accessor reads with plain loads:
// records are decoded from the bytes on access, nothing is copied, and the
// only memory the view owns is its root-name index (8 bytes per root).
//
// The view borrows the bytes: they must outlive it. Indexes passed to the
// accessors must be below the matching count; positions read from the
// bytes are clamped, so bytes changed after open give wrong answers but no
// read outside the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "archive/reader.hpp"
#include "build_scoring_graph/serial/graph_format.hpp"
#include "common/result.hpp"

namespace korvex::serial {

struct Node {
  std::uint32_t id = 0;
  std::uint8_t type = 0;  // node type code: 0, 1, 2, 3, 5, 8, 9 or 10
  bool is_string = false;
  std::uint16_t range = kNoIndex;    // index into leaf_ranges
  std::uint16_t ext_set = kNoIndex;  // index into ext_range_sets
  std::uint32_t first_transition = 0;
  std::uint32_t transition_count = 0;
  friend bool operator==(const Node&, const Node&) = default;
};

struct Transition {
  std::uint32_t from = 0;
  std::uint32_t field = 0;
  std::uint8_t label = 0;      // 0 optional, 1 required, 2 repeated
  std::uint8_t wire_type = 0;  // wire_type_of(type of node `to`)
  bool packed = false;
  std::uint32_t to = 0;
  friend bool operator==(const Transition&, const Transition&) = default;
};

struct Root {
  std::string_view fqdn;  // points into the archive
  std::uint32_t state = 0;
  friend bool operator==(const Root&, const Root&) = default;
};

struct LeafRange {
  std::int32_t lo = 0;
  std::int32_t hi = 0;
  friend bool operator==(const LeafRange&, const LeafRange&) = default;
};

struct ExtensionRange {
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;
  friend bool operator==(const ExtensionRange&, const ExtensionRange&) = default;
};

// ext_ranges[start .. start + count) is one set.
struct ExtensionRangeSet {
  std::uint32_t start = 0;
  std::uint32_t count = 0;
  friend bool operator==(const ExtensionRangeSet&, const ExtensionRangeSet&) = default;
};

// Record layouts: size and decoder of each archived record.
template <class T>
struct RecordCodec;

template <>
struct RecordCodec<Node> {
  static constexpr std::size_t kSize = node_record::kSize;
  static Node decode(const archive::Reader& r, std::size_t at) noexcept {
    namespace f = node_record;
    return Node{r.load<std::uint32_t>(at + f::kId),          r.data()[at + f::kType],
                r.data()[at + f::kIsString] != 0,            r.load<std::uint16_t>(at + f::kRange),
                r.load<std::uint16_t>(at + f::kExtSet),      r.load<std::uint32_t>(at + f::kFirstTransition),
                r.load<std::uint32_t>(at + f::kTransitionCount)};
  }
};

template <>
struct RecordCodec<Transition> {
  static constexpr std::size_t kSize = transition_record::kSize;
  static Transition decode(const archive::Reader& r, std::size_t at) noexcept {
    namespace f = transition_record;
    return Transition{r.load<std::uint32_t>(at + f::kFrom), r.load<std::uint32_t>(at + f::kField),
                      r.data()[at + f::kLabel],             r.data()[at + f::kWireType],
                      r.data()[at + f::kPacked] != 0,       r.load<std::uint32_t>(at + f::kTo)};
  }
};

template <>
struct RecordCodec<Root> {
  static constexpr std::size_t kSize = root_record::kSize;
  static Root decode(const archive::Reader& r, std::size_t at) noexcept {
    return Root{r.string_at(at + root_record::kFqdn), r.load<std::uint32_t>(at + root_record::kState)};
  }
};

// The three lists of pairs share one layout.
template <class Pair, class Word>
struct PairCodec {
  static constexpr std::size_t kSize = pair_record::kSize;
  static Pair decode(const archive::Reader& r, std::size_t at) noexcept {
    return Pair{r.load<Word>(at + pair_record::kFirst), r.load<Word>(at + pair_record::kSecond)};
  }
};
template <>
struct RecordCodec<LeafRange> : PairCodec<LeafRange, std::int32_t> {};
template <>
struct RecordCodec<ExtensionRange> : PairCodec<ExtensionRange, std::uint32_t> {};
template <>
struct RecordCodec<ExtensionRangeSet> : PairCodec<ExtensionRangeSet, std::uint32_t> {};

// A run of archived records of one kind, decoded on access; a random-access
// range of values. Cheap to copy; valid as long as the archive bytes.
template <class T>
class Records {
 public:
  using Codec = RecordCodec<T>;

  class iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using reference = T;
    using pointer = void;

    iterator() noexcept = default;
    T operator*() const noexcept { return Codec::decode(reader_, pos_ + i_ * Codec::kSize); }
    T operator[](difference_type n) const noexcept { return *(*this + n); }
    iterator& operator++() noexcept { return ++i_, *this; }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++i_;
      return old;
    }
    iterator& operator--() noexcept { return --i_, *this; }
    iterator operator--(int) noexcept {
      iterator old = *this;
      --i_;
      return old;
    }
    iterator& operator+=(difference_type n) noexcept { return i_ += n, *this; }
    iterator& operator-=(difference_type n) noexcept { return i_ -= n, *this; }
    friend iterator operator+(iterator it, difference_type n) noexcept { return it += n; }
    friend iterator operator+(difference_type n, iterator it) noexcept { return it += n; }
    friend iterator operator-(iterator it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(const iterator& a, const iterator& b) noexcept {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.i_ == b.i_; }
    friend auto operator<=>(const iterator& a, const iterator& b) noexcept { return a.i_ <=> b.i_; }

   private:
    friend class Records;
    // The reader by value: an iterator never dangles while the bytes live.
    iterator(const archive::Reader& reader, std::size_t pos, std::size_t i) noexcept
        : reader_(reader), pos_(pos), i_(i) {}
    archive::Reader reader_;
    std::size_t pos_ = 0;
    std::size_t i_ = 0;
  };

  Records() noexcept = default;
  Records(const archive::Reader& reader, std::size_t pos, std::size_t count) noexcept
      : reader_(reader), pos_(pos), count_(count) {}

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // i < size()
  T operator[](std::size_t i) const noexcept { return Codec::decode(reader_, pos_ + i * Codec::kSize); }
  iterator begin() const noexcept { return iterator(reader_, pos_, 0); }
  iterator end() const noexcept { return iterator(reader_, pos_, count_); }
  // Records [first, first + count), clamped to this run.
  Records sub(std::size_t first, std::size_t count) const noexcept {
    first = first < count_ ? first : count_;
    count = count < count_ - first ? count : count_ - first;
    return Records(reader_, pos_ + first * Codec::kSize, count);
  }

 private:
  archive::Reader reader_;
  std::size_t pos_ = 0;
  std::size_t count_ = 0;
};

class GraphView {
 public:
  // Checks the archive and returns a view of it, or the first fault found.
  static Result<GraphView> open(std::span<const std::uint8_t> archive);

  GraphView() noexcept = default;

  Records<Node> nodes() const noexcept { return {reader_, nodes_.pos, nodes_.count}; }
  Records<Transition> transitions() const noexcept { return {reader_, transitions_.pos, transitions_.count}; }
  Records<Root> roots() const noexcept { return {reader_, roots_.pos, roots_.count}; }
  Records<LeafRange> leaf_ranges() const noexcept { return {reader_, leaf_ranges_.pos, leaf_ranges_.count}; }
  Records<ExtensionRange> ext_ranges() const noexcept { return {reader_, ext_ranges_.pos, ext_ranges_.count}; }
  Records<ExtensionRangeSet> ext_range_sets() const noexcept {
    return {reader_, ext_range_sets_.pos, ext_range_sets_.count};
  }
  std::uint32_t state_count() const noexcept { return state_count_; }
  bool merged_flag() const noexcept { return merged_flag_; }

  // Node `id` (id < nodes().size(); ids are positions).
  Node node(std::uint32_t id) const noexcept { return nodes()[id]; }
  // The outgoing transitions of node `id`, sorted by field.
  Records<Transition> transitions_of(std::uint32_t id) const noexcept {
    const Node n = node(id);
    return transitions().sub(n.first_transition, n.transition_count);
  }
  // Index in transitions() of node `id`'s transition on `field`, by binary
  // search of its run (the first one, should a field repeat).
  std::optional<std::uint32_t> transition_index(std::uint32_t id, std::uint32_t field) const noexcept;
  std::optional<Transition> find_transition(std::uint32_t id, std::uint32_t field) const noexcept {
    const auto i = transition_index(id, field);
    if (!i) return std::nullopt;
    return transitions()[*i];
  }
  // Index in roots() of the first root named `name`, by binary search of
  // the index built at open.
  std::optional<std::uint32_t> root_index(std::string_view name) const noexcept;
  std::optional<Root> find_root(std::string_view name) const noexcept {
    const auto i = root_index(name);
    if (!i) return std::nullopt;
    return roots()[*i];
  }
  // The value range of a range leaf; nullopt for other nodes.
  std::optional<LeafRange> leaf_range_of(std::uint32_t id) const noexcept {
    const Node n = node(id);
    if (n.range == kNoIndex || n.range >= leaf_ranges_.count) return std::nullopt;
    return leaf_ranges()[n.range];
  }
  // The extension ranges of node `id`; empty when it has no set.
  Records<ExtensionRange> ext_ranges_of(std::uint32_t id) const noexcept {
    const Node n = node(id);
    if (n.ext_set == kNoIndex || n.ext_set >= ext_range_sets_.count) return {};
    const ExtensionRangeSet set = ext_range_sets()[n.ext_set];
    return ext_ranges().sub(set.start, set.count);
  }

 private:
  archive::Reader reader_;
  archive::Run nodes_, transitions_, roots_, leaf_ranges_, ext_ranges_, ext_range_sets_;
  std::uint32_t state_count_ = 0;
  bool merged_flag_ = false;
  // One word per root: the high 32 bits of its name's key hash, then its
  // index; sorted by hash, then name, then index.
  std::vector<std::uint64_t> root_order_;

  friend class GraphChecker;
};

}  // namespace korvex::serial
