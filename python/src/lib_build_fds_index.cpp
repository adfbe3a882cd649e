// build_fds_index: views the texts of four dictionaries as the maps of an
// FdsIndexView (no text is copied before it is encoded),
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
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/huge_pages.hpp"
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

// Every text of the four dictionaries, viewed where its str object keeps
// its UTF-8 bytes (utf8_view). While no Python code can run, the
// dictionaries hold every such object and nothing can change them: the
// lock is never released, so no other thread runs either. The first
// conversion that may run Python code (which could rewrite a dictionary
// already walked, or let other threads run) first takes a strong reference
// to every object viewed so far, and to each one after; a build without
// the global lock holds them from the start. The usual input thus never
// touches the objects again at the end only to drop references, a pass of
// cache misses over millions of objects.
class Texts {
 public:
  Texts() {
#ifdef Py_GIL_DISABLED
    holding_ = true;
#endif
  }
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;
  ~Texts() {
    if (holding_)
      for (PyObject* object : objects_) Py_DECREF(object);
  }

  void reserve(std::size_t n) { objects_.reserve(n); }
  bool view(PyObject* object, std::string_view& out) {
    if (!utf8_view(object, out)) return false;
    objects_.push_back(object);
    if (holding_) Py_INCREF(object);
    return true;
  }
  // Call before anything that may run Python code.
  void hold() noexcept {
    if (holding_) return;
    for (PyObject* object : objects_) Py_INCREF(object);
    holding_ = true;
  }

 private:
  LargeVector<PyObject*> objects_;
  bool holding_ = false;
};

// An import list as a range of the flat list of every import, which only
// becomes a span once the flat list has stopped growing.
struct ItemRange {
  std::size_t begin = 0, count = 0;
};

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

// A sequence of str, appended to `items` (see copy_sequence). An exact list
// or tuple, the common case, is read in place under its critical section:
// nothing in that loop runs Python code.
bool copy_str_items(PyObject* sequence, Texts& texts, LargeVector<std::string_view>& items, ItemRange& out) {
  out.begin = items.size();
  bool ok = false;
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
#ifdef Py_GIL_DISABLED
    // A list is read from a copy taken in one step, as copy_sequence does.
    Ref copy = Ref::steal(PySequence_Tuple(sequence));
    if (!copy) return false;
    sequence = copy.get();
#endif
    ok = in_critical_section(sequence, [&] {
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
      for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view item;
        if (!texts.view(PySequence_Fast_GET_ITEM(sequence, i), item)) return false;
        items.push_back(item);
      }
      return true;
    });
  } else {
    std::vector<std::string_view> list;
    ok = copy_sequence(sequence, list, [&](PyObject* item, std::string_view& view) { return texts.view(item, view); });
    items.insert(items.end(), list.begin(), list.end());
  }
  out.count = items.size() - out.begin;
  return ok;
}

