// The archive writer shared by both binary outputs (baked graph, fds index),
// writing the container of archive/format.hpp.
//
// A Serializer appends to one growing, 16-byte aligned buffer in a single
// forward pass: whatever a record points to is written before it, so every
// relative pointer is known when the record is appended; nothing is patched.
// The first failure (a string of 2^30 bytes or more, a payload reaching 2^31
// bytes, a count or offset beyond 32 bits) sticks: later writes do nothing
// and finish() reports it, so no partial archive escapes. Hash-table scratch
// comes from a per-thread block arena, never from the output buffer; no
// seed, address or timing reaches the bytes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "archive/format.hpp"
#include "common/result.hpp"

namespace korvex::archive {

// Positions and sizes up to the payload limit, and products of a bucket
// count with an entry size, are computed in size_t without overflow.
static_assert(sizeof(std::size_t) >= 8, "the archive writer needs a 64-bit size_t");

// ------------------------------------------------------- checked narrowing --

// target - from as the i32 of a relative pointer.
Result<std::int32_t> relative_offset(std::size_t target, std::size_t from);
// A count or position as u32.
Result<std::uint32_t> narrow_u32(std::size_t value);
// First word of an out-of-line string: (len & 0x3F) | 0x80 | (len >> 6) << 8.
Result<std::uint32_t> out_of_line_word(std::size_t length);

// ------------------------------------------------------------- hash tables --

inline constexpr std::uint32_t kEmptyBucket = 0xFFFFFFFF;

// Places keys, given by their hashes in insertion order, into the buckets.
// bucket_entry (C slots) receives the index of the entry held by each bucket
// or kEmptyBucket; control (K bytes) receives the control bytes, mirror
// included. Returns false for spans of the wrong sizes, for C hashes or more,
// or if a probe were to pick a full bucket. The last cannot happen: a group
// reaches past the mirror bytes (position 2C or more) only when C < 30, and
// then every group start the probe can reach sees all buckets, directly or
// mirrored, before that point.
bool place_keys(const TableSizes& sizes, std::span<const std::uint64_t> hashes,
                std::span<std::uint32_t> bucket_entry, std::span<std::uint8_t> control) noexcept;

// Where write_hash_table put a table; capacity 0 marks a map without one.
struct TablePos {
  std::size_t control = 0;
  std::uint32_t length = 0;
  std::uint32_t capacity = 0;
  bool empty() const noexcept { return capacity == 0; }
};

using StringRepr = std::array<std::uint8_t, kStringSize>;
using MapRecord = std::array<std::uint8_t, kMapRecordSize>;

// A string whose bytes are written and whose representation awaits its own
// position: the inline bytes, or the length word with the offset still 0.
struct PendingString {
  StringRepr repr{};
  std::uint32_t bytes_pos = 0;
  bool out_of_line = false;
};

// ------------------------------------------------------------- AlignedVec --

// The output buffer: 16-byte aligned storage that only grows, to the
// smallest power of two holding what is asked for. Growing past what memory
// allows throws std::bad_alloc and leaves the buffer as it was.
//
// It may instead start in storage the caller lends (any alignment: nothing
// here relies on it), which it writes but never frees; growing past that
// storage moves the bytes into storage of its own, as any growth does.
class AlignedVec {
 public:
  static constexpr std::size_t kAlignment = 16;

  AlignedVec() noexcept = default;
  AlignedVec(const AlignedVec&) = delete;
  AlignedVec& operator=(const AlignedVec&) = delete;
  AlignedVec(AlignedVec&& other) noexcept;
  AlignedVec& operator=(AlignedVec&& other) noexcept;
  ~AlignedVec();

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

  // Storage for at least `total` bytes, allocated to exactly `total` when it
  // has to grow (for a caller that knows the final size).
  void reserve(std::size_t total);
  // Appends n bytes left for the caller to fill; the pointer is valid until
  // the next growth.
  std::uint8_t* grow_by(std::size_t n);
  // Writes from now on into `storage`, which must outlive the buffer's use
  // of it; only while the buffer is still empty.
  void lend(std::span<std::uint8_t> storage) noexcept;
  // Whether the bytes are still in the lent storage.
  bool in_lent_storage() const noexcept { return data_ != nullptr && !owned_; }

