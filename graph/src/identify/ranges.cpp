#include "identify/ranges.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "identify/scan.hpp"

namespace korvex::identify {

namespace {

// Byte classes of the text model: 0 printable ASCII, 1 tab / newline /
// carriage return, 2 other control bytes, 3 lead byte of a two-byte
// sequence, 4 of three bytes, 5 of four, 6 continuation or invalid lead.
constexpr std::array<std::uint8_t, 256> kClass = [] {
  std::array<std::uint8_t, 256> c{};
  for (int b = 0; b < 256; ++b) {
    if (b == '\t' || b == '\n' || b == '\r')
      c[b] = 1;
    else if (b < 0x20 || b == 0x7F)
      c[b] = 2;
    else if (b < 0x7F)
      c[b] = 0;
    else if (b >= 0xC2 && b <= 0xDF)
      c[b] = 3;
    else if (b >= 0xE0 && b <= 0xEF)
      c[b] = 4;
    else if (b >= 0xF0 && b <= 0xF4)
      c[b] = 5;
    else
      c[b] = 6;
  }
  return c;
}();

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) v >>= 7, ++n;
  return n;
}

// How many bytes of `mask` (0x80 or 0 each) are set.
std::size_t bytes_set(std::uint64_t mask) noexcept {
  return static_cast<std::size_t>(((mask >> 7) * 0x0101010101010101ull) >> 56);
}

}  // namespace

double text_bits(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull, kOnes = 0x0101010101010101ull;
  std::size_t printable = 0, space = 0, control = 0, wide = 0;
  while (p < end) {
    // Eight ASCII bytes at once, classed by exact masks: with the top bit
    // set on every byte first, no subtraction borrows across bytes. (Byte
    // by byte, a run of control bytes, such as the zeros of binary data
    // read as text, waited on its one counter at every byte.)
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHigh) == 0) {
        const std::uint64_t top = w | kHigh;
        const std::uint64_t visible = (top - 0x20 * kOnes) & ~(top - 0x7F * kOnes) & kHigh;  // 0x20 .. 0x7E
        if (visible == kHigh) {
          printable += 8;
          p += 8;
          continue;
        }
        const auto is = [top](std::uint64_t b) { return ~((top ^ b * kOnes) - kOnes) & kHigh; };
        const std::size_t n = bytes_set(visible), s = bytes_set(is('\t') | is('\n') | is('\r'));
        printable += n;
        space += s;
        control += 8 - n - s;
        p += 8;
        continue;
      }
    }
    const std::uint8_t c = kClass[*p];
    if (c < 3) {
      printable += c == 0;
      space += c == 1;
      control += c == 2;
      ++p;
      continue;
    }
    if (c == 6) return -1;
    const int n = c - 1;  // sequence length 2, 3 or 4
    if (end - p < n) return -1;
    const std::uint8_t b0 = p[0], b1 = p[1];
    if ((b1 & 0xC0) != 0x80) return -1;
    if (n >= 3) {
      if ((p[2] & 0xC0) != 0x80) return -1;
      if (b0 == 0xE0 && b1 < 0xA0) return -1;   // overlong
      if (b0 == 0xED && b1 >= 0xA0) return -1;  // surrogate
      if (n == 4) {
        if ((p[3] & 0xC0) != 0x80) return -1;
        if (b0 == 0xF0 && b1 < 0x90) return -1;   // overlong
        if (b0 == 0xF4 && b1 >= 0x90) return -1;  // past U+10FFFF
      }
    }
    wide += static_cast<std::size_t>(n);
    p += n;
  }
  return kPrintableBits * static_cast<double>(printable) + kSpaceBits * static_cast<double>(space) +
         kControlBits * static_cast<double>(control) + kWideBits * static_cast<double>(wide);
}

Ranges::Ranges(const Candidates& candidates, const std::uint8_t* begin, const std::uint8_t* end, Work& work)
    : candidates_(candidates), begin_(begin), end_(end), work_(work) {
  // Room for a small payload's shapes at once (grown from nothing, they
  // took a dozen allocations a call).
  shapes_.reserve(16);
  keys_.reserve(64);
  contents_.reserve(64);
  fields_.reserve(64);
  runs_.reserve(8);
}

template <class Record>
std::size_t Ranges::slot_of(std::vector<Record>& table, std::uint64_t key, bool grow) {
  const auto home = [&table](std::uint64_t k) { return static_cast<std::size_t>(spread(k)) & (table.size() - 1); };
  if (grow) {
    if (!work_.keep(2 * table.size() * sizeof(Record))) return kNoSlot;
    std::vector<Record> old(table.size() * 2);
    old.swap(table);
    for (const Record& r : old) {
      if (r.key == kEmpty) continue;
      std::size_t slot = home(r.key);
      while (table[slot].key != kEmpty) slot = (slot + 1) & (table.size() - 1);
      table[slot] = r;
    }
  }
  std::size_t slot = home(key);
  while (table[slot].key != kEmpty && table[slot].key != key) slot = (slot + 1) & (table.size() - 1);
  return slot;
}

Ranges::Entry& Ranges::entry(const std::uint8_t* p, const std::uint8_t* end) {
  const std::uint64_t key = range_key(p, end);
  // A range is mostly asked for again right away (its text, then its
  // floor).
  if (key == last_key_) return entries_[last_slot_];
  // Past the budget nothing more is remembered (the call fails anyway).
  if (page_of_.empty()) {
    const auto size = static_cast<std::size_t>(end_ - begin_) + 1;
    if (!work_.keep(size * sizeof(std::uint32_t))) return scratch_ = Entry{};
    page_of_.assign((size + kPage - 1) / kPage, kNone);
    by_start_.reserve(size);  // never moves
  }
  const auto start = static_cast<std::size_t>(p - begin_);
  const auto stop = static_cast<std::uint32_t>(end - begin_);
  std::uint32_t& page = page_of_[start / kPage];
  if (page == kNone) {
    // (The last page holds what is left.)
    const std::size_t from = start / kPage * kPage;
    page = static_cast<std::uint32_t>(by_start_.size());
    by_start_.resize(by_start_.size() + std::min(kPage, static_cast<std::size_t>(end_ - begin_) + 1 - from), kNone);
  }
  std::uint32_t& head = by_start_[page + start % kPage];
  std::uint32_t at = head;
  while (at != kNone && entries_[at].end != stop) at = entries_[at].next;
  if (at == kNone) {
    if (entries_.size() == entries_.capacity()) {
      const std::size_t more = std::max<std::size_t>(64, 2 * entries_.capacity());
      if (!work_.keep(more * sizeof(Entry))) return scratch_ = Entry{};
      entries_.reserve(more);
    }
    at = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(Entry{stop, head});
    head = at;
    work_.spend(1);
  }
  last_key_ = key;
  last_slot_ = at;
  return entries_[at];
}

