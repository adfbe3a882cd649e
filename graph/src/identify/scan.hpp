// The top level of a payload, read without a schema: whether the bytes are
// protobuf wire format at all, and where each top-level field lies.
//
// The rules are the wire reader's (common/wire.hpp): tags carry field
// numbers 1 .. 2^29 - 1 and wire types 0 to 5; a varint has at most ten
// bytes; fixed values and length-delimited contents lie inside the
// payload; a group ends with the end tag of its own field, nested at most
// kMaxDepth deep; no end tag appears outside a group. The contents of
// length-delimited fields are not looked into: whether they are messages
// is each candidate's business.
//
// Fields are grouped by tag (field number and wire type): identification
// prices a root's fields tag by tag, so that a value is judged once per
// (tag, transition target), not once per candidate.
//
// Memory and time: a first pass checks the bytes and charges Work::kPerField
// steps a field against the call's budget before anything is kept, so a
// payload of millions of tiny fields (64 MB of `0a 00`) runs out of budget
// without allocating for them; what is kept is 8 bytes a field and one
// entry a distinct tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/wire.hpp"
#include "identify/model.hpp"

namespace korvex::identify {

// Highest field number a tag may carry.
inline constexpr std::uint64_t kMaxField = (std::uint64_t{1} << 29) - 1;
// Deepest nesting of messages and groups followed, the root being depth 0;
// deeper payloads do not parse (protobuf's parsers stop at 100).
inline constexpr int kMaxDepth = 100;

// A tag as one sortable key.
constexpr std::uint64_t tag_key(std::uint32_t field, std::uint8_t wire) noexcept {
  return std::uint64_t{field} << 3 | wire;
}
constexpr std::uint32_t key_field(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key >> 3); }
constexpr std::uint8_t key_wire(std::uint64_t key) noexcept { return static_cast<std::uint8_t>(key & 7); }

// Repeated varint, 64-bit and 32-bit fields may also come as one packed,
// length-delimited run, whatever their packed flag says (parsers take both).
constexpr bool packable(std::uint8_t label, std::uint8_t wire_type) noexcept {
  return label == 2 && (wire_type == 0 || wire_type == 1 || wire_type == 5);
}

// Tag keys to dense numbers in first-seen order: open addressing, doubled
// when half full.
class KeyNumbers {
 public:
  KeyNumbers() : slots_(16, kEmpty) {}
  std::uint32_t number(std::uint64_t key) {
    if (2 * (keys_.size() + 1) > slots_.size()) grow();
    std::size_t s = slot(key);
    while (slots_[s] != kEmpty && keys_[slots_[s]] != key) s = (s + 1) & (slots_.size() - 1);
    if (slots_[s] == kEmpty) {
      slots_[s] = static_cast<std::uint32_t>(keys_.size());
      keys_.push_back(key);
    }
    return slots_[s];
  }
  const std::vector<std::uint64_t>& keys() const noexcept { return keys_; }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFF;
  std::size_t slot(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>(spread(key)) & (slots_.size() - 1);
  }
  void grow() {
    std::vector<std::uint32_t> old(slots_.size() * 2, kEmpty);
    old.swap(slots_);
    for (const std::uint32_t n : old) {
      if (n == kEmpty) continue;
      std::size_t s = slot(keys_[n]);
      while (slots_[s] != kEmpty) s = (s + 1) & (slots_.size() - 1);
      slots_[s] = n;
    }
  }
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint64_t> keys_;
};

// One top-level field: offsets of its value and past its value (past the
// end tag for a group).
struct Occurrence {
  std::uint32_t value = 0;
  std::uint32_t end = 0;
};

// All top-level fields with one tag.
struct TagGroup {
  std::uint64_t key = 0;
  std::uint32_t first = 0;  // occurrences [first, first + count) of TopLevel
  std::uint32_t count = 0;
  std::uint64_t bytes = 0;  // tag and value bytes of all of them
};

struct TopLevel {
  std::vector<TagGroup> tags;           // ascending by key
  std::vector<Occurrence> occurrences;  // grouped by tag, in payload order within a group
};

// Reads the payload (below 2^31 bytes) into `out` (cleared first), or says
// why it is not wire format: "not protobuf wire format: <problem> at byte
// offset <n>", n being where the faulty tag, varint, length or value
// starts. When `work` runs out it returns with `out` empty (the caller
// reports it).
Result<void> scan(std::span<const std::uint8_t> payload, Work& work, TopLevel& out);

// The core's varint decoder (nullptr when truncated or longer than ten
// bytes), and its test for eight one-byte varints in a row.
using wire::eight_one_byte_varints;
using wire::read_varint;

// Past one value of `wire` (not a group), or nullptr.
inline const std::uint8_t* skip_value(std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end) noexcept {
  std::uint64_t v;
  switch (wire) {
    case 0: return read_varint(p, end, v);
    case 1: return end - p >= 8 ? p + 8 : nullptr;
    case 5: return end - p >= 4 ? p + 4 : nullptr;
    case 2:
      p = read_varint(p, end, v);
      return p != nullptr && v <= static_cast<std::uint64_t>(end - p) ? p + v : nullptr;
    default: return nullptr;
  }
}

}  // namespace korvex::identify
