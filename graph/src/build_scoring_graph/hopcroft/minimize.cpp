// Hopcroft minimisation without the blocks x alphabet worklist.
//
// The refinement takes worklist pairs in exactly the order of the plain FIFO
// formulation (initial rows block by block, one appended row per split,
// alphabet order inside a row), so splits, new block numbers and progress
// reports are the same; but it only ever looks at pairs that can have a
// non-empty predecessor set.
//
// * Rows. Every worklist row holds |alphabet| pairs: row b < B0 is initial
//   block b, and the split that creates block number Z appends row Z. The
//   queue position of (row r, symbol index d) is r * |alphabet| + d + 1, so
//   the pairs in between need not exist.
// * Cords. Transitions sit in one array, grouped into cords of equal
//   (target segment, symbol); a cord exists only while it holds a
//   transition. A pair without a cord can never yield a predecessor again
//   (blocks only shrink), so its pending flag can never matter and is not
//   kept.
// * Segments and labels. States sit in contiguous segments of one array; the
//   block number of the algorithm is a label on a segment. A split always
//   moves the smaller half to a new segment (cost bounded by its incoming
//   transitions). When the smaller half is the part that keeps the old
//   number, the number moves with it and the old segment is relabelled with
//   the new one. Either way the smaller half ends up pending for every
//   symbol, and the larger half keeps its pending flags; where its number
//   changed, all its pending pairs now lie in the new row.
// * Where pending pairs lie. An "override" segment (an initial block, a new
//   smaller half, or a relabelled larger half) has all its pending cords in
//   the row of its label. Only a smaller half that kept the old number mixes
//   rows: each of its cords records its row and is filed under it. A row is
//   read from its own label's segment plus the cords filed under it.
// Pairs of a row are taken in symbol order, and a split in the middle of a
// row is seen by the later pairs of that row, as in the plain formulation.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/hopcroft/minimize.hpp"
#include "common/huge_pages.hpp"

namespace korvex {

// ---------------------------------------------------------------- progress

std::uint64_t saturate_to_u64(double value) noexcept {
  if (std::isnan(value) || value <= 0.0) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

ProgressPacer::ProgressPacer(std::uint64_t total, std::uint64_t initial_length,
                             const ProgressFn& progress)
    : total_(total), initial_length_(initial_length), progress_(progress) {
  arm();
}

void ProgressPacer::start() const {
  if (progress_) progress_(0, total_);
}

void ProgressPacer::finish() const {
  if (progress_) progress_(total_, total_);
}

void ProgressPacer::arm() {
  using u128 = unsigned __int128;
  constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  next_report_ = kNever;
  if (total_ == 0 || initial_length_ == 0 || last_percent_ >= 99) return;
  // Smallest value whose percent exceeds the last one; the cap keeps values
  // below total, so beyond that nothing is reported any more.
  const u128 value = (static_cast<u128>(last_percent_ + 1) * total_ + 99) / 100;
  if (value > total_ - 1) return;
  // Smallest taken with floor(taken * total / initial_length) >= value.
  const u128 taken = (value * initial_length_ + total_ - 1) / total_;
  if (taken >= kNever) return;
  next_report_ = static_cast<std::uint64_t>(taken);
}

void ProgressPacer::report(std::uint64_t taken) {
  using u128 = unsigned __int128;
  const u128 scaled = static_cast<u128>(taken) * total_ / initial_length_;
  const std::uint64_t value = scaled < total_ - 1 ? static_cast<std::uint64_t>(scaled) : total_ - 1;
  const std::uint64_t percent = static_cast<std::uint64_t>(static_cast<u128>(value) * 100 / total_);
  if (percent > last_percent_) {
    if (progress_) progress_(value, total_);
    last_percent_ = percent;
  }
  arm();
}

namespace {

constexpr std::uint32_t kNil = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kLookahead = 16;   // prefetch distance in the hot loops
constexpr std::uint32_t kMoveBatch = 512;  // transitions moved per batch of a split

std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// States, transitions and cords are numbered in 32 bits, kNil reserved. A
// graph that needs more is refused with an error rather than wrapped.
constexpr std::size_t kMaxIndexed = kNil - 1;

Error index_limit(std::size_t count, std::string_view what) {
  std::string text = "cannot minimise: " + std::to_string(count) + " ";
  text += what;
  text += " exceeds the 32-bit index limit of " + std::to_string(kMaxIndexed) + " ";
  text += what;
  return Error{std::move(text)};
}

// The refinement's working set is a few large arrays read at random: they
// are offered huge pages.
template <class T>
using BigArray = std::vector<T, LargeArrayAllocator<T>>;

// Symbol keys (field << 8 | label_code) to dense ids in order of first
// appearance; open addressing, keys stored plus one so that zero is "empty".
class SymbolInterner {
 public:
  std::uint32_t intern(std::uint64_t key) {
    if ((keys_.size() + 1) * 2 > slots_.size()) grow();
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i].key == 0) {
        slots_[i] = {key + 1, static_cast<std::uint32_t>(keys_.size())};
        keys_.push_back(key);
        return slots_[i].id;
      }
      if (slots_[i].key == key + 1) return slots_[i].id;
    }
  }
  const std::vector<std::uint64_t>& keys() const { return keys_; }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t id = 0;
  };
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.key == 0) continue;
      std::size_t i = mix64(s.key - 1) & mask;
      while (slots_[i].key != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  std::vector<std::uint64_t> keys_;
};