double Ranges::text(const std::uint8_t* p, const std::uint8_t* end) {
  if (p == end) return 0;
  // Entries are found again after the calls below, which may grow the table.
  if (const Entry& e = entry(p, end); e.has_text) return e.text;
  work_.spend(1 + static_cast<std::uint64_t>(end - p) / 16);
  const double bits = text_bits(p, end);
  Entry& e = entry(p, end);
  e.text = bits;
  e.has_text = true;
  return bits;
}

double Ranges::floor(const std::uint8_t* p, const std::uint8_t* end, int depth, std::uint8_t readings) {
  if (const Entry& e = entry(p, end); e.has_floor) return e.floor;
  // Only the readings some node declaring the field offers.
  const double opaque = kOpaqueBits * static_cast<double>(end - p);
  double best = kNever;
  std::uint32_t s = kNone;
  double message = kNever;
  if (readings & Candidates::kAsFields) {
    s = read_message(p, end, depth, message);
    if (s == kNotWire) message = kNever;
    best = std::min(best, message);
  }
  // As text no byte costs less than a printable one: a nested message
  // mostly costs less than that, and its bytes need not be scanned again
  // at every level above.
  if ((readings & (Candidates::kAsString | Candidates::kAsBytes)) &&
      best > kPrintableBits * static_cast<double>(end - p)) {
    const double t = text(p, end);
    const auto bytes = static_cast<std::size_t>(end - p);
    if (readings & Candidates::kAsString) best = std::min(best, content_bits(t, bytes, true));
    if (readings & Candidates::kAsBytes) best = std::min(best, content_bits(t, bytes, false));
  }
  if ((readings & Candidates::kAsPackedFixed) && (end - p) % 4 == 0) best = std::min(best, opaque);
  // Last, as a packed run of varints: only as far as that may still be
  // the cheapest (the sum only grows).
  if (readings & Candidates::kAsPackedVarints) best = std::min(best, packed_floor(p, end, best));
  Entry& e = entry(p, end);
  e.floor = best;
  e.has_floor = true;
  if (s != kNone) {
    e.shape = s;
    e.message = message;
  }
  return best;
}

const Shape* Ranges::shape(const std::uint8_t* p, const std::uint8_t* end, int depth) {
  if (const Entry& e = entry(p, end); e.shape != kNone) return e.shape == kNotWire ? nullptr : &shapes_[e.shape];
  double message = 0;
  const std::uint32_t s = read_message(p, end, depth, message);
  Entry& e = entry(p, end);
  e.shape = s;
  e.message = s != kNotWire ? message : kNever;
  return s == kNotWire ? nullptr : &shapes_[s];
}

double Ranges::message_floor(const std::uint8_t* p, const std::uint8_t* end, int depth) {
  shape(p, end, depth);
  return entry(p, end).message;
}

namespace {

// Run::Wide keys of values written overlong (below 128 in two bytes or
// more): their length and value.
constexpr std::uint32_t kOverlong = std::uint32_t{1} << 16;
constexpr std::uint32_t kNoWide = 0xFFFFFFFF;  // a free slot of the table they are counted in
constexpr std::size_t kTurnsFrom = 512;       // bytes of a run counted in turns (run_of_all)

// The classes of packed values other than one-byte ones, as signed values:
// class i holds [kLow[i], kHigh[i]].
constexpr std::int64_t kLow[] = {std::numeric_limits<std::int64_t>::min(), -(std::int64_t{1} << 31), 128,
                                 std::int64_t{1} << 14, std::int64_t{1} << 31, std::int64_t{1} << 32};
constexpr std::int64_t kHigh[] = {-(std::int64_t{1} << 31) - 1, -1, (std::int64_t{1} << 14) - 1,
                                  (std::int64_t{1} << 31) - 1, (std::int64_t{1} << 32) - 1,
                                  std::numeric_limits<std::int64_t>::max()};

// The varint at q, its first byte not its last: one of two bytes, the
// most of a run's (binary data read as numbers), read without a loop.
const std::uint8_t* read_wide(const std::uint8_t* q, const std::uint8_t* end, std::uint64_t& v) noexcept {
  if (end - q >= 2 && q[1] < 0x80) {
    v = (q[0] & 0x7Fu) | std::uint64_t{q[1]} << 7;
    return q + 2;
  }
  return read_varint(q, end, v);
}

constexpr int kTwoBytes = 2;                  // the class of 128 .. 2^14 - 1
constexpr std::uint32_t kListTwosFrom = 256;  // values of it listed for ranges that cut it (run_bits)

// f(v, length) for each varint from 128 on (not written overlong) of the
// run of varints [bytes]. The one-byte values between them are passed
// over eight at a time: a run of a field of text or small numbers is
// mostly those, and each range leaf that cuts a class scans it again (a
// byte at a time, those scans were over half the work of a Kubernetes
// object among 200 000 types).
template <class F>
void for_each_wide(std::span<const std::uint8_t> bytes, F&& f) {
  const std::uint8_t* const end = bytes.data() + bytes.size();
  for (const std::uint8_t* q = bytes.data(); q < end;) {
    if (end - q >= 8 && eight_one_byte_varints(q)) {
      q += 8;
      continue;
    }
    if (*q < 0x80) {
      ++q;
      continue;
    }
    const std::uint8_t* at = q;
    std::uint64_t v;
    q = read_wide(q, end, v);
    if (q == nullptr) return;  // (a run of varints: not so)
    if (v >= 128) f(v, static_cast<std::size_t>(q - at));
  }
}

// The class of a value from 128 on (or negative), without a branch.
int class_of(std::int64_t s) noexcept {
  return (s > kHigh[0]) + (s > kHigh[1]) + (s > kHigh[2]) + (s > kHigh[3]) + (s > kHigh[4]);
}

}  // namespace

