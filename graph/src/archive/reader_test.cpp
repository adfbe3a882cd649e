// Tests of the reader primitives: header checks and their messages, string
// forms, UTF-8, the incremental key hash, and tables: a table the writer
// made is read back and every key found by probing, while hostile control
// bytes (no empty group anywhere) end the probe instead of looping.
#include "archive/reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace korvex::archive {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes header(std::uint64_t version, std::uint64_t payload_offset = 24) {
  Bytes b(24);
  std::memcpy(b.data(), "VELDRANE", 8);
  store_le<std::uint64_t>(b.data() + 8, version);
  store_le<std::uint64_t>(b.data() + 16, payload_offset);
  return b;
}

TEST(Header, Messages) {
  EXPECT_EQ(open_payload(Bytes(3), 7, "graph").error().message,
            "offset 0: a graph archive starts with a 24-byte header, but there are only 3 bytes");
  Bytes wrong_magic = header(7);
  wrong_magic[7] = 'e';
  EXPECT_EQ(open_payload(wrong_magic, 7, "graph").error().message,
            "offset 0: not an archive: the magic is not \"VELDRANE\"");
  EXPECT_EQ(open_payload(header(7), 4, "index").error().message,
            "offset 8: format version 7, but an index archive has version 4");
  EXPECT_EQ(open_payload(header(4, 0), 4, "index").error().message,
            "offset 16: payload offset 0, but the payload always starts at 24");
  Bytes ok = header(4);
  ok.push_back(0xAB);
  auto payload = open_payload(ok, 4, "index");
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(payload->size(), 1u);
  EXPECT_EQ((*payload)[0], 0xAB);
}

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

TEST(Vectors, Messages) {
  Bytes payload(32, 0);
  store_le<std::int32_t>(payload.data() + 24, -22);  // to position 2
  store_le<std::uint32_t>(payload.data() + 28, 1);
  const Reader reader(payload);
  const auto what = [] { return std::string("items list"); };
  EXPECT_EQ(reader.vector(24, 8, 4, 24, what).error().message,
            "offset 48: items list points at offset 26, which is not 4-aligned in the payload");
  store_le<std::int32_t>(payload.data() + 24, -8);  // to position 16
  store_le<std::uint32_t>(payload.data() + 28, 2);
  EXPECT_EQ(reader.vector(24, 8, 4, 24, what).error().message,
            "offset 48: items list of 2 elements of 8 bytes at offset 40 runs past offset 48");
  store_le<std::uint32_t>(payload.data() + 28, 1);
  auto run = reader.vector(24, 8, 4, 24, what);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->pos, 16u);
  EXPECT_EQ(run->count, 1u);
  store_le<std::int32_t>(payload.data() + 24, -25);
  EXPECT_EQ(reader.vector(24, 8, 4, 24, what).error().message,
            "offset 48: items list points outside the payload (relative offset -25)");
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

TEST(Tables, EveryWrittenKeyIsFoundAndAbsentKeysAreNot) {
  for (const std::size_t n : {1, 2, 7, 14, 15, 100, 1000}) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < n; ++i) keys.push_back(std::to_string(i * 7919) + "k");
    std::size_t record = 0;
    const Bytes payload = table_payload(keys, record);
    const Reader reader(payload);
    auto table = read_table(reader, record, 8, 4, record, "keys");
    ASSERT_TRUE(table.has_value()) << table.error().message;
    std::size_t full = 0;
    for (std::uint32_t b = 0; b < table->capacity(); ++b) {
      if (!bucket_full(reader, *table, b)) continue;
      ++full;
      EXPECT_TRUE(check_key(reader, *table, b, fx_hash(reader.string_at(table->entry(b))), "keys").has_value());
    }
    EXPECT_EQ(full, n);
    for (const std::string& k : keys) {
      const auto b = find_in_table(reader, *table, fx_hash(k),
                                   [&](std::uint32_t bucket) { return reader.string_at(table->entry(bucket)) == k; });
      ASSERT_TRUE(b.has_value());
    }
    const std::string absent = "absent";
    EXPECT_FALSE(find_in_table(reader, *table, fx_hash(absent), [&](std::uint32_t bucket) {
      return reader.string_at(table->entry(bucket)) == absent;
    }));
  }
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

TEST(Tables, Messages) {
  std::vector<std::string> keys = {"a", "b", "c"};
  std::size_t record = 0;
  const Bytes good = table_payload(keys, record);  // C = 4, K = 31, entries at 0, control at 32
  ASSERT_EQ(record, 64u);
  struct Case {
    std::size_t at;
    std::vector<std::uint8_t> bytes;
    const char* message;
  };
  const Case cases[] = {
      {record + 8, {5, 0, 0, 0}, "offset 96: keys map of 3 entries has capacity 5, but that many entries take 4"},
      {record, {0xF0, 0xFF, 0xFF, 0xFF},
       "offset 88: keys table of 4 buckets of 8 bytes and 31 control bytes at offset 72 does not fit 4-aligned "
       "between the payload start and offset 88"},
      {record + 4, {0, 0, 0, 0}, "offset 88: keys map of 0 entries has control pointer -32 and capacity 4, but an "
                                 "empty map has 1 and 0"},
      {32 + 1, {0x80}, "offset 57: keys control byte 1 is 0x80, neither empty (0xFF) nor a 7-bit tag"},
      {32 + 10, {0x12}, "offset 66: keys control byte 10 is 0x12, but no bucket is mirrored there, so it must be 0xFF"},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    std::memcpy(bad.data() + c.at, c.bytes.data(), c.bytes.size());
    auto table = read_table(Reader(bad), record, 8, 4, record, "keys");
    ASSERT_FALSE(table.has_value()) << c.message;
    EXPECT_EQ(table.error().message, c.message);
  }
}

}  // namespace
}  // namespace korvex::archive
