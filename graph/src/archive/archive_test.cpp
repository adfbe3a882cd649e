// Tests of the archive writer: key hash, string forms, checked narrowing,
// table sizes and placement, the writer's limits, framing, and the output
// buffer and scratch arena. Byte-level expectations are written out in full;
// placement is checked against a reader that probes the way consumers do.
#include "archive/writer.hpp"
#include "testing/u32_codec.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// AddressSanitizer reports an impossible allocation instead of throwing.
#if defined(__SANITIZE_ADDRESS__)
#define KORVEX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEX_UNDER_ASAN 1
#endif
#endif

namespace korvex::archive {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// ------------------------------------------------------------- key hash --

struct HashCase {
  std::string key;
  std::uint64_t hash;
};

TEST(FxHash, KnownValues) {
  const HashCase cases[] = {
      {"", 0x2B44F56FFAE88A6B},
      {"abc", 0x32061E1B06958893},
      {"a.B", 0x4768EA2239422BE5},
      // One key per tail shape: 1, 2, 4, 4+2+1, 8, 8+1 bytes, several chunks.
      {"a", 0xAA44C3C5B8E22AFF},
      {"ab", 0x3326E72FB14CBFA7},
      {"abcd", 0x65FAB557A3117E21},
      {"abcdefg", 0x8D58CB512476AD60},
      {"abcdefgh", 0xDC23285DA99C6AFF},
      {"abcdefghi", 0x5D5247D4D678B8F9},
      {"google.protobuf.FileDescriptorProto", 0x3965C92EA6C82AC2},
      // Bytes with the top bit set are read as unsigned.
      {std::string("\xC3\xA9\xFF\x00\x80", 5), 0x5EF753D74238C347},
  };
  for (const HashCase& c : cases) EXPECT_EQ(fx_hash(c.key), c.hash) << '"' << c.key << '"';
}

TEST(FxHash, TagIsTopSevenBits) {
  const std::pair<std::string, std::uint8_t> cases[] = {{"", 21}, {"abc", 25}, {"a.B", 35}};
  for (const auto& [key, tag] : cases) EXPECT_EQ(hash_tag(fx_hash(key)), tag) << key;
  EXPECT_EQ(hash_tag(~std::uint64_t{0}), 127);
  EXPECT_EQ(hash_tag((std::uint64_t{1} << 57) - 1), 0);
}

// --------------------------------------------------------- string forms --

struct InlineCase {
  std::string text;
  Bytes repr;
};

TEST(StringRepr, InlineForms) {
  const InlineCase cases[] = {
      {"", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"abc", {0x61, 0x62, 0x63, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"abcdefgh", {0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}},
  };
  for (const InlineCase& c : cases) {
    Serializer s;
    const std::size_t at = s.write_string_bytes(c.text);
    EXPECT_EQ(s.pos(), 0u) << "inline strings write no bytes of their own";
    const StringRepr r = s.string_repr(c.text, at, 0);
    EXPECT_EQ(Bytes(r.begin(), r.end()), c.repr) << c.text.size();
  }
}

struct OutOfLineCase {
  std::size_t length;
  std::array<std::uint8_t, 4> word;
};

TEST(StringRepr, OutOfLineForms) {
  const OutOfLineCase cases[] = {
      {9, {0x89, 0x00, 0x00, 0x00}},
      {64, {0x80, 0x01, 0x00, 0x00}},
      {100, {0xA4, 0x01, 0x00, 0x00}},
      {kStringLimit - 1, {0xBF, 0xFF, 0xFF, 0xFF}},
  };
  for (const OutOfLineCase& c : cases) {
    auto word = out_of_line_word(c.length);
    ASSERT_TRUE(word.has_value()) << c.length;
    std::array<std::uint8_t, 4> got;
    store_le(got.data(), *word);
    EXPECT_EQ(got, c.word) << c.length;
  }
  // Real strings: the representation points back at the bytes.
  for (std::size_t len : {9, 64, 100}) {
    const std::string text(len, 'x');
    Serializer s;
    const std::size_t at = s.write_string_bytes(text);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(s.pos(), len);
    s.pad_to(4);
    const std::size_t repr_pos = s.pos();
    const StringRepr r = s.string_repr(text, at, repr_pos);
    EXPECT_EQ(load_le<std::int32_t>(r.data() + 4), -static_cast<std::int32_t>(repr_pos));
    EXPECT_TRUE(s.ok());
  }
}

TEST(StringRepr, PendingStringsMatchTheDirectForm) {
  for (std::size_t len = 0; len <= 130; ++len) {
    std::string text(len, ' ');
    for (std::size_t i = 0; i < len; ++i) text[i] = static_cast<char>('a' + i % 26);
    Serializer direct;
    direct.write_bytes(std::array<std::uint8_t, 3>{7, 7, 7});
    const std::size_t at = direct.write_string_bytes(text);
    Serializer pending;
    pending.write_bytes(std::array<std::uint8_t, 3>{7, 7, 7});
    const PendingString p = pending.write_string(text);
    ASSERT_EQ(bytes_of(pending.payload()), bytes_of(direct.payload())) << len;
    EXPECT_EQ(p.out_of_line, len > 8);
    for (std::size_t repr_pos : {std::size_t{200}, std::size_t{1000}})
      EXPECT_EQ(pending.place_string(p, repr_pos), direct.string_repr(text, at, repr_pos)) << len;
  }
}

TEST(StringRepr, NineBytesInAPayload) {
  Serializer s;
  const std::string text = "pkg.Outer";
  const std::size_t at = s.write_string_bytes(text);
  s.pad_to(4);
  const StringRepr r = s.string_repr(text, at, s.pos());
  s.write_bytes(r);
  const Bytes expected = {'p', 'k', 'g', '.', 'O', 'u', 't', 'e', 'r', 0, 0, 0,  // bytes, zero padding
                          0x89, 0x00, 0x00, 0x00, 0xF4, 0xFF, 0xFF, 0xFF};       // len 9, offset -12
  EXPECT_EQ(bytes_of(s.payload()), expected);
}

TEST(StringRepr, EqualStringsAreNotShared) {
  Serializer s;
  const std::string text = "twelve bytes";
  const std::size_t a = s.write_string_bytes(text);
  const std::size_t b = s.write_string_bytes(text);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 12u);
  EXPECT_EQ(s.pos(), 24u);
}

TEST(StringRepr, LengthLimit) {
  auto word = out_of_line_word(kStringLimit);
  ASSERT_FALSE(word.has_value());
  EXPECT_EQ(word.error().message,
            "cannot serialize: string of 1073741824 bytes exceeds the archive limit of 1073741823 bytes");
  EXPECT_FALSE(out_of_line_word(std::size_t{1} << 32).has_value()) << "no silent truncation to 32 bits";
  EXPECT_FALSE(out_of_line_word(kStringLimit | 9).has_value());
}

// ------------------------------------------------------- checked narrowing --

struct OffsetCase {
  std::size_t target, from;
  std::optional<std::int32_t> expected;
};

TEST(Narrowing, RelativeOffsets) {
  constexpr std::size_t kMax = kPayloadLimit - 1;
  const OffsetCase cases[] = {
      {0, 0, 0},
      {0, 16, -16},
      {16, 0, 16},
      {0, kMax, -static_cast<std::int32_t>(kMax)},
      {kMax, 0, static_cast<std::int32_t>(kMax)},
      {kPayloadLimit, 0, std::nullopt},
      {0, kPayloadLimit, std::nullopt},
      {std::size_t{1} << 32, 0, std::nullopt},  // would wrap to 0 if truncated
  };
  for (const OffsetCase& c : cases) {
    auto got = relative_offset(c.target, c.from);
    if (c.expected) {
      ASSERT_TRUE(got.has_value()) << c.target << " from " << c.from;
      EXPECT_EQ(*got, *c.expected);
    } else {
      ASSERT_FALSE(got.has_value()) << c.target << " from " << c.from;
      EXPECT_EQ(got.error().message, "cannot serialize: archive payload would reach the limit of 2147483648 bytes");
    }
  }
}

TEST(Narrowing, Counts) {
  EXPECT_EQ(narrow_u32(0).value(), 0u);
  EXPECT_EQ(narrow_u32(0xFFFFFFFF).value(), 0xFFFFFFFFu);
  EXPECT_FALSE(narrow_u32(std::size_t{1} << 32).has_value());
  EXPECT_FALSE(narrow_u32((std::size_t{1} << 32) + 5).has_value());
}

TEST(Narrowing, SerializerRecordsTheFirstFailure) {
  Serializer s;
  EXPECT_EQ(s.rel(0, 8), -8);
  EXPECT_EQ(s.count(std::size_t{1} << 32), 0u);
  ASSERT_FALSE(s.ok());
  const std::string first = s.error()->message;
  s.string_repr(std::string(9, 'x'), kPayloadLimit, 0);  // a second failure
  EXPECT_EQ(s.error()->message, first);
  EXPECT_FALSE(s.finish(7).has_value());
}

// ------------------------------------------------------------ table sizes --

struct SizeCase {
  std::size_t n;
  TableSizes sizes;
};

TEST(TableSizes, Rule) {
  const SizeCase cases[] = {
      {1, {2, 16, 31, 31}},       {2, {3, 16, 31, 31}},       {7, {8, 16, 31, 31}},
      {14, {16, 16, 31, 31}},     {15, {17, 32, 47, 63}},     {100, {114, 128, 143, 255}},
      {1000, {1142, 1152, 1167, 2047}},
  };
  for (const SizeCase& c : cases) {
    auto got = table_sizes(c.n);
    ASSERT_TRUE(got.has_value()) << c.n;
    EXPECT_EQ(*got, c.sizes) << c.n;
  }
  EXPECT_FALSE(table_sizes(kPayloadLimit).has_value());
}

// ----------------------------------------------------------- hash tables --

using testing_support::U32Codec;

struct Table {
  Bytes payload;
  TablePos pos;
};

Table write_u32_table(const std::vector<U32Codec::Entry>& entries) {
  Serializer s;
  U32Codec codec;
  const TablePos pos = s.write_hash_table(std::span<const U32Codec::Entry>(entries), codec);
  EXPECT_TRUE(s.ok());
  return {bytes_of(s.payload()), pos};
}

// Reads a string representation at `at` as consumers do.
std::string read_string(const Bytes& p, std::size_t at) {
  const std::uint32_t word = load_le<std::uint32_t>(p.data() + at);
  if ((p[at] & 0xC0) == 0x80) {
    const std::size_t len = (word & 0x3F) | ((word >> 8) << 6);
    const std::size_t target = at + load_le<std::int32_t>(p.data() + at + 4);
    return std::string(reinterpret_cast<const char*>(p.data() + target), len);
  }
  std::size_t len = 0;
  while (len < 8 && p[at + len] != 0xFF) ++len;
  return std::string(reinterpret_cast<const char*>(p.data() + at), len);
}

// Looks `key` up the way a reader does: start at h mod C, look at groups of
// 16 control bytes, compare tags, stop at the first group holding 0xFF,
// otherwise stride +16 under mask M, skipping starts at or past G.
std::optional<std::uint32_t> lookup_u32(const Bytes& p, const TablePos& t, std::string_view key) {
  if (t.empty()) return std::nullopt;
  const std::size_t cap = t.capacity;
  const std::size_t span = align_up(cap, 16);
  const std::size_t mask = std::bit_ceil(span + 15) - 1;
  const std::uint64_t h = fx_hash(key);
  const std::uint8_t tag = hash_tag(h);
  std::size_t pos = h % cap;
  std::size_t stride = 0;
  for (;;) {
    bool saw_empty = false;
    for (std::size_t i = 0; i < 16; ++i) {
      const std::uint8_t c = p[t.control + pos + i];
      if (c == tag) {
        const std::size_t b = (pos + i) % cap;
        const std::size_t entry = t.control - (b + 1) * U32Codec::entry_size;
        if (read_string(p, entry) == key) return load_le<std::uint32_t>(p.data() + entry + 8);
      }
      saw_empty |= c == 0xFF;
    }
    if (saw_empty) return std::nullopt;
    do {
      stride += 16;
      pos = (pos + stride) & mask;
    } while (pos >= span);
  }
}

TEST(HashTable, EmptyMapWritesNothing) {
  Serializer s;
  s.write_bytes(std::array<std::uint8_t, 3>{1, 2, 3});
  U32Codec codec;
  const TablePos t = s.write_hash_table(std::span<const U32Codec::Entry>(), codec);
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(s.pos(), 3u);
  const MapRecord r = s.map_record(t, 100);
  EXPECT_EQ(Bytes(r.begin(), r.end()), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(HashTable, OneEntryLayout) {
  // fx_hash("abc") is odd, so the key lands in bucket 1 of 2.
  const Table t = write_u32_table({{"abc", 0xDEADBEEF}});
  ASSERT_EQ(t.pos.capacity, 2u);
  ASSERT_EQ(t.pos.length, 1u);
  EXPECT_EQ(t.pos.control, 24u);
  Bytes expected = {
      0x61, 0x62, 0x63, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xBE, 0xAD, 0xDE,  // bucket 1
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // bucket 0, empty
  };
  Bytes control(31, 0xFF);
  control[1] = 25;  // the tag of "abc"
  control[3] = 25;  // and its mirror at 1 + C
  expected.insert(expected.end(), control.begin(), control.end());
  EXPECT_EQ(t.payload, expected);

  Serializer s;
  const MapRecord r = s.map_record(t.pos, 56);  // record right after the table (55, padded)
  EXPECT_EQ(Bytes(r.begin(), r.end()), (Bytes{0xE0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 2, 0, 0, 0}));
}

TEST(HashTable, OutOfLineKeyPointsBackAtItsBytes) {
  const std::string key = "a key of twenty bytes";  // 21 bytes
  Serializer s;
  U32Codec codec;
  const std::vector<U32Codec::Entry> entries = {{key, 7}};
  const TablePos t = s.write_hash_table(std::span<const U32Codec::Entry>(entries), codec);
  const Bytes p = bytes_of(s.payload());
  // Key bytes at 0..20, padding to 24, two 12-byte entries, 31 control bytes.
  ASSERT_EQ(p.size(), 24u + 24u + 31u);
  EXPECT_EQ(std::string(p.begin(), p.begin() + 21), key);
  EXPECT_EQ(Bytes(p.begin() + 21, p.begin() + 24), Bytes(3, 0));
  EXPECT_EQ(t.control, 48u);
  const std::size_t bucket = fx_hash(key) % 2;
  const std::size_t entry = t.control - (bucket + 1) * 12;
  EXPECT_EQ(read_string(p, entry), key);
  EXPECT_EQ(load_le<std::int32_t>(p.data() + entry + 4), -static_cast<std::int32_t>(entry));
  const std::size_t other = t.control - (2 - bucket) * 12;
  EXPECT_EQ(Bytes(p.begin() + other, p.begin() + other + 12), Bytes(12, 0));
}

std::vector<U32Codec::Entry> random_entries(std::mt19937_64& rng, std::size_t n) {
  std::set<std::string> keys;
  std::uniform_int_distribution<int> len(0, 24);
  std::uniform_int_distribution<int> ch('a', 'z');
  while (keys.size() < n) {
    std::string k(len(rng), ' ');
    for (char& c : k) c = static_cast<char>(ch(rng));
    keys.insert(k);
  }
  std::vector<U32Codec::Entry> out;
  std::uint32_t v = 0;
  for (const std::string& k : keys) out.emplace_back(k, v++);
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

// Every stored key is found by probing; control bytes hold exactly n tags
// with their mirrors; absent keys stop at a group with an empty byte.
void check_table(const std::vector<U32Codec::Entry>& entries) {
  const Table t = write_u32_table(entries);
  const TableSizes sz = *table_sizes(entries.size());
  ASSERT_EQ(t.pos.capacity, sz.capacity);
  ASSERT_EQ(t.payload.size(), t.pos.control + sz.control_count);
  for (const auto& [key, value] : entries) {
    const auto got = lookup_u32(t.payload, t.pos, key);
    ASSERT_TRUE(got.has_value()) << "key " << key << " of " << entries.size();
    EXPECT_EQ(*got, value);
  }
  EXPECT_FALSE(lookup_u32(t.payload, t.pos, "not a key: has spaces").has_value());
  const std::uint8_t* ctrl = t.payload.data() + t.pos.control;
  std::size_t full = 0;
  for (std::size_t b = 0; b < sz.capacity; ++b) {
    if (ctrl[b] != 0xFF) {
      ++full;
      EXPECT_LT(ctrl[b], 128);
    }
    if (b < sz.control_count - sz.capacity) {
      EXPECT_EQ(ctrl[sz.capacity + b], ctrl[b]) << "mirror of " << b;
    }
  }
  EXPECT_EQ(full, entries.size());
  for (std::size_t i = 2 * std::size_t{sz.capacity}; i < sz.control_count; ++i) EXPECT_EQ(ctrl[i], 0xFF);
}

TEST(HashTable, ReaderFindsEveryKey) {
  std::mt19937_64 rng(42);
  for (std::size_t n : {1, 2, 3, 7, 8, 14, 15, 16, 17, 31, 100, 113, 500, 4000}) {
    SCOPED_TRACE(n);
    check_table(random_entries(rng, n));
  }
}

// Bucket of every entry, replayed step by step as described: groups of 16
// control bytes from h mod C, lowest empty byte, bucket = position mod C,
// mirror below K - C; stride +16 under mask M, skipping starts at or past G.
std::vector<std::size_t> reference_buckets(std::size_t n, const std::vector<std::uint64_t>& hashes) {
  const std::size_t c = std::max(8 * n / 7, n + 1);
  const std::size_t g = (c + 15) / 16 * 16;
  const std::size_t k = g + 15;
  const std::size_t m = std::bit_ceil(k) - 1;
  std::vector<int> ctrl(k, -1);
  std::vector<std::size_t> bucket_of;
  for (std::uint64_t h : hashes) {
    std::size_t p = h % c;
    std::size_t s = 0;
    for (;;) {
      std::size_t q = 0;
      while (q < 16 && ctrl.at(p + q) != -1) ++q;
      if (q < 16) {
        const std::size_t b = (p + q) % c;
        ctrl[b] = static_cast<int>(h >> 57);
        if (b < k - c) ctrl[b + c] = static_cast<int>(h >> 57);
        bucket_of.push_back(b);
        break;
      }
      do {
        s += 16;
        p = (p + s) & m;
      } while (p >= g);
    }
  }
  return bucket_of;
}

TEST(HashTable, PlacementUnderHeavyCollisions) {
  // Every key starts at the same bucket: the probe must walk many groups,
  // step over starts at or past G and still leave a table the reader can
  // use. Starting at G - 16 makes the second step land exactly on G.
  std::mt19937_64 rng(99);
  for (std::size_t n : {1, 5, 15, 16, 17, 20, 33, 40, 100, 113, 300}) {
    const TableSizes sz = *table_sizes(n);
    const std::size_t starts[] = {0, sz.capacity - 1u, sz.capacity / 2u, sz.group_span - 16u, rng() % sz.capacity};
    for (std::size_t start : starts) {
      std::vector<std::uint64_t> hashes(n);
      for (std::size_t i = 0; i < n; ++i) {
        // h mod C = start, with the tag (top 7 bits) varying.
        const std::uint64_t high = (std::uint64_t{i % 128} << 57) / sz.capacity + rng() % 1000;
        hashes[i] = high * sz.capacity + start;
      }
      std::vector<std::uint32_t> buckets(sz.capacity);
      std::vector<std::uint8_t> control(sz.control_count);
      ASSERT_TRUE(place_keys(sz, hashes, buckets, control)) << n << " from " << start;
      const std::vector<std::size_t> expected = reference_buckets(n, hashes);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_LT(expected[i], buckets.size());
        EXPECT_EQ(buckets[expected[i]], i) << n << " from " << start << ", entry " << i;
      }
      EXPECT_EQ(n + std::size_t(std::count(buckets.begin(), buckets.end(), kEmptyBucket)), buckets.size());
    }
  }
}

TEST(HashTable, PlacementMatchesTheReplayForRandomHashes) {
  std::mt19937_64 rng(1234);
  for (std::size_t n = 1; n <= 200; ++n) {
    const TableSizes sz = *table_sizes(n);
    std::vector<std::uint64_t> hashes(n);
    // Few distinct starts: long probe walks without contrived patterns.
    for (std::uint64_t& h : hashes) h = (rng() >> 12) * sz.capacity + (rng() % 4) * (sz.capacity / 4);
    std::vector<std::uint32_t> buckets(sz.capacity);
    std::vector<std::uint8_t> control(sz.control_count);
    ASSERT_TRUE(place_keys(sz, hashes, buckets, control));
    const std::vector<std::size_t> expected = reference_buckets(n, hashes);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(buckets[expected[i]], i) << n;
  }
}

TEST(HashTable, InsertionOrderOnlyMovesCompetingKeys) {
  std::mt19937_64 rng(7);
  auto entries = random_entries(rng, 300);
  const Table a = write_u32_table(entries);
  std::reverse(entries.begin(), entries.end());
  const Table b = write_u32_table(entries);
  EXPECT_EQ(a.payload.size(), b.payload.size());
  for (const auto& [key, value] : entries) EXPECT_EQ(lookup_u32(b.payload, b.pos, key), value);
  // Same order twice: same bytes.
  EXPECT_EQ(write_u32_table(entries).payload, b.payload);
}

// A read-only view of 2^30 zero bytes whose pages are never touched: the
// length checks look at sizes only, so no gigabyte is ever allocated.
class HugeView {
 public:
  HugeView() {
    void* p = ::mmap(nullptr, kStringLimit, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) base_ = static_cast<const char*>(p);
  }
  ~HugeView() {
    if (base_ != nullptr) ::munmap(const_cast<char*>(base_), kStringLimit);
  }
  bool ok() const { return base_ != nullptr; }
  std::string_view view(std::size_t len) const { return {base_, len}; }

 private:
  const char* base_ = nullptr;
};

struct ViewCodec {
  using Entry = std::pair<std::string_view, std::string_view>;
  static constexpr std::size_t entry_size = 16;
  static constexpr std::size_t entry_align = 4;
  using Resolver = PendingString;
  std::string_view key(const Entry& e) const { return e.first; }
  Resolver serialize(Serializer& s, const Entry& e) const { return s.write_string(e.second); }
  void resolve(Serializer& s, const Resolver& value, std::size_t pos, std::uint8_t* out) const {
    const StringRepr r = s.place_string(value, pos + 8);
    std::memcpy(out + 8, r.data(), r.size());
  }
};

constexpr const char* kTooLong =
    "cannot serialize: string of 1073741824 bytes exceeds the archive limit of 1073741823 bytes";

TEST(StringLimit, RefusedBeforeAnyByteIsCopied) {
  const HugeView huge;
  ASSERT_TRUE(huge.ok());
  struct Case {
    const char* what;
    std::vector<ViewCodec::Entry> entries;
  };
  const Case cases[] = {
      {"key", {{"short", "v"}, {huge.view(kStringLimit), "v"}}},
      {"value", {{"short", huge.view(kStringLimit)}}},
  };
  for (const Case& c : cases) {
    Serializer s;
    ViewCodec codec;
    const TablePos t = s.write_hash_table(std::span<const ViewCodec::Entry>(c.entries), codec);
    EXPECT_TRUE(t.empty()) << c.what;
    EXPECT_EQ(s.pos(), 0u) << c.what;
    auto out = s.finish(4);
    ASSERT_FALSE(out.has_value()) << c.what;
    EXPECT_EQ(out.error().message, kTooLong) << c.what;
  }
  // The longest representable string is accepted by the representation.
  Serializer s;
  const StringRepr r = s.string_repr(huge.view(kStringLimit - 1), 0, 0);
  EXPECT_TRUE(s.ok());
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0xBF, 0xFF, 0xFF, 0xFF}));
  s.string_repr(huge.view(kStringLimit), 0, 0);
  EXPECT_EQ(s.error()->message, kTooLong);
  Serializer w;
  w.write_string_bytes(huge.view(kStringLimit));
  EXPECT_EQ(w.pos(), 0u);
  EXPECT_EQ(w.error()->message, kTooLong);
  Serializer v;
  v.write_string(huge.view(kStringLimit));
  EXPECT_EQ(v.pos(), 0u);
  EXPECT_EQ(v.error()->message, kTooLong);
}