void Ranges::count_wide(std::uint32_t key, std::uint64_t v) {
  if (2 * (wide_used_.size() + 1) > wide_slots_.size()) {
    std::vector<Run::Wide> old(std::max<std::size_t>(256, 2 * wide_slots_.size()), Run::Wide{kNoWide, 0, 0});
    old.swap(wide_slots_);
    const std::size_t mask = wide_slots_.size() - 1;
    for (std::uint32_t& at : wide_used_) {
      std::size_t slot = spread(old[at].key) & mask;
      while (wide_slots_[slot].key != kNoWide) slot = (slot + 1) & mask;
      wide_slots_[slot] = old[at];
      at = static_cast<std::uint32_t>(slot);
    }
  }
  const std::size_t mask = wide_slots_.size() - 1;
  std::size_t slot = spread(key) & mask;
  while (wide_slots_[slot].key != kNoWide && wide_slots_[slot].key != key) slot = (slot + 1) & mask;
  if (wide_slots_[slot].key == kNoWide) {
    wide_slots_[slot] = Run::Wide{key, 0, v};
    wide_used_.push_back(static_cast<std::uint32_t>(slot));
  }
  ++wide_slots_[slot].count;
}

std::uint32_t Ranges::run_of_all(std::span<const std::span<const std::uint8_t>> parts) {
  Run run{};
  // The wide values counted so far, moved into the run (or dropped) and
  // their slots emptied.
  const auto take_wide = [&](bool keep) {
    for (const std::uint32_t at : wide_used_) {
      if (keep) run.wide.push_back(wide_slots_[at]);
      wide_slots_[at] = Run::Wide{kNoWide, 0, 0};
    }
    wide_used_.clear();
  };
  // The one-byte values of a long run are counted in four tables by
  // turns, summed at the end: in one, a run of equal bytes (the zeros of
  // binary data) waited on its counter at every byte.
  std::size_t total = 0;
  for (const auto part : parts) total += part.size();
  using Small = std::array<std::uint32_t, 128>;
  std::array<Small, 3> more;
  const bool by_turns = total >= kTurnsFrom;
  if (by_turns) more = {};
  std::uint32_t* const tables[4] = {run.small, more[0].data(), more[1].data(), more[2].data()};
  unsigned turn = 0;
  // The two-byte values (most of binary data read as numbers) by the bit
  // width of value + 1, all a Wide key of theirs depends on: no table to
  // look them up in.
  struct Two {
    std::uint32_t count = 0, sample = 0;
  };
  std::array<Two, 16> by_width{};
  for (const auto part : parts) {
    const std::uint8_t* const end = part.data() + part.size();
    work_.spend(1 + part.size() / 4);
    run.lengths += gamma_bits(part.size() + 1);
    for (const std::uint8_t* q = part.data(); q < end;) {
      // Eight one-byte values at once when they are (text, small
      // numbers), two to each table by turns: a loop of one value each
      // took a dozen instructions a byte.
      if (end - q >= 8 && eight_one_byte_varints(q)) {
        if (by_turns) {
          for (int i = 0; i < 8; ++i) ++tables[i & 3][q[i]];
        } else {
          for (int i = 0; i < 8; ++i) ++run.small[q[i]];
        }
        q += 8;
        continue;
      }
      if (*q < 0x80) {
        if (by_turns)
          ++tables[turn++ & 3][*q++];
        else
          ++run.small[*q++];
        continue;
      }
      if (end - q >= 2 && q[1] - 1u < 0x7Fu) {
        // Two bytes, not overlong: counted by bit width straight away.
        const std::uint32_t v = (q[0] & 0x7Fu) | std::uint32_t{q[1]} << 7;
        Two& two = by_width[std::bit_width(v + 1)];
        if (two.count++ == 0) two.sample = v;
        q += 2;
        continue;
      }
      const std::uint8_t* at = q;
      std::uint64_t v;
      q = read_wide(q, end, v);
      if (q == nullptr) return take_wide(false), kNotWire;
      if (v < 128) {  // overlong: among the one-byte values, and apart by its length
        ++run.small[v];
        count_wide(kOverlong | static_cast<std::uint32_t>(q - at) << 10 | static_cast<std::uint32_t>(v) << 3, v);
        continue;
      }
      const auto s = static_cast<std::int64_t>(v);
      const int c = class_of(s);
      ++run.values[c];
      run.bytes[c] += static_cast<std::uint64_t>(q - at);
      const bool in32u = v <= 0xFFFFFFFFu, in32 = v < (std::uint64_t{1} << 31) || v >= ~std::uint64_t{0} - 0x7FFFFFFFu;
      // From 2^62 on, the width is that of a negative value's magnitude (0
      // for the others): what its price depends on.
      const bool large = v >= (std::uint64_t{1} << 62);
      const std::uint64_t width = !large ? std::bit_width(v + 1) : v >> 63 != 0 ? std::bit_width(~v + 1) : 0;
      const auto key = static_cast<std::uint32_t>(q - at) << 10 | static_cast<std::uint32_t>(width) << 3 |
                       (large ? 4u : 0u) | (in32u ? 2u : 0u) | (in32 ? 1u : 0u);
      count_wide(key, v);
    }
  }
  if (by_turns)
    for (const Small& m : more)
      for (int v = 0; v < 128; ++v) run.small[v] += m[v];
  // Without a branch: which values are present is data, and mispredicted
  // it took a tenth of the run's time on binary data.
  for (int v = 0; v < 128; ++v) {
    run.present[run.distinct] = static_cast<std::uint8_t>(v);
    run.distinct += run.small[v] != 0;
  }
  for (int v = 1; v < 128; ++v) run.small[v] += run.small[v - 1];
  take_wide(true);
  for (std::uint32_t width = 8; width < by_width.size(); ++width) {
    if (by_width[width].count == 0) continue;
    run.values[kTwoBytes] += by_width[width].count;
    run.bytes[kTwoBytes] += 2 * std::uint64_t{by_width[width].count};
    run.wide.push_back(Run::Wide{2u << 10 | width << 3 | 3u, by_width[width].count, by_width[width].sample});
  }
  // By key: the order of the sums, and so the sums, do not depend on the
  // table's.
  std::sort(run.wide.begin(), run.wide.end(), [](const Run::Wide& a, const Run::Wide& b) { return a.key < b.key; });
  if (!work_.keep(sizeof(Run) + run.wide.size() * sizeof(Run::Wide))) return kNone;
  runs_.push_back(std::move(run));
  return static_cast<std::uint32_t>(runs_.size() - 1);
}

double Ranges::packed_bits(const std::uint8_t* p, const std::uint8_t* end, const NodeInfo& leaf, std::uint32_t& count,
                           bool& exact, std::uint32_t& outside) {
  exact = false;
  if (run_slots_.empty()) return kNever;
  const std::uint64_t key = range_key(p, end);
  RunSlot& slot = run_slots_[slot_of(run_slots_, key, false)];
  if (slot.key != key || slot.read < static_cast<std::uint64_t>(end - p)) return kNever;
  const std::uint32_t run = run_made(slot, p, end);
  if (run == kNotWire) return count = 0, kNoRun;
  return run_bits(run, leaf, count, exact, &outside, std::span(p, end));
}

