// The prices of identification's generative model, in bits (identify.hpp
// states the model), and the work budget of one call.
//
// Every price is a whole multiple of 2^-16 bits. Sums of such numbers are
// exact in double precision up to 2^37 bits, far past anything a payload
// below 2^31 bytes can cost, so a cost comes out the same whatever order
// its parts are added in: a bound made of other parts compares exactly
// with the cost it bounds, equal costs are truly equal, and the answer
// cannot depend on which path the search took to a candidate.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvex::identify {

inline constexpr double kQuantaPerBit = 65536;
// `bits` (non-negative) to the nearest multiple of 2^-16.
constexpr double quantise(double bits) noexcept {
  return static_cast<double>(static_cast<std::int64_t>(bits * kQuantaPerBit + 0.5)) / kQuantaPerBit;
}
// log2(bits) quantised, for run-time sizes (ranges, counts).
double log2_bits(double n) noexcept;

inline constexpr double kLength64 = quantise(3.321928094887362);   // log2 10: a 64-bit varint is 1 to 10 bytes
inline constexpr double kLength32u = quantise(2.321928094887362);  // log2 5: uint32, sint32 take 1 to 5
inline constexpr double kLength32 = quantise(2.584962500721156);   // log2 6: int32 1 to 5, or 10 when negative
inline constexpr double kVarintByteBits = 7;
inline constexpr double kEscapeBits = 8;      // a value outside its type, a required field left out
inline constexpr double kExtraValueBits = 8;  // each further value of a field that is not repeated
inline constexpr double kOpaqueBits = 8;      // a byte of `bytes`, or of an unknown field's value
inline constexpr double kWireTypeBits = 3;    // an unknown field's wire type, as its tag writes it
inline constexpr double kUnknownNumberBits = 29;  // log2(2^29 - 1), quantised: which field number
inline constexpr double kPrintableBits = 6;
inline constexpr double kSpaceBits = 8;
inline constexpr double kControlBits = 16;
inline constexpr double kWideBits = 7;

// A well-mixed hash of a 64-bit key, for the open-addressing tables of
// identification: every bit of the key reaches the low bits.
constexpr std::uint64_t spread(std::uint64_t k) noexcept {
  k ^= k >> 30;
  k *= 0xBF58476D1CE4E5B9ull;
  k ^= k >> 27;
  k *= 0x94D049BB133111EBull;
  return k ^ (k >> 31);
}

// The price of a value one of two codes may write, a bit (or its share)
// saying which: -log2(2^-a + 2^-b), quantised; a and b include the shares.
double mixture(double a, double b) noexcept;
// The shares of integer values written small (1 in 32) and by their bytes.
inline constexpr double kSmallIntegerBits = 5;
inline constexpr double kLargeIntegerBits = quantise(0.045803689613124);  // -log2(31/32)

// What `occurrences` of an undeclared field cost beside their number's
// price, of `bytes` tags and values: each tag is that number and a wire
// type, so it pays kWireTypeBits, not its bytes again; each value
// kOpaqueBits a byte. (A tag written overlong pays its extra bytes as
// value.)
inline double undeclared_bits(std::uint64_t bytes, std::uint32_t field, std::uint64_t occurrences) noexcept {
  std::uint64_t key = std::uint64_t{field} << 3, size = 1;
  while (key >= 0x80) key >>= 7, ++size;
  const std::uint64_t tags = size * occurrences;
  return kOpaqueBits * static_cast<double>(bytes > tags ? bytes - tags : 0) +
         kWireTypeBits * static_cast<double>(occurrences);
}

// Elias gamma length of n >= 1: how counts and lengths are paid for.
constexpr double gamma_bits(std::uint64_t n) noexcept {
  return 2.0 * static_cast<double>(std::bit_width(n) - 1) + 1.0;
}

