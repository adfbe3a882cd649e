// Tests of the baked graph archive: exact bytes of small graphs, the layout
// rules (positions, pointers of empty lists, padding), the limits, and a
// round trip through archives made by an independent implementation: a
// decoder written here reads them back into a CompiledGraph by following the
// relative pointers, and encoding that graph must give the same bytes.
#include "build_scoring_graph/serial/encode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace korvex::serial {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 24;
constexpr std::size_t kRecord = 56;

// ----------------------------------------------------------- byte helpers --

void put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_text(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

std::uint32_t get32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b.at(at)} | std::uint32_t{b.at(at + 1)} << 8 | std::uint32_t{b.at(at + 2)} << 16 |
         std::uint32_t{b.at(at + 3)} << 24;
}
std::int32_t geti32(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(get32(b, at)); }
std::uint16_t get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

Bytes payload_of(const Bytes& file) { return Bytes(file.begin() + kHeader, file.end()); }

Bytes encode(const CompiledGraph& g) {
  auto out = to_bytes(g);
  EXPECT_TRUE(out.has_value()) << (out ? "" : out.error().message);
  return out ? *out : Bytes{};
}

// ---------------------------------------------------------------- decoder --

// Reads an archive the way a consumer does, checking every pointer lands
// inside the payload. Fails the test and returns nullopt on a malformed one.
std::optional<CompiledGraph> decode(const Bytes& file) {
  if (file.size() < kHeader + kRecord) return std::nullopt;
  if (std::memcmp(file.data(), "VELDRANE", 8) != 0) return std::nullopt;
  if (get32(file, 8) != 7 || get32(file, 12) != 0 || get32(file, 16) != 24 || get32(file, 20) != 0)
    return std::nullopt;
  const Bytes p = payload_of(file);
  const std::size_t rec = p.size() - kRecord;
  bool ok = true;
  // A vector field: where its elements start, and how many there are.
  const auto vec = [&](std::size_t field, std::size_t elem) -> std::pair<std::size_t, std::size_t> {
    const std::int64_t target = static_cast<std::int64_t>(rec + field) + geti32(p, rec + field);
    const std::size_t count = get32(p, rec + field + 4);
    if (target < 0 || static_cast<std::size_t>(target) + count * elem > rec || target % 4 != 0) ok = false;
    return {ok ? static_cast<std::size_t>(target) : 0, ok ? count : 0};
  };
  CompiledGraph g;
  const auto [nodes_at, nodes] = vec(0, 20);
  for (std::size_t i = 0; i < nodes; ++i) {
    const std::size_t at = nodes_at + 20 * i;
    g.nodes.push_back(NodeEntry{get32(p, at), p[at + 4], p[at + 5] != 0, get16(p, at + 6), get16(p, at + 8),
                                get32(p, at + 12), get32(p, at + 16)});
    if (p[at + 5] > 1 || p[at + 10] != 0 || p[at + 11] != 0) ok = false;
  }
  const auto [trans_at, transitions] = vec(8, 16);
  for (std::size_t i = 0; i < transitions; ++i) {
    const std::size_t at = trans_at + 16 * i;
    g.transitions.push_back(
        TransitionEntry{get32(p, at), get32(p, at + 4), p[at + 8], p[at + 9], p[at + 10], get32(p, at + 12)});
    if (p[at + 11] != 0) ok = false;
  }
  const auto [roots_at, roots] = vec(16, 12);
  for (std::size_t i = 0; i < roots; ++i) {
    const std::size_t at = roots_at + 12 * i;
    std::string name;
    if ((p[at] & 0xC0) == 0x80) {
      const std::uint32_t word = get32(p, at);
      const std::size_t len = (word & 0x3F) | ((word >> 8) << 6);
      const std::int64_t target = static_cast<std::int64_t>(at) + geti32(p, at + 4);
      if (target < 0 || static_cast<std::size_t>(target) + len > at) {
        ok = false;
        break;
      }
      name.assign(p.begin() + target, p.begin() + target + static_cast<std::ptrdiff_t>(len));
    } else {
      std::size_t len = 0;
      while (len < 8 && p[at + len] != 0xFF) ++len;
      name.assign(p.begin() + static_cast<std::ptrdiff_t>(at), p.begin() + static_cast<std::ptrdiff_t>(at + len));
    }
    g.roots.push_back(RootEntry{name, get32(p, at + 8)});
  }
  const auto [leaf_at, leaf_ranges] = vec(24, 8);
  for (std::size_t i = 0; i < leaf_ranges; ++i)
    g.leaf_ranges.emplace_back(geti32(p, leaf_at + 8 * i), geti32(p, leaf_at + 8 * i + 4));
  g.state_count = get32(p, rec + 32);
  const auto [ext_at, ext_ranges] = vec(36, 8);
  for (std::size_t i = 0; i < ext_ranges; ++i)
    g.ext_ranges.emplace_back(get32(p, ext_at + 8 * i), get32(p, ext_at + 8 * i + 4));
  const auto [sets_at, sets] = vec(44, 8);
  for (std::size_t i = 0; i < sets; ++i)
    g.ext_range_sets.emplace_back(get32(p, sets_at + 8 * i), get32(p, sets_at + 8 * i + 4));
  g.merged_flag = p[rec + 52] != 0;
  if (p[rec + 52] > 1 || p[rec + 53] != 0 || p[rec + 54] != 0 || p[rec + 55] != 0) ok = false;
  if (!ok) return std::nullopt;
  return g;
}