Ranges::RunSlot* Ranges::run_slot(const std::uint8_t* p, const std::uint8_t* end) {
  if (run_slots_.empty()) run_slots_.resize(16);
  const std::uint64_t key = range_key(p, end);
  std::size_t slot = slot_of(run_slots_, key, false);
  if (run_slots_[slot].key != key) {
    slot = slot_of(run_slots_, key, 2 * run_slots_used_ >= run_slots_.size());
    if (slot == kNoSlot) return nullptr;
    run_slots_[slot] = RunSlot{key, kNone, 0};
    ++run_slots_used_;
  }
  return &run_slots_[slot];
}

void Ranges::read(const std::uint8_t* p, const std::uint8_t* end, std::ptrdiff_t bytes) {
  if (RunSlot* r = run_slot(p, end)) r->read += static_cast<std::uint64_t>(bytes);
}

std::uint32_t Ranges::packed_run(const std::uint8_t* p, const std::uint8_t* end) {
  if (RunSlot* r = run_slot(p, end)) return run_made(*r, p, end);
  const std::span<const std::uint8_t> part(p, end);
  return run_of_all(std::span(&part, 1));
}

std::uint32_t Ranges::run_made(RunSlot& slot, const std::uint8_t* p, const std::uint8_t* end) {
  if (slot.run == kNone) {
    const std::span<const std::uint8_t> part(p, end);
    slot.run = run_of_all(std::span(&part, 1));  // (which leaves run_slots_ as it is)
    // Read whole: parses price it from its run from now on.
    slot.read = std::max<std::uint64_t>(slot.read, part.size());
  }
  return slot.run;
}

double Ranges::run_bits(std::uint32_t index, const NodeInfo& leaf, std::uint32_t& count, bool& exact,
                        std::uint32_t* outside, std::span<const std::uint8_t> bytes) {
  count = 0;
  exact = true;
  std::uint32_t out = 0;  // values outside a range leaf's range, where that is known
  if (outside != nullptr) *outside = 0;
  if (index >= runs_.size()) return kNever;  // not a run of varints, or past the memory budget
  Run& run = runs_[index];
  constexpr double kOutside = kEscapeBits + kLength64;
  work_.spend(1);
  double bits = 0;
  const std::uint32_t small_all = run.small[127];
  count = small_all;
  if (leaf.range == serial::kNoIndex) {
    // Integer leaves: the one-byte values each by its own price, the
    // others by their sample's (the same for all of its key), as the
    // parse prices them.
    for (std::uint32_t i = 0; i < run.distinct; ++i) {
      const std::uint8_t v = run.present[i];
      const std::uint32_t n = run.small[v] - (v > 0 ? run.small[v - 1] : 0);
      bits += n * candidates_.small_integer_bits(leaf.type, v);
    }
    for (const Run::Wide& w : run.wide) {
      bool out_of_type = false;
      double each = candidates_.varint_bits(leaf, w.sample, (w.key & ~kOverlong) >> 10, out_of_type);
      // An overlong one is among the one-byte values above, at their price.
      if ((w.key & kOverlong) != 0) each -= candidates_.small_integer_bits(leaf.type, static_cast<std::uint8_t>(w.sample));
      else count += w.count;
      bits += w.count * each;
      out += out_of_type ? w.count : 0;
    }
    if (outside != nullptr) *outside = out;
    return bits;
  }
  // A range leaf: its price for a value inside, the escape and a 64-bit
  // varint for one outside.
  const std::int64_t lo = candidates_.leaf_range(leaf.range).lo, hi = candidates_.leaf_range(leaf.range).hi;
  const double each = candidates_.range_bits(leaf.range);
  std::uint32_t small_in = 0;
  if (lo <= hi && lo <= 127 && hi >= 0) {
    const std::int64_t from = std::max<std::int64_t>(lo, 0), to = std::min<std::int64_t>(hi, 127);
    small_in = run.small[to] - (from > 0 ? run.small[from - 1] : 0);
  }
  bits += each * small_in + (kOutside + kVarintByteBits) * (small_all - small_in);
  out += small_all - small_in;
  // Classes the range cuts, when the run's bytes are at hand: its values
  // from 128 on counted in and out one by one (no parse reads them then).
  // Those of 128 .. 2^14 - 1, which enum ranges cut the most, are listed
  // the first time (in order, v << 4 | length) and counted from the list
  // after: several enums of a long run cut them.
  std::uint32_t in_of[kClasses] = {};
  std::uint64_t bytes_out[kClasses] = {};
  bool have[kClasses] = {};  // counted already (each class once, by a scan or the list)
  const auto count_cut = [&](int cut) {
    if (have[cut]) return;
    if (cut == kTwoBytes && !run.listed_twos && run.values[kTwoBytes] >= kListTwosFrom) {
      run.twos.reserve(run.values[kTwoBytes]);
      for_each_wide(bytes, [&](std::uint64_t v, std::size_t length) {
        if (class_of(static_cast<std::int64_t>(v)) == kTwoBytes)
          run.twos.push_back(static_cast<std::uint32_t>(v) << 4 | static_cast<std::uint32_t>(length));
      });
      run.listed_twos = work_.keep(run.twos.size() * sizeof(std::uint32_t));
      if (!run.listed_twos) std::vector<std::uint32_t>().swap(run.twos);
    }
    if (cut == kTwoBytes && run.listed_twos) {
      for (const std::uint32_t x : run.twos) {
        const std::int64_t v = x >> 4;
        const bool in = lo <= v && v <= hi;
        in_of[cut] += in;
        bytes_out[cut] += in ? 0 : x & 15;
      }
      have[cut] = true;
      return;
    }
    // One scan counts every class not counted yet.
    for_each_wide(bytes, [&](std::uint64_t v, std::size_t length) {
      const auto s = static_cast<std::int64_t>(v);
      const int c = class_of(s);
      if (have[c]) return;
      const bool in = lo <= s && s <= hi;
      in_of[c] += in;
      bytes_out[c] += in ? 0 : length;
    });
    std::fill(std::begin(have), std::end(have), true);
  };
  for (int c = 0; c < kClasses; ++c) {
    const double n = run.values[c], byte_bits = kVarintByteBits * static_cast<double>(run.bytes[c]);
    count += run.values[c];
    if (n == 0) continue;
    if (lo <= kLow[c] && kHigh[c] <= hi) {
      bits += each * n;
    } else if (hi < kLow[c] || lo > kHigh[c] || lo > hi) {
      bits += kOutside * n + byte_bits;
      out += run.values[c];
    } else if (!bytes.empty()) {
      count_cut(c);
      const std::uint32_t missed = run.values[c] - in_of[c];
      bits += each * in_of[c] + kOutside * missed + kVarintByteBits * static_cast<double>(bytes_out[c]);
      out += missed;
    } else {
      // Some inside, some not: each at the cheaper, at least one byte long.
      exact = false;
      bits += n * std::min(each, kOutside + kVarintByteBits);
    }
  }
  // Values written overlong are among the one-byte ones: outside the
  // range, each byte past the first costs 7 bits more.
  for (const Run::Wide& w : run.wide) {
    const auto v = static_cast<std::int64_t>(w.sample);
    if ((w.key & kOverlong) != 0 && (v < lo || v > hi))
      bits += w.count * kVarintByteBits * static_cast<double>(((w.key & ~kOverlong) >> 10) - 1);
  }
  if (outside != nullptr) *outside = out;
  return bits;
}

