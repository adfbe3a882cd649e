#include "identify/match.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string_view>


namespace korvex::identify {

namespace {

const double kUnknownNumberBits = std::log2(static_cast<double>(kMaxField));

// Reads a varint of at most ten bytes; bits past the 64th of a tenth byte
// are dropped, as protobuf does. nullptr when truncated or longer.
inline const std::uint8_t* read_varint(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t& out) noexcept {
  if (p < end && *p < 0x80) {
    out = *p;
    return p + 1;
  }
  std::uint64_t v = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (p == end) return nullptr;
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) {
      out = v;
      return p;
    }
  }
  return nullptr;
}

inline bool takes(const serial::Transition& t, std::uint8_t wire) noexcept {
  return t.wire_type == wire || (wire == 2 && packable(t.label, t.wire_type));
}

// The first transition on `field`, or declared.size(). Fields mostly come
// in declaration order, a repeated one several times in a row: the
// transition at `hint` (the one after the previous field's) and the one
// before it are tried before a binary search.
std::uint32_t find_field(const serial::Records<serial::Transition>& declared, std::uint32_t field,
                         std::uint32_t hint) noexcept {
  const auto count = static_cast<std::uint32_t>(declared.size());
  std::uint32_t ti;
  if (hint < count && declared[hint].field == field) {
    ti = hint;
  } else if (hint > 0 && hint - 1 < count && declared[hint - 1].field == field) {
    ti = hint - 1;
  } else {
    std::uint32_t lo = 0, hi = count;
    while (lo < hi) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      if (declared[mid].field < field)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo < count && declared[lo].field == field ? lo : count;
  }
  while (ti > 0 && declared[ti - 1].field == field) --ti;
  return ti;
}

// Of the transitions on one field starting at ti (a field may repeat in a
// node), the first that takes `wire`; declared.size() when none does.
std::uint32_t taking(const serial::Records<serial::Transition>& declared, std::uint32_t ti, std::uint8_t wire) noexcept {
  const auto count = static_cast<std::uint32_t>(declared.size());
  const std::uint32_t field = declared[ti].field;
  for (; ti < count && declared[ti].field == field; ++ti)
    if (takes(declared[ti], wire)) return ti;
  return count;
}

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

// Where an empty payload without storage points: the parse reports failure
// as nullptr, so positions must never be null.
constexpr std::uint8_t kNoBytes[1] = {0};

constexpr std::size_t kMaxEdges = std::size_t{1} << 17;
constexpr std::size_t kMaxMemo = std::size_t{1} << 17;

}  // namespace

Matcher::Matcher(const Candidates& candidates, std::span<const std::uint8_t> payload, const TopLevel& top, Work& work)
    : candidates_(candidates),
      graph_(candidates.graph()),
      begin_(payload.data() != nullptr ? payload.data() : kNoBytes),
      end_(begin_ + payload.size()),
      top_(top),
      work_(work),
      ranges_(candidates, begin_, work) {
  levels_.resize(kMaxDepth + 1);  // never again: frames hold references to their level
  // Both memos start small and double when half full, up to a cap past
  // which they take no more entries.
  memo_.resize(256);
  edges_.resize(std::bit_ceil(std::clamp<std::size_t>(top.tags.size() * 256, 1024, kMaxEdges)));
}

// ------------------------------------------------------------------ values --

void Matcher::varint_value(const serial::Node& leaf, std::uint64_t v, std::size_t length,
                           Tally& tally) const noexcept {
  const double bytes = kVarintByteBits * static_cast<double>(length);
  switch (leaf.type) {
    case 8:
      if (v <= 0xFFFFFFFFu) return void(tally.bits += kLength32u + bytes);
      break;
    case 9:
      // Non-negative below 2^31, or a negative int32 sign-extended to 64 bits.
      if (v < (std::uint64_t{1} << 31) || v >= ~std::uint64_t{0} - 0x7FFFFFFFu)
        return void(tally.bits += kLength32 + bytes);
      break;
    default:
      if (leaf.range == serial::kNoIndex) return void(tally.bits += kLength64 + bytes);
      if (leaf.range < graph_.leaf_ranges().size()) {
        const serial::LeafRange r = graph_.leaf_ranges()[leaf.range];
        const auto s = static_cast<std::int64_t>(v);
        if (r.lo <= s && s <= r.hi) return void(tally.bits += candidates_.range_bits(leaf.range));
      }
      break;
  }
  // Outside the type's range: an unknown enum value, or a number the field
  // cannot hold. The escape, then a plain 64-bit varint.
  ++tally.out_of_range;
  tally.bits += kEscapeBits + kLength64 + bytes;
}

