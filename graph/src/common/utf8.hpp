// Strict UTF-8 validation, as Python's strict decoder does it: no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated sequence. The
// one copy that the archive reader (every string of an archive it opens)
// and the descriptor-set reader (every name of a set) both use; it reads
// no byte outside the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvex {

// The offset of the first byte that breaks the rules, or npos.
inline std::size_t invalid_utf8_at(std::string_view text) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080;
  const auto* const begin = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::uint8_t* const end = begin + text.size();
  const auto word = [](const std::uint8_t* q) {
    std::uint64_t w;
    std::memcpy(&w, q, sizeof w);
    return w;
  };
  // Names are almost always ASCII: one pass that only ORs words together
  // settles those, without a branch per byte.
  {
    std::uint64_t high = 0;
    const std::uint8_t* q = begin;
    for (; end - q >= 8; q += 8) high |= word(q);
    for (; q < end; ++q) high |= *q;
    if ((high & kHighBits) == 0) return std::string_view::npos;
  }
  const std::uint8_t* p = begin;
  while (p < end) {
    // Eight bytes at a time while they are ASCII.
    while (end - p >= 8 && (word(p) & kHighBits) == 0) p += 8;
    if (p == end) break;
    const std::uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n = 0;
    std::uint8_t lo = 0x80;  // bounds of the second byte, which rule out
    std::uint8_t hi = 0xBF;  // overlong forms, surrogates and > U+10FFFF
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return static_cast<std::size_t>(p - begin);
    }
    if (static_cast<std::size_t>(end - p) <= n || p[1] < lo || p[1] > hi) return static_cast<std::size_t>(p - begin);
    for (std::size_t i = 2; i <= n; ++i)
      if ((p[i] & 0xC0) != 0x80) return static_cast<std::size_t>(p - begin);
    p += n + 1;
  }
  return std::string_view::npos;
}

inline bool valid_utf8(std::string_view text) noexcept { return invalid_utf8_at(text) == std::string_view::npos; }

}  // namespace korvex
