// The limits that keep reading one document linear in its size, and the
// measure of work that shows them at work.
//
// Nesting deeper than kMaxNestingDepth fails. Aliases are expanded by
// replaying the recorded events of their anchored node: at most
// kReplayFactor replayed events per parsed event plus kReplaySlack, and at
// most kReplayFactor bytes of replayed scalar text per byte of input plus
// kReplayByteSlack, so that an expansion bomb fails instead of exploding,
// whether it multiplies nodes or one long scalar.
#pragma once

#include <cstddef>

namespace korvex {

// Deepest nesting of collections accepted by the reader. A valid document
// needs five levels; the rest is room for ignored keys.
inline constexpr int kMaxNestingDepth = 256;

inline constexpr std::size_t kReplayFactor = 16;
inline constexpr std::size_t kReplaySlack = 10000;        // events
inline constexpr std::size_t kReplayByteSlack = 1 << 16;  // bytes of scalar text

// How far one read went, whether it succeeded or not.
struct ReadWork {
  std::size_t events = 0;   // events libyaml parsed
  std::size_t scanned = 0;  // characters of the input libyaml's scanner went past
};

}  // namespace korvex
