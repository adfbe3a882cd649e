// The compiled graph as YAML text, written line by line from fixed templates.
//
// No YAML library is involved and nothing is quoted: names are printed as
// stored. Numbers go through std::to_chars, so the text never depends on the
// locale. The roots are printed in name order through a sorted list of pointers
// (stable for equal names); the graph itself is only read.
#include "build_scoring_graph/serial/dump.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

namespace korvex {
namespace {

template <class Int>
void append_number(std::string& out, Int value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 24 characters hold any 64-bit integer
  out.append(buf, end);
}

std::string_view type_name(const NodeEntry& node) {
  switch (node.type) {
    case node_type::kVarint: return node.range != kNone16 ? "range" : "uint64";
    case node_type::kFixed64: return "double";
    case node_type::kLengthDelim: return node.is_string ? "string" : "bytes";
    case node_type::kGroup: return "group";
    case node_type::kFixed32: return "float";
    case node_type::kVarint32: return "uint32";
    case node_type::kInt32: return "int32";
    case node_type::kMessage: return "message";
    default: return "unknown";
  }
}

std::string_view label_name(std::uint8_t label) {
  switch (label) {
    case label::kOptional: return "optional";
    case label::kRequired: return "required";
    case label::kRepeated: return "repeated";
    default: return "unknown";
  }
}

}  // namespace

std::string dump_compiled(const CompiledGraph& graph) {
  std::size_t estimate = 40 + graph.nodes.size() * 48 + graph.transitions.size() * 96;
  for (const RootEntry& root : graph.roots) estimate += 32 + root.fqdn.size();
  std::string out;
  out.reserve(estimate);

  out += "states:\n";
  for (const NodeEntry& node : graph.nodes) {
    out += "  - id: ";
    append_number(out, node.id);
    out += "\n    type: ";
    out += type_name(node);
    out += '\n';
    // The compilers only ever store indexes into leaf_ranges; an index past
    // the end has no value to show, so its line is left out.
    if (node.range != kNone16 && node.range < graph.leaf_ranges.size()) {
      const ValueRange& r = graph.leaf_ranges[node.range];
      out += "    range: [";
      append_number(out, r.first);
      out += ", ";
      append_number(out, r.second);
      out += "]\n";
    }
  }

  out += "transitions:\n";
  for (const TransitionEntry& t : graph.transitions) {
    out += "  - from: ";
    append_number(out, t.from);
    out += "\n    field: ";
    append_number(out, t.field);
    out += "\n    label: ";
    out += label_name(t.label);
    out += '\n';
    if (t.packed != 0) out += "    packed: true\n";
    out += "    to: ";
    append_number(out, t.to);
    out += '\n';
  }

  out += "roots:\n";
  std::vector<const RootEntry*> roots;
  roots.reserve(graph.roots.size());
  for (const RootEntry& root : graph.roots) roots.push_back(&root);
  // Equal names keep their stored order: the pointers into one vector break
  // the tie, so a plain sort is stable here.
  std::sort(roots.begin(), roots.end(), [](const RootEntry* a, const RootEntry* b) {
    const int c = a->fqdn.compare(b->fqdn);
    return c != 0 ? c < 0 : a < b;
  });
  for (const RootEntry* root : roots) {
    out += "  - fqdn: ";
    out += root->fqdn;
    out += "\n    state: ";
    append_number(out, root->state);
    out += '\n';
  }
  return out;
}

}  // namespace korvex
