// Fuzzes identification: the first input byte picks one of the bundled
// baked graphs, the rest is the payload. Identify must return a ranking
// (best first, `exact` exactly when nothing is violated) or the reason the
// bytes are not wire format, and the answer with `top` set must be a
// prefix of the full one.
// The graphs are read once, from the repository's test data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "identify/identify.hpp"

namespace {

struct Graph {
  std::vector<std::uint8_t> archive;
  korvex::serial::GraphView view;
  std::unique_ptr<korvex::identify::Identifier> identifier;
};

std::vector<std::unique_ptr<Graph>> load() {
  std::vector<std::unique_ptr<Graph>> graphs;
  for (const char* name : {"wkt", "opentelemetry", "grpc-proto", "warnings"}) {
    auto g = std::make_unique<Graph>();
    std::ifstream in(std::string(KORVEX_TESTDATA) + "/expected/" + name + "/graph.rkyv", std::ios::binary);
    g->archive.assign(std::istreambuf_iterator<char>(in), {});
    auto view = korvex::serial::GraphView::open(g->archive);
    if (!view) std::abort();
    g->view = std::move(*view);
    g->identifier = std::make_unique<korvex::identify::Identifier>(g->view);
    graphs.push_back(std::move(g));
  }
  return graphs;
}

std::uint64_t violations(const korvex::identify::Match& m) {
  return std::uint64_t{m.unknown_fields} + m.out_of_range + m.missing_required;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto graphs = load();
  if (size == 0) return 0;
  const Graph& g = *graphs[data[0] % graphs.size()];
  const std::span<const std::uint8_t> payload(data + 1, size - 1);
  const auto all = g.identifier->identify(payload, std::nullopt);
  const auto some = g.identifier->identify(payload, 3);
  if (all.has_value() != some.has_value()) std::abort();
  if (!all) return 0;
  for (std::size_t i = 0; i + 1 < all->size(); ++i)
    if ((*all)[i].score < (*all)[i + 1].score) std::abort();
  for (const auto& m : *all)
    if (m.exact != (violations(m) == 0)) std::abort();
  if (some->size() != std::min<std::size_t>(3, all->size())) std::abort();
  for (std::size_t i = 0; i < some->size(); ++i)
    if ((*some)[i].node != (*all)[i].node || (*some)[i].score != (*all)[i].score) std::abort();
  return 0;
}
