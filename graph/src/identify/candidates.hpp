// The per-graph lookups that identification starts from, built once from a
// GraphView and only read afterwards, so concurrent calls may share them.
//
// A candidate is one distinct root node: roots that share a node (the
// minimiser merged their types) are one candidate listing all their names.
// Candidates are numbered 0 .. size() - 1 by (declared field count, node),
// so that smaller schemas, which tend to cost fewer bits, come first, and
// every list below holds candidate numbers in ascending order, so that sets
// are intersected by merging and every order that reaches a result is
// fixed.
//
// The inverted index maps a tag, (field number, wire type), to the
// candidates that declare the field with that wire type, or with wire type
// 2 when the field is a repeated varint, 32-bit or 64-bit one (packed or
// not, a parser takes both). Extension ranges are kept apart, grouped by
// range set: a candidate takes any field of its ranges that it does not
// declare. Memory is linear in the roots' transitions; building costs one
// sort of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "build_scoring_graph/serial/graph_view.hpp"
#include "identify/scan.hpp"

namespace korvex::identify {

// How a candidate takes a tag: the first of its transitions on the field
// that takes the wire type, by index in the node's run, with the two
// things a value's price depends on, its target and its label.
struct Taken {
  std::uint32_t transition;  // index in the node's run
  std::uint32_t to;
  std::uint8_t label;
};

// The candidates that declare one tag, ascending, with how they take it.
class Postings {
 public:
  Postings() noexcept = default;
  Postings(const std::uint32_t* candidates, const Taken* taken, std::size_t size) noexcept
      : candidates_(candidates), taken_(taken), size_(size) {}
  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint32_t> candidates() const noexcept { return {candidates_, size_}; }
  const Taken& taken(std::size_t i) const noexcept { return taken_[i]; }

 private:
  const std::uint32_t* candidates_ = nullptr;
  const Taken* taken_ = nullptr;
  std::size_t size_ = 0;
};

class Candidates {
 public:
  // Reads the roots, their transitions and every node's labels. The view
  // must outlive this object.
  explicit Candidates(const serial::GraphView& graph);

  const serial::GraphView& graph() const noexcept { return *graph_; }
  std::size_t size() const noexcept { return node_.size(); }
  std::uint32_t node(std::uint32_t candidate) const noexcept { return node_[candidate]; }
  // The candidate's declared transitions and required ones, kept beside it
  // so that judging many candidates reads memory in order.
  std::uint32_t declared(std::uint32_t candidate) const noexcept { return declared_[candidate]; }
  std::uint32_t required(std::uint32_t candidate) const noexcept { return required_of_candidate_[candidate]; }
  // Indexes into graph().roots() of the roots naming the candidate's node,
  // sorted by name (bytes), then index.
  std::span<const std::uint32_t> roots(std::uint32_t candidate) const noexcept {
    return std::span(root_order_).subspan(root_first_[candidate], root_first_[candidate + 1] - root_first_[candidate]);
  }
  // The name that orders equal scores: the smallest one.
  std::string_view first_name(std::uint32_t candidate) const noexcept {
    return graph_->roots()[root_order_[root_first_[candidate]]].fqdn;
  }

  // Candidates that declare `field` taking wire type `wire`.
  Postings declaring(std::uint32_t field, std::uint8_t wire) const noexcept;
  // The same candidates grouped by how they take the tag: one group per
  // (target, label), each group's candidates ascending. A payload's values
  // of one tag are judged once per group, and a group whose target cannot
  // read them is passed over whole.
  struct TargetGroup {
    std::uint32_t to;
    std::uint8_t label;
    std::uint32_t first;  // into by_target(), up to the next group's first
  };
  std::span<const TargetGroup> target_groups(std::uint32_t field, std::uint8_t wire) const noexcept;
  std::span<const std::uint32_t> by_target() const noexcept { return by_target_; }
  // Appends the candidates whose extension ranges hold `field` and that
  // declare no transition on it (so the field is an extension for them),
  // in ascending order.
  void extending(std::uint32_t field, std::vector<std::uint32_t>& out) const;

  // Transitions of `node` labelled required.
  std::uint32_t required_count(std::uint32_t node) const noexcept { return required_[node]; }
  // log2 of the number of values of range leaf `range`.
  double range_bits(std::uint16_t range) const noexcept { return range_bits_[range]; }
  // The least a varint value of `length` bytes costs as any varint leaf
  // of the graph (match.hpp's prices): a floor for bounds.
  double varint_floor(std::uint64_t v, std::size_t length) const noexcept;
  // log2(n!), exact up to the table size, by lgamma above it.
  double log2_factorial(std::uint64_t n) const noexcept;

 private:
  const serial::GraphView* graph_;
  std::vector<std::uint32_t> node_;        // candidate -> node
  std::vector<std::uint32_t> declared_;    // candidate -> transitions of its node
  std::vector<std::uint32_t> required_of_candidate_;
  std::vector<std::uint32_t> root_first_;  // candidate -> first position in root_order_, plus an end
  std::vector<std::uint32_t> root_order_;  // root indexes grouped by candidate, each group by name

  std::vector<std::uint64_t> keys_;       // distinct tag keys, ascending
  std::vector<std::uint32_t> key_first_;  // key -> first posting, plus an end
  std::vector<std::uint32_t> posting_candidates_;  // per key, ascending
  std::vector<Taken> posting_taken_;               // beside them
  std::vector<std::uint32_t> key_groups_;          // key -> first target group, plus an end
  std::vector<TargetGroup> groups_;                // per key, by (target, label); plus an end marker
  std::vector<std::uint32_t> by_target_;           // candidates, grouped

  struct ExtensionGroup {
    std::uint16_t set;
    std::uint32_t first;  // candidates ext_candidates_[first .. next group's first)
  };
  std::vector<ExtensionGroup> ext_groups_;  // by set index, plus an end marker
  std::vector<std::uint32_t> ext_candidates_;

  std::vector<std::uint32_t> required_;  // node -> required transitions
  std::vector<double> range_bits_;       // range leaf -> log2 of its size
  std::vector<double> log2_factorial_;   // n -> log2(n!) for small n
  // Range leaves' prices for varint_floor: the cheapest range holding v
  // for v below 256, and the other ranges, cheapest first.
  std::vector<double> small_floor_;
  std::vector<std::pair<double, serial::LeafRange>> large_ranges_;
  double large_floor_ = 0;  // the cheapest of them
};

}  // namespace korvex::identify
