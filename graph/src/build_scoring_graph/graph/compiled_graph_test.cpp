// Tests of the two compilers and their shared steps: node layout, transition
// order and linking, wire types, roots and their warning, flattening of the
// extension-range sets, sentinel mapping (and its internal error), and the
// agreement of compile under the identity partition with compile_initial.
#include "build_scoring_graph/graph/compiled_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

#include "testing/graph_builders.hpp"

namespace korvex {
namespace {

using namespace testing_support;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const std::string kAny = "google.protobuf.Any";
const std::string kMessageSet = "google.protobuf.MessageSet";
constexpr std::uint8_t kNoWire = 0xFF;

BuiltGraph must_build(const Merged& m) {
  auto built = build(m);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
  return built ? std::move(*built) : BuiltGraph{};
}

CompiledGraph must_compile_initial(const BuiltGraph& b, std::vector<std::string> roots = {}) {
  auto c = compile_initial(b.graph, b.leaves, roots);
  EXPECT_TRUE(c.has_value()) << (c ? "" : c.error().message);
  return c ? std::move(*c) : CompiledGraph{};
}

CompiledGraph must_compile(const BuiltGraph& b, const Partition& p, std::vector<std::string> roots = {}) {
  auto c = compile(b.graph, b.leaves, p, roots);
  EXPECT_TRUE(c.has_value()) << (c ? "" : c.error().message);
  return c ? std::move(*c) : CompiledGraph{};
}

// The node entries of the seven fixed leaves, ids from `first`, unlinked.
std::vector<NodeEntry> fixed_leaf_nodes(std::uint32_t first) {
  return {
      {first + 0, 0, false, kNone16, kNone16, 0, 0}, {first + 1, 8, false, kNone16, kNone16, 0, 0},
      {first + 2, 9, false, kNone16, kNone16, 0, 0}, {first + 3, 1, false, kNone16, kNone16, 0, 0},
      {first + 4, 2, false, kNone16, kNone16, 0, 0}, {first + 5, 2, true, kNone16, kNone16, 0, 0},
      {first + 6, 5, false, kNone16, kNone16, 0, 0},
  };
}

void expect_linked(const CompiledGraph& c) {
  for (std::size_t i = 0; i < c.nodes.size(); ++i) {
    const NodeEntry& node = c.nodes[i];
    EXPECT_EQ(node.id, i);
    for (std::uint32_t t = node.first_transition; t < node.first_transition + node.transition_count; ++t) {
      ASSERT_LT(t, c.transitions.size());
      EXPECT_EQ(c.transitions[t].from, node.id);
    }
  }
  for (std::size_t t = 1; t < c.transitions.size(); ++t) {
    const auto& a = c.transitions[t - 1];
    const auto& b = c.transitions[t];
    EXPECT_TRUE(a.from < b.from || (a.from == b.from && a.field <= b.field)) << t;
  }
}

// ---- compile_initial --------------------------------------------------------

TEST(CompileInitialTest, OneMessage) {
  const BuiltGraph b = must_build(merged_of({{"pkg.A", message({scalar(1, kind::kInt32)})}}));
  const CompiledGraph c = must_compile_initial(b, {"pkg.A"});

  std::vector<NodeEntry> nodes = {
      {0, 10, false, kNone16, kNone16, 0, 0},
      {1, 10, false, kNone16, kNone16, 0, 0},
      {2, 10, false, kNone16, kNone16, 0, 1},
  };
  for (NodeEntry leaf : fixed_leaf_nodes(3)) {
    leaf.first_transition = 1;
    nodes.push_back(leaf);
  }
  EXPECT_EQ(c.nodes, nodes);
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{{2, 1, 0, 0, 0, 5}}));
  EXPECT_EQ(c.roots, (std::vector<RootEntry>{{"pkg.A", 2}}));
  EXPECT_EQ(c.state_count, 10u);
  EXPECT_TRUE(c.leaf_ranges.empty());
  EXPECT_TRUE(c.ext_ranges.empty());
  EXPECT_TRUE(c.ext_range_sets.empty());
  EXPECT_FALSE(c.merged_flag);
}

