// Conversions from Python argument objects to native values, shared by both
// entry points, and the error helpers around them.
//
// Each converter returns false with a Python exception set when the object
// is refused. Converters that may run Python code (iteration, __index__)
// hold strong references to everything they read, so code that mutates the
// containers meanwhile can make the call fail but never free what is in use.
//
// No native exception unwinds into the interpreter: one thrown inside a
// critical section is caught there, before the section ends; any other is
// caught by the fast-call entry. Either way std::bad_alloc becomes
// MemoryError and anything else RuntimeError (what() where there is one).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "py_compat.hpp"
#include "py_ref.hpp"

namespace korvex::py {

// A length reported by __len__ only sizes the first allocation, and a
// user-defined __len__ may claim anything; growth beyond this is amortised.
inline constexpr Py_ssize_t kReserveLimit = 4096;

// Raises RuntimeError with a native error text. The text is UTF-8; anything
// that is not is shown with replacement characters rather than lost.
inline void raise_runtime_error(std::string_view text) noexcept {
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
}

// The RuntimeError text of a native exception that carries none of its own.
inline constexpr const char* kUnknownNativeFailure = "unknown native failure";

// A native exception as the Python exception it becomes, kept without
// touching the interpreter, so that code running with the lock released can
// hold it until the lock is back.
struct NativeError {
  bool out_of_memory = false;  // MemoryError; otherwise RuntimeError(message)
  std::string message;
};

// The exception being handled as a NativeError. Call only inside a catch
// block. Copying the text may itself run out of memory, which then counts.
inline NativeError current_native_error() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return NativeError{true, {}};
  } catch (const std::exception& error) {
    try {
      return NativeError{false, error.what()};
    } catch (...) {
      return NativeError{true, {}};
    }
  } catch (...) {
    try {
      return NativeError{false, kUnknownNativeFailure};
    } catch (...) {
      return NativeError{true, {}};
    }
  }
}

// Sets the Python exception for `error`; the lock must be held.
inline void raise_native_error(const NativeError& error) noexcept {
  if (error.out_of_memory) {
    PyErr_NoMemory();
  } else {
    raise_runtime_error(error.message);
  }
}

// Sets the Python exception for the native exception being handled. Call
// only inside a catch block, with the lock held.
inline void raise_current_exception() noexcept { raise_native_error(current_native_error()); }

// Runs body() (returning true on success, false with a Python exception set)
// inside a critical section on `object`. Whatever it throws is caught before
// the section ends and raised as a Python exception; the result is false.
template <class Body>
bool in_critical_section(PyObject* object, Body&& body) noexcept {
  bool ok = false;
  KX_BEGIN_CRITICAL_SECTION(object);
  try {
    ok = body();
  } catch (...) {
    raise_current_exception();
    ok = false;
  }
  KX_END_CRITICAL_SECTION();
  return ok;
}

using FastcallBody = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The function-table entry of an entry point: the fast calling convention
// with keywords, around a body whose native exceptions must never reach the
// interpreter. A body catches whatever the core throws while the lock is
// released, so anything that arrives here was thrown with the lock held.
template <FastcallBody Body>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    return Body(args, nargs, kwnames);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

template <FastcallBody Body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

namespace detail {

inline void attach_note(PyObject* exception, const char* note) {
  Ref result = Ref::steal(PyObject_CallMethod(exception, "add_note", "s", note));
  // The original exception matters more than its note: an exception type
  // that refuses notes keeps its own error, and the note is lost.
  if (!result) PyErr_Clear();
}

}  // namespace detail

// Adds "while converting argument '<name>'" to the exception being raised.
inline void note_argument(const char* name) {
  std::string note = "while converting argument '";
  note += name;
  note += '\'';
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  detail::attach_note(exception, note.c_str());
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    detail::attach_note(value, note.c_str());
  }
  PyErr_Restore(type, value, traceback);
#endif
}

