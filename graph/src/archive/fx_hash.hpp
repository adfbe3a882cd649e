// The steps of the archives' key hash, unseeded 64-bit FxHash: each 8-byte
// little-endian chunk mixed into the state, then the tail rule (a 4-, 2-
// and 1-byte piece as present, then the word 0xFF). fx_hash (the writer's,
// over one key) and FxHasher (the reader's, over a key in pieces) are both
// made of these, so that a table a writer lays out is one a reader finds
// its keys in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "archive/writer.hpp"

namespace korvex::archive {

inline constexpr std::uint64_t kFxMultiplier = 0x517CC1B727220A95;

constexpr std::uint64_t fx_mix(std::uint64_t h, std::uint64_t word) noexcept {
  return (std::rotl(h, 5) ^ word) * kFxMultiplier;
}

// The state after the tail rule over the `rest` (< 8) bytes at p.
inline std::uint64_t fx_tail(std::uint64_t h, const std::uint8_t* p, std::size_t rest) noexcept {
  if (rest >= 4) {
    h = fx_mix(h, load_le<std::uint32_t>(p));
    p += 4;
    rest -= 4;
  }
  if (rest >= 2) {
    h = fx_mix(h, load_le<std::uint16_t>(p));
    p += 2;
    rest -= 2;
  }
  if (rest >= 1) h = fx_mix(h, *p);
  return fx_mix(h, 0xFF);
}

}  // namespace korvex::archive
