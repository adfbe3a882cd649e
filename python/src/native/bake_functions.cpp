// korvex_graph._native.bake and .index: scoring-graph YAML documents and
// compiled descriptor sets into the two archives, for the package's bake()
// and index().
//
// bake takes a list of inputs, each a YAML document (str) or a serialised
// FileDescriptorSet (any bytes-like object), and merges them in list order
// through one Merger: a YAML input is one document, a set one normalised
// document per file in the set's file order, so document indexes in
// messages and warnings count both kinds alike. Baking a set this way gives
// the archive that build_graph gives for the converter's YAML of the set.
//
// Both functions convert their arguments with the lock held into values the
// caller can no longer change (a str or bytes object, immutable, is read in
// place under a held reference, as build_graph reads its documents; any
// other buffer is copied) and then
// run with the lock released, as build_graph does: the same progress bridge,
// the stage's text as RuntimeError, native exceptions caught before the lock
// is taken back. Unlike build_graph, a KeyboardInterrupt raised in
// on_progress is not lost: it is raised once the build is over. A failure
// that belongs to one input (reading it, converting a set into documents,
// merging a document) also carries that input's position in the list as the
// exception's `input_index` attribute, so that the caller can name the file
// it came from.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../py_args.hpp"
#include "../py_convert.hpp"
#include "../py_progress.hpp"
#include "../py_ref.hpp"
#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/pipeline.hpp"
#include "descriptor_set/descriptor_set.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::Ref;

namespace {

constexpr char kBakeDoc[] =
    "bake(inputs, emit_yaml=False, emit_initial_yaml=False, on_progress=None)\n"
    "--\n"
    "\n"
    "Bake YAML documents (str) and serialised descriptor sets (bytes-like),\n"
    "merged in list order, a set giving one document per file.\n"
    "\n"
    "Returns (archive, minimised YAML or None, initial YAML or None, documents\n"
    "merged, distinct messages, states before minimisation). Raises\n"
    "RuntimeError with the failing stage's message; when the failure belongs\n"
    "to one input, the exception's input_index is that input's position.";

constexpr char kIndexDoc[] =
    "index(descriptor_set)\n"
    "--\n"
    "\n"
    "The index archive of a serialised descriptor set (bytes-like): which file\n"
    "defines each type and extension, where each file's bytes lie, what each\n"
    "file imports. Raises RuntimeError naming the byte offset of a fault.";

// One input, readable with the lock released.
struct Input {
  bool is_yaml = false;
  Ref object;                 // a str or bytes object read in place (immutable) ...
  std::string_view borrowed;  // ... and its UTF-8 text or bytes, alive while `object` is
  std::string owned;          // a copy of any other buffer

