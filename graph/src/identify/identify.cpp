#include "identify/identify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <string_view>

#include "identify/ranges.hpp"
#include "identify/scan.hpp"

namespace korvex::identify {

namespace {

const double kUnknownNumberBits = std::log2(static_cast<double>(kMaxField));

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
// when the positions asked for come in order. list.size() when absent;
// `from` moves to where the search ended.
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

  Work work(payload.size());
  Matcher matcher(candidates_, payload, scanned, work);
  struct Found {
    double cost;
    std::uint32_t candidate;
    Tally tally;
  };
  std::vector<Found> found;
  // With `top` set, the costs of the best `top` matches so far, worst on
  // top: a candidate whose floor passes the worst of them cannot rank.
  std::priority_queue<double> best;
  const auto threshold = [&] {
    return top && best.size() >= *top ? best.top() : std::numeric_limits<double>::infinity();
  };
  const auto record = [&](std::uint32_t c, const Tally& tally) {
    found.push_back({tally.bits, c, tally});
    if (!top) return;
    best.push(tally.bits);
    if (best.size() > *top) best.pop();
  };
  // Bounds are sums in another order than the costs they bound: a margin
  // keeps rounding from cutting a candidate that ties.
  constexpr double kMargin = 1e-6;

  const std::size_t tags = scanned.tags.size();
  std::vector<Taking> taking(tags);
  // Per tag group: the floor of its values when declared or an extension,
  // and their price when unknown.
  std::vector<double> taken_floor(tags), unknown(tags);
  for (std::size_t g = 0; g < tags; ++g) {
    const TagGroup& group = scanned.tags[g];
    taking[g].declared = candidates_.declaring(key_field(group.key), key_wire(group.key));
    candidates_.extending(key_field(group.key), taking[g].extending);
    double floor = 0;
    for (std::uint32_t i = 0; i < group.count && work.spend(1); ++i) {
      const Occurrence& o = scanned.occurrences[group.first + i];
      floor += matcher.ranges().value_floor(key_wire(group.key), payload.data() + o.value,
                                            payload.data() + o.end);
    }
    unknown[g] = kUnknownNumberBits * group.count + kOpaqueBits * static_cast<double>(group.bytes);
    taken_floor[g] = std::min(floor, kOpaqueBits * static_cast<double>(group.bytes));
  }
  // The floor of every candidate not yet seen, all of which declare at
  // least `declared` fields: some j >= 1 of the tags taken (the j with the
  // most to gain), the others unknown, and which fields are used.
  std::vector<double> gains(tags);
  double all_unknown = 0;
  for (std::size_t g = 0; g < tags; ++g) gains[g] = unknown[g] - taken_floor[g], all_unknown += unknown[g];
  std::sort(gains.begin(), gains.end(), std::greater<>());
  // A candidate that only extends the tags it takes uses none of its fields.
  bool extended = false;
  for (const Taking& t : taking) extended |= !t.extending.empty();
  const auto log2_choose = [&](std::uint64_t n, std::uint64_t k) {
    return candidates_.log2_factorial(n) - candidates_.log2_factorial(k) - candidates_.log2_factorial(n - k);
  };
  const auto unseen_floor = [&](std::uint32_t declared) {
    double best_j = std::numeric_limits<double>::infinity(), values = all_unknown;
    for (std::size_t j = 1; j <= tags; ++j) {
      values -= gains[j - 1];
      const double which = extended || declared <= j
                               ? 0.0
                               : std::min(std::log2(static_cast<double>(declared)), log2_choose(declared, j));
      best_j = std::min(best_j, which + values);
    }
    return std::log2(static_cast<double>(declared) + 1) + best_j;
  };