// ------------------------------------------------------ writer and limits --

TEST(Serializer, PaddingIsZero) {
  Serializer s;
  s.write_bytes(std::array<std::uint8_t, 5>{0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
  s.pad_to(4);
  EXPECT_EQ(s.pos(), 8u);
  s.pad_to(4);
  EXPECT_EQ(s.pos(), 8u);
  s.write_bytes(std::array<std::uint8_t, 1>{0xBB});
  s.pad_to(8);
  EXPECT_EQ(bytes_of(s.payload()), (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0, 0, 0, 0xBB, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Serializer, PayloadLimitIsStickyAndLeavesNoBytes) {
  Serializer s(16);
  s.write_bytes(Bytes(15, 1));
  EXPECT_TRUE(s.ok());
  s.write_bytes(Bytes(1, 2));  // would make the payload 16 bytes: refused
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error()->message, "cannot serialize: archive payload would reach the limit of 16 bytes");
  EXPECT_EQ(s.pos(), 15u);
  EXPECT_EQ(s.claim(1), nullptr);
  s.write_string_bytes(std::string(20, 'x'));
  s.pad_to(8);
  EXPECT_EQ(s.pos(), 15u) << "nothing is written after a failure";
  EXPECT_FALSE(s.finish(7).has_value());
}

TEST(Serializer, ReserveRefusesBeforeAllocating) {
  Serializer s;
  EXPECT_FALSE(s.reserve(kPayloadLimit));
  EXPECT_EQ(s.error()->message, "cannot serialize: archive payload would reach the limit of 2147483648 bytes");
  Serializer t;
  EXPECT_TRUE(t.reserve(64));
  EXPECT_TRUE(t.ok());
  // A limit above the archive limit is clamped to it.
  Serializer u(std::size_t{1} << 40);
  EXPECT_FALSE(u.reserve(kPayloadLimit));
}

TEST(Serializer, ClaimCountsAreCheckedBeforeAnyArithmeticCanWrap) {
  Serializer s;
  s.write_bytes(Bytes(3, 0));
  EXPECT_EQ(s.claim(~std::size_t{0}), nullptr);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.pos(), 3u);
}

TEST(Framing, HeaderThenPayload) {
  const Bytes payload = {1, 2, 3};
  const Bytes framed = frame_archive(payload, 7);
  const Bytes expected = {'V', 'E', 'L', 'D', 'R', 'A', 'N', 'E', 7, 0, 0, 0, 0, 0, 0, 0,
                          24,  0,   0,   0,   0,   0,   0,   0,   1, 2, 3};
  EXPECT_EQ(framed, expected);
  const Bytes empty = frame_archive({}, 4);
  EXPECT_EQ(empty.size(), 24u);
  EXPECT_EQ(empty[8], 4);
}

TEST(Framing, FinishFramesThePayload) {
  Serializer s;
  s.write_bytes(std::array<std::uint8_t, 2>{9, 8});
  auto out = s.finish(4);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), 26u);
  EXPECT_EQ((*out)[8], 4);
  EXPECT_EQ((*out)[16], 24);
  EXPECT_EQ((*out)[24], 9);
  EXPECT_EQ((*out)[25], 8);

  // The same archive handed over unframed: in the serializer's own buffer,
  // in storage lent to it, or moved out of lent storage it outgrew.
  for (const std::size_t lent : {0, 2, 3, 1}) {
    std::array<std::uint8_t, 3> storage{};
    Serializer t;
    t.write_into(std::span(storage).first(lent));
    t.write_bytes(std::array<std::uint8_t, 2>{9, 8});
    auto framed = t.finish_framed(4);
    ASSERT_TRUE(framed.has_value()) << lent;
    EXPECT_EQ(framed->in_lent_storage(), lent >= 2) << lent;
    Bytes copy(framed->size());
    framed->copy_to(copy.data());
    EXPECT_EQ(copy, *out) << lent;
    EXPECT_TRUE(std::equal(framed->header().begin(), framed->header().end(), out->begin())) << lent;
    if (framed->in_lent_storage()) {
      EXPECT_EQ(storage[0], 9);
    }
  }
}