 private:
  void reallocate(std::size_t new_capacity);
  void release() noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool owned_ = true;
};

// ------------------------------------------------------------------ Arena --

// Scratch memory for one archive: a bump allocator over a chain of blocks,
// each starting with a 16-byte header (link, size). The first block has
// 2048 bytes; a request that does not fit opens a block of twice the current
// size, or of the smallest power of two above request + alignment + 15 when
// that is larger. The arena adopts the block its thread kept from the last
// archive and, when destroyed, hands back its newest block, the thread
// keeping the larger of that and any block it already holds.
class Arena {
 public:
  static constexpr std::size_t kFirstBlockSize = 2048;
  static constexpr std::size_t kBlockHeader = 16;

  Arena() noexcept;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // Uninitialised memory; align is a power of two of at most 16.
  void* allocate(std::size_t size, std::size_t align);
  template <class T>
  T* allocate_array(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(alignof(T) <= 16);
    if (n > (SIZE_MAX / 4) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
  }
  // Ends every allocation; keeps only the newest block.
  void reset() noexcept;

  // Size of the block in use (0 before the first request), and the number of
  // blocks held: for tests of the growth rule.
  std::size_t block_size() const noexcept;
  std::size_t block_count() const noexcept;

 private:
  struct Block;
  Block* head_ = nullptr;
  std::size_t used_ = 0;
};

// Size of the block the calling thread keeps between archives (0 if none).
std::size_t thread_spare_block_size() noexcept;

// ------------------------------------------------------------- Serializer --

class FramedArchive;

class Serializer {
 public:
  explicit Serializer(std::size_t payload_limit = kPayloadLimit) noexcept;

  std::size_t pos() const noexcept { return buf_.size(); }
  bool ok() const noexcept { return !error_; }
  const std::optional<Error>& error() const noexcept { return error_; }
  // Records the error unless one is already recorded; later writes do nothing.
  void fail(Error error);

  // Refuses a payload of `total` bytes or more than the limit allows;
  // otherwise makes room for exactly that many bytes.
  bool reserve(std::size_t total);
  // Writes the payload into `storage` while it fits (AlignedVec::lend);
  // only before anything is written.
  void write_into(std::span<std::uint8_t> storage) noexcept { buf_.lend(storage); }
  // Appends n bytes for the caller to fill; nullptr once failed or when the
  // payload would reach the limit.
  std::uint8_t* claim(std::size_t n);
  void pad_to(std::size_t align);
  void write_bytes(std::span<const std::uint8_t> bytes);
  template <class Record>
  void write_record(const Record& record) {
    static_assert(std::has_unique_object_representations_v<Record>, "records carry explicit padding");
    if (std::uint8_t* p = claim(sizeof record)) std::memcpy(p, &record, sizeof record);
  }

  // Appends the bytes of a string longer than 8 bytes and returns their
  // position; a shorter string writes nothing (its position is unused).
  std::size_t write_string_bytes(std::string_view s);
  // The 8-byte representation of `s` that will sit at repr_pos, its bytes
  // (when out of line) being at bytes_pos.
  StringRepr string_repr(std::string_view s, std::size_t bytes_pos, std::size_t repr_pos);
  // The two steps split for callers that write many strings and place their
  // representations later: write_string appends the bytes and prepares the
  // representation, so that place_string needs only the position it takes
  // and never reads the string again.
  PendingString write_string(std::string_view s);
  StringRepr place_string(const PendingString& pending, std::size_t repr_pos);
  // A list of strings as the elements of a vector of records that each open
  // with a string's representation: the bytes of every string longer than 8
  // bytes back to back in list order, padding to 4, then one record of
  // `record_size` (at least 8) bytes per item. string_of(item) gives the string;
  // fill_rest(item, record) writes the record's bytes after the first 8.
  // Returns the position of the first record.
  template <class Item, class StringOf, class FillRest>
  std::size_t write_string_records(std::span<const Item> items, std::size_t record_size, StringOf string_of,
                                   FillRest fill_rest);
  // Checked relative pointer and count; 0 after a failure.
  std::int32_t rel(std::size_t target, std::size_t from);
  std::uint32_t count(std::size_t n);