class Refiner {
 public:
  Refiner(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress,
          std::vector<RefinementStep>* steps)
      : graph_(graph), range_count_(range_count), progress_(progress), steps_(steps) {}

  // The partition, or the index limit that the graph exceeds.
  Result<Partition> run();

 private:
  // A contiguous run of elems_ holding one block; marked states at the front.
  struct Segment {
    std::uint32_t first, mid, end;
    std::uint32_t label;
    // Its cords that may be pending, in pool_: every pending cord is there,
    // and entries whose cord was taken meanwhile are dropped when the
    // segment's row is read.
    std::uint32_t pending_first, pending_count;
    bool override_row;  // all pending cords sit in row `label`
  };
  // A contiguous run of trans_ holding the transitions of one (segment,
  // symbol); marked transitions at the front.
  struct Cord {
    std::uint32_t first, mid, end;
    std::uint32_t segment;
    std::uint32_t symbol;
    std::uint32_t row;         // pending row, for segments without override
    std::uint32_t cut;         // during a split: the cord taking its moved part
    bool pending;
  };
  struct Candidate {
    std::uint32_t symbol, cord, label;
  };
  struct Filed {
    std::uint32_t label, cord, next;
  };
  // Per state: its position in elems_ and its segment (read together when
  // marking), and the transitions into it, in_first .. in_end - 1 (read
  // with the segment when a split moves the state): one cache line serves
  // both.
  struct alignas(16) StatePlace {
    std::uint32_t pos, segment;
    std::uint32_t in_first, in_end;
  };
  // Per transition: its position in trans_ and its cord.
  struct TransitionPlace {
    std::uint32_t pos, cord;
  };
  // An entry of trans_: the transition and its source, so that a predecessor
  // scan reads one contiguous run.
  struct CordEntry {
    std::uint32_t transition, source;
  };

  // False, with the error kept, when `count` exceeds the 32-bit indexes.
  bool within_limit(std::size_t count, std::string_view what);
  void prepare();
  std::uint32_t target_of(const RawTransition& t) const;
  void initial_partition();
  void build_structures();
  void refine();
  bool take(std::uint32_t row, std::size_t at);
  void mark_state(std::uint32_t s);
  bool alone(std::uint32_t s) const { return (alone_[s >> 6] >> (s & 63)) & 1; }
  void set_alone(std::uint32_t s) { alone_[s >> 6] |= std::uint64_t{1} << (s & 63); }
  void split(std::uint32_t seg, std::uint32_t row, std::size_t at);
  bool move_to_front(const std::uint32_t* moving, std::uint32_t n);
  void prefetch_rows_ahead(std::uint32_t row) const;
  void compact_pool(std::uint32_t seg_id);
  Partition result() const;

  const RawGraph& graph_;
  std::size_t range_count_;
  const ProgressFn& progress_;
  std::vector<RefinementStep>* steps_;
  std::optional<Error> error_;  // the first limit exceeded; ends the run

  std::uint32_t states_ = 0, named_ = 0, alphabet_ = 0;
  // Symbol id of each raw transition, kNil for one outside the contract.
  BigArray<std::uint32_t> sym_;
  std::uint32_t transition_count_ = 0;  // those inside the contract
  std::vector<std::uint32_t> initial_block_;
  std::uint32_t initial_blocks_ = 0;

