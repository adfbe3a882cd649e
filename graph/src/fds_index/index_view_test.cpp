// Tests of the index archive view: round trips of random indexes (every
// entry found with its value, iteration gives back exactly the entries,
// absent keys are absent), composite extension keys, exact fault messages,
// a key stored twice, and every truncation and byte flip of a small archive
// (index_view_fuzz goes further), which must either fail to open or open
// into a view whose every key is found where it is stored.
#include "fds_index/fds_index.hpp"
#include "fds_index/index_view.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace korvex::fds {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(FdsIndex index) {
  auto out = to_bytes(canonical_index(std::move(index)));
  EXPECT_TRUE(out.has_value());
  return out ? *out : Bytes{};
}

std::string random_name(std::mt19937& rng, std::size_t max_length) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz._/0123456789";
  std::string s(rng() % (max_length + 1), 'a');
  for (char& c : s) c = kChars[rng() % (sizeof kChars - 1)];
  return s;
}

FdsIndex random_index(std::mt19937& rng, std::size_t n) {
  std::map<std::string, std::string> types, exts;
  std::map<std::string, Span> spans;
  std::map<std::string, std::vector<std::string>> deps;
  while (types.size() < n) types.emplace(random_name(rng, 30), random_name(rng, 20));
  while (spans.size() < n / 2) spans.emplace(random_name(rng, 12), Span{rng(), rng()});
  while (deps.size() < n / 3) {
    std::vector<std::string> list(rng() % 5);
    for (auto& item : list) item = random_name(rng, 16);
    deps.emplace(random_name(rng, 16), std::move(list));
  }
  while (exts.size() < n / 4) exts.emplace(random_name(rng, 20) + "/" + std::to_string(rng() % 100000), "e.proto");
  FdsIndex index;
  index.type_to_file.assign(types.begin(), types.end());
  index.file_to_span.assign(spans.begin(), spans.end());
  index.dep_graph.assign(deps.begin(), deps.end());
  index.ext_to_file.assign(exts.begin(), exts.end());
  return index;
}

template <class V, class W, class Same>
void expect_map(const MapView<V>& view, const Entries<W>& entries, Same same) {
  EXPECT_EQ(view.size(), entries.size());
  for (const auto& [key, value] : entries) {
    const auto found = view.find(key);
    ASSERT_TRUE(found.has_value()) << key;
    EXPECT_TRUE(same(*found, value)) << key;
  }
  std::vector<std::string> iterated;
  for (const auto& [key, value] : view) {
    iterated.emplace_back(key);
    EXPECT_TRUE(view.find(key).has_value());
  }
  std::vector<std::string> keys;
  for (const auto& entry : entries) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  std::sort(iterated.begin(), iterated.end());
  EXPECT_EQ(iterated, keys);
  EXPECT_FALSE(view.find("\x01not a key"));
}

bool same_strings(const Strings& got, const std::vector<std::string>& want) {
  return std::equal(got.begin(), got.end(), want.begin(), want.end());
}

TEST(IndexView, RandomIndexesRoundTrip) {
  std::mt19937 rng(11);
  for (const std::size_t n : {0, 1, 2, 5, 14, 15, 16, 100, 3000}) {
    SCOPED_TRACE(n);
    const FdsIndex index = random_index(rng, n);
    const Bytes file = encode(index);
    auto view = IndexView::open(file);
    ASSERT_TRUE(view.has_value()) << view.error().message;
    expect_map(view->type_to_file(), index.type_to_file, std::equal_to<>());
    expect_map(view->file_to_span(), index.file_to_span, std::equal_to<>());
    expect_map(view->dep_graph(), index.dep_graph, same_strings);
    expect_map(view->ext_to_file(), index.ext_to_file, std::equal_to<>());
    for (const auto& [type, file_name] : index.type_to_file) EXPECT_EQ(view->file_of_type(type), file_name);
    for (const auto& [key, file_name] : index.ext_to_file) {
      const std::size_t slash = key.rfind('/');
      EXPECT_EQ(view->file_of_extension(key.substr(0, slash), std::stoll(key.substr(slash + 1))), file_name);
    }
    for (const auto& [file_name, span] : index.file_to_span) EXPECT_EQ(view->span_of_file(file_name), span);
  }
}

TEST(IndexView, ExtensionKeysAreMatchedWhole) {
  FdsIndex index;
  index.ext_to_file = {{"pkg.M/100", "a.proto"}, {"pkg.M/-3", "b.proto"}, {"pkg.Mx/100", "c.proto"}};
  const Bytes file = encode(index);
  auto view = IndexView::open(file);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->file_of_extension("pkg.M", 100), "a.proto");
  EXPECT_EQ(view->file_of_extension("pkg.M", -3), "b.proto");
  EXPECT_EQ(view->file_of_extension("pkg.Mx", 100), "c.proto");
  EXPECT_FALSE(view->file_of_extension("pkg.M", 10));
  EXPECT_FALSE(view->file_of_extension("pkg.M", 1000));
  EXPECT_FALSE(view->file_of_extension("pkg", 100));
  EXPECT_FALSE(view->file_of_extension("", 100));
}

