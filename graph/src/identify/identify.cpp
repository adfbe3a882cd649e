#include "identify/identify.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <queue>
#include <string_view>
#include <utility>

#include "identify/ranges.hpp"
#include "identify/scan.hpp"

namespace korvex::identify {

namespace {

// Appends "n thing" (or "n things") to a reason, after a comma if it has
// words already: written in place, since every match of every answer has a
// reason.
void add_count(std::string& out, std::uint64_t n, std::string_view one, std::string_view many) {
  if (!out.empty()) out += ", ";
  char digits[20];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  out += ' ';
  out += n == 1 ? one : many;
}

// How a candidate takes a tag: a posting index, or one of these.
constexpr std::int64_t kByExtension = -1;
constexpr std::int64_t kNotTaken = -2;
constexpr std::int64_t kBlocked = -3;
constexpr std::int64_t kPosted = -4;  // a posting of a dense key, not yet counted to
constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

// Whether `c` is in list[from, size), found by galloping from `from`, which
// moves to where the search ended: cheap when the values asked for ascend.
bool gallop(const std::uint32_t* list, std::size_t size, std::size_t& from, std::uint32_t c) {
  std::size_t lo = from, step = 1, hi = from;
  while (hi < size && list[hi] < c) {
    lo = hi + 1;
    hi += step;
    step *= 2;
  }
  hi = std::min(hi, size);
  from = static_cast<std::size_t>(std::lower_bound(list + lo, list + hi, c) - list);
  return from < size && list[from] == c;
}

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) v >>= 7, ++n;
  return n;
}

// The content of a length-delimited value at p (inside the payload, as the
// scan checked).
std::span<const std::uint8_t> content(const std::uint8_t* p) {
  std::uint64_t length = 0;
  std::size_t n = 0;
  for (int shift = 0; n < 10; shift += 7) {
    const std::uint8_t b = p[n++];
    length |= std::uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) break;
  }
  return {p + n, static_cast<std::size_t>(length)};
}

struct Found {
  double cost;
  std::uint32_t candidate;
  Tally tally;
};

// A tag's values as one packed run: its length-delimited values' contents
// (with their lengths), or its varints.
struct Packed {
  double lengths = 0;  // their length prices
  std::uint64_t bytes = 0;
  bool fours = true, eights = true;  // whether every one is a whole number of fixed values
  std::uint32_t run = 0;  // their varints, for Ranges::run_bits
  // The run's bytes, with which run_bits counts exactly the values a
  // range leaf holds of the classes it cuts: the one packed run's, or the
  // values of several back to back, kept for the call. (Without them, each
  // enum leaf of a tag of 1 500 varints repeated without packing parsed
  // every one: a payload of twenty such tags among 200 000 types took
  // 40 ms.)
  std::span<const std::uint8_t> bytes_of_run;
  std::vector<std::uint8_t> joined;
};

// One payload's search: the tags' facts, the target groups' bounds, the
// best costs found.
class Search {
 public:
  Search(const Candidates& candidates, const TopLevel& top, std::span<const std::uint8_t> payload, Matcher& matcher,
         Work& work, std::optional<std::size_t> k);
  // Judges these candidates first, in this order: what ranked for the
  // last payloads most often ranks for this one, and found first they make
  // the k-th tight before the walk. `shaped`: they are the last answers
  // for payloads of this shape, judged under no guess when they are k or
  // more (run); else under the first guess. Any candidate of the graph may
  // be named (the caller keeps to those below size()); those that take
  // none of the payload's tags are left out, as they are not candidates
  // for it.
  void hint(std::span<const std::uint32_t> hints, bool shaped);
  // The payload's shape, for the hints kept by shape: its tags' keys, and
  // (`nested`) the keys of their values read as messages. Never 0.
  std::uint64_t shape(bool nested) const noexcept;
  void run();
  std::vector<Found>& found() noexcept { return found_; }

 private:
  struct Tag {
    std::uint32_t field = 0;
    std::uint8_t wire = 0;
    std::uint32_t count = 0;
    bool alone = false;  // the only tag of its field
    std::uint64_t bytes = 0;
    Candidates::Key key;
    std::vector<std::uint32_t> extending;  // candidates taking it as an extension, ascending
    double unknown = 0;  // its price undeclared, outside any extension range
    double floor = 0;    // the least it costs declared
    double lowest = 0;   // the least it costs at all
    double excess = 0;   // unknown - lowest: what leaving it undeclared costs at least
    double rest = 0;     // the message floor of its occurrences past the first kBoundedOccurrences
    std::uint32_t classes = Ranges::kUnclassified;  // of its occurrences, when they are more than that
    bool fields = false;  // some target group reads fields, and every value is wire format
    // For the filter of its target groups: its largest value's shape.
    Shape big{};
    // What its largest value has of fields 1 to 16, as the targets'
    // signatures have it (Candidates::signature): the targets that cannot
    // read the value are those whose signatures meet it.
    Candidates::Signature signature{};
    // The keys of every value as a mask, their excess (what each costs
    // undeclared beyond its floor) by mask bit, summed over the values,
    // and the lengths and key floors of all values: a target that lacks a
    // key pays its excess in every value that has it.
    Mask all_keys;
    std::vector<double> excess_by_bit;
    double excess_all = 0;  // their sum
    double base = 0;
    // Per target group of its key (in the search's tag_arrays_): a lower
    // bound of its values' cost, how good that bound is, and how many
    // values they are. Only `level` starts cleared: a big key has thousands
    // of groups, most never looked at, and the other two are read only
    // once it is past kNotYet.
    double* bound = nullptr;
    std::uint8_t* level = nullptr;
    std::uint32_t* values = nullptr;
    // A leaf group's edge, once its level is kExact with a price; or, for
    // a tag of numbers it priced without a parse, how many of them lie
    // outside the leaf's type: outside_edge(n).
    std::uint32_t* edge = nullptr;
    // Whether the screen's bound of the group (by its mask) is in `bound`
    // (cleared at first): a later screen reads it there.
    std::uint8_t* screened = nullptr;
    // The least threshold under which the screen kept a third of the
    // takers.
    double unfiltered_under = kNever;
    // Groups the screen found unable to read the values, their candidates
    // not yet marked: while the tag's takers are filtered, they are not
    // walked through it, and through another tag they are not taken.
    std::vector<std::uint32_t> unmarked;
    // For a key of many groups: those whose signatures the tag's meets (bit
    // i: group first_group + i), found at its first screen, and whether
    // their candidates are marked yet (once the walk goes through the
    // tag's takers, which would visit each of them; through other tags it
    // meets a few, each found out when judged: marked in every pass, the
    // two or three thousand candidates a Kubernetes object or a Pub/Sub
    // message clash with took 5% of their time).
    std::vector<std::uint64_t> clashed;
    bool clashed_marked = false;
    std::optional<Packed> packed;  // once a leaf reads its values as numbers
  };
  enum Level : std::uint8_t { kNotYet = 0, kMask = 1, kShape = 2, kExact = 3 };
  static constexpr std::uint32_t kInRange = Matcher::kNoEdge - 1, kOutOfRange = Matcher::kNoEdge - 2;
  // n values outside the type: counted down from kOutOfRange, above every
  // edge index (n is below 2^31, a payload's size).
  static constexpr std::uint32_t outside_edge(std::uint32_t n) noexcept {
    return n == 0 ? kInRange : kOutOfRange - (n - 1);
  }
  static constexpr std::uint32_t outside_of(std::uint32_t edge) noexcept { return kOutOfRange - edge + 1; }
  static constexpr bool counts_outside(std::uint32_t edge) noexcept {
    return edge >= Matcher::kMaxEdges && edge <= kOutOfRange;
  }
  static_assert(kOutOfRange - (std::uint32_t{1} << 31) >= Matcher::kMaxEdges);
  // A message group's bound reads the shapes of this many occurrences;
  // of more, their classes, or if those are too many, these first ones,
  // the rest at their floors.
  static constexpr std::uint32_t kBoundedOccurrences = 16;
  // Below this many postings a tag's candidates are walked, not filtered
  // group by group first.
  static constexpr std::size_t kFilterAbove = 64;
  // The walk reads the takers of this many words of candidates at a time:
  // a shorter stretch follows a falling threshold sooner, a longer one
  // reads the takers fewer times (32 did best on real payloads, 1% less
  // work on small records than 64, the same on large objects).
  static constexpr std::size_t kStretchWords = 32;
  // Up to this many tags, the walk keeps to candidates that take the tags
  // (and pairs of them) whose excess passes the threshold.
  static constexpr std::size_t kPairedTags = 16;
  // Up to this many, every set of them whose excess passes it.
  static constexpr std::size_t kEverySet = 8;

  double kth() const noexcept { return kth_; }
  double threshold() const noexcept { return std::min(kth(), guess_); }
  // Whether candidate c (any candidate: kEnd), costing `bound` or more,
  // is passed over: past the k-th cost, or equal to it and after the k-th
  // by name; or past the guess (noted).
  bool cut(double bound, std::uint32_t c = kEnd) {
    const double k = kth();
    if (bound > k || (bound == k && k < kNever && c != kEnd && ranks_before(best_.top().candidate, c))) return true;
    if (bound <= guess_) return false;
    guess_cut_ = true;
    return true;
  }
  // The answer's order of equal costs: by smallest name, then candidate.
  bool ranks_before(std::uint32_t a, std::uint32_t b) const noexcept {
    const std::string_view na = candidates_.first_name(a), nb = candidates_.first_name(b);
    return na != nb ? na < nb : a < b;
  }
  struct Best {
    double cost;
    std::uint32_t candidate;
  };
  struct Worse {
    const Search* search;
    bool operator()(const Best& a, const Best& b) const noexcept {
      return a.cost != b.cost ? a.cost < b.cost : search->ranks_before(a.candidate, b.candidate);
    }
  };
  void record(std::uint32_t c, const Tally& tally);
  bool judged(std::uint32_t c) const noexcept { return (judged_[c / 64] >> (c % 64) & 1) != 0; }
  void mark(std::uint32_t c) noexcept { judged_[c / 64] |= std::uint64_t{1} << (c % 64); }
  // Group g of tag t costs `bound` or more: when that, with every other
  // tag at its least, passes the threshold, none of its candidates can
  // rank, and the walk passes them over for the rest of the pass (the
  // threshold only comes down within one).
  void pass_over(std::size_t t, std::uint32_t g, double bound);
  // Marks the candidates of a bitset, one word per 64.
  void mark_all(const std::uint64_t* bits) {
    for (std::size_t w = 0; w < judged_.size(); ++w) judged_[w] |= bits[w];
    work_.spend(1 + judged_.size() / 16);
  }

