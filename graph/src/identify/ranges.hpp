// Facts about one payload's length-delimited contents, computed once per
// range and shared by every candidate that reads the range: what the bytes
// cost as text, and their floor, the least they can cost under any reading
// a graph offers (a string, bytes, a packed run of numbers, or a message of
// any type). Floors are what the search's bounds are made of: a candidate
// whose fields cannot come under the best answers found so far, even at
// their floors, is never parsed.
//
// The text model prices each byte of valid UTF-8 by its class: printable
// ASCII kPrintableBits, tab, newline and carriage return kSpaceBits, every
// other control byte kControlBits, each byte of a multi-byte sequence
// kWideBits. Invalid UTF-8 is no text at all.
//
// A floor never exceeds the cost that match.hpp gives the same bytes under
// any node, so bounds made of floors never cut a candidate that could rank.
// Ranges are keyed by the offset their content starts at: from one start,
// wire format has one reading, so the key names one range. Every step is
// counted against the call's work budget (Work).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "identify/candidates.hpp"

namespace korvex::identify {

// The model's prices, in bits (identify.hpp explains them).
inline constexpr double kLength64 = 3.321928094887362;   // log2 10: a 64-bit varint is 1 to 10 bytes long
inline constexpr double kLength32u = 2.321928094887362;  // log2 5: uint32, sint32 take 1 to 5
inline constexpr double kLength32 = 2.584962500721156;   // log2 6: int32 1 to 5, or 10 when negative
inline constexpr double kVarintByteBits = 7;
inline constexpr double kEscapeBits = 8;  // a value outside its type, a required field left out
inline constexpr double kExtraValueBits = 8;  // each further value of a field that is not repeated
inline constexpr double kOpaqueBits = 8;  // a byte of `bytes`, or of an unknown field
inline constexpr double kPrintableBits = 6;
inline constexpr double kSpaceBits = 8;
inline constexpr double kControlBits = 16;
inline constexpr double kWideBits = 7;

// The steps one identification may take: a fixed allowance plus a number
// per payload byte, so that time grows at most linearly with the payload.
class Work {
 public:
  static constexpr std::uint64_t kPerByte = 2;
  static constexpr std::uint64_t kBase = std::uint64_t{1} << 22;

  explicit Work(std::size_t payload) noexcept : left_(kBase + kPerByte * static_cast<std::uint64_t>(payload)) {}
  // Spends n steps; false once the budget is gone (and from then on).
  bool spend(std::uint64_t n) noexcept {
    if (n > left_) return exhausted_ = true, left_ = 0, false;
    left_ -= n;
    return !exhausted_;
  }
  bool exhausted() const noexcept { return exhausted_; }
  std::uint64_t budget(std::size_t payload) const noexcept {
    return kBase + kPerByte * static_cast<std::uint64_t>(payload);
  }

 private:
  std::uint64_t left_;
  bool exhausted_ = false;
};

// Elias gamma length of n >= 1: how counts and lengths are paid for.
double gamma_bits(std::uint64_t n) noexcept;

// The text price of the bytes, or a negative number when they are not
// valid UTF-8.
double text_bits(const std::uint8_t* p, const std::uint8_t* end) noexcept;

class Ranges {
 public:
  Ranges(const Candidates& candidates, const std::uint8_t* begin, Work& work);

  // text_bits of the content starting at p, remembered.
  double text(const std::uint8_t* p, const std::uint8_t* end);
  // The floor of the content [p, end) of a length-delimited field (its
  // length not included).
  double floor(const std::uint8_t* p, const std::uint8_t* end, int depth = 0);
  // The floor of one field's value at p (after its tag) read with `wire`,
  // the length of a length-delimited value included; `end` bounds it.
  double value_floor(std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end, int depth = 0);

 private:
  struct Entry {
    std::uint32_t key = 0xFFFFFFFF;
    double text = 0;
    double floor = 0;
    bool has_text = false, has_floor = false;
  };
  Entry& entry(const std::uint8_t* p);
  // The floor of [p, end) read as a message, or a negative number when it
  // is not wire format.
  double message_floor(const std::uint8_t* p, const std::uint8_t* end, int depth);
  double packed_floor(const std::uint8_t* p, const std::uint8_t* end);

  const Candidates& candidates_;
  const std::uint8_t* begin_;
  Work& work_;
  std::vector<Entry> table_;
  std::size_t used_ = 0;
};

}  // namespace korvex::identify