// ---------------------------------------------------------------- faults --

// {"a.B": "a.proto"} in type_to_file: payload key at 0, value at 8, empty
// bucket 0 at 16, control bytes at 32 (FF 23 FF 23, then FF), records at 64.
FdsIndex single_entry() {
  FdsIndex index;
  index.type_to_file = {{"a.B", "a.proto"}};
  return index;
}

TEST(IndexView, FaultMessages) {
  struct Case {
    const char* name;
    std::size_t at;  // file offset
    std::vector<std::uint8_t> bytes;
    const char* message;
  };
  const Case cases[] = {
      {"version", 8, {7}, "offset 8: format version 7, but an index archive has version 4"},
      {"capacity", 96, {3}, "offset 96: type_to_file map of 1 entries has capacity 3, but that many entries take 2"},
      {"tag", 57, {0x24, 0xFF, 0x24}, "offset 57: type_to_file bucket 1 has tag 0x24, but its key hashes to tag 0x23"},
      {"mirror", 59, {0xFF}, "offset 59: type_to_file control byte 3 is 0xFF, but it mirrors bucket 1, which holds 0x23"},
      {"empty map", 108, {1}, "offset 100: file_to_span map of 0 entries has control pointer 1 and capacity 1, but an "
                              "empty map has 1 and 0"},
      {"table pointer", 88, {0x00, 0x10, 0x00, 0x00}, "offset 88: type_to_file table points outside the payload "
                                                      "(relative offset 4096)"},
  };
  const Bytes good = encode(single_entry());
  ASSERT_EQ(good.size(), 136u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = good;
    std::memcpy(bad.data() + c.at, c.bytes.data(), c.bytes.size());
    auto view = IndexView::open(bad);
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(view.error().message, c.message);
  }
  EXPECT_EQ(IndexView::open(std::span<const std::uint8_t>(good).first(70)).error().message,
            "offset 24: payload of 46 bytes is too short for the 48-byte index record");
}

TEST(IndexView, AKeyStoredTwiceIsRefused) {
  // Two keys of equal length in a table of 3 buckets (entries at payload 0
  // to 48, control bytes from 48): a.C's entry and tag become a.B's.
  FdsIndex index;
  index.type_to_file = {{"a.B", "a.proto"}, {"a.C", "a.proto"}};
  Bytes file = encode(index);
  const auto entry_of = [&](std::string_view key) {
    return static_cast<std::size_t>(std::search(file.begin(), file.end(), key.begin(), key.end()) - file.begin());
  };
  const std::size_t b = entry_of("a.B"), c = entry_of("a.C"), control = 24 + 48;
  std::memcpy(file.data() + c, file.data() + b, 8);
  file[control + (control - c) / 16 - 1] = file[control + (control - b) / 16 - 1];
  file[control + 3 + (control - c) / 16 - 1] = file[control + (control - b) / 16 - 1];
  auto twice = IndexView::open(file);
  ASSERT_FALSE(twice.has_value());
  EXPECT_NE(twice.error().message.find("holds the same key as bucket"), std::string::npos) << twice.error().message;
}

// ---------------------------------------------------- corrupted archives --

void open_checked(std::span<const std::uint8_t> bytes) {
  auto view = IndexView::open(bytes);
  if (!view) return;
  // Every stored key is found, with the value stored beside it.
  for (const auto& [key, value] : view->type_to_file()) EXPECT_EQ(view->file_of_type(key), value);
  for (const auto& [key, value] : view->file_to_span()) EXPECT_EQ(view->span_of_file(key), value);
  for (const auto& [key, value] : view->dep_graph()) {
    const auto found = view->imports_of(key);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), value.size());
  }
  for (const auto& [key, value] : view->ext_to_file()) EXPECT_EQ(view->ext_to_file().find(key), value);
}

TEST(IndexView, EveryTruncationAndEveryByteFlipOfASmallArchive) {
  FdsIndex index;
  index.type_to_file = {{"a.B", "a.proto"}, {"pkg.sub.LongTypeName", "pkg/sub/long_file.proto"}};
  index.file_to_span = {{"a.proto", {0, 12}}};
  index.dep_graph = {{"a.proto", {"b.proto", "some/longer/import.proto"}}};
  index.ext_to_file = {{"a.B/100", "a.proto"}};
  const Bytes good = encode(index);
  for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(IndexView::open(std::span<const std::uint8_t>(good).first(n)));
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (const std::uint8_t mask : {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
      Bytes bad = good;
      bad[i] ^= mask;
      open_checked(bad);
    }
  }
}

}  // namespace
}  // namespace korvex::fds