  // A lower bound of tag t's values through group g (global index), made
  // good enough to compare with `budget` if it can be. Most groups asked
  // for are priced already: read in place, without a call (descriptor
  // records: 3%).
  double group_bound(std::size_t t, std::uint32_t g, double budget) {
    const Tag& tag = tags_[t];
    const std::uint32_t i = g - tag.key.first_group;
    if (tag.level[i] >= kShape && tag.bound[i] < kNever &&
        (tag.clashed.empty() || (tag.clashed[i / 64] >> (i % 64) & 1) == 0))
      return tag.bound[i];
    return group_bound_afresh(t, g, budget);
  }
  // The rest, for a group not priced yet: rules it out, or prices it.
  double group_bound_afresh(std::size_t t, std::uint32_t g, double budget);
  double price_group(std::size_t t, std::uint32_t g, double budget);
  // Leaf group i of a tag of one varint, v of `length` bytes (0: it cannot
  // be read), priced as its parse would: exact, with no edge to make and
  // find again.
  double one_varint(Tag& tag, std::uint32_t i, std::uint32_t to, std::uint64_t v, std::size_t length);
  Packed& packed(std::size_t t);
  // Group g of tag t cannot read the tag's values: none of its candidates
  // parses, and the walk passes them over from now on.
  void unreadable(std::size_t t, std::uint32_t g);
  // Tag t's values are not wire format: every candidate that takes it
  // through a message or group is out.
  void messages_unreadable(std::size_t t);
  // Marks the candidates of the groups the tag's values clash with.
  void mark_clashed(const Tag& tag);
  // Adds group g's candidates to a bitset of them: judged_ marks them.
  void add_members(std::uint32_t g, std::vector<std::uint64_t>& into);
  void mark_members(std::uint32_t g) { add_members(g, judged_); }
  // Judges candidate c, of `declared` fields, which takes tag t as
  // takes_[t] says.
  void judge(std::uint32_t c, std::uint32_t declared);
  // The rest of judging c, whose parts but `pending` (the message groups
  // and leaves to parse, the largest bound first) come to `lower`.
  // Inlined: as a call, the walk over a small record's candidates took 1.2%
  // more instructions.
  struct Pending;
  [[gnu::always_inline]] inline void finish(std::uint32_t c, double lower, Tally exact, std::span<const Pending> pending);
  // Puts off the rest of judging c, when its pending parts read at least
  // kPutOffFrom bytes; whether it did. Judges those put off, the least
  // bound first. (Both out of line: seldom called, and kept out of the
  // walk's loop.)
  [[gnu::noinline]] bool put_off(std::uint32_t c, double lower, const Tally& exact);
  [[gnu::noinline]] void flush();
  // One pass over the candidates under the current guess.
  void pass();
  // A tag's takers this pass: its postings, or only the candidates of the
  // target groups its screen kept (a bitset), and its extensions; with
  // cursors that move up as the candidates asked about ascend.
  struct List {
    const std::uint32_t* seq = nullptr;
    std::size_t size = 0;
    const std::uint64_t* bits = nullptr;  // when filtered
    std::size_t pos = 0, ext = 0;
  };
  // How candidate c (no less than any asked before) takes tag t: a posting
  // index (kPosted for a dense key), by extension, not at all, or, out of
  // a filtered list, kBlocked: it declares the tag through a group that
  // leaves no room.
  std::int64_t how(std::size_t t, List& l, std::uint32_t c) const;
  // Judges the candidates that may rank, in candidate order, until no
  // candidate is left or a block's bound passes the threshold.
  void walk(std::vector<List>& lists);
  // Tag t's target groups that may leave room under `thr` by their exact
  // leaf prices and their masks, into passed_[t]; how many candidates
  // they hold.
  std::size_t screen(std::size_t t, double thr);
  // The least a message group's values may cost, by the target's mask:
  // of the tag's keys (all_keys), it declares `declared0` and
  // `declared1`, and the others cost their excess.
  static double mask_bound(const Tag& tag, std::uint64_t declared0, std::uint64_t declared1) {
    return mask_bound(tag.excess_by_bit.data(), tag.excess_all, tag.base, declared0, declared1);
  }
  static double mask_bound(const double* excess_by_bit, double excess_all, double base, std::uint64_t declared0,
                           std::uint64_t declared1);
  // The candidates of those groups become l's bitset; the tag's other
  // takers, blocked_[t].
  void filter(std::size_t t, List& l);
  std::vector<std::vector<std::uint32_t>> passed_;
  std::vector<std::vector<std::uint64_t>> bitsets_;
  std::vector<std::vector<std::uint64_t>> blocked_;
  std::vector<std::uint64_t> drive_;  // the candidates a pass walks
  std::vector<std::uint64_t> takers_;  // each tag's, in the stretch walked
  void empty_payload();

  const Candidates& candidates_;
  const TopLevel& top_;
  std::span<const std::uint8_t> payload_;
  Matcher& matcher_;
  Work& work_;
  std::optional<std::size_t> k_;
  std::vector<Tag> tags_;
  // Every tag's arrays by group, in one allocation rather than five a tag
  // (descriptor records, of four tags on average: 2% of their time).
  std::unique_ptr<std::byte[]> tag_arrays_;
  std::vector<std::size_t> order_;  // tags by excess, largest first
  double values_min_ = 0;           // every tag at its least
  std::uint32_t distinct_fields_ = 0;
  double guess_ = kNever;
  bool shaped_ = false;  // the hints are those of the payload's shape
  bool guess_cut_ = false;            // the guess, not the k-th cost, passed something over
  std::priority_queue<Best, std::vector<Best>, Worse> best_{Worse{this}};  // the k best, worst on top
  double kth_ = kNever;  // the cost on top of best_ once it holds k
  std::vector<Found> found_;
  std::vector<std::uint64_t> judged_;  // candidates judged to the end (found, or cannot parse)
  std::vector<std::uint64_t> passed_over_;  // this pass: candidates of groups past the threshold
  std::vector<std::int64_t> takes_;
  // Candidates a judging cut under the guess but not under the k-th, with
  // the bound that cut them: the near misses, judged first under the next
  // guess (judge_deferred).
  struct Deferred {
    double bound;
    std::uint32_t candidate;
  };
  std::vector<Deferred> deferred_;
  std::vector<std::uint32_t> still_over_;  // near misses whose bound passes the next guess too
  bool defer(double bound, std::uint32_t c) {
    if (!cut(bound, c)) return false;
    if (bound < kth()) deferred_.push_back({bound, c});
    return true;
  }
  void judge_deferred();
  // Judges candidate c, looked up in every tag, unless it takes none.
  void judge_afresh(std::uint32_t c);
  std::vector<std::uint32_t> hints_;  // judged first (hint)
  void judge_hints();
  // What a candidate of `declared` fields, of which it uses lo or more,
  // pays at least for which fields it uses and the tags it leaves: for the
  // k fields it uses, their presence price and the excess of the tags of
  // the other fields of the payload, at least that of the distinct_fields_
  // - k fields whose tags leave the least (a tag some candidate takes as an
  // extension leaves none). Grows with `declared`, as presence does.
  // (With the least presence price alone, most of the 3 000 candidates
  // that take both fields of a two-field descriptor record were judged
  // one by one: leaving either field costs more than using both, which
  // that price did not count.)
  double presence_floor(std::uint32_t declared, std::uint32_t lo) const noexcept;
  // unused_[j]: the least excess j of the payload's fields leave, the
  // sum of the j smallest.
  std::vector<double> unused_;
  // The presence floor of the block being walked.
  std::uint32_t presence_for_ = kEnd;
  double presence_least_ = 0;
  struct Used {
    std::uint32_t transition;
    std::uint8_t label;
    std::uint32_t values;
  };
  std::vector<Used> used_;
  struct Pending {
    std::size_t tag;
    std::uint32_t group;
    double bound;
  };
  std::vector<Pending> pending_;
  // Candidates whose judging reads this many bytes or more are put off
  // to the end of their block (of one declared field count) and judged
  // the least bound first, so that the k-th cost is soon that of good
  // ones. In the order of their names, the first k (with no k-th cost to
  // stop them) were read to the end of a long list however poor, and
  // later ones often: a Struct of 2000 entries took twice the parses.
  static constexpr std::uint64_t kPutOffFrom = 1024;
  struct PutOff {
    double lower;
    std::uint32_t candidate;
    std::uint32_t first, count;  // its pending parts, put_off_pending_[first, first + count)
    Tally exact;
  };
  std::vector<PutOff> put_off_;
  std::vector<Pending> put_off_pending_;
  std::vector<std::uint32_t> stream_;
  std::vector<double> floors_;  // a tag's values' message floors, while the tags are read
  std::vector<std::span<const std::uint8_t>> parts_;  // a tag's values, for packed()
  std::vector<Content> contents_;  // a tag's occurrences, for their classes
};

