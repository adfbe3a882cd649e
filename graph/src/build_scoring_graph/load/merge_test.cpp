// merge_from_strings: first definition wins, conflict warnings on standard
// error, roots once each in order of first appearance, the flag, errors that
// end the merge, and the real corpora.
#include "build_scoring_graph/load/merge.hpp"
#include "testing/files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#ifndef KORVEX_TESTDATA
#define KORVEX_TESTDATA "testdata"
#endif

namespace korvex {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  Result<Merged> merged;
  std::string warnings;  // everything written to standard error
};

Outcome merge(const std::vector<std::string>& documents) {
  ::testing::internal::CaptureStderr();
  auto merged = merge_from_strings(documents);
  std::string warnings = ::testing::internal::GetCapturedStderr();
  return Outcome{std::move(merged), std::move(warnings)};
}

std::string conflict(const std::string& name, int index) {
  return "warning: conflicting definitions for '" + name + "' in scoring_graph[" + std::to_string(index) +
         "]; using first\n";
}

// A document with the given entries and message definitions (YAML text of
// the "messages" mapping body, one "name: {...}" per element).
std::string doc(const std::string& entries, const std::vector<std::string>& messages, const char* flag = "true") {
  std::string text = std::string("extension_ranges: ") + flag + "\nentries: " + entries + "\nmessages:\n";
  if (messages.empty()) text += "  {}\n";
  for (const auto& m : messages) text += "  " + m + "\n";
  return text;
}

// The definition of `name` with its texts, or an empty message when there
// is none.
NormalizedMessage message(const Merged& merged, const std::string& name) {
  const MergedMessage* m = merged.find(name);
  EXPECT_NE(m, nullptr) << name;
  return m == nullptr ? NormalizedMessage{} : merged.normalized(*m);
}

enum class Roots { same_order, any_order, ignored };

// Same definitions by name (names are ids of each merge's own table, so they
// are compared as texts), same flag, and the roots as asked.
void expect_same(const Merged& a, const Merged& b, Roots roots) {
  ASSERT_EQ(a.messages.size(), b.messages.size());
  for (const MergedMessage& m : a.messages) {
    const std::string name(a.names[m.name]);
    const MergedMessage* other = b.find(name);
    ASSERT_NE(other, nullptr) << name;
    const NormalizedMessage x = a.normalized(m), y = b.normalized(*other);
    EXPECT_EQ(x.kind, y.kind) << name;
    EXPECT_EQ(x.fields, y.fields) << name;
    EXPECT_EQ(x.ext_ranges, y.ext_ranges) << name;
  }
  EXPECT_EQ(a.merged_flag, b.merged_flag);
  auto ra = a.root_names(), rb = b.root_names();
  if (roots == Roots::any_order) {
    std::sort(ra.begin(), ra.end());
    std::sort(rb.begin(), rb.end());
  }
  if (roots != Roots::ignored) EXPECT_EQ(ra, rb);
}

// ------------------------------------------------------------------- rules

TEST(Merge, EmptyInput) {
  auto out = merge({});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_TRUE(out.merged->messages.empty());
  EXPECT_TRUE(out.merged->roots.empty());
  EXPECT_FALSE(out.merged->merged_flag);
  EXPECT_EQ(out.warnings, "");
}

TEST(Merge, RootsOnceInOrderOfFirstAppearance) {
  auto out = merge({doc("[A]", {}), doc("[A, B]", {}), doc("[C, B, C, A, D]", {})});
  ASSERT_TRUE(out.merged.has_value()) << out.merged.error().message;
  EXPECT_EQ(out.merged->root_names(), (std::vector<std::string>{"A", "B", "C", "D"}));
  auto within = merge({doc("[A, A]", {})});
  EXPECT_EQ(within.merged->root_names(), (std::vector<std::string>{"A"}));
  // Names are compared as bytes: no trimming, no case folding.
  auto bytes = merge({doc("[a, A, 'A ', A]", {})});
  EXPECT_EQ(bytes.merged->root_names(), (std::vector<std::string>{"a", "A", "A "}));
}

