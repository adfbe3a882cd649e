// The bridge both modules cross to run a bake (build_graph, and the
// package's bake, index and convert): convert the flags and the progress
// callable, run the work with the interpreter lock released, and raise what
// it left behind once the lock is back.
//
// Invariants: while the lock is released the work touches no Python object
// (the only way back is the progress bridge, which takes the lock for one
// call); every native exception is caught before the lock is taken back and
// kept as plain native values in the Outcome until it can be raised; a
// KeyboardInterrupt raised in on_progress cannot stop the build, but is
// raised once it is over, in place of its result, whatever the result.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "build_scoring_graph/pipeline.hpp"
#include "common/progress.hpp"
#include "py_convert.hpp"
#include "py_progress.hpp"
#include "py_ref.hpp"

namespace korvex::py {

// numpy's boolean scalar, recognised by its type name so that numpy never
// has to be imported ("numpy.bool_" before numpy 2, "numpy.bool" since).
inline bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Exactly True or False, or a numpy boolean by its truth value; integers
// (0 and 1 included) and everything else are refused. An absent argument
// (nullptr) leaves `out` at its default.
inline bool copy_flag(PyObject* object, bool& out) {
  if (object == nullptr) return true;
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

// The caller's on_progress for the length of one call: any object but None
// is kept, callable or not (see ProgressCallback), under a strong reference
// that lives as long as this.
class Progress {
 public:
  explicit Progress(PyObject* on_progress) {
    if (on_progress != nullptr && on_progress != Py_None) callable_ = Ref::borrow(on_progress);
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The bridge for the native side, or an empty one when there is nothing
  // to call. It must not outlive this object.
  ProgressFn bridge() {
    if (!callable_) return {};
    return ProgressCallback(callable_.get(), &interrupted_);
  }

  // After the build, with the lock held: raises KeyboardInterrupt if one
  // landed in on_progress (the build could not stop, but its result is not
  // what the caller is waiting for any more) and says whether it did.
  bool raise_if_interrupted() {
    callable_.reset();
    if (!interrupted_) return false;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return true;
  }

 private:
  Ref callable_;
  bool interrupted_ = false;
};

// What a run left behind once the lock is taken back: plain native values.
template <class T>
struct Outcome {
  enum class Status { kDone, kFailed, kNativeError };
  Status status = Status::kFailed;
  T value{};
  std::string message;               // the stage's error text when kFailed
  std::optional<std::size_t> input;  // the input a failure belongs to
  NativeError native;                // what was thrown, when kNativeError

  bool done() const { return status == Status::kDone; }
  void succeed(T&& result) {
    value = std::move(result);
    status = Status::kDone;
  }
  void fail(std::string&& text, std::optional<std::size_t> at = std::nullopt) {
    message = std::move(text);
    input = at;
    status = Status::kFailed;
  }
};

// Runs work(outcome), which fills the outcome through succeed() or fail(),
// with the lock released; the lock must be held on entry and is held again
// on return. Whatever work throws is caught before the lock is taken back.
template <class T, class Work>
Outcome<T> run_released(Work&& work) noexcept {
  Outcome<T> outcome;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    work(outcome);
  } catch (...) {
    outcome.status = Outcome<T>::Status::kNativeError;
    outcome.native = current_native_error();
  }
  PyEval_RestoreThread(saved);
  return outcome;
}

// Raises what a failed outcome holds; the lock must be held. The message
// stays the stage's own; with `with_input`, the input's position rides
// along as the exception's input_index.
template <class T>
void raise_failure(const Outcome<T>& outcome, bool with_input) {
  if (outcome.status == Outcome<T>::Status::kNativeError) {
    raise_native_error(outcome.native);
    return;
  }
  if (!with_input || !outcome.input) {
    raise_runtime_error(outcome.message);
    return;
  }
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(outcome.message.data(), static_cast<Py_ssize_t>(outcome.message.size()), "replace"));
  if (!text) return;
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
  if (!error) return;
  Ref position = Ref::steal(PyLong_FromSize_t(*outcome.input));
  if (!position || PyObject_SetAttrString(error.get(), "input_index", position.get()) < 0) return;
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

// After the run, with the lock held: whether the outcome is a result to
// hand back; otherwise the KeyboardInterrupt from on_progress, or the
// failure, is raised.
template <class T>
bool settle(Progress& progress, const Outcome<T>& outcome, bool with_input) {
  if (progress.raise_if_interrupted()) return false;
  if (outcome.done()) return true;
  raise_failure(outcome, with_input);
  return false;
}

// UTF-8 text as a new str, or None when absent.
inline Ref optional_text(const std::optional<std::string>& text) {
  if (!text) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict"));
}

inline Ref bytes_of(const std::vector<std::uint8_t>& bytes) {
  return Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

// What every bake hands back first: the archive (bytes), the minimised YAML
// and the initial YAML (str, or None when not asked for), as new objects;
// false with an exception set when one cannot be made.
inline bool bake_objects(const BakeOutput& output, std::array<Ref, 3>& out) {
  out[0] = bytes_of(output.archive);
  if (!out[0]) return false;
  out[1] = optional_text(output.yaml);
  if (!out[1]) return false;
  out[2] = optional_text(output.initial_yaml);
  return static_cast<bool>(out[2]);
}

}  // namespace korvex::py