// A str (or subclass) as a view of its UTF-8 bytes, which the object owns
// (for a non-ASCII string, a copy the interpreter caches in it) and keeps
// unchanged for as long as it lives; a lone surrogate raises the
// interpreter's UnicodeEncodeError. Runs no Python code.
inline bool utf8_view(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// A str (or subclass) as a copy of its UTF-8 bytes.
inline bool copy_utf8(PyObject* object, std::string& out) {
  std::string_view view;
  if (!utf8_view(object, view)) return false;
  out.assign(view);
  return true;
}

// The items of a sequence, in iteration order, each through convert_item
// (PyObject*, T&) -> bool. A str itself is refused instead of being read as
// a sequence of characters; so are objects that fail the sequence check
// (sets, dicts, generators).
template <class T, class ConvertItem>
bool copy_sequence(PyObject* sequence, std::vector<T>& out, ConvertItem convert_item) {
  if (PyUnicode_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'", Py_TYPE(sequence)->tp_name);
    return false;
  }
  Py_ssize_t hint = PySequence_Size(sequence);
  if (hint < 0) {
    // The length only sizes the first allocation; a broken __len__ costs
    // nothing but that.
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kReserveLimit)));

  // A list is read from a copy taken in one step. Its critical section alone
  // would not keep it still: without the GIL, a conversion that waits (for
  // another thread's first UTF-8 conversion of the same str) suspends the
  // section, and other threads may change the list meanwhile, which would
  // give a list it never held.
  Ref snapshot;
  if (PyList_CheckExact(sequence)) {
    snapshot = Ref::steal(PyList_AsTuple(sequence));
    if (!snapshot) return false;
    sequence = snapshot.get();
  }
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  return in_critical_section(sequence, [&] {
    for (;;) {
      Ref item = Ref::steal(PyIter_Next(iterator.get()));
      if (!item) return !PyErr_Occurred();
      T value{};
      if (!convert_item(item.get(), value)) return false;
      out.push_back(std::move(value));
    }
  });
}

// A sequence of str, in iteration order (see copy_sequence).
inline bool copy_str_sequence(PyObject* sequence, std::vector<std::string>& out) {
  return copy_sequence(sequence, out, copy_utf8);
}

// Walks a dict (or subclass) in its own order inside its critical section,
// calling visit(key, value) -> bool with strong references to both, so that
// Python code run by the visit cannot free them; stops at the first false.
// A dict that changes size meanwhile ends the walk with RuntimeError.
//
// Without the GIL an exact dict is walked as a copy taken in one step: a
// visit that waits (for another thread's first UTF-8 conversion of the same
// str, or for a list that another thread holds) suspends the critical
// section, and other threads could change the dict in between, so that the
// walk would read a dict that never was. Only the visits for which
// may_run_code(value) holds are then watched for resizing the caller's dict:
// other threads resizing it is no fault of the input.
template <class Visit, class MayRunCode>
bool walk_dict(PyObject* dict, Visit visit, MayRunCode may_run_code) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'dict'", Py_TYPE(dict)->tp_name);
    return false;
  }
  Ref copy;
#ifdef Py_GIL_DISABLED
  if (PyDict_CheckExact(dict)) {
    copy = Ref::steal(PyDict_Copy(dict));
    if (!copy) return false;
  }
#endif
  PyObject* walked = copy ? copy.get() : dict;
  return in_critical_section(walked, [&] {
    const Py_ssize_t size = PyDict_GET_SIZE(walked);
    Py_ssize_t position = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    while (PyDict_Next(walked, &position, &borrowed_key, &borrowed_value)) {
      // Own both before anything can run Python code that might drop them.
      Ref key = Ref::borrow(borrowed_key);
      Ref value = Ref::borrow(borrowed_value);
      const bool watched = !copy || may_run_code(value.get());
      if (!visit(key.get(), value.get())) return false;
      if (watched && PyDict_GET_SIZE(dict) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return false;
      }
    }
    return true;
  });
}

template <class Visit>
bool walk_dict(PyObject* dict, Visit visit) {
  return walk_dict(dict, visit, [](PyObject*) { return true; });
}

// An integer through __index__ (True counts as 1), in 0 .. 2^64 - 1;
// OverflowError outside that range.
inline bool copy_u64(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

}  // namespace korvex::py