  std::string_view view() const { return object ? borrowed : std::string_view(owned); }
};

// A descriptor set as an Input: a bytes object by reference, any other
// buffer by copy.
bool copy_buffer(PyObject* object, const char* function, Input& out) {
  if (PyBytes_Check(object)) {
    out.object = Ref::borrow(object);
    out.borrowed = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
  }
  Py_buffer buffer;
  if (!acquire_bytes(object, function, buffer)) return false;
  bool ok = true;
  try {
    out.owned.assign(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
  } catch (...) {
    ok = false;
    py::raise_current_exception();
  }
  PyBuffer_Release(&buffer);
  return ok;
}

bool copy_input(PyObject* item, Input& out) {
  if (PyUnicode_Check(item)) {
    out.is_yaml = true;
    if (!py::utf8_view(item, out.borrowed)) return false;
    out.object = Ref::borrow(item);
    return true;
  }
  if (!PyObject_CheckBuffer(item)) {
    PyErr_Format(PyExc_TypeError, "an input must be str (a YAML document) or a bytes-like descriptor set, not %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  return copy_buffer(item, "bake", out);
}

// Exactly True or False: the package's wrapper passes nothing else.
bool copy_flag(PyObject* object, bool& out) {
  if (object == nullptr) return true;
  if (object != Py_True && object != Py_False) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'bool'", Py_TYPE(object)->tp_name);
    return false;
  }
  out = object == Py_True;
  return true;
}

// What a run left behind once the lock is taken back: plain native values.
template <class T>
struct Outcome {
  enum class Status { kDone, kFailed, kNativeError };
  Status status = Status::kFailed;
  T value{};
  std::string message;               // the stage's error text when kFailed
  std::optional<std::size_t> input;  // the input a failure belongs to
  py::NativeError native;            // what was thrown, when kNativeError
};

struct Baked {
  BakeOutput output;
  std::size_t documents = 0;
  std::size_t messages = 0;
};

// Merges the inputs in order and runs the stages after the merge; must be
// called with the lock released.
Outcome<Baked> run_bake(const std::vector<Input>& inputs, const BakeRequest& request) noexcept {
  Outcome<Baked> outcome;
  try {
    auto fail_at = [&](std::size_t k, Error&& error) {
      outcome.message = std::move(error.message);
      outcome.input = k;
      return std::move(outcome);
    };
    Merger merger;
    std::size_t yaml_bytes = 0;
    for (const Input& input : inputs) yaml_bytes += input.is_yaml ? input.view().size() : 0;
    merger.expect_yaml_bytes(yaml_bytes);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k].is_yaml) {
        if (auto added = merger.add_yaml(inputs[k].view()); !added) return fail_at(k, std::move(added.error()));
        continue;
      }
      auto set = fds::read_descriptor_set(inputs[k].view());
      if (!set) return fail_at(k, std::move(set.error()));
      auto documents = fds::documents_of(*set);
      if (!documents) return fail_at(k, std::move(documents.error()));
      for (NormalizedDocument& document : *documents) merger.add_normalized(std::move(document));
    }
    outcome.value.documents = merger.document_count();
    Merged merged = std::move(merger).finish();
    outcome.value.messages = merged.messages.size();
    Result<BakeOutput> result = bake_merged(std::move(merged), request);
    if (!result) {
      outcome.message = std::move(result.error().message);
      return outcome;
    }
    outcome.value.output = std::move(*result);
    outcome.status = Outcome<Baked>::Status::kDone;
  } catch (...) {
    outcome.status = Outcome<Baked>::Status::kNativeError;
    outcome.native = py::current_native_error();
  }
  return outcome;
}

Outcome<std::vector<std::uint8_t>> run_index(const Input& input) noexcept {
  Outcome<std::vector<std::uint8_t>> outcome;
  try {
    auto bytes = fds::index_descriptor_set(input.view());
    if (!bytes) {
      outcome.message = std::move(bytes.error().message);
      return outcome;
    }
    outcome.value = std::move(*bytes);
    outcome.status = Outcome<std::vector<std::uint8_t>>::Status::kDone;
  } catch (...) {
    outcome.status = Outcome<std::vector<std::uint8_t>>::Status::kNativeError;
    outcome.native = py::current_native_error();
  }
  return outcome;
}

// Raises what a failed outcome holds; the lock must be held.
template <class T>
void raise_failure(const Outcome<T>& outcome, bool with_input) {
  if (outcome.status == Outcome<T>::Status::kNativeError) {
    py::raise_native_error(outcome.native);
    return;
  }
  if (!with_input || !outcome.input) {
    py::raise_runtime_error(outcome.message);
    return;
  }
  // The message stays the stage's own; the input's position rides along.
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(outcome.message.data(), static_cast<Py_ssize_t>(outcome.message.size()), "replace"));
  if (!text) return;
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
  if (!error) return;
  Ref position = Ref::steal(PyLong_FromSize_t(*outcome.input));
  if (!position || PyObject_SetAttrString(error.get(), "input_index", position.get()) < 0) return;
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

Ref optional_text(const std::optional<std::string>& text) {
  if (!text) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict"));
}

