// Time to identify one payload of about 1 KB against a baked graph, best
// 5 candidates, on one core: median, 90th percentile and worst over 100
// payloads generated for random roots of the graph, each timed as the mean
// of REPEATS calls. Also the one-off cost of the lookups (Identifier).
//
//   identify_benchmark ARCHIVE [REPEATS] [SIZE]
//
// Or real payloads, listed in a truth table (lines "file<TAB>type", files
// beside it or in its folder "payloads"): how often the type ranks first,
// and the processor time of the best of ROUNDS passes over them all, with
// the median and worst payload. Run under `valgrind --tool=callgrind
// --toggle-collect='korvex::identify::Identifier::identify*'` it counts the
// instructions identification takes, which unlike times are repeatable.
//
//   identify_benchmark ARCHIVE --truth TRUTH.tsv [ROUNDS]
//
// The README says how to bake the 200 000-message synthetic graph and the
// real-schema ones the figures there come from.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "identify/identify.hpp"
#include "testing/payloads.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvex::identify::testing::Bytes;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double processor_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The payloads of a truth table, against an identifier: first guesses and
// times.
int real_payloads(const korvex::serial::GraphView& view, const korvex::identify::Identifier& identifier,
                  const std::string& truth, int rounds) {
  const std::string folder = truth.substr(0, truth.find_last_of('/') + 1);
  std::ifstream lines(truth);
  std::vector<std::pair<Bytes, std::string>> items;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string file = line.substr(0, tab), type = line.substr(tab + 1);
    Bytes payload = read_bytes(folder + file);
    if (payload.empty()) payload = read_bytes(folder + "payloads/" + file);
    items.emplace_back(std::move(payload), type);
  }
  std::vector<double> times(items.size(), 1e300);
  std::size_t bytes = 0, first = 0;
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    double total = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const double t = processor_seconds();
      const auto out = identifier.identify(items[i].first, 5);
      const double spent = processor_seconds() - t;
      total += spent;
      times[i] = std::min(times[i], spent);
      if (r > 0) continue;
      bytes += items[i].first.size();
      if (out && !out->empty())
        for (const std::uint32_t root : (*out)[0].roots) first += view.roots()[root].fqdn == items[i].second;
    }
    best = std::min(best, total);
  }
  std::sort(times.begin(), times.end());
  std::printf("%zu payloads, %zu bytes: first %.1f%%; %.1f ms (%.2f MB/s), median %.3f ms, worst %.2f ms\n",
              items.size(), bytes, 100.0 * static_cast<double>(first) / static_cast<double>(items.size()), best * 1e3,
              static_cast<double>(bytes) / best / 1e6, times[times.size() / 2] * 1e3, times.back() * 1e3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE [REPEATS] [SIZE]\n       %s ARCHIVE --truth TRUTH.tsv [ROUNDS]\n", argv[0],
                 argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  const std::size_t size = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1024;
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes archive(std::istreambuf_iterator<char>(in), {});
  auto view = korvex::serial::GraphView::open(archive);
  if (!view) {
    std::fprintf(stderr, "%s: %s\n", argv[1], view.error().message.c_str());
    return 1;
  }
  if (view->roots().empty()) {
    std::fprintf(stderr, "%s: no roots\n", argv[1]);
    return 1;
  }

  auto t = Clock::now();
  const korvex::identify::Identifier identifier(*view);
  const double build = seconds_since(t);
  if (argc > 3 && std::string(argv[2]) == "--truth") {
    std::printf("%s: %zu roots, %zu candidates; lookups built in %.1f ms\n", argv[1],
                static_cast<std::size_t>(view->roots().size()), identifier.candidate_count(), build * 1e3);
    return real_payloads(*view, identifier, argv[3], argc > 4 ? std::max(1, std::atoi(argv[4])) : 3);
  }

  // Payloads of size .. 1.25 size for random roots, denser and deeper when
  // the roots are small.
  std::vector<std::pair<std::uint32_t, Bytes>> payloads;
  std::mt19937_64 pick(1);
  double presence = 0.5;
  int depth = 3;
  for (int tries = 0; payloads.size() < 100 && tries < 2000000; ++tries) {
    if (tries % 20000 == 19999) presence = std::min(0.95, presence + 0.1), ++depth;
    const auto root = view->roots()[pick() % view->roots().size()];
    korvex::identify::testing::PayloadGenerator gen(*view, pick(), presence, depth);
    Bytes b;
    if (gen.message(root.state, b) && b.size() >= size && b.size() <= size + size / 4)
      payloads.emplace_back(root.state, std::move(b));
  }
  if (payloads.empty()) {
    std::fprintf(stderr, "%s: no root yields payloads of %zu bytes\n", argv[1], size);
    return 1;
  }

  std::vector<double> times;
  std::size_t first = 0, exact = 0;
  for (const auto& [node, payload] : payloads) {
    auto warm = identifier.identify(payload, 5);
    if (!warm) return std::fprintf(stderr, "%s\n", warm.error().message.c_str()), 1;
    first += !warm->empty() && (*warm)[0].node == node;
    exact += !warm->empty() && (*warm)[0].exact;
    t = Clock::now();
    for (int r = 0; r < repeats; ++r) {
      auto out = identifier.identify(payload, 5);
      if (!out || out->empty()) std::abort();
    }
    times.push_back(seconds_since(t) / repeats);
  }
  std::sort(times.begin(), times.end());
  const auto at = [&](double q) { return times[static_cast<std::size_t>(q * static_cast<double>(times.size() - 1))]; };
  std::printf("%s: %zu roots, %zu candidates; lookups built in %.1f ms\n", argv[1],
              static_cast<std::size_t>(view->roots().size()), identifier.candidate_count(), build * 1e3);
  std::printf("%zu payloads of %zu..%zu bytes: median %.1f us, p90 %.1f us, worst %.1f us per payload (top 5)\n",
              payloads.size(), size, size + size / 4, at(0.5) * 1e6, at(0.9) * 1e6, times.back() * 1e6);
  std::printf("true root first: %zu / %zu, best match exact: %zu / %zu\n", first, payloads.size(), exact,
              payloads.size());
  return 0;
}
