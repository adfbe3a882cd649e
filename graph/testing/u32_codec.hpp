// A bucket-entry codec for exercising the archive writer's hash tables on
// their own: a string key and a u32 value, 12 bytes with alignment 4, the
// value without dependent data. Shared by the writer's tests and benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "archive/writer.hpp"

namespace korvex::testing_support {

struct U32Codec {
  using Entry = std::pair<std::string, std::uint32_t>;
  static constexpr std::size_t entry_size = 12;
  static constexpr std::size_t entry_align = 4;
  using Resolver = std::uint32_t;

  std::string_view key(const Entry& e) const { return e.first; }
  Resolver serialize(archive::Serializer&, const Entry& e) const { return e.second; }
  void resolve(archive::Serializer&, const Resolver& value, std::size_t, std::uint8_t* out) const {
    archive::store_le(out + 8, value);
  }
};

}  // namespace korvex::testing_support
