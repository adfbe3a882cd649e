// Normalising one message as read: its field problem becomes the message's
// error, its fields are sorted by number (stable: equal numbers keep their
// document order), its extension ranges are checked.
//
// The pieces are given one by one so that the merge can normalise straight
// from a document's flat records into its own storage, and
// normalize_message does the whole of it for an owned YamlMessage. Every
// message names the message first and no document.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/load/read.hpp"
#include "build_scoring_graph/load/scoring_field.hpp"
#include "common/result.hpp"

namespace korvex {

// The error of a field problem; `text` is the problem's text as written.
Error field_problem_error(std::string_view name, FieldProblem::Rule rule, std::uint32_t number, std::string_view text);

// Extension ranges in list order: each non-empty, within the field numbers,
// and strictly after the previous one with a gap.
Result<void> check_ext_ranges(std::string_view name, std::span<const ExtRange> ranges);

// The positions 0 .. n - 1 in the order that sorts them by `number_at(i)`,
// stable; `order` is left empty when they are sorted already.
template <class NumberAt>
void stable_order_by_number(std::size_t n, NumberAt&& number_at,
                            std::vector<std::pair<std::uint32_t, std::uint32_t>>& order) {
  order.clear();
  bool sorted = true;
  for (std::size_t i = 1; i < n && sorted; ++i) sorted = number_at(i - 1) <= number_at(i);
  if (sorted) return;
  // The position as second key keeps equal numbers in document order.
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = {number_at(i), static_cast<std::uint32_t>(i)};
  std::sort(order.begin(), order.end());
}

// Normalises one message: reports its field problem, sorts the fields by
// number (stable) and checks the extension ranges. Consumes the message.
Result<NormalizedMessage> normalize_message(std::string_view name, YamlMessage&& message);

}  // namespace korvex