TEST(Merge, RootWithoutMessageStays) {
  auto out = merge({doc("[pkg.Missing]", {"pkg.Other: {fields: []}"})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.merged->root_names(), (std::vector<std::string>{"pkg.Missing"}));
  EXPECT_EQ(out.merged->find("pkg.Missing"), nullptr);
  EXPECT_NE(out.merged->find("pkg.Other"), nullptr);
}

TEST(Merge, SameFieldsInAnotherOrderIsNoConflict) {
  auto out = merge({doc("[M]", {"M: {fields: [{number: 1, type: int32}, {number: 2, type: string, label: repeated}]}"}),
                    doc("[M]", {"M: {fields: [{number: 2, type: string, label: repeated}, {number: 1, type: int32}]}"})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.warnings, "");
  EXPECT_EQ(message(*out.merged, "M").fields.size(), 2u);
}

TEST(Merge, IdenticalDefinitionsGiveNoLine) {
  const std::string m = "M: {fields: [{number: 1, type: enum, range: [0, 3]}], ext_ranges: [[10, 20]]}";
  auto out = merge({doc("[]", {m}), doc("[]", {m}), doc("[]", {m})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.warnings, "");
}

TEST(Merge, EveryKindOfDifferenceWarnsAndKeepsTheFirst) {
  const std::string first = "M: {fields: [{number: 1, type: message, child: pkg.C, label: optional}, "
                            "{number: 2, type: enum, range: [0, 3], packed: false}]}";
  const std::vector<std::string> others = {
      // one more field
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: enum, range: [0, 3]}, "
      "{number: 3, type: int32}]}",
      // a different label
      "M: {fields: [{number: 1, type: message, child: pkg.C, label: repeated}, {number: 2, type: enum, range: [0, 3]}]}",
      // a different child
      "M: {fields: [{number: 1, type: message, child: pkg.D}, {number: 2, type: enum, range: [0, 3]}]}",
      // a different range
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: enum, range: [0, 4]}]}",
      // a different packed flag
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: enum, range: [0, 3], packed: true}]}",
      // different extension ranges
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: enum, range: [0, 3]}], "
      "ext_ranges: [[100, 200]]}",
      // a different kind code
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: sint64, range: [0, 3]}]}",
      // a different number
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 5, type: enum, range: [0, 3]}]}",
      // a child given where the first had none
      "M: {fields: [{number: 1, type: message, child: pkg.C}, {number: 2, type: enum, range: [0, 3], child: X}]}",
  };
  auto reference = merge({doc("[]", {first})});
  ASSERT_TRUE(reference.merged.has_value());
  for (const auto& other : others) {
    auto out = merge({doc("[]", {first}), doc("[]", {other})});
    ASSERT_TRUE(out.merged.has_value()) << other << ": " << out.merged.error().message;
    EXPECT_EQ(out.warnings, conflict("M", 1)) << other;
    expect_same(*out.merged, *reference.merged, Roots::same_order);
  }
}