TEST(CompileInitialTest, NodesCoverTheWholeIndexSpace) {
  const BuiltGraph b = must_build(merged_of(
      {
          {"a.A", message({ranged(1, -1, 3), ranged(2, 0, 1), child(3, "b.B")}, {{5, 9}})},
          {"b.B", group({})},
          {"c.C", message({}, {{1, 2}, {5, 9}})},
      },
      {}, true));
  const CompiledGraph c = must_compile_initial(b);
  const std::uint32_t n = 5;  // Any, MessageSet, a.A, b.B, c.C
  ASSERT_EQ(c.nodes.size(), n + 7 + 2);
  EXPECT_EQ(c.state_count, n + 7 + 2);
  expect_linked(c);
  for (std::uint32_t id = 0; id < c.nodes.size(); ++id) {
    EXPECT_EQ(c.nodes[id].is_string, id == n + 5) << id;
  }
  EXPECT_EQ(c.nodes[2].ext_set, 1);  // [(5, 9)] sorts after [(1, 2), (5, 9)]
  EXPECT_EQ(c.nodes[3].type, node_type::kGroup);
  EXPECT_EQ(c.nodes[4].ext_set, 0);
  EXPECT_EQ(c.nodes[0].ext_set, kNone16);
  EXPECT_EQ(c.nodes[n + 7], (NodeEntry{n + 7, 0, false, 0, kNone16, 3, 0}));
  EXPECT_EQ(c.nodes[n + 8], (NodeEntry{n + 8, 0, false, 1, kNone16, 3, 0}));
  EXPECT_EQ(c.leaf_ranges, (std::vector<ValueRange>{{-1, 3}, {0, 1}}));
  EXPECT_EQ(c.ext_ranges, (std::vector<ExtRange>{{1, 2}, {5, 9}, {5, 9}}));
  EXPECT_EQ(c.ext_range_sets, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 2}, {2, 1}}));
  EXPECT_TRUE(c.merged_flag);
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{
                               {2, 1, 0, 0, 0, n + 7},
                               {2, 2, 0, 0, 0, n + 8},
                               {2, 3, 0, 3, 0, 3},
                           }));
  // The fixed leaves nobody reaches are there all the same, without transitions.
  for (std::uint32_t p = 0; p < 7; ++p) EXPECT_EQ(c.nodes[n + p].transition_count, 0u);
}

TEST(CompileInitialTest, TransitionsSortByFromThenFieldKeepingRawOrderOfEqualKeys) {
  const BuiltGraph b = hand_graph({kAny, kMessageSet, "m.M", "n.N"}, {10, 10, 10, 10},
                                  {
                                      {3, 1, -7, 0, 0},
                                      {2, 3, -7, 0, 0},
                                      {2, 2, -1, 1, 0},
                                      {2, 1, -2, 0, 0},
                                      {2, 2, -3, 2, 1},
                                  });
  const CompiledGraph c = must_compile_initial(b);
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{
                               {2, 1, 0, 2, 0, 9},
                               {2, 2, 1, 5, 0, 10},
                               {2, 2, 2, 2, 1, 8},
                               {2, 3, 0, 0, 0, 6},
                               {3, 1, 0, 0, 0, 6},
                           }));
  EXPECT_EQ(c.nodes[2].first_transition, 0u);
  EXPECT_EQ(c.nodes[2].transition_count, 4u);
  EXPECT_EQ(c.nodes[3].first_transition, 4u);
  EXPECT_EQ(c.nodes[3].transition_count, 1u);
  expect_linked(c);
}