const std::uint8_t* Matcher::value(const serial::Transition& t, std::uint8_t wire, const std::uint8_t* p,
                                   const std::uint8_t* end, int depth, Tally& tally, std::uint32_t& values,
                                   double limit) {
  const serial::Node leaf = graph_.node(t.to);
  std::uint64_t v;
  if (wire != t.wire_type) {
    // A packed run: values of the field's own wire type filling the run.
    p = read_varint(p, end, v);
    if (p == nullptr || v > static_cast<std::uint64_t>(end - p)) return nullptr;
    const std::uint8_t* run_end = p + v;
    tally.bits += gamma_bits(v + 1);
    if (!work_.spend(1 + v / 4)) return abandon();
    if (t.wire_type == 0) {
      while (p < run_end) {
        const std::uint8_t* at = p;
        std::uint64_t x;
        p = read_varint(p, run_end, x);
        if (p == nullptr) return nullptr;
        varint_value(leaf, x, static_cast<std::size_t>(p - at), tally);
        ++values;
      }
      return p;
    }
    const std::uint64_t width = t.wire_type == 1 ? 8 : 4;
    if (v % width != 0) return nullptr;
    values += static_cast<std::uint32_t>(v / width);
    tally.bits += 8 * static_cast<double>(v);
    return run_end;
  }
  ++values;
  switch (wire) {
    case 0: {
      const std::uint8_t* at = p;
      p = read_varint(p, end, v);
      if (p != nullptr) varint_value(leaf, v, static_cast<std::size_t>(p - at), tally);
      return p;
    }
    case 1:
      if (end - p < 8) return nullptr;
      tally.bits += 64;
      return p + 8;
    case 5:
      if (end - p < 4) return nullptr;
      tally.bits += 32;
      return p + 4;
    case 2: {
      p = read_varint(p, end, v);
      if (p == nullptr || v > static_cast<std::uint64_t>(end - p)) return nullptr;
      const std::uint8_t* content_end = p + v;
      tally.bits += gamma_bits(v + 1);
      if (leaf.type == 10) return nested(t.to, p, content_end, 0, depth + 1, tally, limit - tally.bits);
      if (leaf.is_string) {
        const double text = ranges_.text(p, content_end);
        if (text < 0) return nullptr;  // not UTF-8
        tally.bits += text;
      } else {
        // Bytes are text or opaque, one bit says which.
        const double text = ranges_.text(p, content_end);
        const double opaque = kOpaqueBits * static_cast<double>(v);
        tally.bits += 1 + (text >= 0 ? std::min(text, opaque) : opaque);
      }
      return content_end;
    }
    case 3: return nested(t.to, p, end, t.field, depth + 1, tally, limit - tally.bits);
    default: return nullptr;
  }
}

bool Matcher::undeclared(std::uint32_t node, std::uint32_t field, std::uint64_t occurrences, std::uint64_t bytes,
                         Tally& tally) const noexcept {
  const serial::Records<serial::ExtensionRange> ranges = graph_.ext_ranges_of(node);
  std::size_t lo = 0, hi = ranges.size();
  while (lo < hi) {  // the first range whose hi is at least `field`
    const std::size_t mid = lo + (hi - lo) / 2;
    if (ranges[mid].hi < field)
      lo = mid + 1;
    else
      hi = mid;
  }
  const bool extension = lo < ranges.size() && ranges[lo].lo <= field;
  double number_bits = kUnknownNumberBits;
  if (extension) {
    number_bits = std::log2(static_cast<double>(ranges[lo].hi - ranges[lo].lo) + 1.0);
    tally.extension_fields += static_cast<std::uint32_t>(occurrences);
  } else {
    tally.unknown_fields += static_cast<std::uint32_t>(occurrences);
  }
  tally.bits += number_bits * static_cast<double>(occurrences) + kOpaqueBits * static_cast<double>(bytes);
  return extension;
}