// --------------------------------------------------------- sample graphs --

CompiledGraph bare_graph(std::uint32_t nodes, std::uint32_t transitions) {
  CompiledGraph g;
  for (std::uint32_t i = 0; i < nodes; ++i) g.nodes.push_back(NodeEntry{i, 10, false, kNone16, kNone16, 0, 0});
  for (std::uint32_t i = 0; i < transitions; ++i) g.transitions.push_back(TransitionEntry{0, i + 1, 0, 2, 0, 0});
  g.state_count = nodes;
  return g;
}

CompiledGraph feature_graph() {
  CompiledGraph g;
  g.nodes = {NodeEntry{0, 10, false, kNone16, 0, 0, 1}, NodeEntry{1, 2, true, kNone16, kNone16, 1, 0}};
  g.transitions = {TransitionEntry{0, 1, 2, 2, 1, 1}};
  g.roots = {RootEntry{"pkg.M", 0}, RootEntry{"pkg.Outer", 0}, RootEntry{"abcdefgh", 1}};
  g.leaf_ranges = {{-1, 5}};
  g.state_count = 2;
  g.ext_ranges = {{100, 199}};
  g.ext_range_sets = {{0, 1}};
  g.merged_flag = true;
  return g;
}

// ---------------------------------------------------------- exact layouts --

TEST(GraphArchive, FeatureGraphBytes) {
  Bytes e;
  put_text(e, "VELDRANE");
  put32(e, 7), put32(e, 0), put32(e, 24), put32(e, 0);
  // 0: nodes
  put32(e, 0), e.push_back(10), e.push_back(0), put16(e, 0xFFFF), put16(e, 0), put16(e, 0), put32(e, 0), put32(e, 1);
  put32(e, 1), e.push_back(2), e.push_back(1), put16(e, 0xFFFF), put16(e, 0xFFFF), put16(e, 0), put32(e, 1),
      put32(e, 0);
  // 40: the transition
  put32(e, 0), put32(e, 1), e.push_back(2), e.push_back(2), e.push_back(1), e.push_back(0), put32(e, 1);
  // 56: the one name longer than 8 bytes, then padding to 68
  put_text(e, "pkg.Outer"), e.insert(e.end(), 3, 0);
  // 68: roots
  put_text(e, "pkg.M"), e.insert(e.end(), 3, 0xFF), put32(e, 0);
  put32(e, 0x89), put32(e, static_cast<std::uint32_t>(56 - 80)), put32(e, 0);
  put_text(e, "abcdefgh"), put32(e, 1);
  // 104: leaf ranges, 112: extension ranges, 120: extension-range sets
  put32(e, 0xFFFFFFFF), put32(e, 5);
  put32(e, 100), put32(e, 199);
  put32(e, 0), put32(e, 1);
  // 128: the CompiledGraph record
  const auto rel = [](std::int32_t target, std::int32_t field) { return static_cast<std::uint32_t>(target - field); };
  put32(e, rel(0, 128)), put32(e, 2);
  put32(e, rel(40, 136)), put32(e, 1);
  put32(e, rel(68, 144)), put32(e, 3);
  put32(e, rel(104, 152)), put32(e, 1);
  put32(e, 2);
  put32(e, rel(112, 164)), put32(e, 1);
  put32(e, rel(120, 172)), put32(e, 1);
  e.push_back(1), e.insert(e.end(), 3, 0);
  ASSERT_EQ(e.size(), 24u + 184u);
  EXPECT_EQ(encode(feature_graph()), e);
}