TEST(CompileInitialTest, FieldsStoredOutOfOrderComeOutByNumber) {
  const BuiltGraph b = must_build(merged_of({{"m.M", message({scalar(3, kind::kInt32), scalar(1, kind::kInt32),
                                                              scalar(2, kind::kInt32)})}}));
  const CompiledGraph c = must_compile_initial(b);
  ASSERT_EQ(c.transitions.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(c.transitions[i].field, i + 1);
}

TEST(CompileInitialTest, WireTypesFollowTheTarget) {
  struct Case {
    std::int32_t raw_to;
    std::uint8_t wire;
    const char* what;
  };
  const std::vector<Case> cases = {
      {2, 2, "message"}, {3, 3, "group"},   {-5, 0, "64-bit varint"}, {-6, 0, "uint32"}, {-7, 0, "int32"},
      {-4, 1, "double"}, {-3, 2, "bytes"},  {-2, 2, "string"},        {-1, 5, "float"},  {-9, 0, "range"},
  };
  std::vector<RawTransition> raw;
  for (std::uint32_t i = 0; i < cases.size(); ++i) raw.push_back({2, i + 1, cases[i].raw_to, 0, 0});
  const BuiltGraph b = hand_graph({kAny, kMessageSet, "m.Msg", "m.Grp"}, {10, 10, 10, 3}, raw, 1);
  const CompiledGraph c = must_compile_initial(b);
  ASSERT_EQ(c.transitions.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(c.transitions[i].wire_type, cases[i].wire);
  }
}

TEST(CompileInitialTest, NodeWithoutTransitionsPointsWhereItsRunWouldBegin) {
  const BuiltGraph b = must_build(merged_of({
      {"a.A", message({})},
      {"b.B", message({scalar(1, kind::kBytes), scalar(2, kind::kBytes)})},
  }));
  const CompiledGraph c = must_compile_initial(b);
  EXPECT_EQ(c.nodes[2].transition_count, 0u);
  EXPECT_EQ(c.nodes[3].transition_count, 2u);
  EXPECT_EQ(c.nodes[2].first_transition, c.nodes[3].first_transition);
  EXPECT_EQ(c.nodes.back().first_transition, 2u);  // the list length
}

TEST(CompileInitialTest, RootsKeepListOrderAndUnknownNamesVanishSilently) {
  const BuiltGraph b = must_build(merged_of({{"a.Root", message({})}, {"b.Root", message({})}}));
  struct Case {
    std::vector<std::string> roots;
    std::vector<RootEntry> expected;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{"x.Nope", "y.Nope"}, {}},
      {{"b.Root", "x.Nope", "a.Root"}, {{"b.Root", 3}, {"a.Root", 2}}},
      {{kAny}, {{kAny, 0}}},
  };
  for (const auto& c : cases) {
    CaptureStderr();
    const CompiledGraph compiled = must_compile_initial(b, c.roots);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(compiled.roots, c.expected);
  }
}

TEST(CompileInitialTest, NoNamedStatesMeansNoRoots) {
  BuiltGraph b = hand_graph({}, {}, {});
  b.graph.names.add("ghost");  // a state without a node: inconsistent, yet must not be resolved
  const CompiledGraph c = must_compile_initial(b, {"ghost"});
  EXPECT_TRUE(c.roots.empty());
  EXPECT_EQ(c.nodes.size(), 7u);
}

TEST(CompileInitialTest, BadSentinelsAreInternalErrors) {
  struct Case {
    std::int32_t to;
    std::size_t range_count;
    const char* message;
  };
  const std::vector<Case> cases = {
      {-8, 0, "unexpected leaf sentinel 4294967288"},
      {-9, 0, "unexpected leaf sentinel 4294967287"},
      {-10, 1, "unexpected leaf sentinel 4294967286"},
      {INT_MIN, 3, "unexpected leaf sentinel 2147483648"},
      {3, 0, "unexpected leaf sentinel 3"},  // a named id past N
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const BuiltGraph b = hand_graph({kAny, kMessageSet, "m.M"}, {10, 10, 10}, {{2, 1, c.to, 0, 0}}, c.range_count);
    auto compiled = compile_initial(b.graph, b.leaves, {});
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error().message, c.message);
  }
}

TEST(CompileInitialTest, RangeIndexesStayBelowTheNoneMarker) {
  const BuiltGraph ok = hand_graph({kAny, kMessageSet}, {10, 10}, {{1, 1, -9 - 65534, 0, 0}}, 65535);
  const CompiledGraph c = must_compile_initial(ok);
  EXPECT_EQ(c.nodes.back().range, 65534);
  EXPECT_EQ(c.transitions[0].to, c.nodes.back().id);

  const BuiltGraph too_big = hand_graph({kAny, kMessageSet}, {10, 10}, {}, 65536);
  auto refused = compile_initial(too_big.graph, too_big.leaves, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message,
            "65536 distinct bool/enum value ranges exceeds what a u16 range index can address (at most 65535)");
  auto refused_too = compile(too_big.graph, too_big.leaves, identity_partition(too_big.graph.state_count), {});
  ASSERT_FALSE(refused_too);
  EXPECT_EQ(refused_too.error().message, refused.error().message);
}

