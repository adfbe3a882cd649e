// The container every archive shares, defined once for its writer and its
// readers: the 24-byte header, the limits, the 8-byte string form, the
// vector and map records, the key hash and the shape of a hash table. The
// graph's and the index's own records are defined in their format headers
// on top of this one (build_scoring_graph/serial/graph_format.hpp,
// fds_index/index_format.hpp).
//
// All integers are little-endian; every record is 4-aligned in the
// payload (8 where it holds a u64). A relative pointer is the i32
// difference target - (position of the pointer field itself).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "common/result.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvex::archive {

// ----------------------------------------------------------------- header --

// magic (8 bytes), format version (u64), payload offset (u64, always 24).
inline constexpr std::array<std::uint8_t, 8> kMagic = {'V', 'E', 'L', 'D', 'R', 'A', 'N', 'E'};
inline constexpr std::size_t kVersionField = 8;
inline constexpr std::size_t kPayloadOffsetField = 16;
inline constexpr std::size_t kHeaderSize = 24;

// A payload must stay strictly below this many bytes: every relative pointer
// is an i32 difference of two payload positions.
inline constexpr std::size_t kPayloadLimit = std::size_t{1} << 31;

// ----------------------------------------------------------------- string --

// 8 bytes, alignment 4. Up to 8 bytes sit inline, padded with 0xFF (which
// UTF-8 never uses). Longer strings keep a length word, then a relative
// pointer to their bytes: word = (len & 0x3F) | 0x80 | (len >> 6) << 8, so
// the first byte's top bits 10 mark the out-of-line form.
inline constexpr std::size_t kStringSize = 8;
inline constexpr std::size_t kInlineMax = 8;
inline constexpr std::uint8_t kInlineFill = 0xFF;
inline constexpr std::size_t kStringBytesField = 4;
// Strings of this many bytes or more have no representation (30-bit length).
inline constexpr std::size_t kStringLimit = std::size_t{1} << 30;

constexpr bool is_out_of_line(std::uint8_t first_byte) noexcept { return (first_byte & 0xC0) == 0x80; }
constexpr std::uint32_t out_of_line_word_of(std::uint32_t length) noexcept {
  return (length & 0x3F) | 0x80 | ((length >> 6) << 8);
}
constexpr std::size_t out_of_line_length(std::uint32_t word) noexcept { return (word & 0x3F) | ((word >> 8) << 6); }

// ----------------------------------------------------------------- vector --

// A vector record: relative pointer to the first element, u32 count.
inline constexpr std::size_t kVectorCountField = 4;
inline constexpr std::size_t kVectorRecordSize = 8;

// -------------------------------------------------------------------- map --

// A map record: relative pointer to the table's first control byte, u32
// entry count, u32 bucket count C. A map without entries has no table: its
// pointer is kNoTarget and its capacity 0.
inline constexpr std::size_t kMapLengthField = 4;
inline constexpr std::size_t kMapCapacityField = 8;
inline constexpr std::size_t kMapRecordSize = 12;
inline constexpr std::int32_t kNoTarget = 1;

// The table: C bucket entries (bucket C - 1 first, bucket 0 directly in
// front of the control bytes), then K control bytes: 0xFF for an empty
// bucket, else the 7-bit tag of its key's hash; bytes C .. K - 1 mirror the
// first buckets, as far as there are any, so that a 16-byte group read
// never wraps. A key is probed from group hash mod C, the stride growing by
// 16 over the probe mask M, group starts at or past G skipped.
struct TableSizes {
  std::uint32_t capacity = 0;       // C = max(8n/7, n+1) buckets
  std::uint32_t group_span = 0;     // G = C rounded up to a multiple of 16
  std::uint32_t control_count = 0;  // K = G + 15 control bytes
  std::uint32_t probe_mask = 0;     // M = bit_ceil(K) - 1
  friend bool operator==(const TableSizes&, const TableSizes&) = default;
};
// The sizes of the table of a map with n entries (all zero for none), or
// the payload limit's error for a table that could never fit one.
Result<TableSizes> table_sizes(std::size_t n);

inline constexpr std::size_t kGroupWidth = 16;
inline constexpr std::uint8_t kEmptyControl = 0xFF;

// The group scan every table walk is made of, placing keys or probing for
// them: bit i set where control byte i of the 16 at `group` equals `tag`,
// and where it marks an empty bucket. Full bytes hold a 7-bit tag, so the
// top bit alone tells empty from full.
struct GroupMasks {
  std::uint32_t match;
  std::uint32_t empty;
};

inline GroupMasks group_masks(const std::uint8_t* group, std::uint8_t tag) noexcept {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(group));
  const auto match = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(tag)))));
  const auto empty = static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
  return {match, empty};
#else
  std::uint32_t match = 0;
  std::uint32_t empty = 0;
  for (unsigned i = 0; i < kGroupWidth; ++i) {
    match |= static_cast<std::uint32_t>(group[i] == tag) << i;
    empty |= static_cast<std::uint32_t>(group[i] >> 7) << i;
  }
  return {match, empty};
#endif
}

// Offset within the 16 control bytes at `group` of the first empty one, or
// 16 when all are full.
inline unsigned first_empty_in_group(const std::uint8_t* group) noexcept {
  const std::uint32_t empty = group_masks(group, kEmptyControl).empty;
  return empty == 0 ? static_cast<unsigned>(kGroupWidth) : static_cast<unsigned>(std::countr_zero(empty));
}

// ----------------------------------------------------------- the key hash --

// Unseeded 64-bit FxHash of the bytes: 8-byte little-endian chunks, then a
// 4-, 2- and 1-byte tail as present, then the word 0xFF.
std::uint64_t fx_hash(std::string_view bytes) noexcept;

// The 7-bit control tag of a key hash.
constexpr std::uint8_t hash_tag(std::uint64_t h) noexcept { return static_cast<std::uint8_t>(h >> 57); }

// Incremental form of fx_hash, for keys made of several pieces: equal to
// fx_hash of the concatenation of everything passed to update().
class FxHasher {
 public:
  void update(std::string_view bytes) noexcept;
  std::uint64_t finish() const noexcept;

 private:
  std::uint64_t h_ = 0;
  std::uint8_t pending_[8] = {};
  std::size_t count_ = 0;
};

// ---------------------------------------------------------------- scalars --

template <class T>
constexpr T to_le(T v) noexcept {
  static_assert(std::is_integral_v<T>);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) return std::byteswap(v);
  return v;
}

template <class T>
inline void store_le(std::uint8_t* p, T v) noexcept {
  v = to_le(v);
  std::memcpy(p, &v, sizeof v);
}

template <class T>
inline T load_le(const std::uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return to_le(v);
}

constexpr std::size_t align_up(std::size_t n, std::size_t align) noexcept {
  return (n + align - 1) & ~(align - 1);
}

// ------------------------------------------------------- the limits' texts --

// The error texts of the two archive limits.
Error string_too_long(std::size_t length);
Error payload_too_large(std::size_t limit);

}  // namespace korvex::archive