double Matcher::count_bits(std::uint8_t label, std::uint32_t values) const noexcept {
  if (label == 2) return gamma_bits(std::max<std::uint32_t>(values, 1));
  return values > 1 ? kExtraValueBits * static_cast<double>(values - 1) : 0.0;
}

void Matcher::settle(std::uint32_t declared, std::uint32_t used, std::uint32_t required, std::uint32_t required_seen,
                     Tally& tally) const noexcept {
  tally.bits += std::log2(static_cast<double>(declared) + 1) + candidates_.log2_factorial(declared) -
                candidates_.log2_factorial(used) - candidates_.log2_factorial(declared - used);
  tally.missing_required += required - required_seen;
  tally.bits += kEscapeBits * static_cast<double>(required - required_seen);
}

// ------------------------------------------------------------------ skips --

const std::uint8_t* Matcher::skip_group(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field,
                                        int depth) const noexcept {
  if (depth > kMaxDepth) return nullptr;
  while (p < end) {
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) return nullptr;
    const std::uint64_t f = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (f == 0 || f > kMaxField) return nullptr;
    if (wire == 4) return f == field ? p : nullptr;
    p = skip(p, end, static_cast<std::uint32_t>(f), wire, depth);
    if (p == nullptr) return nullptr;
  }
  return nullptr;  // the group never ends
}

const std::uint8_t* Matcher::skip(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field,
                                  std::uint8_t wire, int depth) const noexcept {
  std::uint64_t v;
  switch (wire) {
    case 0: return read_varint(p, end, v);
    case 1: return end - p >= 8 ? p + 8 : nullptr;
    case 5: return end - p >= 4 ? p + 4 : nullptr;
    case 2:
      p = read_varint(p, end, v);
      return p != nullptr && v <= static_cast<std::uint64_t>(end - p) ? p + v : nullptr;
    case 3: return skip_group(p, end, field, depth + 1);
    default: return nullptr;
  }
}

// ---------------------------------------------------------------- nesting --

const std::uint8_t* Matcher::nested(std::uint32_t node, const std::uint8_t* p, const std::uint8_t* end,
                                    std::uint32_t group_field, int depth, Tally& tally, double limit) {
  if (depth > kMaxDepth) return nullptr;
  if (depth == 1) {
    // The root's values: the edge memo already holds them by (tag, target).
    Tally inner;
    const std::uint8_t* after = fields(node, p, end, group_field, depth, inner, limit);
    if (after != nullptr) tally.add(inner);
    return after;
  }
  // A group's end is found by the parse, so its key holds the field number
  // where a message's holds its end.
  const std::uint64_t a = std::uint64_t{node} << 32 | static_cast<std::uint64_t>(p - begin_);
  const std::uint64_t b = (group_field != 0 ? std::uint64_t{group_field} : static_cast<std::uint64_t>(end - begin_))
                              << 32 |
                          static_cast<std::uint64_t>(depth) << 1 | (group_field != 0 ? 1 : 0);
  const std::size_t mask = memo_.size() - 1;
  for (std::size_t slot = mix(a, b) & mask; memo_[slot].used; slot = (slot + 1) & mask) {
    const Memo& e = memo_[slot];
    if (e.a == a && e.b == b) {
      if (e.end == kFailed) return nullptr;
      tally.add(e.tally);
      return begin_ + e.end;
    }
  }
  Tally inner;
  const std::uint8_t* after = fields(node, p, end, group_field, depth, inner, limit);
  if (after == nullptr && abandoned_) return nullptr;
  if (memo_used_ >= memo_.size() / 2 && memo_.size() < kMaxMemo) grow_memo();
  if (memo_used_ < memo_.size() / 2) {
    // The parse may have filled slots on this key's probe path (or grown
    // the table): find the first free one now.
    const std::size_t now = memo_.size() - 1;
    std::size_t slot = mix(a, b) & now;
    while (memo_[slot].used) slot = (slot + 1) & now;
    ++memo_used_;
    memo_[slot] = Memo{a, b, true, after != nullptr ? static_cast<std::uint32_t>(after - begin_) : kFailed, inner};
  }
  if (after != nullptr) tally.add(inner);
  return after;
}