  // Writes an open-addressing table of `entries`, in this insertion order.
  // Codec describes one bucket entry (key string at offset 0, value after):
  //   static constexpr std::size_t entry_size, entry_align;
  //   using Resolver = ...;  (trivially copyable)
  //   std::string_view key(const Entry&);
  //   Resolver serialize(Serializer&, const Entry&);   the value's dependent data
  //   void resolve(Serializer&, const Resolver&, std::size_t entry_pos,
  //                std::uint8_t* entry);                 the value part of the entry
  //   void prefetch_value(const Entry&);  optional: fetch what serialize reads
  // The entries are read once, in bucket order, while the dependent data is
  // written; the bucket entries are then filled from the resolvers alone.
  template <class Entry, class Codec>
  TablePos write_hash_table(std::span<const Entry> entries, Codec& codec);
  // The 12-byte map record that will sit at record_pos.
  MapRecord map_record(const TablePos& table, std::size_t record_pos);

  std::span<const std::uint8_t> payload() const noexcept { return buf_.bytes(); }
  // Header + payload, or the recorded error.
  Result<std::vector<std::uint8_t>> finish(std::uint64_t format_version);
  // The same, handing over the payload buffer itself (see FramedArchive);
  // the serializer is empty afterwards.
  Result<FramedArchive> finish_framed(std::uint64_t format_version);

 private:
  AlignedVec buf_;
  Arena arena_;
  std::size_t limit_;
  std::optional<Error> error_;
};

// header (magic, version, payload offset 24) + payload, in one allocation.
std::vector<std::uint8_t> frame_archive(std::span<const std::uint8_t> payload, std::uint64_t format_version);

// The 24-byte header of an archive: magic, format version, payload offset.
std::array<std::uint8_t, kHeaderSize> archive_header(std::uint64_t format_version);

// A finished archive as its header and the payload buffer it was written
// in, for a caller that copies it once into storage of its own (a Python
// bytes object): taking a framed vector instead would copy the payload
// twice, into two sets of fresh pages.
class FramedArchive {
 public:
  FramedArchive(std::uint64_t format_version, AlignedVec payload)
      : header_(archive_header(format_version)), payload_(std::move(payload)) {}
  std::size_t size() const noexcept { return kHeaderSize + payload_.size(); }
  // Writes the size() bytes of the archive to `out`.
  void copy_to(std::uint8_t* out) const noexcept;
  // Whether the payload was written in the storage lent with write_into.
  bool in_lent_storage() const noexcept { return payload_.in_lent_storage(); }
  std::span<const std::uint8_t, kHeaderSize> header() const noexcept { return header_; }

