// Index: the descriptor-set index archive behind Python lookups, and the
// iterator over one of its maps; the Span record.
//
// Like Graph, an Index holds a Py_buffer for its whole life (its source's,
// or a private copy of a source that could change) and the IndexView
// checked at open. A lookup converts its argument, runs
// one probe of the archive's own table and makes the result object; it
// allocates nothing else. The four maps are numbered in archive order
// (0 type_to_file, 1 file_to_span, 2 dep_graph, 3 ext_to_file) for the
// generic methods the package's mapping views are built on.

#include <Python.h>

#include <exception>
#include <new>
#include <optional>

#include "../py_ref.hpp"
#include "fds_index/index_view.hpp"
#include "native_state.hpp"

namespace korvex::native {

using fds::IndexView;
using py::Ref;

namespace {

struct IndexObject {
  PyObject_HEAD
  ModuleState* state;
  Py_buffer buffer;
  bool opened;
  IndexView view;  // constructed in place at open
};

enum class Part : int { kKeys = 0, kValues = 1, kItems = 2 };

struct MapIteratorObject {
  PyObject_HEAD
  IndexObject* index;
  int which;
  Part part;
  std::uint32_t bucket;  // next bucket to look at
};

PyStructSequence_Field kSpanFields[] = {
    {"start", "offset of the file's first byte in the .pb file"},
    {"end", "offset just past its last byte"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kSpanDesc = {
    "korvex_graph.Span",
    "Span(start, end): where a file's descriptor lies in the raw .pb file.",
    kSpanFields,
    2,
};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

// ------------------------------------------------------------------ values

PyObject* to_python(const ModuleState&, std::string_view text) { return text_to_str(text); }

PyObject* to_python(const ModuleState& state, const fds::Span& span) {
  Ref record = Ref::steal(PyStructSequence_New(state.span_type));
  if (!record) return nullptr;
  PyObject* start = PyLong_FromUnsignedLongLong(span.start);
  PyObject* end = start == nullptr ? nullptr : PyLong_FromUnsignedLongLong(span.end);
  if (end == nullptr) {
    Py_XDECREF(start);
    return nullptr;
  }
  PyStructSequence_SetItem(record.get(), 0, start);
  PyStructSequence_SetItem(record.get(), 1, end);
  return record.release();
}

PyObject* to_python(const ModuleState&, const fds::Strings& list) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const std::string_view item : list) {
    PyObject* text = text_to_str(item);
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, text);
  }
  return tuple.release();
}

template <class V>
PyObject* optional_value(const ModuleState& state, const std::optional<V>& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(state, *value);
}

// Calls f(map view) for map `which`; ValueError for another number.
template <class F>
PyObject* with_map(const IndexView& view, int which, F&& f) {
  switch (which) {
    case 0: return f(view.type_to_file());
    case 1: return f(view.file_to_span());
    case 2: return f(view.dep_graph());
    case 3: return f(view.ext_to_file());
    default: PyErr_Format(PyExc_ValueError, "map number %d is not one of 0, 1, 2, 3", which); return nullptr;
  }
}

// A small int argument (a map or part number); anything else is refused.
bool map_number(PyObject* object, int& which) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  which = value < -1 || value > 16 ? -1 : static_cast<int>(value);
  return true;
}

// ------------------------------------------------------------------- Index

PyObject* index_open(PyObject* cls, PyObject* source) { return open_archive<IndexObject, IndexView>(cls, source); }

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  close_archive<IndexObject, IndexView>(as_index(self));
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* index_file_of_type(PyObject* self, PyObject* name) {
  std::string_view key;
  bool absent = false;
  if (!str_argument(name, "file_of_type", key, absent)) return nullptr;
  if (absent) Py_RETURN_NONE;
  IndexObject* index = as_index(self);
  return optional_value(*index->state, index->view.file_of_type(key));
}

PyObject* index_span_of_file(PyObject* self, PyObject* file) {
  std::string_view key;
  bool absent = false;
  if (!str_argument(file, "span_of_file", key, absent)) return nullptr;
  if (absent) Py_RETURN_NONE;
  IndexObject* index = as_index(self);
  return optional_value(*index->state, index->view.span_of_file(key));
}

PyObject* index_imports_of(PyObject* self, PyObject* file) {
  std::string_view key;
  bool absent = false;
  if (!str_argument(file, "imports_of", key, absent)) return nullptr;
  if (absent) Py_RETURN_NONE;
  IndexObject* index = as_index(self);
  return optional_value(*index->state, index->view.imports_of(key));
}

PyObject* index_file_of_extension(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "file_of_extension() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  std::string_view extendee;
  bool absent = false;
  if (!str_argument(args[0], "file_of_extension", extendee, absent)) return nullptr;
  Ref number_object = Ref::steal(PyNumber_Index(args[1]));
  if (!number_object) return nullptr;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(number_object.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return nullptr;
  // Keys hold 64-bit numbers at most; nothing else can be found.
  if (absent || overflow != 0) Py_RETURN_NONE;
  IndexObject* index = as_index(self);
  return optional_value(*index->state, index->view.file_of_extension(extendee, number));
}

PyObject* index_map_len(PyObject* self, PyObject* which_object) {
  int which = 0;
  if (!map_number(which_object, which)) return nullptr;
  return with_map(as_index(self)->view, which, [](const auto& map) { return PyLong_FromSize_t(map.size()); });
}

PyObject* index_map_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "_map_get() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  int which = 0;
  if (!map_number(args[0], which)) return nullptr;
  std::string_view key;
  bool absent = false;
  if (!str_argument(args[1], "_map_get", key, absent)) return nullptr;
  IndexObject* index = as_index(self);
  return with_map(index->view, which, [&](const auto& map) -> PyObject* {
    if (absent) Py_RETURN_NONE;
    return optional_value(*index->state, map.find(key));
  });
}

