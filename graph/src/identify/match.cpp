#include "identify/match.hpp"

#include <algorithm>
#include <bit>

namespace korvex::identify {

namespace {

// The first arc on `field`, or arcs.size(). Fields mostly come in
// declaration order, a repeated one several times in a row: the arc at
// `hint` (the one after the previous field's) and the one before it are
// tried before a binary search.
std::uint32_t find_field(std::span<const Arc> arcs, std::uint32_t field, std::uint32_t hint) noexcept {
  const auto count = static_cast<std::uint32_t>(arcs.size());
  std::uint32_t ti;
  if (hint < count && arcs[hint].field == field) {
    ti = hint;
  } else if (hint > 0 && hint - 1 < count && arcs[hint - 1].field == field) {
    ti = hint - 1;
  } else {
    const std::uint32_t at = first_arc(arcs, 0, field);
    return at < count && arcs[at].field == field ? at : count;
  }
  while (ti > 0 && arcs[ti - 1].field == field) --ti;
  return ti;
}

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept { return spread(a ^ spread(b)); }

// Where an empty payload without storage points: the parse reports failure
// as nullptr, so positions must never be null.
constexpr std::uint8_t kNoBytes[1] = {0};

// Packed runs of this many bytes or more are priced from their histogram.
constexpr std::ptrdiff_t kLongRun = 64;
constexpr std::size_t kMaxMemo = std::size_t{1} << 17;

}  // namespace

Matcher::Matcher(const Candidates& candidates, std::span<const std::uint8_t> payload, const TopLevel& top, Work& work)
    : candidates_(candidates),
      begin_(payload.data() != nullptr ? payload.data() : kNoBytes),
      end_(begin_ + payload.size()),
      top_(top),
      work_(work),
      ranges_(candidates, begin_, end_, work) {
  levels_.resize(kMaxDepth + 1);  // never again: frames hold references to their level
  // Both memos double when half full, up to a cap past which they take no
  // more entries. The edges start with room for 8 a tag: each target
  // group whose values are parsed is one (a leaf of one varint or of text
  // is priced without), some 2 a descriptor record, 13 a Kubernetes
  // object or a Pub/Sub message.
  memo_.resize(64);
  edge_slots_.resize(std::bit_ceil(std::clamp<std::size_t>(top.tags.size() * 16, 64, kMaxEdges)));
  edges_.reserve(edge_slots_.size() / 2);
}

// ------------------------------------------------------------------ values --

void Matcher::varint_value(const NodeInfo& leaf, std::uint64_t v, std::size_t length, Tally& tally) const noexcept {
  bool outside;
  tally.bits += candidates_.varint_bits(leaf, v, length, outside);
  tally.out_of_range += outside;
}

const std::uint8_t* Matcher::value(const Arc& t, std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end,
                                   int depth, Tally& tally, std::uint32_t& values, double limit) {
  const NodeInfo& leaf = candidates_.info(t.to);
  std::uint64_t v;
  if (wire != t.wire) {
    // A packed run: values of the field's own wire type filling the run.
    p = read_varint(p, end, v);
    if (p == nullptr || v > static_cast<std::uint64_t>(end - p)) return nullptr;
    const std::uint8_t* run_end = p + v;
    tally.bits += gamma_bits(v + 1);
    if (!work_.spend(1 + v / 4)) return abandon();
    if (t.wire == 0) {
      // A long run read whole before (by a bound, or by parses between
      // them): priced from the histogram of its values, made once for
      // every target that reads it, and from its bytes for a range that
      // cuts a class of values. Not a run of varints, it fails here.
      const std::uint8_t* const run_start = p;
      const bool long_run = run_end - p >= kLongRun;
      if (long_run) {
        std::uint32_t count = 0, outside = 0;
        bool exact = false;
        const double bits = ranges_.packed_bits(p, run_end, leaf, count, exact, outside);
        if (bits == Ranges::kNoRun) return nullptr;
        if (exact && bits < kNever) {
          tally.bits += bits;
          tally.out_of_range += outside;
          values += count;
          return run_end;
        }
      }
      // Runs of bytes read as varints are mostly one-byte values.
      const double* one_byte = candidates_.one_byte_integers(leaf);
      // A bool or enum run: a one-byte value is inside the range or not.
      const bool ranged = one_byte == nullptr && leaf.range != serial::kNoIndex;
      const serial::LeafRange range = ranged ? candidates_.leaf_range(leaf.range) : serial::LeafRange{};
      // (Without branches: in text read so, in and out alternate at random.)
      const double price[2] = {kEscapeBits + kLength64 + kVarintByteBits,
                               ranged ? candidates_.range_bits(leaf.range) : 0};
      while (p < run_end) {
        // Prices only add up: past the limit, the rest of a long run need
        // not be read.
        if (tally.bits > limit) {
          if (long_run) ranges_.read(run_start, run_end, p - run_start);
          return abandon();
        }
        // Eight one-byte values at once, when the sums before each of them
        // stay within the limit (as they grow, the one before the eighth
        // tells): the same sums and counts without a chain of additions.
        if (ranged && run_end - p >= 8 && eight_one_byte_varints(p)) {
          unsigned in = 0;
          for (int i = 0; i < 7; ++i) in += range.lo <= p[i] && p[i] <= range.hi;
          if (tally.bits + (in * price[1] + (7 - in) * price[0]) <= limit) {
            in += range.lo <= p[7] && p[7] <= range.hi;
            tally.bits += in * price[1] + (8 - in) * price[0];
            tally.out_of_range += 8 - in;
            values += 8;
            p += 8;
            continue;
          }
        }
        if (ranged && *p < 0x80) {
          const std::int64_t s = *p++;
          const bool in = range.lo <= s && s <= range.hi;
          tally.bits += price[in];
          tally.out_of_range += !in;
          ++values;
          continue;
        }
        if (one_byte != nullptr && run_end - p >= 8 && eight_one_byte_varints(p)) {
          for (int i = 0; i < 8; ++i) tally.bits += one_byte[p[i]];
          values += 8;
          p += 8;
          continue;
        }
        if (one_byte != nullptr && *p < 0x80) {
          tally.bits += one_byte[*p++];
          ++values;
          continue;
        }
        const std::uint8_t* at = p;
        std::uint64_t x;
        p = read_varint(p, run_end, x);
        if (p == nullptr) {
          if (long_run) ranges_.read(run_start, run_end, at - run_start);
          return nullptr;
        }
        varint_value(leaf, x, static_cast<std::size_t>(p - at), tally);
        ++values;
      }
      if (long_run) ranges_.read(run_start, run_end, run_end - run_start);
      return p;
    }
    const std::uint64_t width = t.wire == 1 ? 8 : 4;
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
      const double bits = ranges_.leaf_content(p, content_end, leaf.is_string);
      if (bits == kNever) return nullptr;  // a string not UTF-8
      tally.bits += bits;
      return content_end;
    }
    case 3: return nested(t.to, p, end, t.field, depth + 1, tally, limit - tally.bits);
    default: return nullptr;
  }
}

