// Random payloads that parse exactly as a given node of a graph view, for
// the tests and the benchmark: each declared field present with a chosen
// probability (required ones always), repeated fields with one to three
// values, numeric ones packed or not, values inside their type's range,
// strings of ASCII and two-byte UTF-8, nested messages and groups down to a
// depth after which only required fields are written. Where a field number
// repeats in a node, only its first transition is used. Returns false when
// required fields chain deeper than the bound allows.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "build_scoring_graph/serial/graph_view.hpp"

namespace korvex::identify::testing {

using Bytes = std::vector<std::uint8_t>;

inline void put_varint(Bytes& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void put_tag(Bytes& out, std::uint32_t field, std::uint8_t wire) { put_varint(out, std::uint64_t{field} << 3 | wire); }

inline void put_bytes(Bytes& out, std::uint32_t field, const Bytes& content) {
  put_tag(out, field, 2);
  put_varint(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

class PayloadGenerator {
 public:
  PayloadGenerator(const serial::GraphView& graph, std::uint64_t seed, double presence = 0.6, int depth = 4)
      : graph_(graph), rng_(seed), presence_(presence), depth_(depth) {}

  bool message(std::uint32_t node, Bytes& out) { return fields(node, out, 0); }

 private:
  bool fields(std::uint32_t node, Bytes& out, int depth) {
    if (depth > depth_ + 20) return false;
    std::uint32_t previous = 0;
    bool any = false;
    for (const serial::Transition t : graph_.transitions_of(node)) {
      if (any && t.field == previous) continue;
      any = true;
      previous = t.field;
      if (t.field == 0 || t.field >= (1u << 29)) continue;  // no tag can carry it
      const bool required = t.label == 1;
      if (!required && (depth >= depth_ || !chance(presence_))) continue;
      const int values = t.label == 2 ? 1 + static_cast<int>(below(3)) : 1;
      const serial::Node leaf = graph_.node(t.to);
      if (t.label == 2 && t.packed && (t.wire_type == 0 || t.wire_type == 1 || t.wire_type == 5)) {
        Bytes run;
        for (int i = 0; i < values; ++i) scalar(leaf, run);
        put_bytes(out, t.field, run);
        continue;
      }
      for (int i = 0; i < values; ++i) {
        if (t.wire_type == 2) {
          Bytes content;
          if (leaf.type == 10) {
            if (!fields(t.to, content, depth + 1)) return false;
          } else {
            text(leaf.is_string, content);
          }
          put_bytes(out, t.field, content);
        } else if (t.wire_type == 3) {
          put_tag(out, t.field, 3);
          if (!fields(t.to, out, depth + 1)) return false;
          put_tag(out, t.field, 4);
        } else {
          put_tag(out, t.field, t.wire_type);
          scalar(leaf, out);
        }
      }
    }
    return true;
  }

  void scalar(const serial::Node& leaf, Bytes& out) {
    switch (leaf.type) {
      case 1:
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(below(256)));
        return;
      case 5:
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(below(256)));
        return;
      case 8: return put_varint(out, below(std::uint64_t{1} << below(33)));
      case 9: {
        const auto v = static_cast<std::int64_t>(below(std::uint64_t{1} << below(32))) * (chance(0.2) ? -1 : 1);
        return put_varint(out, static_cast<std::uint64_t>(v));
      }
      default: {
        if (const auto r = graph_.leaf_range_of(leaf.id); r && r->lo <= r->hi) {
          const auto span = static_cast<std::uint64_t>(std::int64_t{r->hi} - r->lo);
          return put_varint(out, static_cast<std::uint64_t>(r->lo + static_cast<std::int64_t>(below(span + 1))));
        }
        return put_varint(out, rng_() >> below(64));
      }
    }
  }

  void text(bool utf8, Bytes& out) {
    const auto n = below(24);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (utf8 && chance(0.1)) {
        const auto c = 0x80 + below(0x780);  // a two-byte code point
        out.push_back(static_cast<std::uint8_t>(0xC0 | c >> 6));
        out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
      } else {
        out.push_back(static_cast<std::uint8_t>(utf8 ? 0x20 + below(0x5F) : below(256)));
      }
    }
  }

  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }
  bool chance(double p) { return static_cast<double>(rng_() >> 11) * 0x1.0p-53 < p; }

  const serial::GraphView& graph_;
  std::mt19937_64 rng_;
  double presence_;
  int depth_;
};

}  // namespace korvex::identify::testing