  BigArray<std::uint32_t> elems_;
  BigArray<StatePlace> place_;
  // One bit per state: its block has no other member. Such a block can never
  // split, so marking its state is skipped; the bits fit in cache where
  // place_ and segments_ do not.
  BigArray<std::uint64_t> alone_;
  BigArray<Segment> segments_;
  BigArray<std::uint32_t> segment_of_label_;
  // Transitions are numbered by target, the targets taken in the initial
  // order of elems_, so that each initial block's transitions are
  // contiguous.
  BigArray<CordEntry> trans_;
  BigArray<TransitionPlace> tplace_;
  BigArray<Cord> cords_;
  BigArray<std::uint32_t> pool_;
  BigArray<std::uint32_t> filed_head_;  // per row
  BigArray<Filed> filed_;

  std::vector<Candidate> candidates_;
  std::vector<std::uint64_t> touched_;  // label << 32 | segment
  std::vector<std::uint32_t> touched_cords_;
};

bool Refiner::within_limit(std::size_t count, std::string_view what) {
  if (count <= kMaxIndexed) return true;
  if (!error_) error_ = index_limit(count, what);
  return false;
}

void Refiner::prepare() {
  if (!within_limit(graph_.state_count, "states") || !within_limit(graph_.transitions.size(), "transitions")) return;
  states_ = graph_.state_count;
  named_ = static_cast<std::uint32_t>(states_ - range_count_ - kFixedLeafCount);

  SymbolInterner interner;
  sym_.resize(graph_.transitions.size());
  for (std::size_t t = 0; t < graph_.transitions.size(); ++t) {
    const RawTransition& raw = graph_.transitions[t];
    if (target_of(raw) == kNil) {
      sym_[t] = kNil;  // outside the contract: ignored
      continue;
    }
    const std::uint8_t label_code = static_cast<std::uint8_t>(raw.label | (raw.packed * 4));
    sym_[t] = interner.intern((std::uint64_t{raw.field} << 8) | label_code);
  }

  // Alphabet order: rank the distinct keys.
  const std::vector<std::uint64_t>& keys = interner.keys();
  alphabet_ = static_cast<std::uint32_t>(keys.size());
  std::vector<std::uint32_t> order(alphabet_);
  for (std::uint32_t i = 0; i < alphabet_; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
  std::vector<std::uint32_t> rank(alphabet_);
  for (std::uint32_t i = 0; i < alphabet_; ++i) rank[order[i]] = i;
  for (std::uint32_t& s : sym_) {
    if (s != kNil) s = rank[s];
  }
}

// State index of the target, or kNil for a transition that breaks the raw
// graph's contract (source not a named state, target out of range, -8).
std::uint32_t Refiner::target_of(const RawTransition& t) const {
  if (t.from >= named_) return kNil;
  const auto index = state_index(t.to, named_, range_count_);
  return index ? static_cast<std::uint32_t>(*index) : kNil;
}

void Refiner::initial_partition() {
  const std::vector<RawTransition>& raw = graph_.transitions;
  // Sorted distinct outgoing symbols per named state.
  std::vector<std::uint32_t> out_first(named_ + 1, 0);
  for (std::size_t t = 0; t < raw.size(); ++t) {
    if (sym_[t] != kNil) ++out_first[raw[t].from + 1];
  }
  for (std::uint32_t s = 0; s < named_; ++s) out_first[s + 1] += out_first[s];
  transition_count_ = out_first[named_];
  BigArray<std::uint32_t> out(transition_count_);
  {
    std::vector<std::uint32_t> fill(out_first.begin(), out_first.end() - 1);
    for (std::size_t t = 0; t < raw.size(); ++t) {
      if (sym_[t] != kNil) out[fill[raw[t].from]++] = sym_[t];
    }
  }
  std::vector<std::uint32_t> out_len(named_, 0);
  for (std::uint32_t s = 0; s < named_; ++s) {
    auto b = out.begin() + out_first[s], e = out.begin() + out_first[s + 1];
    if (e - b >= 2) {
      std::sort(b, e);
      e = std::unique(b, e);
    }
    out_len[s] = static_cast<std::uint32_t>(e - b);
  }

  initial_block_.assign(states_, 0);
  std::uint32_t counter = 0;
  auto type_of = [&](std::uint32_t s) {
    return s < graph_.node_type.size() ? graph_.node_type[s] : node_type::kMessage;
  };
  auto ext_of = [&](std::uint32_t s) { return s < graph_.ext_of.size() ? graph_.ext_of[s] : kNone16; };

  // Signature table: open addressing over representative states.
  std::size_t capacity = 16;
  while (capacity < std::size_t{named_} * 2) capacity *= 2;
  BigArray<std::uint32_t> table(capacity, kNil);
  const std::size_t mask = capacity - 1;
  for (std::uint32_t s = 0; s < named_; ++s) {
    if (s < 2) {
      initial_block_[s] = counter++;
      continue;
    }
    const std::uint8_t type = type_of(s);
    const std::uint16_t ext = ext_of(s);
    const std::uint32_t* list = out.data() + out_first[s];
    const std::uint32_t len = out_len[s];
    std::uint64_t h = mix64((std::uint64_t{type} << 16 | ext) + (std::uint64_t{len} << 32));
    for (std::uint32_t k = 0; k < len; ++k) h = mix64(h ^ list[k]);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const std::uint32_t rep = table[i];
      if (rep == kNil) {
        table[i] = s;
        initial_block_[s] = counter++;
        break;
      }
      if (type_of(rep) == type && ext_of(rep) == ext && out_len[rep] == len &&
          std::equal(list, list + len, out.data() + out_first[rep])) {
        initial_block_[s] = initial_block_[rep];
        break;
      }
    }
  }
  // Leaf signatures are pairwise distinct: every leaf position is alone.
  for (std::uint32_t s = named_; s < states_; ++s) initial_block_[s] = counter++;
  initial_blocks_ = counter;
}