bool Matcher::undeclared(std::uint32_t node, std::uint32_t field, std::uint64_t occurrences, std::uint64_t bytes,
                         Tally& tally) const noexcept {
  const double extension = candidates_.extension_bits(node, field);
  if (extension >= 0)
    tally.extension_fields += static_cast<std::uint32_t>(occurrences);
  else
    tally.unknown_fields += static_cast<std::uint32_t>(occurrences);
  const double number = extension >= 0 ? extension : kUnknownNumberBits;
  tally.bits += number * static_cast<double>(occurrences) + undeclared_bits(bytes, field, occurrences);
  return extension >= 0;
}

void Matcher::settle(std::uint32_t declared, std::uint32_t used, std::uint32_t required, std::uint32_t required_seen,
                     Tally& tally) const noexcept {
  tally.bits += candidates_.presence().bits(declared, used);
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
  return wire == 3 ? skip_group(p, end, field, depth + 1) : skip_value(wire, p, end);
}

// ---------------------------------------------------------------- nesting --

// Only a long range (Ranges::kLongRange) is bounded before it is parsed and
// its parse remembered. (From 32 bytes on, a list of tiny messages read
// through many targets spent more on those than on its parses; from 1 KB
// on, Kubernetes objects took 4.6% fewer instructions than from 32 bytes,
// descriptor records 1.2%, and nothing took more.)
constexpr std::ptrdiff_t kBoundFrom = Ranges::kLongRange;

