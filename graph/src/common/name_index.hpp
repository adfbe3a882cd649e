// A set of positions in a list of names, hashed by the name at each
// position: it finds the earlier position of an equal name without holding a
// copy of any name, and stays valid while the list grows or is rewritten at
// positions it does not hold.
//
// Open addressing with linear probing over 16-byte (hash, position,
// generation) slots, at most half full; positions are 32-bit, far beyond any
// list a document can produce, and a longer list throws std::length_error. The hash reads eight bytes at a time and has no per-process
// seed; it only serves lookups, and nothing iterates the slots, so no output
// depends on it. clear() keeps the slots and only starts a new generation
// (a slot of an older one counts as empty), so that one index serves a whole
// series of lists, one per document, without allocating again and at a cost
// that does not depend on the largest list it held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

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

class NameIndex {
 public:
  // Returns the position of an earlier equal name, or inserts `pos` and
  // returns it. `names` must hold a name at every inserted position;
  // `name_of(names[i])` gives it as a string_view.
  template <class Names, class Proj>
  std::size_t find_or_insert(const Names& names, Proj&& name_of, std::size_t pos) {
    return find_or_insert(names, name_of, std::string_view(name_of(names[pos])), pos);
  }

  // The same for a name that is not in the list yet: returns the position
  // of an equal name, or records `new_pos` for `name` and returns it, and
  // the caller then places the name at `new_pos` before the next call.
  template <class Names, class Proj>
  std::size_t find_or_insert(const Names& names, Proj&& name_of, std::string_view name, std::size_t new_pos) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    if (new_pos > kMaxPosition) throw std::length_error("too many names for a NameIndex");
    const std::uint64_t h = name_hash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.generation != generation_) {
        s = Slot{h, static_cast<std::uint32_t>(new_pos), generation_};
        ++count_;
        return new_pos;
      }
      if (s.hash == h && std::string_view(name_of(names[s.pos])) == name) return s.pos;
    }
  }

  std::size_t size() const noexcept { return count_; }

  // Forgets every position, in constant time but once every 2^32 calls;
  // the slots stay allocated.
  void clear() noexcept {
    count_ = 0;
    if (++generation_ != 0) return;
    for (Slot& s : slots_) s.generation = 0;
    generation_ = 1;
  }

 private:
  static constexpr std::size_t kMaxPosition = 0xFFFFFFFFu;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t pos = 0;
    std::uint32_t generation = 0;  // the slot is taken when equal to generation_
  };
  static_assert(sizeof(Slot) == 16);
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.generation != generation_) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].generation == generation_) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::uint32_t generation_ = 1;
};

}  // namespace korvex
