// The messages of the normalisation, to the byte, and the normalisation of
// an owned message.
#include "build_scoring_graph/load/normalize.hpp"

#include "build_scoring_graph/load/read_error.hpp"

namespace korvex {

using yaml_read::cat;

Error field_problem_error(std::string_view name, FieldProblem::Rule rule, std::uint32_t number, std::string_view text) {
  using Rule = FieldProblem::Rule;
  switch (rule) {
    case Rule::unknown_kind:
      return Error{cat(name, ": unknown kind '", text, "'")};
    case Rule::requires_range:
      return Error{cat(name, " field ", number, ": bool/enum kind requires range")};
    case Rule::requires_child:
      return Error{cat(name, " field ", number, ": kind ", text, " requires a child FQDN")};
    case Rule::unknown_label:
      break;
  }
  return Error{cat(name, " field ", number, ": unknown label '", text, "'")};
}

Result<void> check_ext_ranges(std::string_view name, std::span<const ExtRange> ranges) {
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    auto [lo, hi] = ranges[i];
    if (lo > hi) return fail(cat(name, ": ext_ranges [", lo, ", ", hi, "] is empty"));
    if (hi > kMaxFieldNumber)
      return fail(cat(name, ": ext_ranges [", lo, ", ", hi, "] exceeds the maximum field number ", kMaxFieldNumber));
    if (i > 0) {
      auto [plo, phi] = ranges[i - 1];
      if (std::uint64_t{lo} <= std::uint64_t{phi} + 1)
        return fail(cat(name, ": ext_ranges are not canonical \u2014 [", lo, ", ", hi, "] is not strictly after [", plo,
                        ", ", phi, "] with a gap"));
    }
  }
  return {};
}

Result<NormalizedMessage> normalize_message(std::string_view name, YamlMessage&& message) {
  if (const auto& p = message.problem) return std::unexpected(field_problem_error(name, p->rule, p->number, p->text));
  NormalizedMessage out;
  out.kind = message.kind;
  out.fields = std::move(message.fields);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
  stable_order_by_number(out.fields.size(), [&](std::size_t i) { return out.fields[i].number; }, order);
  if (!order.empty()) {
    std::vector<ScoringField> sorted;
    sorted.reserve(order.size());
    for (const auto& [number, i] : order) sorted.push_back(std::move(out.fields[i]));
    out.fields = std::move(sorted);
  }
  if (auto checked = check_ext_ranges(name, message.ext_ranges); !checked) return std::unexpected(std::move(checked.error()));
  out.ext_ranges = std::move(message.ext_ranges);
  return out;
}

}  // namespace korvex
