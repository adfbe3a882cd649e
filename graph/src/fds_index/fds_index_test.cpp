// Tests of the descriptor-set index: the canonical order (bucket counts,
// probing, the small-table fallback, independence from insertion order) and
// the version-4 archive (exact bytes of small indexes, entry layouts, limits),
// plus a reader written here that looks every key of a large random index up
// through the archived tables the way consumers probe them.
#include "fds_index/fds_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/writer.hpp"

namespace korvex::fds {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 24;
constexpr std::size_t kRecord = 48;
const Bytes kEmptyMapRecord = {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

std::uint32_t get32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b.at(at)} | std::uint32_t{b.at(at + 1)} << 8 | std::uint32_t{b.at(at + 2)} << 16 |
         std::uint32_t{b.at(at + 3)} << 24;
}
std::int32_t geti32(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(get32(b, at)); }
std::uint64_t get64(const Bytes& b, std::size_t at) {
  return std::uint64_t{get32(b, at)} | std::uint64_t{get32(b, at + 4)} << 32;
}
Bytes slice(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

Bytes encode(const FdsIndex& index) {
  auto out = to_bytes(index);
  EXPECT_TRUE(out.has_value()) << (out ? "" : out.error().message);
  return out ? *out : Bytes{};
}

template <class V>
std::vector<std::string> keys_of(const Entries<V>& entries) {
  std::vector<std::string> keys;
  for (const auto& e : entries) keys.push_back(e.first);
  return keys;
}

// --------------------------------------------------------- canonical map --

TEST(CanonicalMap, BucketCounts) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 0},   {1, 4},   {3, 4},    {4, 8},     {7, 8},
                                                       {8, 16},  {14, 16}, {15, 32},  {16, 32},   {28, 32},
                                                       {29, 64}, {100, 128}, {1000, 2048}, {1000000, 2097152}};
  for (const auto& [n, buckets] : cases) EXPECT_EQ(canonical_bucket_count(n), buckets) << n;
}

struct OrderCase {
  std::vector<std::string> keys;  // in any order
  std::vector<std::string> canonical;
};

TEST(CanonicalMap, OrderOfOccupiedSlots) {
  // Slots worked out by hand from the key hashes (mod 4 or mod 8):
  //   ""    ...8A6B   "a"   ...2AFF   "ab" ...BFA7   "abcd" ...7E21
  const OrderCase cases[] = {
      {{}, {}},
      {{"x"}, {"x"}},
      // 8 slots: "" at 3, "a" at 7, "ab" probes 7 then the empty byte at 8,
      // which is slot 0; "abcd" at 1.
      {{"abcd", "ab", "a", ""}, {"ab", "abcd", "", "a"}},
      // 4 slots: "" at 3; "a" from 3 finds byte 4, slot 0; "ab" from 3 finds
      // byte 4 again, but slot 0 is taken: the lowest empty slot, 1.
      {{"ab", "", "a"}, {"a", "ab", ""}},
  };
  for (const OrderCase& c : cases) {
    Entries<std::string> entries;
    for (const std::string& k : c.keys) entries.emplace_back(k, "v" + k);
    const Entries<std::string> out = canonical_map(std::move(entries));
    EXPECT_EQ(keys_of(out), c.canonical);
    for (const auto& [k, v] : out) EXPECT_EQ(v, "v" + k) << "values travel with their keys";
  }
}

