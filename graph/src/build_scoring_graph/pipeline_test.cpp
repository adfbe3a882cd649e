// The bake end to end, without Python: real schemas in, and the archive,
// both dumps and the warnings must equal what an independent implementation
// produced for the same input.
#include "build_scoring_graph/pipeline.hpp"
#include "testing/files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvex {
namespace {

const std::filesystem::path kTestdata = KORVEX_TESTDATA;

struct Case {
  const char* name;
  std::filesystem::path input;
  const char* stderr_text;
};

class ExpectedOutputs : public testing::TestWithParam<Case> {};

TEST_P(ExpectedOutputs, ArchiveDumpsAndWarningsMatch) {
  const Case& c = GetParam();
  auto expected = kTestdata / "expected" / c.name;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  BakeRequest request{true, true, [&](std::uint64_t d, std::uint64_t t) { calls.emplace_back(d, t); }};
  testing::internal::CaptureStderr();
  auto out = bake_scoring_graph(read_yaml_folder(c.input), request);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(out.has_value()) << out.error().message;
  EXPECT_EQ(err, c.stderr_text);
  std::string archive = read_file(expected / "graph.rkyv");
  EXPECT_EQ(out->archive, std::vector<std::uint8_t>(archive.begin(), archive.end()));
  EXPECT_EQ(out->yaml, read_file(expected / "minimised.yaml"));
  EXPECT_EQ(out->initial_yaml, read_file(expected / "initial.yaml"));
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.front().first, 0u);
  EXPECT_EQ(calls.back().first, calls.back().second);

  // Without a listener and without dumps the archive is the same.
  auto plain = bake_scoring_graph(read_yaml_folder(c.input), BakeRequest{});
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->archive, out->archive);
  EXPECT_FALSE(plain->yaml.has_value());
  EXPECT_FALSE(plain->initial_yaml.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    RealSchemas, ExpectedOutputs,
    testing::Values(Case{"wkt", kTestdata / "corpora/wkt", ""},
                    Case{"opentelemetry", kTestdata / "corpora/opentelemetry", ""},
                    Case{"grpc-proto", kTestdata / "corpora/grpc-proto", ""},
                    Case{"warnings", kTestdata / "expected/warnings/input",
                         "warning: conflicting definitions for 'pkg.M' in scoring_graph[1]; using first\n"
                         "warning: root entry 'pkg.Missing' has no node in graph; skipping\n"}),
    [](const testing::TestParamInfo<Case>& info) {
      std::string name = info.param.name;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST(Bake, InputWithoutMessagesFails) {
  for (std::vector<std::string> docs : {std::vector<std::string>{}, {"entries: [a.A]\nmessages: {}\n"}}) {
    auto out = bake_scoring_graph(docs, BakeRequest{});
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message, "no scoring-graph entries found in provided YAML strings");
  }
}

TEST(Bake, ReadingErrorsNameTheDocument) {
  std::vector<std::string> docs = {"entries: []\nmessages: {a.A: {fields: []}}\n", "entries: [\n"};
  auto out = bake_scoring_graph(docs, BakeRequest{});
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().message.rfind("scoring_graph[1]: ", 0), 0u) << out.error().message;
}

}  // namespace
}  // namespace korvex
