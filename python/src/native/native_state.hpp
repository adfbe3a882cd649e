// korvex_graph._native: the module state and what its parts share.
//
// The module keeps no state but its types: every type (Graph, Index, the
// records, the sequence and iterator types, ArchiveError) is created per
// module object in the execution slot, from the specs the parts define, and
// lives in ModuleState. Objects reach the state through their type
// (PyType_GetModuleByDef), or through the Graph/Index they belong to, which
// stores it at open: the object holds its type, the type holds the module,
// so the state outlives every object that points at it.
//
// Adding to the module: a function goes into kModuleFunctions
// (native_module.cpp) with its entry declared below, a method of Graph
// or Index into its method table.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "common/result.hpp"

namespace korvex::native {

struct ModuleState {
  PyObject* archive_error;  // ArchiveError, a ValueError subclass
  PyTypeObject* graph_type;
  PyTypeObject* node_type;
  PyTypeObject* transition_type;  // structseq records
  PyTypeObject* root_type;
  PyTypeObject* span_type;
  PyTypeObject* index_type;
  PyTypeObject* map_iterator_type;
  PyObject* payload_error;  // PayloadError, a ValueError subclass (graph_identify.cpp)
  PyTypeObject* match_type;
  PyTypeObject* file_bytes_type;  // read_file's buffers (file_bytes.cpp)
};

extern PyModuleDef module_definition;

// The state of the module that created `type` (or the type a subclass
// derives from); null with TypeError set if there is none.
ModuleState* state_of(PyTypeObject* type);

// Function-table entries of the module-level functions (bake_functions.cpp),
// made by functions rather than kept in globals so that the table that
// copies them does not depend on another file's initialisation order.
PyMethodDef bake_method();
PyMethodDef index_method();
PyMethodDef convert_method();
PyMethodDef read_file_method();  // file_bytes.cpp

// Creation of each part's types into the state, called by the execution
// slot; false with an exception set on failure.
bool add_graph_types(PyObject* module, ModuleState& state);
bool add_index_types(PyObject* module, ModuleState& state);
bool add_identify_types(PyObject* module, ModuleState& state);
bool add_file_types(PyObject* module, ModuleState& state);

// Whether `object` holds bytes read by read_file, which nothing changes.
bool is_file_bytes(PyObject* object);

// UTF-8 text of the archive as a new str: copied directly when it is ASCII
// (almost always), decoded strictly otherwise.
PyObject* text_to_str(std::string_view text);

// The UTF-8 bytes of a str argument. Returns false with TypeError for a
// non-str; `absent` is set instead for a str that has no UTF-8 form (a lone
// surrogate), which no archive key can equal.
bool str_argument(PyObject* object, const char* function, std::string_view& out, bool& absent);

// A read-only view of the bytes of a buffer-protocol object, held until
// released: the exporter refuses to resize (bytearray) or close (mmap)
// meanwhile. TypeError names `function` for an object without buffers,
// and the payload's `place` in a list when it is not negative.
bool acquire_bytes(PyObject* source, const char* function, Py_buffer& out, Py_ssize_t place = -1);

// The bytes of a source that is read with the lock released (an archive,
// a payload), held until released: the source's own when nothing in this
// process can change them meanwhile (a bytes object, a read-only mmap),
// else a private copy. Holding a bytearray's buffer stops it resizing but
// not another thread writing it, and readers trust what they checked: an
// archive's checks at open, a payload's first pass over its fields.
bool acquire_stable_bytes(PyObject* source, const char* function, Py_buffer& out, Py_ssize_t place = -1);

// Raises ArchiveError with a reader's message.
void raise_archive_error(const ModuleState& state, std::string_view message);

// `cls`.open(source) for an archive object (Graph, Index): a struct with
// `state`, `buffer`, `opened` and a `view` whose View::open checks the
// bytes. The checks read the whole archive, so they run with the lock
// released; the buffer stays exported meanwhile, so its owner can neither
// resize nor free it. The object holds the buffer until close_archive.
template <class Object, class View>
PyObject* open_archive(PyObject* cls, PyObject* source) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  ModuleState* state = state_of(type);
  if (state == nullptr) return nullptr;
  Py_buffer buffer;
  if (!acquire_stable_bytes(source, "open", buffer)) return nullptr;
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(buffer.buf),
                                            static_cast<std::size_t>(buffer.len));
  std::optional<Result<View>> opened;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    opened.emplace(View::open(bytes));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory || !*opened) {
    PyBuffer_Release(&buffer);
    if (out_of_memory) return PyErr_NoMemory();
    raise_archive_error(*state, (*opened).error().message);
    return nullptr;
  }
  auto* object = reinterpret_cast<Object*>(type->tp_alloc(type, 0));
  if (object == nullptr) {
    PyBuffer_Release(&buffer);
    return nullptr;
  }
  object->state = state;
  object->buffer = buffer;
  new (&object->view) View(std::move(**opened));
  object->opened = true;
  return reinterpret_cast<PyObject*>(object);
}

// Ends what open_archive began: the view, then the buffer.
template <class Object, class View>
void close_archive(Object* object) {
  if (!object->opened) return;
  object->opened = false;
  object->view.~View();
  PyBuffer_Release(&object->buffer);
}

// Heap types of the module are GC types that visit their type.
int visit_type_only(PyObject* self, visitproc visit, void* arg);

}  // namespace korvex::native
