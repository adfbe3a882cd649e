// Bounds-checked reading of an archive, shared by the graph and index views.
//
// A view opens a span of bytes in two steps: open_payload checks the header
// and hands back the payload; the view then checks every record it will ever
// read, once, with the checked primitives below, and afterwards reads with
// plain loads. Nothing assumes the span is aligned (Python buffers and
// memoryview slices may sit anywhere): every field goes through load_le
// (memcpy), and the alignment the format promises is checked on positions
// counted from the payload start. Every failure is an Error whose text names
// the file offset of the faulty field (header included), then the object,
// then what is wrong: "offset 1234: transition 17 points at node 900, but
// the graph has 211 nodes". After open, the decoders clamp every position
// they follow, so bytes changed under an open view can make answers wrong
// but never make a read leave the span, and every probe loop is bounded.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "archive/format.hpp"
#include "common/result.hpp"


namespace korvex::archive {

// File offset of a payload position: the header precedes the payload.
constexpr std::size_t file_offset(std::size_t payload_pos) noexcept { return payload_pos + kHeaderSize; }

// "offset <file_offset>: <what>"
Error error_at(std::size_t file_offset, std::string_view what);

// Checks the header (length, magic, format version, payload offset 24) and
// the payload length (below the 2^31 limit) and returns the payload. `kind`
// names the archive in messages ("graph", "index").
Result<std::span<const std::uint8_t>> open_payload(std::span<const std::uint8_t> archive, std::uint64_t version,
                                                   std::string_view kind);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF), as Python's strict decoder requires.
bool valid_utf8(std::string_view bytes) noexcept;

// ------------------------------------------------------------ the payload --

// A run of records: position of the first one and how many there are.
struct Run {
  std::size_t pos = 0;
  std::uint32_t count = 0;
};

// The payload being read. The checked functions take a `what` callable that
// names the object for the message; it is called only when a check fails.
class Reader {
 public:
  Reader() noexcept = default;
  explicit Reader(std::span<const std::uint8_t> payload) noexcept : data_(payload.data()), size_(payload.size()) {}

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  template <class T>
  T load(std::size_t pos) const noexcept {
    return load_le<T>(data_ + pos);
  }

  // The target of the relative pointer stored at `field`: a position in
  // 0 .. size. `field` + 4 must lie inside the payload.
  template <class What>
  Result<std::size_t> pointer(std::size_t field, const What& what) const {
    const std::int64_t target = static_cast<std::int64_t>(field) + load<std::int32_t>(field);
    if (target < 0 || static_cast<std::uint64_t>(target) > size_) [[unlikely]]
      return std::unexpected(pointer_outside(field, what(), load<std::int32_t>(field)));
    return static_cast<std::size_t>(target);
  }

  // The vector record at `field` (relative pointer, u32 count): its elements
  // must start aligned to `align` and end at or before `end`.
  template <class What>
  Result<Run> vector(std::size_t field, std::size_t element_size, std::size_t align, std::size_t end,
                     const What& what) const {
    auto first = pointer(field, what);
    if (!first) return std::unexpected(std::move(first.error()));
    const std::uint32_t count = load<std::uint32_t>(field + kVectorCountField);
    if (*first % align != 0 || *first > end || std::uint64_t{count} * element_size > end - *first) [[unlikely]]
      return std::unexpected(bad_vector(field, what(), *first, count, element_size, align, end));
    return Run{*first, count};
  }

  // The 8-byte string representation at `repr` (which lies inside): its
  // form, the bounds of out-of-line bytes, and UTF-8.
  template <class What>
  Result<std::string_view> string(std::size_t repr, const What& what) const {
    const char* problem = nullptr;
    std::size_t length = 0;
    const std::string_view text = decode_string(repr, problem, length);
    if (problem != nullptr) [[unlikely]]
      return std::unexpected(bad_string(repr, what(), problem, length));
    if (!valid_utf8(text)) [[unlikely]]
      return std::unexpected(bad_string(repr, what(), "is not valid UTF-8", text.size()));
    return text;
  }

  // Starts loading the out-of-line bytes of the string at `repr`, if any.
  void prefetch_string(std::size_t repr) const noexcept {
    if (!is_out_of_line(data_[repr])) return;
    const std::int64_t target = static_cast<std::int64_t>(repr) + load<std::int32_t>(repr + kStringBytesField);
    if (target >= 0 && static_cast<std::uint64_t>(target) < size_) __builtin_prefetch(data_ + target);
  }

  // A string already checked by string(): decoded without checks except a
  // clamp of out-of-line bytes to the payload.
  std::string_view string_at(std::size_t repr) const noexcept {
    const std::uint8_t first = data_[repr];
    if (is_out_of_line(first)) {
      const std::size_t length = out_of_line_length(load<std::uint32_t>(repr));
      const std::int64_t target = static_cast<std::int64_t>(repr) + load<std::int32_t>(repr + kStringBytesField);
      if (target < 0 || static_cast<std::uint64_t>(target) > size_ || length > size_ - target) return {};
      return {reinterpret_cast<const char*>(data_ + target), length};
    }
    std::size_t length = 0;
    while (length < kInlineMax && data_[repr + length] != kInlineFill) ++length;
    return {reinterpret_cast<const char*>(data_ + repr), length};
  }

 private:
  std::string_view decode_string(std::size_t repr, const char*& problem, std::size_t& length) const noexcept;