Search::Search(const Candidates& candidates, const TopLevel& top, std::span<const std::uint8_t> payload,
               Matcher& matcher, Work& work, std::optional<std::size_t> k)
    : candidates_(candidates), top_(top), payload_(payload), matcher_(matcher), work_(work), k_(k) {
  // Before the floors below: a group that cannot read its tag's values
  // marks its candidates.
  judged_.assign((candidates.size() + 63) / 64, 0);
  // The matches found, and the k best: room for the usual few at once.
  found_.reserve(32);
  if (k_) {
    std::vector<Best> best;
    best.reserve(std::min<std::size_t>(*k_, 64) + 1);  // k may be anything a caller asks for
    best_ = decltype(best_)(Worse{this}, std::move(best));
  }
  passed_over_.assign(judged_.size(), 0);
  tags_.resize(top.tags.size());
  std::size_t all_groups = 0;
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    tags_[t].key = candidates.key(key_field(top.tags[t].key), key_wire(top.tags[t].key));
    all_groups += tags_[t].key.last_group - tags_[t].key.first_group;
  }
  // The bounds first (8-byte aligned, as new[] is), then the 4-byte
  // arrays, then the bytes, of which only the levels and flags are cleared.
  tag_arrays_ =
      std::make_unique_for_overwrite<std::byte[]>(all_groups * (sizeof(double) + 2 * sizeof(std::uint32_t) + 2));
  {
    std::byte* at = tag_arrays_.get();
    const auto take = [&](std::size_t bytes) { return std::exchange(at, at + bytes); };
    for (Tag& tag : tags_)
      tag.bound = reinterpret_cast<double*>(take(sizeof(double) * (tag.key.last_group - tag.key.first_group)));
    for (Tag& tag : tags_) {
      const std::size_t groups = tag.key.last_group - tag.key.first_group;
      tag.values = reinterpret_cast<std::uint32_t*>(take(sizeof(std::uint32_t) * groups));
      tag.edge = reinterpret_cast<std::uint32_t*>(take(sizeof(std::uint32_t) * groups));
    }
    std::byte* const bytes = at;
    for (Tag& tag : tags_) {
      const std::size_t groups = tag.key.last_group - tag.key.first_group;
      tag.level = reinterpret_cast<std::uint8_t*>(take(groups));
      tag.screened = reinterpret_cast<std::uint8_t*>(take(groups));
    }
    std::memset(bytes, 0, static_cast<std::size_t>(at - bytes));  // kNotYet, not screened
  }
  for (std::size_t t = 0; t < tags_.size() && !work.exhausted(); ++t) {
    const TagGroup& g = top.tags[t];
    Tag& tag = tags_[t];
    tag.field = key_field(g.key);
    tag.wire = key_wire(g.key);
    tag.count = g.count;
    tag.bytes = g.bytes;
    if (t == 0 || tag.field != tags_[t - 1].field) ++distinct_fields_;
    candidates.extending(tag.field, tag.extending);
    tag.unknown = kUnknownNumberBits * g.count + undeclared_bits(g.bytes, tag.field, g.count);
    const std::size_t groups = tag.key.last_group - tag.key.first_group;
    tag.fields = groups > tag.key.last_leaf - tag.key.first_leaf;
    // The floor: the cheapest leaf group (a packed run at its floor), and
    // the floor of the values as messages when some target reads fields.
    double floor = kNever;
    const auto leaves = candidates.leaf_groups(tag.key);
    const Occurrence& first = top.occurrences[g.first];
    std::uint64_t v = 0;
    const std::uint8_t* after = nullptr;
    if (tag.wire == 0 && g.count == 1)
      after = read_varint(payload.data() + first.value, payload.data() + first.end, v);
    if (after != nullptr) {
      // One varint (most tags of small records): read once for all its
      // leaves, some 77 groups a descriptor record.
      const auto length = static_cast<std::size_t>(after - (payload.data() + first.value));
      for (const std::uint32_t lg : leaves) {
        const double bits = one_varint(tag, lg - tag.key.first_group, candidates.group(lg).to, v, length);
        if (bits == kNever) unreadable(t, lg);
        floor = std::min(floor, bits);
      }
    } else {
      for (const std::uint32_t lg : leaves) floor = std::min(floor, group_bound(t, lg, -1));
    }
    if (tag.fields) {
      double messages = 0;
      std::uint32_t big = 0;
      tag.excess_by_bit.assign(128, 0);
      floors_.clear();
      for (std::uint32_t i = 0; i < g.count && messages < kNever && work.spend(1); ++i) {
        const Occurrence& o = top.occurrences[g.first + i];
        const std::uint8_t* value = payload.data() + o.value;
        const std::uint8_t *from = value, *to = payload.data() + o.end;
        double length = 0;
        if (tag.wire == 2) {
          const auto c = content(value);
          from = c.data(), to = c.data() + c.size();
          length = gamma_bits(c.size() + 1);
        } else {
          to -= varint_size(tag_key(tag.field, 4));
        }
        const double bits = length + matcher.ranges().message_floor(from, to, 1);
        messages += bits;
        floors_.push_back(bits);
        if (bits == kNever) break;
        // None only past the work budget, when the call fails anyway.
        const Shape* shape = matcher.ranges().shape(from, to, 1);
        if (shape == nullptr) {
          messages = kNever;
          break;
        }
        tag.base += length + shape->declared;
        for (const ShapeKey& k : matcher.ranges().keys(*shape)) {
          tag.all_keys.add(k.key);
          tag.excess_by_bit[Mask::bit(k.key)] += k.unknown - k.floor;
          tag.excess_all += k.unknown - k.floor;
        }
        if (i == 0 || o.end - o.value > top.occurrences[g.first + big].end - top.occurrences[g.first + big].value) {
          big = i;
          tag.big = *shape;
        }
      }
      if (messages < kNever && g.count > 1 && floors_.size() == g.count) {
        double after = 0;
        for (std::uint32_t i = g.count; i-- > 0;) {
          matcher.set_messages_after(g.first + i, after);
          if (i + 1 == kBoundedOccurrences) tag.rest = after;
          after += floors_[i];
        }
      }
      floor = std::min(floor, messages);
      // Values that are not all wire format are read by no message: every
      // candidate that takes the tag as one is out.
      tag.fields = messages < kNever;
      if (!tag.fields) messages_unreadable(t);
      if (tag.fields) {
        // Its keys by the slot of their wire type, then the fields of
        // length-delimited values that are not all wire format (no message
        // reads them), then those not all UTF-8 (no string does). By
        // index, copied: finding a nested value's shape may add keys and
        // contents.
        std::uint64_t words[8] = {};
        std::uint64_t &not_wire = words[Candidates::kUnreadSlots], &not_text = words[Candidates::kUnreadSlots + 1];
        for (std::uint32_t i = 0; i < tag.big.count; ++i) {
          const ShapeKey k = matcher.ranges().keys(tag.big)[i];
          const std::uint32_t field = key_field(k.key);
          if (field < 1 || field > Candidates::kSignatureFields) continue;
          const std::uint64_t bit = std::uint64_t{1} << (field - 1);
          words[Candidates::unread_slot(key_wire(k.key))] |= bit;
          if (key_wire(k.key) != 2) continue;
          if (k.as_string == kNever) not_text |= bit;
          for (std::uint32_t j = 0; j < k.count && (not_wire & bit) == 0; ++j) {
            const Content c = matcher.ranges().content(k, j);
            if (matcher.ranges().shape(payload.data() + c.begin, payload.data() + c.end, tag.big.depth + 1) == nullptr)
              not_wire |= bit;
          }
        }
        tag.signature = Candidates::Signature::of(words);
      }
    }
    tag.floor = floor;
    tag.lowest = std::min(floor, tag.unknown);
    if (!tag.extending.empty()) tag.lowest = std::min(tag.lowest, undeclared_bits(g.bytes, tag.field, g.count));
    tag.excess = tag.unknown - tag.lowest;
    values_min_ += tag.lowest;
  }
  // Field by field (its tags are adjacent): whether it has one tag, and
  // its excess, for unused_ (ascending, then summed from the start).
  unused_.push_back(0);
  for (std::size_t t = 0, next; t < tags_.size(); t = next) {
    double excess = 0;
    for (next = t; next < tags_.size() && tags_[next].field == tags_[t].field; ++next)
      if (tags_[next].extending.empty()) excess += tags_[next].excess;
    tags_[t].alone = next == t + 1;
    unused_.push_back(excess);
  }
  std::sort(unused_.begin() + 1, unused_.end());
  for (std::size_t j = 1; j < unused_.size(); ++j) unused_[j] += unused_[j - 1];
  order_.resize(tags_.size());
  for (std::size_t t = 0; t < order_.size(); ++t) order_[t] = t;
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::size_t a, std::size_t b) { return tags_[a].excess > tags_[b].excess; });
  takes_.resize(tags_.size());
  bitsets_.resize(tags_.size());
  blocked_.resize(tags_.size());
}

double Search::presence_floor(std::uint32_t declared, std::uint32_t lo) const noexcept {
  // A candidate of D >= declared fields that uses k of them pays
  // presence(D, k) >= presence(max(declared, k), k), so the floor holds
  // for every later block too. For k up to `declared`, every presence
  // price is at the least over [lo, declared] or more, and the fields
  // left cost more the fewer are used: from the top down, once the excess
  // alone leaves no room below the least found, no smaller k does better.
  const Presence& presence = candidates_.presence();
  const std::uint32_t top = std::min(distinct_fields_, presence.max_declared());
  if (lo > top) return kNever;
  const double least_presence =
      lo <= declared ? presence.least(declared, lo, std::min(declared, top)) : kNever;
  double least = kNever;
  for (std::uint32_t k = top;; --k) {
    const double left = unused_[distinct_fields_ - k];
    if (k <= declared && least_presence + left >= least) break;
    least = std::min(least, presence.bits(std::max(declared, k), k) + left);
    if (k == lo) break;
  }
  return least;
}

void Search::record(std::uint32_t c, const Tally& tally) {
  found_.push_back({tally.bits, c, tally});
  if (!k_) return;
  best_.push({tally.bits, c});
  if (best_.size() > *k_) best_.pop();
  if (best_.size() >= *k_) kth_ = best_.top().cost;
}

Packed& Search::packed(std::size_t t) {
  Tag& tag = tags_[t];
  if (tag.packed) return *tag.packed;
  Packed& all = tag.packed.emplace();
  const TagGroup& tg = top_.tags[t];
  std::vector<std::span<const std::uint8_t>>& parts = parts_;
  parts.clear();
  for (std::uint32_t k = 0; k < tg.count; ++k) {
    if (!work_.spend(1)) {
      all.lengths = kNever;  // the call fails anyway
      break;
    }
    const Occurrence& o = top_.occurrences[tg.first + k];
    if (tag.wire == 0) {
      parts.emplace_back(payload_.data() + o.value, payload_.data() + o.end);
      continue;
    }
    const auto c = content(payload_.data() + o.value);
    all.lengths += gamma_bits(c.size() + 1);
    all.bytes += c.size();
    all.fours &= c.size() % 4 == 0;
    all.eights &= c.size() % 8 == 0;
    parts.push_back(c);
  }
  // One packed run: the one its parses are priced from.
  Ranges& ranges = matcher_.ranges();
  all.run = tag.wire == 2 && parts.size() == 1 ? ranges.packed_run(parts[0].data(), parts[0].data() + parts[0].size())
                                               : ranges.run_of_all(parts);
  if (parts.size() == 1) {
    all.bytes_of_run = parts[0];
  } else if (all.lengths < kNever) {
    std::size_t size = 0;
    for (const auto part : parts) size += part.size();
    if (work_.keep(size)) {
      all.joined.reserve(size);
      for (const auto part : parts) all.joined.insert(all.joined.end(), part.begin(), part.end());
      all.bytes_of_run = all.joined;
    }
  }
  return all;
}

