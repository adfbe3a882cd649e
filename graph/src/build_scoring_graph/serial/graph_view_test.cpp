// Tests of the graph archive view: round trips (every archive the encoder
// makes opens, reads back into the same CompiledGraph, re-encodes to the
// same bytes and dumps to the text build_graph returned), the lookups, a
// table of faults with their exact messages, and corrupted archives (every
// truncation and every byte flip of a small archive; graph_view_fuzz goes
// further), which must either fail to open or open into a view that keeps
// every invariant the checks promise.
#include "build_scoring_graph/serial/graph_view.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <ranges>
#include <random>
#include <string>
#include <vector>

#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/encode.hpp"
#include "testing/graph_view_invariants.hpp"
#include "build_scoring_graph/serial/view_to_compiled.hpp"

namespace korvex::serial {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes encode(const CompiledGraph& g) {
  auto out = to_bytes(g);
  EXPECT_TRUE(out.has_value());
  return out ? *out : Bytes{};
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// Two nodes, one transition, three roots (one out of line), one of each
// range list: every list of the archive is present.
//   payload: nodes at 0, transition at 40, "pkg.Outer" at 56, roots at 68,
//   leaf range at 104, extension range at 112, set at 120, record at 128.
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

// ------------------------------------------------------------ round trips --

class ExpectedArchive : public testing::TestWithParam<const char*> {};

TEST_P(ExpectedArchive, ReadsBackReencodesAndDumps) {
  const std::string dir = std::string(KORVEX_TESTDATA) + "/expected/" + GetParam();
  const Bytes file = read_file(dir + "/graph.rkyv");
  ASSERT_FALSE(file.empty());
  auto view = GraphView::open(file);
  ASSERT_TRUE(view.has_value()) << view.error().message;
  EXPECT_EQ(check_view_invariants(*view), "");
  const CompiledGraph g = to_compiled(*view);
  EXPECT_EQ(encode(g), file);
  EXPECT_EQ(dump_compiled(g), read_text(dir + "/minimised.yaml"));

  // The same bytes at an odd address read the same.
  Bytes shifted(file.size() + 1);
  std::memcpy(shifted.data() + 1, file.data(), file.size());
  auto odd = GraphView::open(std::span(shifted).subspan(1));
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(encode(to_compiled(*odd)), file);
}

INSTANTIATE_TEST_SUITE_P(Shared, ExpectedArchive, testing::Values("wkt", "opentelemetry", "grpc-proto", "warnings"));

TEST(GraphView, FeatureGraphAccessors) {
  const Bytes file = encode(feature_graph());
  auto view = GraphView::open(file);
  ASSERT_TRUE(view.has_value()) << view.error().message;
  const GraphView& v = *view;
  EXPECT_EQ(v.node(1), (Node{1, 2, true, kNoIndex, kNoIndex, 1, 0}));
  EXPECT_EQ(v.roots()[1], (Root{"pkg.Outer", 0}));
  EXPECT_TRUE(v.merged_flag());
  EXPECT_EQ(v.find_transition(0, 1), (Transition{0, 1, 2, 2, true, 1}));
  EXPECT_FALSE(v.find_transition(0, 2));
  EXPECT_FALSE(v.find_transition(1, 1));
  EXPECT_EQ(v.find_root("abcdefgh"), (Root{"abcdefgh", 1}));
  EXPECT_FALSE(v.find_root("pkg"));
  EXPECT_FALSE(v.leaf_range_of(0));
  ASSERT_EQ(v.ext_ranges_of(0).size(), 1u);
  EXPECT_EQ(v.ext_ranges_of(0)[0], (ExtensionRange{100, 199}));
  EXPECT_TRUE(v.ext_ranges_of(1).empty());
  EXPECT_EQ(v.leaf_ranges()[0], (LeafRange{-1, 5}));
}

TEST(GraphView, RootLookupOverManyRootsWithRepeats) {
  // Enough roots for the radix-sorted index, names of every length, each
  // name given up to three times: the first of equal names is found.
  CompiledGraph g = feature_graph();
  std::mt19937 rng(9);
  std::vector<std::string> names;
  for (int i = 0; i < 6000; ++i) names.push_back("pkg" + std::to_string(rng() % 4000) + std::string(rng() % 12, 'x'));
  for (const std::string& name : names) g.roots.push_back(RootEntry{name, static_cast<std::uint32_t>(rng() % 2)});
  const Bytes file = encode(g);
  auto view = GraphView::open(file);
  ASSERT_TRUE(view.has_value()) << view.error().message;
  std::map<std::string, std::uint32_t> first;
  for (std::uint32_t i = 0; i < g.roots.size(); ++i) first.emplace(g.roots[i].fqdn, i);
  for (const auto& [name, index] : first) EXPECT_EQ(view->root_index(name), index) << name;
  EXPECT_FALSE(view->root_index("pkg"));
  EXPECT_FALSE(view->root_index("pkg4000"));
}

// The lists are standard ranges.
static_assert(std::ranges::random_access_range<Records<Node>>);
static_assert(std::random_access_iterator<Records<Transition>::iterator>);
static_assert(std::ranges::sized_range<Records<Root>>);

// ---------------------------------------------------------------- faults --

struct Fault {
  const char* name;
  std::size_t at;  // file offset of the u32 to overwrite
  std::uint32_t value;
  const char* message;
};

TEST(GraphView, FaultMessages) {
  // File offsets: payload position + 24. Record at file offset 152.
  const Fault faults[] = {
      {"version", 8, 4, "offset 8: format version 4, but a graph archive has version 7"},
      {"payload offset", 16, 32, "offset 16: payload offset 32, but the payload always starts at 24"},
      {"node id", 24 + 20, 5, "offset 44: node 1 has id 5, but node ids count up from 0"},
      {"transition target", 24 + 40 + 12, 900, "offset 76: transition 0 points at node 900, but the graph has 2 nodes"},
      {"transition source", 24 + 40, 7, "offset 64: transition 0 comes from node 7, but the graph has 2 nodes"},
      {"wire type", 24 + 40 + 8, 0x00010002, "offset 73: transition 0 has wire_type 0, but its target node 1 of type 2 needs 2"},
      {"first transition", 24 + 20 + 12, 0, "offset 56: node 1 has first_transition 0, but its run starts at transition 1"},
      {"transition count", 24 + 16, 2, "offset 40: node 0 has transition_count 2, which runs past the 1 transitions"},
      {"ext set", 24 + 8, 1, "offset 32: node 0 has ext_set 1, but the graph has 1 extension-range sets"},
      {"range", 24 + 20 + 4, 0x00030102, "offset 50: node 1 has range 3, but the graph has 1 leaf ranges"},
      {"root state", 24 + 68 + 8, 2, "offset 100: root 0 points at node 2, but the graph has 2 nodes"},
      {"root name", 24 + 68 + 12 + 4, 0x1000, "offset 104: root 1 fqdn: string of 9 bytes has its bytes outside the payload"},
      {"state count", 152 + 32, 3, "offset 184: state_count is 3, but the graph has 2 nodes"},
      {"set past ranges", 24 + 120, 1, "offset 144: extension-range set 0 (start 1, count 1) runs past the 1 extension ranges"},
      {"nodes pointer", 152, 100, "offset 152: nodes list points outside the payload (relative offset 100)"},
      {"nodes count", 152 + 4, 7, "offset 152: nodes list of 7 elements of 20 bytes at offset 24 runs past offset 152"},
      {"roots misaligned", 152 + 16, static_cast<std::uint32_t>(66 - 144), "offset 168: roots list points at offset 90, which is not 4-aligned in the payload"},
      {"merged flag", 152 + 52, 2, "offset 204: merged_flag is 2, which is neither 0 nor 1"},
  };
  const Bytes good = encode(feature_graph());
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    Bytes bad = good;
    put32(bad, f.at, f.value);
    auto view = GraphView::open(bad);
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(view.error().message, f.message);
  }
  EXPECT_EQ(GraphView::open(std::span(good).first(10)).error().message,
            "offset 0: a graph archive starts with a 24-byte header, but there are only 10 bytes");
  Bytes magic = good;
  magic[0] = 'X';
  EXPECT_EQ(GraphView::open(magic).error().message, "offset 0: not an archive: the magic is not \"VELDRANE\"");
}

// ---------------------------------------------------- corrupted archives --

// Opens `bytes`; when that succeeds the view must keep its promises.
void open_checked(std::span<const std::uint8_t> bytes) {
  auto view = GraphView::open(bytes);
  if (view) {
    EXPECT_EQ(check_view_invariants(*view), "");
  }
}

TEST(GraphView, EveryTruncationAndEveryByteFlipOfASmallArchive) {
  const Bytes good = encode(feature_graph());
  for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(GraphView::open(std::span(good).first(n)));
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (const std::uint8_t mask : {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
      Bytes bad = good;
      bad[i] ^= mask;
      open_checked(bad);
    }
  }
}

}  // namespace
}  // namespace korvex::serial