// The canonical table, replayed step by step as described: sort, then probe
// groups of 16 control bytes in a table of B slots + 16 bytes.
std::vector<std::string> reference_order(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  const std::size_t n = keys.size();
  if (n == 0) return {};
  std::size_t b = n < 4 ? 4 : n < 8 ? 8 : n < 15 ? 16 : std::bit_ceil(8 * n / 7);
  std::vector<int> ctrl(b + 16, -1);
  std::vector<std::string> slot(b);
  std::vector<bool> used(b);
  for (const std::string& k : keys) {
    const std::uint64_t h = archive::fx_hash(k);
    std::size_t p = h & (b - 1);
    for (std::size_t stride = 16;; stride += 16) {
      std::size_t q = 0;
      while (q < 16 && ctrl[p + q] != -1) ++q;
      if (q < 16) {
        std::size_t s = (p + q) & (b - 1);
        if (ctrl[s] != -1) {
          s = 0;
          while (ctrl[s] != -1) ++s;
        }
        ctrl[s] = static_cast<int>(h >> 57);
        ctrl[((s + 16 * b - 16) & (b - 1)) + 16] = static_cast<int>(h >> 57);
        slot[s] = k;
        used[s] = true;
        break;
      }
      p = (p + stride) & (b - 1);
    }
  }
  std::vector<std::string> out;
  for (std::size_t s = 0; s < b; ++s)
    if (used[s]) out.push_back(slot[s]);
  return out;
}

