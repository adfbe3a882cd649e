// Protobuf wire-format primitives: varints, tags, fixed-width values,
// length-delimited fields and the skipping of unknown fields, over a byte
// buffer held by the caller.
//
// Every read is checked against the end of its enclosing message before it
// happens; nothing allocates and nothing throws. A primitive returns
// Status::ok, or the first problem it met and leaves the reader where that
// problem starts (the first byte of the varint, tag or length prefix that
// could not be read), so that offset() names it. Offsets count from the start
// of the whole buffer, also in readers of nested messages. Groups, the only
// wire construct that nests without a length, are skipped with an explicit
// depth budget, never by unbounded recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "common/utf8.hpp"

namespace korvex::wire {

enum class WireType : std::uint8_t {
  varint = 0,
  fixed64 = 1,
  length_delimited = 2,
  start_group = 3,
  end_group = 4,
  fixed32 = 5,
};

// Highest field number a tag may carry.
inline constexpr std::uint32_t kMaxFieldNumber = (std::uint32_t{1} << 29) - 1;
// A varint holds at most 64 bits, that is ten bytes of seven bits each.
inline constexpr std::size_t kMaxVarintBytes = 10;
// Deepest nesting of groups skip() follows, whatever budget it is given.
inline constexpr int kMaxGroupDepth = 128;

enum class Status : std::uint8_t {
  ok,
  truncated_varint,      // the input ends inside a varint
  overlong_varint,       // more than ten bytes
  truncated_fixed,       // fewer than 4 or 8 bytes left for a fixed-width value
  length_past_end,       // a length prefix reaches beyond the enclosing message
  invalid_wire_type,     // wire type 6 or 7
  invalid_field_number,  // field number 0, or above kMaxFieldNumber
  unexpected_end_group,  // an end-group tag with no group open
  unterminated_group,    // the message ends inside a group
  mismatched_end_group,  // an end-group tag closing another field's group
  too_deep,              // groups nested beyond the caller's budget
};

// The problem in words, for a message that goes on with " at byte offset N".
constexpr std::string_view describe(Status s) {
  switch (s) {
    case Status::ok: return "no error";
    case Status::truncated_varint: return "truncated varint";
    case Status::overlong_varint: return "varint longer than ten bytes";
    case Status::truncated_fixed: return "truncated fixed-width value";
    case Status::length_past_end: return "length runs past the end of the enclosing message";
    case Status::invalid_wire_type: return "invalid wire type";
    case Status::invalid_field_number: return "invalid field number";
    case Status::unexpected_end_group: return "end-group tag without a group";
    case Status::unterminated_group: return "group not terminated";
    case Status::mismatched_end_group: return "end-group tag of another field";
    case Status::too_deep: return "groups nested too deep";
  }
  return "unknown problem";
}

constexpr std::string_view describe(WireType t) {
  switch (t) {
    case WireType::varint: return "varint";
    case WireType::fixed64: return "64-bit";
    case WireType::length_delimited: return "length-delimited";
    case WireType::start_group: return "start-group";
    case WireType::end_group: return "end-group";
    case WireType::fixed32: return "32-bit";
  }
  return "invalid";
}

// Reads a varint of at most ten bytes from [p, end): the byte past it, or
// nullptr when the bytes end first or run longer. Bits beyond the 64th of a
// tenth byte are dropped, as protobuf does. The one varint decoder of the
// core: the cursor below and identification's scans build on it.
inline const std::uint8_t* read_varint(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t& out) noexcept {
  if (p < end && *p < 0x80) {
    out = *p;
    return p + 1;
  }
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < kMaxVarintBytes; ++i) {
    if (p == end) return nullptr;
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) {
      out = v;
      return p;
    }
  }
  return nullptr;
}

// Whether the eight bytes from p (which must be there) are eight whole
// varints, as runs of small values mostly are: none has its top bit set.
inline bool eight_one_byte_varints(const std::uint8_t* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0x8080808080808080ull) == 0;
}

struct Tag {
  std::uint32_t field = 0;
  WireType type = WireType::varint;
};