void Refiner::build_structures() {
  const std::vector<RawTransition>& raw = graph_.transitions;
  const std::uint32_t m = transition_count_;
  const std::uint32_t b0 = initial_blocks_;

  // States grouped by initial block, blocks in number order.
  std::vector<std::uint32_t> start(b0 + 1, 0);
  for (std::uint32_t s = 0; s < states_; ++s) ++start[initial_block_[s] + 1];
  for (std::uint32_t b = 0; b < b0; ++b) start[b + 1] += start[b];
  elems_.resize(states_);
  place_.resize(states_);
  {
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::uint32_t s = 0; s < states_; ++s) {
      const std::uint32_t b = initial_block_[s];
      place_[s] = {fill[b], b, 0, 0};
      elems_[fill[b]++] = s;
    }
  }
  // Every block ever created is a non-empty disjoint set of states, so there
  // are never more than states_ segments, labels or rows.
  segments_.reserve(states_);
  segment_of_label_.reserve(states_);
  filed_head_.reserve(states_);
  alone_.assign((std::size_t{states_} + 63) / 64, 0);
  for (std::uint32_t b = 0; b < b0; ++b) {
    if (start[b + 1] - start[b] == 1) set_alone(elems_[start[b]]);
    segments_.push_back({start[b], start[b], start[b + 1], b, 0, 0, true});
    segment_of_label_.push_back(b);
    filed_head_.push_back(kNil);
  }

  // Renumber the transitions by target; keep source and symbol. The
  // targets are random, so their counters are fetched a few ahead.
  auto prefetch_target = [&](std::size_t t) {
    if (t < raw.size() && sym_[t] != kNil) __builtin_prefetch(&place_[target_of(raw[t])]);
  };
  for (std::size_t t = 0; t < raw.size(); ++t) {
    prefetch_target(t + kLookahead);
    if (sym_[t] != kNil) ++place_[target_of(raw[t])].in_end;
  }
  std::vector<std::uint32_t> block_first(b0 + 1, 0);  // first transition into each block
  {
    std::uint32_t offset = 0;
    for (std::uint32_t b = 0; b < b0; ++b) {
      block_first[b] = offset;
      for (std::uint32_t p = start[b]; p < start[b + 1]; ++p) {
        StatePlace& place = place_[elems_[p]];
        const std::uint32_t count = place.in_end;
        place.in_first = place.in_end = offset;  // `in_end` fills up below
        offset += count;
      }
    }
    block_first[b0] = offset;
  }
  // Until the cords are laid out, the place of each transition holds its
  // source (as `pos`) and its symbol (as `cord`): no second array of the
  // same size is needed.
  tplace_.resize(m);
  for (std::size_t t = 0; t < raw.size(); ++t) {
    prefetch_target(t + kLookahead);
    // And the place the transition ahead will be written to.
    if (t + kLookahead / 2 < raw.size() && sym_[t + kLookahead / 2] != kNil) {
      __builtin_prefetch(&tplace_[place_[target_of(raw[t + kLookahead / 2])].in_end], 1);
    }
    if (sym_[t] == kNil) continue;
    const std::uint32_t id = place_[target_of(raw[t])].in_end++;
    tplace_[id] = {raw[t].from, sym_[t]};
  }
  sym_ = {};
  initial_block_ = {};

  // Cords: block by block, the transitions into the block's states grouped
  // by symbol in alphabet order. Each block's run of trans_ is filled by a
  // counting sort over the symbols it actually has.
  trans_.resize(m);
  // Cords and the pool entries naming them grow with the splits; room for
  // one per transition (untouched until used) spares the copies of growth
  // for all but the rare run that cuts more often.
  cords_.reserve(m);
  pool_.reserve(m);
  std::vector<std::uint32_t> fill(alphabet_, 0), cord_of_symbol(alphabet_, kNil);
  std::vector<std::uint32_t> present;
  std::uint32_t next = 0;
  for (std::uint32_t b = 0; b < b0; ++b) {
    for (std::uint32_t t = block_first[b]; t < block_first[b + 1]; ++t) {
      const std::uint32_t a = tplace_[t].cord;
      if (fill[a]++ == 0) present.push_back(a);
    }
    if (present.empty()) continue;
    std::sort(present.begin(), present.end());
    segments_[b].pending_first = static_cast<std::uint32_t>(pool_.size());
    segments_[b].pending_count = static_cast<std::uint32_t>(present.size());
    for (const std::uint32_t a : present) {
      const auto c = static_cast<std::uint32_t>(cords_.size());
      cords_.push_back({next, next, next + fill[a], b, a, b, kNil, true});
      pool_.push_back(c);
      cord_of_symbol[a] = c;
      fill[a] = next;
      next = cords_.back().end;
    }
    for (std::uint32_t t = block_first[b]; t < block_first[b + 1]; ++t) {
      const std::uint32_t source = tplace_[t].pos, a = tplace_[t].cord;
      const std::uint32_t q = fill[a]++;
      trans_[q] = {t, source};
      tplace_[t] = {q, cord_of_symbol[a]};
    }
    for (const std::uint32_t a : present) fill[a] = 0;
    present.clear();
  }
}