Ref bytes_of(const std::vector<std::uint8_t>& bytes) {
  return Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

constexpr std::array<const char*, 4> kBakeParameters = {"inputs", "emit_yaml", "emit_initial_yaml", "on_progress"};
constexpr py::Signature kBakeSignature{"bake", kBakeParameters, 1};

PyObject* bake_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kBakeParameters.size()> slots{};
  if (!py::bind_arguments(kBakeSignature, args, nargs, kwnames, slots)) return nullptr;

  std::vector<Input> inputs;
  if (!py::copy_sequence(slots[0], inputs, copy_input)) {
    py::note_argument(kBakeParameters[0]);
    return nullptr;
  }
  BakeRequest request;
  if (!copy_flag(slots[1], request.emit_yaml)) {
    py::note_argument(kBakeParameters[1]);
    return nullptr;
  }
  if (!copy_flag(slots[2], request.emit_initial_yaml)) {
    py::note_argument(kBakeParameters[2]);
    return nullptr;
  }
  Ref on_progress;
  if (slots[3] != nullptr && slots[3] != Py_None) on_progress = Ref::borrow(slots[3]);
  bool interrupted = false;
  if (on_progress) request.progress = py::ProgressCallback(on_progress.get(), &interrupted);

  Outcome<Baked> outcome;
  {
    PyThreadState* saved = PyEval_SaveThread();
    outcome = run_bake(inputs, request);
    PyEval_RestoreThread(saved);
  }
  request.progress = nullptr;
  on_progress.reset();
  inputs.clear();
  if (interrupted) {
    // Ctrl-C landed in on_progress: the build could not stop, but its
    // result is not what the caller is waiting for any more.
    outcome = Outcome<Baked>{};
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  if (outcome.status != Outcome<Baked>::Status::kDone) {
    raise_failure(outcome, true);
    return nullptr;
  }

  const BakeOutput& output = outcome.value.output;
  Ref archive = bytes_of(output.archive);
  if (!archive) return nullptr;
  Ref yaml = optional_text(output.yaml);
  if (!yaml) return nullptr;
  Ref initial_yaml = optional_text(output.initial_yaml);
  if (!initial_yaml) return nullptr;
  Ref documents = Ref::steal(PyLong_FromSize_t(outcome.value.documents));
  if (!documents) return nullptr;
  Ref messages = Ref::steal(PyLong_FromSize_t(outcome.value.messages));
  if (!messages) return nullptr;
  Ref states = Ref::steal(PyLong_FromUnsignedLong(output.raw_state_count));
  if (!states) return nullptr;
  outcome = Outcome<Baked>{};  // native results go before the tuple is handed over
  return PyTuple_Pack(6, archive.get(), yaml.get(), initial_yaml.get(), documents.get(), messages.get(),
                      states.get());
}

constexpr std::array<const char*, 1> kIndexParameters = {"descriptor_set"};
constexpr py::Signature kIndexSignature{"index", kIndexParameters, 1};

PyObject* index_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kIndexParameters.size()> slots{};
  if (!py::bind_arguments(kIndexSignature, args, nargs, kwnames, slots)) return nullptr;
  Input input;
  if (!copy_buffer(slots[0], "index", input)) {
    py::note_argument(kIndexParameters[0]);
    return nullptr;
  }
  Outcome<std::vector<std::uint8_t>> outcome;
  {
    PyThreadState* saved = PyEval_SaveThread();
    outcome = run_index(input);
    PyEval_RestoreThread(saved);
  }
  input = Input{};
  if (outcome.status != Outcome<std::vector<std::uint8_t>>::Status::kDone) {
    raise_failure(outcome, false);
    return nullptr;
  }
  return bytes_of(outcome.value).release();
}

}  // namespace

PyMethodDef bake_method() { return py::method_def<bake_impl>("bake", kBakeDoc); }
PyMethodDef index_method() { return py::method_def<index_impl>("index", kIndexDoc); }

}  // namespace korvex::native