// ---- link_transitions and flat_ext_ranges ------------------------------------

TEST(LinkTransitionsTest, RunsAndWireTypes) {
  std::vector<NodeEntry> nodes = {
      {0, 10, false, kNone16, kNone16, 9, 9},
      {1, 8, false, kNone16, kNone16, 9, 9},
      {2, 3, false, kNone16, kNone16, 9, 9},
      {5, 9, false, kNone16, kNone16, 9, 9},
  };
  std::vector<TransitionEntry> transitions = {
      {1, 1, 0, 7, 0, 0}, {1, 2, 0, 7, 0, 1}, {3, 1, 0, 7, 0, 2},
      {5, 1, 0, 7, 0, 5}, {5, 2, 0, 7, 0, 4}, {9, 1, 0, 7, 0, 2},
  };
  link_transitions(nodes, transitions);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> runs = {{0, 0}, {0, 2}, {2, 0}, {3, 2}};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].first_transition, runs[i].first) << i;
    EXPECT_EQ(nodes[i].transition_count, runs[i].second) << i;
  }
  const std::vector<std::uint8_t> wires = {2, 0, 3, 0, kNoWire, 3};
  for (std::size_t i = 0; i < transitions.size(); ++i) EXPECT_EQ(transitions[i].wire_type, wires[i]) << i;
}

TEST(LinkTransitionsTest, DenseNodesAndTargetsPastTheEnd) {
  std::vector<NodeEntry> nodes = {
      {0, 10, false, kNone16, kNone16, 0, 0}, {1, 3, false, kNone16, kNone16, 0, 0},
      {2, 1, false, kNone16, kNone16, 0, 0},  {3, 9, false, kNone16, kNone16, 0, 0},
  };
  std::vector<TransitionEntry> transitions = {
      {0, 1, 0, 7, 0, 3}, {0, 2, 0, 7, 0, 4}, {2, 1, 0, 7, 0, 1}, {3, 1, 0, 7, 0, 4294967295u}, {7, 1, 0, 7, 0, 0},
  };
  link_transitions(nodes, transitions);
  const std::vector<std::uint8_t> wires = {0, kNoWire, 3, kNoWire, 2};
  for (std::size_t i = 0; i < transitions.size(); ++i) EXPECT_EQ(transitions[i].wire_type, wires[i]) << i;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> runs = {{0, 2}, {2, 0}, {2, 1}, {3, 1}};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].first_transition, runs[i].first) << i;
    EXPECT_EQ(nodes[i].transition_count, runs[i].second) << i;
  }
}

TEST(LinkTransitionsTest, AgreesWithALinearScanOnAnySortedNodeList) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    // Sorted ids: dense, with gaps, or with repeats, depending on the round.
    std::vector<NodeEntry> nodes;
    std::uint32_t id = 0;
    const std::size_t count = rng() % 12;
    for (std::size_t i = 0; i < count; ++i) {
      nodes.push_back({id, static_cast<std::uint8_t>(rng() % 12), false, kNone16, kNone16, 0, 0});
      if (round % 3 == 0) id += 1;
      else if (round % 3 == 1) id += rng() % 3;
      else id += 1 + rng() % 2;
    }
    std::vector<TransitionEntry> transitions;
    for (std::size_t i = 0; i < rng() % 20; ++i) {
      transitions.push_back({static_cast<std::uint32_t>(rng() % 16), static_cast<std::uint32_t>(i), 0, 0, 0,
                             static_cast<std::uint32_t>(rng() % 16)});
    }
    std::sort(transitions.begin(), transitions.end(),
              [](const auto& a, const auto& b) { return a.from != b.from ? a.from < b.from : a.field < b.field; });
    link_transitions(nodes, transitions);
    for (const auto& t : transitions) {
      auto it = std::find_if(nodes.begin(), nodes.end(), [&](const NodeEntry& n) { return n.id == t.to; });
      std::uint8_t wire = kNoWire;
      if (it != nodes.end()) wire = it->type == 8 || it->type == 9 ? 0 : it->type == 10 ? 2 : it->type;
      EXPECT_EQ(t.wire_type, wire) << t.to;
    }
    std::size_t covered = 0;
    for (const auto& node : nodes) {
      covered += node.transition_count;
      for (std::uint32_t k = node.first_transition; k < node.first_transition + node.transition_count; ++k) {
        EXPECT_EQ(transitions[k].from, node.id);
      }
    }
    const auto owned = std::count_if(transitions.begin(), transitions.end(), [&](const TransitionEntry& t) {
      return std::any_of(nodes.begin(), nodes.end(), [&](const NodeEntry& n) { return n.id == t.from; });
    });
    EXPECT_EQ(covered, static_cast<std::size_t>(owned));
  }
}