// Distinct UTF-8 keys of up to max_len characters, ASCII and multi-byte
// (bytes with the top bit set sort after ASCII as unsigned bytes).
std::vector<std::string> random_keys(std::mt19937_64& rng, std::size_t n, std::size_t max_len = 30) {
  static const char* const kPieces[] = {"a", "b", "c", "x", "y", "z", "A", "Q", ".", "/", "_", "0", "9",
                                        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E"};
  std::set<std::string> keys;
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
  while (keys.size() < n) {
    std::string k;
    for (std::size_t i = len(rng); i > 0; --i) k += kPieces[piece(rng)];
    keys.insert(k);
  }
  std::vector<std::string> out(keys.begin(), keys.end());
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

TEST(CanonicalMap, MatchesAStepByStepReplay) {
  std::mt19937_64 rng(5);
  for (std::size_t n = 0; n <= 70; ++n) {
    for (int round = 0; round < 5; ++round) {
      // Short keys make hash clusters likely enough to reach the fallback.
      const std::vector<std::string> keys = random_keys(rng, n, n < 20 ? 2 : 12);
      Entries<Span> entries;
      for (const std::string& k : keys) entries.emplace_back(k, Span{k.size(), 0});
      ASSERT_EQ(keys_of(canonical_map(std::move(entries))), reference_order(keys)) << n;
    }
  }
  const std::vector<std::string> keys = random_keys(rng, 3000);
  Entries<Span> entries;
  for (const std::string& k : keys) entries.emplace_back(k, Span{});
  EXPECT_EQ(keys_of(canonical_map(std::move(entries))), reference_order(keys));
}

TEST(CanonicalMap, OrdersKeyBytesAcrossChunkBoundaries) {
  // Long shared prefixes, NUL and 0xFF bytes, and keys that end exactly at
  // or just past an eight-byte boundary: the order must stay plain unsigned
  // byte order with a proper prefix first. Over 256 keys, so that the first
  // chunk is sorted by radix passes and the shared runs by comparison.
  std::mt19937_64 rng(11);
  static const std::string kTails[] = {std::string(), std::string(1, '\0'), std::string(2, '\0'), "a", "\xFF",
                                       "\xFF\xFF", "abcdefgh", std::string("abcdefg\0", 8), "abcdefgh\0"};
  std::set<std::string> unique;
  for (const char* prefix : {"", "\xFF", "com.example.pkg.", "com.example.pkg.Message0", "com.example.pkg.Message00"})
    for (const std::string& a : kTails)
      for (const std::string& b : kTails) unique.insert(prefix + a + b);
  std::vector<std::string> keys(unique.begin(), unique.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  Entries<std::string> entries;
  for (const std::string& k : keys) entries.emplace_back(k, k);
  EXPECT_EQ(keys_of(canonical_map(std::move(entries))), reference_order(keys));
}

TEST(CanonicalMap, FifteenEntriesUseThirtyTwoSlots) {
  std::vector<std::string> keys;
  for (int i = 0; i < 15; ++i) keys.push_back("pkg.Type" + std::to_string(i));
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  const std::vector<std::string_view> views(sorted.begin(), sorted.end());
  const std::vector<std::size_t> slots = canonical_slots(views);
  ASSERT_EQ(slots.size(), 32u);
  EXPECT_EQ(std::count(slots.begin(), slots.end(), kEmptySlot), 17);

  FdsIndex index;
  for (const std::string& k : keys) index.type_to_file.emplace_back(k, "f.proto");
  const Bytes file = encode(canonical_index(std::move(index)));
  const Bytes p = slice(file, kHeader, file.size());
  const std::size_t rec = p.size() - kRecord;
  EXPECT_EQ(get32(p, rec + 4), 15u);
  EXPECT_EQ(get32(p, rec + 8), 17u) << "capacity";
  // Keys longer than 8 bytes come first, then 17 entries of 16 bytes, then
  // 47 control bytes, padding to 4 and the record.
  std::size_t key_bytes = 0;
  for (const std::string& k : keys) key_bytes += k.size() > 8 ? k.size() : 0;
  const std::size_t control = archive::align_up(key_bytes, 4) + 17 * 16;
  EXPECT_EQ(rec + geti32(p, rec), control);
  EXPECT_EQ(rec, archive::align_up(control + 47, 4));
}

TEST(CanonicalMap, InsertionOrderDoesNotMatter) {
  std::mt19937_64 rng(9);
  FdsIndex a;
  for (const std::string& k : random_keys(rng, 200)) a.type_to_file.emplace_back(k, k + ".proto");
  for (const std::string& k : random_keys(rng, 150)) a.file_to_span.emplace_back(k, Span{k.size(), rng()});
  for (const std::string& k : random_keys(rng, 100))
    a.dep_graph.emplace_back(k, std::vector<std::string>{k, "dep.proto"});
  for (const std::string& k : random_keys(rng, 50)) a.ext_to_file.emplace_back(k, "ext/" + k);
  FdsIndex b = a;
  std::shuffle(b.type_to_file.begin(), b.type_to_file.end(), rng);
  std::shuffle(b.file_to_span.begin(), b.file_to_span.end(), rng);
  std::reverse(b.dep_graph.begin(), b.dep_graph.end());
  std::sort(b.ext_to_file.begin(), b.ext_to_file.end());
  const Bytes bytes_a = encode(canonical_index(a));
  EXPECT_EQ(encode(canonical_index(b)), bytes_a);
  EXPECT_EQ(encode(canonical_index(a)), bytes_a) << "and the same input twice gives the same bytes";
}

// --------------------------------------------------------- archive bytes --

Bytes header() {
  return {'V', 'E', 'L', 'D', 'R', 'A', 'N', 'E', 4, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0};
}

TEST(IndexArchive, FourEmptyMaps) {
  Bytes expected = header();
  for (int i = 0; i < 4; ++i) expected.insert(expected.end(), kEmptyMapRecord.begin(), kEmptyMapRecord.end());
  ASSERT_EQ(expected.size(), 72u);
  EXPECT_EQ(encode(FdsIndex{}), expected);
}

TEST(IndexArchive, SingleTypeEntry) {
  FdsIndex index;
  index.type_to_file = {{"a.B", "a.proto"}};
  Bytes expected = header();
  const Bytes payload_head = {
      0x61, 0x2E, 0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // bucket 1 key
      0x61, 0x2E, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0xFF,  // bucket 1 value
  };
  expected.insert(expected.end(), payload_head.begin(), payload_head.end());
  expected.insert(expected.end(), 16, 0);  // bucket 0, empty
  Bytes control(31, 0xFF);
  control[1] = 0x23;
  control[3] = 0x23;
  expected.insert(expected.end(), control.begin(), control.end());
  expected.push_back(0);  // padding to 64
  const Bytes record = {0xE0, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 0x02, 0, 0, 0};
  expected.insert(expected.end(), record.begin(), record.end());
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), kEmptyMapRecord.begin(), kEmptyMapRecord.end());
  ASSERT_EQ(expected.size(), 136u);
  EXPECT_EQ(encode(canonical_index(index)), expected);
}

TEST(IndexArchive, SpanEntryLayout) {
  FdsIndex index;
  index.type_to_file = {{"t", "f"}};  // 2 entries of 16 + 31 control bytes: 63, so padding to 64
  index.file_to_span = {{"a.proto", Span{0x0102030405060708, 0x1112131415161718}}};
  const Bytes file = encode(canonical_index(index));
  const Bytes p = slice(file, kHeader, file.size());
  const std::size_t rec = p.size() - kRecord;
  const std::size_t control = rec + 12 + geti32(p, rec + 12);
  const std::size_t entries = control - 2 * 24;
  EXPECT_EQ(entries, 64u);
  EXPECT_EQ(entries % 8, 0u) << "span entries start at a multiple of 8";
  EXPECT_EQ(p[63], 0) << "padding";
  const std::size_t bucket = archive::fx_hash("a.proto") % 2;
  const std::size_t at = control - (bucket + 1) * 24;
  EXPECT_EQ(slice(p, at, at + 8), (Bytes{'a', '.', 'p', 'r', 'o', 't', 'o', 0xFF}));
  EXPECT_EQ(get64(p, at + 8), 0x0102030405060708u);
  EXPECT_EQ(get64(p, at + 16), 0x1112131415161718u);
  const std::size_t empty = control - (2 - bucket) * 24;
  EXPECT_EQ(slice(p, empty, empty + 24), Bytes(24, 0));
  EXPECT_EQ(get32(p, rec + 20), 2u) << "capacity";
}

TEST(IndexArchive, DepEntryWithEmptyList) {
  FdsIndex index;
  index.dep_graph = {{"f.proto", {}}};
  const Bytes file = encode(canonical_index(index));
  const Bytes p = slice(file, kHeader, file.size());
  // No dependent data at all: the list points at position 0, where its
  // elements would have started, and the entries follow right there.
  const std::size_t bucket = archive::fx_hash("f.proto") % 2;
  const std::size_t at = (1 - bucket) * 16;
  EXPECT_EQ(slice(p, at, at + 8), (Bytes{'f', '.', 'p', 'r', 'o', 't', 'o', 0xFF}));
  EXPECT_EQ(geti32(p, at + 8), -static_cast<std::int32_t>(at + 8));
  EXPECT_EQ(get32(p, at + 12), 0u);
  EXPECT_EQ(p.size(), 32u + 31 + 1 + 48);
}

TEST(IndexArchive, DepListKeepsRepetitionsAndPointsBack) {
  FdsIndex index;
  index.dep_graph = {{"main.proto", {"a.proto", "long/name/dep.proto", "a.proto", "long/name/dep.proto"}}};
  const Bytes file = encode(canonical_index(index));
  const Bytes p = slice(file, kHeader, file.size());
  // 0: key bytes (10), 10 and 29: the two long elements, padding to 48,
  // 48: the four element representations, 80: the two bucket entries.
  EXPECT_EQ(std::string(p.begin(), p.begin() + 10), "main.proto");
  EXPECT_EQ(std::string(p.begin() + 10, p.begin() + 29), "long/name/dep.proto");
  EXPECT_EQ(std::string(p.begin() + 29, p.begin() + 48), "long/name/dep.proto");
  EXPECT_EQ(slice(p, 48, 56), (Bytes{'a', '.', 'p', 'r', 'o', 't', 'o', 0xFF}));
  EXPECT_EQ(slice(p, 56, 60), (Bytes{0x93, 0, 0, 0}));  // 19 bytes, out of line
  EXPECT_EQ(geti32(p, 60), 10 - 56);
  EXPECT_EQ(slice(p, 64, 72), slice(p, 48, 56));
  EXPECT_EQ(geti32(p, 76), 29 - 72) << "each occurrence has its own bytes";
  const std::size_t bucket = archive::fx_hash("main.proto") % 2;
  const std::size_t at = 80 + (1 - bucket) * 16;
  EXPECT_EQ(geti32(p, at + 4), -static_cast<std::int32_t>(at)) << "key points at position 0";
  EXPECT_EQ(geti32(p, at + 8), 48 - static_cast<std::int32_t>(at + 8));
  EXPECT_EQ(get32(p, at + 12), 4u);
}

TEST(IndexArchive, PayloadLimitIsExact) {
  FdsIndex index;
  index.type_to_file = {{"a.B", "a.proto"}};
  auto at = to_bytes(index, 112);
  ASSERT_FALSE(at.has_value());
  EXPECT_EQ(at.error().message, "cannot serialize: archive payload would reach the limit of 112 bytes");
  auto above = to_bytes(index, 113);
  ASSERT_TRUE(above.has_value());
  EXPECT_EQ(above->size(), 136u);
}

// ----------------------------------------------------------------- reader --

struct Map {
  std::size_t control = 0;
  std::uint32_t length = 0;
  std::uint32_t capacity = 0;
};

class Reader {
 public:
  explicit Reader(const Bytes& file) : p_(slice(file, kHeader, file.size())) {
    EXPECT_EQ(slice(file, 0, kHeader), header());
    const std::size_t rec = p_.size() - kRecord;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t at = rec + 12 * i;
      maps_[i].length = get32(p_, at + 4);
      maps_[i].capacity = get32(p_, at + 8);
      if (maps_[i].capacity != 0) maps_[i].control = at + geti32(p_, at);
    }
  }

  std::string string_at(std::size_t at) const {
    if ((p_[at] & 0xC0) == 0x80) {
      const std::uint32_t word = get32(p_, at);
      const std::size_t len = (word & 0x3F) | ((word >> 8) << 6);
      const std::size_t target = at + geti32(p_, at + 4);
      return std::string(p_.begin() + target, p_.begin() + target + len);
    }
    std::size_t len = 0;
    while (len < 8 && p_[at + len] != 0xFF) ++len;
    return std::string(p_.begin() + at, p_.begin() + at + len);
  }

  // Position of the entry holding `key` in map `which`, probing as readers
  // do: start at h mod C, groups of 16 control bytes, stride +16 under mask
  // M, skipping starts at or past G, stopping at a group holding 0xFF.
  std::optional<std::size_t> find(int which, std::string_view key, std::size_t entry_size) const {
    const Map& m = maps_[which];
    if (m.capacity == 0) return std::nullopt;
    const std::size_t cap = m.capacity;
    const std::size_t span = (cap + 15) / 16 * 16;
    const std::size_t mask = std::bit_ceil(span + 15) - 1;
    const std::uint64_t h = archive::fx_hash(key);
    std::size_t pos = h % cap;
    std::size_t stride = 0;
    for (;;) {
      bool empty = false;
      for (std::size_t i = 0; i < 16; ++i) {
        const std::uint8_t c = p_[m.control + pos + i];
        if (c == (h >> 57)) {
          const std::size_t entry = m.control - ((pos + i) % cap + 1) * entry_size;
          if (string_at(entry) == key) return entry;
        }
        empty |= c == 0xFF;
      }
      if (empty) return std::nullopt;
      do {
        stride += 16;
        pos = (pos + stride) & mask;
      } while (pos >= span);
    }
  }

  const Map& map(int which) const { return maps_[which]; }
  const Bytes& payload() const { return p_; }

 private:
  Bytes p_;
  Map maps_[4];
};

