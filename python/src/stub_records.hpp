// Type-stub records of the module's functions, for a stub generator.
//
// Each function registers one record when the library is loaded, before the
// module is initialised; nothing in the module reads them. The registry is
// free of Python, so the stub generator links the same records without
// linking the interpreter.
#pragma once

#include <optional>
#include <set>
#include <source_location>
#include <string>
#include <vector>

namespace korvex::stubs {

struct Parameter {
  std::string name;
  std::string type;                           // Python type expression
  std::optional<std::string> default_value;  // source text; none when required
};

struct FunctionRecord {
  std::string name;
  std::source_location location;  // where the record is declared
  std::string doc;                // docstring without the signature header
  std::vector<Parameter> parameters;
  std::string returns;            // Python type expression
  std::set<std::string> modules;  // modules the type expressions need imported
};

// Every record, in registration order (that of the module's functions).
const std::vector<FunctionRecord>& registered_functions();

// The module docstring, for the stub's header.
const char* module_doc();

}  // namespace korvex::stubs
