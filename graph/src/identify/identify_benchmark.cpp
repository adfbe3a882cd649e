// Time to identify one payload of about 1 KB against a baked graph, best
// 5 candidates, on one core: median, 90th percentile and worst over 100
// payloads generated for random roots of the graph, each timed as the mean
// of REPEATS calls. Also the one-off cost of the lookups (Identifier).
//
//   identify_benchmark ARCHIVE [REPEATS] [SIZE]
//
// The README says how to bake the 200 000-message synthetic graph and the
// real-schema ones the figures there come from.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "identify/identify.hpp"
#include "identify/payload_test_support.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvex::identify::testing::Bytes;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE [REPEATS] [SIZE]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 20;
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