TEST(LinkTransitionsTest, EmptyLists) {
  std::vector<NodeEntry> no_nodes;
  std::vector<TransitionEntry> transitions = {{0, 1, 0, 0, 0, 0}};
  link_transitions(no_nodes, transitions);
  EXPECT_EQ(transitions[0].wire_type, kNoWire);

  std::vector<NodeEntry> nodes = {{0, 10, false, kNone16, kNone16, 5, 5}, {1, 10, false, kNone16, kNone16, 5, 5}};
  std::vector<TransitionEntry> none;
  link_transitions(nodes, none);
  for (const auto& node : nodes) {
    EXPECT_EQ(node.first_transition, 0u);
    EXPECT_EQ(node.transition_count, 0u);
  }
}

TEST(FlatExtRangesTest, SetsLaidEndToEnd) {
  using Sets = std::vector<std::vector<ExtRange>>;
  using Index = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  struct Case {
    Sets sets;
    std::vector<ExtRange> ranges;
    Index index;
  };
  const std::vector<Case> cases = {
      {{{{1, 2}}, {{3, 4}, {10, 20}}}, {{1, 2}, {3, 4}, {10, 20}}, {{0, 1}, {1, 2}}},
      {{{{1, 2}}, {}, {{7, 8}}}, {{1, 2}, {7, 8}}, {{0, 1}, {1, 0}, {1, 1}}},
      {{}, {}, {}},
  };
  for (const auto& c : cases) {
    const FlatExtRanges flat = flat_ext_ranges(c.sets);
    EXPECT_EQ(flat.ext_ranges, c.ranges);
    EXPECT_EQ(flat.ext_range_sets, c.index);
  }
}

// ---- block_of_sentinel -------------------------------------------------------

TEST(BlockOfSentinelTest, MapsEveryLeafAndRefusesTheRest) {
  // N = 2, R = 2: state index s sits in block 100 + s.
  std::vector<std::uint32_t> block_of(11);
  for (std::uint32_t s = 0; s < block_of.size(); ++s) block_of[s] = 100 + s;
  struct Good {
    std::int32_t sentinel;
    std::uint32_t block;
  };
  const std::vector<Good> good = {{-5, 102}, {-6, 103}, {-7, 104}, {-4, 105}, {-3, 106},
                                  {-2, 107}, {-1, 108}, {-9, 109}, {-10, 110}};
  for (const auto& g : good) {
    auto block = block_of_sentinel(block_of, g.sentinel, 2);
    ASSERT_TRUE(block) << g.sentinel;
    EXPECT_EQ(*block, g.block) << g.sentinel;
  }
  struct Bad {
    std::int32_t sentinel;
    const char* message;
  };
  const std::vector<Bad> bad = {
      {-8, "unexpected leaf sentinel 4294967288"},   {-11, "unexpected leaf sentinel 4294967285"},
      {0, "unexpected leaf sentinel 0"},             {1, "unexpected leaf sentinel 1"},
      {INT_MIN, "unexpected leaf sentinel 2147483648"}, {INT_MAX, "unexpected leaf sentinel 2147483647"},
  };
  for (const auto& b : bad) {
    auto block = block_of_sentinel(block_of, b.sentinel, 2);
    ASSERT_FALSE(block) << b.sentinel;
    EXPECT_EQ(block.error().message, b.message);
  }
  // A partition too short for its own leaves is refused, not read past its end.
  EXPECT_FALSE(block_of_sentinel(std::span(block_of).first(8), -10, 2));
  EXPECT_FALSE(block_of_sentinel({}, -1, 0));
}

