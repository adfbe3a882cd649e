// Tests of the compiled-graph YAML dump: the exact text of a small graph
// compiled end to end, every type and label name, the optional range and
// packed lines, root ordering, and the empty sections.
#include "build_scoring_graph/serial/dump.hpp"

#include <gtest/gtest.h>

#include <climits>

#include "testing/graph_builders.hpp"

namespace korvex {
namespace {

using namespace testing_support;

NodeEntry node(std::uint32_t id, std::uint8_t type, bool is_string = false, std::uint16_t range = kNone16) {
  return NodeEntry{id, type, is_string, range, kNone16, 0, 0};
}

TEST(DumpTest, OneMessageCompiledInitially) {
  auto built = build(merged_of({{"pkg.A", message({scalar(1, kind::kInt32)})}}, {"pkg.A"}));
  ASSERT_TRUE(built);
  const std::vector<std::string> roots = {"pkg.A"};
  auto compiled = compile_initial(built->graph, built->leaves, roots);
  ASSERT_TRUE(compiled);
  EXPECT_EQ(dump_compiled(*compiled),
            "states:\n"
            "  - id: 0\n"
            "    type: message\n"
            "  - id: 1\n"
            "    type: message\n"
            "  - id: 2\n"
            "    type: message\n"
            "  - id: 3\n"
            "    type: uint64\n"
            "  - id: 4\n"
            "    type: uint32\n"
            "  - id: 5\n"
            "    type: int32\n"
            "  - id: 6\n"
            "    type: double\n"
            "  - id: 7\n"
            "    type: bytes\n"
            "  - id: 8\n"
            "    type: string\n"
            "  - id: 9\n"
            "    type: float\n"
            "transitions:\n"
            "  - from: 2\n"
            "    field: 1\n"
            "    label: optional\n"
            "    to: 5\n"
            "roots:\n"
            "  - fqdn: pkg.A\n"
            "    state: 2\n");
}

TEST(DumpTest, EmptyGraphHasThreeBareHeaders) {
  EXPECT_EQ(dump_compiled(CompiledGraph{}), "states:\ntransitions:\nroots:\n");
}

TEST(DumpTest, TypeNames) {
  struct Case {
    NodeEntry node;
    const char* type_line;
  };
  const std::vector<Case> cases = {
      {node(0, 0), "uint64"},        {node(0, 0, false, 0), "range"}, {node(0, 1), "double"},
      {node(0, 2), "bytes"},         {node(0, 2, true), "string"},   {node(0, 3), "group"},
      {node(0, 5), "float"},         {node(0, 8), "uint32"},         {node(0, 9), "int32"},
      {node(0, 10), "message"},      {node(0, 4), "unknown"},        {node(0, 6), "unknown"},
      {node(0, 7), "unknown"},       {node(0, 11), "unknown"},       {node(0, 255), "unknown"},
      {node(0, 10, true), "message"},
  };
  for (const auto& c : cases) {
    CompiledGraph g;
    g.nodes = {c.node};
    g.leaf_ranges = {{0, 1}};
    const std::string text = dump_compiled(g);
    const std::string expected = std::string("    type: ") + c.type_line + "\n";
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
}

TEST(DumpTest, RangeLeafPrintsItsRange) {
  CompiledGraph g;
  g.nodes = {node(7, 0, false, 1), node(8, 0, false, 2), node(9, 0)};
  g.leaf_ranges = {{0, 1}, {-1, 3}, {INT_MIN, INT_MAX}};
  EXPECT_EQ(dump_compiled(g),
            "states:\n"
            "  - id: 7\n"
            "    type: range\n"
            "    range: [-1, 3]\n"
            "  - id: 8\n"
            "    type: range\n"
            "    range: [-2147483648, 2147483647]\n"
            "  - id: 9\n"
            "    type: uint64\n"
            "transitions:\n"
            "roots:\n");
}

TEST(DumpTest, RangeIndexOutsideLeafRangesDoesNotCrash) {
  CompiledGraph g;
  g.nodes = {node(0, 0, false, 3)};
  g.leaf_ranges = {{0, 1}};
  EXPECT_EQ(dump_compiled(g), "states:\n  - id: 0\n    type: range\ntransitions:\nroots:\n");
}

TEST(DumpTest, TransitionLines) {
  struct Case {
    TransitionEntry t;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{2, 1, 0, 0, 0, 5}, "  - from: 2\n    field: 1\n    label: optional\n    to: 5\n"},
      {{2, 7, 1, 0, 1, 5}, "  - from: 2\n    field: 7\n    label: required\n    packed: true\n    to: 5\n"},
      {{3, 9, 2, 2, 0, 4}, "  - from: 3\n    field: 9\n    label: repeated\n    to: 4\n"},
      {{3, 9, 7, 2, 0, 4}, "  - from: 3\n    field: 9\n    label: unknown\n    to: 4\n"},
      {{3, 9, 3, 2, 2, 4}, "  - from: 3\n    field: 9\n    label: unknown\n    packed: true\n    to: 4\n"},
      {{4294967295u, 536870911, 0, 0xFF, 0, 4294967295u},
       "  - from: 4294967295\n    field: 536870911\n    label: optional\n    to: 4294967295\n"},
  };
  for (const auto& c : cases) {
    CompiledGraph g;
    g.transitions = {c.t};
    EXPECT_EQ(dump_compiled(g), std::string("states:\ntransitions:\n") + c.text + "roots:\n");
  }
}

TEST(DumpTest, RootsPrintSortedByNameStably) {
  CompiledGraph g;
  g.roots = {{"b.Root", 3}, {"a.Root", 2}, {"a", 9}, {"a.Root", 4}, {"B", 1}, {"a\xc3\xa9", 5}};
  const std::vector<RootEntry> stored = g.roots;
  EXPECT_EQ(dump_compiled(g),
            "states:\n"
            "transitions:\n"
            "roots:\n"
            "  - fqdn: B\n    state: 1\n"
            "  - fqdn: a\n    state: 9\n"
            "  - fqdn: a.Root\n    state: 2\n"
            "  - fqdn: a.Root\n    state: 4\n"
            "  - fqdn: a\xc3\xa9\n    state: 5\n"
            "  - fqdn: b.Root\n    state: 3\n");
  EXPECT_EQ(g.roots, stored);
}

TEST(DumpTest, SectionsKeepTheirOrderAndTextEndsWithLineFeed) {
  CompiledGraph g;
  g.nodes = {node(0, 10)};
  g.transitions = {{0, 1, 0, 2, 0, 0}};
  EXPECT_EQ(dump_compiled(g),
            "states:\n  - id: 0\n    type: message\n"
            "transitions:\n  - from: 0\n    field: 1\n    label: optional\n    to: 0\n"
            "roots:\n");
}

}  // namespace
}  // namespace korvex