TEST(IndexArchive, ReaderFindsEveryKeyOfALargeRandomIndex) {
  std::mt19937_64 rng(2024);
  FdsIndex index;
  for (const std::string& k : random_keys(rng, 20000, 40)) index.type_to_file.emplace_back(k, "t/" + k);
  for (const std::string& k : random_keys(rng, 5000, 20))
    index.file_to_span.emplace_back(k, Span{rng(), rng()});
  for (const std::string& k : random_keys(rng, 3000, 20)) {
    std::vector<std::string> deps(rng() % 5);
    for (std::string& d : deps) d = std::string(rng() % 20, 'd');
    index.dep_graph.emplace_back(k, std::move(deps));
  }
  for (const std::string& k : random_keys(rng, 1000, 12)) index.ext_to_file.emplace_back(k, k);
  const FdsIndex expected = index;
  const Bytes bytes = encode(canonical_index(std::move(index)));
  const Reader r(bytes);

  // A view of the same texts, whose canonical order hands the keys' hashes
  // on to the encoder, encodes to the same bytes.
  FdsIndexView view;
  std::vector<std::vector<std::string_view>> lists;
  lists.reserve(expected.dep_graph.size());
  for (const auto& [k, v] : expected.type_to_file) view.type_to_file.emplace_back(k, v);
  for (const auto& [k, v] : expected.file_to_span) view.file_to_span.emplace_back(k, v);
  for (const auto& [k, v] : expected.dep_graph) view.dep_graph.emplace_back(k, lists.emplace_back(v.begin(), v.end()));
  for (const auto& [k, v] : expected.ext_to_file) view.ext_to_file.emplace_back(k, v);
  view = canonical_index(std::move(view));
  ASSERT_EQ(view.key_hashes.dep_graph.size(), 3000u);
  EXPECT_EQ(to_bytes(view).value(), bytes);
  {
    // Import lists keyed by the very texts of file_to_span take its order.
    FdsIndex shared;
    FdsIndexView same;
    shared.file_to_span = expected.file_to_span;
    for (const auto& [k, v] : expected.file_to_span) {
      same.file_to_span.emplace_back(k, v);
      same.dep_graph.emplace_back(k, std::span<const std::string_view>(lists[v.start % lists.size()]));
      shared.dep_graph.emplace_back(k, std::vector<std::string>(same.dep_graph.back().second.begin(),
                                                                same.dep_graph.back().second.end()));
    }
    EXPECT_EQ(to_bytes(canonical_index(std::move(same))).value(), encode(canonical_index(std::move(shared))));
  }

  EXPECT_EQ(r.map(0).length, 20000u);
  EXPECT_EQ(r.map(0).capacity, 22857u);
  for (const auto& [k, v] : expected.type_to_file) {
    const auto at = r.find(0, k, 16);
    ASSERT_TRUE(at.has_value()) << k;
    ASSERT_EQ(r.string_at(*at + 8), v);
  }
  for (const auto& [k, v] : expected.file_to_span) {
    const auto at = r.find(1, k, 24);
    ASSERT_TRUE(at.has_value()) << k;
    ASSERT_EQ(*at % 8, 0u);
    ASSERT_EQ(get64(r.payload(), *at + 8), v.start);
    ASSERT_EQ(get64(r.payload(), *at + 16), v.end);
  }
  for (const auto& [k, v] : expected.dep_graph) {
    const auto at = r.find(2, k, 16);
    ASSERT_TRUE(at.has_value()) << k;
    const std::size_t first = *at + 8 + geti32(r.payload(), *at + 8);
    ASSERT_EQ(get32(r.payload(), *at + 12), v.size());
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(r.string_at(first + 8 * i), v[i]);
  }
  for (const auto& [k, v] : expected.ext_to_file) {
    const auto at = r.find(3, k, 16);
    ASSERT_TRUE(at.has_value()) << k;
    ASSERT_EQ(r.string_at(*at + 8), v);
  }
  // Keys with a space are not in the alphabet: probing stops at a group with
  // an empty byte.
  for (const std::string_view k : {"absent key one", "absent key two", " "}) EXPECT_FALSE(r.find(0, k, 16).has_value());
}

}  // namespace
}  // namespace korvex::fds
