// Owning handle for one strong reference to a Python object.
//
// Every object the module creates or keeps across a call into Python code is
// held by a Ref, so that early returns on error paths cannot leak it and no
// borrowed pointer outlives the object it points to. A Ref must only be
// destroyed while this thread holds the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace korvex::py {

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (possibly null, as returned by a failed call).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }

  // Adds a strong reference to a borrowed pointer.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller (e.g. as a function's return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  // Drops the reference now; the pointer is cleared before the object can
  // run any finaliser, so re-entrant code never sees a dangling value.
  void reset() noexcept {
    PyObject* old = std::exchange(object_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace korvex::py
