#include "identify/identify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <string_view>

#include "identify/scan.hpp"

namespace korvex::identify {

namespace {

std::string count_of(std::uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// The candidates that take one tag: those declaring it (postings of the
// index) and those extending it (few), both ascending.
struct Taking {
  Postings declared;
  std::vector<std::uint32_t> extending;

  std::size_t size() const noexcept { return declared.size() + extending.size(); }
  template <class F>
  void each(const F& f) const {
    for (const std::uint32_t c : declared.candidates()) f(c);
    for (const std::uint32_t c : extending) f(c);
  }
};

// The position of `c` in `list` at or after `from`, by galloping: cheap
// when the positions asked for come in order and close together. list.size()
// when absent; `from` moves to where the search ended.
std::size_t gallop(std::span<const std::uint32_t> list, std::size_t& from, std::uint32_t c) {
  std::size_t lo = from, step = 1, hi = from;
  while (hi < list.size() && list[hi] < c) {
    lo = hi + 1;
    hi += step;
    step *= 2;
  }
  hi = std::min(hi, list.size());
  from = static_cast<std::size_t>(std::lower_bound(list.begin() + lo, list.begin() + hi, c) - list.begin());
  return from < list.size() && list[from] == c ? from : list.size();
}

// The candidates that take every tag, with how they take each: row i of
// `taken` (one pointer per tag, nullptr for an extension) belongs to
// members[i]. The rarest list first, each further one only filters; the
// rows are filled for the few that remain.
void intersect(const std::vector<Taking>& taking, std::vector<std::uint32_t>& members,
               std::vector<const Taken*>& taken) {
  const std::size_t tags = taking.size();
  std::vector<std::uint32_t> order(tags);
  for (std::uint32_t i = 0; i < tags; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return taking[a].size() < taking[b].size(); });
  const Taking& rarest = taking[order[0]];
  members.clear();
  members.reserve(rarest.size());
  std::merge(rarest.declared.candidates().begin(), rarest.declared.candidates().end(), rarest.extending.begin(),
             rarest.extending.end(), std::back_inserter(members));
  for (std::size_t k = 1; k < tags && !members.empty(); ++k) {
    const Taking& list = taking[order[k]];
    const auto declared = list.declared.candidates();
    std::size_t at = 0, ext_at = 0, kept = 0;
    if (declared.size() < 16 * members.size()) {
      // Lists of like sizes: one merge pass is cheaper than searching.
      for (const std::uint32_t c : members) {
        while (at < declared.size() && declared[at] < c) ++at;
        if ((at < declared.size() && declared[at] == c) || gallop(list.extending, ext_at, c) < list.extending.size())
          members[kept++] = c;
      }
    } else {
      for (const std::uint32_t c : members)
        if (gallop(declared, at, c) < declared.size() || gallop(list.extending, ext_at, c) < list.extending.size())
          members[kept++] = c;
    }
    members.resize(kept);
  }
  taken.assign(members.size() * tags, nullptr);
  for (std::size_t g = 0; g < tags; ++g) {
    const auto declared = taking[g].declared.candidates();
    std::size_t at = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      const std::size_t pos = gallop(declared, at, members[i]);
      if (pos < declared.size()) taken[i * tags + g] = &taking[g].declared.taken(pos);
    }
  }
}

}  // namespace

std::string Match::reason() const {
  std::string out;
  const auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ", ";
    out += part;
  };
  if (unknown_fields != 0) add(count_of(unknown_fields, "unknown field", "unknown fields"));
  if (out_of_range != 0) add(count_of(out_of_range, "value out of range", "values out of range"));
  if (missing_required != 0) add(count_of(missing_required, "required field missing", "required fields missing"));
  if (out.empty()) out = "exact";
  if (extension_fields != 0) add(count_of(extension_fields, "extension field", "extension fields"));
  return out;
}