struct BareCase {
  std::uint32_t nodes;
  std::uint32_t transitions;
};

TEST(GraphArchive, GraphWithoutRootsOrRanges) {
  const BareCase cases[] = {{0, 0}, {1, 0}, {0, 1}, {3, 2}, {7, 5}, {100, 300}};
  for (const BareCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nodes << " nodes, " << c.transitions << " transitions");
    const Bytes file = encode(bare_graph(c.nodes, c.transitions));
    const std::size_t body = 20 * std::size_t{c.nodes} + 16 * std::size_t{c.transitions};
    ASSERT_EQ(file.size(), body + 80);
    const Bytes p = payload_of(file);
    ASSERT_EQ(p.size(), body + 56);
    const std::size_t rec = body;  // the record follows the transitions directly
    EXPECT_EQ(geti32(p, rec + 0), -static_cast<std::int32_t>(rec));
    EXPECT_EQ(get32(p, rec + 4), c.nodes);
    EXPECT_EQ(geti32(p, rec + 8), -static_cast<std::int32_t>(16 * c.transitions) - 8);
    EXPECT_EQ(get32(p, rec + 12), c.transitions);
    // The four empty lists point at the record itself.
    const std::pair<std::size_t, std::int32_t> empty[] = {{16, -16}, {24, -24}, {36, -36}, {44, -44}};
    for (const auto& [field, value] : empty) {
      EXPECT_EQ(geti32(p, rec + field), value) << "field " << field;
      EXPECT_EQ(get32(p, rec + field + 4), 0u) << "field " << field;
    }
    EXPECT_EQ(get32(p, rec + 32), c.nodes);
  }
}

TEST(GraphArchive, NodesStartAtPayloadZero) {
  CompiledGraph g = bare_graph(3, 0);
  g.nodes[0].first_transition = 0xAABBCCDD;
  const Bytes p = payload_of(encode(g));
  EXPECT_EQ(get32(p, 0), 0u) << "id of the first node";
  EXPECT_EQ(get32(p, 12), 0xAABBCCDDu);
  EXPECT_EQ(get32(p, 20), 1u);
}

TEST(GraphArchive, PaddingBytesAreZero) {
  CompiledGraph g;
  g.nodes = {NodeEntry{0xFFFFFFFF, 0xFF, true, 0xFFFE, 0xFFFE, 0xFFFFFFFF, 0xFFFFFFFF}};
  g.transitions = {TransitionEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFF, 0xFF, 0xFF, 0xFFFFFFFF}};
  g.roots = {RootEntry{"nine char", 0xFFFFFFFF}};  // 9 bytes: 3 bytes of padding follow
  g.state_count = 0xFFFFFFFF;
  g.merged_flag = true;
  const Bytes p = payload_of(encode(g));
  EXPECT_EQ(p[10], 0);
  EXPECT_EQ(p[11], 0);
  EXPECT_EQ(p[20 + 11], 0);
  EXPECT_EQ(Bytes(p.begin() + 36 + 9, p.begin() + 48), Bytes(3, 0));
  const std::size_t rec = p.size() - 56;
  EXPECT_EQ(p[rec + 52], 1);
  EXPECT_EQ(Bytes(p.begin() + rec + 53, p.end()), Bytes(3, 0));
  EXPECT_EQ(p[5], 1) << "is_string";
}