// Protobuf's int32 and enum fields keep the low 32 bits of the varint.
constexpr std::int32_t as_int32(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

// A cursor over one message's bytes [begin, end) inside a whole buffer.
class Reader {
 public:
  Reader() = default;
  explicit Reader(std::span<const std::uint8_t> whole)
      : base_(whole.data()), pos_(whole.data()), end_(whole.data() + whole.size()) {}
  explicit Reader(std::string_view whole)
      : Reader(std::span(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size())) {}

  bool at_end() const { return pos_ == end_; }
  // Offset of the next byte from the start of the whole buffer.
  std::size_t offset() const { return static_cast<std::size_t>(pos_ - base_); }
  std::size_t end_offset() const { return static_cast<std::size_t>(end_ - base_); }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
  const std::uint8_t* base() const { return base_; }

  Status varint(std::uint64_t& out) {
    const std::uint8_t* past = read_varint(pos_, end_, out);
    if (past == nullptr)  // ten bytes were there to read unless it ran out first
      return remaining() >= kMaxVarintBytes ? Status::overlong_varint : Status::truncated_varint;
    pos_ = past;
    return Status::ok;
  }

  Status tag(Tag& out) {
    const std::uint8_t* start = pos_;
    std::uint64_t v = 0;
    if (Status s = varint(v); s != Status::ok) return s;
    std::uint64_t field = v >> 3;
    auto type = static_cast<std::uint8_t>(v & 7);
    if (field == 0 || field > kMaxFieldNumber) {
      pos_ = start;
      return Status::invalid_field_number;
    }
    if (type > 5) {
      pos_ = start;
      return Status::invalid_wire_type;
    }
    out = Tag{static_cast<std::uint32_t>(field), static_cast<WireType>(type)};
    return Status::ok;
  }

  Status fixed32(std::uint32_t& out) { return fixed(out); }
  Status fixed64(std::uint64_t& out) { return fixed(out); }

  // Reads a length prefix and the bytes it covers: `inner` reads exactly
  // those bytes, and this reader moves past them.
  Status length_delimited(Reader& inner) {
    const std::uint8_t* start = pos_;
    std::uint64_t n = 0;
    if (Status s = varint(n); s != Status::ok) return s;
    if (n > remaining()) {
      pos_ = start;
      return Status::length_past_end;
    }
    inner.base_ = base_;
    inner.pos_ = pos_;
    inner.end_ = pos_ + n;
    pos_ += n;
    return Status::ok;
  }

  // As above, for a field whose bytes are kept as text.
  Status bytes(std::string_view& out) {
    Reader inner;
    if (Status s = length_delimited(inner); s != Status::ok) return s;
    out = std::string_view(reinterpret_cast<const char*>(inner.pos_), inner.remaining());
    return Status::ok;
  }

  // Skips the value of a field whose tag has just been read. A group may
  // hold groups up to `depth_budget` levels deep (the group itself is one).
  // An end-group tag has no value: skip() refuses it without moving, and the
  // problem is the tag the caller has just read.
  Status skip(const Tag& t, int depth_budget) {
    switch (t.type) {
      case WireType::varint: {
        std::uint64_t v;
        return varint(v);
      }
      case WireType::fixed64: {
        std::uint64_t v;
        return fixed64(v);
      }
      case WireType::fixed32: {
        std::uint32_t v;
        return fixed32(v);
      }
      case WireType::length_delimited: {
        Reader inner;
        return length_delimited(inner);
      }
      case WireType::start_group:
        return skip_group(t.field, depth_budget);
      case WireType::end_group:
        return Status::unexpected_end_group;
    }
    return Status::invalid_wire_type;
  }

 private:
  template <class T>
  Status fixed(T& out) {
    if (remaining() < sizeof(T)) return Status::truncated_fixed;
    std::memcpy(&out, pos_, sizeof(T));  // little-endian hosts only, like the archives
    pos_ += sizeof(T);
    return Status::ok;
  }

  // Open groups are counted, not recursed into; the field number of each
  // open group is kept so that its end tag can be checked.
  Status skip_group(std::uint32_t field, int depth_budget) {
    std::uint32_t open[kMaxGroupDepth];
    int depth = 0;
    auto push = [&](std::uint32_t f) {
      if (depth >= depth_budget || depth >= kMaxGroupDepth) return false;
      open[depth++] = f;
      return true;
    };
    if (!push(field)) return Status::too_deep;
    while (depth > 0) {
      if (at_end()) return Status::unterminated_group;
      const std::uint8_t* start = pos_;
      Tag t;
      if (Status s = tag(t); s != Status::ok) return s;
      if (t.type == WireType::end_group) {
        if (t.field != open[depth - 1]) {
          pos_ = start;
          return Status::mismatched_end_group;
        }
        --depth;
      } else if (t.type == WireType::start_group) {
        if (!push(t.field)) {
          pos_ = start;
          return Status::too_deep;
        }
      } else if (Status s = skip(t, 0); s != Status::ok) {
        return s;
      }
    }
    return Status::ok;
  }

  const std::uint8_t* base_ = nullptr;
  const std::uint8_t* pos_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

}  // namespace korvex::wire
