// build_fds_index: converts four dictionaries into the maps of an FdsIndex,
// puts each into canonical order and returns the encoded index archive.
//
// The interpreter lock is held throughout. Converting values can run Python
// code (__index__, sequence iteration) that may mutate the dictionary being
// walked; the walk therefore keeps strong references to the entry in hand,
// stops with RuntimeError when the dictionary changes size, and refuses keys
// that turn out equal once converted, so that a hostile input can make the
// call fail but never corrupt memory or the archive.

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "docstrings.hpp"
#include "fds_index/fds_index.hpp"
#include "lib_functions.hpp"
#include "py_args.hpp"
#include "py_convert.hpp"
#include "py_ref.hpp"

namespace korvex::py {
namespace {

constexpr std::array<const char*, 4> kParameterNames = {"type_to_file", "file_to_span", "dep_graph",
                                                        "ext_to_file"};
constexpr Signature kSignature{"build_fds_index", kParameterNames, 4};

// A tuple (or tuple subclass, such as a named tuple) of exactly two
// integers; the length is checked before either item is converted.
bool copy_span(PyObject* object, fds::Span& out) {
  if (!PyTuple_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'tuple'", Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected a tuple of length 2, got length %zd", length);
    return false;
  }
  Ref start = Ref::borrow(PyTuple_GET_ITEM(object, 0));
  Ref end = Ref::borrow(PyTuple_GET_ITEM(object, 1));
  return copy_u64(start.get(), out.start) && copy_u64(end.get(), out.end);
}

// Keys are distinct as Python objects, but str subclasses with their own
// __eq__/__hash__ (or a dictionary rewritten mid-walk) can yield equal
// UTF-8 keys; the archive's tables need each key once.
template <class V>
bool check_unique_keys(const fds::Entries<V>& entries) {
  std::vector<std::string_view> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries) keys.emplace_back(entry.first);
  std::sort(keys.begin(), keys.end());
  const auto duplicate = std::adjacent_find(keys.begin(), keys.end());
  if (duplicate == keys.end()) return true;
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(duplicate->data(), static_cast<Py_ssize_t>(duplicate->size()), "replace"));
  if (key) PyErr_Format(PyExc_ValueError, "duplicate key %R", key.get());
  return false;
}

// Whether converting `value` is certain to run no Python code, so that the
// dictionary cannot have been changed by the conversion itself.
bool converts_silently(PyObject*, const std::string*) { return true; }
bool converts_silently(PyObject* value, const fds::Span*) {
  return PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2 && PyLong_CheckExact(PyTuple_GET_ITEM(value, 0)) &&
         PyLong_CheckExact(PyTuple_GET_ITEM(value, 1));
}
bool converts_silently(PyObject* value, const std::vector<std::string>*) {
  return PyList_CheckExact(value) || PyTuple_CheckExact(value);
}

// Converts a dict (or subclass) in its own order: every key must be a str,
// every value is converted by convert_value. Keys of a dict are distinct,
// so the uniqueness check is only needed when a key is a str subclass or a
// conversion may have run Python code that rewrote the dict mid-walk.
template <class V, class Convert>
bool copy_dict(PyObject* dict, fds::Entries<V>& out, Convert convert_value) {
  // A dict's size is its real entry count (unlike a sequence's __len__),
  // and the dict itself already holds more memory than these slots.
  if (PyDict_Check(dict)) out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  bool may_repeat_keys = false;
  const bool ok = walk_dict(dict, [&](PyObject* key, PyObject* value) {
    may_repeat_keys = may_repeat_keys || !PyUnicode_CheckExact(key) ||
                      !converts_silently(value, static_cast<const V*>(nullptr));
    std::string key_text;
    V converted{};
    if (!copy_utf8(key, key_text) || !convert_value(value, converted)) return false;
    out.emplace_back(std::move(key_text), std::move(converted));
    return true;
  });
  return ok && (!may_repeat_keys || check_unique_keys(out));
}

template <class V, class Convert>
bool convert_argument(PyObject* object, std::size_t index, fds::Entries<V>& out, Convert convert_value) {
  if (copy_dict(object, out, convert_value)) return true;
  note_argument(kParameterNames[index]);
  return false;
}

PyObject* build_fds_index_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameterNames.size()> slots{};
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;

  fds::FdsIndex index;
  if (!convert_argument(slots[0], 0, index.type_to_file, copy_utf8) ||
      !convert_argument(slots[1], 1, index.file_to_span, copy_span) ||
      !convert_argument(slots[2], 2, index.dep_graph, copy_str_sequence) ||
      !convert_argument(slots[3], 3, index.ext_to_file, copy_utf8)) {
    return nullptr;
  }

  index = fds::canonical_index(std::move(index));

  Result<std::vector<std::uint8_t>> archive = fds::to_bytes(index);
  index = fds::FdsIndex{};
  if (!archive) {
    raise_runtime_error(archive.error().message);
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(archive->data()),
                                   static_cast<Py_ssize_t>(archive->size()));
}

}  // namespace

PyMethodDef build_fds_index_def = method_def<build_fds_index_impl>("build_fds_index", docs::kBuildFdsIndex);

}  // namespace korvex::py