// ---- compile -----------------------------------------------------------------

TEST(CompileTest, TwoEquivalentMessagesShareOneNode) {
  const BuiltGraph b = must_build(merged_of({
      {"b.B", message({scalar(1, kind::kInt32)})},
      {"a.A", message({scalar(1, kind::kInt32)})},
  }));
  Partition p;
  p.block_of = {0, 1, 2, 2, 3, 4, 5, 6, 7, 8, 9};
  p.num_blocks = 10;
  CaptureStderr();
  const CompiledGraph c = must_compile(b, p, {"a.A", "b.B"});
  EXPECT_EQ(GetCapturedStderr(), "");

  std::vector<NodeEntry> nodes = {
      {0, 10, false, kNone16, kNone16, 0, 0},
      {1, 10, false, kNone16, kNone16, 0, 0},
      {2, 10, false, kNone16, kNone16, 0, 1},
  };
  for (NodeEntry leaf : fixed_leaf_nodes(3)) {
    leaf.first_transition = 1;
    nodes.push_back(leaf);
  }
  EXPECT_EQ(c.nodes, nodes);
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{{2, 1, 0, 0, 0, 5}}));
  EXPECT_EQ(c.roots, (std::vector<RootEntry>{{"a.A", 2}, {"b.B", 2}}));
  EXPECT_EQ(c.state_count, 10u);
}

TEST(CompileTest, EquivalentTargetsCollapseAcrossLevels) {
  // c.C -> a.A and d.D -> b.B, with a.A ~ b.B and so c.C ~ d.D.
  const BuiltGraph b = must_build(merged_of({
      {"a.A", message({scalar(1, kind::kInt32)})},
      {"b.B", message({scalar(1, kind::kInt32)})},
      {"c.C", message({child(1, "a.A", label::kRepeated)})},
      {"d.D", message({child(1, "b.B", label::kRepeated)})},
  }));
  Partition p;
  p.block_of = {0, 1, 2, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10};
  p.num_blocks = 11;
  const CompiledGraph c = must_compile(b, p, {"d.D"});
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{{2, 1, 0, 0, 0, 6}, {3, 1, 2, 2, 0, 2}}));
  EXPECT_EQ(c.nodes.size(), 11u);
  EXPECT_EQ(c.roots, (std::vector<RootEntry>{{"d.D", 3}}));
  expect_linked(c);
}

TEST(CompileTest, FirstRawTransitionOfAStateAndFieldWins) {
  const BuiltGraph b = hand_graph({kAny, kMessageSet, "m.M"}, {10, 10, 10},
                                  {{2, 1, -7, 2, 1}, {2, 1, -1, 0, 0}, {2, 0, -2, 1, 0}});
  const CompiledGraph c = must_compile(b, identity_partition(b.graph.state_count));
  EXPECT_EQ(c.transitions, (std::vector<TransitionEntry>{{2, 0, 1, 2, 0, 8}, {2, 1, 2, 0, 1, 5}}));
}

TEST(CompileTest, RootWithoutMessageIsWarnedAboutAndSkipped) {
  const BuiltGraph b = must_build(merged_of({{"a.A", message({child(1, "pkg.Hidden")})}}));
  CaptureStderr();
  const CompiledGraph c = must_compile(b, identity_partition(b.graph.state_count), {"pkg.Missing", "a.A"});
  EXPECT_EQ(GetCapturedStderr(), "warning: root entry 'pkg.Missing' has no node in graph; skipping\n");
  EXPECT_EQ(c.roots, (std::vector<RootEntry>{{"a.A", 2}}));

  // An undeclared child is a state, so naming it as a root is no fault.
  CaptureStderr();
  const CompiledGraph hidden = must_compile(b, identity_partition(b.graph.state_count), {"pkg.Hidden"});
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(hidden.roots, (std::vector<RootEntry>{{"pkg.Hidden", 3}}));
}