double Ranges::packed_floor(const std::uint8_t* p, const std::uint8_t* end, double limit) {
  work_.spend(1 + static_cast<std::uint64_t>(end - p) / 4);
  const std::uint32_t* const one_byte = candidates_.one_byte_quanta();
  double bits = 0;
  while (p < end && bits <= limit) {
    // Most are one byte: eight at a time when they are.
    if (end - p >= 8 && eight_one_byte_varints(p)) {
      std::uint32_t quanta = 0;
      for (int i = 0; i < 8; ++i) quanta += one_byte[p[i]];
      bits += static_cast<double>(quanta) / kQuantaPerBit;
      p += 8;
      continue;
    }
    if (*p < 0x80) {
      bits += candidates_.varint_floor(*p++, 1);
      continue;
    }
    const std::uint8_t* at = p;
    std::uint64_t v;
    p = read_varint(p, end, v);
    if (p == nullptr) return kNever;
    bits += candidates_.varint_floor(v, static_cast<std::size_t>(p - at));
  }
  return bits;
}

double Ranges::value_floor(std::uint32_t field, std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end,
                           int depth) {
  std::uint64_t v;
  switch (wire) {
    case 0: {
      const std::uint8_t* after = read_varint(p, end, v);
      return after == nullptr ? 0.0 : candidates_.varint_floor(v, static_cast<std::size_t>(after - p));
    }
    case 1: return 64;
    case 5: return 32;
    case 2: {
      const std::uint8_t* content = read_varint(p, end, v);
      if (content == nullptr || v > static_cast<std::uint64_t>(end - content)) return 0;
      if (v == 0) return gamma_bits(1);
      return gamma_bits(v + 1) + floor(content, content + v, depth, candidates_.readings(tag_key(field, 2)));
    }
    case 3: {
      double bits = 0;
      return group_floor(p, end, field, depth, bits) != nullptr ? bits : 0.0;
    }
    default: return 0;
  }
}

const std::uint8_t* Ranges::group_floor(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field, int depth,
                                        double& floor) {
  floor = 0;
  if (depth > kMaxDepth) return nullptr;
  while (p < end) {
    if (!work_.spend(1)) return nullptr;
    const std::uint8_t* tag_at = p;
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) return nullptr;
    const std::uint64_t f = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (f == 0 || f > kMaxField || wire > 5) return nullptr;
    if (wire == 4) return f == field ? p : nullptr;
    double value = kNever;
    const bool declared = candidates_.readings(tag_key(static_cast<std::uint32_t>(f), wire)) != 0;
    if (wire == 3) {
      p = group_floor(p, end, static_cast<std::uint32_t>(f), depth + 1, value);
    } else {
      const std::uint8_t* value_at = p;
      p = skip_value(wire, p, end);
      if (p != nullptr && declared) value = value_floor(static_cast<std::uint32_t>(f), wire, value_at, p, depth + 1);
    }
    if (p == nullptr) return nullptr;
    // Declared, an extension or unknown.
    const double undeclared =
        undeclared_bits(static_cast<std::uint64_t>(p - tag_at), static_cast<std::uint32_t>(f), 1) +
        candidates_.least_number_bits(static_cast<std::uint32_t>(f));
    floor += declared ? std::min(value, undeclared) : undeclared;
  }
  return nullptr;  // the group never ends
}

const std::uint8_t* Ranges::skip_group(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field, int depth) {
  if (depth > kMaxDepth) return nullptr;
  while (p < end) {
    if (!work_.spend(1)) return nullptr;
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) return nullptr;
    const std::uint64_t f = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (f == 0 || f > kMaxField || wire > 5) return nullptr;
    if (wire == 4) return f == field ? p : nullptr;
    p = wire == 3 ? skip_group(p, end, static_cast<std::uint32_t>(f), depth + 1) : skip_value(wire, p, end);
    if (p == nullptr) return nullptr;
  }
  return nullptr;  // the group never ends
}