TEST(GraphArchive, ShortRootNamesLeaveNoBytesBetweenTransitionsAndRoots) {
  CompiledGraph g = bare_graph(2, 1);
  g.roots = {RootEntry{"a", 0}, RootEntry{"exactly8", 1}, RootEntry{"", 1}};
  const Bytes p = payload_of(encode(g));
  const std::size_t roots_at = 40 + 16;
  const std::size_t roots_field = p.size() - 56 + 16;
  EXPECT_EQ(geti32(p, roots_field), static_cast<std::int32_t>(roots_at) - static_cast<std::int32_t>(roots_field));
  EXPECT_EQ(Bytes(p.begin() + roots_at, p.begin() + roots_at + 8),
            (Bytes{'a', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(std::string(p.begin() + roots_at + 12, p.begin() + roots_at + 20), "exactly8");
  EXPECT_EQ(Bytes(p.begin() + roots_at + 24, p.begin() + roots_at + 32), Bytes(8, 0xFF));
  EXPECT_EQ(p.size(), 40u + 16 + 36 + 56);
}

TEST(GraphArchive, PayloadLengthFormula) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    CompiledGraph g = bare_graph(rng() % 50, rng() % 80);
    std::size_t names = 0;
    for (std::size_t i = rng() % 12; i > 0; --i) {
      std::string name(rng() % 30, 'n');
      if (name.size() > 8) names += name.size();
      g.roots.push_back(RootEntry{std::move(name), 0});
    }
    g.leaf_ranges.resize(rng() % 4, {1, 2});
    g.ext_ranges.resize(rng() % 4, {3, 4});
    g.ext_range_sets.resize(rng() % 4, {0, 0});
    const std::size_t expected = (20 * g.nodes.size() + 16 * g.transitions.size() + names + 3) / 4 * 4 +
                                 12 * g.roots.size() +
                                 8 * (g.leaf_ranges.size() + g.ext_ranges.size() + g.ext_range_sets.size()) + 56;
    const Bytes file = encode(g);
    EXPECT_EQ(file.size(), expected + 24);
    auto back = decode(file);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->roots, g.roots);
  }
}

TEST(GraphArchive, EncodingIsDeterministic) {
  const CompiledGraph g = feature_graph();
  const Bytes a = encode(g);
  const Bytes b = encode(g);
  EXPECT_EQ(a, b);
  const CompiledGraph copy = g;
  EXPECT_EQ(encode(copy), a);
}

// ------------------------------------------------------------------ limits --

TEST(GraphArchive, PayloadLimitIsExact) {
  const CompiledGraph g = feature_graph();
  const std::size_t payload = 184;
  auto at = to_bytes(g, payload);
  ASSERT_FALSE(at.has_value());
  EXPECT_EQ(at.error().message, "cannot serialize: archive payload would reach the limit of 184 bytes");
  auto above = to_bytes(g, payload + 1);
  ASSERT_TRUE(above.has_value());
  EXPECT_EQ(*above, encode(g));
}

// --------------------------------------------------------------- real data --

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class RealArchive : public testing::TestWithParam<const char*> {};

TEST_P(RealArchive, DecodesAndReencodesToTheSameBytes) {
  const Bytes file = read_file(std::string(KORVEX_TESTDATA) + "/expected/" + GetParam() + "/graph.rkyv");
  ASSERT_GT(file.size(), kHeader + kRecord);
  const std::optional<CompiledGraph> g = decode(file);
  ASSERT_TRUE(g.has_value()) << "malformed archive";
  // Sanity of what was decoded: dense ids, linked runs inside the list.
  ASSERT_EQ(g->nodes.size(), g->state_count);
  for (std::size_t i = 0; i < g->nodes.size(); ++i) {
    EXPECT_EQ(g->nodes[i].id, i);
    EXPECT_LE(std::size_t{g->nodes[i].first_transition} + g->nodes[i].transition_count, g->transitions.size());
  }
  EXPECT_FALSE(g->roots.empty());
  EXPECT_EQ(encode(*g), file);
}

INSTANTIATE_TEST_SUITE_P(Expected, RealArchive, testing::Values("wkt", "opentelemetry", "grpc-proto", "warnings"));

TEST(RealArchive, WarningsCaseHoldsTheExpectedRoots) {
  const Bytes file = read_file(std::string(KORVEX_TESTDATA) + "/expected/warnings/graph.rkyv");
  const std::optional<CompiledGraph> g = decode(file);
  ASSERT_TRUE(g.has_value());
  // One root name of 9 bytes (out of line) between two inline ones.
  ASSERT_EQ(g->roots.size(), 3u);
  EXPECT_EQ(g->roots[0].fqdn, "pkg.M");
  EXPECT_EQ(g->roots[1].fqdn, "pkg.Outer");
  EXPECT_EQ(g->roots[2].fqdn, "pkg.Twin");
  // As the input and the dump of this case describe it.
  EXPECT_EQ(g->state_count, 14u);
  EXPECT_TRUE(g->nodes.at(10).is_string);
  ASSERT_FALSE(g->leaf_ranges.empty());
  EXPECT_EQ(g->leaf_ranges[0], (ValueRange{0, 3}));
  const std::vector<ExtRange> outer = {{100, 199}, {1000, 536870911}};
  EXPECT_NE(std::search(g->ext_ranges.begin(), g->ext_ranges.end(), outer.begin(), outer.end()), g->ext_ranges.end());
}

}  // namespace
}  // namespace korvex::serial
