// Interned names: every distinct byte string gets a dense 32-bit id, in the
// order names are first interned, and its bytes are stored once.
//
// The reader interns message, child and root names as it meets them, the
// merge and the raw graph then work on ids alone: a name is hashed once per
// occurrence in the input and never again, a child reference is a number,
// and equal ids mean equal bytes. The bytes sit back to back in blocks that
// never move, so a view of a name stays valid as long as the table lives;
// the blocks grow with the table (each about as large as all before it), so
// that a large table lies in a few blocks on huge pages, as do its slots and
// entries, rather than on hundreds of thousands of freshly faulted pages.
//
// Lookups use open addressing with linear probing over 8-byte slots (the
// high 32 bits of the hash, which also pick the slot, and id + 1), at most
// half full, so that growing never reads a name again. The hash reads eight bytes at a time
// and has no per-process seed; nothing iterates the slots, and ids follow
// insertion order, so no output depends on the hash. More than 2^32 - 2
// names, or a name of 4 GiB, throws std::length_error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "common/huge_pages.hpp"

namespace korvex {

// 64-bit hash of a name: eight bytes at a time multiplied in, then mixed so
// that the low bits, which pick the slot, depend on every byte.
inline std::uint64_t name_hash(std::string_view s) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = s.size() * kMul;
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

class NameTable {
 public:
  // The id of no name.
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  NameTable() = default;
  NameTable(NameTable&&) noexcept = default;
  NameTable& operator=(NameTable&&) noexcept = default;
  // A copy holds the same names under the same ids.
  NameTable(const NameTable& other) { *this = other; }
  NameTable& operator=(const NameTable& other) {
    if (this == &other) return *this;
    *this = NameTable{};
    reserve(other.size(), other.bytes_);
    for (const Entry& e : other.entries_) intern(std::string_view(e.data, e.size));
    return *this;
  }

  // The id of `name`, interning it when it is new.
  std::uint32_t intern(std::string_view name) { return intern_hashed(name, name_hash(name)); }

  // Interns names[i] into ids[i] for every i, in order: the same ids as
  // interning them one by one. The probes of a large table are cache misses
  // that follow each other (slot, entry, bytes). Here a name the batch
  // repeats (a document names most of its messages two or three times) is
  // probed once, found through a small table of the batch's own; and each
  // name's slot is fetched some names ahead, its entry nearer and its bytes
  // nearer still, so that the misses of consecutive names overlap. Fetching
  // ahead is only a hint: a name interned meanwhile, or a table grown,
  // changes no id.
  void intern_all(std::span<const std::string_view> names, std::span<std::uint32_t> ids) {
    const std::size_t n = names.size();
    if (n >= kNone) throw std::length_error("too many names for a NameTable");
    // The batch's distinct names, in order of first appearance, and the
    // position of each name's first appearance.
    batch_hashes_.resize(n);
    batch_first_.resize(n);
    distinct_.clear();
    std::size_t size = 16;
    while (size < 2 * n) size *= 2;
    batch_slots_.assign(size, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t hash = name_hash(names[i]);
      batch_hashes_[i] = hash;
      for (std::size_t at = hash & (size - 1);; at = (at + 1) & (size - 1)) {
        const std::uint32_t first = batch_slots_[at];
        if (first == 0) {
          batch_slots_[at] = static_cast<std::uint32_t>(i + 1);
          distinct_.push_back(static_cast<std::uint32_t>(i));
          batch_first_[i] = static_cast<std::uint32_t>(i);
          break;
        }
        if (batch_hashes_[first - 1] == hash && names[first - 1] == names[i]) {
          batch_first_[i] = first - 1;
          break;
        }
      }
    }
    constexpr std::size_t kAhead = 16;
    const std::size_t m = distinct_.size();
    const auto hash_of = [&](std::size_t k) { return batch_hashes_[distinct_[k]]; };
    for (std::size_t k = 0; k < m + 3 * kAhead; ++k) {
      if (k < m && !slots_.empty()) __builtin_prefetch(&slots_[home(hash_of(k))]);
      if (k >= kAhead && k - kAhead < m) {
        if (const std::uint32_t id = first_candidate(hash_of(k - kAhead)); id != kNone) __builtin_prefetch(&entries_[id]);
      }
      if (k >= 2 * kAhead && k - 2 * kAhead < m) {
        if (const std::uint32_t id = first_candidate(hash_of(k - 2 * kAhead)); id != kNone)
          __builtin_prefetch(entries_[id].data);
      }
      if (k >= 3 * kAhead) {
        const std::uint32_t i = distinct_[k - 3 * kAhead];
        ids[i] = intern_hashed(names[i], batch_hashes_[i]);
      }
    }
    for (std::size_t i = 0; i < n; ++i)
      if (batch_first_[i] != i) ids[i] = ids[batch_first_[i]];
  }

