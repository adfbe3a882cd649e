#include "archive/format.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace korvex::archive {

namespace {

constexpr std::uint64_t kFxMultiplier = 0x517CC1B727220A95;

constexpr std::uint64_t fx_mix(std::uint64_t h, std::uint64_t word) noexcept {
  return (std::rotl(h, 5) ^ word) * kFxMultiplier;
}

// The tail rule of fx_hash: a 4-, 2- and 1-byte piece as present (rest < 8),
// then the word 0xFF.
std::uint64_t fx_tail(std::uint64_t h, const std::uint8_t* p, std::size_t rest) noexcept {
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

}  // namespace

std::uint64_t fx_hash(std::string_view bytes) noexcept {
  std::uint64_t h = 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t rest = bytes.size();
  for (; rest >= 8; p += 8, rest -= 8) h = fx_mix(h, load_le<std::uint64_t>(p));
  return fx_tail(h, p, rest);
}

void FxHasher::update(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t rest = bytes.size();
  while (rest > 0) {
    const std::size_t take = std::min(rest, sizeof pending_ - count_);
    std::memcpy(pending_ + count_, p, take);
    count_ += take;
    p += take;
    rest -= take;
    if (count_ == sizeof pending_) {
      h_ = fx_mix(h_, load_le<std::uint64_t>(pending_));
      count_ = 0;
    }
  }
}

std::uint64_t FxHasher::finish() const noexcept { return fx_tail(h_, pending_, count_); }

Result<TableSizes> table_sizes(std::size_t n) {
  if (n == 0) return TableSizes{};
  // A table this large could never fit a payload; refusing it here also
  // keeps every product below from overflowing.
  if (n >= kPayloadLimit) return std::unexpected(payload_too_large(kPayloadLimit));
  const std::uint64_t c = std::max<std::uint64_t>(8 * std::uint64_t{n} / 7, std::uint64_t{n} + 1);
  const std::uint64_t g = align_up(c, kGroupWidth);
  const std::uint64_t k = g + kGroupWidth - 1;
  const std::uint64_t m = std::bit_ceil(k) - 1;
  if (m > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(payload_too_large(kPayloadLimit));
  return TableSizes{static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(g), static_cast<std::uint32_t>(k),
                    static_cast<std::uint32_t>(m)};
}

Error string_too_long(std::size_t length) {
  return Error{"cannot serialize: string of " + std::to_string(length) + " bytes exceeds the archive limit of " +
               std::to_string(kStringLimit - 1) + " bytes"};
}

Error payload_too_large(std::size_t limit) {
  return Error{"cannot serialize: archive payload would reach the limit of " + std::to_string(limit) + " bytes"};
}

}  // namespace korvex::archive