void Refiner::mark_state(std::uint32_t s) {
  StatePlace& at = place_[s];
  Segment& seg = segments_[at.segment];
  const std::uint32_t i = at.pos;
  if (i < seg.mid) return;  // already in X
  if (seg.mid == seg.first) touched_.push_back(std::uint64_t{seg.label} << 32 | at.segment);
  const std::uint32_t j = seg.mid++;
  const std::uint32_t other = elems_[j];
  elems_[i] = other;
  place_[other].pos = i;
  elems_[j] = s;
  at.pos = j;
}

// Splits segment `seg_id` into its marked states (X within the block) and
// the rest. `row`/`at` say which candidate of the current row is being taken,
// for pending pairs of the current row that move to the new segment.
void Refiner::split(std::uint32_t seg_id, std::uint32_t row, std::size_t at) {
  Segment& y = segments_[seg_id];
  const std::uint32_t marked = y.mid - y.first;
  const std::uint32_t size = y.end - y.first;
  if (marked == size) {
    y.mid = y.first;
    return;
  }
  const auto z = static_cast<std::uint32_t>(segment_of_label_.size());
  const auto fresh = static_cast<std::uint32_t>(segments_.size());
  const std::uint32_t old_label = y.label;
  const bool old_override = y.override_row;
  // The smaller half is the new block unless the rest is strictly smaller.
  const bool smaller_is_new = size - marked >= marked;
  Segment moved{};
  if (smaller_is_new) {
    moved = {y.first, y.first, y.mid, z, static_cast<std::uint32_t>(pool_.size()), 0, true};
    y.first = y.mid;
    segment_of_label_.push_back(fresh);
  } else {
    moved = {y.mid, y.mid, y.end, old_label, static_cast<std::uint32_t>(pool_.size()), 0, false};
    y.end = y.mid;
    y.mid = y.first;
    y.label = z;
    y.override_row = true;  // every pending cord of the larger half moves to row z
    segment_of_label_.push_back(seg_id);
    segment_of_label_[old_label] = fresh;
  }
  y.mid = y.first;
  if (y.end - y.first == 1) set_alone(elems_[y.first]);
  if (moved.end - moved.first == 1) set_alone(elems_[moved.first]);
  segments_.push_back(moved);
  filed_head_.push_back(kNil);

  // Move the incoming transitions of the moved states to the front of
  // their cords, a batch at a time: the moves of one batch are independent
  // random accesses that prefetching lets overlap.
  std::array<std::uint32_t, kMoveBatch> batch;
  std::uint32_t p = moved.first, t = 0, t_end = 0;
  for (;;) {
    std::uint32_t n = 0;
    while (n < kMoveBatch) {
      if (t < t_end) {
        batch[n++] = t++;
        continue;
      }
      if (p == moved.end) break;
      if (p + kLookahead < moved.end) __builtin_prefetch(&place_[elems_[p + kLookahead]]);
      StatePlace& place = place_[elems_[p++]];
      place.segment = fresh;
      t = place.in_first;
      t_end = place.in_end;
      // The places of its transitions head each move's chain of reads.
      if (t < t_end) __builtin_prefetch(&tplace_[t]);
    }
    if (n == 0) break;
    if (!move_to_front(batch.data(), n)) return;
  }

  // Cut every touched cord; the front part is a new cord of the new segment,
  // pending: in row z when the new segment carries z, else where the old
  // block's pair was pending, or row z when it was not.
  for (const std::uint32_t c : touched_cords_) {
    Cord& old = cords_[c];
    const std::uint32_t nc = old.cut;
    Cord& cut = cords_[nc];
    cut = old;
    old.first = old.mid;
    cut.end = cut.mid;
    cut.mid = cut.first;
    cut.segment = fresh;
    cut.pending = true;
    cut.row = z;
    if (!smaller_is_new && old.pending) {
      cut.row = old_override ? old_label : old.row;
    }
    pool_.push_back(nc);
    ++segments_[fresh].pending_count;
    if (smaller_is_new) continue;
    if (cut.row == row) {
      // Still to be taken later in the current row: the pair now reads
      // this cord.
      auto it = std::lower_bound(candidates_.begin() + static_cast<std::ptrdiff_t>(at) + 1, candidates_.end(),
                                 cut.symbol, [](const Candidate& a, std::uint32_t s) { return a.symbol < s; });
      if (it != candidates_.end() && it->symbol == cut.symbol) it->cord = nc;
    } else {
      filed_.push_back({old_label, nc, filed_head_[cut.row]});
      filed_head_[cut.row] = static_cast<std::uint32_t>(filed_.size() - 1);
    }
  }
  touched_cords_.clear();
}