// ------------------------------------------------------------- AlignedVec --

TEST(AlignedVec, GrowsToPowersOfTwoAndKeepsContents) {
  AlignedVec v;
  EXPECT_EQ(v.capacity(), 0u);
  EXPECT_EQ(v.data(), nullptr);
  const std::pair<std::size_t, std::size_t> steps[] = {{3, 4}, {1, 4}, {1, 8}, {9, 16}, {100, 128}, {1, 128}};
  std::size_t written = 0;
  for (const auto& [n, capacity] : steps) {
    std::uint8_t* p = v.grow_by(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(written + i);
    written += n;
    EXPECT_EQ(v.size(), written);
    EXPECT_EQ(v.capacity(), capacity);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 16, 0u);
  }
  for (std::size_t i = 0; i < written; ++i) ASSERT_EQ(v.data()[i], static_cast<std::uint8_t>(i));
  v.reserve(1000);
  EXPECT_EQ(v.capacity(), 1000u);
  EXPECT_EQ(v.data()[written - 1], static_cast<std::uint8_t>(written - 1));
}

TEST(AlignedVec, ExhaustionIsBadAllocAndLeavesTheBufferIntact) {
  AlignedVec v;
  v.grow_by(5)[0] = 42;
  EXPECT_THROW(v.grow_by(~std::size_t{0}), std::bad_alloc);
  EXPECT_THROW(v.grow_by(std::size_t{1} << 63), std::bad_alloc);
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.data()[0], 42);
#if !defined(KORVEX_UNDER_ASAN)
  // A request the allocator cannot meet.
  EXPECT_THROW(v.reserve(std::size_t{1} << 56), std::bad_alloc);
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.data()[0], 42);
#endif
}