Result<std::vector<Match>> Identifier::identify(std::span<const std::uint8_t> payload,
                                                std::optional<std::size_t> top) const {
  if (payload.size() >= kMaxPayload)
    return fail("payload of " + std::to_string(payload.size()) + " bytes is larger than identify takes (2^31 - 1)");
  TopLevel scanned;
  if (auto ok = scan(payload, scanned); !ok) return std::unexpected(std::move(ok.error()));
  if (top && *top == 0) return std::vector<Match>{};

  const double penalty = inexact_penalty(payload.size());
  Matcher matcher(candidates_, payload, scanned, penalty);
  struct Found {
    double cost;
    std::uint32_t candidate;
    Tally tally;
  };
  std::vector<Found> found;
  // With `top` set: the fewest violations found so far, and the costs of
  // the best `top` matches that have that many, worst on top. A parse that
  // passes the worst of them, or needs more violations, cannot make it.
  std::uint64_t fewest = std::numeric_limits<std::uint64_t>::max();
  std::priority_queue<double> best;
  const auto limit = [&] {
    if (!top || fewest == std::numeric_limits<std::uint64_t>::max()) return std::numeric_limits<double>::infinity();
    if (best.size() >= *top) return best.top();
    return penalty * static_cast<double>(fewest + 1);
  };
  std::vector<std::uint64_t> seen((candidates_.size() + 63) / 64);
  const auto record = [&](std::uint32_t c, const Tally& tally) {
    const double cost = tally.cost(penalty);
    found.push_back({cost, c, tally});
    if (!top || tally.violations() > fewest) return;
    if (tally.violations() < fewest) {
      fewest = tally.violations();
      best = {};
    }
    best.push(cost);
    if (best.size() > *top) best.pop();
  };
  const auto run = [&](std::uint32_t c) {
    std::uint64_t& word = seen[c / 64];
    if (word >> (c % 64) & 1) return;
    word |= std::uint64_t{1} << (c % 64);
    Tally tally;
    if (matcher.root(c, limit(), tally) == Matcher::Outcome::parsed) record(c, tally);
  };

  if (scanned.tags.empty()) {
    // An empty message costs log2(D + 1) bits as a node of D declared
    // fields, and candidates come in order of D: once the best tier is
    // exact and full, the first candidate that costs more ends the search.
    for (std::uint32_t c = 0; c < candidates_.size(); ++c) {
      if (top && fewest == 0 && best.size() >= *top &&
          std::log2(static_cast<double>(candidates_.declared(c)) + 1) > best.top())
        break;
      run(c);
    }
  } else {
    std::vector<Taking> taking(scanned.tags.size());
    for (std::size_t i = 0; i < taking.size(); ++i) {
      const std::uint64_t key = scanned.tags[i].key;
      taking[i].declared = candidates_.declaring(key_field(key), key_wire(key));
      candidates_.extending(key_field(key), taking[i].extending);
    }
    if (top) {
      // Every exact match takes every tag: when one is among them, the
      // best tier is there.
      std::vector<std::uint32_t> members;
      std::vector<const Taken*> how;
      intersect(taking, members, how);
      for (std::size_t i = 0; i < members.size(); ++i) {
        const std::uint32_t c = members[i];
        seen[c / 64] |= std::uint64_t{1} << (c % 64);
        Tally tally;
        if (matcher.root(c, std::span(how).subspan(i * taking.size(), taking.size()), limit(), tally) ==
            Matcher::Outcome::parsed)
          record(c, tally);
      }
    }
    std::vector<std::uint32_t> others;
    for (std::uint32_t i = 0; i < taking.size(); ++i)
      if (i != scanned.first_tag) others.push_back(i);
    std::stable_sort(others.begin(), others.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return taking[a].size() < taking[b].size(); });
    // A candidate that leaves j of the other tags undeclared has at least j
    // unknown fields and lies in one of the lists of any j + 1 of them: so
    // once the j + 1 rarest lists are done, and a match with no more than j
    // violations is known, no candidate outside can be in the best tier.
    std::size_t done = 0;
    for (; top && fewest > 0 && done < others.size(); ++done) {
      taking[others[done]].each(run);
      if (fewest <= done) break;
    }
    if (!top || (fewest > 0 && done == others.size())) taking[scanned.first_tag].each(run);
  }

  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    if (a.cost != b.cost) return a.cost < b.cost;
    const std::string_view na = candidates_.first_name(a.candidate), nb = candidates_.first_name(b.candidate);
    return na != nb ? na < nb : a.candidate < b.candidate;
  });
  if (top) {
    std::erase_if(found, [&](const Found& f) { return f.tally.violations() != fewest; });
    if (found.size() > *top) found.resize(*top);
  }

  std::vector<Match> out;
  out.reserve(found.size());
  for (const Found& f : found) {
    out.push_back(Match{candidates_.node(f.candidate), 0.0 - f.cost, f.tally.exact(), f.tally.unknown_fields,
                        f.tally.out_of_range, f.tally.missing_required, f.tally.extension_fields,
                        candidates_.roots(f.candidate)});
  }
  return out;
}

}  // namespace korvex::identify
