// build_graph: converts the caller's arguments into native values, runs the
// scoring-graph bake with the interpreter lock released, and hands back the
// archive and the optional YAML dumps, or raises the failing stage's message
// as RuntimeError.
//
// While the lock is released nothing here calls into the interpreter: the
// documents are read in place, through the references and views taken while
// converting (py_documents.hpp); the only way back into the interpreter is
// the progress bridge, which takes the lock for a single call of the
// caller's on_progress. The conversion of the flags and the progress
// callable, the run and the raising are the package's bake's too
// (py_bake.hpp).

#include <Python.h>

#include <array>
#include <utility>

#include "build_scoring_graph/pipeline.hpp"
#include "docstrings.hpp"
#include "lib_functions.hpp"
#include "py_args.hpp"
#include "py_bake.hpp"
#include "py_documents.hpp"
#include "py_ref.hpp"

namespace korvex::py {
namespace {

constexpr std::array<const char*, 4> kParameterNames = {"scoring_graphs", "emit_yaml", "emit_initial_yaml",
                                                        "on_progress"};
constexpr Signature kSignature{"build_graph", kParameterNames, 1};

PyObject* build_graph_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameterNames.size()> slots{};
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;

  Documents documents;
  if (!documents.convert(slots[0])) {
    note_argument(kParameterNames[0]);
    return nullptr;
  }
  BakeRequest request;
  if (!copy_flag(slots[1], request.emit_yaml)) {
    note_argument(kParameterNames[1]);
    return nullptr;
  }
  if (!copy_flag(slots[2], request.emit_initial_yaml)) {
    note_argument(kParameterNames[2]);
    return nullptr;
  }
  Progress progress(slots[3]);
  request.progress = progress.bridge();

  Outcome<BakeOutput> outcome = run_released<BakeOutput>([&](Outcome<BakeOutput>& out) {
    Result<BakeOutput> result = bake_scoring_graph(documents.views(), request);
    if (result) {
      out.succeed(std::move(*result));
    } else {
      out.fail(std::move(result.error().message));
    }
  });
  request.progress = nullptr;
  documents.release();
  if (!settle(progress, outcome, false)) return nullptr;

  std::array<Ref, 3> texts;
  if (!bake_objects(outcome.value, texts)) return nullptr;
  outcome = Outcome<BakeOutput>{};  // native results go before the tuple is handed over
  return PyTuple_Pack(3, texts[0].get(), texts[1].get(), texts[2].get());
}

}  // namespace

PyMethodDef build_graph_def = method_def<build_graph_impl>("build_graph", docs::kBuildGraph);

}  // namespace korvex::py