std::uint32_t Ranges::read_message(const std::uint8_t* p, const std::uint8_t* end, int depth, double& floor) {
  if (depth > kMaxDepth) return kNotWire;
  const bool long_range = end - p >= kLongRange;
  const std::size_t mark = fields_.size();
  const auto give_up = [&] {
    fields_.resize(mark);
    return kNotWire;
  };
  while (p < end) {
    if (!work_.spend(1)) return give_up();
    const std::uint8_t* tag_at = p;
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) return give_up();
    const std::uint64_t f = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (f == 0 || f > kMaxField || wire > 5 || wire == 4) return give_up();
    double value = 0, as_string = 0, as_bytes = 0;
    const std::uint8_t* value_at = p;
    Content content{0, 0, 0};
    const std::uint8_t readings = candidates_.readings(tag_key(static_cast<std::uint32_t>(f), wire));
    if (readings == 0) {
      // No node declares it: its value is never read.
      p = wire == 3 ? skip_group(p, end, static_cast<std::uint32_t>(f), depth + 1) : skip_value(wire, p, end);
    } else if (wire == 3) {
      p = group_floor(p, end, static_cast<std::uint32_t>(f), depth + 1, value);
      if (p != nullptr)
        content = Content{static_cast<std::uint32_t>(value_at - begin_),
                          static_cast<std::uint32_t>(p - begin_ - static_cast<std::ptrdiff_t>(varint_size(tag_key(static_cast<std::uint32_t>(f), 4)))), 0};
    } else {
      p = skip_value(wire, p, end);
      if (p != nullptr) value = value_floor(static_cast<std::uint32_t>(f), wire, value_at, p, depth + 1);
      if (p != nullptr && wire == 2) {
        std::uint64_t length = 0;
        const std::uint8_t* at = read_varint(value_at, p, length);
        content = Content{static_cast<std::uint32_t>(at - begin_), static_cast<std::uint32_t>(p - begin_),
                          static_cast<std::uint8_t>(at - value_at)};
        const double text = readings & (Candidates::kAsString | Candidates::kAsBytes) ? this->text(at, p) : -1;
        const double length_bits = gamma_bits(length + 1);
        as_string = length_bits + content_bits(text, length, true);
        as_bytes = length_bits + content_bits(text, length, false);
      } else if (p != nullptr && wire == 0) {
        content = Content{static_cast<std::uint32_t>(value_at - begin_), static_cast<std::uint32_t>(p - begin_), 0};
      }
    }
    if (p == nullptr) return give_up();
    const double opaque = undeclared_bits(static_cast<std::uint64_t>(p - tag_at), static_cast<std::uint32_t>(f), 1);
    const double undeclared = opaque + candidates_.least_number_bits(static_cast<std::uint32_t>(f));
    const double unknown = kUnknownNumberBits + opaque;
    // A field no node declares is undeclared under every node; a declared
    // one no declaring node can read costs, as a bound, what it would
    // unknown (so that sums stay finite).
    if (readings == 0) value = undeclared;
    fields_.push_back(Field{tag_key(static_cast<std::uint32_t>(f), wire), std::min(value, unknown), unknown, opaque,
                            std::min(value, undeclared), as_string, as_bytes, content});
  }
  Shape s{static_cast<std::uint32_t>(keys_.size()), 0, 0, depth};
  // A long range keeps, in the payload's order, what the fields after
  // each cost at least.
  const std::size_t after_before = after_.size();
  if (long_range) {
    s.after = static_cast<std::uint32_t>(after_before);
    after_.resize(after_before + (fields_.size() - mark));
    double rest = 0;
    for (std::size_t i = fields_.size(); i-- > mark;) {
      after_[after_before + (i - mark)] = rest;
      rest += fields_[i].any;
    }
  }
  // The fields by key, each key's summed.
  std::sort(fields_.begin() + static_cast<std::ptrdiff_t>(mark), fields_.end(),
            [](const Field& a, const Field& b) { return a.key < b.key; });
  const std::size_t contents_before = contents_.size();
  // A message of at least one field, read as any node: which fields it
  // uses costs at least the presence floor.
  floor = fields_.size() > mark ? candidates_.presence_floor() : 0.0;
  for (std::size_t i = mark; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    if (s.count == 0 || keys_.back().key != f.key) {
      keys_.push_back(ShapeKey{f.key, 0, static_cast<std::uint32_t>(contents_.size()), 0, 0, 0, 0, 0, 0});
      ++s.count;
    }
    ShapeKey& k = keys_.back();
    ++k.count;
    contents_.push_back(f.content);
    k.floor += f.floor;
    if (k.count > kBoundedValues) k.tail += f.floor;
    k.unknown += f.unknown;
    k.opaque += f.opaque;
    k.as_string += f.as_string;
    k.as_bytes += f.as_bytes;
    s.declared += f.floor;
    floor += f.any;
  }
  fields_.resize(mark);
  if (!work_.keep(sizeof(Shape) + s.count * sizeof(ShapeKey) + (contents_.size() - contents_before) * sizeof(Content) +
                  (after_.size() - after_before) * sizeof(double))) {
    keys_.resize(s.first);
    contents_.resize(contents_before);
    after_.resize(after_before);
    return kNotWire;
  }
  shapes_.push_back(s);
  return static_cast<std::uint32_t>(shapes_.size() - 1);
}

ShapeKey& Ranges::add_class_key(std::uint64_t key, std::uint32_t count, std::uint32_t& at) {
  // No tail is kept for it (below zero: ShapeKey::tail).
  keys_.push_back(ShapeKey{key, count, at, 0, 0, 0, 0, 0, count > kBoundedValues ? -1.0 : 0.0});
  at += count;
  return keys_.back();
}

void Ranges::rewind(const Shape& s) {
  for (std::uint32_t i = s.first; i < s.first + s.count; ++i) keys_[i].first -= keys_[i].count;
}

void Ranges::merge(std::size_t into, std::uint32_t one_at, Shape& shape) {
  const ShapeKey one = keys_[one_at];
  ShapeKey& all = keys_[into];
  std::copy_n(contents_.begin() + one.first, one.count, contents_.begin() + all.first);
  all.first += one.count;  // moved back once every member is in
  all.floor += one.floor;
  all.unknown += one.unknown;
  all.opaque += one.opaque;
  all.as_string += one.as_string;
  all.as_bytes += one.as_bytes;
  shape.declared += one.floor;
}

