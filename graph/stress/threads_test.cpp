// Eight threads at once over the same read-only inputs: whole bakes (of
// YAML documents and of descriptor sets), index encodes, archive opens and
// lookups through both readers, and payloads identified through one shared
// Identifier, each thread running every job in its own order. Every thread's output must be byte for byte what one thread
// alone produced. The Python module releases its lock around all of these,
// so callers do run them side by side; in the ThreadSanitizer build of
// scripts/test.sh this test is what shows that no call shares mutable state
// with another, elsewhere it checks determinism under contention.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <latch>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "build_scoring_graph/pipeline.hpp"
#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/graph_view.hpp"
#include "build_scoring_graph/serial/view_to_compiled.hpp"
#include "descriptor_set/descriptor_set.hpp"
#include "fds_index/fds_index.hpp"
#include "fds_index/index_view.hpp"
#include "identify/identify.hpp"
#include "testing/files.hpp"

namespace korvex {
namespace {

const std::filesystem::path kTestdata = KORVEX_TESTDATA;
const std::filesystem::path kDescriptorSets = KORVEX_DESCRIPTOR_DATA;

constexpr int kThreads = 8;
constexpr int kRounds = 2;

using Bytes = std::vector<std::uint8_t>;

// A job turns shared, read-only input into one string that holds all it
// produced (or the error it returned), so that runs compare in one go.
struct Job {
  std::string name;
  std::function<std::string()> run;
};

void append(std::string& out, std::string_view part) {
  out += std::to_string(part.size());
  out += ':';
  out += part;
}

std::string bake_text(const Result<BakeOutput>& out, const std::vector<std::uint64_t>& progress) {
  if (!out) return "error: " + out.error().message;
  std::string text;
  append(text, std::string_view(reinterpret_cast<const char*>(out->archive.data()), out->archive.size()));
  append(text, out->yaml.value_or("-"));
  append(text, out->initial_yaml.value_or("-"));
  for (const std::uint64_t p : progress) text += std::to_string(p) + ',';
  return text;
}

BakeRequest request_into(std::vector<std::uint64_t>& progress) {
  return BakeRequest{true, true, [&progress](std::uint64_t done, std::uint64_t total) {
                       progress.push_back(done);
                       progress.push_back(total);
                     }};
}

std::string bytes_text(const Result<Bytes>& out) {
  if (!out) return "error: " + out.error().message;
  return std::string(out->begin(), out->end());
}

// Everything a caller can ask of a graph archive: every root found by name,
// every transition found by (node, field), and the dump read back.
std::string read_graph(const Bytes& archive) {
  const auto view = serial::GraphView::open(archive);
  if (!view) return "error: " + view.error().message;
  std::string text;
  for (const serial::Root root : view->roots()) {
    const auto found = view->find_root(root.fqdn);
    text += std::string(root.fqdn) + '=' + (found ? std::to_string(found->state) : "?") + '\n';
  }
  for (std::uint32_t id = 0; id < view->nodes().size(); ++id)
    for (const serial::Transition t : view->transitions_of(id)) {
      const auto found = view->find_transition(id, t.field);
      text += std::to_string(id) + '/' + std::to_string(t.field) + '>' + (found ? std::to_string(found->to) : "?") + ' ';
    }
  append(text, dump_compiled(serial::to_compiled(*view)));
  return text;
}

// Payloads that parse as roots of the bundled graphs, with unknown fields,
// nested, and not wire format at all, each answered in full.
std::string identify_all(const identify::Identifier& identifier) {
  static constexpr std::string_view kPayloads[] = {
      "", "\x08\x01", "\x08\x96\x01\x10\x05", "\x0a\x03" "abc\x10\x01", "\x0a\x05\x0a\x01x\x10\x02",
      "\x12\x04\x08\x01\x10\x02\x18\x03", "\xf8\x07\x01\x08\x01", "\x0a\x80", "\x08"};
  std::string text;
  for (const std::string_view payload : kPayloads) {
    const auto matches = identifier.identify(
        std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()), std::nullopt);
    if (!matches) {
      text += "error: " + matches.error().message + '\n';
      continue;
    }
    for (const identify::Match& m : *matches)
      text += std::to_string(m.node) + ' ' + std::to_string(m.score) + ' ' + m.reason() + ';';
    text += '\n';
  }
  return text;
}

// Every key of each map looked up, with one absent key per entry.
std::string read_index(const Bytes& archive) {
  const auto view = fds::IndexView::open(archive);
  if (!view) return "error: " + view.error().message;
  std::string text;
  for (const auto& [type, file] : view->type_to_file())
    text += std::string(type) + '>' + std::string(view->file_of_type(type).value_or("?")) +
            (view->file_of_type(std::string(type) + "x") ? "!" : "") + '\n';
  for (const auto& [file, span] : view->file_to_span()) {
    const auto found = view->span_of_file(file);
    text += std::string(file) + '@' + (found ? std::to_string(found->start) + '-' + std::to_string(found->end) : "?");
    if (const auto imports = view->imports_of(file))
      for (const std::string_view import : *imports) text += ' ' + std::string(import);
    text += '\n';
  }
  for (const auto& [key, file] : view->ext_to_file()) {
    const std::size_t slash = key.rfind('/');
    std::int64_t number = 0;
    std::from_chars(key.data() + slash + 1, key.data() + key.size(), number);
    text += std::string(key) + '>' + std::string(view->file_of_extension(key.substr(0, slash), number).value_or("?")) +
            '\n';
  }
  return text;
}

// An index of a few thousand entries, given in a scrambled order that the
// encoder must put right on every thread alike.
fds::FdsIndex synthetic_index() {
  constexpr std::size_t kTypes = 3000, kFiles = 101;
  fds::FdsIndex index;
  const auto file = [](std::size_t i) { return "dir" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".proto"; };
  for (std::size_t k = 0; k < kTypes; ++k) {
    const std::size_t i = k * 1999 % kTypes;
    index.type_to_file.emplace_back("pkg" + std::to_string(i % 37) + ".T" + std::to_string(i), file(i % kFiles));
    if (i % 3 == 0) index.ext_to_file.emplace_back("pkg.T" + std::to_string(i) + '/' + std::to_string(100 + i), file(i % kFiles));
  }
  for (std::size_t i = 0; i < kFiles; ++i) {
    index.file_to_span.emplace_back(file(i), fds::Span{i * 1000, i * 1000 + 999});
    std::vector<std::string> imports;
    for (std::size_t j = 1; j <= i % 4; ++j) imports.push_back(file((i + j * 13) % kFiles));
    index.dep_graph.emplace_back(file(i), std::move(imports));
  }
  return index;
}

Bytes read_bytes(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  return Bytes(text.begin(), text.end());
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Threads, EveryThreadProducesTheBytesOfASingleThreadedRun) {
  // Shared inputs, never written once the threads start.
  const std::vector<std::string> cases = {"wkt", "opentelemetry", "grpc-proto", "warnings"};
  std::vector<std::vector<std::string>> documents;
  for (const std::string& c : cases)
    documents.push_back(read_yaml_folder(c == "warnings" ? kTestdata / "expected/warnings/input" : kTestdata / "corpora" / c));
  std::vector<Bytes> archives;
  for (const std::string& c : cases) archives.push_back(read_bytes(kTestdata / "expected" / c / "graph.rkyv"));
  const std::vector<std::string> set_names = {"wkt.pb", "own.pb"};
  std::vector<std::string> sets;
  for (const std::string& name : set_names) sets.push_back(read_file(kDescriptorSets / name));
  const fds::FdsIndex index = synthetic_index();
  const auto encoded_index = fds::to_bytes(fds::canonical_index(index));
  ASSERT_TRUE(encoded_index.has_value());
  const Bytes& index_archive = *encoded_index;
  std::vector<serial::GraphView> views;
  for (const Bytes& archive : archives) {
    auto view = serial::GraphView::open(archive);
    ASSERT_TRUE(view.has_value()) << view.error().message;
    views.push_back(*view);
  }
  std::vector<identify::Identifier> identifiers(views.begin(), views.end());

  std::vector<Job> jobs;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    jobs.push_back({"bake " + cases[i], [&, i] {
                      std::vector<std::uint64_t> progress;
                      return bake_text(bake_scoring_graph(documents[i], request_into(progress)), progress);
                    }});
    jobs.push_back({"read graph " + cases[i], [&, i] { return read_graph(archives[i]); }});
    jobs.push_back({"identify " + cases[i], [&, i] { return identify_all(identifiers[i]); }});
  }
  for (std::size_t i = 0; i < sets.size(); ++i) {
    jobs.push_back({"bake " + set_names[i], [&, i] {
                      std::vector<std::uint64_t> progress;
                      return bake_text(fds::bake_descriptor_set(sets[i], request_into(progress)), progress);
                    }});
    jobs.push_back({"index " + set_names[i], [&, i] { return bytes_text(fds::index_descriptor_set(sets[i])); }});
  }
  jobs.push_back({"encode index", [&] { return bytes_text(fds::to_bytes(fds::canonical_index(index))); }});
  jobs.push_back({"read index", [&] { return read_index(index_archive); }});

