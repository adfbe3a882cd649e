// Times every stage of the bake separately on a folder of YAML documents
// (read in file-name order), so that one can see where the time goes:
//
//   pipeline_benchmark DIR [repeats] [--scan | --only scan|read|merge|bake]
//
// Prints one line per stage with the best processor time over the repeats,
// the sizes that stage worked on, and the peak resident memory at the end.
// With --scan, only libyaml's bare event scan, the reader and the whole bake,
// taking turns in each of the repeats (what scripts/bench.sh compares, run
// after run, with build_graph). With --only, that one step alone, for a
// profiler.
#include <sys/resource.h>
#include <ctime>
#include <yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "build_scoring_graph/graph/compiled_graph.hpp"
#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/hopcroft/minimize.hpp"
#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/pipeline.hpp"
#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/encode.hpp"
#include "testing/files.hpp"

using namespace korvex;
using Clock = std::chrono::steady_clock;

namespace {

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

template <class F>
double best_ms(int repeats, F&& f) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double t0 = cpu_ms();
    f();
    best = std::min(best, cpu_ms() - t0);
  }
  return best;
}

[[noreturn]] void die(const Error& e) {
  std::fprintf(stderr, "error: %s\n", e.message.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [repeats] [--scan]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const bool scan_only = argc > 3 && std::string_view(argv[3]) == "--scan";
  const std::string_view only = argc > 4 && std::string_view(argv[3]) == "--only" ? argv[4] : "";
  auto docs = read_yaml_folder(argv[1]);
  std::size_t bytes = 0;
  for (const auto& d : docs) bytes += d.size();
  const auto step = [&](std::string_view name) { return only.empty() || only == name; };

  const auto scan = [&] {
    for (const auto& d : docs) {
      yaml_parser_t p;
      yaml_event_t e;
      yaml_parser_initialize(&p);
      yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char*>(d.data()), d.size());
      for (;;) {
        if (!yaml_parser_parse(&p, &e)) std::exit(1);
        const bool end = e.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&e);
        if (end) break;
      }
      yaml_parser_delete(&p);
    }
  };
  const auto read = [&] {
    DocumentReader reader;
    NameTable names;
    for (const auto& d : docs)
      if (!reader.read(d, names)) std::exit(1);
  };
  const auto bake = [&] {
    auto r = bake_scoring_graph(docs, BakeRequest{});
    if (!r) die(r.error());
  };
  // The three take turns, round after round, so that a burst of other work
  // on the machine weighs on each alike; the best round of each counts.
  double t_scan = 1e300, t_read = 1e300, t_bake = 1e300;
  for (int i = 0; i < repeats; ++i) {
    if (step("scan")) t_scan = std::min(t_scan, best_ms(1, scan));
    if (step("read")) t_read = std::min(t_read, best_ms(1, read));
    if (step("bake")) t_bake = std::min(t_bake, best_ms(1, bake));
  }
  if (!step("scan")) t_scan = 0;
  if (!step("read")) t_read = 0;
  if (!step("bake")) t_bake = 0;
  if (!only.empty() && only != "merge") {
    std::printf("%.*s %.1f ms\n", int(only.size()), only.data(), t_scan + t_read + t_bake);
    return 0;
  }
  if (scan_only) {
    std::printf("%-16s %10.1f  %.1f MB/s\n", "libyaml scan", t_scan, bytes / 1e3 / t_scan);
    std::printf("%-16s %10.1f  %.1f MB/s\n", "read", t_read, bytes / 1e3 / t_read);
    std::printf("%-16s %10.1f  %.2fx scan\n", "whole bake", t_bake, t_bake / t_scan);
    return 0;
  }
  Merged merged;
  double t_merge = best_ms(repeats, [&] {
    auto r = merge_from_strings(docs);
    if (!r) die(r.error());
    merged = std::move(*r);
  });
  if (!only.empty()) {
    std::printf("merge %.1f ms\n", t_merge);
    return 0;
  }
  BuiltGraph built;
  double t_build = best_ms(repeats, [&] {
    auto r = build(merged);
    if (!r) die(r.error());
    built = std::move(*r);
  });
  const RawGraph& raw = built.graph;
  Partition partition;
  std::uint64_t progress_calls = 0;
  ProgressFn progress = [&](std::uint64_t, std::uint64_t) { ++progress_calls; };
  double t_min = best_ms(repeats, [&] {
    auto r = minimize(raw, built.leaves.ranges.size(), progress);
    if (!r) die(r.error());
    partition = std::move(*r);
  });
  CompiledGraph compiled;
  double t_compile = best_ms(repeats, [&] {
    auto r = compile(raw, built.leaves, partition, merged.roots);
    if (!r) die(r.error());
    compiled = std::move(*r);
  });
  std::vector<std::uint8_t> archive;
  double t_encode = best_ms(repeats, [&] {
    auto r = serial::to_bytes(compiled);
    if (!r) die(r.error());
    archive = std::move(*r);
  });
  CompiledGraph initial;
  double t_initial = best_ms(repeats, [&] {
    auto r = compile_initial(raw, built.leaves, merged.roots);
    if (!r) die(r.error());
    initial = std::move(*r);
  });
  std::string yaml;
  double t_dump = best_ms(repeats, [&] { yaml = dump_compiled(compiled); });

  std::printf("input: %zu documents, %.1f MB, %zu messages\n", docs.size(), bytes / 1e6, merged.messages.size());
  std::printf("%-16s %10s  %s\n", "stage", "best ms", "size");
  std::printf("%-16s %10.1f  %.1f MB/s\n", "libyaml scan", t_scan, bytes / 1e3 / t_scan);
  std::printf("%-16s %10.1f  %.1f MB/s\n", "read", t_read, bytes / 1e3 / t_read);
  std::printf("%-16s %10.1f  %.2fx scan\n", "whole bake", t_bake, t_bake / t_scan);
  std::printf("%-16s %10.1f  %.1f MB/s\n", "read+merge", t_merge, bytes / 1e3 / t_merge);
  std::printf("%-16s %10.1f  %u states, %zu transitions, %zu range leaves\n", "raw graph", t_build,
              raw.state_count, raw.transitions.size(), built.leaves.ranges.size());
  std::printf("%-16s %10.1f  %u blocks, %llu progress calls\n", "minimise", t_min, partition.num_blocks,
              static_cast<unsigned long long>(progress_calls / repeats));
  std::printf("%-16s %10.1f  %zu nodes, %zu transitions, %zu roots\n", "compile", t_compile,
              compiled.nodes.size(), compiled.transitions.size(), compiled.roots.size());
  std::printf("%-16s %10.1f  %zu bytes\n", "encode", t_encode, archive.size());
  std::printf("%-16s %10.1f  %zu nodes\n", "compile_initial", t_initial, initial.nodes.size());
  std::printf("%-16s %10.1f  %zu bytes\n", "dump", t_dump, yaml.size());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS: %.1f MB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
