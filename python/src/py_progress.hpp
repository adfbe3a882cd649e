// The progress bridge: the minimiser's (done, total) reports, delivered to
// a Python callable while the building thread has released the lock.
//
// The bridge attaches for the duration of one call and detaches again.
// Whatever the callable returns is ignored and whatever it raises is
// discarded: progress display must never change or stop a build, so a
// non-callable object simply fails, silently, at every report. Only a
// KeyboardInterrupt (Ctrl-C arrives in whatever Python code the main thread
// runs, often the callable) is not lost where the entry point asks for it:
// the bridge notes it and calls nothing more, and the entry point raises it
// once the build is over, instead of returning a result. The bridge
// attaches through PyGILState_Ensure, which knows one interpreter per
// thread: a module that uses it declares that it does not support
// sub-interpreters (KX_MOD_MULTIPLE_INTERPRETERS_SLOT).
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_ref.hpp"

namespace korvex::py {

class ProgressCallback {
 public:
  // `callable` must outlive the bridge; the entry point that makes the
  // bridge keeps a strong reference for the whole call. `interrupted`, when
  // given, is set on a KeyboardInterrupt; the build runs on the caller's
  // thread, so a plain flag suffices.
  explicit ProgressCallback(PyObject* callable, bool* interrupted = nullptr)
      : callable_(callable), interrupted_(interrupted) {}

  // Nothing between taking and giving back the lock can throw: a native
  // exception must never leave this thread attached.
  void operator()(std::uint64_t done, std::uint64_t total) const noexcept {
    if (interrupted_ != nullptr && *interrupted_) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    {
      Ref done_object = Ref::steal(PyLong_FromUnsignedLongLong(done));
      Ref total_object = Ref::steal(PyLong_FromUnsignedLongLong(total));
      if (done_object && total_object) {
        PyObject* arguments[] = {done_object.get(), total_object.get()};
        Ref result = Ref::steal(PyObject_Vectorcall(callable_, arguments, 2, nullptr));
      }
      if (interrupted_ != nullptr && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) *interrupted_ = true;
      PyErr_Clear();
    }
    PyGILState_Release(state);
  }

 private:
  PyObject* callable_;
  bool* interrupted_;
};

}  // namespace korvex::py