// Moves transitions `moving[0..n)` to the front of their cords, each cord
// cut the first time one of its transitions moves. False when the cords
// exceed the index limit.
bool Refiner::move_to_front(const std::uint32_t* moving, std::uint32_t n) {
  // Each move reads its place, its cord, its own entry and the cord's front
  // entry, and rewrites the place of the entry it displaces: a chain whose
  // links are fetched at falling distances ahead.
  constexpr std::uint32_t kFar = kLookahead, kNear = kLookahead / 2, kNext = kLookahead / 4;
  for (std::uint32_t k = 0; k < n; ++k) {
    if (k + kFar < n) {
      const TransitionPlace ahead = tplace_[moving[k + kFar]];
      __builtin_prefetch(&cords_[ahead.cord]);
      __builtin_prefetch(&trans_[ahead.pos]);
    }
    if (k + kNear < n) __builtin_prefetch(&trans_[cords_[tplace_[moving[k + kNear]].cord].mid]);
    if (k + kNext < n) {
      __builtin_prefetch(&tplace_[trans_[cords_[tplace_[moving[k + kNext]].cord].mid].transition]);
    }
    TransitionPlace& tp = tplace_[moving[k]];
    const std::uint32_t c = tp.cord;
    if (cords_[c].mid == cords_[c].first) {
      // First transition of this cord to move: its new cord is numbered
      // now, so that every moved transition is relabelled on the way.
      if (!within_limit(cords_.size() + 1, "transition cords")) return false;
      cords_[c].cut = static_cast<std::uint32_t>(cords_.size());
      cords_.emplace_back();
      touched_cords_.push_back(c);
    }
    Cord& cord = cords_[c];
    const std::uint32_t i = tp.pos;
    const std::uint32_t j = cord.mid++;
    const CordEntry other = trans_[j];
    const CordEntry self = trans_[i];
    trans_[i] = other;
    tplace_[other.transition].pos = i;
    trans_[j] = self;
    tp = {j, cord.cut};
  }
  return true;
}

