// Parsing a payload's values as a node's, and what the parse costs.
//
// The parse follows the wire format strictly: a malformed tag, varint,
// length or group, a declared field with a wire type its node cannot take,
// invalid UTF-8 in a string, a nested message or group that does not parse
// as its node, or nesting deeper than kMaxDepth, and the node does not
// parse at all. Unknown fields, values outside their type's range and
// missing required fields (the violations) parse, but make the match
// inexact. The cost is the number of bits the payload takes under the
// generative model of identify.hpp, in which a violation costs what
// encoding it costs.
//
// A Matcher serves one payload and many root nodes. A root's fields are
// judged tag by tag (TopLevel): the values of one tag cost the same for
// every root whose transition on it leads to the same target, so each
// (tag, target) is judged once and remembered (the edge memo). Nested
// messages and groups are parsed field by field, with per-depth counters;
// groups and messages of 1 KB or more are remembered by (node, bytes,
// depth): a large message that several roots reach through the same child
// node is parsed once (a small one is parsed again for less than finding
// it costs). All of it is scratch reused from root to root. Recursion is
// bounded by kMaxDepth.
//
// A parse given a limit stops (abandoned) as soon as its cost is known to
// pass it: before a nested message of 1 KB or more is parsed, the bound of
// its range as that node (ranges.hpp) is compared with what is left of the
// limit; costs only grow while fields are read, and such a range's parse
// stops once its cost so far and the floors of its fields to come pass it;
// and a tag's values read through a message target stop once their cost
// so far and the floors of those left pass it. An abandoned edge resumes
// after its last value read when asked again under a larger limit;
// abandoned work is otherwise never remembered as a result. Every field read is a step of the call's Work;
// once it is spent, every parse is abandoned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "identify/candidates.hpp"
#include "identify/ranges.hpp"
#include "identify/scan.hpp"

namespace korvex::identify {

// The cost of one parse and the violations that make it inexact.
struct Tally {
  double bits = 0;
  std::uint32_t unknown_fields = 0;
  std::uint32_t out_of_range = 0;
  std::uint32_t missing_required = 0;
  std::uint32_t extension_fields = 0;

  std::uint64_t violations() const noexcept {
    return std::uint64_t{unknown_fields} + out_of_range + missing_required;
  }
  bool exact() const noexcept { return violations() == 0; }
  void add(const Tally& o) noexcept {
    bits += o.bits;
    unknown_fields += o.unknown_fields;
    out_of_range += o.out_of_range;
    missing_required += o.missing_required;
    extension_fields += o.extension_fields;
  }
};

class Matcher {
 public:
  enum class State : std::uint8_t { empty, parsed, failed, abandoned };
  // The values of one tag group read through one target.
  struct Edge {
    std::uint64_t key = 0;  // tag index << 33 | target << 1 | repeated
    State state = State::empty;
    std::uint32_t values = 0;
    double reached = 0;  // abandoned: the cost it had passed
    // Abandoned: the values before this one read, their tally and count
    // in `tally` and `values`, where a larger limit resumes.
    std::uint32_t next = 0;
    Tally tally;
  };

  // `top` is the scan of `payload`; both and `work` must outlive the
  // matcher.
  Matcher(const Candidates& candidates, std::span<const std::uint8_t> payload, const TopLevel& top, Work& work);

  // The values of tag group `tag` read through a transition into `to`
  // (`label` says whether it is repeated), judged up to `limit` bits and
  // remembered: parsed (tally, values), failed, or abandoned once past
  // `limit` (then judged again when asked with a larger one). The entry
  // lives until the next call.
  const Edge& edge(std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit);
  // Where an edge is kept, to be read again without a lookup; kNoEdge
  // for one kept nowhere (when the table is full).
  static constexpr std::uint32_t kNoEdge = 0xFFFFFFFF;
  static constexpr std::uint32_t kMaxEdges = std::uint32_t{1} << 17;  // indices are below
  std::uint32_t index_of(const Edge& e) const noexcept {
    return &e == &spare_ ? kNoEdge : static_cast<std::uint32_t>(&e - edges_.data());
  }
  const Edge& edge_at(std::uint32_t index) const noexcept { return edges_[index]; }