TEST(CompileTest, EveryRootWarnsWhenThereAreNoNamedStates) {
  const BuiltGraph b = hand_graph({}, {}, {});
  CaptureStderr();
  const CompiledGraph c = must_compile(b, identity_partition(7), {"x", "y"});
  EXPECT_EQ(GetCapturedStderr(),
            "warning: root entry 'x' has no node in graph; skipping\n"
            "warning: root entry 'y' has no node in graph; skipping\n");
  EXPECT_TRUE(c.roots.empty());
  EXPECT_EQ(c.nodes.size(), 7u);
}

TEST(CompileTest, LeavesOverrideWhatTheirBlockHolds) {
  const BuiltGraph b = hand_graph({kAny, kMessageSet}, {10, 3}, {});
  struct Case {
    const char* what;
    std::vector<std::uint32_t> block_of;
    std::uint32_t num_blocks;
    std::uint32_t node;
    NodeEntry expected;
  };
  const std::vector<Case> cases = {
      {"bytes and string leaf in one block: the string leaf, later, stands",
       {0, 1, 2, 3, 4, 5, 6, 6, 7}, 8, 6, {6, 2, true, kNone16, kNone16, 0, 0}},
      {"double and float leaf in one block: the float leaf, later, stands",
       {0, 1, 2, 3, 4, 5, 6, 7, 5}, 8, 5, {5, 5, false, kNone16, kNone16, 0, 0}},
      {"a leaf in a named block replaces the named attributes",
       {0, 1, 2, 3, 4, 5, 6, 7, 1}, 8, 1, {1, 5, false, kNone16, kNone16, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Partition p{c.block_of, c.num_blocks};
    const CompiledGraph compiled = must_compile(b, p);
    ASSERT_GT(compiled.nodes.size(), c.node);
    EXPECT_EQ(compiled.nodes[c.node], c.expected);
    EXPECT_EQ(compiled.state_count, c.num_blocks);
  }
}

TEST(CompileTest, FirstNamedMemberSpeaksForItsBlock) {
  BuiltGraph b = hand_graph({kAny, kMessageSet, "a", "b"}, {10, 10, 3, 10}, {});
  b.graph.ext_of = {kNone16, kNone16, 4, 9};
  b.graph.ext_range_sets.assign(10, {{1, 1}});
  Partition p{{0, 1, 2, 2, 3, 4, 5, 6, 7, 8, 9}, 10};
  const CompiledGraph c = must_compile(b, p);
  EXPECT_EQ(c.nodes[2], (NodeEntry{2, 3, false, kNone16, 4, 0, 0}));
  EXPECT_EQ(c.ext_range_sets.size(), 10u);
}

TEST(CompileTest, GraphWithoutTransitions) {
  const BuiltGraph b = must_build(merged_of({{"a.A", message({})}, {"b.B", message({})}}));
  const CompiledGraph c = must_compile(b, identity_partition(b.graph.state_count));
  EXPECT_TRUE(c.transitions.empty());
  for (const auto& node : c.nodes) EXPECT_EQ(node.transition_count, 0u);
  EXPECT_EQ(c.nodes.size(), 11u);
}

TEST(CompileTest, BrokenPartitionsAreInternalErrors) {
  const BuiltGraph b = hand_graph({kAny, kMessageSet, "m.M"}, {10, 10, 10}, {{2, 1, -9, 0, 0}}, 1);
  struct Case {
    const char* what;
    Partition p;
  };
  std::vector<Case> cases = {
      {"too few blocks for the leaves", {{0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7}, 7}},
      {"too short", {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10}},
      {"too long", {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12}},
      {"block past num_blocks", {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11}, 11}},
      {"more blocks than states", {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(compile(b.graph, b.leaves, c.p, {}));
  }
  const BuiltGraph bad_sentinel = hand_graph({kAny, kMessageSet}, {10, 10}, {{1, 1, -8, 0, 0}});
  auto r = compile(bad_sentinel.graph, bad_sentinel.leaves, identity_partition(9), {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "unexpected leaf sentinel 4294967288");
  const BuiltGraph bad_from = hand_graph({kAny, kMessageSet}, {10, 10}, {{9, 1, -1, 0, 0}});
  EXPECT_FALSE(compile(bad_from.graph, bad_from.leaves, identity_partition(9), {}));
}

// ---- Properties --------------------------------------------------------------

BuiltGraph random_raw_graph(std::mt19937& rng, bool unique_keys) {
  const std::uint32_t n = 3 + rng() % 20;
  const std::size_t r = rng() % 4;
  std::vector<std::string> names;
  std::vector<std::uint8_t> types;
  for (std::uint32_t id = 0; id < n; ++id) {
    names.push_back(std::string("s").append(std::to_string(id)));
    types.push_back(rng() % 3 ? 10 : 3);
  }
  std::vector<RawTransition> raw;
  const std::size_t count = rng() % 60;
  for (std::size_t i = 0; i < count; ++i) {
    RawTransition t;
    t.from = static_cast<std::uint32_t>(rng() % n);
    t.field = unique_keys ? static_cast<std::uint32_t>(i + 1) : static_cast<std::uint32_t>(1 + rng() % 4);
    const std::uint32_t pick = rng() % (n + 7 + r);
    t.to = pick < n ? static_cast<std::int32_t>(pick)
                    : (pick < n + 7 ? kFixedLeafSentinel[pick - n] : range_leaf_sentinel(pick - n - 7));
    t.label = static_cast<std::uint8_t>(rng() % 3);
    t.packed = static_cast<std::uint8_t>(rng() % 2);
    raw.push_back(t);
  }
  BuiltGraph b = hand_graph(std::move(names), std::move(types), std::move(raw), r);
  b.graph.ext_range_sets = {{{1, 2}}, {{3, 4}}};
  for (auto& e : b.graph.ext_of) e = rng() % 3 == 0 ? static_cast<std::uint16_t>(rng() % 2) : kNone16;
  return b;
}

TEST(CompilePropertyTest, IdentityPartitionAgreesWithInitialCompile) {
  std::mt19937 rng(77);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const BuiltGraph b = random_raw_graph(rng, false);
    const std::vector<std::string> roots = {"s1", "s0", "nope", "s2"};
    const CompiledGraph initial = must_compile_initial(b, roots);
    CaptureStderr();
    const CompiledGraph minimal = must_compile(b, identity_partition(b.graph.state_count), roots);
    EXPECT_EQ(GetCapturedStderr(), "warning: root entry 'nope' has no node in graph; skipping\n");

    std::vector<TransitionEntry> expected = initial.transitions;
    expected.erase(std::unique(expected.begin(), expected.end(),
                               [](const auto& x, const auto& y) { return x.from == y.from && x.field == y.field; }),
                   expected.end());
    EXPECT_EQ(minimal.transitions, expected);
    ASSERT_EQ(minimal.nodes.size(), initial.nodes.size());
    for (std::size_t i = 0; i < initial.nodes.size(); ++i) {
      NodeEntry x = initial.nodes[i];
      NodeEntry y = minimal.nodes[i];
      x.first_transition = y.first_transition = 0;
      x.transition_count = y.transition_count = 0;
      EXPECT_EQ(x, y) << i;
    }
    EXPECT_EQ(minimal.state_count, initial.state_count);
    EXPECT_EQ(minimal.roots, initial.roots);
    EXPECT_EQ(minimal.leaf_ranges, initial.leaf_ranges);
    EXPECT_EQ(minimal.ext_ranges, initial.ext_ranges);
    EXPECT_EQ(minimal.ext_range_sets, initial.ext_range_sets);
    expect_linked(initial);
    expect_linked(minimal);
  }
}

TEST(CompilePropertyTest, OrderOfRawTransitionsDoesNotMatterWhenKeysAreUnique) {
  std::mt19937 rng(5);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    const BuiltGraph b = random_raw_graph(rng, true);
    BuiltGraph shuffled = b;
    std::shuffle(shuffled.graph.transitions.begin(), shuffled.graph.transitions.end(), rng);
    Partition p = identity_partition(b.graph.state_count);
    const CompiledGraph a1 = must_compile_initial(b);
    const CompiledGraph a2 = must_compile_initial(shuffled);
    EXPECT_EQ(a1.nodes, a2.nodes);
    EXPECT_EQ(a1.transitions, a2.transitions);
    const CompiledGraph c1 = must_compile(b, p);
    const CompiledGraph c2 = must_compile(shuffled, p);
    EXPECT_EQ(c1.nodes, c2.nodes);
    EXPECT_EQ(c1.transitions, c2.transitions);
  }
}

}  // namespace
}  // namespace korvex
