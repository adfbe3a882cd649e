// Tests of build: state numbering, node types, transitions and their leaf
// sentinels, range-leaf sharing, extension-range set interning, the two
// 16-bit limits, and independence from the hash-map order of the input.
#include "build_scoring_graph/graph/raw_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>

#include "testing/graph_builders.hpp"

namespace korvex {
namespace {

using namespace testing_support;

const std::string kAny = "google.protobuf.Any";
const std::string kMessageSet = "google.protobuf.MessageSet";

BuiltGraph must_build(const Merged& m) {
  auto built = build(m);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
  return built ? std::move(*built) : BuiltGraph{};
}

void expect_same(const BuiltGraph& a, const BuiltGraph& b) {
  EXPECT_EQ(a.graph.transitions, b.graph.transitions);
  EXPECT_EQ(a.graph.ext_range_sets, b.graph.ext_range_sets);
  EXPECT_EQ(state_names(a.graph), state_names(b.graph));
  EXPECT_EQ(a.graph.node_type, b.graph.node_type);
  EXPECT_EQ(a.graph.ext_of, b.graph.ext_of);
  EXPECT_EQ(a.graph.state_count, b.graph.state_count);
  EXPECT_EQ(a.graph.merged_flag, b.graph.merged_flag);
  EXPECT_EQ(a.leaves.ranges, b.leaves.ranges);
  EXPECT_EQ(a.leaves.range_to_sentinel, b.leaves.range_to_sentinel);
}

// The names both ways and the dense per-id vectors describe the same states.
void expect_consistent_ids(const RawGraph& g) {
  const std::size_t n = g.names.size();
  EXPECT_EQ(g.node_type.size(), n);
  EXPECT_EQ(g.ext_of.size(), n);
  for (std::uint32_t id = 0; id < n; ++id) EXPECT_EQ(g.names.find(g.names[id]), id) << g.names[id];
}

TEST(BuildTest, SingleInt32Message) {
  const BuiltGraph b = must_build(merged_of({{"pkg.A", message({scalar(1, kind::kInt32)})}}));
  const RawGraph& g = b.graph;
  EXPECT_EQ(state_names(g), (std::vector<std::string>{kAny, kMessageSet, "pkg.A"}));
  EXPECT_EQ(g.named_count(), 3u);
  EXPECT_EQ(g.state_count, 10u);
  EXPECT_EQ(g.transitions, (std::vector<RawTransition>{{2, 1, -7, 0, 0}}));
  EXPECT_EQ(g.node_type, (std::vector<std::uint8_t>{10, 10, 10}));
  EXPECT_EQ(g.ext_of, (std::vector<std::uint16_t>{kNone16, kNone16, kNone16}));
  EXPECT_TRUE(g.ext_range_sets.empty());
  EXPECT_TRUE(b.leaves.ranges.empty());
  EXPECT_TRUE(b.leaves.range_to_sentinel.empty());
  expect_consistent_ids(g);
}

TEST(BuildTest, EmptyInputStillHasTheWellKnownStates) {
  const BuiltGraph b = must_build(Merged{});
  EXPECT_EQ(state_names(b.graph), (std::vector<std::string>{kAny, kMessageSet}));
  EXPECT_EQ(b.graph.state_count, 9u);
  EXPECT_TRUE(b.graph.transitions.empty());
  expect_consistent_ids(b.graph);
}

struct NumberingCase {
  const char* what;
  std::vector<std::string> declared;  // insertion order
  std::vector<std::string> expected;  // by id
};

TEST(BuildTest, DeclaredNamesAreNumberedInByteOrder) {
  const std::vector<NumberingCase> cases = {
      {"declared b.B then a.A", {"b.B", "a.A"}, {kAny, kMessageSet, "a.A", "b.B"}},
      {"bytes compare unsigned, a proper prefix first",
       {"ab", "a\xff", "B", "a", "a.b"},
       {kAny, kMessageSet, "B", "a", "a.b", "ab", "a\xff"}},
      {"declared well-known types keep 0 and 1",
       {kMessageSet, "z.Z", kAny, "a.A"},
       {kAny, kMessageSet, "a.A", "z.Z"}},
      {"neighbours of the well-known names",
       {"google.protobuf.Duration", kAny, "google", "google.protobuf.AnyX"},
       {kAny, kMessageSet, "google", "google.protobuf.AnyX", "google.protobuf.Duration"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool reversed : {false, true}) {
      Entries entries;
      for (const auto& name : c.declared) entries.emplace_back(name, message({}));
      if (reversed) std::reverse(entries.begin(), entries.end());
      const BuiltGraph b = must_build(merged_of(entries));
      EXPECT_EQ(state_names(b.graph), c.expected);
      EXPECT_EQ(b.graph.state_count, c.expected.size() + 7);
      expect_consistent_ids(b.graph);
    }
  }
}

TEST(BuildTest, UndeclaredChildrenFollowInWalkOrder) {
  ScoringField odd = scalar(4, kind::kInt32);
  odd.child = "x.Odd";  // a child on a scalar field registers a state, the edge still ends in the leaf
  const BuiltGraph b = must_build(merged_of({
      {"b.B", message({child(1, "z.Missing"), child(2, "a.A"), child(3, kAny)})},
      {"a.A", message({child(1, "y.Missing"), child(3, "z.Missing"), odd})},
  }));
  const RawGraph& g = b.graph;
  EXPECT_EQ(state_names(g), (std::vector<std::string>{kAny, kMessageSet, "a.A", "b.B", "y.Missing", "z.Missing", "x.Odd"}));
  EXPECT_EQ(g.node_type, std::vector<std::uint8_t>(7, node_type::kMessage));
  EXPECT_EQ(g.state_count, 14u);
  EXPECT_EQ(g.transitions, (std::vector<RawTransition>{
                               {2, 1, 4, 0, 0},
                               {2, 3, 5, 0, 0},
                               {2, 4, -7, 0, 0},
                               {3, 1, 5, 0, 0},
                               {3, 2, 2, 0, 0},
                               {3, 3, 0, 0, 0},
                           }));
  expect_consistent_ids(g);
}

TEST(BuildTest, NodeTypesComeFromTheDeclaredKind) {
  ScoringField group_field = child(1, "g.Undeclared");
  const BuiltGraph b = must_build(merged_of({
      {kAny, group({})},
      {"a.Msg", message({group_field, child(2, "b.Grp")})},
      {"b.Grp", group({scalar(1, kind::kString)})},
  }));
  const RawGraph& g = b.graph;
  ASSERT_EQ(state_names(g), (std::vector<std::string>{kAny, kMessageSet, "a.Msg", "b.Grp", "g.Undeclared"}));
  EXPECT_EQ(g.node_type, (std::vector<std::uint8_t>{3, 10, 10, 3, 10}));
}

TEST(BuildTest, EveryKindEndsInItsLeaf) {
  struct Case {
    std::uint8_t kind;
    std::int32_t sentinel;
  };
  const std::vector<Case> cases = {
      {kind::kInt32, -7}, {kind::kUint32, -6}, {kind::kInt64, -5}, {kind::kDouble, -4}, {kind::kString, -2},
      {kind::kBytes, -3}, {kind::kFloat, -1},  {9, -7},            {200, -7},
  };
  std::vector<ScoringField> fields;
  for (std::uint32_t i = 0; i < cases.size(); ++i) fields.push_back(scalar(i + 1, cases[i].kind));
  const BuiltGraph b = must_build(merged_of({{"m.M", message(fields)}}));
  ASSERT_EQ(b.graph.transitions.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(static_cast<int>(cases[i].kind));
    EXPECT_EQ(b.graph.transitions[i].to, cases[i].sentinel);
    EXPECT_EQ(b.graph.transitions[i].field, i + 1);
  }
  EXPECT_EQ(b.graph.state_count, 3u + 7u);
}

TEST(BuildTest, LabelAndPackedAreCopied) {
  const BuiltGraph b = must_build(merged_of({{"m.M", message({
                                                           scalar(1, kind::kInt32, label::kRequired),
                                                           scalar(2, kind::kFloat, label::kRepeated, true),
                                                           ranged(3, 0, 1, label::kRepeated, true),
                                                           child(4, "m.M", label::kRepeated),
                                                       })}}));
  EXPECT_EQ(b.graph.transitions, (std::vector<RawTransition>{
                                     {2, 1, -7, 1, 0},
                                     {2, 2, -1, 2, 1},
                                     {2, 3, -9, 2, 1},
                                     {2, 4, 2, 2, 0},
                                 }));
}

TEST(BuildTest, TransitionsFollowSortedMessagesAndStoredFieldOrder) {
  // Fields are walked as stored, not re-sorted here.
  const BuiltGraph b = must_build(merged_of({
      {"c.C", message({scalar(2, kind::kInt32), scalar(1, kind::kBytes)})},
      {"a.A", message({scalar(7, kind::kDouble)})},
      {"b.B", message({})},
  }));
  EXPECT_EQ(b.graph.transitions, (std::vector<RawTransition>{
                                     {2, 7, -4, 0, 0},
                                     {4, 2, -7, 0, 0},
                                     {4, 1, -3, 0, 0},
                                 }));
}

TEST(BuildTest, EqualValueRangesShareOneLeaf) {
  const BuiltGraph b = must_build(merged_of({
      {"c.C", message({ranged(1, 0, 1)})},  // bool, used last in walk order
      {"b.B", message({ranged(2, 0, 5)})},
      {"a.A", message({ranged(1, 0, 5)})},
  }));
  const RawGraph& g = b.graph;
  EXPECT_EQ(g.transitions, (std::vector<RawTransition>{
                               {2, 1, -9, 0, 0},
                               {3, 2, -9, 0, 0},
                               {4, 1, -10, 0, 0},
                           }));
  EXPECT_EQ(b.leaves.ranges, (std::vector<ValueRange>{{0, 5}, {0, 1}}));
  ASSERT_EQ(b.leaves.range_to_sentinel.size(), 2u);
  EXPECT_EQ(g.state_count, 5u + 7u + 2u);
}

TEST(BuildTest, RangeLeavesTellSignedBoundsApart) {
  // Keys that sign-extend or swap halves would merge some of these.
  const std::vector<ValueRange> ranges = {{-1, 0}, {0, -1}, {-1, -1}, {INT_MIN, INT_MAX}, {INT_MAX, INT_MIN}, {0, 0}};
  std::vector<ScoringField> fields;
  for (std::uint32_t i = 0; i < ranges.size(); ++i) fields.push_back(ranged(i + 1, ranges[i].first, ranges[i].second));
  fields.push_back(ranged(100, -1, -1));
  const BuiltGraph b = must_build(merged_of({{"m.M", message(fields)}}));
  EXPECT_EQ(b.leaves.ranges, ranges);
  for (std::size_t i = 0; i < ranges.size(); ++i) EXPECT_EQ(b.graph.transitions[i].to, -9 - static_cast<int>(i));
  EXPECT_EQ(b.graph.transitions.back().to, -11);
}

TEST(BuildTest, ExtensionRangeSetsAreInternedSorted) {
  const BuiltGraph b = must_build(merged_of({
      {"c.M3", message({}, {{50, 60}, {100, 199}})},
      {"a.M1", message({}, {{100, 199}})},
      {"b.M2", message({}, {{100, 199}})},
      {"d.M4", message({})},
  }));
  const RawGraph& g = b.graph;
  ASSERT_EQ(state_names(g), (std::vector<std::string>{kAny, kMessageSet, "a.M1", "b.M2", "c.M3", "d.M4"}));
  EXPECT_EQ(g.ext_range_sets, (std::vector<std::vector<ExtRange>>{{{50, 60}, {100, 199}}, {{100, 199}}}));
  EXPECT_EQ(g.ext_of, (std::vector<std::uint16_t>{kNone16, kNone16, 1, 1, 0, kNone16}));
}

TEST(BuildTest, ExtensionRangeSetsCompareAsUnsignedPairsPrefixFirst) {
  const std::vector<std::vector<ExtRange>> expected = {
      {{0, 0xFFFFFFFFu}},
      {{1, 2}},
      {{1, 2}, {3, 4}},
      {{1, 3}},
      {{0x80000000u, 1}},
  };
  // Declare them in a scrambled order under names that sort differently again.
  const BuiltGraph b = must_build(merged_of({
      {"e", message({}, expected[2])},
      {"a", message({}, expected[4])},
      {"d", message({}, expected[0])},
      {"b", message({}, expected[3])},
      {"c", message({}, expected[1])},
      {kAny, message({}, expected[3])},
  }));
  const RawGraph& g = b.graph;
  EXPECT_EQ(g.ext_range_sets, expected);
  EXPECT_EQ(g.ext_of, (std::vector<std::uint16_t>{3, kNone16, 4, 3, 1, 0, 2}));
  for (std::uint32_t id = 0; id < g.names.size(); ++id) {
    if (g.ext_of[id] == kNone16) continue;
    ASSERT_LT(g.ext_of[id], g.ext_range_sets.size());
  }
}

TEST(BuildTest, MergedFlagIsCopied) {
  for (bool flag : {false, true}) {
    const BuiltGraph b = must_build(merged_of({{"a.A", message({})}}, {}, flag));
    EXPECT_EQ(b.graph.merged_flag, flag);
  }
}

Entries with_distinct_ext_sets(std::size_t count) {
  Entries m;
  m.reserve(count + 2);
  for (std::uint32_t i = 0; i < count; ++i) m.emplace_back(std::string("m").append(std::to_string(i)), message({}, {{i, i}}));
  return m;
}

TEST(BuildLimitTest, ExtensionRangeSets) {
  Entries m = with_distinct_ext_sets(65534);
  m.emplace_back("dup", message({}, {{7, 7}}));  // a repeated set does not count
  auto ok = build(merged_of(m));
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_EQ(ok->graph.ext_range_sets.size(), 65534u);
  EXPECT_EQ(ok->graph.ext_of[ok->graph.names.find("dup")], 7u);
  EXPECT_EQ(ok->graph.ext_of[ok->graph.names.find("m65533")], 65533u);

  m.emplace_back("one.more", message({}, {{1u << 20, 1u << 20}}));
  auto too_many = build(merged_of(m));
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().message, "65535 distinct extension-range sets exceeds what a u16 index can address");
}

Merged with_distinct_value_ranges(std::size_t count) {
  std::vector<ScoringField> fields;
  fields.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) fields.push_back(ranged(i + 1, 0, static_cast<std::int32_t>(i)));
  return merged_of({{"m.M", message(std::move(fields))}});
}

TEST(BuildLimitTest, ValueRanges) {
  auto ok = build(with_distinct_value_ranges(65535));
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_EQ(ok->leaves.ranges.size(), 65535u);
  EXPECT_EQ(ok->graph.transitions.back().to, -9 - 65534);
  EXPECT_EQ(ok->graph.state_count, 3u + 7u + 65535u);

  auto too_many = build(with_distinct_value_ranges(65536));
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().message,
            "65536 distinct bool/enum value ranges exceeds what a u16 range index can address (at most 65535)");
}