TEST(Merge, ExtensionRangesAddedLaterAreDropped) {
  auto out = merge({doc("[]", {"M: {fields: [{number: 1, type: int32}]}"}),
                    doc("[]", {"M: {fields: [{number: 1, type: int32}], ext_ranges: [[100, 199]]}"})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.warnings, conflict("M", 1));
  EXPECT_TRUE(message(*out.merged, "M").ext_ranges.empty());
}

TEST(Merge, KindIsNotComparedAndTheFirstStays) {
  auto out = merge({doc("[]", {"M: {kind: GROUP, fields: []}"}), doc("[]", {"M: {kind: '', fields: []}"})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.warnings, "");
  EXPECT_EQ(message(*out.merged, "M").kind, NodeKind::group);
  auto reverse = merge({doc("[]", {"M: {fields: []}"}), doc("[]", {"M: {kind: GROUP, fields: []}"})});
  EXPECT_EQ(message(*reverse.merged, "M").kind, NodeKind::message);
}

TEST(Merge, ThreeDifferentDefinitionsWarnOncePerLaterDocument) {
  auto out = merge({doc("[]", {"M: {fields: [{number: 1, type: int32}]}"}),
                    doc("[]", {"M: {fields: [{number: 1, type: int64}]}"}),
                    doc("[]", {"M: {fields: [{number: 1, type: int32}]}"}),
                    doc("[]", {"M: {fields: [{number: 1, type: float}]}"})});
  ASSERT_TRUE(out.merged.has_value());
  EXPECT_EQ(out.warnings, conflict("M", 1) + conflict("M", 3));
  EXPECT_EQ(message(*out.merged, "M").fields.at(0).kind, kind::kInt32);
}

// A document that arrives normalised merges exactly like its YAML text and
// takes its place in the document numbering.
TEST(Merge, NormalizedDocumentsCountLikeYamlOnes) {
  NormalizedMessage m;
  m.fields.push_back(ScoringField{1, label::kOptional, kind::kInt64, false, std::nullopt, std::nullopt});
  Merger merger;
  ASSERT_TRUE(merger.add_yaml(doc("[A]", {"M: {fields: [{number: 1, type: int32}]}"}, "true")).has_value());
  ::testing::internal::CaptureStderr();
  merger.add_normalized(NormalizedDocument{true, {"B", "A"}, {{"M", m}, {"N", m}}});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), conflict("M", 1));
  auto bad = merger.add_yaml("entries: [\n");
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().message.starts_with("scoring_graph[2]: ")) << bad.error().message;

  Merger again;
  again.add_normalized(NormalizedDocument{true, {"B", "A"}, {{"N", m}}});
  EXPECT_EQ(again.document_count(), 1u);
  Merged merged = std::move(again).finish();
  EXPECT_EQ(merged.root_names(), (std::vector<std::string>{"B", "A"}));
  EXPECT_TRUE(merged.merged_flag);
  EXPECT_EQ(message(merged, "N").fields, m.fields);
}

TEST(Merge, Flag) {
  auto flag = [](std::vector<std::string> docs) { return merge(docs).merged->merged_flag; };
  EXPECT_FALSE(flag({doc("[]", {}, "true"), doc("[]", {}, "true"), doc("[]", {}, "false")}));
  EXPECT_TRUE(flag({doc("[]", {}, "true"), doc("[]", {}, "true"), doc("[]", {}, "true")}));
  EXPECT_FALSE(flag({"entries: []\nmessages: {}\n"}));
  EXPECT_TRUE(flag({doc("[]", {}, "true")}));
  EXPECT_FALSE(flag({doc("[]", {}, "false"), doc("[]", {}, "true")}));
}

TEST(Merge, ReadingErrorCarriesTheDocumentIndex) {
  auto out = merge({doc("[A]", {}), "entries: [\nmessages: {}\n"});
  ASSERT_FALSE(out.merged.has_value());
  EXPECT_TRUE(out.merged.error().message.starts_with("scoring_graph[1]: line ")) << out.merged.error().message;
  auto first = merge({"", doc("[]", {})});
  EXPECT_EQ(first.merged.error().message,
            "scoring_graph[0]: line 1, column 1: expected a YAML document, found the end of the input");
  auto typed = merge({doc("[]", {}), doc("[]", {}), doc("[]", {"M: {fields: [{number: -3, type: int32}]}"})});
  EXPECT_TRUE(typed.merged.error().message.starts_with("scoring_graph[2]: line 4, column ")) << typed.merged.error().message;
}

TEST(Merge, NormalisationErrorHasNoDocumentPrefix) {
  auto out = merge({doc("[]", {}), doc("[]", {"pkg.M: {fields: [{number: 1, type: fixed64}]}"})});
  ASSERT_FALSE(out.merged.has_value());
  EXPECT_EQ(out.merged.error().message, "pkg.M: unknown kind 'fixed64'");
  // A redefinition is normalised too, although it is dropped afterwards.
  auto later = merge({doc("[]", {"pkg.M: {fields: []}"}), doc("[]", {"pkg.M: {fields: [{number: 2, type: enum}]}"})});
  ASSERT_FALSE(later.merged.has_value());
  EXPECT_EQ(later.merged.error().message, "pkg.M field 2: bool/enum kind requires range");
  auto ranges = merge({doc("[]", {"pkg.M: {fields: [], ext_ranges: [[3, 2]]}"})});
  EXPECT_EQ(ranges.merged.error().message, "pkg.M: ext_ranges [3, 2] is empty");
}