  // The prices the root's own fields pay, beside their values: an
  // undeclared field (an extension when the node's ranges hold it,
  // returning true; else unknown), the count of one transition's values,
  // and which of the node's fields a message used with the required
  // fields it lacks.
  bool undeclared(std::uint32_t node, std::uint32_t field, std::uint64_t occurrences, std::uint64_t bytes,
                  Tally& tally) const noexcept;
  static double count_bits(std::uint8_t label, std::uint32_t values) noexcept {
    if (label == 2) return gamma_bits(values > 0 ? values : 1);
    return values > 1 ? kExtraValueBits * static_cast<double>(values - 1) : 0.0;
  }
  void settle(std::uint32_t declared, std::uint32_t used, std::uint32_t required, std::uint32_t required_seen,
              Tally& tally) const noexcept;

  Ranges& ranges() noexcept { return ranges_; }

  // What the values of a tag after occurrence i (an index into the scan's
  // occurrences) cost at least as messages: a parse through a target that
  // reads fields is abandoned as soon as its cost so far and that pass the
  // limit, not only once its own cost does (a long repeated field whose
  // values each cost a little more than their floors is found out early).
  // 0 until set.
  void set_messages_after(std::uint32_t i, double bits) {
    if (messages_after_.empty()) messages_after_.assign(top_.occurrences.size(), 0);
    messages_after_[i] = bits;
  }

 private:
  struct Level {
    std::vector<std::uint32_t> counts;   // per transition of the node: values seen + 1, 0 when unused
    std::vector<std::uint32_t> touched;  // transitions with a non-zero count, in first-seen order
  };
  struct Memo {
    std::uint64_t a = 0, b = 0;  // node and start; end or group field, depth, group flag
    bool used = false;
    std::uint32_t end = 0;  // offset after the parse, or kFailed
    Tally tally;
  };
  static constexpr std::uint32_t kFailed = 0xFFFFFFFF;

  void judge(Edge& e, std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit);
  void grow_edges();
  void grow_memo();
  void remember(std::uint64_t a, std::uint64_t b, const std::uint8_t* after, const Tally& inner);
  // One value of a declared field that arrived with `wire`, for arc t:
  // the position after it, or nullptr (failed, or abandoned_).
  const std::uint8_t* value(const Arc& t, std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end,
                            int depth, Tally& tally, std::uint32_t& values, double limit);
  // The fields of a nested message (group_field 0: up to `end`) or group
  // (up to the end tag of group_field, which it consumes) into a fresh
  // tally; the position after, or nullptr (failed, or abandoned_).
  // `after`: where Ranges::floors_after() holds the range's floors after
  // each field, or Shape::kNoFloors.
  const std::uint8_t* fields(std::uint32_t node, const std::uint8_t* p, const std::uint8_t* end,
                             std::uint32_t group_field, int depth, Tally& tally, double limit,
                             std::uint32_t after = Shape::kNoFloors);
  // fields() through the bound and the memo, adding to `tally`.
  const std::uint8_t* nested(std::uint32_t node, const std::uint8_t* p, const std::uint8_t* end,
                             std::uint32_t group_field, int depth, Tally& tally, double limit);
  // Skips the value of an undeclared field; nullptr when malformed.
  const std::uint8_t* skip(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field, std::uint8_t wire,
                           int depth) const noexcept;
  const std::uint8_t* skip_group(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field,
                                 int depth) const noexcept;
  // The price of a varint value for an arc into `leaf`.
  void varint_value(const NodeInfo& leaf, std::uint64_t v, std::size_t length, Tally& tally) const noexcept;
  const std::uint8_t* abandon() noexcept { return abandoned_ = true, nullptr; }

  const Candidates& candidates_;
  const std::uint8_t* begin_;
  const std::uint8_t* end_;
  const TopLevel& top_;
  Work& work_;
  Ranges ranges_;
  std::vector<Level> levels_;
  // Edges in the order first asked for, found through an open-addressing
  // table of their keys: growing it moves small slots, not edges.
  struct EdgeSlot {
    std::uint64_t key = 0;
    std::uint32_t edge = kNoEdge;  // index into edges_
  };
  std::vector<EdgeSlot> edge_slots_;
  std::vector<Edge> edges_;
  Edge spare_;
  std::vector<Memo> memo_;
  std::size_t memo_used_ = 0;
  bool abandoned_ = false;
  std::vector<double> messages_after_;
};

}  // namespace korvex::identify