std::uint32_t Ranges::classify(std::span<const Content> values, std::uint8_t wire, int depth) {
  // Copied: reading the values' shapes may add contents.
  class_values_.assign(values.begin(), values.end());
  member_class_.clear();
  member_keys_.clear();
  struct Kind {
    std::uint64_t hash;
    std::uint32_t keys, count, members;  // keys [keys, keys + count) of the first member
    double lengths;
  };
  Kind kinds[kBoundedClasses];
  std::uint32_t kinds_used = 0;
  std::size_t fields = 0;
  for (const Content& c : class_values_) {
    const Shape* sub = shape(begin_ + c.begin, begin_ + c.end, depth);
    if (sub == nullptr) return kUnreadable;
    const Shape m = *sub;
    if (!work_.spend(1 + m.count / 4)) return kManyClasses;
    std::uint64_t hash = m.count;
    for (std::uint32_t i = m.first; i < m.first + m.count; ++i) hash = spread(hash ^ keys_[i].key) + keys_[i].count;
    std::uint32_t r = 0;
    const auto same = [&](const Kind& k) {
      if (k.hash != hash || k.count != m.count) return false;
      for (std::uint32_t i = 0; i < m.count; ++i)
        if (keys_[k.keys + i].key != keys_[m.first + i].key || keys_[k.keys + i].count != keys_[m.first + i].count)
          return false;
      return true;
    };
    while (r < kinds_used && !same(kinds[r])) ++r;
    if (r == kinds_used) {
      if (kinds_used == kBoundedClasses) return mixed_class(wire, depth);
      kinds[kinds_used++] = Kind{hash, m.first, m.count, 0, 0};
    }
    ++kinds[r].members;
    if (wire == 2) kinds[r].lengths += gamma_bits(c.end - c.begin + 1);
    member_class_.push_back(r);
    member_keys_.push_back(m.first);
    for (std::uint32_t i = m.first; i < m.first + m.count; ++i) fields += keys_[i].count;
  }
  std::size_t keys = 0;
  for (std::uint32_t r = 0; r < kinds_used; ++r) keys += kinds[r].count;
  if (!work_.keep(sizeof(ClassSet) + kinds_used * sizeof(Class) + keys * sizeof(ShapeKey) + fields * sizeof(Content)))
    return kManyClasses;
  // Each class's keys, their contents laid out member after member.
  const auto set = ClassSet{static_cast<std::uint32_t>(classes_.size()), kinds_used};
  std::uint32_t at = static_cast<std::uint32_t>(contents_.size());
  for (std::uint32_t r = 0; r < kinds_used; ++r) {
    const Kind& k = kinds[r];
    Class c{Shape{static_cast<std::uint32_t>(keys_.size()), k.count, 0, depth}, k.members, k.lengths};
    for (std::uint32_t i = 0; i < k.count; ++i)
      add_class_key(keys_[k.keys + i].key, keys_[k.keys + i].count * k.members, at);
    classes_.push_back(c);
  }
  contents_.resize(at);
  for (std::size_t j = 0; j < member_class_.size(); ++j) {
    Class& c = classes_[set.first + member_class_[j]];
    for (std::uint32_t i = 0; i < c.shape.count; ++i) merge(c.shape.first + i, member_keys_[j] + i, c.shape);
  }
  for (std::uint32_t r = 0; r < kinds_used; ++r) rewind(classes_[set.first + r].shape);
  sets_.push_back(set);
  return static_cast<std::uint32_t>(sets_.size() - 1);
}

std::uint32_t Ranges::mixed_class(std::uint8_t wire, int depth) {
  // Every value's keys, by key and, within a key, in the values' order.
  std::vector<std::pair<std::uint64_t, std::uint32_t>>& all = mixed_keys_;
  all.clear();
  double lengths = 0;
  std::size_t fields = 0;
  const auto mix = Mix{static_cast<std::uint32_t>(key_counts_.size()), 0};
  for (const Content& c : class_values_) {
    const Shape* sub = shape(begin_ + c.begin, begin_ + c.end, depth);
    if (sub == nullptr) return key_counts_.resize(mix.first), kUnreadable;
    const Shape m = *sub;
    if (!work_.spend(1 + m.count / 4)) return key_counts_.resize(mix.first), kManyClasses;
    if (wire == 2) lengths += gamma_bits(c.end - c.begin + 1);
    // (Few distinct numbers of keys: looked for among them.)
    auto seen = std::find_if(key_counts_.begin() + mix.first, key_counts_.end(),
                             [&](const auto& e) { return e.first == m.count; });
    if (seen == key_counts_.end()) key_counts_.emplace_back(m.count, 0), seen = key_counts_.end() - 1;
    ++seen->second;
    for (std::uint32_t i = m.first; i < m.first + m.count; ++i) {
      all.emplace_back(keys_[i].key, i);
      fields += keys_[i].count;
    }
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < all.size(); ++i) distinct += i == 0 || all[i].first != all[i - 1].first;
  if (!work_.keep(sizeof(ClassSet) + sizeof(Class) + distinct * sizeof(ShapeKey) + fields * sizeof(Content) +
                  (key_counts_.size() - mix.first) * sizeof(key_counts_[0])))
    return key_counts_.resize(mix.first), kManyClasses;
  mixes_.push_back(Mix{mix.first, static_cast<std::uint32_t>(key_counts_.size() - mix.first)});
  Class c{Shape{static_cast<std::uint32_t>(keys_.size()), static_cast<std::uint32_t>(distinct), 0, depth},
          static_cast<std::uint32_t>(class_values_.size()), lengths, static_cast<std::uint32_t>(mixes_.size() - 1)};
  // Each key's values together, then their contents and sums.
  std::uint32_t at = static_cast<std::uint32_t>(contents_.size());
  for (std::size_t i = 0; i < all.size();) {
    std::uint32_t count = 0;
    std::size_t j = i;
    for (; j < all.size() && all[j].first == all[i].first; ++j) count += keys_[all[j].second].count;
    add_class_key(all[i].first, count, at).holders = static_cast<std::uint32_t>(j - i);
    i = j;
  }
  contents_.resize(at);
  for (std::size_t i = 0, k = c.shape.first; i < all.size(); ++i) {
    if (i > 0 && all[i].first != all[i - 1].first) ++k;
    merge(k, all[i].second, c.shape);
  }
  rewind(c.shape);
  classes_.push_back(c);
  sets_.push_back(ClassSet{static_cast<std::uint32_t>(classes_.size() - 1), 1});
  return static_cast<std::uint32_t>(sets_.size() - 1);
}

