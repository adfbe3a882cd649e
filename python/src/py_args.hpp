// Binding of fast-call arguments (a vector of positional values plus a tuple
// of keyword names) to a function's named parameters.
//
// Every parameter may be given by position or by keyword; the first
// `required` ones have no default. The errors imitate the interpreter's own
// wording for argument parsing. Bound values are borrowed from the caller's
// argument vector, which outlives the call.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <span>

namespace korvex::py {

struct Signature {
  const char* function;                // name used in messages, without "()"
  std::span<const char* const> names;  // parameters in positional order
  std::size_t required;                // leading parameters without a default
};

// Fills slots[i] with the value bound to parameter i, or null when left out.
// Returns false with TypeError set for surplus, unknown, repeated or missing
// arguments.
inline bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, std::span<PyObject*> slots) {
  const auto count = static_cast<Py_ssize_t>(signature.names.size());
  std::fill(slots.begin(), slots.end(), nullptr);
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", signature.function,
                 static_cast<Py_ssize_t>(signature.required) < count ? "at most" : "exactly", count,
                 count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    if (PyUnicode_Check(name)) {
      for (Py_ssize_t i = 0; i < count; ++i) {
        // Never raises; a non-ASCII name simply compares unequal.
        if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
          slot = i;
          break;
        }
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function, name);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                   signature.names[slot]);
      return false;
    }
    slots[slot] = args[nargs + k];
  }

  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function,
                   signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace korvex::py