TEST(Merge, WarningsBeforeAnErrorStayWritten) {
  auto out = merge({doc("[]", {"M: {fields: []}"}), doc("[]", {"M: {fields: [{number: 1, type: int32}]}"}),
                    "entries: [}\n"});
  ASSERT_FALSE(out.merged.has_value());
  EXPECT_TRUE(out.merged.error().message.starts_with("scoring_graph[2]: ")) << out.merged.error().message;
  EXPECT_EQ(out.warnings, conflict("M", 1));
}

TEST(Merge, AnEarlierErrorHidesLaterDocuments) {
  auto out = merge({doc("[]", {"M: {fields: []}"}), "not: [valid", doc("[]", {"M: {fields: [{number: 1, type: int32}]}"}),
                    ""});
  ASSERT_FALSE(out.merged.has_value());
  EXPECT_TRUE(out.merged.error().message.starts_with("scoring_graph[1]: ")) << out.merged.error().message;
  EXPECT_EQ(out.warnings, "");
}

TEST(Merge, ANameTwiceInOneDocumentKeepsTheLaterEntry) {
  auto out = merge({doc("[]", {"M: {fields: [{number: 1, type: nokind}]}", "M: {fields: [{number: 2, type: int32}]}"})});
  ASSERT_TRUE(out.merged.has_value()) << out.merged.error().message;
  EXPECT_EQ(out.warnings, "");
  EXPECT_EQ(message(*out.merged, "M").fields.at(0).number, 2u);
}

TEST(Merge, FieldListIsSortedAndExtensionRangesKept) {
  auto out = merge({doc("[M]", {"M: {fields: [{number: 9, type: bytes}, {number: 2, type: float, packed: true}], "
                                "ext_ranges: [[4, 8], [1000, 536870911]]}"})});
  ASSERT_TRUE(out.merged.has_value());
  const NormalizedMessage m = message(*out.merged, "M");
  ASSERT_EQ(m.fields.size(), 2u);
  EXPECT_EQ(m.fields[0], (ScoringField{2, label::kOptional, kind::kFloat, true, std::nullopt, std::nullopt}));
  EXPECT_EQ(m.fields[1], (ScoringField{9, label::kOptional, kind::kBytes, false, std::nullopt, std::nullopt}));
  EXPECT_EQ(m.ext_ranges, (std::vector<ExtRange>{{4, 8}, {1000, 536870911}}));
}

TEST(Merge, TwoHundredThousandMessages) {
  std::vector<std::string> docs;
  std::string big = "extension_ranges: true\nentries: [m0]\nmessages:\n";
  for (int d = 0; d < 200; ++d) {
    std::string text = "extension_ranges: true\nentries: [m" + std::to_string(d * 1000) + "]\nmessages:\n";
    for (int i = d * 1000; i < (d + 1) * 1000; ++i) {
      std::string line = "  m" + std::to_string(i) + ":\n    fields:\n      - {number: 1, type: message, child: m" +
                         std::to_string((i * 7) % 200000) + ", label: repeated}\n      - {number: 2, type: enum, range: [0, " +
                         std::to_string(i % 13) + "]}\n";
      text += line;
      big += line;
    }
    docs.push_back(std::move(text));
  }
  auto many = merge(docs);
  ASSERT_TRUE(many.merged.has_value()) << many.merged.error().message;
  EXPECT_EQ(many.merged->messages.size(), 200000u);
  EXPECT_EQ(many.merged->roots.size(), 200u);
  auto one = merge({big});
  ASSERT_TRUE(one.merged.has_value()) << one.merged.error().message;
  EXPECT_EQ(one.merged->messages.size(), 200000u);
  EXPECT_EQ(one.merged->root_names(), (std::vector<std::string>{"m0"}));
  expect_same(*many.merged, *one.merged, Roots::ignored);  // the messages are what must agree
}

// ----------------------------------------------------------------- corpora

struct Corpus {
  const char* name;
  std::size_t documents;
  std::size_t messages;
};

class Corpora : public ::testing::TestWithParam<Corpus> {};

