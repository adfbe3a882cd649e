// Which message type are these protobuf bytes? Ranks the roots of a baked
// graph by how well the payload parses as each of them.
//
// Candidates. A candidate is a distinct root node (roots sharing a node are
// one candidate with all their names). The payload must be wire format at
// its top level (scan.hpp), or nothing matches and identify says why. A
// node is a candidate when it takes the payload's first field: declares it
// with that wire type (or wire type 2 for a repeated numeric field, packed)
// or has it in its extension ranges without declaring it. An empty payload
// makes every root node a candidate.
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
// required field, at any depth. A match without violations is exact.
//
// Score. The bits the payload takes under a generative model of the node,
// negated (higher is better). Each message spends log2(D + 1) + log2 C(D, k)
// bits to say which k of its D declared fields it uses; a repeated field
// the Elias-gamma length of its value count, any other field 8 bits per
// value beyond the first. Values: a varint 7 bits a byte plus log2 of its
// possible lengths (10 for 64-bit types, 5 for uint32 and sint32, 6 for
// int32); a bool or enum log2 of its range's size; fixed values 32 or 64
// bits; a length the gamma length of length + 1, then bytes 8 bits a byte,
// a string 7, a message what its fields cost; an extension or unknown field
// log2 of the numbers it could have had (its extension range, or 2^29 - 1)
// plus 8 bits a byte of tag and value. So bools and enums beat integers,
// strings and messages beat bytes, and unused declared fields cost. Each
// violation adds 128 n + 64 bits for a payload of n bytes, more than a
// parse of n bytes can cost otherwise: matches rank by their number of
// violations, then by bits, and every exact match scores above every
// inexact one. Equal scores rank by the candidates' smallest name (bytes).
//
// Answers. With `top` unset, every candidate that parses, best first.
// With `top` = k, the first k of that list that share its first entry's
// number of violations: the best tier, so the exact matches whenever there
// is one (an inexact match behind an exact one is noise to a caller asking
// for the best few; top unset shows them). So the answer with `top` is
// always a prefix of the full one.
//
// Pruning never changes the answer. Every exact match declares (or
// extends) every top-level tag, so the intersection of the index lists,
// rarest first, holds them all; when it yields an exact match, nothing else
// needs a look. Otherwise: a candidate that leaves j of the other tags
// undeclared has at least j violations and lies in one of the lists of any
// j + 1 of them, so the lists are visited rarest first until the fewest
// violations found is no more than the lists visited. Meanwhile a parse
// stops as soon as its cost passes the worst of the best `top` of the tier,
// or needs more violations than the tier has.
#pragma once

#include <cstddef>
#include <cstdint>
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
  explicit Identifier(const serial::GraphView& graph) : candidates_(graph) {}

  const serial::GraphView& graph() const noexcept { return candidates_.graph(); }
  std::size_t candidate_count() const noexcept { return candidates_.size(); }

  // Every match that parses, best first (top nullopt), or the best tier's
  // first `top`; or the reason the payload is not wire format at all. Safe
  // to call from several threads at once.
  Result<std::vector<Match>> identify(std::span<const std::uint8_t> payload, std::optional<std::size_t> top) const;

 private:
  Candidates candidates_;
};

// The cost of one violation in a payload of n bytes.
inline double inexact_penalty(std::size_t n) noexcept { return 128.0 * static_cast<double>(n) + 64.0; }

}  // namespace korvex::identify
