// Tests of the reader primitives that the views' own tests reach only in
// part: UTF-8, the incremental key hash, every string form with its
// message, and a probe over hostile control bytes (no empty group
// anywhere), which must end instead of looping. The header, vector and
// table messages are pinned by the graph and index views' tests.
#include "archive/reader.hpp"
#include "archive/writer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace korvex::archive {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Utf8, Table) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"google.protobuf.Any", true},
      {"\xC3\xA9t\xC3\xA9", true},                 // é
      {"\xE2\x82\xAC", true},                      // €
      {"\xF0\x9F\x98\x80", true},                  // U+1F600
      {"\xF4\x8F\xBF\xBF", true},                  // U+10FFFF
      {"\x80", false},                             // lone continuation
      {"\xC0\xAF", false},                         // overlong '/'
      {"\xE0\x80\xAF", false},                     // overlong
      {"\xED\xA0\x80", false},                     // surrogate D800
      {"\xF4\x90\x80\x80", false},                 // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xC3", false},                             // cut short
      {"abcdefgh\xE2\x82", false},                 // cut short after a fast ASCII run
      {"\xFF", false},
      {std::string("a\0b", 3), true},              // NUL is a character
  };
  for (const Case& c : cases) EXPECT_EQ(valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(FxHasher, EqualsTheHashOfTheConcatenation) {
  std::mt19937 rng(3);
  for (int round = 0; round < 500; ++round) {
    std::string text(rng() % 40, '\0');
    for (char& c : text) c = static_cast<char>(rng());
    FxHasher hasher;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t take = std::min<std::size_t>(text.size() - at, rng() % 11);
      hasher.update(std::string_view(text).substr(at, take));
      at += take;
    }
    EXPECT_EQ(hasher.finish(), fx_hash(text));
  }
  EXPECT_EQ(FxHasher().finish(), 0x2B44F56FFAE88A6Bu);
}

TEST(Modulus, EqualsTheRemainder) {
  std::mt19937_64 rng(7);
  for (const std::uint64_t d : std::initializer_list<std::uint64_t>{1, 2, 3, 7, 17, 114, 1142857, 0xFFFFFFFF, rng() | 1}) {
    const Modulus mod = Modulus::of(d);
    for (const std::uint64_t x : std::initializer_list<std::uint64_t>{0, 1, d - 1, d, d + 1, ~0ull, ~0ull - d})
      EXPECT_EQ(mod(x), x % d) << x << " mod " << d;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t x = rng();
      EXPECT_EQ(mod(x), x % d) << x << " mod " << d;
    }
  }
}

struct StringCase {
  std::vector<std::uint8_t> repr;  // at payload position 16; the payload's first 16 bytes are 'x'
  const char* result;              // nullptr: refused
  const char* message;
};

TEST(Strings, FormsAndMessages) {
  const StringCase cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "", nullptr},
      {{'a', 'b', 'c', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "abc", nullptr},
      {{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, "abcdefgh", nullptr},
      {{0x8A, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF}, "xxxxxxxxxx", nullptr},  // 10 bytes at -16
      {{'a', 0xFF, 'c', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, nullptr,
       "offset 40: name: string of 1 bytes is inline but has other bytes after its 0xFF fill"},
      {{0x88, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF}, nullptr,
       "offset 40: name: string of 8 bytes is stored out of line, but strings of up to 8 bytes are inline"},
      {{0x8A, 0, 0, 0, 0xEF, 0xFF, 0xFF, 0xFF}, nullptr,
       "offset 40: name: string of 10 bytes has its bytes outside the payload"},
      {{0x8A, 0, 0, 0, 0x0F, 0, 0, 0}, nullptr,
       "offset 40: name: string of 10 bytes has its bytes outside the payload"},
      {{0xC3, 0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, nullptr,
       "offset 40: name: string of 2 bytes is not valid UTF-8"},
  };
  for (const StringCase& c : cases) {
    Bytes payload(16, 'x');
    payload.insert(payload.end(), c.repr.begin(), c.repr.end());
    const Reader reader(payload);
    auto got = reader.string(16, [] { return std::string("name"); });
    if (c.result != nullptr) {
      ASSERT_TRUE(got.has_value()) << got.error().message;
      EXPECT_EQ(*got, c.result);
      EXPECT_EQ(reader.string_at(16), c.result);
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().message, c.message);
      // The unchecked decoder stays inside the payload whatever the bytes.
      const std::string_view clamped = reader.string_at(16);
      EXPECT_TRUE(clamped.empty() || (reinterpret_cast<const std::uint8_t*>(clamped.data()) >= payload.data() &&
                                      reinterpret_cast<const std::uint8_t*>(clamped.data()) + clamped.size() <=
                                          payload.data() + payload.size()));
    }
  }
}

// Bucket entries of a key and no value.
struct KeyOnlyCodec {
  static constexpr std::size_t entry_size = 8;
  static constexpr std::size_t entry_align = 4;
  struct Resolver {};
  std::string_view key(const std::string& k) const { return k; }
  Resolver serialize(Serializer&, const std::string&) { return {}; }
  void resolve(Serializer&, const Resolver&, std::size_t, std::uint8_t*) {}
};

// A table of n keys as the writer lays it out (entries of 8-byte keys and
// no values), at the start of a payload; returns the payload and record
// position.
Bytes table_payload(const std::vector<std::string>& keys, std::size_t& record) {
  Serializer s;
  KeyOnlyCodec codec;
  const TablePos table = s.write_hash_table(std::span<const std::string>(keys), codec);
  s.pad_to(4);
  record = s.pos();
  const MapRecord rec = s.map_record(table, record);
  s.write_bytes(rec);
  EXPECT_TRUE(s.ok());
  const auto payload = s.payload();
  return Bytes(payload.begin(), payload.end());
}

TEST(Tables, ProbingEndsWhateverTheControlBytes) {
  std::vector<std::string> keys;
  for (int i = 0; i < 100; ++i) keys.push_back(std::to_string(i));
  std::size_t record = 0;
  Bytes payload = table_payload(keys, record);
  const Reader reader(payload);
  auto table = read_table(reader, record, 8, 4, record, "keys");
  ASSERT_TRUE(table.has_value());
  // Bytes changed after the checks: every control byte a matching tag, no
  // empty byte anywhere. The probe gives up after its bounded walk.
  const std::string key = "absent";
  std::memset(payload.data() + table->control, hash_tag(fx_hash(key)), table->sizes.control_count);
  std::size_t compared = 0;
  EXPECT_FALSE(find_in_table(reader, *table, fx_hash(key), [&](std::uint32_t) {
    ++compared;
    return false;
  }));
  EXPECT_LE(compared, 16u * (table->sizes.probe_mask + 1) / 16);
}

}  // namespace
}  // namespace korvex::archive