TEST_P(Corpora, MergeWithoutErrorInAnyOrder) {
  const Corpus& c = GetParam();
  std::vector<std::string> docs = read_yaml_folder(fs::path(KORVEX_TESTDATA) / "corpora" / c.name);
  ASSERT_EQ(docs.size(), c.documents);
  auto out = merge(docs);
  ASSERT_TRUE(out.merged.has_value()) << out.merged.error().message;
  EXPECT_EQ(out.warnings, "");
  EXPECT_EQ(out.merged->messages.size(), c.messages);
  EXPECT_TRUE(out.merged->merged_flag);
  EXPECT_FALSE(out.merged->roots.empty());

  // Every message is defined once, so no order changes which definition
  // comes first: the result is the same, up to the order of the roots.
  std::vector<std::string> reversed(docs.rbegin(), docs.rend());
  std::vector<std::string> rotated = docs;
  std::rotate(rotated.begin(), rotated.begin() + static_cast<std::ptrdiff_t>(docs.size() / 3), rotated.end());
  for (const auto* order : {&reversed, &rotated}) {
    auto again = merge(*order);
    ASSERT_TRUE(again.merged.has_value()) << again.merged.error().message;
    EXPECT_EQ(again.warnings, "");
    expect_same(*out.merged, *again.merged, Roots::any_order);
  }
  // The same order twice gives the same roots in the same order.
  auto twice = merge(docs);
  expect_same(*out.merged, *twice.merged, Roots::same_order);
}

INSTANTIATE_TEST_SUITE_P(Real, Corpora,
                         ::testing::Values(Corpus{"wkt", 11, 54}, Corpus{"opentelemetry", 11, 61},
                                           Corpus{"grpc-proto", 32, 262}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST(Corpora, WellKnownTypesContent) {
  auto out = merge(read_yaml_folder(fs::path(KORVEX_TESTDATA) / "corpora" / "wkt"));
  ASSERT_TRUE(out.merged.has_value());
  const NormalizedMessage any = message(*out.merged, "google.protobuf.Any");
  ASSERT_EQ(any.fields.size(), 2u);
  EXPECT_EQ(any.fields[0], (ScoringField{1, label::kOptional, kind::kString, false, std::nullopt, std::nullopt}));
  EXPECT_EQ(any.fields[1], (ScoringField{2, label::kOptional, kind::kBytes, false, std::nullopt, std::nullopt}));
  const NormalizedMessage options = message(*out.merged, "google.protobuf.FileOptions");
  EXPECT_EQ(options.ext_ranges, (std::vector<ExtRange>{{1000, 536870911}}));
  std::size_t with_ranges = 0;
  for (const MergedMessage& m : out.merged->messages) with_ranges += !out.merged->ext_ranges_of(m).empty();
  EXPECT_EQ(with_ranges, 9u);
}

TEST(Corpora, SyntheticTwentyThousand) {
  // Unpacked with tar when it is there; 31 identical redefinitions, no conflict.
  fs::path archive = fs::path(KORVEX_TESTDATA) / "corpora" / "synth-20k.tar.gz";
  fs::path dir = fs::temp_directory_path() / ("korvex-load-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string command = "tar -xzf '" + archive.string() + "' -C '" + dir.string() + "' 2>/dev/null";
  if (!fs::exists(archive) || std::system(command.c_str()) != 0) {
    fs::remove_all(dir);
    GTEST_SKIP() << "cannot unpack " << archive;
  }
  std::vector<std::string> docs = read_yaml_folder(dir / "synth-20k");
  fs::remove_all(dir);
  ASSERT_EQ(docs.size(), 200u);
  auto out = merge(docs);
  ASSERT_TRUE(out.merged.has_value()) << out.merged.error().message;
  EXPECT_EQ(out.warnings, "");
  EXPECT_EQ(out.merged->messages.size(), 20000u);
  std::size_t groups = 0, with_ranges = 0;
  for (const MergedMessage& m : out.merged->messages) {
    groups += m.kind == NodeKind::group;
    with_ranges += !out.merged->ext_ranges_of(m).empty();
  }
  EXPECT_EQ(groups, 112u);
  EXPECT_EQ(with_ranges, 190u);
}

}  // namespace
}  // namespace korvex
