// The two ways into a bake, timed on the same schemas: a compiled descriptor
// set read straight from its bytes, and the YAML documents the converter
// writes for it, taken in the set's file order:
//
//   descriptor_set_benchmark SET.pb YAML_DIR [repeats]
//
// Prints the least processor time over the repeats of each step and of each
// whole bake (which must give the same archive), and their ratio. Processor
// time, not wall time: the machine may be busy with other work, which
// stretches wall time but hardly the time this process runs; the two whole
// bakes alternate, so that both meet the same conditions.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/files.hpp"
#include "descriptor_set/descriptor_set.hpp"

using namespace korvex;

namespace {

double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

template <class F>
double once_ms(F&& f) {
  double t0 = cpu_ms();
  f();
  return cpu_ms() - t0;
}

template <class F>
double best_ms(int repeats, F&& f) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) best = std::min(best, once_ms(f));
  return best;
}

template <class T, class E>
T&& ok(std::expected<T, E>&& r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().message.c_str());
    std::exit(1);
  }
  return std::move(*r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SET.pb YAML_DIR [repeats]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string bytes = read_file(argv[1]);
  std::vector<std::string> docs;
  std::size_t yaml_bytes = 0, messages = 0;
  {
    fds::DescriptorSet set = ok(fds::read_descriptor_set(bytes));
    messages = set.messages.size();
    for (const fds::FileRecord& f : set.files) {
      std::string doc_name;  // the converter's: "/" -> "__"
      for (char c : f.name) doc_name += c == '/' ? std::string("__") : std::string(1, c);
      docs.push_back(read_file(std::filesystem::path(argv[2]) / (doc_name + ".yaml")));
      yaml_bytes += docs.back().size();
    }
  }

  double t_read = best_ms(repeats, [&] { (void)ok(fds::read_descriptor_set(bytes)); });
  fds::DescriptorSet set = ok(fds::read_descriptor_set(bytes));
  double t_docs = best_ms(repeats, [&] { (void)ok(fds::documents_of(set)); });
  double t_merge_pb = best_ms(repeats, [&] {
    auto documents = ok(fds::documents_of(set));
    Merger merger;
    for (NormalizedDocument& d : documents) merger.add_normalized(std::move(d));
    (void)std::move(merger).finish();
  });
  double t_merge_yaml = best_ms(repeats, [&] { (void)ok(merge_from_strings(docs)); });
  double t_index = best_ms(repeats, [&] { (void)ok(fds::index_descriptor_set(bytes)); });
  BakeOutput from_pb, from_yaml;
  double t_bake_pb = 1e300, t_bake_yaml = 1e300;
  for (int i = 0; i < repeats; ++i) {
    t_bake_pb = std::min(t_bake_pb, once_ms([&] { from_pb = ok(fds::bake_descriptor_set(bytes, BakeRequest{})); }));
    t_bake_yaml = std::min(t_bake_yaml, once_ms([&] { from_yaml = ok(bake_scoring_graph(docs, BakeRequest{})); }));
  }
  if (from_pb.archive != from_yaml.archive) {
    std::fprintf(stderr, "error: the two bakes differ\n");
    return 1;
  }

  std::printf("input: %zu files, %zu messages; set %.1f MB, YAML %.1f MB\n", set.files.size(), messages,
              bytes.size() / 1e6, yaml_bytes / 1e6);
  std::printf("%-34s %10s\n", "step", "CPU ms");
  std::printf("%-34s %10.1f\n", "read set", t_read);
  std::printf("%-34s %10.1f\n", "documents of the set", t_docs);
  std::printf("%-34s %10.1f\n", "documents + merge (from .pb)", t_merge_pb);
  std::printf("%-34s %10.1f\n", "read + merge (from YAML)", t_merge_yaml);
  std::printf("%-34s %10.1f\n", "index archive (from .pb)", t_index);
  std::printf("%-34s %10.1f\n", "whole bake from .pb", t_bake_pb);
  std::printf("%-34s %10.1f\n", "whole bake from YAML", t_bake_yaml);
  std::printf("ratio .pb / YAML: %.3f\n", t_bake_pb / t_bake_yaml);
  return 0;
}