// Takes the pair of candidate `at`; true when its predecessor set was not
// empty.
bool Refiner::take(std::uint32_t row, std::size_t at) {
  const Candidate cand = candidates_[at];
  // A cord of another segment: the block has no member with this incoming
  // symbol any more, and its pending flag can no longer matter.
  if (cords_[cand.cord].segment != segment_of_label_[cand.label]) return false;
  cords_[cand.cord].pending = false;
  const Cord cord = cords_[cand.cord];
  if (cord.first == cord.end) return false;

  // Marking is a chain of dependent random reads; fetching a few states
  // ahead lets them overlap.
  for (std::uint32_t p = cord.first; p < cord.end; ++p) {
    if (p + 2 * kLookahead < cord.end) {
      const std::uint32_t ahead = trans_[p + 2 * kLookahead].source;
      if (!alone(ahead)) __builtin_prefetch(&place_[ahead]);
    }
    if (p + kLookahead < cord.end && !alone(trans_[p + kLookahead].source)) {
      const StatePlace ahead = place_[trans_[p + kLookahead].source];
      __builtin_prefetch(&segments_[ahead.segment]);
      __builtin_prefetch(&elems_[ahead.pos]);
    }
    const std::uint32_t s = trans_[p].source;
    if (!alone(s)) mark_state(s);
  }
  if (touched_.size() > 1) std::sort(touched_.begin(), touched_.end());
  for (const std::uint64_t key : touched_) {
    split(static_cast<std::uint32_t>(key), row, at);
    if (error_) break;
  }
  touched_.clear();
  return true;
}

void Refiner::refine() {
  double estimate = -0.0;
  for (const Segment& seg : segments_) {
    const std::uint32_t size = seg.end - seg.first;
    if (size >= 2) estimate += std::log2(static_cast<double>(size));
  }
  const std::uint64_t total = saturate_to_u64(std::ceil(estimate));
  const std::uint64_t initial_length = std::uint64_t{initial_blocks_} * alphabet_;
  ProgressPacer pacer(total, initial_length, progress_);
  pacer.start();

  for (std::uint32_t row = 0; row < segment_of_label_.size(); ++row) {
    candidates_.clear();
    prefetch_rows_ahead(row);
    const std::uint32_t own_id = segment_of_label_[row];
    const Segment& own = segments_[own_id];
    const bool own_row = own.override_row;
    if (own_row) {
      for (std::uint32_t k = own.pending_first; k < own.pending_first + own.pending_count; ++k) {
        const Cord& cord = cords_[pool_[k]];
        if (cord.pending && cord.first != cord.end) candidates_.push_back({cord.symbol, pool_[k], row});
      }
    }
    for (std::uint32_t e = filed_head_[row]; e != kNil; e = filed_[e].next) {
      const Filed f = filed_[e];
      const Cord& cord = cords_[f.cord];
      // (A filed cord still of its label's segment is never pending in another
      // row; the row test is a cheap guard.)
      if (cord.segment == segment_of_label_[f.label] && cord.pending && cord.row == row &&
          cord.first != cord.end) {
        candidates_.push_back({cord.symbol, f.cord, f.label});
      }
    }
    if (candidates_.empty()) continue;
    auto by_symbol = [](const Candidate& a, const Candidate& b) { return a.symbol < b.symbol; };
    if (!std::is_sorted(candidates_.begin(), candidates_.end(), by_symbol)) {
      std::sort(candidates_.begin(), candidates_.end(), by_symbol);
    }
    const std::uint64_t row_base = std::uint64_t{row} * alphabet_;
    for (std::size_t at = 0; at < candidates_.size(); ++at) {
      if (!take(row, at)) continue;
      if (error_) return;
      const std::uint64_t taken = row_base + candidates_[at].symbol + 1;
      if (steps_ != nullptr) steps_->push_back({taken, segments_.size()});
      pacer.after_pair(taken);
    }
    // Every pair of this row has been taken: keep in the segment's pool only
    // what is still pending (pairs it owes a later row after a split).
    if (own_row) compact_pool(own_id);
  }
  pacer.finish();
}