 private:
  std::array<std::uint8_t, kHeaderSize> header_;
  AlignedVec payload_;
};

// ------------------------------------------------------ template bodies --

template <class Item, class StringOf, class FillRest>
std::size_t Serializer::write_string_records(std::span<const Item> items, std::size_t record_size,
                                             StringOf string_of, FillRest fill_rest) {
  // The bytes go in list order, so a running cursor gives each string's
  // position without remembering it.
  const std::size_t bytes_at = pos();
  for (const Item& item : items) write_string_bytes(string_of(item));
  pad_to(4);
  const std::size_t first = pos();
  std::uint8_t* out = claim(items.size() * record_size);
  if (!ok()) return first;
  std::size_t cursor = bytes_at;
  std::size_t record_pos = first;
  for (const Item& item : items) {
    const std::string_view s = string_of(item);
    const StringRepr repr = string_repr(s, cursor, record_pos);
    std::memcpy(out, repr.data(), repr.size());
    fill_rest(item, out);
    if (s.size() > kInlineMax) cursor += s.size();
    out += record_size;
    record_pos += record_size;
  }
  return first;
}

template <class Entry, class Codec>
TablePos Serializer::write_hash_table(std::span<const Entry> entries, Codec& codec) {
  const std::size_t n = entries.size();
  if (n == 0 || !ok()) return TablePos{};
  auto sizes = table_sizes(n);
  if (!sizes) {
    fail(std::move(sizes.error()));
    return TablePos{};
  }
  const std::size_t cap = sizes->capacity;
  constexpr std::size_t kEntrySize = Codec::entry_size;
  using Resolver = typename Codec::Resolver;
  static_assert(std::is_trivially_copyable_v<Resolver>);

  struct Dependent {
    PendingString key;
    Resolver value;
  };
  // Scratch lives until the table is written; nothing else holds any.
  struct ResetOnExit {
    Arena& arena;
    ~ResetOnExit() { arena.reset(); }
  } reset_on_exit{arena_};

  // A codec that knows its keys' hashes already (key_hashes(), one per
  // entry) spares the pass that reads every key's bytes to hash them.
  std::span<const std::uint64_t> known;
  if constexpr (requires { codec.key_hashes(); }) known = codec.key_hashes();
  if (known.size() != n) known = {};
  std::uint64_t* hashes = arena_.allocate_array<std::uint64_t>(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (known.empty() && i + 8 < n) __builtin_prefetch(codec.key(entries[i + 8]).data());
    const std::string_view key = codec.key(entries[i]);
    // Refused before hashing: a key that cannot be stored is never read.
    if (key.size() >= kStringLimit) {
      fail(string_too_long(key.size()));
      return TablePos{};
    }
    hashes[i] = known.empty() ? fx_hash(key) : known[i];
  }
  std::uint32_t* bucket_entry = arena_.allocate_array<std::uint32_t>(cap);
  std::uint8_t* control = arena_.allocate_array<std::uint8_t>(sizes->control_count);
  if (!place_keys(*sizes, {hashes, n}, {bucket_entry, cap}, {control, sizes->control_count})) {
    fail(Error{"cannot serialize: hash table probe reached an occupied bucket"});
    return TablePos{};
  }

  // Dependent data, bucket by bucket in ascending order. Buckets visit the
  // entries in hash order, so each one is a cache miss unless fetched ahead:
  // the entry some buckets ahead, and the key bytes of a nearer one.
  Dependent* deps = arena_.allocate_array<Dependent>(cap);
  constexpr std::size_t kFarAhead = 64;
  constexpr std::size_t kNearAhead = 32;
  for (std::size_t b = 0; b < cap; ++b) {
    if (b + kFarAhead < cap && bucket_entry[b + kFarAhead] != kEmptyBucket)
      __builtin_prefetch(&entries[bucket_entry[b + kFarAhead]]);
    if (b + kNearAhead < cap && bucket_entry[b + kNearAhead] != kEmptyBucket) {
      const Entry& near = entries[bucket_entry[b + kNearAhead]];
      __builtin_prefetch(codec.key(near).data());
      if constexpr (requires { codec.prefetch_value(near); }) codec.prefetch_value(near);
    }
    const std::uint32_t e = bucket_entry[b];
    if (e == kEmptyBucket) continue;
    deps[b].key = write_string(codec.key(entries[e]));
    deps[b].value = codec.serialize(*this, entries[e]);
  }
  pad_to(Codec::entry_align);
  const std::size_t first = pos();
  // cap * entry size cannot wrap: cap < 2^32 and entries are small.
  std::uint8_t* out = claim(cap * kEntrySize);
  if (!ok()) return TablePos{};
  std::memset(out, 0, cap * kEntrySize);
  // Bucket C-1 first, bucket 0 directly in front of the control bytes.
  for (std::size_t b = 0; b < cap; ++b) {
    if (bucket_entry[b] == kEmptyBucket) continue;
    const std::size_t offset = (cap - 1 - b) * kEntrySize;
    const StringRepr key = place_string(deps[b].key, first + offset);
    std::memcpy(out + offset, key.data(), key.size());
    codec.resolve(*this, deps[b].value, first + offset, out + offset);
  }
  const std::size_t control_pos = pos();
  write_bytes({control, sizes->control_count});
  if (!ok()) return TablePos{};
  return TablePos{control_pos, static_cast<std::uint32_t>(n), sizes->capacity};
}

}  // namespace korvex::archive