double Search::group_bound_afresh(std::size_t t, std::uint32_t g, double budget) {
  const Tag& tag = tags_[t];
  const std::uint32_t i = g - tag.key.first_group;
  if (tag.level[i] == kExact && tag.bound[i] == kNever) return kNever;
  if (!tag.clashed.empty() && (tag.clashed[i / 64] >> (i % 64) & 1) != 0) {
    unreadable(t, g);
    return kNever;
  }
  const double bits = price_group(t, g, budget);
  if (bits == kNever) unreadable(t, g);
  return bits;
}

double Search::one_varint(Tag& tag, std::uint32_t i, std::uint32_t to, std::uint64_t v, std::size_t length) {
  bool outside = false;
  double bits = kNever;
  if (length != 0 && work_.spend(1)) bits = candidates_.varint_bits(candidates_.info(to), v, length, outside);
  tag.level[i] = kExact;
  tag.bound[i] = bits;
  tag.values[i] = 1;
  tag.edge[i] = outside_edge(outside ? 1 : 0);
  return bits;
}

void Search::pass_over(std::size_t t, std::uint32_t g, double bound) {
  // Every other tag costs its least or more, and candidates walked later
  // declare as many fields or more (blocks ascend in D).
  if (values_min_ - tags_[t].lowest + bound + presence_least_ <= kth()) guess_cut_ = true;
  add_members(g, passed_over_);
}

void Search::unreadable(std::size_t t, std::uint32_t g) {
  Tag& tag = tags_[t];
  const std::uint32_t i = g - tag.key.first_group;
  tag.level[i] = kExact;
  tag.bound[i] = kNever;
  mark_members(g);
}

void Search::add_members(std::uint32_t g, std::vector<std::uint64_t>& into) {
  if (const std::uint64_t* bits = candidates_.group_bits(g)) {
    for (std::size_t w = 0; w < into.size(); ++w) into[w] |= bits[w];
    work_.spend(1 + into.size() / 16);
    return;
  }
  const auto members = candidates_.group_candidates(g);
  work_.spend(1 + members.size() / 16);
  for (const std::uint32_t c : members) into[c / 64] |= std::uint64_t{1} << (c % 64);
}

void Search::mark_clashed(const Tag& tag) {
  // A run of clashing groups at a time: their candidates follow one
  // another. (Group by group, marking took a tenth of the work on
  // Kubernetes objects of under 2 KB, some 1 700 groups of one or two
  // candidates each.)
  for (std::size_t w = 0; w < tag.clashed.size(); ++w) {
    for (std::uint64_t bits = tag.clashed[w]; bits != 0;) {
      const auto from = static_cast<unsigned>(std::countr_zero(bits));
      const std::uint64_t rest = ~(bits >> from);
      const unsigned to = rest == 0 ? 64 : from + static_cast<unsigned>(std::countr_zero(rest));
      bits = to == 64 ? 0 : bits & (~std::uint64_t{0} << to);
      const std::uint32_t g = tag.key.first_group + static_cast<std::uint32_t>(64 * w);
      const auto members = candidates_.groups_candidates(g + from, g + to);
      work_.spend(1 + members.size() / 16);
      for (const std::uint32_t c : members) judged_[c / 64] |= std::uint64_t{1} << (c % 64);
    }
  }
}

void Search::messages_unreadable(std::size_t t) {
  const Candidates::Key& key = tags_[t].key;
  if (const std::uint64_t* messages = candidates_.dense_message_bits(key)) return mark_all(messages);
  for (std::uint32_t g = key.first_group; g < key.last_group; ++g)
    if (candidates_.group(g).fields) unreadable(t, g);
}

double Search::price_group(std::size_t t, std::uint32_t g, double budget) {
  Tag& tag = tags_[t];
  const std::uint32_t i = g - tag.key.first_group;
  const std::uint8_t level = tag.level[i];
  if (level >= kShape || (level == kMask && tag.bound[i] > budget)) return tag.bound[i];
  const TargetGroup& group = candidates_.group(g);
  if (group.fields && !tag.fields) {
    tag.level[i] = kExact;
    return tag.bound[i] = kNever;
  }
  const std::uint8_t width = serial::wire_type_of(candidates_.info(group.to).type);
  if (!group.fields && level == kNotYet &&
      ((tag.wire == 2 && width != 2) || (tag.wire == 0 && top_.tags[t].count > 1))) {
    // Numbers: packed runs, or the varints of a field repeated without
    // packing. Priced without a parse, from the lengths and one histogram
    // of all the tag's values, made once for every leaf.
    const Packed& all = packed(t);
    double bits = kNever;
    std::uint32_t values = 0, outside = 0;
    bool exact = true;
    if (width == 0) {
      bits = all.lengths +
             matcher_.ranges().run_bits(all.run, candidates_.info(group.to), values, exact, &outside, all.bytes_of_run);
    } else if ((width == 1 ? all.eights : all.fours) && all.lengths < kNever) {
      bits = all.lengths + kOpaqueBits * static_cast<double>(all.bytes);
      values = static_cast<std::uint32_t>(all.bytes / (width == 1 ? 8 : 4));
    }
    // Exact, and the values outside the leaf's type counted: all a parse
    // would find, so none is made. (With them counted only up to one, a
    // bytes field of 60 KB of small bytes, read as a packed enum by a
    // candidate that ranked, was parsed value by value: three quarters of
    // its time.)
    if (exact && bits < kNever) {
      tag.level[i] = kExact;
      tag.bound[i] = bits;
      tag.values[i] = values;
      tag.edge[i] = outside_edge(outside);
      return bits;
    }
    // A bound the parse makes exact when it leaves room.
    tag.level[i] = bits == kNever ? kExact : kMask;
    tag.bound[i] = bits;
    tag.values[i] = values;
    if (bits == kNever || bits > budget) return bits;
  }
  if (!group.fields && tag.wire == 0 && top_.tags[t].count == 1) {
    // One varint, priced here as the parse would (most leaf groups of a
    // small record's tags): no edge to make and find again.
    const Occurrence& o = top_.occurrences[top_.tags[t].first];
    const std::uint8_t* at = payload_.data() + o.value;
    std::uint64_t v = 0;
    const std::uint8_t* after = read_varint(at, payload_.data() + o.end, v);
    return one_varint(tag, i, group.to, v, after == nullptr ? 0 : static_cast<std::size_t>(after - at));
  }
  if (!group.fields && tag.wire == 2 && width == 2) {
    // Strings and bytes, priced as their parse would from the values'
    // text: no edge to make and find again (7 to 15 groups a call on
    // descriptor records, Kubernetes objects and Pub/Sub messages).
    const bool is_string = candidates_.info(group.to).is_string;
    const TagGroup& tg = top_.tags[t];
    double bits = 0;
    for (std::uint32_t k = 0; k < tg.count && bits < kNever; ++k) {
      const auto c = content(payload_.data() + top_.occurrences[tg.first + k].value);
      const double value = work_.spend(1) ? matcher_.ranges().leaf_content(c.data(), c.data() + c.size(), is_string)
                                          : kNever;
      bits = value == kNever ? kNever : bits + gamma_bits(c.size() + 1) + value;
    }
    tag.level[i] = kExact;
    tag.bound[i] = bits;
    tag.values[i] = tg.count;
    tag.edge[i] = kInRange;
    return bits;
  }
  if (!group.fields) {
    const Matcher::Edge& e = matcher_.edge(static_cast<std::uint32_t>(t), group.to, group.label, kNever);
    tag.level[i] = kExact;
    tag.bound[i] = e.state == Matcher::State::parsed ? e.tally.bits : kNever;
    tag.values[i] = e.values;
    tag.edge[i] = matcher_.index_of(e);
    return tag.bound[i];
  }
  // A target that cannot read the largest value reads none: its signature
  // tells, before any shape is bounded. (The screen looked already at the
  // groups that it reached.)
  if (!tag.screened[i] && candidates_.signature(g).meets(tag.signature)) {
    tag.level[i] = kExact;
    return tag.bound[i] = kNever;
  }
  const TagGroup& tg = top_.tags[t];
  // The screen's bound by the mask, if the screen stopped short of it.
  if (!tag.screened[i]) {
    const Mask& mask = candidates_.group_masks()[g];
    tag.screened[i] = 1;
    tag.bound[i] = mask_bound(tag, tag.all_keys.word[0] & mask.word[0], tag.all_keys.word[1] & mask.word[1]);
    if (tag.bound[i] > budget) {
      tag.level[i] = kMask;
      tag.values[i] = tg.count;
      return tag.bound[i];
    }
  }
  // Each range's shape against the target's fields: of many occurrences
  // of a few shapes, each class of them at once; else the first few, the
  // others at their floors. Once past the budget, the sum so far is bound
  // enough.
  const std::uint8_t* begin = payload_.data();
  double bits = 0;
  std::uint8_t reached = kShape;
  std::uint32_t n = std::min(tg.count, kBoundedOccurrences);
  if (tg.count > kBoundedOccurrences && tag.wire == 2) {
    Ranges& ranges = matcher_.ranges();
    if (tag.classes == Ranges::kUnclassified) {
      std::vector<Content>& values = contents_;
      values.clear();
      for (std::uint32_t k = 0; k < tg.count; ++k) {
        const Occurrence& o = top_.occurrences[tg.first + k];
        const auto c = content(begin + o.value);
        values.push_back(Content{static_cast<std::uint32_t>(c.data() - begin),
                                 static_cast<std::uint32_t>(c.data() + c.size() - begin),
                                 static_cast<std::uint8_t>(c.data() - (begin + o.value))});
      }
      tag.classes = ranges.classify(values, 2, 1);
    }
    if (tag.classes < Ranges::kManyClasses) {
      n = 0;
      for (std::uint32_t k = 0; k < ranges.classes(tag.classes).size(); ++k) {
        const Class one = ranges.classes(tag.classes)[k];  // copied: bounds may add classes
        bits += one.lengths +
                ranges.bound(group.to, one.shape, budget - bits, Ranges::kBoundLevels, one.members, one.mix);
        if (bits > budget) {
          if (bits < kNever) reached = kMask;
          break;
        }
      }
    } else if (tag.classes == Ranges::kUnreadable) {
      n = 0;
      bits = kNever;
    }
  }
  for (std::uint32_t k = 0; k < n; ++k) {
    const Occurrence& o = top_.occurrences[tg.first + k];
    const Shape* shape;
    if (tag.wire == 2) {
      const auto c = content(begin + o.value);
      bits += gamma_bits(c.size() + 1);
      shape = matcher_.ranges().shape(c.data(), c.data() + c.size(), 1);
    } else {
      shape = matcher_.ranges().shape(begin + o.value, begin + o.end - varint_size(tag_key(tag.field, 4)), 1);
    }
    if (shape == nullptr) {
      bits = kNever;
      break;
    }
    work_.spend(1 + shape->count / 8);
    bits += matcher_.ranges().bound(group.to, *shape, budget - bits);
    if (bits > budget) {
      if (bits < kNever) reached = kMask;
      break;
    }
  }
  if (bits < kNever && n == kBoundedOccurrences && tg.count > n) bits += tag.rest;
  bits = std::max(bits, tag.bound[i]);  // the mask's bound may be the better
  tag.level[i] = reached;
  tag.bound[i] = bits;
  tag.values[i] = tg.count;
  return bits;
}