void Refiner::compact_pool(std::uint32_t seg_id) {
  Segment& seg = segments_[seg_id];
  std::uint32_t kept = seg.pending_first;
  for (std::uint32_t k = seg.pending_first; k < seg.pending_first + seg.pending_count; ++k) {
    const Cord& cord = cords_[pool_[k]];
    if (cord.pending && cord.first != cord.end) pool_[kept++] = pool_[k];
  }
  seg.pending_count = kept - seg.pending_first;
}

// Most rows hold a handful of small cords, and reading one is a chain of
// dependent cache misses (segment, pending cords, transitions, source
// states). Prefetching each link for a row some rows ahead of the current
// one lets these chains overlap. Only a hint: splits may change the rows.
void Refiner::prefetch_rows_ahead(std::uint32_t row) const {
  constexpr std::uint32_t kCords = 4;  // pending cords followed per row
  const std::size_t rows = segment_of_label_.size();
  auto segment_at = [&](std::size_t ahead) -> const Segment* {
    return row + ahead < rows ? &segments_[segment_of_label_[row + ahead]] : nullptr;
  };
  if (const Segment* seg = segment_at(10)) __builtin_prefetch(seg);
  if (const Segment* seg = segment_at(8)) __builtin_prefetch(pool_.data() + seg->pending_first);
  if (const Segment* seg = segment_at(6)) {
    const std::uint32_t n = std::min(seg->pending_count, kCords);
    for (std::uint32_t k = 0; k < n; ++k) __builtin_prefetch(&cords_[pool_[seg->pending_first + k]]);
  }
  if (const Segment* seg = segment_at(4)) {
    const std::uint32_t n = std::min(seg->pending_count, kCords);
    for (std::uint32_t k = 0; k < n; ++k) __builtin_prefetch(trans_.data() + cords_[pool_[seg->pending_first + k]].first);
  }
  if (const Segment* seg = segment_at(2)) {
    const std::uint32_t n = std::min(seg->pending_count, kCords);
    for (std::uint32_t k = 0; k < n; ++k) {
      const Cord& cord = cords_[pool_[seg->pending_first + k]];
      if (cord.first < cord.end) __builtin_prefetch(&place_[trans_[cord.first].source]);
    }
  }
}

Partition Refiner::result() const {
  Partition part;
  part.block_of.resize(states_);
  std::vector<std::uint32_t> final_number(segment_of_label_.size(), kNil);
  std::uint32_t next = 0;
  for (std::uint32_t s = 0; s < named_; ++s) {
    const std::uint32_t label = segments_[place_[s].segment].label;
    if (final_number[label] == kNil) final_number[label] = next++;
    part.block_of[s] = final_number[label];
  }
  for (std::uint32_t s = named_; s < states_; ++s) part.block_of[s] = next + (s - named_);
  part.num_blocks = next + (states_ - named_);
  return part;
}

Result<Partition> Refiner::run() {
  prepare();
  if (!error_) {
    initial_partition();
    build_structures();
    refine();
  }
  if (error_) return std::unexpected(std::move(*error_));
  return result();
}

}  // namespace

namespace {

Result<Partition> minimize_with(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress,
                        std::vector<RefinementStep>* steps) {
  const std::uint32_t states = graph.state_count;
  if (range_count > states || states - range_count < kFixedLeafCount) {
    // Not a graph that building can produce: keep every state alone.
    const ProgressPacer pacer(0, 0, progress);
    pacer.start();
    pacer.finish();
    return identity_partition(states);
  }
  return Refiner(graph, range_count, progress, steps).run();
}

}  // namespace

Result<Partition> minimize(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress) {
  return minimize_with(graph, range_count, progress, nullptr);
}

Result<Partition> minimize_traced(const RawGraph& graph, std::size_t range_count, const ProgressFn& progress,
                          std::vector<RefinementStep>& steps) {
  return minimize_with(graph, range_count, progress, &steps);
}

}  // namespace korvex