// Which of its D declared fields a message uses, k of them: -log2 of that
// subset's probability when each field is present with one probability p
// for the whole message, p drawn from Beta(a, b): B(k + a, D - k + b) /
// B(a, b). With a = b = 1 this is log2(D + 1) + log2 C(D, k) (every count
// equally likely, then every subset of it). Tables up to the largest D of
// the graph, so that a price is a few additions.
class Presence {
 public:
  explicit Presence(std::uint32_t max_declared);
  // used <= declared <= max_declared
  double bits(std::uint32_t declared, std::uint32_t used) const noexcept {
    return quantise(lg_ab_[declared] - lg_a_[used] - lg_b_[declared - used] + base_);
  }
  // The least bits(declared, k) over lo <= k <= min(hi, declared); bits of
  // one D grow with D for every k, so this grows with D too.
  double least(std::uint32_t declared, std::uint32_t lo, std::uint32_t hi) const noexcept;
  std::uint32_t max_declared() const noexcept { return static_cast<std::uint32_t>(lg_ab_.size() - 1); }

 private:
  std::vector<double> lg_a_, lg_b_, lg_ab_;  // log2 Gamma(k + a), (j + b), (D + a + b)
  double base_ = 0;
};

// The steps one identification may take: a fixed allowance plus a number
// per payload byte, so that time and memory grow at most linearly with the
// payload.
class Work {
 public:
  // Lists of real objects take up to 6 steps a byte beyond the base (a
  // thousand Kubernetes pods, 12 MB); with 2, a list of a hundred ran out.
  static constexpr std::uint64_t kPerByte = 8;
  static constexpr std::uint64_t kBase = std::uint64_t{1} << 22;
  // What reading one top-level field costs, charged before anything is
  // kept of it: every field is judged again for each way the candidates
  // take it, so a payload of tiny fields runs out of budget in the scan
  // (a field of two bytes pays more than the two bytes bring).
  static constexpr std::uint64_t kPerField = 20;

  // Memory kept for the call (memos, shapes, tables as they grow) costs a
  // step per this many bytes, and may not pass its own allowance, so that
  // it too grows at most linearly with the payload. (A step per 2 bytes
  // made a list of a thousand small objects, 450 KB, run out on what it
  // kept for its ranges: some 27 bytes a payload byte.)
  static constexpr std::uint64_t kBytesPerStep = 16;
  static constexpr std::uint64_t kMemoryBase = std::uint64_t{32} << 20;
  static constexpr std::uint64_t kMemoryPerByte = 64;
  // And never more than this, whatever the payload: a list of objects
  // keeps some 21 bytes a payload byte, so a dense payload of a gigabyte
  // or two would otherwise take more memory than most machines have, and
  // the process would be killed rather than the call fail. A list of
  // 100 MB of Kubernetes objects still fits, one of 200 MB does not.
  static constexpr std::uint64_t kMemoryCeiling = std::uint64_t{4} << 30;

  explicit Work(std::size_t payload) noexcept : left_(budget(payload)), memory_left_(memory_allowance(payload)) {}
  // Pays for `bytes` of memory about to be kept; false once the budget is
  // gone.
  bool keep(std::size_t bytes) noexcept {
    if (bytes > memory_left_) return exhausted_ = out_of_memory_ = true, left_ = 0, false;
    memory_left_ -= bytes;
    return spend(1 + bytes / kBytesPerStep);
  }
  // Spends n steps; false once the budget is gone (and from then on).
  bool spend(std::uint64_t n) noexcept {
    if (n > left_) return exhausted_ = true, left_ = 0, false;
    left_ -= n;
    return !exhausted_;
  }
  bool exhausted() const noexcept { return exhausted_; }
  // Whether it was the memory allowance that ran out.
  bool out_of_memory() const noexcept { return out_of_memory_; }
  static constexpr std::uint64_t memory_allowance(std::size_t payload) noexcept {
    return std::min(kMemoryBase + kMemoryPerByte * static_cast<std::uint64_t>(payload), kMemoryCeiling);
  }
  // Whether less than 1/`share` of what `before` had left, of steps or of
  // memory, is left now (none, once exhausted).
  bool nearly_spent(const Work& before, std::uint64_t share) const noexcept {
    return exhausted_ || left_ < before.left_ / share || memory_left_ < before.memory_left_ / share;
  }
  static constexpr std::uint64_t budget(std::size_t payload) noexcept {
    return kBase + kPerByte * static_cast<std::uint64_t>(payload);
  }

 private:
  std::uint64_t left_;
  std::uint64_t memory_left_;
  bool exhausted_ = false;
  bool out_of_memory_ = false;
};

}  // namespace korvex::identify