  // The id of `name`, whose name_hash is `hash`, interning it when it is new.
  std::uint32_t intern_hashed(std::string_view name, std::uint64_t hash) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow(std::max<std::size_t>(64, slots_.size() * 2));
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) {
        const auto id = static_cast<std::uint32_t>(entries_.size());
        if (id >= kNone - 1 || name.size() > kMaxNameSize) throw std::length_error("too many names for a NameTable");
        entries_.push_back(Entry{store(name), static_cast<std::uint32_t>(name.size())});
        slots_[i] = (std::uint64_t{tag} << 32) | (id + 1);
        return id;
      }
      if (static_cast<std::uint32_t>(slot >> 32) == tag) {
        const auto id = static_cast<std::uint32_t>(slot) - 1;
        if ((*this)[id] == name) return id;
      }
    }
  }

  // The id of `name`, or kNone.
  std::uint32_t find(std::string_view name) const noexcept {
    if (slots_.empty()) return kNone;
    const auto tag = static_cast<std::uint32_t>(name_hash(name) >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return kNone;
      if (static_cast<std::uint32_t>(slot >> 32) == tag) {
        const auto id = static_cast<std::uint32_t>(slot) - 1;
        if ((*this)[id] == name) return id;
      }
    }
  }

  // The bytes of name `id` (< size()); valid while the table lives.
  std::string_view operator[](std::uint32_t id) const noexcept {
    const Entry& e = entries_[id];
    return std::string_view(e.data, e.size);
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Room for about `names` names of `bytes` bytes in all, so that a caller
  // that can estimate them spares the table its growth steps.
  void reserve(std::size_t names, std::size_t bytes) {
    entries_.reserve(names);
    std::size_t slots = 64;
    while (slots < names * 2) slots *= 2;
    if (slots > slots_.size()) grow(slots);
    if (bytes > left_) new_block(bytes);
  }

 private:
  static constexpr std::size_t kMaxNameSize = 0xFFFFFFFFu;
  static constexpr std::size_t kBlockSize = 64 * 1024;
  static constexpr std::size_t kMaxBlockSize = 64 * 1024 * 1024;

  struct Entry {
    const char* data;
    std::uint32_t size;
  };
  struct BlockDeleter {
    std::size_t size;
    void operator()(char* p) const noexcept { deallocate_large(p, size); }
  };

  const char* store(std::string_view name) {
    if (name.size() > left_) new_block(std::max(std::clamp(bytes_, kBlockSize, kMaxBlockSize), name.size()));
    char* at = cursor_;
    if (!name.empty()) std::memcpy(at, name.data(), name.size());
    cursor_ += name.size();
    left_ -= name.size();
    bytes_ += name.size();
    return at;
  }

  void new_block(std::size_t size) {
    blocks_.emplace_back(static_cast<char*>(allocate_large(size)), BlockDeleter{size});
    cursor_ = blocks_.back().get();
    left_ = size;
  }

  // The slot a hash starts probing from.
  std::size_t home(std::uint64_t hash) const noexcept { return (hash >> 32) & (slots_.size() - 1); }
  // The id in the first slot of the probe whose tag matches `hash`, or
  // kNone: the entry a lookup will most likely compare.
  std::uint32_t first_candidate(std::uint64_t hash) const noexcept {
    if (slots_.empty()) return kNone;
    const std::uint64_t slot = slots_[home(hash)];
    if (slot == 0 || (slot >> 32) != (hash >> 32)) return kNone;
    return static_cast<std::uint32_t>(slot) - 1;
  }

  void grow(std::size_t slots) {
    LargeVector<std::uint64_t> old = std::move(slots_);
    slots_.assign(slots, 0);
    const std::size_t mask = slots - 1;
    for (const std::uint64_t slot : old) {
      if (slot == 0) continue;
      std::size_t i = (slot >> 32) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  LargeVector<Entry> entries_;
  LargeVector<std::uint64_t> slots_;  // 0 empty, else (hash >> 32) << 32 | (id + 1)
  // Scratch of intern_all, kept for its storage.
  std::vector<std::uint64_t> batch_hashes_;
  std::vector<std::uint32_t> batch_slots_;  // 0 empty, else position in the batch + 1
  std::vector<std::uint32_t> batch_first_;
  std::vector<std::uint32_t> distinct_;
  std::vector<std::unique_ptr<char[], BlockDeleter>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace korvex