  // Warnings go to the process's standard error, which is captured whole:
  // each thread must write exactly the lines of a lone run, none torn.
  testing::internal::CaptureStderr();
  std::vector<std::string> expected;
  for (const Job& job : jobs) expected.push_back(job.run());
  const std::string lone_warnings = testing::internal::GetCapturedStderr();
  for (std::size_t j = 0; j < jobs.size(); ++j)
    ASSERT_FALSE(expected[j].starts_with("error: ")) << jobs[j].name << ": " << expected[j];
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    if (jobs[j].name.starts_with("identify ")) {
      ASSERT_TRUE(expected[j].contains(" exact;") && expected[j].contains("\nerror: not protobuf wire format"))
          << jobs[j].name << ": " << expected[j];
    }
  }

  std::vector<std::vector<std::string>> outputs(kThreads, std::vector<std::string>(jobs.size() * kRounds));
  testing::internal::CaptureStderr();
  {
    std::latch start(kThreads);
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        // Each thread starts at another job, so that different stages and
        // the same stage overlap.
        for (std::size_t k = 0; k < jobs.size() * kRounds; ++k) {
          const std::size_t j = (k + static_cast<std::size_t>(t) * 3) % jobs.size();
          outputs[t][k] = jobs[j].run();
        }
      });
  }
  const std::string all_warnings = testing::internal::GetCapturedStderr();

  for (int t = 0; t < kThreads; ++t)
    for (std::size_t k = 0; k < jobs.size() * kRounds; ++k) {
      const std::size_t j = (k + static_cast<std::size_t>(t) * 3) % jobs.size();
      EXPECT_TRUE(outputs[t][k] == expected[j]) << "thread " << t << ", " << jobs[j].name;
    }
  ASSERT_FALSE(lone_warnings.empty());
  std::string repeated;
  for (int n = 0; n < kThreads * kRounds; ++n) repeated += lone_warnings;
  EXPECT_EQ(lines_of(all_warnings), lines_of(repeated));
}

}  // namespace
}  // namespace korvex
