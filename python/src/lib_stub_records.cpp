// The type-stub records of build_graph and build_fds_index and the
// process-wide registry that holds them.
//
// Type expressions are composed from small type templates (Sequence<Str>
// prints "typing.Sequence[str]") so that each record reads like the Python
// signature it describes. Two static constructors register the records at
// load time. This file does not include Python.

#include <cstddef>
#include <set>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "docstrings.hpp"
#include "stub_records.hpp"

namespace korvex::stubs {
namespace {

// Python types, each with its type expression as a stub spells it.
struct Str {
  static std::string expr() { return "str"; }
};
struct Bool {
  static std::string expr() { return "bool"; }
};
struct Int {
  static std::string expr() { return "int"; }
};
struct Bytes {
  static std::string expr() { return "bytes"; }
};
struct Any {
  static std::string expr() { return "typing.Any"; }
};
template <class T>
struct Sequence {
  static std::string expr() { return "typing.Sequence[" + T::expr() + "]"; }
};
template <class T>
struct Optional {
  static std::string expr() { return "typing.Optional[" + T::expr() + "]"; }
};
template <class K, class V>
struct Mapping {
  static std::string expr() { return "typing.Mapping[" + K::expr() + ", " + V::expr() + "]"; }
};
template <class... Ts>
struct Tuple {
  static std::string expr() {
    std::string joined;
    ((joined += (joined.empty() ? "" : ", ") + Ts::expr()), ...);
    return "tuple[" + joined + "]";
  }
};

template <class T>
Parameter param(std::string name) {
  return {std::move(name), T::expr(), std::nullopt};
}
template <class T>
Parameter param(std::string name, std::string default_value) {
  return {std::move(name), T::expr(), std::move(default_value)};
}

// The module part of every dotted name in a type expression
// ("typing.Mapping[str, typing.Any]" needs "typing").
void collect_modules(std::string_view expr, std::set<std::string>& modules) {
  auto is_name_char = [](char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  std::size_t i = 0;
  while (i < expr.size()) {
    if (!is_name_char(expr[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < expr.size() && is_name_char(expr[end])) ++end;
    const bool dotted = end < expr.size() && expr[end] == '.';
    if (dotted) modules.emplace(expr.substr(i, end - i));
    // Skip the rest of the dotted name.
    while (end < expr.size() && (is_name_char(expr[end]) || expr[end] == '.')) ++end;
    i = end;
  }
}

std::vector<FunctionRecord>& registry() {
  static std::vector<FunctionRecord> records;
  return records;
}

struct Registration {
  explicit Registration(FunctionRecord record) {
    for (const Parameter& parameter : record.parameters) collect_modules(parameter.type, record.modules);
    collect_modules(record.returns, record.modules);
    registry().push_back(std::move(record));
  }
};

const Registration build_graph_record{{
    .name = "build_graph",
    .location = std::source_location::current(),
    .doc = std::string(docs::body_of(docs::kBuildGraph)),
    .parameters =
        {
            param<Sequence<Str>>("scoring_graphs"),
            param<Bool>("emit_yaml", "False"),
            param<Bool>("emit_initial_yaml", "False"),
            param<Optional<Any>>("on_progress", "None"),
        },
    .returns = Tuple<Bytes, Optional<Str>, Optional<Str>>::expr(),
    .modules = {},
}};

const Registration build_fds_index_record{{
    .name = "build_fds_index",
    .location = std::source_location::current(),
    .doc = std::string(docs::body_of(docs::kBuildFdsIndex)),
    .parameters =
        {
            param<Mapping<Str, Str>>("type_to_file"),
            param<Mapping<Str, Tuple<Int, Int>>>("file_to_span"),
            param<Mapping<Str, Sequence<Str>>>("dep_graph"),
            param<Mapping<Str, Str>>("ext_to_file"),
        },
    .returns = Bytes::expr(),
    .modules = {},
}};

}  // namespace

const std::vector<FunctionRecord>& registered_functions() { return registry(); }

const char* module_doc() { return docs::kModule; }

}  // namespace korvex::stubs