TEST(BuildTest, BrokenFieldsAreErrorsNotCrashes) {
  ScoringField no_child = scalar(3, kind::kMessage);
  ScoringField no_range = scalar(4, kind::kRanged);
  auto a = build(merged_of({{"a.A", message({no_child})}}));
  ASSERT_FALSE(a);
  EXPECT_EQ(a.error().message, "a.A field 3: message field has no child type");
  auto b = build(merged_of({{"b.B", message({no_range})}}));
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message, "b.B field 4: bool/enum field has no value range");
}

// ---- Properties over generated inputs -------------------------------------

Entries random_entries(std::mt19937& rng, std::size_t count) {
  const std::vector<ValueRange> range_pool = {{0, 1}, {0, 5}, {-1, 3}, {INT_MIN, INT_MAX}, {2, 2}, {-7, -7}};
  const std::vector<std::vector<ExtRange>> ext_pool = {
      {{100, 199}}, {{100, 199}, {300, 400}}, {{1, 1}}, {{0x80000000u, 0xFFFFFFFFu}}, {{50, 60}, {100, 199}}};
  std::vector<std::string> declared;
  std::set<std::string> seen;
  while (declared.size() < count) {
    std::string name;
    switch (rng() % 8) {
      case 0: name = kAny; break;
      case 1: name = kMessageSet; break;
      case 2: name = "p\xc3\xa9." + std::to_string(rng() % 500); break;
      default: name = "p" + std::to_string(rng() % 5) + ".M" + std::to_string(rng() % 1000); break;
    }
    if (seen.insert(name).second) declared.push_back(name);
  }
  Entries entries;
  for (const auto& name : declared) {
    std::vector<ScoringField> fields;
    std::uint32_t number = 0;
    const std::size_t field_count = rng() % 7;
    for (std::size_t i = 0; i < field_count; ++i) {
      number += 1 + rng() % 3;
      const auto k = static_cast<std::uint8_t>(rng() % 10);
      ScoringField f = scalar(number, k, static_cast<std::uint8_t>(rng() % 3), rng() % 2 == 0);
      if (k == kind::kMessage || rng() % 10 == 0) {
        f.child = rng() % 2 ? declared[rng() % declared.size()] : "u.X" + std::to_string(rng() % 30);
      }
      if (k == kind::kRanged) f.range = range_pool[rng() % range_pool.size()];
      fields.push_back(std::move(f));
    }
    std::vector<ExtRange> ext;
    if (rng() % 3 == 0) ext = ext_pool[rng() % ext_pool.size()];
    entries.emplace_back(name, message(std::move(fields), std::move(ext), rng() % 4 ? NodeKind::message : NodeKind::group));
  }
  return entries;
}