const std::uint8_t* Matcher::fields(std::uint32_t node_id, const std::uint8_t* p, const std::uint8_t* end,
                                    std::uint32_t group_field, int depth, Tally& tally, double limit) {
  const serial::Node node = graph_.node(node_id);
  const serial::Records<serial::Transition> declared =
      graph_.transitions().sub(node.first_transition, node.transition_count);
  const auto count = static_cast<std::uint32_t>(declared.size());
  Level& lv = levels_[static_cast<std::size_t>(depth)];
  if (lv.counts.size() < count) lv.counts.resize(count, 0);
  const std::uint8_t* result = nullptr;
  std::uint32_t hint = 0;

  while (true) {
    if (p == end) {
      if (group_field == 0) result = p;
      break;
    }
    if (!work_.spend(1)) {
      abandoned_ = true;
      break;
    }
    const std::uint8_t* tag_at = p;
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) break;
    const std::uint64_t f64 = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (f64 == 0 || f64 > kMaxField || wire > 5) break;
    const auto field = static_cast<std::uint32_t>(f64);
    if (wire == 4) {
      if (field == group_field) result = p;
      break;
    }
    std::uint32_t ti = find_field(declared, field, hint);
    if (ti < count) {
      ti = taking(declared, ti, wire);
      if (ti == count) break;  // a declared field with a wire type it cannot take
      hint = ti + 1;
      std::uint32_t values = 0;
      p = value(declared[ti], wire, p, end, depth, tally, values, limit);
      if (p == nullptr) break;
      // counts hold values + 1 from the first occurrence on, so that an
      // empty packed run still marks the field used.
      if (lv.counts[ti] == 0) {
        lv.touched.push_back(ti);
        lv.counts[ti] = 1;
      }
      lv.counts[ti] += values;
    } else {
      p = skip(p, end, field, wire, depth);
      if (p == nullptr) break;
      undeclared(node_id, field, 1, static_cast<std::uint64_t>(p - tag_at), tally);
    }
    if (tally.bits > limit) {
      abandoned_ = true;
      break;
    }
  }

  std::uint32_t required_seen = 0;
  for (const std::uint32_t ti : lv.touched) {
    const serial::Transition t = declared[ti];
    tally.bits += count_bits(t.label, lv.counts[ti] - 1);
    required_seen += t.label == 1;
    lv.counts[ti] = 0;
  }
  const auto used = static_cast<std::uint32_t>(lv.touched.size());
  lv.touched.clear();
  if (result == nullptr) return nullptr;
  settle(count, used, candidates_.required_count(node_id), required_seen, tally);
  return result;
}

// ------------------------------------------------------------------- roots --

const Matcher::Edge* Matcher::edge(std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit) {
  const std::uint64_t key = std::uint64_t{tag} << 33 | std::uint64_t{to} << 1 | (label == 2 ? 1 : 0);
  const std::size_t mask = edges_.size() - 1;
  std::size_t slot = mix(key, 0x5A17) & mask;
  while (edges_[slot].state != State::empty && edges_[slot].key != key) slot = (slot + 1) & mask;
  Edge& e = edges_[slot];
  if (e.state == State::parsed || e.state == State::failed) return &e;
  // Abandoned under a limit at least as large: it would be again.
  if (e.state == State::abandoned && e.reached >= limit) return &e;
  if (e.state == State::empty) {
    if (edges_used_ >= edges_.size() / 2) {
      if (edges_.size() >= kMaxEdges) {
        spare_ = Edge{};  // full: judged, remembered nowhere
        spare_.key = key;
        return judge(spare_, tag, to, label, limit);
      }
      grow_edges();
      return edge(tag, to, label, limit);
    }
    ++edges_used_;
    e.key = key;
  }
  return judge(e, tag, to, label, limit);
}

