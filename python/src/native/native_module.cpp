// korvex_graph._native: the native part of the korvex_graph package, the
// archive readers of graph/ behind Python objects.
//
// Multi-phase initialisation: the definition has no methods of its own
// (kModuleFunctions is where module-level functions go) and a state that
// holds only the module's types, created per module object from their
// specs by the execution slot, so that each interpreter or reloaded module
// has its own. The package's __init__ re-exports what users need.

#include <Python.h>

#include <cstring>
#include <string>

#include "../py_compat.hpp"
#include "archive/format.hpp"
#include "build_scoring_graph/serial/graph_format.hpp"
#include "fds_index/index_format.hpp"
#include "../py_ref.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::Ref;

namespace {

constexpr char kModuleDoc[] =
    "Native part of korvex_graph: validating, zero-copy readers of graph and index archives.";

constexpr char kArchiveErrorDoc[] =
    "The bytes are not a valid archive of the kind asked for.\n"
    "\n"
    "The message names the file offset of the faulty field and what is wrong with it.";

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The archives' magic, header size and format versions, and the node type
// codes with their names,
// so that Python tools print and check them without keeping copies.
bool add_format_constants(PyObject* module) {
  if (PyModule_AddIntConstant(module, "GRAPH_FORMAT_VERSION", static_cast<long>(serial::kGraphFormatVersion)) < 0 ||
      PyModule_AddIntConstant(module, "INDEX_FORMAT_VERSION", static_cast<long>(fds::kIndexFormatVersion)) < 0 ||
      PyModule_AddIntConstant(module, "ARCHIVE_HEADER_SIZE", static_cast<long>(archive::kHeaderSize)) < 0)
    return false;
  Ref magic = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(archive::kMagic.data()),
                                      static_cast<Py_ssize_t>(archive::kMagic.size())));
  if (!magic || PyModule_AddObjectRef(module, "ARCHIVE_MAGIC", magic.get()) < 0) return false;
  Ref names = Ref::steal(PyDict_New());
  if (!names) return false;
  for (const auto& [code, name] : node_type::kNames) {
    Ref key = Ref::steal(PyLong_FromLong(code));
    Ref value = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key || !value || PyDict_SetItem(names.get(), key.get(), value.get()) < 0) return false;
  }
  Ref frozen = Ref::steal(PyDictProxy_New(names.get()));  // read-only: every module user shares it
  return frozen && PyModule_AddObjectRef(module, "NODE_TYPE_NAMES", frozen.get()) == 0;
}

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  state->archive_error =
      PyErr_NewExceptionWithDoc("korvex_graph.ArchiveError", kArchiveErrorDoc, PyExc_ValueError, nullptr);
  if (state->archive_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "ArchiveError", state->archive_error) < 0) return -1;
  if (!add_format_constants(module)) return -1;
  if (!add_graph_types(module, *state) || !add_index_types(module, *state) || !add_identify_types(module, *state) ||
      !add_file_types(module, *state))
    return -1;
  return 0;
}

template <class F>
void for_each_reference(ModuleState* state, F&& f) {
  f(state->archive_error);
  f(state->payload_error);
  for (PyTypeObject** type : {&state->graph_type, &state->node_type, &state->transition_type, &state->root_type,
                              &state->span_type, &state->index_type, &state->map_iterator_type,
                              &state->match_type, &state->file_bytes_type})
    f(reinterpret_cast<PyObject*&>(*type));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  int result = 0;
  for_each_reference(state, [&](PyObject*& object) {
    if (result == 0 && object != nullptr) result = visit(object, arg);
  });
  return result;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state != nullptr) for_each_reference(state, [](PyObject*& object) { Py_CLEAR(object); });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// Module-level functions.
