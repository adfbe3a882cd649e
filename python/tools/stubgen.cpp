// Writes the type-stub file of the korvex_graph_lib module from the records
// its functions register at load time (linked here without Python).
//
//   stubgen                print the stub file to standard output
//   stubgen --check FILE   exit 1 unless FILE holds exactly that text
//   stubgen --records      list each record's name and source location

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "stub_records.hpp"

namespace {

using korvex::stubs::FunctionRecord;

// A docstring as a triple-quoted literal body: escape only when the text
// could end the literal early or contains escapes of its own.
std::string quote_doc(std::string_view doc) {
  const bool plain = doc.find('\\') == std::string_view::npos && doc.find("\"\"\"") == std::string_view::npos &&
                     (doc.empty() || doc.back() != '"');
  std::string out;
  for (char c : doc) {
    if (!plain && (c == '\\' || c == '"')) out += '\\';
    out += c;
  }
  return out;
}

// Indents every non-empty line after the first by `indent`.
std::string indent_lines(std::string_view text, std::string_view indent) {
  std::string out;
  bool line_start = false;
  for (char c : text) {
    if (line_start && c != '\n') out += indent;
    out += c;
    line_start = c == '\n';
  }
  return out;
}

void write_function(std::ostream& out, const FunctionRecord& record) {
  out << "def " << record.name << "(\n";
  for (const auto& parameter : record.parameters) {
    out << "    " << parameter.name << ": " << parameter.type;
    if (parameter.default_value) out << " = " << *parameter.default_value;
    out << ",\n";
  }
  out << ") -> " << record.returns << ":\n";
  out << "    \"\"\"" << indent_lines(quote_doc(record.doc), "    ") << "\n    \"\"\"\n";
}

std::string stub_text() {
  const auto& records = korvex::stubs::registered_functions();
  std::ostringstream out;
  out << "# Type stubs of the korvex_graph_lib extension module, written by\n"
         "# python/tools/stubgen from the records the module registers at load\n"
         "# time. Regenerate instead of editing by hand.\n";
  out << "\"\"\"" << quote_doc(korvex::stubs::module_doc()) << "\"\"\"\n";

  std::set<std::string> modules;
  for (const auto& record : records) modules.insert(record.modules.begin(), record.modules.end());
  if (!modules.empty()) out << '\n';
  for (const auto& module : modules) out << "import " << module << '\n';
  for (const auto& record : records) {
    out << '\n';
    write_function(out, record);
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (argc == 1) {
    std::cout << stub_text();
    return std::cout.good() ? 0 : 1;
  }
  if (mode == "--records" && argc == 2) {
    for (const auto& record : korvex::stubs::registered_functions()) {
      std::cout << record.name << '\t' << record.location.file_name() << ':' << record.location.line() << '\n';
    }
    return 0;
  }
  if (mode == "--check" && argc == 3) {
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
      std::cerr << "stubgen: cannot read " << argv[2] << '\n';
      return 1;
    }
    const std::string current((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (current != stub_text()) {
      std::cerr << "stubgen: " << argv[2] << " differs from the registered records; regenerate it\n";
      return 1;
    }
    return 0;
  }
  std::cerr << "usage: stubgen [--records | --check FILE]\n";
  return 2;
}