const std::uint8_t* Matcher::nested(std::uint32_t node, const std::uint8_t* p, const std::uint8_t* end,
                                    std::uint32_t group_field, int depth, Tally& tally, double limit) {
  if (depth > kMaxDepth) return nullptr;
  // A group's end is found by the parse, so its key holds the field number
  // where a message's holds its end.
  const std::uint64_t a = std::uint64_t{node} << 32 | static_cast<std::uint64_t>(p - begin_);
  const std::uint64_t b = (group_field != 0 ? std::uint64_t{group_field} : static_cast<std::uint64_t>(end - begin_))
                              << 32 |
                          static_cast<std::uint64_t>(depth) << 1 | (group_field != 0 ? 1 : 0);
  // Small messages are parsed again rather than remembered (a list of
  // them read through many targets filled the memo with parses of one use).
  const bool memo = depth > 1 && (group_field != 0 || end - p >= kBoundFrom);
  if (memo) {
    const std::size_t mask = memo_.size() - 1;
    for (std::size_t slot = mix(a, b) & mask; memo_[slot].used; slot = (slot + 1) & mask) {
      const Memo& e = memo_[slot];
      if (e.a == a && e.b == b) {
        if (e.end == kFailed) return nullptr;
        tally.add(e.tally);
        return begin_ + e.end;
      }
    }
  }
  // A message whose range cannot come under the limit as this node (or
  // cannot be read by it at all) is not parsed.
  std::uint32_t after = Shape::kNoFloors;
  if (group_field == 0 && limit < kNever && end - p >= kBoundFrom) {
    const Shape* shape = ranges_.shape(p, end, depth);
    if (shape != nullptr) after = shape->after;
    const double bound = shape != nullptr ? ranges_.bound(node, *shape, limit) : kNever;
    if (bound == kNever) {
      if (memo) remember(a, b, nullptr, Tally{});
      return nullptr;
    }
    if (bound > limit) return abandon();
  }
  Tally inner;
  const std::uint8_t* past = fields(node, p, end, group_field, depth, inner, limit, after);
  if (past == nullptr && abandoned_) return nullptr;
  // The root's own values are remembered by the edge memo instead.
  if (memo) remember(a, b, past, inner);
  if (past != nullptr) tally.add(inner);
  return past;
}

void Matcher::remember(std::uint64_t a, std::uint64_t b, const std::uint8_t* after, const Tally& inner) {
  if (memo_used_ >= memo_.size() / 2 && memo_.size() < kMaxMemo) grow_memo();
  if (memo_used_ >= memo_.size() / 2) return;
  // The parse may have filled slots on this key's probe path (or grown the
  // table): the first free one now.
  const std::size_t mask = memo_.size() - 1;
  std::size_t slot = mix(a, b) & mask;
  while (memo_[slot].used) {
    if (memo_[slot].a == a && memo_[slot].b == b) return;
    slot = (slot + 1) & mask;
  }
  ++memo_used_;
  memo_[slot] = Memo{a, b, true, after != nullptr ? static_cast<std::uint32_t>(after - begin_) : kFailed, inner};
}

const std::uint8_t* Matcher::fields(std::uint32_t node_id, const std::uint8_t* p, const std::uint8_t* end,
                                    std::uint32_t group_field, int depth, Tally& tally, double limit,
                                    std::uint32_t after) {
  const NodeInfo& node = candidates_.info(node_id);
  const std::span<const Arc> declared = candidates_.arcs(node_id);
  const auto count = static_cast<std::uint32_t>(declared.size());
  Level& lv = levels_[static_cast<std::size_t>(depth)];
  if (lv.counts.size() < count) {
    // Room for a small node's transitions from the start, so that a level
    // is not grown node by node; `touched` has at most one a transition.
    lv.counts.resize(std::max<std::size_t>(count, 64), 0);
    lv.touched.reserve(lv.counts.size());
  }
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
    // The fields still to come cost at least their floors.
    const double rest = after != Shape::kNoFloors ? ranges_.floors_after(after++) : 0.0;
    if (tally.bits + rest > limit) {
      abandoned_ = true;
      break;
    }
  }

  std::uint32_t required_seen = 0;
  for (const std::uint32_t ti : lv.touched) {
    const Arc& t = declared[ti];
    tally.bits += count_bits(t.label, lv.counts[ti] - 1);
    required_seen += t.label == 1;
    lv.counts[ti] = 0;
  }
  const auto used = static_cast<std::uint32_t>(lv.touched.size());
  lv.touched.clear();
  if (result == nullptr) return nullptr;
  settle(count, used, node.required, required_seen, tally);
  return result;
}

