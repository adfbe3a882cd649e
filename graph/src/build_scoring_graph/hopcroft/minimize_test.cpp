// Tests of the minimisation: fixed cases with known blocks and progress
// calls, the progress pacing on its own, and random graphs on which the fast
// refinement must agree with the plain one pair by pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/hopcroft/minimize.hpp"
#include "testing/minimize_reference.hpp"

namespace korvex {
namespace {

using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Leaf sentinels by kind, for readability.
constexpr std::int32_t kInt64 = -5;
constexpr std::int32_t kInt32 = -7;
constexpr std::int32_t kBytes = -3;
constexpr std::int32_t kString = -2;

struct TestGraph {
  RawGraph graph;
  std::size_t ranges = 0;
};

TestGraph make_graph(std::uint32_t named, std::size_t ranges = 0) {
  TestGraph g;
  g.ranges = ranges;
  g.graph.state_count = static_cast<std::uint32_t>(named + kFixedLeafCount + ranges);
  g.graph.node_type.assign(named, node_type::kMessage);
  g.graph.ext_of.assign(named, kNone16);
  return g;
}

void add(TestGraph& g, std::uint32_t from, std::uint32_t field, std::int32_t to, std::uint8_t label = 0,
         std::uint8_t packed = 0) {
  g.graph.transitions.push_back({from, field, to, label, packed});
}

struct Outcome {
  Partition part;
  Calls calls;
  std::vector<RefinementStep> steps;
};

Outcome run_fast(const TestGraph& g) {
  Outcome r;
  auto part = minimize_traced(
      g.graph, g.ranges, [&](std::uint64_t v, std::uint64_t t) { r.calls.emplace_back(v, t); }, r.steps);
  EXPECT_TRUE(part.has_value()) << (part ? "" : part.error().message);
  if (part) r.part = std::move(*part);
  return r;
}

Outcome run_reference(const TestGraph& g) {
  Outcome r;
  r.part = minimize_reference_traced(
      g.graph, g.ranges, [&](std::uint64_t v, std::uint64_t t) { r.calls.emplace_back(v, t); }, r.steps);
  return r;
}

// Both implementations must agree on everything observable, and on the
// queue positions of the pairs that did any work.
void expect_agree(const TestGraph& g, const std::string& what) {
  const Outcome fast = run_fast(g);
  const Outcome ref = run_reference(g);
  EXPECT_EQ(fast.part, ref.part) << what;
  EXPECT_EQ(fast.calls, ref.calls) << what;
  EXPECT_EQ(fast.steps, ref.steps) << what;
}

// ------------------------------------------------------------ fixed cases

TEST(Minimize, WorkedExample) {
  TestGraph g = make_graph(5);
  add(g, 2, 1, kInt32);  // pkg.A
  add(g, 3, 1, kInt32);  // pkg.B
  add(g, 4, 1, 2);       // pkg.C -> pkg.A
  for (const Outcome& r : {run_fast(g), run_reference(g)}) {
    EXPECT_EQ(r.part.block_of, (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(r.part.num_blocks, 11u);
    EXPECT_EQ(r.calls, (Calls{{0, 2}, {1, 2}, {2, 2}}));
    // The third pair splits pkg.C off into block 10; the sixth fills block 2.
    EXPECT_EQ(r.steps, (std::vector<RefinementStep>{{3, 11}, {6, 11}}));
  }
}

struct BlockCase {
  std::string name;
  std::function<TestGraph()> build;
  std::vector<std::uint32_t> block_of;  // expected, named states only
  Calls calls;                          // expected; empty: not fixed here
};

std::vector<BlockCase> block_cases() {
  std::vector<BlockCase> cases;
  cases.push_back({"no transitions: grouped by node type and extension set",
                   [] {
                     TestGraph g = make_graph(7);
                     g.graph.node_type[4] = node_type::kGroup;
                     g.graph.ext_of[5] = 0;
                     g.graph.ext_of[6] = 0;
                     return g;
                   },
                   {0, 1, 2, 2, 3, 4, 4},
                   {{0, 2}, {2, 2}}});
  cases.push_back({"every initial block single: total 0",
                   [] {
                     TestGraph g = make_graph(4);
                     add(g, 2, 1, kInt32);
                     add(g, 3, 2, kInt32);
                     return g;
                   },
                   {0, 1, 2, 3},
                   {{0, 0}, {0, 0}}});
  cases.push_back({"states 0 and 1 stay alone",
                   [] {
                     TestGraph g = make_graph(4);
                     for (std::uint32_t s = 0; s < 4; ++s) add(g, s, 1, kInt32);
                     return g;
                   },
                   {0, 1, 2, 2},
                   {}});
  cases.push_back({"alike types merge",
                   [] {
                     TestGraph g = make_graph(6);
                     for (std::uint32_t s = 2; s < 4; ++s) {
                       add(g, s, 1, kInt32);
                       add(g, s, 2, 5 - (s - 2), 2);  // to equivalent children
                     }
                     add(g, 4, 7, kString);
                     add(g, 5, 7, kString);
                     return g;
                   },
                   {0, 1, 2, 2, 3, 3},
                   {}});
  cases.push_back({"a field differing only in label",
                   [] {
                     TestGraph g = make_graph(4);
                     add(g, 2, 1, kInt32, 0);
                     add(g, 3, 1, kInt32, 2);
                     return g;
                   },
                   {0, 1, 2, 3},
                   {{0, 0}, {0, 0}}});
  cases.push_back({"a field differing only in packed",
                   [] {
                     TestGraph g = make_graph(4);
                     add(g, 2, 1, kInt32, 2, 0);
                     add(g, 3, 1, kInt32, 2, 1);
                     return g;
                   },
                   {0, 1, 2, 3},
                   {{0, 0}, {0, 0}}});
  cases.push_back({"string and bytes leaves are never merged",
                   [] {
                     TestGraph g = make_graph(4);
                     add(g, 2, 1, kString);
                     add(g, 3, 1, kBytes);
                     return g;
                   },
                   {0, 1, 2, 3},
                   {}});
  cases.push_back({"different extension-range sets",
                   [] {
                     TestGraph g = make_graph(4);
                     g.graph.ext_of[2] = 0;
                     g.graph.ext_of[3] = 1;
                     add(g, 2, 1, kInt32);
                     add(g, 3, 1, kInt32);
                     return g;
                   },
                   {0, 1, 2, 3},
                   {{0, 0}, {0, 0}}});
  cases.push_back({"self-recursive types merge",
                   [] {
                     TestGraph g = make_graph(4);
                     add(g, 2, 1, 2);
                     add(g, 3, 1, 3);
                     return g;
                   },
                   {0, 1, 2, 2},
                   {}});
  cases.push_back({"mutually recursive pairs merge",
                   [] {
                     TestGraph g = make_graph(6);
                     add(g, 2, 1, 3);
                     add(g, 3, 1, 2);
                     add(g, 4, 1, 5);
                     add(g, 5, 1, 4);
                     add(g, 2, 2, kInt32);
                     add(g, 3, 2, kInt32);
                     add(g, 4, 2, kInt32);
                     add(g, 5, 2, kInt32);
                     return g;
                   },
                   {0, 1, 2, 2, 2, 2},
                   {}});
  cases.push_back({"a chain splits one state at a time",
                   [] {
                     TestGraph g = make_graph(8);
                     for (std::uint32_t s = 2; s < 7; ++s) add(g, s, 1, static_cast<std::int32_t>(s + 1));
                     add(g, 7, 1, kInt32);
                     return g;
                   },
                   {0, 1, 2, 3, 4, 5, 6, 7},
                   {}});
  cases.push_back({"duplicate field numbers in one state",
                   [] {
                     TestGraph g = make_graph(5);
                     add(g, 2, 1, kInt32);
                     add(g, 2, 1, kInt64);
                     add(g, 3, 1, kInt64);
                     add(g, 3, 1, kInt32);
                     add(g, 4, 1, kInt32);
                     return g;
                   },
                   {0, 1, 2, 2, 3},
                   {}});
  return cases;
}

TEST(Minimize, BlockCases) {
  for (const BlockCase& c : block_cases()) {
    const TestGraph g = c.build();
    const std::uint32_t named = g.graph.named_count();
    for (const Outcome& r : {run_fast(g), run_reference(g)}) {
      ASSERT_EQ(r.part.block_of.size(), g.graph.state_count) << c.name;
      const std::vector<std::uint32_t> named_blocks(r.part.block_of.begin(), r.part.block_of.begin() + named);
      EXPECT_EQ(named_blocks, c.block_of) << c.name;
      const std::uint32_t m = *std::max_element(c.block_of.begin(), c.block_of.end()) + 1;
      EXPECT_EQ(r.part.num_blocks, m + kFixedLeafCount + g.ranges) << c.name;
      for (std::uint32_t i = 0; i < kFixedLeafCount + g.ranges; ++i) {
        EXPECT_EQ(r.part.block_of[named + i], m + i) << c.name << " leaf " << i;
      }
      if (!c.calls.empty()) {
        EXPECT_EQ(r.calls, c.calls) << c.name;
      }
      if (g.graph.transitions.empty()) {
        EXPECT_TRUE(r.steps.empty()) << c.name;  // empty alphabet, empty worklist
      }
    }
    expect_agree(g, c.name);
  }
}

TEST(Minimize, RangeLeavesBeyondSixteenBitsStayAlone) {
  // Range leaf 65535 would share the int64 leaf's 16-bit signature.
  constexpr std::size_t kRanges = 65540;
  TestGraph g = make_graph(4, kRanges);
  add(g, 2, 1, kInt64);
  add(g, 3, 1, range_leaf_sentinel(65535));
  const Outcome fast = run_fast(g);
  EXPECT_NE(fast.part.block_of[2], fast.part.block_of[3]);
  for (std::uint32_t i = 0; i < kFixedLeafCount + kRanges; ++i) {
    ASSERT_EQ(fast.part.block_of[4 + i], 4 + i);
  }
  EXPECT_EQ(fast.part, run_reference(g).part);
}

TEST(Minimize, TransitionsOutsideTheContractAreIgnored) {
  TestGraph clean = make_graph(5, 2);
  add(clean, 2, 1, kInt32);
  add(clean, 3, 1, kInt32);
  add(clean, 4, 1, range_leaf_sentinel(1));
  TestGraph dirty = clean;
  add(dirty, 2, 9, -8);                        // never a sentinel
  add(dirty, 3, 9, range_leaf_sentinel(2));    // range leaf past R
  add(dirty, 2, 9, 5);                         // named id past N
  add(dirty, 5, 9, kInt32);                    // source is a leaf
  add(dirty, 70000, 9, kInt32);                // source past everything
  add(dirty, 4, 9, std::numeric_limits<std::int32_t>::min());
  const Outcome a = run_fast(clean);
  const Outcome b = run_fast(dirty);
  EXPECT_EQ(a.part, b.part);
  EXPECT_EQ(a.calls, b.calls);
  expect_agree(dirty, "dirty");
}

TEST(Minimize, TooFewStatesForTheLeavesKeepsEveryStateAlone) {
  TestGraph g = make_graph(0, 0);
  g.graph.state_count = 5;
  g.ranges = 3;
  for (const Outcome& r : {run_fast(g), run_reference(g)}) {
    EXPECT_EQ(r.part.block_of, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(r.part.num_blocks, 5u);
    EXPECT_EQ(r.calls, (Calls{{0, 0}, {0, 0}}));
  }
}

// A limit of the working arrays is an error value, not an allocation
// failure; it is found before anything is allocated.
TEST(Minimize, StateCountBeyondThirtyTwoBitIndexesIsAnError) {
  TestGraph g = make_graph(0, 0);
  g.graph.state_count = std::numeric_limits<std::uint32_t>::max();
  const auto part = minimize(g.graph, 0, ProgressFn{});
  ASSERT_FALSE(part.has_value());
  EXPECT_EQ(part.error().message,
            "cannot minimise: 4294967295 states exceeds the 32-bit index limit of 4294967294 states");
}

TEST(Minimize, LeavesOnlyGraph) {
  const TestGraph g = make_graph(0, 2);
  const Outcome r = run_fast(g);
  EXPECT_EQ(r.part.block_of, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(r.part.num_blocks, 9u);
  EXPECT_EQ(r.calls, (Calls{{0, 0}, {0, 0}}));
  expect_agree(g, "leaves only");
}

// ------------------------------------------------------------ progress pacing

// Feeds the taken positions to both pacers; returns the calls of each.
std::pair<Calls, Calls> pace(std::uint64_t total, std::uint64_t initial_length,
                             const std::vector<std::uint64_t>& taken) {
  Calls fast, ref;
  const ProgressFn to_fast = [&](std::uint64_t v, std::uint64_t t) { fast.emplace_back(v, t); };
  const ProgressFn to_ref = [&](std::uint64_t v, std::uint64_t t) { ref.emplace_back(v, t); };
  ProgressPacer pacer(total, initial_length, to_fast);
  ReferenceProgress reference(total, initial_length, to_ref);
  pacer.start();
  reference.start();
  for (std::uint64_t t : taken) {
    pacer.after_pair(t);
    reference.after_pair(t);
  }
  pacer.finish();
  reference.finish();
  return {fast, ref};
}

TEST(ProgressPacing, TotalTenOverForty) {
  std::vector<std::uint64_t> taken;
  for (std::uint64_t t = 1; t <= 60; ++t) taken.push_back(t);
  Calls expected{{0, 10}};
  for (std::uint64_t v = 1; v <= 9; ++v) expected.emplace_back(v, 10);  // after pairs 4, 8, ..., 36
  expected.emplace_back(10, 10);
  const auto [fast, ref] = pace(10, 40, taken);
  EXPECT_EQ(fast, expected);
  EXPECT_EQ(ref, expected);

  // Nothing is reported before pair 4, and pair 36 is the last report.
  EXPECT_EQ(pace(10, 40, {1, 2, 3}).first, (Calls{{0, 10}, {10, 10}}));
  EXPECT_EQ(pace(10, 40, {36, 37, 39, 40, 41, 1000}).first, (Calls{{0, 10}, {9, 10}, {10, 10}}));
}

struct PacingCase {
  std::string name;
  std::uint64_t total, initial_length;
  std::vector<std::uint64_t> taken;
  Calls expected;
};

TEST(ProgressPacing, Cases) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<PacingCase> cases = {
      {"gaps jump several percent", 10, 40, {5, 13, 100}, {{0, 10}, {1, 10}, {3, 10}, {9, 10}, {10, 10}}},
      {"total zero reports nothing between", 0, 40, {1, 40, 80}, {{0, 0}, {0, 0}}},
      {"empty worklist reports nothing between", 5, 0, {1, 2}, {{0, 5}, {5, 5}}},
      {"total one never passes zero percent", 1, 10, {5, 10, 20}, {{0, 1}, {1, 1}}},
      {"products beyond 64 bits", kMax, kMax, {kMax / 2, kMax - 1, kMax},
       {{0, kMax}, {kMax / 2, kMax}, {kMax - 1, kMax}, {kMax, kMax}}},
      {"huge total over a short worklist", 1ULL << 62, 3, {1, 2, 3},
       {{0, 1ULL << 62}, {(1ULL << 62) / 3, 1ULL << 62}, {(1ULL << 62) / 3 * 2 + 0, 1ULL << 62},
        {(1ULL << 62) - 1, 1ULL << 62}, {1ULL << 62, 1ULL << 62}}},
      {"many pairs per percent", 200, 1000, {9, 10, 11, 19, 20, 995},
       {{0, 200}, {2, 200}, {4, 200}, {199, 200}, {200, 200}}},
  };
  for (const PacingCase& c : cases) {
    const auto [fast, ref] = pace(c.total, c.initial_length, c.taken);
    EXPECT_EQ(ref, c.expected) << c.name;
    EXPECT_EQ(fast, c.expected) << c.name;
  }
  // The total itself, from the rounded-up estimate, saturated at both ends.
  EXPECT_EQ(saturate_to_u64(-0.0), 0u);
  EXPECT_EQ(saturate_to_u64(-3.0), 0u);
  EXPECT_EQ(saturate_to_u64(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(saturate_to_u64(7.0), 7u);
  EXPECT_EQ(saturate_to_u64(18446744073709549568.0), 18446744073709549568u);  // largest double below 2^64
  EXPECT_EQ(saturate_to_u64(18446744073709551616.0), kMax);
  EXPECT_EQ(saturate_to_u64(std::numeric_limits<double>::infinity()), kMax);
}

TEST(ProgressPacing, AgreesWithTheRuleOnRandomSequences) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const int scale = static_cast<int>(rng() % 4);
    const std::uint64_t limit = scale == 0 ? 50 : scale == 1 ? 5000 : scale == 2 ? 1ULL << 40 : ~0ULL;
    const std::uint64_t total = rng() % 3 == 0 ? rng() % 200 : rng() % limit;
    const std::uint64_t initial = rng() % limit;
    std::vector<std::uint64_t> taken;
    std::uint64_t t = 0;
    const std::uint64_t step = std::max<std::uint64_t>(1, initial / 50 + 1);
    for (int k = 0; k < 150; ++k) {
      const std::uint64_t inc = 1 + rng() % (2 * step);
      if (t > ~0ULL - inc) break;
      t += inc;
      taken.push_back(t);
    }
    const auto [fast, ref] = pace(total, initial, taken);
    ASSERT_EQ(fast, ref) << "total " << total << " initial " << initial;
    ASSERT_LE(fast.size(), 101u);
  }
}

// ------------------------------------------------------------ random graphs

struct Shape {
  std::string name;
  std::uint32_t named_min, named_max;
  std::uint32_t ranges_max;
  std::uint32_t fields_max;     // per state
  std::uint32_t field_pool;     // field numbers 1..field_pool
  double message_share;         // fields that point at a named state
  double label_variety;         // share of fields with a random label / packed
  double duplicate_share;       // extra field reusing a number already present
  std::uint32_t ext_variety;    // extension-range set indices 0..ext_variety-1, 0: none
  bool group_types;
  bool uniform;                 // every state gets the same field numbers
};

TestGraph random_graph(std::mt19937_64& rng, const Shape& shape) {
  auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return lo + static_cast<std::uint32_t>(rng() % (hi - lo + 1));
  };
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  const std::uint32_t named = pick(shape.named_min, shape.named_max);
  const std::uint32_t ranges = shape.ranges_max == 0 ? 0 : pick(0, shape.ranges_max);
  TestGraph g = make_graph(named, ranges);
  for (std::uint32_t s = 0; s < named; ++s) {
    if (shape.group_types && chance(0.2)) g.graph.node_type[s] = node_type::kGroup;
    if (shape.ext_variety > 0 && chance(0.3)) g.graph.ext_of[s] = static_cast<std::uint16_t>(pick(0, shape.ext_variety - 1));
  }
  std::vector<std::uint32_t> uniform_fields;
  for (std::uint32_t k = 0, n = pick(1, shape.fields_max); k < n; ++k) uniform_fields.push_back(pick(1, shape.field_pool));
  auto target = [&]() -> std::int32_t {
    if (named > 0 && chance(shape.message_share)) return static_cast<std::int32_t>(pick(0, named - 1));
    if (ranges > 0 && chance(0.3)) return range_leaf_sentinel(pick(0, ranges - 1));
    return kFixedLeafSentinel[pick(0, kFixedLeafCount - 1)];
  };
  for (std::uint32_t s = 0; s < named; ++s) {
    if (s < 2 && chance(0.5)) continue;  // the well-known types are often empty
    std::vector<std::uint32_t> fields = uniform_fields;
    if (!shape.uniform) {
      fields.clear();
      for (std::uint32_t k = 0, n = pick(0, shape.fields_max); k < n; ++k) fields.push_back(pick(1, shape.field_pool));
    }
    for (std::uint32_t f : fields) {
      std::uint8_t label = 0, packed = 0;
      if (chance(shape.label_variety)) {
        label = static_cast<std::uint8_t>(pick(0, 2));
        packed = static_cast<std::uint8_t>(pick(0, 1));
      }
      add(g, s, f, target(), label, packed);
      if (chance(shape.duplicate_share)) add(g, s, f, target(), label, packed);
    }
  }
  return g;
}

std::vector<Shape> shapes() {
  return {
      // name, named, ranges, fields, pool, message, label, dup, ext, groups, uniform
      {"schema-like", 2, 40, 6, 4, 12, 0.3, 0.2, 0.0, 3, true, false},
      {"schema-like with duplicates", 2, 30, 4, 3, 6, 0.4, 0.2, 0.15, 2, true, false},
      {"many splits: one signature, one field", 3, 60, 0, 1, 1, 0.9, 0.0, 0.0, 0, false, true},
      {"many splits: one signature, few fields", 3, 50, 2, 3, 4, 0.8, 0.0, 0.0, 0, false, true},
      {"many splits with several signatures", 10, 60, 2, 3, 3, 0.8, 0.1, 0.0, 6, true, true},
      {"wide alphabet", 4, 25, 2, 6, 200, 0.5, 0.5, 0.05, 2, true, false},
      {"wide uniform alphabet", 4, 20, 1, 12, 300, 0.7, 0.0, 0.0, 0, false, true},
      {"nondeterministic uniform", 3, 30, 1, 3, 3, 0.8, 0.0, 0.4, 0, false, true},
      {"self loops and recursion", 2, 30, 0, 3, 2, 0.95, 0.1, 0.1, 0, false, false},
  };
}

// Checks the numbering rules every partition keeps.
void expect_well_formed(const TestGraph& g, const Partition& p, const std::string& what) {
  const std::uint32_t named = g.graph.named_count();
  ASSERT_EQ(p.block_of.size(), g.graph.state_count) << what;
  std::uint32_t next = 0;
  for (std::uint32_t s = 0; s < named; ++s) {
    ASSERT_LE(p.block_of[s], next) << what;  // first occurrence, never skipping
    if (p.block_of[s] == next) ++next;
  }
  for (std::uint32_t i = 0; i + named < g.graph.state_count; ++i) ASSERT_EQ(p.block_of[named + i], next + i) << what;
  ASSERT_EQ(p.num_blocks, g.graph.state_count - named + next) << what;
  for (std::uint32_t s = 0; s < std::min<std::uint32_t>(named, 2); ++s) {
    ASSERT_EQ(std::count(p.block_of.begin(), p.block_of.end(), p.block_of[s]), 1) << what;
  }
}

// For graphs where no state has two transitions under one symbol, the result
// is the coarsest partition that refines the initial signatures and is
// stable: computed here by naive rounds of signature refinement.
bool deterministic(const TestGraph& g) {
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint8_t>, int> seen;
  for (const RawTransition& t : g.graph.transitions) {
    if (++seen[{t.from, t.field, static_cast<std::uint8_t>(t.label | (t.packed * 4))}] > 1) return false;
  }
  return true;
}

std::vector<std::uint32_t> coarsest_stable(const TestGraph& g) {
  const std::uint32_t named = g.graph.named_count();
  const std::uint32_t states = g.graph.state_count;
  auto index = [&](std::int32_t to) -> std::uint32_t {
    if (to >= 0) return static_cast<std::uint32_t>(to);
    for (std::uint32_t p = 0; p < kFixedLeafCount; ++p)
      if (kFixedLeafSentinel[p] == to) return named + p;
    return named + kFixedLeafCount + static_cast<std::uint32_t>(-9 - to);
  };
  using Edge = std::pair<std::uint64_t, std::uint32_t>;  // symbol, target
  std::vector<std::vector<Edge>> out(states);
  for (const RawTransition& t : g.graph.transitions) {
    out[t.from].emplace_back((std::uint64_t{t.field} << 8) | static_cast<std::uint8_t>(t.label | (t.packed * 4)),
                             index(t.to));
  }
  std::vector<std::uint32_t> block(states);
  {
    std::map<std::vector<std::uint64_t>, std::uint32_t> ids;
    for (std::uint32_t s = 0; s < states; ++s) {
      std::vector<std::uint64_t> key;
      if (s < 2 || s >= named) {
        key = {1, s};
      } else {
        key = {0, g.graph.node_type[s], g.graph.ext_of[s]};
        std::vector<std::uint64_t> symbols;
        for (const Edge& e : out[s]) symbols.push_back(e.first);
        std::sort(symbols.begin(), symbols.end());
        key.insert(key.end(), symbols.begin(), symbols.end());
      }
      block[s] = ids.try_emplace(key, static_cast<std::uint32_t>(ids.size())).first->second;
    }
  }
  for (std::size_t count = 0;;) {
    std::map<std::vector<std::uint64_t>, std::uint32_t> ids;
    std::vector<std::uint32_t> next(states);
    for (std::uint32_t s = 0; s < states; ++s) {
      std::vector<Edge> edges;
      for (const Edge& e : out[s]) edges.emplace_back(e.first, block[e.second]);
      std::sort(edges.begin(), edges.end());
      std::vector<std::uint64_t> key{block[s]};
      for (const Edge& e : edges) key.insert(key.end(), {e.first, e.second});
      next[s] = ids.try_emplace(key, static_cast<std::uint32_t>(ids.size())).first->second;
    }
    block = next;
    if (ids.size() == count) break;
    count = ids.size();
  }
  // Number as the partition does: named blocks by first occurrence, then leaves.
  std::map<std::uint32_t, std::uint32_t> final_number;
  std::vector<std::uint32_t> result(states);
  for (std::uint32_t s = 0; s < named; ++s) {
    result[s] = final_number.try_emplace(block[s], static_cast<std::uint32_t>(final_number.size())).first->second;
  }
  for (std::uint32_t s = named; s < states; ++s) result[s] = static_cast<std::uint32_t>(final_number.size()) + s - named;
  return result;
}

TEST(MinimizeRandom, AgreesWithThePlainRefinement) {
  std::mt19937_64 rng(20240611);
  int deterministic_graphs = 0, splitting_graphs = 0;
  for (const Shape& shape : shapes()) {
    for (int round = 0; round < 60; ++round) {
      const TestGraph g = random_graph(rng, shape);
      const std::string what = shape.name + " #" + std::to_string(round);
      const Outcome fast = run_fast(g);
      const Outcome ref = run_reference(g);
      ASSERT_EQ(fast.part, ref.part) << what;
      ASSERT_EQ(fast.calls, ref.calls) << what;
      ASSERT_EQ(fast.steps, ref.steps) << what;
      expect_well_formed(g, fast.part, what);
      if (!fast.steps.empty() && fast.steps.back().blocks >= fast.steps.front().blocks + 3) ++splitting_graphs;
      if (deterministic(g)) {
        ++deterministic_graphs;
        ASSERT_EQ(fast.part.block_of, coarsest_stable(g)) << what;
      }
    }
  }
  // The shapes must actually exercise what they are named for.
  EXPECT_GT(deterministic_graphs, 200);
  EXPECT_GT(splitting_graphs, 50);
}

// Complete automata over a few symbols where every named state looks alike at
// first: nearly every pair splits something, often in the middle of a row.
// The last rounds are larger and send half of all fields to a few hub
// states, so that one split moves the hundreds of transitions into a hub.
TEST(MinimizeRandom, DenseSplittingAgrees) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 43; ++round) {
    const bool hubs = round >= 40;
    const std::uint32_t named = hubs ? 2500 : 20 + static_cast<std::uint32_t>(rng() % 60);
    const std::uint32_t symbols = hubs ? 3 : 1 + static_cast<std::uint32_t>(rng() % 5);
    TestGraph g = make_graph(named, 1);
    for (std::uint32_t s = 2; s < named; ++s) {
      for (std::uint32_t f = 1; f <= symbols; ++f) {
        const std::uint64_t r = rng() % 20;
        const std::uint64_t spread = hubs && rng() % 2 == 0 ? 6 : named - 2;
        const std::int32_t to = r == 0 ? kInt32 : r == 1 ? range_leaf_sentinel(0)
                                                         : static_cast<std::int32_t>(2 + rng() % spread);
        add(g, s, f, to);
      }
    }
    std::shuffle(g.graph.transitions.begin(), g.graph.transitions.end(), rng);
    expect_agree(g, "dense #" + std::to_string(round));
    if (deterministic(g)) {
      EXPECT_EQ(run_fast(g).part.block_of, coarsest_stable(g));
    }
  }
}

TEST(MinimizeRandom, LargerGraphsAgree) {
  std::mt19937_64 rng(5);
  const Shape big{"larger", 150, 300, 20, 5, 40, 0.5, 0.2, 0.03, 4, true, false};
  const Shape big_uniform{"larger uniform", 150, 250, 5, 4, 12, 0.8, 0.0, 0.0, 3, true, true};
  for (int round = 0; round < 4; ++round) {
    expect_agree(random_graph(rng, big), "larger #" + std::to_string(round));
    expect_agree(random_graph(rng, big_uniform), "larger uniform #" + std::to_string(round));
  }
}

TEST(MinimizeRandom, SameResultWithoutCallback) {
  std::mt19937_64 rng(11);
  for (const Shape& shape : shapes()) {
    for (int round = 0; round < 10; ++round) {
      const TestGraph g = random_graph(rng, shape);
      const Partition with = run_fast(g).part;
      EXPECT_EQ(minimize(g.graph, g.ranges, ProgressFn{}), with) << shape.name;
      EXPECT_EQ(minimize_reference(g.graph, g.ranges, ProgressFn{}), with) << shape.name;
    }
  }
}

TEST(MinimizeRandom, InvariantUnderTransitionOrder) {
  std::mt19937_64 rng(13);
  for (const Shape& shape : shapes()) {
    for (int round = 0; round < 10; ++round) {
      const TestGraph g = random_graph(rng, shape);
      const Outcome original = run_fast(g);
      TestGraph shuffled = g;
      std::shuffle(shuffled.graph.transitions.begin(), shuffled.graph.transitions.end(), rng);
      const Outcome again = run_fast(shuffled);
      EXPECT_EQ(again.part, original.part) << shape.name;
      EXPECT_EQ(again.calls, original.calls) << shape.name;
      EXPECT_EQ(again.steps, original.steps) << shape.name;
      // And between runs.
      EXPECT_EQ(run_fast(g).steps, original.steps) << shape.name;
    }
  }
}

}  // namespace
}  // namespace korvex