void Search::judge(std::uint32_t c, std::uint32_t declared) {
  if (judged(c)) return;
  const double thr = threshold();
  // Every part priced: exactly where it can be, else at its bound (the
  // message groups, parsed last), heaviest tag first; passed over as soon
  // as the sum with the rest at their least passes the threshold.
  if (presence_for_ != declared) {
    presence_for_ = declared;
    presence_least_ = presence_floor(declared, 0);
  }
  const double presence_least = presence_least_;
  // Which of its fields c uses is known before any price: those of the
  // tags it declares (tags of one field are adjacent). Its presence price
  // is exact from the start, and with the excess of the tags it leaves
  // undeclared cuts one judging in six before anything is priced; with
  // the least over every count, most candidates that use many of many
  // fields were cut only at the end.
  std::uint32_t uses = 0, field = 0;
  double missing = 0;
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    if (takes_[t] >= 0 || takes_[t] == kPosted) {
      if (tags_[t].field != field) ++uses, field = tags_[t].field;
    } else if (takes_[t] == kNotTaken) {
      missing += tags_[t].excess;
    }
  }
  const double presence = candidates_.presence().bits(declared, uses);
  // The tags it leaves undeclared are at their price from the start: their
  // excess over the least beside every tag's least.
  double lower = values_min_ + presence + missing;
  if (defer(lower, c)) return;
  Tally exact;
  used_.clear();
  pending_.clear();
  double counted_all = 0;  // the count prices added
  for (const std::size_t t : order_) {
    Tag& tag = tags_[t];
    std::int64_t how = takes_[t];
    if (how == kNotTaken) {
      // Outside its extension ranges (those are in tag.extending): its
      // unknown price, in `lower` already. Asking the node would read it
      // from the graph, a cache miss per candidate judged among a few
      // hundred thousand.
      exact.unknown_fields += tag.count;
      continue;
    }
    lower -= tag.lowest;
    // Counted to only now: most candidates looked up are never judged, or
    // passed over before their lighter tags.
    if (how == kPosted) how = candidates_.dense_posting(tag.key, c);
    if (how >= 0) {
      const auto p = static_cast<std::uint32_t>(how);
      const Taken& taken = candidates_.posting_taken(p);
      const std::uint32_t g = candidates_.posting_group(p);
      const double bound = group_bound(t, g, thr - lower);
      if (bound == kNever) return;  // its values cannot be read so (c is marked)
      const std::uint32_t i = g - tag.key.first_group;
      // The price of its values' count, the same for the group's every
      // candidate (a repeated field or not), when no other tag adds to
      // the count. (Two values of a single field cost 8 bits, of a
      // repeated one 3: most candidates of a two-field descriptor record
      // that were judged to the end were cut by that alone.)
      const double counted = tag.alone ? Matcher::count_bits(taken.label, tag.values[i]) : 0.0;
      if (values_min_ - tag.lowest + bound + counted + presence_least > thr)
        return pass_over(t, g, bound + counted);
      lower += bound + counted;
      counted_all += counted;
      if (tag.level[i] != kExact || candidates_.group(g).fields) {
        pending_.push_back({t, g, bound});
      } else {
        const std::uint32_t at = tag.edge[i];
        if (counts_outside(at))
          exact.out_of_range += outside_of(at);
        else if (at != kInRange)
          exact.add(at != Matcher::kNoEdge ? matcher_.edge_at(at).tally
                                           : matcher_.edge(static_cast<std::uint32_t>(t), taken.to, taken.label, kNever).tally);
        exact.bits = 0;
      }
      used_.push_back({taken.transition, taken.label, tag.values[i]});
    } else {
      Tally undeclared;
      // (Its node read only here: a cache miss among many types.)
      matcher_.undeclared(candidates_.node(c), tag.field, tag.count, tag.bytes, undeclared);
      lower += undeclared.bits;
      undeclared.bits = 0;
      exact.add(undeclared);
    }
    if (defer(lower, c)) return;
  }
  // Which fields are used, how many values each, the required ones left
  // out; tags of one field may share a transition.
  lower -= presence + counted_all;
  std::sort(used_.begin(), used_.end(), [](const Used& a, const Used& b) { return a.transition < b.transition; });
  std::uint32_t used = 0, required_seen = 0;
  for (std::size_t i = 0; i < used_.size();) {
    std::uint32_t values = used_[i].values;
    std::size_t j = i + 1;
    for (; j < used_.size() && used_[j].transition == used_[i].transition; ++j) values += used_[j].values;
    lower += Matcher::count_bits(used_[i].label, values);
    ++used;
    required_seen += used_[i].label == 1;
    i = j;
  }
  Tally settled;
  matcher_.settle(declared, used, candidates_.required(c), required_seen, settled);
  lower += settled.bits;
  exact.missing_required += settled.missing_required;
  if (defer(lower, c)) return;
  // The message groups parsed, the largest bound first, each allowed what
  // the threshold leaves beside the others at their bounds.
  std::sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) { return a.bound > b.bound; });
  if (k_ && payload_.size() >= kPutOffFrom && put_off(c, lower, exact)) return;
  finish(c, lower, exact, pending_);
}

bool Search::put_off(std::uint32_t c, double lower, const Tally& exact) {
  std::uint64_t bytes = 0;
  for (const Pending& p : pending_)
    if (tags_[p.tag].level[p.group - tags_[p.tag].key.first_group] != kExact) bytes += tags_[p.tag].bytes;
  if (bytes < kPutOffFrom) return false;
  put_off_.push_back({lower, c, static_cast<std::uint32_t>(put_off_pending_.size()),
                      static_cast<std::uint32_t>(pending_.size()), exact});
  put_off_pending_.insert(put_off_pending_.end(), pending_.begin(), pending_.end());
  return true;
}

void Search::flush() {
  if (put_off_.empty()) return;
  // Taken off a heap, the least bound first: most are cut as soon as the
  // first few are judged, and need no order among themselves.
  const auto later = [](const PutOff& a, const PutOff& b) {
    return a.lower != b.lower ? a.lower > b.lower : a.candidate > b.candidate;
  };
  std::make_heap(put_off_.begin(), put_off_.end(), later);
  work_.spend(1 + put_off_.size() / 4);
  for (auto end = put_off_.end(); end != put_off_.begin() && !work_.exhausted(); --end) {
    std::pop_heap(put_off_.begin(), end, later);
    const PutOff& p = end[-1];
    // The rest cost as much or more.
    if (p.lower > threshold()) {
      cut(p.lower);
      break;
    }
    if (judged(p.candidate) || cut(p.lower, p.candidate)) continue;
    finish(p.candidate, p.lower, p.exact, std::span(put_off_pending_).subspan(p.first, p.count));
  }
  put_off_.clear();
  put_off_pending_.clear();
}

void Search::finish(std::uint32_t c, double lower, Tally exact, std::span<const Pending> pending) {
  const double thr = threshold();
  for (const Pending& p : pending) {
    Tag& tag = tags_[p.tag];
    const TargetGroup& group = candidates_.group(p.group);
    const std::uint32_t i = p.group - tag.key.first_group;
    const Matcher::Edge& e = matcher_.edge(static_cast<std::uint32_t>(p.tag), group.to, group.label,
                                           thr - (lower - p.bound));
    if (e.state == Matcher::State::failed) return unreadable(p.tag, p.group);
    if (e.state == Matcher::State::abandoned) {
      // Its cost is above what it was allowed: a better bound from now on.
      tag.bound[i] = std::max(tag.bound[i], e.reached);
      if (guess_ < kth()) guess_cut_ = true;
      return;
    }
    tag.level[i] = kExact;
    tag.bound[i] = e.tally.bits;
    tag.edge[i] = matcher_.index_of(e);
    lower += e.tally.bits - p.bound;
    Tally violations = e.tally;
    violations.bits = 0;
    exact.add(violations);
  }
  if (cut(lower, c)) return;
  mark(c);
  exact.bits = lower;
  record(c, exact);
}

void Search::pass() {
  // Each tag's takers: its postings and its extensions. Tags with many
  // postings are first looked at group by group, the leaves priced
  // exactly, the messages by their masks only; when that keeps fewer than
  // a third of them, the tag's takers become the candidates of the groups
  // kept. (Filtering below a half instead cost Kubernetes objects 4% more
  // work, building bitsets that the walk, which keeps to the takers of the
  // tags that must be taken, seldom needs; it saved descriptor records
  // 0.6%.)
  const double thr = threshold();
  std::vector<List> lists(tags_.size());
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    lists[t].seq = candidates_.posting_candidates() + tags_[t].key.first;
    lists[t].size = tags_[t].key.size();
  }
  if (thr < kNever) {
    if (passed_.size() < tags_.size()) {
      passed_.resize(tags_.size());
      for (std::vector<std::uint32_t>& kept : passed_) kept.reserve(64);
    }
    for (std::size_t t = 0; t < tags_.size(); ++t) {
      Tag& tag = tags_[t];
      // A tag not filtered under a lower threshold would hardly be now
      // (only bounds raised since could make it so): not screened again.
      if (tag.key.size() > kFilterAbove && thr < tag.unfiltered_under) {
        if (3 * screen(t, thr) < tag.key.size()) {
          filter(t, lists[t]);
          continue;
        }
        tag.unfiltered_under = thr;
      }
      for (const std::uint32_t g : tag.unmarked) mark_members(g);
      tag.unmarked.clear();
    }
  }
  std::fill(passed_over_.begin(), passed_over_.end(), 0);
  for (const std::uint32_t c : still_over_) passed_over_[c / 64] |= std::uint64_t{1} << (c % 64);
  still_over_.clear();
  walk(lists);
  flush();
}

