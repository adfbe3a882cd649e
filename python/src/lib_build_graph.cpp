// build_graph: converts the caller's arguments into native values, runs the
// scoring-graph bake with the interpreter lock released, and hands back the
// archive and the optional YAML dumps, or raises the failing stage's message
// as RuntimeError.
//
// While the lock is released nothing here calls into the interpreter: the
// documents are read in place, through the references and views taken while
// converting (py_documents.hpp); the only way back into the interpreter is
// the progress bridge, which takes the lock for a single call of the
// caller's on_progress.

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_scoring_graph/pipeline.hpp"
#include "docstrings.hpp"
#include "lib_functions.hpp"
#include "py_args.hpp"
#include "py_convert.hpp"
#include "py_documents.hpp"
#include "py_progress.hpp"
#include "py_ref.hpp"

namespace korvex::py {
namespace {

constexpr std::array<const char*, 4> kParameterNames = {"scoring_graphs", "emit_yaml", "emit_initial_yaml",
                                                        "on_progress"};
constexpr Signature kSignature{"build_graph", kParameterNames, 1};

// numpy's boolean scalar, recognised by its type name so that numpy never
// has to be imported ("numpy.bool_" before numpy 2, "numpy.bool" since).
bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Exactly True or False, or a numpy boolean by its truth value; integers
// (0 and 1 included) and everything else are refused.
bool copy_flag(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'bool'", Py_TYPE(object)->tp_name);
  return false;
}

// What a bake left behind once the lock is taken back. Only plain native
// values: Python objects are created from it afterwards.
struct BakeOutcome {
  enum class Status { kDone, kFailed, kNativeError };
  Status status = Status::kFailed;
  BakeOutput output;
  std::string message;  // the stage's error text when kFailed
  NativeError native;   // what was thrown, when kNativeError
};

// Runs the bake; must be called with the lock released. Every native
// exception is caught here, before the caller takes the lock back, and kept
// until it can be raised.
BakeOutcome run_bake(std::span<const std::string_view> documents, const BakeRequest& request) noexcept {
  BakeOutcome outcome;
  try {
    Result<BakeOutput> result = bake_scoring_graph(documents, request);
    if (result) {
      outcome.output = std::move(*result);
      outcome.status = BakeOutcome::Status::kDone;
    } else {
      outcome.message = std::move(result.error().message);
    }
  } catch (...) {
    outcome.status = BakeOutcome::Status::kNativeError;
    outcome.native = current_native_error();
  }
  return outcome;
}

// UTF-8 text as a new str, or None when absent.
Ref optional_text(const std::optional<std::string>& text) {
  if (!text) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict"));
}

PyObject* build_graph_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameterNames.size()> slots{};
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;

  Documents documents;
  if (!documents.convert(slots[0])) {
    note_argument(kParameterNames[0]);
    return nullptr;
  }
  bool emit_yaml = false;
  if (slots[1] != nullptr && !copy_flag(slots[1], emit_yaml)) {
    note_argument(kParameterNames[1]);
    return nullptr;
  }
  bool emit_initial_yaml = false;
  if (slots[2] != nullptr && !copy_flag(slots[2], emit_initial_yaml)) {
    note_argument(kParameterNames[2]);
    return nullptr;
  }
  // Any object but None is kept, callable or not; see ProgressCallback.
  Ref on_progress;
  if (slots[3] != nullptr && slots[3] != Py_None) on_progress = Ref::borrow(slots[3]);

  BakeOutcome outcome;
  {
    BakeRequest request{emit_yaml, emit_initial_yaml, {}};
    if (on_progress) request.progress = ProgressCallback(on_progress.get());

    PyThreadState* saved = PyEval_SaveThread();
    outcome = run_bake(documents.views(), request);
    PyEval_RestoreThread(saved);
  }
  on_progress.reset();
  documents.release();

  switch (outcome.status) {
    case BakeOutcome::Status::kNativeError: {
      const NativeError native = std::move(outcome.native);
      outcome = BakeOutcome{};
      raise_native_error(native);
      return nullptr;
    }
    case BakeOutcome::Status::kFailed: {
      const std::string message = std::move(outcome.message);
      outcome = BakeOutcome{};
      raise_runtime_error(message);
      return nullptr;
    }
    case BakeOutcome::Status::kDone:
      break;
  }

  const BakeOutput& output = outcome.output;
  Ref archive = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(output.archive.data()),
                                                     static_cast<Py_ssize_t>(output.archive.size())));
  if (!archive) return nullptr;
  Ref yaml = optional_text(output.yaml);
  if (!yaml) return nullptr;
  Ref initial_yaml = optional_text(output.initial_yaml);
  if (!initial_yaml) return nullptr;
  outcome = BakeOutcome{};  // native results go before the tuple is handed over
  return PyTuple_Pack(3, archive.get(), yaml.get(), initial_yaml.get());
}

}  // namespace

PyMethodDef build_graph_def = method_def<build_graph_impl>("build_graph", docs::kBuildGraph);

}  // namespace korvex::py
