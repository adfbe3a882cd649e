// Which message type are these protobuf bytes? Ranks the roots of a baked
// graph by how well the payload parses as each of them.
//
// Candidates. A candidate is a distinct root node (roots sharing a node are
// one candidate with all their names). The payload must be wire format at
// its top level (scan.hpp), or nothing matches and identify says why. A
// node is a candidate when it takes at least one of the payload's top-level
// tags: declares the field with that wire type (or wire type 2 for a
// repeated numeric field, packed) or has it in its extension ranges. An
// empty payload makes every root node a candidate.
//
// Parsing as a node. The payload parses as a message of node n when every
// field does: a declared field must come with its wire type (varint for
// node types 0, 8, 9; 64-bit for 1; length-delimited for 2 and 10; a group
// closed by its own end tag for 3; 32-bit for 5), a repeated numeric field
// also as a packed run; a string must be valid UTF-8; a message or group
// must parse as its target node; any other field must be well formed.
// Otherwise the candidate does not parse and is left out. Violations do
// not stop a parse but make the match inexact: an unknown field (neither
// declared nor in the node's extension ranges), a value outside its type's
// range (int32 below 2^31 or a sign-extended negative; uint32 and sint32
// below 2^32; a bool or enum inside its [least, greatest]), a missing
// required field, at any depth. A match without violations is exact;
// `exact` is a flag of the match, not a rank: a payload written by another
// version of its schema (one field more) still ranks its type first when
// that type explains the rest best.
//
// Score. The bits the payload takes under a generative model of the node,
// negated (higher is better); the prices are in model.hpp, each a whole
// multiple of 2^-16 bits.
// - Which fields: a message of D declared fields spends log2(D + 1) +
//   log2 C(D, k) bits on which k it uses; a repeated field the Elias-gamma
//   length of its value count, any other field kExtraValueBits per value
//   beyond the first. Unused declared fields cost.
// - Varints: an integer, 31 times in 32 by magnitude (7 bits a byte plus
//   log2 of the lengths the type allows: 10 for 64-bit types, 5 for uint32
//   and sint32, 6 for int32), 1 time in 32 by the gamma code of value + 1,
//   so that the small values real data is full of cost less (0 costs 6
//   bits, not 9.6); a negative one (sign-extended, ten bytes) then by the
//   gamma code of its magnitude and a sign bit (-1 costs 7 bits, not 73;
//   to an int32 and an int64 alike). A bool or enum log2 of its range's
//   size. Fixed values 32 or 64 bits.
// - Length-delimited values: the gamma length of length + 1, then by
//   content. A string by a character model of UTF-8 text: printable ASCII
//   6 bits a byte, tab, newline and carriage return 8, other control bytes
//   16, bytes of multi-byte sequences 7 (invalid UTF-8 does not parse). A
//   bytes field 1 bit for "text or not", then the cheaper of that model and
//   8 bits a byte. A message what its own fields cost. A packed run what
//   its values cost. So the same bytes cost least read as what they are:
//   text as a string, a nested message as that message, binary as bytes.
// - Violations cost what encoding them costs: an unknown field log2 of the
//   field numbers it could have had (2^29 - 1), 3 bits for its wire type
//   (its tag is that number and wire type, so the tag's bytes are not paid
//   again) and 8 bits a byte of its value; an extension field the same, its
//   number half the time any of its range, half the time a small offset
//   from the range's start (gamma code), as extensions are mostly
//   numbered; a value outside its type kEscapeBits more than a 64-bit
//   varint; a missing required field kEscapeBits.
// Equal scores rank by the candidates' smallest name (bytes).
//
// Answers. With `top` unset, every candidate that parses, best first;
// with `top` = k, the first k of that list.
//
// Soundness and pruning. Every candidate that parses is in the full answer,
// so a type that explains a payload exactly is among its exact matches.
// Pruning never changes the answer: a candidate is passed over only when a
// lower bound of its cost is above the k-th best cost found (or the
// search's current guess, below), and a parse stops only when its cost
// passes that bound. Costs are exact sums (model.hpp), so the bounds
// compare exactly and ties are real.
//
// The bounds. Per top-level tag: what its values cost under each target
// group (exactly for leaves; for a message or group, each range's shape
// against the target's fields: ranges.hpp; many values of a few shapes,
// the way lists are, one shape at a time with the values' prices summed),
// the least of those (its floor), and what they cost unknown. Per group,
// beside its values, the price of their count when its tag is the only
// one of its field (a repeated field or not is the group's). Per
// candidate: those of its groups, the exact price of the tags it leaves
// undeclared, and exactly which and how many fields it uses. Per block of
// candidates of one declared count D: every tag at its least plus, over
// the number k of fields used, the least of the presence price and the
// excess of the fields left (the cheapest to leave), which grows with D,
// so the search stops at the first block whose bound passes.
//
// The search. It works under a guess G of the k-th best cost, starting a
// little above the least any candidate can cost and growing until at least
// k matches cost no more than G (or the guess cut nothing): then every
// candidate that could rank was judged. G grows twice as far while no
// match came under it, less far once some did; the candidates the last G
// cut though the k-th did not (its near misses) are judged first under the
// next, the least bound first, and those it would cut again are passed
// over. A candidate's presence price is exact from the start of its
// judging: the tags it declares say which fields it uses. Under a bound, a
// candidate that leaves tags undeclared pays their excess over their
// least, so the candidates are drawn from a few tags that every candidate
// still to rank must take one of (a tag whose unknown price alone leaves
// no room, the most selective of those; else the most selective tags until
// their excess passes the room), each tag's takers being its postings, or
// only the candidates of the target groups whose bound leaves room. Each
// is looked up in the other tags' postings (bitsets, when long) and judged
// in candidate order, block by block of D; those whose parses would read a
// kilobyte or more at the end of their block, the least bound first.
//
// Hints. Payloads come in streams of a few types, each again and again: before
// its first pass a call judges the candidates that the last answers for
// payloads of its shape ranked (up to 16, the last answer's first, then those
// of earlier answers it does not hold). A shape is the keys of the payload's
// tags with, or else without, the keys of their values read as messages; an
// identifier keeps the hints of 1 024 shapes. When they are k or more, they
// are judged under no guess (only the k-th found so far bounds them), and once
// k of them parse, the k-th is the guess of a single pass (instructions, a
// first pass over the Kubernetes objects 12% fewer, a second 17%; descriptor
// records 19% and 23%). A payload of a shape not kept takes the hints of the
// last payloads instead. Those, and fewer than k, are judged under the first
// guess: when they rank again, the k-th is tight before the walk starts (a
// stream of Pub/Sub messages: 46% fewer instructions); when they do not, they
// are cut as soon as their least passes the guess. Hints change how much work
// a call does, never its answer, and any candidate is a sound hint, so threads
// share them without a lock.
//
// Work. One call takes at most Work::kBase + Work::kPerByte steps a
// payload byte (a step: one field read, one value judged, one candidate or
// target looked at, a few bytes of a range), so time grows at most
// linearly with the payload; past that it fails with "too much work: ..."
// rather than answer from a search that did not finish. One that comes
// within an eighth of its budget with hints runs again without them, so
// that whether a call answers does not depend on what was asked before
// (unless hints save a search more than an eighth of its budget).
// Reading the top level costs Work::kPerField steps a field before
// anything is kept of it.
// What a call keeps is paid for in steps too, and stays within
// Work::kMemoryBase plus Work::kMemoryPerByte a payload byte, and within
// Work::kMemoryCeiling (4 GiB) whatever the payload.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "build_scoring_graph/serial/graph_view.hpp"
#include "common/result.hpp"
#include "identify/candidates.hpp"
#include "identify/match.hpp"