std::size_t Search::screen(std::size_t t, double thr) {
  Tag& tag = tags_[t];
  const double budget = thr - (values_min_ - tag.lowest);
  std::vector<std::uint32_t>& out = passed_[t];
  out.clear();
  std::size_t count = 0;
  const auto keep = [&](std::uint32_t g) {
    out.push_back(g);
    count += candidates_.group_candidates(g).size();
  };
  bool cut_any = false;
  // Leaf groups at their exact prices.
  for (const std::uint32_t g : candidates_.leaf_groups(tag.key)) {
    if (group_bound(t, g, budget) <= budget)
      keep(g);
    else
      cut_any = true;
  }
  // Message targets: their values cost at least the lengths and their
  // keys at their floors, plus the excess of the keys the target certainly
  // does not declare (its mask's bit is clear). `heavy`: the bits whose
  // keys alone leave no room.
  const double spare = budget - tag.base;
  if (tag.fields && spare >= 0) {
    Mask heavy;
    for (unsigned b = 0; b < 128; ++b)
      if (tag.excess_by_bit[b] > spare) heavy.word[b >> 6] |= std::uint64_t{1} << (b & 63);
    const Mask* masks = candidates_.group_masks();
    const std::uint64_t k0 = tag.all_keys.word[0], k1 = tag.all_keys.word[1];
    // Read once: the stores to the group's level and flag below are bytes,
    // which the compiler must assume may change anything.
    const std::uint32_t first = tag.key.first_group, last = tag.key.last_group;
    const std::uint32_t values = top_.tags[t].count;
    const std::size_t takers = tag.key.size();
    std::uint8_t* const level = tag.level;
    std::uint8_t* const screened = tag.screened;
    double* const bounds = tag.bound;
    const double* const excess_by_bit = tag.excess_by_bit.data();
    const double excess_all = tag.excess_all, base = tag.base;
    // The groups whose signatures the tag's meets, once, from the key's
    // planes: passed over below a word at a time.
    const std::size_t words = (std::size_t{last - first} + 63) / 64;
    if (const std::uint64_t* planes = candidates_.signature_planes(tag.key); planes != nullptr && tag.clashed.empty()) {
      tag.clashed.assign(words, 0);
      const auto bits = static_cast<std::size_t>(std::popcount(tag.signature.word[0]) + std::popcount(tag.signature.word[1]));
      work_.spend(1 + bits * words / 16);
      for (unsigned half = 0; half < 2; ++half)
        for (std::uint64_t bits = tag.signature.word[half]; bits != 0; bits &= bits - 1) {
          const std::uint64_t* plane = planes + (64 * half + static_cast<std::size_t>(std::countr_zero(bits))) * words;
          for (std::size_t w = 0; w < words; ++w) tag.clashed[w] |= plane[w];
        }
    }
    const std::uint64_t* const clashed = tag.clashed.empty() ? nullptr : tag.clashed.data();
    work_.spend(1 + (last - first) / 16);
    // The groups in order, those that clash passed over: next() moves g to
    // the first from g on that does not, noting a cut if it passed over
    // one (as the test of each would have, up to where the screen stops).
    std::uint32_t g = first;
    const auto next = [&]() -> bool {
      if (clashed == nullptr) return g < last;
      while (g < last) {
        const std::uint32_t i = g - first, b = i % 64;
        const std::uint64_t from = ~std::uint64_t{0} << b;
        const std::uint64_t clash = clashed[i / 64] & from, live = ~clashed[i / 64] & from;
        if (live == 0) {
          cut_any = true;
          g += 64 - b;
          continue;
        }
        const auto at = static_cast<std::uint32_t>(std::countr_zero(live));
        if ((clash & ((std::uint64_t{1} << at) - 1)) != 0) cut_any = true;
        g += at - b;
        return g < last;
      }
      return false;
    };
    for (; next(); ++g) {
      const std::uint64_t x0 = k0 & ~masks[g].word[0], x1 = k1 & ~masks[g].word[1];
      if (((x0 & heavy.word[0]) | (x1 & heavy.word[1])) != 0) {
        cut_any = true;
        continue;
      }
      if (!candidates_.group(g).fields) continue;  // a leaf, judged above
      const std::uint32_t i = g - first;
      if (!screened[i]) {
        // A target that cannot read the largest value rules its candidates
        // out here, even a group of one: found out when judged, it cost a
        // visit of the walk and a judging (Kubernetes objects, where most
        // such groups are of one candidate: 11% more work). Its signature
        // tells; fields past the 16th, tried too, told one group in 200 of
        // those it left on a Kubernetes object, at 2% of the whole work.
        if (candidates_.signature(g).meets(tag.signature)) {
          screened[i] = 1;
          if (level[i] != kExact || bounds[i] != kNever) {
            level[i] = kExact;
            bounds[i] = kNever;
            tag.unmarked.push_back(g);
          }
          cut_any = true;
          continue;
        }
        // Kept as the group's bound, or beside a better one: the next
        // screen, and the candidates' judging, start from it.
        const double bound = mask_bound(excess_by_bit, excess_all, base, k0 & ~x0, k1 & ~x1);
        if (level[i] == kNotYet) {
          level[i] = kMask;
          bounds[i] = bound;
          tag.values[i] = values;
        } else {
          bounds[i] = std::max(bounds[i], bound);
        }
        screened[i] = 1;
      }
      if (bounds[i] > budget) {
        cut_any = true;
        continue;
      }
      keep(g);
      // A third kept: the tag is not filtered, and the groups not reached
      // are bounded by their masks when judged (most never are).
      if (3 * count >= takers) break;
    }
  } else if (tag.key.last_group - tag.key.first_group > tag.key.last_leaf - tag.key.first_leaf) {
    cut_any = true;
  }
  if (cut_any && guess_ < kth()) guess_cut_ = true;
  return count;
}

double Search::mask_bound(const double* excess_by_bit, double excess_all, double base, std::uint64_t declared0,
                          std::uint64_t declared1) {
  // Most targets declare few of the keys: the excess of all, less that of
  // the bits the mask has (sums of whole multiples of 2^-16, so exact
  // either way).
  double excess = excess_all;
  for (std::uint64_t x = declared0; x != 0; x &= x - 1)
    excess -= excess_by_bit[static_cast<unsigned>(std::countr_zero(x))];
  for (std::uint64_t x = declared1; x != 0; x &= x - 1)
    excess -= excess_by_bit[64 + static_cast<unsigned>(std::countr_zero(x))];
  return base + excess;
}

void Search::filter(std::size_t t, List& l) {
  std::vector<std::uint64_t>& bits = bitsets_[t];
  bits.assign((candidates_.size() + 63) / 64, 0);
  for (const std::uint32_t g : passed_[t])
    for (const std::uint32_t c : candidates_.group_candidates(g)) bits[c / 64] |= std::uint64_t{1} << (c % 64);
  l.bits = bits.data();
  // The takers left out: the walk would find each blocked in turn.
  const Candidates::Key& key = tags_[t].key;
  std::vector<std::uint64_t>& blocked = blocked_[t];
  if (key.is_dense()) {
    const std::uint64_t* posted = candidates_.dense_bits(key);
    blocked.assign(posted, posted + bits.size());
  } else {
    blocked.assign(bits.size(), 0);
    for (std::uint32_t i = key.first; i < key.last; ++i) {
      const std::uint32_t c = candidates_.posting_candidate(i);
      blocked[c / 64] |= std::uint64_t{1} << (c % 64);
    }
  }
  for (std::size_t w = 0; w < bits.size(); ++w) blocked[w] &= ~bits[w];
  work_.spend(1 + bits.size() / 16 + key.size() / 16);
}

std::int64_t Search::how(std::size_t t, List& l, std::uint32_t c) const {
  const Tag& tag = tags_[t];
  if (tag.key.is_dense()) {
    const std::uint64_t* posted = candidates_.dense_bits(tag.key);
    const std::size_t w = c / 64;
    const std::uint64_t bit = std::uint64_t{1} << (c % 64);
    if (l.bits != nullptr ? (l.bits[w] & bit) != 0 : (posted[w] & bit) != 0) return kPosted;
    if (!tag.extending.empty() && gallop(tag.extending.data(), tag.extending.size(), l.ext, c)) return kByExtension;
    return l.bits != nullptr && (posted[w] & bit) != 0 ? kBlocked : kNotTaken;
  }
  const bool listed = l.bits != nullptr ? (l.bits[c / 64] >> (c % 64) & 1) != 0 : gallop(l.seq, l.size, l.pos, c);
  if (listed) {
    if (l.bits != nullptr) gallop(l.seq, l.size, l.pos, c);
    return static_cast<std::int64_t>(tag.key.first + l.pos);
  }
  if (gallop(tag.extending.data(), tag.extending.size(), l.ext, c)) return kByExtension;
  return l.bits != nullptr && gallop(l.seq, l.size, l.pos, c) ? kBlocked : kNotTaken;
}

