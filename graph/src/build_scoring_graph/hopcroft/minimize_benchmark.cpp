// Timing of `minimize` on synthetic raw graphs.
//
//   minimize_benchmark                 every case below, each in its own process
//   minimize_benchmark CASE STATES     one case: schema | wide | dfa
//
// schema: message types with about eight fields over field numbers 1..40,
//         mostly scalars, a fifth message fields, a few hundred enum ranges;
// wide:   the same, but a quarter of the types take their field numbers from
//         a pool of 3000 large numbers, so the alphabet has thousands of
//         symbols and the plain worklist would hold blocks x alphabet pairs;
// dfa:    a random complete automaton over four fields where all types start
//         in one block, so nearly every state is split off on its own.
// Each line gives states, transitions, alphabet size, initial blocks B0, the
// initial worklist length L0 = B0 x alphabet, final blocks, the number of
// progress calls, the best of three wall-clock and CPU times, and the
// process's peak resident size (graph included).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "build_scoring_graph/graph/raw_graph.hpp"
#include "build_scoring_graph/hopcroft/minimize.hpp"

namespace {

using korvex::RawGraph;
using korvex::RawTransition;

struct Input {
  RawGraph graph;
  std::size_t ranges = 0;
};

Input schema_graph(std::uint32_t messages, bool wide, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto below = [&](std::uint64_t n) { return static_cast<std::uint32_t>(rng() % n); };
  Input in;
  in.ranges = 300;
  const std::uint32_t named = messages + 2;
  in.graph.state_count = static_cast<std::uint32_t>(named + korvex::kFixedLeafCount + in.ranges);
  in.graph.node_type.assign(named, korvex::node_type::kMessage);
  in.graph.ext_of.assign(named, korvex::kNone16);
  std::vector<std::uint32_t> pool;
  for (int i = 0; i < 3000; ++i) pool.push_back(1000 + below(500000000));
  in.graph.transitions.reserve(std::size_t{messages} * 8);
  for (std::uint32_t s = 2; s < named; ++s) {
    if (below(50) == 0) in.graph.node_type[s] = korvex::node_type::kGroup;
    if (below(20) == 0) in.graph.ext_of[s] = static_cast<std::uint16_t>(below(40));
    const std::uint32_t fields = 1 + below(8) + below(8);  // about eight
    const bool from_pool = wide && below(4) == 0;
    std::uint32_t number = 0;
    for (std::uint32_t f = 0; f < fields; ++f) {
      number = from_pool ? pool[below(pool.size())] : std::min<std::uint32_t>(40, number + 1 + (below(6) == 0 ? below(4) : 0));
      RawTransition t{s, number, 0, 0, 0};
      const std::uint32_t kind = below(100);
      if (kind < 20) {
        t.to = static_cast<std::int32_t>(2 + below(messages));
      } else if (kind < 30) {
        t.to = korvex::range_leaf_sentinel(below(in.ranges));
      } else {
        t.to = korvex::kFixedLeafSentinel[below(korvex::kFixedLeafCount)];
      }
      const std::uint32_t label = below(10);
      t.label = static_cast<std::uint8_t>(label < 7 ? 0 : label < 9 ? 2 : 1);
      t.packed = static_cast<std::uint8_t>(t.label == 2 && t.to < 0 && below(2) == 0);
      in.graph.transitions.push_back(t);
    }
  }
  return in;
}

Input dfa_graph(std::uint32_t states, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Input in;
  const std::uint32_t named = states + 2;
  in.graph.state_count = named + korvex::kFixedLeafCount;
  in.graph.node_type.assign(named, korvex::node_type::kMessage);
  in.graph.ext_of.assign(named, korvex::kNone16);
  in.graph.transitions.reserve(std::size_t{states} * 4);
  for (std::uint32_t s = 2; s < named; ++s) {
    for (std::uint32_t f = 1; f <= 4; ++f) {
      const bool leaf = rng() % 64 == 0;
      const std::int32_t to = leaf ? korvex::kFixedLeafSentinel[rng() % 2] : static_cast<std::int32_t>(2 + rng() % states);
      in.graph.transitions.push_back({s, f, to, 0, 0});
    }
  }
  return in;
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Alphabet size and initial block count, computed the slow obvious way.
std::pair<std::size_t, std::size_t> shape_of(const Input& in) {
  const std::uint32_t named = in.graph.named_count();
  std::vector<std::vector<std::uint64_t>> out(named);
  std::vector<std::uint64_t> all;
  for (const RawTransition& t : in.graph.transitions) {
    const std::uint64_t sym = (std::uint64_t{t.field} << 8) | static_cast<std::uint8_t>(t.label | (t.packed * 4));
    out[t.from].push_back(sym);
    all.push_back(sym);
  }
  std::sort(all.begin(), all.end());
  const std::size_t alphabet = static_cast<std::size_t>(std::unique(all.begin(), all.end()) - all.begin());
  std::unordered_map<std::string, int> signatures;
  for (std::uint32_t s = 2; s < named; ++s) {
    std::sort(out[s].begin(), out[s].end());
    out[s].erase(std::unique(out[s].begin(), out[s].end()), out[s].end());
    std::string key(reinterpret_cast<const char*>(out[s].data()), out[s].size() * sizeof(std::uint64_t));
    key += std::to_string(in.graph.node_type[s]) + "/" + std::to_string(in.graph.ext_of[s]);
    signatures.emplace(std::move(key), 0);
  }
  const std::size_t blocks = std::min<std::size_t>(named, 2) + signatures.size() + korvex::kFixedLeafCount + in.ranges;
  return {alphabet, blocks};
}

int run_case(const std::string& name, std::uint32_t size) {
  Input in;
  if (name == "schema") {
    in = schema_graph(size, false, 1);
  } else if (name == "wide") {
    in = schema_graph(size, true, 2);
  } else if (name == "dfa") {
    in = dfa_graph(size, 3);
  } else {
    std::fprintf(stderr, "unknown case %s\n", name.c_str());
    return 2;
  }
  const auto [alphabet, initial_blocks] = shape_of(in);
  double best = 1e30, best_cpu = 1e30;
  std::uint32_t blocks = 0;
  std::uint64_t reports = 0;
  for (int rep = 0; rep < 3; ++rep) {
    reports = 0;
    const korvex::ProgressFn count = [&](std::uint64_t, std::uint64_t) { ++reports; };
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    const auto part = korvex::minimize(in.graph, in.ranges, count);
    if (!part) {
      std::fprintf(stderr, "%s\n", part.error().message.c_str());
      return 1;
    }
    best_cpu = std::min(best_cpu, cpu_seconds() - cpu_start);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    blocks = part->num_blocks;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%-7s %9u states %9zu transitions %6zu symbols  B0 %8zu  L0 %12llu  blocks %8u  reports %3llu  wall %6.3f s  cpu %6.3f s  peak %5.0f MiB\n",
              name.c_str(), in.graph.state_count, in.graph.transitions.size(), alphabet, initial_blocks,
              static_cast<unsigned long long>(initial_blocks) * alphabet, blocks,
              static_cast<unsigned long long>(reports), best, best_cpu, usage.ru_maxrss / 1024.0);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return run_case(argv[1], static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  const std::vector<std::pair<std::string, std::uint32_t>> cases = {
      {"schema", 20000},  {"schema", 200000}, {"wide", 20000}, {"wide", 200000},
      {"schema", 100000}, {"schema", 1000000}, {"dfa", 100000}, {"dfa", 1000000},
  };
  for (const auto& [name, size] : cases) {
    // One process per case, so that the peak resident size is its own.
    const pid_t child = fork();
    if (child == 0) _exit(run_case(name, size));
    int status = 0;
    waitpid(child, &status, 0);
  }
  return 0;
}