// ------------------------------------------------------------------ Arena --

TEST(Arena, BlockGrowthRule) {
  // A fresh thread has no spare block, so the first request opens one.
  std::thread([] {
    {
      Arena a;
      EXPECT_EQ(a.block_size(), 0u);
      void* p = a.allocate(100, 8);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
      EXPECT_EQ(a.block_size(), Arena::kFirstBlockSize);
      a.allocate(2000, 16);  // does not fit what is left: twice the size
      EXPECT_EQ(a.block_size(), 4096u);
      EXPECT_EQ(a.block_count(), 2u);
      a.allocate(10000, 4);  // larger than twice: power of two above 10000 + 4 + 15
      EXPECT_EQ(a.block_size(), 16384u);
      a.reset();
      EXPECT_EQ(a.block_count(), 1u);
      EXPECT_EQ(a.block_size(), 16384u);
      EXPECT_EQ(thread_spare_block_size(), 0u);
    }
    EXPECT_EQ(thread_spare_block_size(), 16384u) << "the newest block survives the arena";
    {
      Arena b;
      EXPECT_EQ(b.block_size(), 16384u) << "and is adopted by the next one";
      EXPECT_EQ(thread_spare_block_size(), 0u);
      b.allocate(16000, 8);
      EXPECT_EQ(b.block_count(), 1u);
    }
    EXPECT_EQ(thread_spare_block_size(), 16384u);
  }).join();
}