  if (work.exhausted()) {
    // Not even the floors could be had: nothing below is tried.
  } else if (tags == 0) {
    // An empty message costs log2(D + 1) bits as a node of D declared
    // fields (more with required ones), and candidates come in order of D.
    std::vector<const Taken*> none;
    for (std::uint32_t c = 0; c < candidates_.size(); ++c) {
      if (std::log2(static_cast<double>(candidates_.declared(c)) + 1) - kMargin > threshold()) break;
      Tally tally;
      if (matcher.root(c, none, threshold() + kMargin, tally) == Matcher::Outcome::parsed) record(c, tally);
    }
  } else {
    std::vector<std::uint64_t> done((candidates_.size() + 63) / 64);
    std::vector<const Taken*> row(tags);
    // Judges candidate c, which takes at least one tag: which tags it
    // takes (the cursors move forward, so calls of one pass come in
    // ascending order), its own floor, then the parse unless the floor
    // rules it out.
    std::vector<std::size_t> at(tags), ext_at(tags);
    const auto judge = [&](std::uint32_t c) {
      done[c / 64] |= std::uint64_t{1} << (c % 64);
      double floor = 0;
      std::uint32_t fields = 0, previous_field = 0;
      for (std::size_t g = 0; g < tags; ++g) {
        row[g] = nullptr;
        bool takes = false;
        const auto declared = taking[g].declared.candidates();
        if (const std::size_t i = gallop(declared, at[g], c); i < declared.size()) {
          row[g] = &taking[g].declared.taken(i);
          takes = true;
          const std::uint32_t field = key_field(scanned.tags[g].key);
          if (fields == 0 || field != previous_field) ++fields, previous_field = field;
        }
        if (gallop(taking[g].extending, ext_at[g], c) < taking[g].extending.size()) takes = true;
        floor += takes ? taken_floor[g] : unknown[g];
      }
      if (top) {
        const std::uint32_t d = candidates_.declared(c);
        floor += std::log2(static_cast<double>(d) + 1) + log2_choose(d, std::min(fields, d));
        if (floor - kMargin > threshold()) return;
      }
      Tally tally;
      if (matcher.root(c, row, threshold() + kMargin, tally) == Matcher::Outcome::parsed) record(c, tally);
    };
    const auto restart = [&] {
      std::fill(at.begin(), at.end(), 0);
      std::fill(ext_at.begin(), ext_at.end(), 0);
    };
    // The most tag group g's values may cost in a candidate that could
    // still rank: the bound less every other tag's floor.
    double floors = 1;  // the presence of at least one field
    for (std::size_t g = 0; g < tags; ++g) floors += taken_floor[g];
    const auto value_limit = [&](std::uint32_t g) { return threshold() + kMargin - (floors - taken_floor[g]); };
    const auto is_done = [&](std::uint32_t c) { return (done[c / 64] >> (c % 64) & 1) != 0; };
    // Judges every candidate that takes each tag of `required`: through
    // the target groups of the one with the most bytes, so that a target
    // that cannot read its values rules out its whole group at once.
    const auto taking_all = [&](const std::vector<std::uint32_t>& required) {
      std::uint32_t lead = required[0];
      for (const std::uint32_t g : required)
        if (scanned.tags[g].bytes > scanned.tags[lead].bytes) lead = g;
      const TagGroup& group = scanned.tags[lead];
      const auto takes_rest = [&](std::uint32_t c) {
        for (const std::uint32_t g : required) {
          if (g == lead) continue;
          std::size_t a = 0, e = 0;
          if (gallop(taking[g].declared.candidates(), a, c) == taking[g].declared.size() &&
              gallop(taking[g].extending, e, c) == taking[g].extending.size())
            return false;
        }
        return true;
      };
      const auto groups = candidates_.target_groups(key_field(group.key), key_wire(group.key));
      const auto by_target = candidates_.by_target();
      for (std::size_t i = 0; i < groups.size() && !work.exhausted(); ++i) {
        const std::uint32_t end = groups.data()[i + 1].first;  // the next group, or the end marker
        if (!matcher.can_read(lead, groups[i].to, groups[i].label, value_limit(lead))) continue;
        for (std::uint32_t k = groups[i].first; k < end; ++k) {
          const std::uint32_t c = by_target[k];
          if (is_done(c) || !takes_rest(c)) continue;
          restart();
          judge(c);
        }
      }
      for (const std::uint32_t c : taking[lead].extending) {
        if (is_done(c) || !takes_rest(c)) continue;
        restart();
        judge(c);
      }
    };

    std::vector<std::uint32_t> mandatory;
    if (top) {
      // First the candidates that take every tag, among which the best
      // usually are: their costs make the bound that cuts the rest.
      std::vector<std::uint32_t> all(tags);
      for (std::uint32_t g = 0; g < tags; ++g) all[g] = g;
      taking_all(all);
      // A tag whose values cost more unknown than the bound leaves over
      // the others' floors must be taken by every candidate still to rank.
      if (threshold() < std::numeric_limits<double>::infinity()) {
        for (std::uint32_t g = 0; g < tags; ++g)
          if (floors - taken_floor[g] + unknown[g] - kMargin > threshold()) mandatory.push_back(g);
      }
    }
    restart();
    if (!mandatory.empty()) {
      taking_all(mandatory);
    } else {
      // A target that cannot read a tag's values fails every candidate
      // that takes the tag through it: each group is judged once and the
      // failed ones are marked done before the walk.
      const auto by_target = candidates_.by_target();
      for (std::uint32_t g = 0; g < tags && !work.exhausted(); ++g) {
        const std::uint8_t wire = key_wire(scanned.tags[g].key);
        if (wire != 2 && wire != 3) continue;  // a varint or fixed value is read by every target taking it
        const auto groups = candidates_.target_groups(key_field(scanned.tags[g].key), wire);
        for (std::size_t i = 0; i < groups.size(); ++i) {
          if (matcher.can_read(g, groups[i].to, groups[i].label, value_limit(g))) continue;
          const std::uint32_t end = groups.data()[i + 1].first;
          for (std::uint32_t k = groups[i].first; k < end; ++k) {
            done[by_target[k] / 64] |= std::uint64_t{1} << (by_target[k] % 64);
          }
        }
      }
      // Every candidate that takes at least one tag, in candidate order
      // (so by D), merged from the tags' lists; the walk ends where the
      // floor of the candidates still to come passes the best `top`.
      std::vector<std::size_t> next(tags, 0), ext_next(tags, 0);
      std::uint32_t floor_for = std::numeric_limits<std::uint32_t>::max();
      double floor_unseen = 0;
      while (!work.exhausted()) {
        std::uint32_t c = std::numeric_limits<std::uint32_t>::max();
        for (std::size_t g = 0; g < tags; ++g) {
          const auto declared = taking[g].declared.candidates();
          while (next[g] < declared.size() && is_done(declared[next[g]])) ++next[g];
          if (next[g] < declared.size()) c = std::min(c, declared[next[g]]);
          const auto& extending = taking[g].extending;
          while (ext_next[g] < extending.size() && is_done(extending[ext_next[g]])) ++ext_next[g];
          if (ext_next[g] < extending.size()) c = std::min(c, extending[ext_next[g]]);
        }
        if (c == std::numeric_limits<std::uint32_t>::max()) break;
        if (top) {
          const std::uint32_t d = candidates_.declared(c);
          if (d != floor_for) floor_for = d, floor_unseen = unseen_floor(d);
          if (floor_unseen - kMargin > threshold()) break;
        }
        judge(c);
      }
    }
  }
  if (work.exhausted())
    return fail("too much work: identifying " + std::to_string(payload.size()) + " bytes takes more than " +
                std::to_string(work.budget(payload.size())) + " steps (" + std::to_string(Work::kPerByte) +
                " a byte plus " + std::to_string(Work::kBase) + ")");

  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    if (a.cost != b.cost) return a.cost < b.cost;
    const std::string_view na = candidates_.first_name(a.candidate), nb = candidates_.first_name(b.candidate);
    return na != nb ? na < nb : a.candidate < b.candidate;
  });
  if (top && found.size() > *top) found.resize(*top);

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