double Ranges::bound(std::uint32_t node, Shape s, double limit, int levels, std::uint32_t members,
                     std::uint32_t mix) {
  const bool mixed = mix != Class::kNoMix;
  // The nested bounds below may add shapes, keys and contents: those of
  // `s` are read by index.
  const NodeInfo& n = candidates_.info(node);
  const Presence& presence = candidates_.presence();
  // The mask alone: keys certainly not declared cost what they cost
  // unknown (or as extensions, when the node has ranges: then this step
  // is left out). Only for nested bounds: bounding a whole value, it cut
  // one call in a thousand on Kubernetes objects and one in fifteen on
  // descriptor records, and cost a cache miss on the node's mask each.
  if (levels <= 1 && !candidates_.has_extensions(node)) {
    const Mask& mask = candidates_.mask(node);
    double bits = s.declared;
    std::uint32_t maybe = 0;
    for (std::uint32_t i = s.first; i < s.first + s.count; ++i) {
      const ShapeKey& k = keys_[i];
      if (mask.may_have(Mask::bit(k.key)))
        ++maybe;
      else
        bits += k.unknown - k.floor;
    }
    bits += presence.least(n.count, 0, maybe) * members;
    if (bits > limit) return bits;
  }
  work_.spend(1 + s.count / 4);
  // The transitions: each key declared (at its floor, or bounded as its
  // target when that reads fields), an extension or unknown; which fields
  // are used, how many values each has at least.
  const std::span<const Arc> arcs = candidates_.arcs(node);
  const auto count = static_cast<std::uint32_t>(arcs.size());
  double bits = 0, rest = s.declared;  // rest: the floors of the keys still to come
  std::uint32_t used = 0, required_seen = 0, from = 0;
  std::uint32_t last = count, values = 0;
  std::uint32_t holders_most = 0, holders_all = 0;  // of the keys counted in `values`, in a mixed class
  std::uint32_t declared_keys = 0;
  std::uint8_t label = 0;
  // (Each member of a class has as many values of each key.)
  const auto close = [&] {
    if (last == count) return;
    if (mixed) {
      bits += label == 2 ? static_cast<double>(holders_most)
                         : kExtraValueBits * static_cast<double>(values > holders_all ? values - holders_all : 0);
      return;
    }
    const std::uint32_t each = std::max<std::uint32_t>(values / members, 1);
    bits += members * (label == 2 ? gamma_bits(each) : kExtraValueBits * static_cast<double>(each - 1));
  };
  for (std::uint32_t i = s.first; i < s.first + s.count; ++i) {
    const ShapeKey k = keys_[i];
    rest -= k.floor;
    const std::uint32_t field = key_field(k.key);
    const std::uint8_t wire = key_wire(k.key);
    // Keys ascend, so the search goes on from the last one's place.
    from = first_arc(arcs, from, field);
    if (from < count && arcs[from].field == field) {
      const std::uint32_t ti = taking(arcs, from, wire);
      if (ti == count) return kNever;  // declared with another wire type
      const Arc& arc = arcs[ti];
      if (levels > 1 && arc.wire == wire && (wire == 2 || wire == 3) && has_fields(candidates_.info(arc.to).type)) {
        // Many values: by their classes, when they are few.
        std::uint32_t set = kManyClasses;
        if (k.count > kBoundedValues) {
          set = k.classes;
          if (set == kUnclassified)
            keys_[i].classes = set = classify(std::span(contents_).subspan(k.first, k.count), wire, s.depth + 1);
          if (set == kUnreadable) return kNever;
        }
        if (set < kManyClasses) {
          double inner = 0;
          for (std::uint32_t c = 0; c < sets_[set].count; ++c) {
            const Class one = classes_[sets_[set].first + c];  // copied: bounds may add classes
            inner += one.lengths + bound(arc.to, one.shape, limit - bits - rest - inner, levels - 1, one.members, one.mix);
            if (inner == kNever) return kNever;
            if (bits + inner + rest > limit) return bits + inner + rest;
          }
          bits += inner;
        } else if (k.tail < 0) {
          // A class's key of more classes: at its floor.
          bits += k.floor;
        } else {
          // Each of its first messages (or groups) as the arc's target, the
          // others at their floors.
          double inner = k.tail;
          for (std::uint32_t j = 0; j < std::min(k.count, kBoundedValues); ++j) {
            const Content& c = contents_[k.first + j];
            const Shape* sub = shape(begin_ + c.begin, begin_ + c.end, s.depth + 1);
            if (sub == nullptr) return kNever;
            if (wire == 2) inner += gamma_bits(c.end - c.begin + 1);
            inner += bound(arc.to, *sub, limit - bits - rest - inner, levels - 1);
            if (inner == kNever) return kNever;
            if (bits + inner + rest > limit) return bits + inner + rest;
          }
          bits += inner;
        }
      } else if (arc.wire == wire && wire == 2 && !has_fields(candidates_.info(arc.to).type)) {
        // A string or bytes field: exactly.
        const double exact = candidates_.info(arc.to).is_string ? k.as_string : k.as_bytes;
        if (exact == kNever) return kNever;  // not UTF-8: a string cannot hold it
        bits += exact;
      } else if (arc.wire == wire && wire == 0 && k.count <= kExactVarints) {
        // A varint field: each value as the arc's leaf prices it.
        const NodeInfo& leaf = candidates_.info(arc.to);
        for (std::uint32_t j = 0; j < k.count; ++j) {
          const Content& c = contents_[k.first + j];
          std::uint64_t v = 0;
          read_varint(begin_ + c.begin, begin_ + c.end, v);
          bool outside;
          bits += candidates_.varint_bits(leaf, v, c.end - c.begin, outside);
        }
      } else if ((arc.wire == wire && wire == 0 && k.count >= kRunFrom) || (arc.wire == 0 && wire == 2)) {
        // Many varints, or packed runs of them: by one run, made once (with
        // the packed runs' lengths).
        std::uint32_t run = k.run;
        if (run == kUnclassified && k.count == 1 && wire == 2) {
          // One packed run: the one its parses are priced from.
          keys_[i].run = run = packed_run(begin_ + contents_[k.first].begin, begin_ + contents_[k.first].end);
        } else if (run == kUnclassified) {
          run_parts_.clear();
          for (std::uint32_t j = 0; j < k.count; ++j)
            run_parts_.emplace_back(begin_ + contents_[k.first + j].begin, begin_ + contents_[k.first + j].end);
          keys_[i].run = run = run_of_all(run_parts_);
        }
        std::uint32_t values = 0;
        bool exact = true;
        const double b = run_bits(run, candidates_.info(arc.to), values, exact);
        bits += b == kNever ? k.floor : wire == 2 ? runs_[run].lengths + b : b;
      } else {
        bits += k.floor;
      }
      ++declared_keys;
      if (ti != last) {
        close();
        last = ti;
        values = holders_most = holders_all = 0;
        label = arc.label;
        ++used;
        required_seen += label == 1;
      }
      if (wire == arc.wire) {
        values += k.count;
        holders_most = std::max(holders_most, k.holders);
        holders_all += k.holders;
      }
    } else if (const double e = candidates_.extension_bits(node, field); e >= 0) {
      bits += e * k.count + k.opaque;
    } else {
      bits += k.unknown;
    }
    if (bits + rest > limit) return bits + rest;
  }
  close();
  bits += members * kEscapeBits * static_cast<double>(n.required - required_seen);
  if (!mixed) return bits + members * presence.bits(n.count, used);
  // A member of k keys uses at most k of the fields used, and at least k
  // less the keys no field takes and those that share a field with
  // another.
  const std::uint32_t loose = (s.count - declared_keys) + (declared_keys - used);
  for (std::uint32_t i = mixes_[mix].first; i < mixes_[mix].first + mixes_[mix].count; ++i) {
    const auto [k, n_members] = key_counts_[i];
    bits += n_members * presence.least(n.count, k > loose ? k - loose : 0, std::min(k, used));
  }
  return bits;
}

}  // namespace korvex::identify
