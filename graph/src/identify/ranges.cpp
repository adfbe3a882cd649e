#include "identify/ranges.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <bit>
#include <cmath>
#include <limits>

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

inline const std::uint8_t* read_varint(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t& out) noexcept {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (p == end) return nullptr;
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) return out = v, p;
  }
  return nullptr;
}

const double kUnknownNumberBits = std::log2(static_cast<double>(kMaxField));

}  // namespace

double gamma_bits(std::uint64_t n) noexcept { return 2.0 * static_cast<double>(std::bit_width(n) - 1) + 1.0; }

double text_bits(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  std::size_t counts[3] = {0, 0, 0};
  std::size_t wide = 0;
  while (p < end) {
    // Eight printable ASCII bytes at once, the common case.
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      // No byte with its top bit set, none below 0x20, none equal to 0x7F.
      const std::uint64_t high = w & 0x8080808080808080ull;
      const std::uint64_t low = (w - 0x2020202020202020ull) & ~w & 0x8080808080808080ull;
      const std::uint64_t del = ((w ^ 0x7F7F7F7F7F7F7F7Full) - 0x0101010101010101ull) & ~(w ^ 0x7F7F7F7F7F7F7F7Full) &
                                0x8080808080808080ull;
      if ((high | low | del) == 0) {
        counts[0] += 8;
        p += 8;
        continue;
      }
    }
    const std::uint8_t c = kClass[*p];
    if (c < 3) {
      ++counts[c];
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
  return kPrintableBits * static_cast<double>(counts[0]) + kSpaceBits * static_cast<double>(counts[1]) +
         kControlBits * static_cast<double>(counts[2]) + kWideBits * static_cast<double>(wide);
}

Ranges::Ranges(const Candidates& candidates, const std::uint8_t* begin, Work& work)
    : candidates_(candidates), begin_(begin), work_(work), table_(64) {}

Ranges::Entry& Ranges::entry(const std::uint8_t* p) {
  const auto key = static_cast<std::uint32_t>(p - begin_);
  if (used_ >= table_.size() / 2) {
    std::vector<Entry> old(table_.size() * 2);
    old.swap(table_);
    for (const Entry& e : old) {
      if (e.key == 0xFFFFFFFF) continue;
      std::size_t slot = (e.key * 0x9E3779B1u) & (table_.size() - 1);
      while (table_[slot].key != 0xFFFFFFFF) slot = (slot + 1) & (table_.size() - 1);
      table_[slot] = e;
    }
  }
  std::size_t slot = (key * 0x9E3779B1u) & (table_.size() - 1);
  while (table_[slot].key != 0xFFFFFFFF && table_[slot].key != key) slot = (slot + 1) & (table_.size() - 1);
  if (table_[slot].key != key) {
    table_[slot].key = key;
    ++used_;
  }
  return table_[slot];
}

double Ranges::text(const std::uint8_t* p, const std::uint8_t* end) {
  if (p == end) return 0;
  // Entries are found again after the calls below, which may grow the table.
  if (const Entry& e = entry(p); e.has_text) return e.text;
  work_.spend(1 + static_cast<std::uint64_t>(end - p) / 16);
  const double bits = text_bits(p, end);
  Entry& e = entry(p);
  e.text = bits;
  e.has_text = true;
  return bits;
}

double Ranges::floor(const std::uint8_t* p, const std::uint8_t* end, int depth) {
  if (p == end) return 0;
  if (const Entry& e = entry(p); e.has_floor) return e.floor;
  const double length = static_cast<double>(end - p);
  double best = kOpaqueBits * length;
  if (const double t = text(p, end); t >= 0) best = std::min(best, t);
  if (p < end) {
    if (const double m = message_floor(p, end, depth + 1); m >= 0) best = std::min(best, m);
    best = std::min(best, packed_floor(p, end));
  }
  Entry& e = entry(p);
  e.floor = best;
  e.has_floor = true;
  return best;
}

double Ranges::packed_floor(const std::uint8_t* p, const std::uint8_t* end) {
  work_.spend(1 + static_cast<std::uint64_t>(end - p) / 4);
  double bits = 0;
  while (p < end) {
    const std::uint8_t* at = p;
    std::uint64_t v;
    p = read_varint(p, end, v);
    if (p == nullptr) return std::numeric_limits<double>::infinity();
    bits += candidates_.varint_floor(v, static_cast<std::size_t>(p - at));
  }
  return bits;
}

double Ranges::value_floor(std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end, int depth) {
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
      return gamma_bits(v + 1) + floor(content, content + v, depth);
    }
    default: return 0;  // groups: no floor beyond their fields' being there
  }
}

double Ranges::message_floor(const std::uint8_t* p, const std::uint8_t* end, int depth) {
  if (depth > kMaxDepth) return 0;
  // A message of k >= 1 fields spends at least log2(k + 1) >= 1 bit on
  // which of its fields are there.
  double bits = 1;
  int open_groups = 0;
  std::uint32_t group_fields[kMaxDepth + 1];
  while (p < end) {
    if (!work_.spend(1)) return 0;
    const std::uint8_t* tag_at = p;
    std::uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr) return -1;
    const std::uint64_t field = tag >> 3;
    const auto wire = static_cast<std::uint8_t>(tag & 7);
    if (field == 0 || field > kMaxField || wire > 5) return -1;
    if (wire == 4) {
      if (open_groups == 0 || group_fields[open_groups - 1] != field) return -1;
      --open_groups;
      continue;
    }
    if (wire == 3) {
      if (depth + open_groups >= kMaxDepth) return -1;
      group_fields[open_groups++] = static_cast<std::uint32_t>(field);
      continue;
    }
    const std::uint8_t* value_at = p;
    std::uint64_t v;
    switch (wire) {
      case 0: p = read_varint(p, end, v); break;
      case 1: p = end - p >= 8 ? p + 8 : nullptr; break;
      case 5: p = end - p >= 4 ? p + 4 : nullptr; break;
      default:
        p = read_varint(p, end, v);
        if (p != nullptr) p = v <= static_cast<std::uint64_t>(end - p) ? p + v : nullptr;
        break;
    }
    if (p == nullptr) return -1;
    // Declared, an extension (8 bits a byte at least) or unknown.
    const double as_value = value_floor(wire, value_at, p, depth + open_groups);
    bits += std::min(as_value, kOpaqueBits * static_cast<double>(p - tag_at));
  }
  return open_groups == 0 ? bits : -1;
}

}  // namespace korvex::identify