// ------------------------------------------------------------------- edges --

const Matcher::Edge& Matcher::edge(std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit) {
  const std::uint64_t key = std::uint64_t{tag} << 33 | std::uint64_t{to} << 1 | (label == 2 ? 1 : 0);
  std::size_t mask = edge_slots_.size() - 1;
  std::size_t slot = mix(key, 0x5A17) & mask;
  while (edge_slots_[slot].edge != kNoEdge && edge_slots_[slot].key != key) slot = (slot + 1) & mask;
  if (edge_slots_[slot].edge == kNoEdge) {
    if (edges_.size() >= edge_slots_.size() / 2) {
      if (edge_slots_.size() >= kMaxEdges) {
        spare_ = Edge{};  // full: judged, remembered nowhere
        spare_.key = key;
        judge(spare_, tag, to, label, limit);
        return spare_;
      }
      grow_edges();
      mask = edge_slots_.size() - 1;
      slot = mix(key, 0x5A17) & mask;
      while (edge_slots_[slot].edge != kNoEdge) slot = (slot + 1) & mask;
    }
    edge_slots_[slot] = {key, static_cast<std::uint32_t>(edges_.size())};
    edges_.emplace_back().key = key;
  }
  Edge& e = edges_[edge_slots_[slot].edge];
  // Parsed or failed, it is known; abandoned under a limit at least as
  // large, it would be again.
  if (e.state == State::empty || (e.state == State::abandoned && e.reached < limit)) judge(e, tag, to, label, limit);
  return e;
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
  std::vector<EdgeSlot> old(edge_slots_.size() * 2);
  old.swap(edge_slots_);
  const std::size_t mask = edge_slots_.size() - 1;
  for (const EdgeSlot& e : old) {
    if (e.edge == kNoEdge) continue;
    std::size_t slot = mix(e.key, 0x5A17) & mask;
    while (edge_slots_[slot].edge != kNoEdge) slot = (slot + 1) & mask;
    edge_slots_[slot] = e;
  }
  edges_.reserve(edge_slots_.size() / 2);
}

void Matcher::judge(Edge& e, std::uint32_t tag, std::uint32_t to, std::uint8_t label, double limit) {
  const TagGroup& g = top_.tags[tag];
  const std::uint8_t wire = key_wire(g.key);
  const Arc t{key_field(g.key), to, label, to < candidates_.node_count() ? serial::wire_type_of(candidates_.info(to).type) : kNoWire};
  // Each value is read on its own, and one read to its end costs the same
  // under any limit: an edge abandoned before resumes after the last value
  // it read.
  const bool resumed = e.state == State::abandoned;
  Tally tally = resumed ? e.tally : Tally{};
  std::uint32_t values = resumed ? e.values : 0;
  abandoned_ = false;
  const bool messages = !messages_after_.empty() && t.wire == wire && to < candidates_.node_count() &&
                        has_fields(candidates_.info(to).type);
  // Its cost is above the limit: resumed from value `next`, with what the
  // values before it came to.
  const auto abandoned = [&](std::uint32_t next, const Tally& so_far, std::uint32_t values_so_far) {
    e.state = State::abandoned;
    e.reached = limit;
    e.next = next;
    e.tally = so_far;
    e.values = values_so_far;
  };
  for (std::uint32_t i = resumed ? e.next : 0; i < g.count; ++i) {
    const Occurrence& o = top_.occurrences[g.first + i];
    const Tally before = tally;
    const std::uint32_t values_before = values;
    // A group finds its own end tag; every other value ends where the scan
    // saw it end.
    const std::uint8_t* after =
        work_.spend(1) ? value(t, wire, begin_ + o.value, wire == 3 ? end_ : begin_ + o.end, 0, tally, values, limit)
                       : abandon();
    if (after == nullptr) {
      if (abandoned_)
        abandoned(i, before, values_before);
      else
        e.state = State::failed;
      return;
    }
    if (tally.bits > limit || (messages && tally.bits + messages_after_[g.first + i] > limit))
      return abandoned(i + 1, tally, values);
  }
  e.state = State::parsed;
  e.values = values;
  e.tally = tally;
}

}  // namespace korvex::identify