PyObject* index_map_iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "_map_iter() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  int which = 0;
  int part = 0;
  if (!map_number(args[0], which) || !map_number(args[1], part)) return nullptr;
  if (which < 0 || which > 3 || part < 0 || part > 2) {
    PyErr_Format(PyExc_ValueError, "no map %d or part %d", which, part);
    return nullptr;
  }
  IndexObject* index = as_index(self);
  auto* it = PyObject_GC_New(MapIteratorObject, index->state->map_iterator_type);
  if (it == nullptr) return nullptr;
  Py_INCREF(index);
  it->index = index;
  it->which = which;
  it->part = static_cast<Part>(part);
  it->bucket = 0;
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject*>(it);
}

PyObject* index_repr(PyObject* self) {
  const IndexView& v = as_index(self)->view;
  return PyUnicode_FromFormat("<korvex_graph.Index: %zu types, %zu files, %zu import lists, %zu extensions>",
                              v.type_to_file().size(), v.file_to_span().size(), v.dep_graph().size(),
                              v.ext_to_file().size());
}

PyObject* index_get_nbytes(PyObject* self, void*) { return PyLong_FromSsize_t(as_index(self)->buffer.len); }

PyMethodDef index_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(index_open), METH_O | METH_CLASS,
     "open($cls, source, /)\n--\n\n"
     "Check the index archive in `source` (a bytes-like object) and return a view of it.\n\n"
     "bytes and read-only mmaps are read in place, held until the index is collected; other buffers,\n"
     "which could change after the checks, are copied first.\n"
     "Raises ArchiveError, with the offset and the fault, if the bytes are not a valid index archive."},
    {"file_of_type", reinterpret_cast<PyCFunction>(index_file_of_type), METH_O,
     "file_of_type($self, name, /)\n--\n\nThe file that defines the fully-qualified type `name`, or None."},
    {"span_of_file", reinterpret_cast<PyCFunction>(index_span_of_file), METH_O,
     "span_of_file($self, file, /)\n--\n\nThe Span of `file` in the raw .pb file, or None."},
    {"imports_of", reinterpret_cast<PyCFunction>(index_imports_of), METH_O,
     "imports_of($self, file, /)\n--\n\nThe files `file` imports directly, in order, or None."},
    {"file_of_extension", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_file_of_extension)),
     METH_FASTCALL,
     "file_of_extension($self, extendee, number, /)\n--\n\n"
     "The file that defines extension `number` of message `extendee`, or None."},
    {"_map_len", reinterpret_cast<PyCFunction>(index_map_len), METH_O,
     "_map_len($self, which, /)\n--\n\nNumber of entries of map `which` (0 to 3, in archive order)."},
    {"_map_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_map_get)), METH_FASTCALL,
     "_map_get($self, which, key, /)\n--\n\nThe value of `key` in map `which`, or None."},
    {"_map_iter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_map_iter)), METH_FASTCALL,
     "_map_iter($self, which, part, /)\n--\n\n"
     "Iterator over map `which` in bucket order: keys (part 0), values (1) or (key, value) pairs (2)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"nbytes", index_get_nbytes, nullptr, "Size of the archive in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("A descriptor-set index archive, checked once at open and read in place.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(visit_type_only)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "korvex_graph._native.Index",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    index_slots,
};

// ------------------------------------------------------------ MapIterator

MapIteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<MapIteratorObject*>(self); }

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_iterator(self)->index);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iterator(self)->index);
  return 0;
}

PyObject* iterator_next(PyObject* self) {
  MapIteratorObject* it = as_iterator(self);
  const ModuleState& state = *it->index->state;
  return with_map(it->index->view, it->which, [&](const auto& map) -> PyObject* {
    const auto entry = map.from(it->bucket);
    if (entry == map.end()) {
      it->bucket = map.capacity();
      return nullptr;  // exhausted, no exception set
    }
    it->bucket = entry.bucket() + 1;
    const auto [key, value] = *entry;
    if (it->part == Part::kKeys) return text_to_str(key);
    if (it->part == Part::kValues) return to_python(state, value);
    Ref key_object = Ref::steal(text_to_str(key));
    if (!key_object) return nullptr;
    Ref value_object = Ref::steal(to_python(state, value));
    if (!value_object) return nullptr;
    return PyTuple_Pack(2, key_object.get(), value_object.get());
  });
}

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over one map of an index archive, in bucket order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "korvex_graph._native.MapIterator",
    sizeof(MapIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots,
};

}  // namespace

bool add_index_types(PyObject* module, ModuleState& state) {
  state.index_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &index_spec, nullptr));
  if (state.index_type == nullptr || PyModule_AddType(module, state.index_type) < 0) return false;
  state.map_iterator_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &iterator_spec, nullptr));
  if (state.map_iterator_type == nullptr || PyModule_AddType(module, state.map_iterator_type) < 0) return false;
  state.span_type = PyStructSequence_NewType(&kSpanDesc);
  return state.span_type != nullptr && PyModule_AddType(module, state.span_type) == 0;
}

}  // namespace korvex::native