void Search::walk(std::vector<List>& lists) {
  // A candidate that leaves tags undeclared pays their excess at least: it
  // can rank only if the excess of the tags it does not take stays within
  // what the threshold leaves over every tag at its least. The walk goes
  // through the takers of a few tags that every such candidate takes one
  // of, and looks each of them up in the other tags.
  const std::size_t words = (candidates_.size() + 63) / 64;
  drive_.resize(kStretchWords);
  const double room = threshold() - values_min_;
  bool extensions = false;
  std::vector<std::pair<std::size_t, std::size_t>> by_takers;  // (takers, tag)
  by_takers.reserve(tags_.size());
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    extensions |= !tags_[t].extending.empty();
    std::size_t takers = tags_[t].extending.size();
    if (lists[t].bits == nullptr) {
      takers += lists[t].size;
    } else {
      for (const std::uint32_t g : passed_[t]) takers += candidates_.group_candidates(g).size();
    }
    by_takers.emplace_back(takers, t);
  }
  // The tags the walk goes through: a candidate that takes none of them
  // misses their excess, so when that passes the room, every candidate
  // that may rank takes one of them. The fewest takers are looked for
  // first: alone, a tag whose excess passes the room, of those the one
  // with the fewest; else the tags with the fewest takers until their
  // excess passes it (or all of them).
  std::vector<std::size_t> sources;
  sources.reserve(tags_.size());
  std::size_t alone = tags_.size();
  for (const auto& [takers, t] : by_takers)
    if (tags_[t].excess > room && (alone == tags_.size() || takers < by_takers[alone].first)) alone = t;
  if (alone < tags_.size()) {
    sources.push_back(alone);
  } else {
    std::sort(by_takers.begin(), by_takers.end());
    double excess = 0;
    for (std::size_t i = 0; i < by_takers.size() && excess <= room; ++i) {
      sources.push_back(by_takers[i].second);
      excess += tags_[by_takers[i].second].excess;
    }
  }
  // The takers of the other tags alone could not spare these.
  if (sources.size() < tags_.size() && guess_ < kth()) guess_cut_ = true;
  for (const std::size_t t : sources) {
    Tag& tag = tags_[t];
    if (lists[t].bits == nullptr && !tag.clashed.empty() && !tag.clashed_marked) {
      tag.clashed_marked = true;
      mark_clashed(tag);
    }
  }
  std::vector<std::size_t> seq_at(tags_.size(), 0), ext_at(tags_.size(), 0);
  // The takers of tag t in the stretch [first, last) of words, or-ed into
  // `out`.
  const auto add_takers = [&](std::size_t t, std::size_t first, std::size_t last, std::uint64_t* out) {
    const List& l = lists[t];
    const std::uint64_t end = std::uint64_t{last} * 64;
    std::size_t& i = seq_at[t];
    const std::size_t i0 = i;
    if (l.bits != nullptr || tags_[t].key.is_dense()) {
      const std::uint64_t* bits = l.bits != nullptr ? l.bits : candidates_.dense_bits(tags_[t].key);
      for (std::size_t w = first; w < last; ++w) out[w - first] |= bits[w];
    } else {
      for (; i < l.size && l.seq[i] < end; ++i) out[l.seq[i] / 64 - first] |= std::uint64_t{1} << (l.seq[i] % 64);
    }
    const auto& ext = tags_[t].extending;
    for (std::size_t& e = ext_at[t]; e < ext.size() && ext[e] < end; ++e)
      out[ext[e] / 64 - first] |= std::uint64_t{1} << (ext[e] % 64);
    work_.spend(1 + (i - i0) / 16);
  };
  // Every candidate takes a tag; without extensions, it uses a field.
  const std::uint32_t lo = extensions ? 0 : 1;
  const auto blocks = candidates_.blocks();
  std::size_t b = 0;
  double block = values_min_ + presence_floor(blocks[0].declared, lo);
  std::uint32_t from = 0;  // the next candidate to look at
  // The sets of tags of which every candidate that may rank takes one,
  // for the room `sets_for` (none found yet: NaN equals nothing).
  std::vector<std::uint32_t> sets;
  double sets_for = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t first = 0; first < words && !work_.exhausted(); first += kStretchWords) {
    const std::size_t last = std::min(words, first + kStretchWords);
    std::fill(drive_.begin(), drive_.end(), 0);
    if (tags_.size() > kPairedTags) {
      for (const std::size_t t : sources) add_takers(t, first, last, drive_.data());
    } else {
      // Each tag's takers in the stretch. A tag whose excess passes what
      // the threshold leaves now is taken by every candidate that may
      // rank; of a set of tags whose excess together passes it, one is.
      const std::size_t n = tags_.size(), span = last - first;
      takers_.assign(n * kStretchWords, 0);
      for (std::size_t t = 0; t < n; ++t) add_takers(t, first, last, takers_.data() + t * kStretchWords);
      std::uint64_t any_left = 0;
      for (const std::size_t t : sources)
        for (std::size_t w = 0; w < span; ++w) any_left |= drive_[w] |= takers_[t * kStretchWords + w];
      const double spare = threshold() - values_min_;
      std::uint64_t dropped = 0;
      bool empty = any_left == 0;  // no candidate left in the stretch: no set can drop more
      const auto keep_takers_of = [&](std::uint32_t set) {
        if (empty) return;
        // (A set is never empty: its first tag's takers start the union,
        // with no stretch of zeros written first.)
        std::uint64_t any[kStretchWords];
        const std::uint64_t* first_takers = takers_.data() + std::countr_zero(set) * kStretchWords;
        std::copy(first_takers, first_takers + span, any);
        for (std::uint32_t rest = set & (set - 1); rest != 0; rest &= rest - 1)
          for (std::size_t w = 0; w < span; ++w) any[w] |= takers_[std::countr_zero(rest) * kStretchWords + w];
        std::uint64_t left = 0;
        for (std::size_t w = 0; w < span; ++w) dropped |= drive_[w] & ~any[w], drive_[w] &= any[w], left |= drive_[w];
        empty = left == 0;
      };
      // The sets depend on the room alone, which changes only with the
      // threshold: found again only then (found at every stretch, they
      // cost descriptor records 1% of their work).
      if (spare != sets_for) {
        sets_for = spare;
        sets.clear();
        if (n <= kEverySet) {
          // Every least set of tags whose excess passes it.
          double sum[1u << kEverySet];
          sum[0] = 0;
          for (std::uint32_t set = 1; set < (1u << n); ++set) {
            sum[set] = sum[set & (set - 1)] + tags_[std::countr_zero(set)].excess;
            if (sum[set] <= spare) continue;
            bool least = true;
            for (std::uint32_t rest = set; rest != 0 && least; rest &= rest - 1)
              least = sum[set & ~(rest & -rest)] <= spare;
            if (least) sets.push_back(set);
          }
        } else {
          for (std::uint32_t t = 0; t < n; ++t) {
            if (tags_[t].excess > spare) {
              sets.push_back(1u << t);
              continue;
            }
            for (std::uint32_t u = t + 1; u < n; ++u)
              if (tags_[u].excess <= spare && tags_[t].excess + tags_[u].excess > spare) sets.push_back(1u << t | 1u << u);
          }
        }
      }
      for (std::size_t i = 0; i < sets.size() && !empty; ++i) keep_takers_of(sets[i]);
      if (dropped != 0 && guess_ < kth()) guess_cut_ = true;
    }
    // Candidates judged to the end, or of a group that cannot read its
    // tag's values, are not looked at again.
    for (std::size_t w = first; w < last; ++w) drive_[w - first] &= ~judged_[w];
    // Nor those a filtered tag blocks.
    for (std::size_t t = 0; t < tags_.size(); ++t)
      if (lists[t].bits != nullptr)
        for (std::size_t w = first; w < last; ++w) drive_[w - first] &= ~blocked_[t][w];
    while (!work_.exhausted()) {
      // The next candidate of the stretch at or after `from`.
      std::size_t w = std::max<std::size_t>(from / 64, first);
      if (w >= last) break;
      std::uint64_t word =
          drive_[w - first] & ~passed_over_[w] & (w == from / 64 ? ~std::uint64_t{0} << (from % 64) : ~std::uint64_t{0});
      while (word == 0 && ++w < last) word = drive_[w - first] & ~passed_over_[w];
      if (word == 0) break;
      const auto c = static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
      from = c + 1;
      work_.spend(1);
      // The block tells c's declared fields, which its node would only
      // after a cache miss.
      if (c >= blocks[b + 1].first) {
        if (k_) flush();
        while (c >= blocks[b + 1].first) ++b;
        block = values_min_ + presence_floor(blocks[b].declared, lo);
      }
      if (k_) {
        // Blocks come in order of D, and their bounds grow with it. (Only a
        // bound past the guess, or at the k-th or past it, can cut.)
        if (block > guess_ || block >= kth()) {
          if (cut(block)) return;
          // Past the k-th by name at its cost: so is the rest of the block.
          if (cut(block, c)) {
            from = blocks[b + 1].first;
            continue;
          }
        }
      }
      // The excess of the tags c does not take, heaviest first, until it
      // passes what the threshold leaves.
      const double spare = threshold() - values_min_;
      double missing = 0;
      bool viable = true;
      for (const std::size_t t : order_) {
        takes_[t] = how(t, lists[t], c);
        if (takes_[t] == kBlocked) {
          viable = false;
          break;
        }
        if (takes_[t] == kNotTaken && (missing += tags_[t].excess) > spare) {
          if (guess_ < kth()) guess_cut_ = true;
          viable = false;
          break;
        }
      }
      if (viable) judge(c, blocks[b].declared);
    }
  }
}

void Search::empty_payload() {
  // Every candidate parses: which of its fields it uses (none) and the
  // required ones it lacks. Candidates come in blocks of one D, each in
  // the order equal costs rank, and all of a block cost the same least:
  // once one ranks after the k-th on it, so does the rest of its block.
  // (Looked at one by one, the 1 290 candidates of one field of a graph
  // of 42 000 real types made an empty payload cost four times what a
  // two-byte one does.)
  const Presence& presence = candidates_.presence();
  const auto blocks = candidates_.blocks();
  for (std::size_t b = 0; b + 1 < blocks.size(); ++b) {
    const std::uint32_t declared = blocks[b].declared;
    const double least = presence.bits(declared, 0);
    if (k_ && cut(least)) break;
    for (std::uint32_t c = blocks[b].first; c < blocks[b + 1].first; ++c) {
      if (k_ && cut(least, c)) break;
      Tally tally;
      matcher_.settle(declared, 0, candidates_.required(c), 0, tally);
      if (k_ && tally.bits > threshold()) continue;
      record(c, tally);
    }
  }
}