bool Matcher::can_read(std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit) {
  abandoned_ = false;
  return edge(tag, to, label, limit)->state != State::failed;
}

void Matcher::grow_memo() {
  std::vector<Memo> old(memo_.size() * 2);
  old.swap(memo_);
  const std::size_t mask = memo_.size() - 1;
  for (const Memo& e : old) {
    if (!e.used) continue;
    std::size_t slot = mix(e.a, e.b) & mask;
    while (memo_[slot].used) slot = (slot + 1) & mask;
    memo_[slot] = e;
  }
}

void Matcher::grow_edges() {
  std::vector<Edge> old(edges_.size() * 2);
  old.swap(edges_);
  const std::size_t mask = edges_.size() - 1;
  for (const Edge& e : old) {
    if (e.state == State::empty) continue;
    std::size_t slot = mix(e.key, 0x5A17) & mask;
    while (edges_[slot].state != State::empty) slot = (slot + 1) & mask;
    edges_[slot] = e;
  }
}

const Matcher::Edge* Matcher::judge(Edge& e, std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit) {
  const TagGroup& g = top_.tags[tag];
  const std::uint8_t wire = key_wire(g.key);
  const serial::Transition t{0, key_field(g.key), label, serial::wire_type_of(graph_.node(to).type), false, to};
  Tally tally;
  std::uint32_t values = 0;
  for (std::uint32_t i = 0; i < g.count; ++i) {
    const Occurrence& o = top_.occurrences[g.first + i];
    // A group finds its own end tag; every other value ends where the scan
    // saw it end.
    const std::uint8_t* after =
        work_.spend(1) ? value(t, wire, begin_ + o.value, wire == 3 ? end_ : begin_ + o.end, 0, tally, values, limit)
                       : abandon();
    if (after == nullptr || tally.bits > limit) {
      if (after != nullptr || abandoned_) {
        e.state = State::abandoned;
        e.reached = limit;  // its cost is above this
      } else {
        e.state = State::failed;
      }
      return &e;
    }
  }
  e.state = State::parsed;
  e.values = values;
  e.tally = tally;
  return &e;
}

template <class Resolve>
Matcher::Outcome Matcher::evaluate(std::uint32_t node, std::uint32_t declared, std::uint32_t required, double limit,
                                   Tally& tally, const Resolve& resolve) {
  tally = Tally{};
  abandoned_ = false;
  used_.clear();
  for (std::uint32_t g = 0; g < top_.tags.size(); ++g) {
    const TagGroup& group = top_.tags[g];
    const Resolved r = resolve(g);
    if (r.how == Resolved::fails) return Outcome::failed;
    if (r.how == Resolved::declared) {
      const Edge* e = edge(g, r.taken.to, r.taken.label, limit - tally.bits);
      if (e->state == State::failed) return Outcome::failed;
      if (e->state == State::abandoned) return Outcome::abandoned;
      tally.add(e->tally);
      // Tags of one field are neighbours, so are their transitions.
      if (!used_.empty() && used_.back().transition == r.taken.transition)
        used_.back().values += e->values;
      else
        used_.push_back({r.taken.transition, e->values, r.taken.label});
    } else {
      undeclared(node, key_field(group.key), group.count, group.bytes, tally);
    }
    if (tally.bits > limit) return Outcome::abandoned;
  }
  std::uint32_t required_seen = 0;
  for (const Used& u : used_) {
    tally.bits += count_bits(u.label, u.values);
    required_seen += u.label == 1;
  }
  settle(declared, static_cast<std::uint32_t>(used_.size()), required, required_seen, tally);
  return Outcome::parsed;
}

Matcher::Outcome Matcher::root(std::uint32_t candidate, std::span<const Taken* const> taken, double limit,
                               Tally& tally) {
  return evaluate(candidates_.node(candidate), candidates_.declared(candidate), candidates_.required(candidate), limit,
                  tally, [&](std::uint32_t g) {
                    return taken[g] != nullptr ? Resolved{Resolved::declared, *taken[g]}
                                               : Resolved{Resolved::undeclared, {}};
                  });
}

}  // namespace korvex::identify