// A deliberately plain re-statement of the numbering and walk rules, on
// ordered containers, to compare build against.
void expect_matches_reference(const Merged& m, const BuiltGraph& b) {
  std::map<std::string, NormalizedMessage> sorted;
  for (const MergedMessage& message : m.messages) sorted.emplace(m.names[message.name], m.normalized(message));
  std::vector<std::string> names = {kAny, kMessageSet};
  for (const auto& [name, msg] : sorted) {
    if (name != kAny && name != kMessageSet) names.push_back(name);
  }
  auto id_of = [&](const std::string& name) -> std::int32_t {
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) {
      names.push_back(name);
      return static_cast<std::int32_t>(names.size() - 1);
    }
    return static_cast<std::int32_t>(it - names.begin());
  };
  const std::int32_t fixed[] = {-7, -6, -5, 0, -4, -2, -3, 0, -1, -7};  // by kind code
  std::vector<ValueRange> ranges;
  std::vector<RawTransition> transitions;
  for (const auto& [name, msg] : sorted) {
    const auto from = static_cast<std::uint32_t>(id_of(name));
    for (const auto& f : msg.fields) {
      std::int32_t to = f.kind < 10 ? fixed[f.kind] : -7;
      if (f.child) {
        const std::int32_t c = id_of(*f.child);
        if (f.kind == kind::kMessage) to = c;
      }
      if (f.kind == kind::kRanged) {
        auto it = std::find(ranges.begin(), ranges.end(), *f.range);
        if (it == ranges.end()) it = ranges.insert(ranges.end(), *f.range);
        to = -9 - static_cast<std::int32_t>(it - ranges.begin());
      }
      transitions.push_back({from, f.number, to, f.label, static_cast<std::uint8_t>(f.packed)});
    }
  }
  std::set<std::vector<ExtRange>> sets;
  for (const auto& [name, msg] : sorted) {
    if (!msg.ext_ranges.empty()) sets.insert(msg.ext_ranges);
  }
  const std::vector<std::vector<ExtRange>> set_list(sets.begin(), sets.end());

  const RawGraph& g = b.graph;
  EXPECT_EQ(state_names(g), names);
  EXPECT_EQ(g.transitions, transitions);
  EXPECT_EQ(b.leaves.ranges, ranges);
  EXPECT_EQ(g.ext_range_sets, set_list);
  EXPECT_EQ(g.state_count, names.size() + 7 + ranges.size());
  expect_consistent_ids(g);
  for (std::uint32_t id = 0; id < names.size(); ++id) {
    auto it = sorted.find(names[id]);
    const bool is_group = it != sorted.end() && it->second.kind == NodeKind::group;
    EXPECT_EQ(g.node_type[id], is_group ? 3 : 10) << names[id];
    if (it == sorted.end() || it->second.ext_ranges.empty()) {
      EXPECT_EQ(g.ext_of[id], kNone16) << names[id];
    } else {
      ASSERT_LT(g.ext_of[id], set_list.size());
      EXPECT_EQ(set_list[g.ext_of[id]], it->second.ext_ranges) << names[id];
    }
  }
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    const auto key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(ranges[k].first)) << 32) |
                     static_cast<std::uint32_t>(ranges[k].second);
    EXPECT_EQ(b.leaves.range_to_sentinel.at(key), -9 - static_cast<std::int32_t>(k));
  }
  EXPECT_EQ(b.leaves.range_to_sentinel.size(), ranges.size());
}

TEST(BuildPropertyTest, ResultIgnoresInsertionOrderAndMatchesTheRules) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    Entries entries = random_entries(rng, 1 + rng() % 40);
    const Merged forward = merged_of(entries);
    std::reverse(entries.begin(), entries.end());
    const Merged backward = merged_of(entries);
    std::shuffle(entries.begin(), entries.end(), rng);
    const Merged shuffled = merged_of(entries);

    const BuiltGraph a = must_build(forward);
    expect_matches_reference(forward, a);
    expect_same(a, must_build(backward));
    expect_same(a, must_build(shuffled));
    expect_same(a, must_build(forward));
  }
}

}  // namespace
}  // namespace korvex