void Search::judge_deferred() {
  // The last guess's near misses, the least bound first: they hold most
  // of the matches the next guess lets in, and found before the walk
  // they make its k-th tight from the start, where the walk, in order of
  // declared fields, finds them one by one (descriptor records: 5% fewer
  // candidates judged). Each is looked up afresh: they come in no order.
  if (deferred_.empty()) return;
  std::vector<Deferred> list;
  list.swap(deferred_);
  std::sort(list.begin(), list.end(), [](const Deferred& a, const Deferred& b) {
    return a.bound != b.bound ? a.bound < b.bound : a.candidate < b.candidate;
  });
  std::size_t i = 0;
  for (; i < list.size(); ++i) {
    const Deferred& d = list[i];
    if (work_.exhausted() || d.bound > threshold()) break;
    if (judged(d.candidate)) continue;
    work_.spend(1);
    judge_afresh(d.candidate);
  }
  // The rest would be cut again under this guess: the walk passes them
  // over (bounds hold from one guess to the next).
  for (; i < list.size(); ++i) {
    if (list[i].bound <= kth()) guess_cut_ = true;
    still_over_.push_back(list[i].candidate);
  }
  flush();
  deferred_.clear();
}

void Search::hint(std::span<const std::uint32_t> hints, bool shaped) {
  if (k_ && !tags_.empty()) hints_.assign(hints.begin(), hints.end());
  shaped_ = shaped;
}

std::uint64_t Search::shape(bool nested) const noexcept {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  const auto mix = [&h](std::uint64_t v) {
    h = (h ^ v) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  };
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    mix(top_.tags[t].key);
    if (nested && tags_[t].fields) mix(tags_[t].all_keys.word[0]), mix(tags_[t].all_keys.word[1]);
  }
  return h != 0 ? h : 1;
}

void Search::judge_afresh(std::uint32_t c) {
  bool takes = false;
  for (std::size_t t = 0; t < tags_.size(); ++t) {
    List l;
    l.seq = candidates_.posting_candidates() + tags_[t].key.first;
    l.size = tags_[t].key.size();
    takes_[t] = how(t, l, c);
    takes |= takes_[t] != kNotTaken;
  }
  if (takes) judge(c, candidates_.declared(c));
}

void Search::judge_hints() {
  for (const std::uint32_t c : hints_) {
    if (work_.exhausted()) break;
    if (judged(c)) continue;
    work_.spend(1);
    judge_afresh(c);
  }
  hints_.clear();
  flush();
}

void Search::run() {
  if (work_.exhausted()) return;
  if (tags_.empty()) return empty_payload();
  if (!k_) return pass();
  // The last answers for payloads of this shape mostly rank again: judged
  // under no guess, and once k of them parse, one pass under their k-th
  // finds every candidate that ranks. (With fewer than k, they are judged
  // under the first guess below, as others are: judged to the end, they
  // would not make a k-th.)
  if (shaped_ && hints_.size() >= *k_) {
    guess_ = kNever;
    judge_hints();
    if (kth() < kNever) {
      guess_ = kth();
      guess_cut_ = false;
      pass();
      return;
    }
  }
  // Guesses of the k-th best cost: a quarter above the least any candidate
  // can cost, then further each time, until k matches come under one or it
  // cut nothing. (A first guess closer to that least, a sixteenth or an
  // eighth, mostly failed on real payloads and cost a second pass;
  // growing fourfold made the second pass judge four times as many
  // candidates as needed: 4% more work on real payloads than twofold.)
  // But no further above it than half what leaving every tag undeclared
  // would add: the k-th lies within that of the least nearly as often as
  // within a quarter of it (on Kubernetes objects and descriptor records,
  // in 62-65% of calls against 64-68%), and a record holding a big
  // opaque field, whose least is mostly that field's bytes, has its k-th
  // within a hundredth of the least (the median): a first guess thirty
  // times as far priced a fifth more candidates.
  double excess = 0;
  for (const Tag& tag : tags_) excess += tag.excess;
  for (double slack = std::max(16.0, std::min(values_min_ / 4, excess / 2));;) {
    guess_ = values_min_ + slack < std::ldexp(1.0, 40) ? values_min_ + slack : kNever;
    guess_cut_ = false;
    judge_hints();
    judge_deferred();
    pass();
    if (work_.exhausted() || !guess_cut_ || guess_ == kNever) return;
    if (kth() <= guess_) return;
    // Twice as far while nothing came under the guess. With matches under
    // it, the k-th is seldom far above, and every candidate a guess lets
    // through beyond it is judged in vain: of descriptor records whose
    // first guess held one of five, the k-th lay under 1.7 times its
    // slack half the time; with two or more, under 1.35 times three times
    // in four. So 1.75 times as far while fewer than two fifths of k came
    // under it, 1.25 times once more did (10% fewer candidates judged on
    // records, 5% on Kubernetes objects). The test divides found rather
    // than double k: twice a k a caller may ask for can overflow.
    const std::size_t found = best_.size();
    slack *= found == 0 ? 2 : found * 5 / 2 < *k_ ? 1.75 : 1.25;
  }
}

}  // namespace

std::string Match::reason() const {
  std::string out;
  if (unknown_fields != 0) add_count(out, unknown_fields, "unknown field", "unknown fields");
  if (out_of_range != 0) add_count(out, out_of_range, "value out of range", "values out of range");
  if (missing_required != 0)
    add_count(out, missing_required, "required field missing", "required fields missing");
  if (out.empty()) out = "exact";
  if (extension_fields != 0) add_count(out, extension_fields, "extension field", "extension fields");
  return out;
}

Result<std::vector<Match>> Identifier::identify(std::span<const std::uint8_t> payload,
                                                std::optional<std::size_t> top) const {
  if (payload.size() >= kMaxPayload)
    return fail("payload of " + std::to_string(payload.size()) + " bytes is larger than identify takes (2^31 - 1)");
  Work work(payload.size());
  const auto too_much = [&] {
    const std::string what = "too much work: identifying " + std::to_string(payload.size()) + " bytes ";
    if (work.out_of_memory())
      return fail(what + "keeps more than " + std::to_string(Work::memory_allowance(payload.size())) +
                  " bytes of memory (" + std::to_string(Work::kMemoryPerByte) + " a byte plus " +
                  std::to_string(Work::kMemoryBase) + ", at most " + std::to_string(Work::kMemoryCeiling) + ")");
    return fail(what + "takes more than " + std::to_string(Work::budget(payload.size())) + " steps (" +
                std::to_string(Work::kPerByte) + " a byte plus " + std::to_string(Work::kBase) + ")");
  };
  TopLevel scanned;
  if (auto ok = scan(payload, work, scanned); !ok) return std::unexpected(std::move(ok.error()));
  if (work.exhausted()) return too_much();
  if (top && *top == 0) return std::vector<Match>{};

  // The last answers' candidates are judged first: those of the last
  // payload of this shape, else those of the last payloads. They change
  // how much work the search does, never what it answers; a search that
  // leaves less than 1/kRecheckShare of the budget the scan left runs
  // again without them, from that budget, so that they neither make a call
  // fail nor save one that would fail without them (that would take hints
  // saving more than that share: a Kubernetes object spends under 1% of
  // its budget, a list of a thousand up to three quarters, nearly all of
  // it reading values, which hints do not change; rerun at an eighth
  // spent, those lists took twice as long).
  std::array<std::uint32_t, kHints> hints;
  std::size_t hinted = 0;
  std::uint64_t shapes[2] = {0, 0};  // with the values' keys, and without
  bool shaped = false;  // the hints are those of the payload's shape
  const auto take = [&](const std::array<std::atomic<std::uint32_t>, kHints>& from) {
    for (const std::atomic<std::uint32_t>& h : from) {
      const std::uint32_t c = h.load(std::memory_order_relaxed);
      if (c < candidates_.size()) hints[hinted++] = c;
    }
  };
  const Work left = work;
  std::vector<Found> found;
  const auto run = [&](bool hinting) {
    Matcher matcher(candidates_, payload, scanned, work);
    Search search(candidates_, scanned, payload, matcher, work, top);
    if (hinting) {
      shapes[0] = search.shape(true);
      shapes[1] = search.shape(false);
      const ShapeHints* slot = nullptr;
      for (const std::uint64_t shape : shapes)
        if (slot == nullptr && by_shape_[shape % kShapes].shape.load(std::memory_order_relaxed) == shape)
          slot = &by_shape_[shape % kShapes];
      shaped = slot != nullptr;
      take(shaped ? slot->hints : last_);
      search.hint({hints.data(), hinted}, shaped);
    }
    search.run();
    found = std::move(search.found());
  };
  run(true);
  if (hinted != 0 && work.nearly_spent(left, kRecheckShare)) {
    work = left;
    run(false);
  }
  if (work.exhausted()) return too_much();

  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    if (a.cost != b.cost) return a.cost < b.cost;
    const std::string_view na = candidates_.first_name(a.candidate), nb = candidates_.first_name(b.candidate);
    return na != nb ? na < nb : a.candidate < b.candidate;
  });
  if (top && found.size() > *top) found.resize(*top);
  // This answer first, then the earlier hints it does not hold: for the
  // next payload, and for the next of each of its shapes (there the
  // earlier hints only when they were that shape's). Slots whose value
  // stays are not written, so that threads working through a stream of
  // one type seldom write a shared line.
  std::array<std::uint32_t, kHints> recent;
  std::size_t n = 0;
  for (std::size_t i = 0; i < found.size() && n < kHints; ++i) recent[n++] = found[i].candidate;
  const std::size_t answered = n;
  const auto keep = [&](std::array<std::atomic<std::uint32_t>, kHints>& into, std::size_t earlier) {
    const auto answer = std::span(recent).first(answered);
    n = answered;
    for (std::size_t i = 0; i < earlier && n < kHints; ++i)
      if (std::find(answer.begin(), answer.end(), hints[i]) == answer.end()) recent[n++] = hints[i];
    for (std::size_t i = 0; i < kHints; ++i) {
      const std::uint32_t c = i < n ? recent[i] : kNoHint;
      if (into[i].load(std::memory_order_relaxed) != c) into[i].store(c, std::memory_order_relaxed);
    }
  };
  keep(last_, hinted);
  for (const std::uint64_t shape : shapes) {
    if (shape == 0) continue;
    ShapeHints& slot = by_shape_[shape % kShapes];
    const bool same = slot.shape.load(std::memory_order_relaxed) == shape;
    keep(slot.hints, same && shaped ? hinted : 0);
    if (!same) slot.shape.store(shape, std::memory_order_relaxed);
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
