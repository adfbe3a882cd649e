// Tests of identification: the ranking and the reasons on a small schema
// with one type per rule, the exact scores of a few, the messages for
// malformed payloads, and properties over the bundled graphs and a wide
// generated one: a payload generated for a root is always matched exactly
// by its node, pruning never changes the answer (identify(top = k) is the
// first k of every match), and the answer does not depend on which other
// calls ran before.
#include "identify/identify.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "build_scoring_graph/pipeline.hpp"
#include "testing/files.hpp"
#include "testing/payloads.hpp"

namespace korvex::identify {
namespace {

using testing::Bytes;
using testing::put_bytes;
using testing::put_tag;
using testing::put_varint;

constexpr const char* kSchema = R"(
entries: [t.Flag, t.Count, t.Big, t.Name, t.Blob, t.Outer, t.Nums, t.Req, t.Ext, t.Grp, t.Pair]
messages:
  t.Flag: {fields: [{number: 1, type: bool, range: [0, 1]}]}
  t.Count: {fields: [{number: 1, type: int32}]}
  t.Big: {fields: [{number: 1, type: int64}]}
  t.Name: {fields: [{number: 1, type: string}]}
  t.Blob: {fields: [{number: 1, type: bytes}]}
  t.Outer: {fields: [{number: 1, type: message, child: t.Flag}]}
  t.Nums: {fields: [{number: 1, type: int32, label: repeated, packed: true}]}
  t.Req: {fields: [{number: 1, type: int32}, {number: 2, type: int32, label: required}]}
  t.Ext: {fields: [{number: 1, type: int32}], ext_ranges: [[100, 199]]}
  t.Grp: {fields: [{number: 1, type: group, child: t.G}]}
  t.G: {kind: GROUP, fields: [{number: 2, type: uint32}]}
  t.Pair: {fields: [{number: 1, type: int32}, {number: 2, type: string}]}
)";

struct Graph {
  Bytes archive;
  serial::GraphView view;
  std::unique_ptr<Identifier> identifier;
};

std::unique_ptr<Graph> bake(const std::vector<std::string>& documents) {
  auto out = bake_scoring_graph(documents, BakeRequest{});
  EXPECT_TRUE(out.has_value()) << (out ? "" : out.error().message);
  auto g = std::make_unique<Graph>();
  g->archive = std::move(out->archive);
  auto view = serial::GraphView::open(g->archive);
  EXPECT_TRUE(view.has_value());
  g->view = std::move(*view);
  g->identifier = std::make_unique<Identifier>(g->view);
  return g;
}

// 1 200 types of up to 20 fields of every wire type, half of them
// messages of others of the lot: keys that hundreds of target types read,
// as in real haystacks, where the screen finds those that cannot read a
// value from planes of their signatures.
std::unique_ptr<Graph> wide() {
  constexpr int kTypes = 1200;
  const char* const kScalars[] = {"int32", "uint64", "sint32", "double", "float", "string", "bytes"};
  std::mt19937_64 pick(7);
  std::string entries = "entries: [", messages = "messages:\n";
  for (int i = 0; i < kTypes; ++i) {
    const std::string name = "w.T" + std::to_string(i);
    entries += (i == 0 ? "" : ", ") + name;
    messages += "  " + name + ": {fields: [";
    bool any = false;
    for (int f = 1; f <= 20; ++f) {
      if (pick() % 3 == 0) continue;
      messages += std::string(any ? ", " : "") + "{number: " + std::to_string(f) + ", type: ";
      any = true;
      const auto kind = pick() % 15;
      if (kind < 7)
        messages += "message, child: w.T" + std::to_string(pick() % kTypes);
      else if (kind == 7)
        messages += "int32, label: repeated, packed: true";
      else
        messages += kScalars[kind - 8];
      messages += "}";
    }
    messages += "]}\n";
  }
  return bake({entries + "]\n" + messages});
}

std::unique_ptr<Graph> load(const std::string& expected) {
  if (expected == "wide") return wide();
  auto g = std::make_unique<Graph>();
  const std::string file = read_file(std::string(KORVEX_TESTDATA) + "/expected/" + expected + "/graph.rkyv");
  g->archive.assign(file.begin(), file.end());
  auto view = serial::GraphView::open(g->archive);
  EXPECT_TRUE(view.has_value()) << expected;
  g->view = std::move(*view);
  g->identifier = std::make_unique<Identifier>(g->view);
  return g;
}

Bytes bytes(std::initializer_list<int> list) {
  Bytes b;
  for (const int x : list) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

// "name1|name2 reason" per match, best first.
std::vector<std::string> describe(const Graph& g, const std::vector<Match>& matches) {
  std::vector<std::string> out;
  for (const Match& m : matches) {
    std::string line;
    for (const std::uint32_t r : m.roots) {
      if (!line.empty()) line += '|';
      line += g.view.roots()[r].fqdn;
    }
    out.push_back(line + " " + m.reason());
  }
  return out;
}

// Every match, best first; asked for the best k, each k, the search
// prunes and must answer the first k of them.
std::vector<std::string> ranking(const Graph& g, const Bytes& payload) {
  auto matches = g.identifier->identify(payload, std::nullopt);
  EXPECT_TRUE(matches.has_value()) << matches.error().message;
  if (!matches) return {};
  const auto all = describe(g, *matches);
  for (std::size_t k = 1; k <= all.size(); ++k) {
    auto some = g.identifier->identify(payload, k);
    EXPECT_TRUE(some && describe(g, *some) == std::vector(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k)))
        << "top " << k;
  }
  return all;
}

using Ranking = std::vector<std::string>;

TEST(Identify, RanksByTheModel) {
  const auto g = bake({kSchema});
  struct Case {
    const char* what;
    Bytes payload;
    Ranking expected;
  };
  Bytes packed;
  put_bytes(packed, 1, bytes({1, 2, 3}));
  Bytes nested;
  put_bytes(nested, 1, bytes({0x08, 0x01}));
  Bytes group;
  put_tag(group, 1, 3);
  put_tag(group, 2, 0);
  put_varint(group, 7);
  put_tag(group, 1, 4);
  Bytes negative;
  put_tag(negative, 1, 0);
  put_varint(negative, static_cast<std::uint64_t>(std::int64_t{-5}));
  Bytes wide;
  put_tag(wide, 1, 0);
  put_varint(wide, std::uint64_t{1} << 40);
  // The range's two ends are inside it, the number after it is not.
  Bytes extension = bytes({0x08, 0x01}), past = bytes({0x08, 0x01});
  put_tag(extension, 100, 0);
  put_varint(extension, 1);
  put_tag(extension, 199, 0);
  put_varint(extension, 1);
  put_tag(past, 200, 0);
  put_varint(past, 1);
  const Case cases[] = {
      {"a bool explains 1 best; int32 before int64; the required field missing ranks last",
       bytes({0x08, 0x01}),
       {"t.Flag exact", "t.Count exact", "t.Ext exact", "t.Big exact", "t.Nums exact", "t.Pair exact",
        "t.Req 1 required field missing"}},
      {"2 is outside the bool's range (an escape dearer than a missing required field)",
       bytes({0x08, 0x02}),
       {"t.Count exact", "t.Ext exact", "t.Big exact", "t.Nums exact", "t.Pair exact",
        "t.Req 1 required field missing", "t.Flag 1 value out of range"}},
      {"-5, sign-extended, is small by its magnitude to an int32 and an int64 alike (equal: by name); a bool "
       "cannot hold it, and its escape and ten bytes cost more than a missing required field",
       negative,
       {"t.Big exact", "t.Count exact", "t.Ext exact", "t.Nums exact", "t.Pair exact",
        "t.Req 1 required field missing", "t.Flag 1 value out of range"}},
      {"2^40 fits int64 only",
       wide,
       {"t.Big exact", "t.Count 1 value out of range", "t.Ext 1 value out of range", "t.Flag 1 value out of range",
        "t.Nums 1 value out of range", "t.Pair 1 value out of range",
        "t.Req 1 value out of range, 1 required field missing"}},
      {"a nested message explains its bytes best; control bytes are dear as a string",
       nested,
       {"t.Outer exact", "t.Blob exact", "t.Nums exact", "t.Name exact"}},
      {"a packed run", packed, {"t.Blob exact", "t.Nums exact", "t.Name exact"}},
      {"bytes that are neither wire format, UTF-8 nor varints: only bytes hold them",
       bytes({0x0A, 0x02, 0xFF, 0xFE}),
       {"t.Blob exact"}},
      {"a group", group, {"t.Grp exact"}},
      {"an extension keeps the match exact", extension,
       {"t.Ext exact, 2 extension fields", "t.Flag 2 unknown fields", "t.Count 2 unknown fields",
        "t.Big 2 unknown fields", "t.Nums 2 unknown fields", "t.Pair 2 unknown fields",
        "t.Req 2 unknown fields, 1 required field missing"}},
      {"past the range, an unknown field", past,
       {"t.Flag 1 unknown field", "t.Count 1 unknown field", "t.Ext 1 unknown field", "t.Big 1 unknown field",
        "t.Nums 1 unknown field", "t.Pair 1 unknown field", "t.Req 1 unknown field, 1 required field missing"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ranking(*g, c.payload), c.expected) << c.what;
}

TEST(Identify, ScoresAreBitsOfTheModel) {
  const auto g = bake({kSchema});
  auto matches = g->identifier->identify(bytes({0x08, 0x01}), std::nullopt);
  ASSERT_TRUE(matches.has_value());
  std::map<std::string, double> score;
  for (const Match& m : *matches) score[std::string(g->view.roots()[m.roots[0]].fqdn)] = m.score;
  // Prices are whole multiples of 2^-16 bits: each logarithm is within
  // 2^-17 of its exact value. Presence log2(1 + 1) + log2 C(1, 1), then
  // the value: 1 as a bool is 1 bit; as an integer, 1 time in 32 the gamma
  // code of 2 (3 bits), else 7 bits and the length price.
  constexpr double kRounding = 1e-4;
  const auto integer = [](double length) {
    return -std::log2(std::exp2(-(3.0 + 5)) + std::exp2(-(7 + length - std::log2(31.0 / 32))));
  };
  EXPECT_EQ(score["t.Flag"], -(1 + 1));
  EXPECT_NEAR(score["t.Count"], -(1 + integer(std::log2(6.0))), kRounding);
  EXPECT_NEAR(score["t.Big"], -(1 + integer(std::log2(10.0))), kRounding);
  EXPECT_NEAR(score["t.Nums"], -(1 + 1 + integer(std::log2(6.0))), kRounding);  // a repeated field's count: gamma(1)
  // Two declared fields, one used: log2 3 + log2 2.
  EXPECT_NEAR(score["t.Pair"], -(std::log2(3.0) + 1 + integer(std::log2(6.0))), kRounding);
  // Inexact: the missing required field costs its escape, no more.
  EXPECT_NEAR(score["t.Req"], -(std::log2(3.0) + 1 + integer(std::log2(6.0)) + kEscapeBits), kRounding);
  for (const auto& [name, bits] : score) EXPECT_EQ(bits, quantise(-bits) * -1) << name << ": not whole quanta";
  // An undeclared field pays for its number and its wire type (3 bits),
  // which its tag (two bytes for 150) writes, then 8 bits a byte of its
  // value: unknown, 29 bits for the number; an extension of [100, 199],
  // half the time any of its 100 numbers, half the time the gamma code of
  // its offset + 1 (51: 11 bits).
  Bytes extended = bytes({0x08, 0x01});
  put_tag(extended, 150, 0);
  put_varint(extended, 1);
  auto undeclared = g->identifier->identify(extended, std::nullopt);
  ASSERT_TRUE(undeclared.has_value());
  score.clear();
  for (const Match& m : *undeclared) score[std::string(g->view.roots()[m.roots[0]].fqdn)] = m.score;
  EXPECT_EQ(score["t.Flag"], -(1 + 1 + 29 + 3 + 8));
  const double number = -std::log2(std::exp2(-(1 + std::log2(100.0))) + std::exp2(-(1 + 11.0)));
  EXPECT_NEAR(score["t.Ext"], -(1 + integer(std::log2(6.0)) + number + 3 + 8), kRounding);
  // Text: printable bytes 6 bits, control bytes 16; bytes take the cheaper
  // of text and 8 bits a byte, after one bit saying which.
  Bytes text, binary;
  put_bytes(text, 1, bytes({'a', 'b', 'c'}));
  put_bytes(binary, 1, bytes({1, 2, 3}));
  for (const auto& [payload, name, bits] : {std::tuple{text, "t.Name", 18.0}, std::tuple{text, "t.Blob", 19.0},
                                            std::tuple{binary, "t.Blob", 25.0}, std::tuple{binary, "t.Name", 48.0}}) {
    auto all = g->identifier->identify(payload, std::nullopt);
    ASSERT_TRUE(all.has_value());
    bool seen = false;
    for (const Match& m : *all)
      if (g->view.roots()[m.roots[0]].fqdn == name) {
        // presence 1 + 0, the length gamma(3 + 1) = 5, then the content.
        EXPECT_EQ(m.score, -(1 + 5 + bits)) << name;
        seen = true;
      }
    EXPECT_TRUE(seen) << name;
  }
  // Repeated numbers, packed or not, priced from their histogram without
  // a parse: presence 1, the count gamma(3) = 3, a packed run's length
  // gamma(3 + 1) = 5 (or gamma(5 + 1) = 5 with 1 written in three bytes,
  // or 300 in two), each value as above by its bytes (the gamma codes of
  // 2, 3, 4 and 301 are 3, 3, 5 and 17 bits).
  const auto value = [](double gamma, double bytes) {
    return -std::log2(std::exp2(-(gamma + 5)) + std::exp2(-(7 * bytes + std::log2(6.0) - std::log2(31.0 / 32))));
  };
  Bytes run, unpacked, overlong, wide;
  put_bytes(run, 1, bytes({1, 2, 3}));
  for (const int v : {1, 2, 3}) put_tag(unpacked, 1, 0), put_varint(unpacked, static_cast<std::uint64_t>(v));
  put_bytes(overlong, 1, bytes({0x81, 0x80, 0x00, 2, 3}));
  put_bytes(wide, 1, bytes({1, 0xAC, 0x02, 3}));
  const double two = value(3, 1);
  for (const auto& [payload, length, first, second] :
       {std::tuple{run, 5.0, 1.0, two}, std::tuple{unpacked, 0.0, 1.0, two}, std::tuple{overlong, 5.0, 3.0, two},
        std::tuple{wide, 5.0, 1.0, value(17, 2)}}) {
    auto all = g->identifier->identify(payload, std::nullopt);
    ASSERT_TRUE(all.has_value());
    const auto nums = std::find_if(all->begin(), all->end(),
                                   [&](const Match& m) { return g->view.roots()[m.roots[0]].fqdn == "t.Nums"; });
    ASSERT_NE(nums, all->end());
    EXPECT_NEAR(nums->score, -(1 + 3 + length + value(3, first) + second + value(5, 1)), 3 * kRounding);
    EXPECT_EQ(nums->reason(), "exact");
  }
  // A negative value is written in ten bytes, but small by its magnitude:
  // the gamma code of -v and a sign bit (-1: 2 bits, -300: 18), each value
  // at its own price, whether in one packed run (length gamma(20 + 1) = 9)
  // or not; and so alone in a field of its own.
  Bytes run_of_two, negatives, negatives_unpacked, minus_one;
  for (const std::int64_t v : {-1, -300}) {
    put_varint(run_of_two, static_cast<std::uint64_t>(v));
    put_tag(negatives_unpacked, 1, 0), put_varint(negatives_unpacked, static_cast<std::uint64_t>(v));
  }
  put_bytes(negatives, 1, run_of_two);
  put_tag(minus_one, 1, 0), put_varint(minus_one, ~std::uint64_t{0});
  for (const auto& [payload, name, bits] :
       {std::tuple{negatives, "t.Nums", 3 + 9 + value(2, 10) + value(18, 10)},
        std::tuple{negatives_unpacked, "t.Nums", 3 + value(2, 10) + value(18, 10)},
        std::tuple{minus_one, "t.Count", value(2, 10)}}) {
    auto all = g->identifier->identify(payload, std::nullopt);
    ASSERT_TRUE(all.has_value());
    const auto it = std::find_if(all->begin(), all->end(),
                                 [&](const Match& m) { return g->view.roots()[m.roots[0]].fqdn == name; });
    ASSERT_NE(it, all->end()) << name;
    EXPECT_NEAR(it->score, -(1 + bits), 3 * kRounding) << name;
    EXPECT_TRUE(it->exact) << name;
  }
  // The least presence price over a range of used counts, which the
  // bounds take from the range's ends, is the least of every count in it.
  const Presence presence(40);
  for (std::uint32_t d = 0; d <= 40; ++d)
    for (std::uint32_t lo = 0; lo <= d + 1; ++lo)
      for (std::uint32_t hi = lo; hi <= d + 2; ++hi) {
        double least = std::numeric_limits<double>::infinity();
        for (std::uint32_t k = lo; k <= std::min(hi, d); ++k) least = std::min(least, presence.bits(d, k));
        EXPECT_EQ(presence.least(d, lo, hi), least) << d << " " << lo << " " << hi;
      }
}

TEST(Identify, CountsEveryValueOutOfRange) {
  // Repeated enum values, packed or not, priced from their histogram or
  // parsed: every value outside the range is counted.
  const auto g = bake({R"(
entries: [t.Levels]
messages:
  t.Levels: {fields: [{number: 1, type: enum, range: [0, 3], label: repeated, packed: true}]}
)"});
  const auto packed = [](std::initializer_list<int> values) {
    Bytes run, out;
    for (const int v : values) put_varint(run, static_cast<std::uint64_t>(v));
    put_bytes(out, 1, run);
    return out;
  };
  Bytes unpacked;
  for (const int v : {9, 10, 2, 11}) put_tag(unpacked, 1, 0), put_varint(unpacked, static_cast<std::uint64_t>(v));
  const std::pair<Bytes, const char*> cases[] = {
      {packed({1, 2, 3}), "t.Levels exact"},
      {packed({1, 9}), "t.Levels 1 value out of range"},
      {packed({9, 1, 12}), "t.Levels 2 values out of range"},
      {packed({9, 300, 1}), "t.Levels 2 values out of range"},
      {packed({1, 9, 2, 10, 3, 0, 11, 1, 2, 13, 300, 1}), "t.Levels 5 values out of range"},  // eight read at once
      {bytes({0x0A, 0x04, 0x89, 0x00, 0x82, 0x00}), "t.Levels 1 value out of range"},  // 9 and 2, each in two bytes
      {unpacked, "t.Levels 3 values out of range"},
  };
  for (const auto& [payload, expected] : cases) {
    EXPECT_EQ(ranking(*g, payload), (Ranking{expected}));
    auto top = g->identifier->identify(payload, 1);
    ASSERT_TRUE(top.has_value());
    EXPECT_EQ(describe(*g, *top), (Ranking{expected}));
  }
  // Priced by its bytes even when written overlong: presence 1, count
  // gamma(2) = 3, length gamma(4 + 1) = 5, 9 outside (the escape and a
  // 64-bit varint of two bytes), 2 inside (log2 4).
  auto both = g->identifier->identify(bytes({0x0A, 0x04, 0x89, 0x00, 0x82, 0x00}), 1);
  ASSERT_TRUE(both.has_value());
  EXPECT_NEAR(both->front().score, -(1 + 3 + 5 + (kEscapeBits + std::log2(10.0) + 14) + 2), 1e-4);
  // Long runs priced from their histogram (and, where a range cuts a
  // class of values, from their bytes or a list of their two-byte values)
  // cost what a parse value by value would: presence 1, the count and the
  // lengths by their gamma codes, each value inside at log2 of the range's
  // size, each outside at the escape, a 64-bit length and its bytes.
  // Ranges cutting the negative values, the two-byte ones, both, or none;
  // values of one, two, three and ten bytes, some written overlong; in one
  // packed run, in two, and unpacked.
  const auto gamma = [](double n) { return 2 * std::floor(std::log2(n)) + 1; };
  const std::pair<int, int> ranges[] = {{0, 199}, {-5, 199}, {-1, 20000}, {130, 140}, {0, 3}};
  const std::vector<std::vector<std::uint8_t>> kinds = {
      {0x05}, {0x64}, {0x96, 0x01}, {0xAC, 0x02}, {0xA8, 0x46}, {0x85, 0x00}, {0xC8, 0x81, 0x00}, {0x90, 0xA2, 0x04},
      {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},   // -3
      {0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}};  // -100
  for (const auto& [lo, hi] : ranges) {
    const auto g = bake({"entries: [t.R]\nmessages:\n  t.R: {fields: [{number: 1, type: enum, range: [" +
                         std::to_string(lo) + ", " + std::to_string(hi) + "], label: repeated, packed: true}]}\n"});
    for (const int values : {50, 1000}) {
      std::mt19937 pick(static_cast<std::uint32_t>(values + lo));
      Bytes run, halves[2], one, two, unpacked;
      double bits = 0;
      int outside = 0;
      for (int i = 0; i < values; ++i) {
        const auto& value = kinds[pick() % kinds.size()];
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < value.size(); ++b) v |= std::uint64_t{value[b] & 0x7Fu} << (7 * b);
        const auto s = static_cast<std::int64_t>(v);
        const bool in = lo <= s && s <= hi;
        bits += in ? std::log2(hi - lo + 1.0) : kEscapeBits + std::log2(10.0) + 7.0 * static_cast<double>(value.size());
        outside += !in;
        run.insert(run.end(), value.begin(), value.end());
        halves[2 * i / values].insert(halves[2 * i / values].end(), value.begin(), value.end());
        put_tag(unpacked, 1, 0);
        unpacked.insert(unpacked.end(), value.begin(), value.end());
      }
      put_bytes(one, 1, run);
      put_bytes(two, 1, halves[0]);
      put_bytes(two, 1, halves[1]);
      const std::string reason = outside == 0   ? "exact"
                                 : outside == 1 ? "1 value out of range"
                                                : std::to_string(outside) + " values out of range";
      const auto length = [&](const Bytes& b) { return gamma(static_cast<double>(b.size()) + 1); };
      const std::pair<const Bytes*, double> layouts[] = {
          {&one, length(run)}, {&two, length(halves[0]) + length(halves[1])}, {&unpacked, 0}};
      for (const auto& [payload, lengths] : layouts) {
        auto top = g->identifier->identify(*payload, 1);
        ASSERT_TRUE(top.has_value());
        EXPECT_EQ(describe(*g, *top), (Ranking{"t.R " + reason})) << lo << ".." << hi << ", " << values << " values";
        EXPECT_NEAR(top->front().score, -(1 + gamma(values) + lengths + bits), 0.05)
            << lo << ".." << hi << ", " << values << " values, " << lengths;
      }
    }
  }
}

TEST(Identify, ALongPackedRunCostsTheSameReadAgain) {
  // The first parse reads a long run value by value, the next prices it
  // from its histogram: two targets that differ only by an unused field
  // differ only by the presence prices of one more declared field.
  const auto g = bake({R"(
entries: [t.A, t.B]
messages:
  t.A: {fields: [{number: 1, type: message, child: t.N}]}
  t.B: {fields: [{number: 1, type: message, child: t.M}, {number: 2, type: string}]}
  t.N: {fields: [{number: 1, type: int32, label: repeated, packed: true}]}
  t.M: {fields: [{number: 1, type: int32, label: repeated, packed: true}, {number: 2, type: string}]}
)"});
  Bytes run, inner, payload;
  for (int i = 0; i < 100; ++i) run.push_back(static_cast<std::uint8_t>(i % 5 + 1));
  run.insert(run.end(), {0xC8, 0x01, 0x80, 0x00});  // 200, and 0 written in two bytes
  put_bytes(inner, 1, run);
  put_bytes(payload, 1, inner);
  auto all = g->identifier->identify(payload, std::nullopt);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(describe(*g, *all), (Ranking{"t.A exact", "t.B exact"}));
  // log2(2 + 1) + log2 C(2, 1) against log2(1 + 1) + log2 C(1, 1), twice.
  EXPECT_NEAR((*all)[0].score - (*all)[1].score, 2 * std::log2(3.0), 2e-4);
}

TEST(Identify, ListsOfMixedItemsKeepTheirOrder) {
  // Items of many kinds (which of five fields each sets) are bounded as
  // one mixed class: still never above what they cost, so that t.K,
  // judged first (its name comes first) and a bit dearer for each item
  // with a field 2 (bytes that are text), does not shut out t.L.
  const auto g = bake({R"(
entries: [t.K, t.L]
messages:
  t.K: {fields: [{number: 1, type: message, label: repeated, child: t.J}]}
  t.L: {fields: [{number: 1, type: message, label: repeated, child: t.I}]}
  t.I: {fields: [{number: 1, type: string}, {number: 2, type: string, label: repeated}, {number: 3, type: int32}, {number: 4, type: string}, {number: 5, type: bool, range: [0, 1]}]}
  t.J: {fields: [{number: 1, type: string}, {number: 2, type: bytes, label: repeated}, {number: 3, type: int32}, {number: 4, type: string}, {number: 5, type: bool, range: [0, 1]}]}
)"});
  Bytes list;
  for (int j = 0; j < 40; ++j) {
    Bytes item;
    if (j & 1) put_bytes(item, 1, bytes({'a'}));
    if (j % 3 == 0) put_bytes(item, 2, bytes({'x'}));
    if (j & 2) put_tag(item, 3, 0), put_varint(item, static_cast<std::uint64_t>(j));
    if (j & 4) put_bytes(item, 4, bytes({'b'}));
    if (j & 8) put_tag(item, 5, 0), put_varint(item, 1);
    put_bytes(list, 1, item);
  }
  for (const std::optional<std::size_t> top : {std::optional<std::size_t>{}, std::optional<std::size_t>{1}}) {
    auto matches = g->identifier->identify(list, top);
    ASSERT_TRUE(matches.has_value());
    EXPECT_EQ(describe(*g, *matches).front(), "t.L exact");
  }
}

TEST(Identify, EmptyPayloadMatchesEveryRootSmallestFirst) {
  const auto g = bake({kSchema});
  auto matches = g->identifier->identify({}, std::nullopt);
  ASSERT_TRUE(matches.has_value());
  EXPECT_EQ(matches->size(), g->identifier->candidate_count());
  const auto all = describe(*g, *matches);
  EXPECT_EQ(all.front(), "t.Big exact");
  EXPECT_EQ(all.back(), "t.Req 1 required field missing");
  // Every k: the first k of them, though the search stops at the first
  // candidate of a declared count that ranks after the k-th.
  for (std::size_t k = 1; k <= all.size(); ++k) {
    auto some = g->identifier->identify({}, k);
    ASSERT_TRUE(some.has_value());
    EXPECT_EQ(describe(*g, *some), std::vector(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k))) << k;
  }
}

TEST(Identify, RootsSharingANodeAreOneCandidate) {
  const auto g = bake({R"(
entries: [d.Same, b.Same, e.Same, a.Same, c.Other, aa.Same]
messages:
  a.Same: {fields: [{number: 1, type: int32}]}
  aa.Same: {fields: [{number: 1, type: int32}]}
  b.Same: {fields: [{number: 1, type: int32}]}
  d.Same: {fields: [{number: 1, type: int32}]}
  e.Same: {fields: [{number: 1, type: int32}]}
  c.Other: {fields: [{number: 1, type: int64}]}
)"});
  // Its roots by name, the first answer as the next ones.
  for (int round = 0; round < 2; ++round)
    EXPECT_EQ(ranking(*g, bytes({0x08, 0x01})),
              (Ranking{"a.Same|aa.Same|b.Same|d.Same|e.Same exact", "c.Other exact"}));
}

TEST(Identify, ManyCandidatesReadingOneTargetAreRuledOutTogether) {
  // 300 types whose field 1 is the same message: one group, whose
  // candidates a value that message cannot read (its field 1 is not a
  // varint) rules out at once, and none else (x.Wide comes after them).
  std::string yaml = "entries: [x.Blob, x.Wide";
  std::string messages = "messages:\n  x.Blob: {fields: [{number: 1, type: bytes}]}\n"
                         "  x.Wide: {fields: [{number: 1, type: bytes}, {number: 400, type: int32}, "
                         "{number: 401, type: int32}]}\n"
                         "  w.Inner: {fields: [{number: 1, type: int32}]}\n";
  for (int i = 0; i < 300; ++i) {
    yaml += ", w.M" + std::to_string(i);
    messages += "  w.M" + std::to_string(i) + ": {fields: [{number: 1, type: message, child: w.Inner}, {number: " +
                std::to_string(i + 2) + ", type: int32}]}\n";
  }
  const auto g = bake({yaml + "]\n" + messages});
  EXPECT_EQ(ranking(*g, bytes({0x0A, 0x03, 0x0A, 0x01, 0x41})), (Ranking{"x.Blob exact", "x.Wide exact"}));
  const Ranking some = ranking(*g, bytes({0x0A, 0x02, 0x08, 0x01, 0x18, 0x05}));
  ASSERT_EQ(some.size(), 302u);
  EXPECT_EQ(some[0], "w.M1 exact");
}

TEST(Identify, CandidatesOfOneDeclaredCountComeByName) {
  // Names sharing beginnings of every length (past 8 and 16 bytes), some
  // the beginning of others, listed out of order, each its own node of
  // one field: the candidates come by name, byte by byte, the order equal
  // costs rank in and the search stops early by.
  const std::vector<std::string> names = {
      "p.ab", "p.a", "p.abcdefghijklmnopqrstuvwxyz.Z", "p.abcdefghijklmnopqrstuvwxyz.Y", "p.abcdefghijklmnopqrstuvwxyz",
      "p.abcdefgh", "p.abcdefg", "p.abcdefghi", "p.abcdefghijklmnop", "p.abcdefghijklmnoq", "p.abcdefghijklmn", "q",
      "p.b", "p.abcdefghijklmnopqrstuvwxyz.Y1", "p.B", "p.abcdef_", "p.abcdefghijklmnopqrstuvwxyz.Y0"};
  std::string yaml = "entries: [", messages = "messages:\n";
  for (std::size_t i = 0; i < names.size(); ++i) {
    yaml += (i == 0 ? "" : ", ") + names[i];
    messages += "  " + names[i] + ": {fields: [{number: " + std::to_string(i + 1) + ", type: int32}]}\n";
  }
  const auto g = bake({yaml + "]\n" + messages});
  const Candidates candidates(g->view);
  std::vector<std::string> order;
  for (std::uint32_t c = 0; c < candidates.size(); ++c) order.emplace_back(candidates.first_name(c));
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(order, expected);
}

TEST(Identify, MalformedPayloadsSayWhy) {
  const auto g = bake({kSchema});
  // Groups nest 100 deep below the message, no deeper.
  Bytes deep, deepest;
  for (int i = 0; i < 100; ++i) put_tag(deep, 1, 3);
  for (int i = 0; i < 100; ++i) put_tag(deep, 1, 4);
  put_tag(deepest, 1, 3);
  deepest.insert(deepest.end(), deep.begin(), deep.end());
  put_tag(deepest, 1, 4);
  const std::pair<Bytes, std::string> cases[] = {
      {bytes({0x08}), "truncated varint at byte offset 1"},
      {bytes({0x08, 0x01, 0x00}), "invalid field number at byte offset 2"},
      {bytes({0x0E}), "invalid wire type at byte offset 0"},
      {bytes({0x0C}), "end-group tag without a group at byte offset 0"},
      {bytes({0x0B}), "group not terminated at byte offset 1"},
      {bytes({0x0B, 0x14}), "end-group tag of another field at byte offset 1"},
      {bytes({0x0A, 0x05, 0x61}), "length runs past the end of the enclosing message at byte offset 1"},
      {bytes({0x09, 0x00}), "truncated fixed-width value at byte offset 1"},
      {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
       "varint longer than ten bytes at byte offset 0"},
      {deepest, "groups nested too deep at byte offset 100"},
  };
  for (const auto& [payload, message] : cases) {
    auto out = g->identifier->identify(payload, 5);
    ASSERT_FALSE(out.has_value()) << message;
    EXPECT_EQ(out.error().message, "not protobuf wire format: " + message);
  }
  // Work is bounded: a payload of tiny fields (empty strings, `0a 00`)
  // pays for every field as it is read, and past the budget the call
  // fails before keeping anything of them.
  const std::size_t fields = Work::kBase / (Work::kPerField - 2 * Work::kPerByte) + 1;
  Bytes tiny(2 * fields);
  for (std::size_t i = 0; i < tiny.size(); i += 2) tiny[i] = 0x0A;
  auto out = g->identifier->identify(tiny, 5);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().message, "too much work: identifying " + std::to_string(tiny.size()) + " bytes takes more than " +
                                     std::to_string(Work::budget(tiny.size())) + " steps (8 a byte plus 4194304)");
  // What a call keeps is paid for too, but not so dearly that a long list
  // of small messages runs out on the ranges it keeps.
  Bytes list;
  for (int i = 0; i < 60000; ++i) list.insert(list.end(), {0x0A, 0x02, 0x08, 0x01});
  const Ranking listed = ranking(*g, list);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed.front(), "t.Outer exact");
  // Linearly up to a ceiling: past 4 GiB kept, a gigabyte's call fails
  // rather than the machine's memory.
  Work gigabyte(std::size_t{1} << 30);
  EXPECT_TRUE(gigabyte.keep((std::uint64_t{4} << 30) - 1));
  EXPECT_FALSE(gigabyte.keep(2));
  EXPECT_TRUE(gigabyte.exhausted() && gigabyte.out_of_memory());
  EXPECT_EQ(Work::memory_allowance(1000), Work::kMemoryBase + 64'000);
  // Malformed inside a length-delimited field is the candidates' business.
  EXPECT_EQ(ranking(*g, bytes({0x0A, 0x01, 0x80})), (Ranking{"t.Blob exact"}));
  EXPECT_EQ(ranking(*g, deep), (Ranking{"t.Grp 1 unknown field"}));
}

// ------------------------------------------------------------ properties --

// Payloads for the roots of a graph, generated from its own view.
std::vector<std::pair<std::uint32_t, Bytes>> generated(const Graph& g, std::uint64_t seed, int count) {
  std::vector<std::pair<std::uint32_t, Bytes>> out;
  std::mt19937_64 pick(seed);
  testing::PayloadGenerator gen(g.view, seed);
  for (int i = 0; i < count; ++i) {
    const serial::Root root = g.view.roots()[pick() % g.view.roots().size()];
    Bytes payload;
    if (gen.message(root.state, payload)) out.emplace_back(root.state, std::move(payload));
  }
  return out;
}

std::uint64_t violations(const Match& m) {
  return std::uint64_t{m.unknown_fields} + m.out_of_range + m.missing_required;
}

class BundledGraph : public ::testing::TestWithParam<const char*> {};

TEST_P(BundledGraph, TheTrueNodeAlwaysMatchesExactly) {
  const auto g = load(GetParam());
  for (const auto& [node, payload] : generated(*g, 1, 200)) {
    auto all = g->identifier->identify(payload, std::nullopt);
    ASSERT_TRUE(all.has_value()) << all.error().message;
    bool found = false;
    for (const Match& m : *all) found |= m.node == node && m.exact;
    EXPECT_TRUE(found) << "node " << node << ", " << payload.size() << " bytes";
  }
}

TEST_P(BundledGraph, PruningNeverChangesTheAnswer) {
  const auto g = load(GetParam());
  auto payloads = generated(*g, 2, 60);
  payloads.emplace_back(0, Bytes{});
  // Packed runs of overlong varints: 3 in two bytes, 0 in four, 200 in three.
  for (const std::uint8_t tag : {0x0a, 0x12, 0x1a}) {
    payloads.emplace_back(0, Bytes{tag, 0x02, 0x83, 0x00});
    payloads.emplace_back(0, Bytes{tag, 0x05, 0x80, 0x80, 0x80, 0x00, 0x61});
    payloads.emplace_back(0, Bytes{tag, 0x03, 0xc8, 0x81, 0x00});
  }
  // Long repeated fields (more values than a bound reads shapes of, and
  // parses abandoned and resumed between guesses): a payload concatenated
  // with itself, which merges into every repeated field, and as the
  // repeated length-delimited field 1 of a list, alternating with the next
  // payload (values of two shapes, bounded class by class); the last list
  // holds every small payload (mostly more shapes than are bounded by
  // class).
  Bytes every;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const Bytes& one = payloads[i].second;
    if (one.size() > 100) continue;
    every.insert(every.end(), {0x0A, static_cast<std::uint8_t>(one.size())});
    every.insert(every.end(), one.begin(), one.end());
  }
  payloads.emplace_back(0, std::move(every));
  for (std::size_t i = 0; i < 6 && i + 1 < payloads.size(); ++i) {
    const Bytes one = payloads[i].second, next = payloads[i + 1].second;
    if (one.empty() || one.size() > 100 || next.size() > 100) continue;
    Bytes merged, list;
    for (int j = 0; j < 40; ++j) {
      merged.insert(merged.end(), one.begin(), one.end());
      const Bytes& item = j % 3 == 2 ? next : one;
      list.insert(list.end(), {0x0A, static_cast<std::uint8_t>(item.size())});
      list.insert(list.end(), item.begin(), item.end());
    }
    // The list once more inside field 1: a long range whose parses stop
    // early, read through nested bounds of its first values.
    Bytes nested{0x0A};
    put_varint(nested, list.size());
    nested.insert(nested.end(), list.begin(), list.end());
    payloads.emplace_back(0, std::move(merged));
    payloads.emplace_back(0, std::move(list));
    payloads.emplace_back(0, std::move(nested));
  }
  // Lists of 40 values of one type, each generated on its own (most of
  // them of other fields: too many kinds for classes, bounded as one mixed
  // class), at the top level and one level down.
  for (std::size_t i = 0; i < 4 && i < payloads.size(); ++i) {
    testing::PayloadGenerator items(g->view, 100 + i, 0.5, 1);
    Bytes list, nested;
    for (int j = 0; j < 40; ++j) {
      Bytes item;
      if (items.message(payloads[i].first, item) && item.size() < 200) put_bytes(list, 1, item);
    }
    put_bytes(nested, 1, list);
    payloads.emplace_back(0, list);
    payloads.emplace_back(0, std::move(nested));
  }
  // Packed runs of small numbers one and two levels down (bounded by the
  // histogram of their values), alone and beside a string.
  for (const std::size_t n : {3, 40, 120}) {
    Bytes run;
    for (std::size_t i = 0; i < n; ++i) run.push_back(static_cast<std::uint8_t>(i % 7));
    for (const std::uint32_t field : {1u, 2u, 4u}) {
      Bytes inner, outer, twice;
      put_bytes(inner, field, run);
      put_bytes(outer, 1, inner);
      put_bytes(twice, 1, outer);
      put_bytes(twice, 2, bytes({'a', 'b'}));
      payloads.emplace_back(0, std::move(outer));
      payloads.emplace_back(0, std::move(twice));
    }
  }
  // Mangled ones too: unknown fields, out-of-range values, garbage.
  std::mt19937_64 rng(3);
  for (std::size_t i = 0, n = payloads.size(); i < n; ++i) {
    Bytes b = payloads[i].second;
    if (!b.empty()) b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    payloads.emplace_back(0, std::move(b));
  }
  // Every full answer first; then, the other way round, each payload at
  // every k: the first call of each judges first the candidates the last
  // payload ranked, the others those of its own last answer, and no
  // order of calls may change an answer.
  std::vector<Result<std::vector<Match>>> full;
  for (const auto& [node, payload] : payloads) full.push_back(g->identifier->identify(payload, std::nullopt));
  for (std::size_t p = payloads.size(); p-- > 0;) {
    const auto& all = full[p];
    if (!all) continue;
    // With `top` set, the first k of the full answer.
    for (const std::size_t k : {1, 3, 5, 20}) {
      auto some = g->identifier->identify(payloads[p].second, k);
      ASSERT_TRUE(some.has_value());
      ASSERT_EQ(some->size(), std::min(k, all->size()));
      for (std::size_t i = 0; i < some->size(); ++i) {
        EXPECT_EQ((*some)[i].node, (*all)[i].node);
        EXPECT_EQ((*some)[i].score, (*all)[i].score);
      }
    }
    for (std::size_t i = 0; i + 1 < all->size(); ++i) EXPECT_GE((*all)[i].score, (*all)[i + 1].score);
    for (const Match& m : *all) EXPECT_EQ(m.exact, violations(m) == 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Expected, BundledGraph,
                         ::testing::Values("wkt", "opentelemetry", "grpc-proto", "warnings", "wide"));

}  // namespace
}  // namespace korvex::identify