namespace korvex::identify {

// Payloads of this many bytes or more are refused (offsets are 32-bit).
inline constexpr std::size_t kMaxPayload = std::size_t{1} << 31;

struct Match {
  std::uint32_t node = 0;
  double score = 0;
  bool exact = false;
  std::uint32_t unknown_fields = 0;    // occurrences, at every level
  std::uint32_t out_of_range = 0;      // values
  std::uint32_t missing_required = 0;  // declared required fields absent, at every level
  std::uint32_t extension_fields = 0;  // occurrences, at every level
  std::span<const std::uint32_t> roots;  // indexes into roots(), by name

  // "exact", or what the match needs, e.g. "2 unknown fields, 1 value out
  // of range"; extension fields are listed after either.
  std::string reason() const;
};

class Identifier {
 public:
  // Builds the lookups of the view's roots; the view must outlive this.
  explicit Identifier(const serial::GraphView& graph)
      : candidates_(graph), by_shape_(std::make_unique<ShapeHints[]>(kShapes)) {
    for (std::atomic<std::uint32_t>& h : last_) h.store(kNoHint, std::memory_order_relaxed);
    for (std::size_t i = 0; i < kShapes; ++i)
      for (std::atomic<std::uint32_t>& h : by_shape_[i].hints) h.store(kNoHint, std::memory_order_relaxed);
  }

  const serial::GraphView& graph() const noexcept { return candidates_.graph(); }
  std::size_t candidate_count() const noexcept { return candidates_.size(); }

  // Every match that parses, best first (top nullopt), or the first `top`;
  // or the reason the payload is not wire format at all, or that it takes
  // too much work. Safe to call from several threads at once.
  Result<std::vector<Match>> identify(std::span<const std::uint8_t> payload, std::optional<std::size_t> top) const;

 private:
  static constexpr std::size_t kHints = 16;
  // A hinted search that leaves less than this share of its budget runs
  // again without hints (identify.cpp).
  static constexpr std::uint64_t kRecheckShare = 8;
  static constexpr std::uint32_t kNoHint = ~std::uint32_t{0};
  Candidates candidates_;
  // The candidates of the last answers, the last one's first (Hints,
  // above).
  mutable std::array<std::atomic<std::uint32_t>, kHints> last_;
  // And those of the last answers by the payload's shape, in a table of
  // kShapes slots: a stream of many types, each of them again and again.
  static constexpr std::size_t kShapes = 1024;
  struct ShapeHints {
    std::atomic<std::uint64_t> shape{0};  // 0: none yet
    std::array<std::atomic<std::uint32_t>, kHints> hints;
  };
  std::unique_ptr<ShapeHints[]> by_shape_;
};

}  // namespace korvex::identify