  Error pointer_outside(std::size_t field, const std::string& what, std::int32_t offset) const;
  Error bad_vector(std::size_t field, const std::string& what, std::size_t first, std::uint32_t count,
                   std::size_t element_size, std::size_t align, std::size_t end) const;
  Error bad_string(std::size_t repr, const std::string& what, const char* problem, std::size_t length) const;

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// ------------------------------------------------------------ hash tables --

// x mod d for a fixed d by two multiplications instead of a division: the
// probe start hash mod C lies on the path of every lookup, ahead of its
// first memory access. magic = floor((2^128 - 1) / d) + 1 (mod 2^128);
// then x mod d = ((magic * x mod 2^128) * d) >> 128, exactly, for every
// 64-bit x and every d >= 1.
struct Modulus {
  unsigned __int128 magic = 0;
  std::uint64_t divisor = 1;

  static Modulus of(std::uint64_t d) noexcept {
    return Modulus{~static_cast<unsigned __int128>(0) / d + 1, d};
  }
  std::uint64_t operator()(std::uint64_t x) const noexcept {
    const unsigned __int128 low = magic * x;
    const unsigned __int128 bottom = (static_cast<unsigned __int128>(static_cast<std::uint64_t>(low)) * divisor) >> 64;
    const unsigned __int128 top = static_cast<unsigned __int128>(static_cast<std::uint64_t>(low >> 64)) * divisor;
    return static_cast<std::uint64_t>((bottom + top) >> 64);
  }
};

// A map record's table, checked by read_table. Bucket b's entry lies at
// control - (b + 1) * entry_size: bucket C - 1 first, bucket 0 directly in
// front of the K control bytes.
struct Table {
  std::size_t control = 0;  // position of the first control byte
  std::uint32_t length = 0;
  TableSizes sizes{};  // all zero for a map without a table
  std::uint32_t entry_size = 0;
  Modulus capacity_modulus{};  // of sizes.capacity

  bool empty() const noexcept { return sizes.capacity == 0; }
  std::uint32_t capacity() const noexcept { return sizes.capacity; }
  std::size_t entry(std::uint32_t bucket) const noexcept { return control - (std::size_t{bucket} + 1) * entry_size; }
  // Position of the first bucket entry (bucket C - 1).
  std::size_t entries_begin() const noexcept { return control - std::size_t{sizes.capacity} * entry_size; }
};

// Checks the map record at `record` (12 bytes inside the payload) and the
// table it points at, which must lie before `end`: the capacity that the
// entry count implies, the alignment of the entries, every control byte
// (empty or a 7-bit tag, the mirror bytes, the count of full buckets) and
// the all-zero entries of empty buckets. The keys and values of full
// buckets are the caller's: it checks them, then calls check_key.
Result<Table> read_table(const Reader& reader, std::size_t record, std::uint32_t entry_size,
                         std::uint32_t entry_align, std::size_t end, std::string_view what);

// Whether the control byte of `bucket` marks it full.
inline bool bucket_full(const Reader& reader, const Table& table, std::uint32_t bucket) noexcept {
  return (reader.data()[table.control + bucket] & 0x80) == 0;
}


// The bucket whose key has this hash and satisfies key_equal(bucket), by
// the writer's probe sequence: from group hash mod C, the stride growing by
// 16 over the probe mask, group starts at or past G skipped. A key is found
// in the first group that holds an empty byte or in an earlier one. The
// sequence visits every group start of its residue within (M + 1) / 16
// steps, which bounds the loop whatever the control bytes say.
template <class KeyEqual>
std::optional<std::uint32_t> find_in_table(const Reader& reader, const Table& table, std::uint64_t hash,
                                           const KeyEqual& key_equal) {
  if (table.empty()) return std::nullopt;
  const std::uint8_t tag = hash_tag(hash);
  const std::uint8_t* control = reader.data() + table.control;
  const std::size_t capacity = table.sizes.capacity;
  const std::size_t span = table.sizes.group_span;
  const std::size_t mask = table.sizes.probe_mask;
  std::size_t p = static_cast<std::size_t>(table.capacity_modulus(hash));
  // A key almost always sits in its home bucket or a few after it: ask for
  // that entry while the control bytes are being read, so that the two
  // cache misses of a large table overlap instead of following each other.
  __builtin_prefetch(reader.data() + table.entry(static_cast<std::uint32_t>(p)));
  std::size_t stride = 0;
  for (std::size_t steps = (mask + 1) / 16; steps > 0; --steps) {
    if (p < span) {
      auto [match, empty] = group_masks(control + p, tag);
      while (match != 0) {
        // p < G and the offset < 16, so one subtraction does unless C < 16.
        std::size_t bucket = p + static_cast<unsigned>(std::countr_zero(match));
        if (bucket >= capacity) bucket -= capacity;
        if (bucket >= capacity) bucket %= capacity;
        if (key_equal(static_cast<std::uint32_t>(bucket))) return static_cast<std::uint32_t>(bucket);
        match &= match - 1;
      }
      if (empty != 0) return std::nullopt;
    }
    stride += 16;
    p = (p + stride) & mask;
  }
  return std::nullopt;
}

// For a full bucket whose key (string at the entry's offset 0, already
// checked) hashes to `hash`: its control byte holds the key's tag, and
// probing for the key finds this very bucket, which also proves that no
// bucket probed earlier holds the same key.
Result<void> check_key(const Reader& reader, const Table& table, std::uint32_t bucket, std::uint64_t hash,
                       std::string_view what);

}  // namespace korvex::archive