// Keys are distinct as Python objects, but str subclasses with their own
// __eq__/__hash__ (or a dictionary rewritten mid-walk) can yield equal
// UTF-8 keys; the archive's tables need each key once.
template <class V>
bool check_unique_keys(const fds::EntryViews<V>& entries) {
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
bool converts_silently(PyObject*, const std::string_view*) { return true; }
bool converts_silently(PyObject* value, const fds::Span*) {
  return PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2 && PyLong_CheckExact(PyTuple_GET_ITEM(value, 0)) &&
         PyLong_CheckExact(PyTuple_GET_ITEM(value, 1));
}
bool converts_silently(PyObject* value, const ItemRange*) { return PyList_CheckExact(value) || PyTuple_CheckExact(value); }

// Converts a dict (or subclass) in its own order: every key must be a str,
// every value is converted by convert_value. Keys of a dict are distinct,
// so the uniqueness check is only needed when a key is a str subclass or a
// conversion may have run Python code that rewrote the dict mid-walk.
template <class V, class Convert>
bool copy_dict(PyObject* dict, Texts& texts, fds::EntryViews<V>& out, Convert convert_value) {
  // A dict's size is its real entry count (unlike a sequence's __len__),
  // and the dict itself already holds more memory than these slots.
  if (PyDict_Check(dict)) out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  bool may_repeat_keys = false;
  const auto may_run_code = [](PyObject* value) { return !converts_silently(value, static_cast<const V*>(nullptr)); };
  const bool ok = walk_dict(dict, [&](PyObject* key, PyObject* value) {
    const bool silent = converts_silently(value, static_cast<const V*>(nullptr));
    may_repeat_keys = may_repeat_keys || !PyUnicode_CheckExact(key) || !silent;
    if (!silent) texts.hold();
    std::string_view key_text;
    V converted{};
    if (!texts.view(key, key_text) || !convert_value(value, converted)) return false;
    out.emplace_back(key_text, converted);
    return true;
  }, may_run_code);
  return ok && (!may_repeat_keys || check_unique_keys(out));
}

template <class V, class Convert>
bool convert_argument(PyObject* object, std::size_t index, Texts& texts, fds::EntryViews<V>& out,
                      Convert convert_value) {
  if (copy_dict(object, texts, out, convert_value)) return true;
  note_argument(kParameterNames[index]);
  return false;
}

PyObject* build_fds_index_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameterNames.size()> slots{};
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;

  // A key and at most a value per entry, and about as many imports as
  // entries: sizes the references once for the usual input.
  std::size_t hint = 0;
  for (PyObject* map : slots)
    if (PyDict_Check(map)) hint += 2 * static_cast<std::size_t>(PyDict_GET_SIZE(map));
  Texts texts;
  texts.reserve(hint);
  LargeVector<std::string_view> imports;
  fds::EntryViews<ItemRange> dep_ranges;
  fds::FdsIndexView index;
  const auto view = [&texts](PyObject* object, std::string_view& out) { return texts.view(object, out); };
  const auto imports_of = [&](PyObject* object, ItemRange& out) {
    return copy_str_items(object, texts, imports, out);
  };
  if (!convert_argument(slots[0], 0, texts, index.type_to_file, view) ||
      !convert_argument(slots[1], 1, texts, index.file_to_span, copy_span) ||
      !convert_argument(slots[2], 2, texts, dep_ranges, imports_of) ||
      !convert_argument(slots[3], 3, texts, index.ext_to_file, view)) {
    return nullptr;
  }
  index.dep_graph.reserve(dep_ranges.size());
  for (const auto& [key, range] : dep_ranges)
    index.dep_graph.emplace_back(key, std::span<const std::string_view>(imports).subspan(range.begin, range.count));
  dep_ranges = {};

  index = fds::canonical_index(std::move(index));

  // The archive is written straight into a bytes object sized to the
  // payload's bound, then shrunk to its size (in place: the allocator keeps
  // the start of a block it shortens); the bound's pages past the end are
  // never touched. Only a bound beyond what a bytes object may hold takes
  // the copying way.
  const std::size_t bound = fds::payload_bound(index);
  Ref bytes;
  std::span<std::uint8_t> storage;
  if (bound < static_cast<std::size_t>(PY_SSIZE_T_MAX) - archive::kHeaderSize) {
    bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(archive::kHeaderSize + bound)));
    if (!bytes) return nullptr;
    storage = std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())) + archive::kHeaderSize, bound);
    advise_huge_pages(storage.data(), storage.size());  // as the writer's own buffers
  }
  Result<archive::FramedArchive> archive = fds::to_framed(index, storage);
  index = fds::FdsIndexView{};
  if (!archive) {
    raise_runtime_error(archive.error().message);
    return nullptr;
  }
  if (!archive->in_lent_storage()) {
    bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(archive->size())));
    if (bytes) archive->copy_to(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
    return bytes.release();
  }
  std::memcpy(PyBytes_AS_STRING(bytes.get()), archive->header().data(), archive::kHeaderSize);
  // The archive only lent the storage: resizing it leaves nothing dangling.
  PyObject* out = bytes.release();
  if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(archive->size())) != 0) return nullptr;
  return out;
}

}  // namespace

PyMethodDef build_fds_index_def = method_def<build_fds_index_impl>("build_fds_index", docs::kBuildFdsIndex);

}  // namespace korvex::py