PyMethodDef kModuleFunctions[] = {
    bake_method(),
    index_method(),
    convert_method(),
    read_file_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    KX_MOD_GIL_NOT_USED_SLOT
    KX_MOD_MULTIPLE_INTERPRETERS_SLOT  // bake's progress bridge
    {0, nullptr},
};

}  // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvex_graph._native",  // m_name
    kModuleDoc,              // m_doc
    sizeof(ModuleState),     // m_size: the module's types
    kModuleFunctions,        // m_methods
    module_slots,            // m_slots
    traverse_module,         // m_traverse
    clear_module,            // m_clear
    free_module,             // m_free
};

ModuleState* state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_definition);
  if (module == nullptr) return nullptr;
  return module_state(module);
}

PyObject* text_to_str(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= p[i];
  if ((high & 0x8080808080808080) == 0) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (result != nullptr && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(result), text.data(), text.size());
    return result;
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

bool str_argument(PyObject* object, const char* function, std::string_view& out, bool& absent) {
  absent = false;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.200s", function, Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    absent = true;
    return true;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool acquire_bytes(PyObject* source, const char* function, Py_buffer& out, Py_ssize_t place) {
  if (!PyObject_CheckBuffer(source)) {
    if (place < 0)
      PyErr_Format(PyExc_TypeError, "%s() argument must be a bytes-like object, not %.200s", function,
                   Py_TYPE(source)->tp_name);
    else
      PyErr_Format(PyExc_TypeError, "%s() payload %zd must be a bytes-like object, not %.200s", function, place,
                   Py_TYPE(source)->tp_name);
    return false;
  }
  // PyBUF_SIMPLE: contiguous bytes; a strided memoryview is refused by its
  // exporter with BufferError.
  return PyObject_GetBuffer(source, &out, PyBUF_SIMPLE) == 0;
}

namespace {

// The object whose memory a buffer shows: through a memoryview, the
// exporter it was made from; null when there is none.
PyObject* exporter_of(const Py_buffer& buffer) {
  PyObject* object = buffer.obj;
  if (object != nullptr && PyMemoryView_Check(object)) object = PyMemoryView_GET_BASE(object);
  return object;
}

// Whether nothing in this process can change the exporter's bytes while a
// buffer of them is held: a bytes object (exactly: a subclass may export
// other memory), a file read by read_file, or an mmap that refuses to be written (its file is the
// caller's to keep unchanged). The mmap type is looked up where an mmap
// must have come from: no module loaded, no map made.
bool unchangeable(PyObject* exporter) {
  if (exporter == nullptr) return false;
  if (PyBytes_CheckExact(exporter) || is_file_bytes(exporter)) return true;
  Ref name = Ref::steal(PyUnicode_FromString("mmap"));
  Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
  if (!module) {
    PyErr_Clear();
    return false;
  }
  Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "mmap"));
  if (!type || Py_TYPE(exporter) != reinterpret_cast<PyTypeObject*>(type.get())) {
    PyErr_Clear();
    return false;
  }
  Py_buffer writable;
  if (PyObject_GetBuffer(exporter, &writable, PyBUF_WRITABLE) == 0) {
    PyBuffer_Release(&writable);
    return false;
  }
  PyErr_Clear();
  return true;
}

}  // namespace

bool acquire_stable_bytes(PyObject* source, const char* function, Py_buffer& out, Py_ssize_t place) {
  if (!acquire_bytes(source, function, out, place)) return false;
  if (unchangeable(exporter_of(out))) return true;
  // Copied with the lock held, so that no thread of a build with the lock
  // writes the source meanwhile; the checks then run on the copy.
  PyObject* copy = PyBytes_FromStringAndSize(nullptr, out.len);
  if (copy != nullptr && out.len > 0) std::memcpy(PyBytes_AS_STRING(copy), out.buf, static_cast<std::size_t>(out.len));
  PyBuffer_Release(&out);
  if (copy == nullptr) return false;
  const bool held = PyObject_GetBuffer(copy, &out, PyBUF_SIMPLE) == 0;
  Py_DECREF(copy);  // the buffer holds its own reference
  return held;
}

void raise_archive_error(const ModuleState& state, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(state.archive_error, text.get());
}

int visit_type_only(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

}  // namespace korvex::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&korvex::native::module_definition); }