TEST(Arena, ThreadKeepsTheLargerBlock) {
  std::thread([] {
    {
      Arena big;
      big.allocate(50000, 8);
      {
        Arena small;  // nothing to adopt: `big` holds the only block
        small.allocate(10, 8);
        EXPECT_EQ(small.block_size(), Arena::kFirstBlockSize);
      }
      EXPECT_EQ(thread_spare_block_size(), Arena::kFirstBlockSize);
    }
    EXPECT_EQ(thread_spare_block_size(), 65536u);
    {
      Arena small;
      small.allocate(10, 8);
    }
    EXPECT_EQ(thread_spare_block_size(), 65536u);
  }).join();
}

TEST(Arena, ImpossibleRequestsAreBadAllocAndLeaveTheArenaUsable) {
  std::thread([] {
    Arena a;
    a.allocate(10, 8);
    EXPECT_THROW(a.allocate(~std::size_t{0} / 2, 8), std::bad_alloc);
    EXPECT_THROW(a.allocate_array<std::uint64_t>(~std::size_t{0} / 8), std::bad_alloc);
    EXPECT_EQ(a.block_count(), 1u);
    EXPECT_NE(a.allocate(100, 8), nullptr);
  }).join();
}

TEST(Arena, AllocationsDoNotOverlap) {
  std::thread([] {
    Arena a;
    std::map<std::uintptr_t, std::size_t> spans;
    std::mt19937 rng(3);
    for (int i = 0; i < 500; ++i) {
      const std::size_t size = 1 + rng() % 700;
      const std::size_t align = std::size_t{1} << (rng() % 5);
      auto* p = static_cast<std::uint8_t*>(a.allocate(size, align));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u);
      std::memset(p, 0xAB, size);  // ASan catches writes past the block
      spans[reinterpret_cast<std::uintptr_t>(p)] = size;
    }
    std::uintptr_t end = 0;
    for (const auto& [start, size] : spans) {
      EXPECT_GE(start, end);
      end = start + size;
    }
  }).join();
}

}  // namespace
}  // namespace korvex::archive
