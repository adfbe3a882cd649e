// korvex_graph._native.read_file: a regular file's bytes, read into memory
// the module owns, as a read-only memoryview.
//
// Opening an archive from a path reads it into memory, so that nothing
// done to the file later reaches the checked bytes. A bytes object of a
// few megabytes is fresh memory whose every 4 KiB page faults in on first
// touch, which on a virtual machine costs more than reading the file (an
// archive of 4.5 MB: 15 ms of faults for a read of 1.5 ms). Here a file
// of a megabyte or more is read into an anonymous map aligned to and
// advised for huge pages, a handful of faults. The bytes cannot change
// while the view lives (nothing exports them writable), so the readers
// read them in place, as they do a bytes object.

#include <Python.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "../py_ref.hpp"
#include "common/huge_pages.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::Ref;

namespace {

constexpr std::size_t kMapped = std::size_t{1} << 20;  // from this size on, a map of huge pages

struct FileBytes {
  PyObject_HEAD
  std::uint8_t* data;
  Py_ssize_t size;
  std::size_t mapped;  // length of the map at data, 0 when data came from malloc
};

// Memory for `bytes`: an anonymous map on huge-page boundaries from a
// megabyte on, else malloc; null when there is none.
std::uint8_t* allocate(std::size_t bytes, std::size_t& mapped) {
  mapped = 0;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kMapped) {
    const std::size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* region = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return nullptr;
    // Trimmed to an aligned run of `length` bytes.
    const auto start = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) ::munmap(region, aligned - start);
    if (start + kHugePage > aligned) ::munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    mapped = length;
    return reinterpret_cast<std::uint8_t*>(aligned);
  }
#endif
  return static_cast<std::uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes));
}

void release(std::uint8_t* data, std::size_t mapped) {
#if defined(__linux__)
  if (mapped != 0) {
    ::munmap(data, mapped);
    return;
  }
#endif
  std::free(data);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* object = reinterpret_cast<FileBytes*>(self);
  return PyBuffer_FillInfo(view, self, object->data, object->size, 1, flags);  // read-only
}

void dealloc(PyObject* self) {
  auto* object = reinterpret_cast<FileBytes*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (object->data != nullptr) release(object->data, object->mapped);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot file_bytes_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {Py_tp_doc, const_cast<char*>("A file's bytes, read into memory the module owns; read-only.")},
    {0, nullptr},
};

PyType_Spec file_bytes_spec = {
    "korvex_graph._native.FileBytes",
    sizeof(FileBytes),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    file_bytes_slots,
};

PyObject* read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "read_file() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  const long fd = PyLong_AsLong(args[0]);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (fd < 0 || fd > INT_MAX) {
    PyErr_SetString(PyExc_ValueError, "read_file() fd must be a file descriptor");
    return nullptr;
  }
  const Py_ssize_t size = PyLong_AsSsize_t(args[1]);
  if (size == -1 && PyErr_Occurred()) return nullptr;
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError, "read_file() size must be 0 or more");
    return nullptr;
  }
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  Ref object = Ref::steal(PyType_GenericAlloc(state->file_bytes_type, 0));
  if (!object) return nullptr;
  auto* bytes = reinterpret_cast<FileBytes*>(object.get());
  bytes->data = allocate(static_cast<std::size_t>(size), bytes->mapped);
  if (bytes->data == nullptr) return PyErr_NoMemory();
  // From the start, whatever the file object's position; a file that
  // shrank meanwhile gives what it has, as a read of its size would.
  std::size_t got = 0;
  int error = 0;
  Py_BEGIN_ALLOW_THREADS
  while (got < static_cast<std::size_t>(size)) {
    const ssize_t n = ::pread(static_cast<int>(fd), bytes->data + got, static_cast<std::size_t>(size) - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  Py_END_ALLOW_THREADS
  if (error != 0) {
    errno = error;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  bytes->size = static_cast<Py_ssize_t>(got);
  return PyMemoryView_FromObject(object.get());
}

}  // namespace

bool is_file_bytes(PyObject* object) {
  const PyBufferProcs* procs = Py_TYPE(object)->tp_as_buffer;
  return procs != nullptr && procs->bf_getbuffer == &get_buffer;
}

PyMethodDef read_file_method() {
  return {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_file)), METH_FASTCALL,
          "read_file(fd, size, /)\n--\n\n"
          "The first `size` bytes of the regular file open as `fd` (fewer if it is shorter), read into memory\n"
          "of the module's own, as a read-only memoryview that the archive readers read in place."};
}

bool add_file_types(PyObject* module, ModuleState& state) {
  state.file_bytes_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &file_bytes_spec, nullptr));
  return state.file_bytes_type != nullptr;
}

}  // namespace korvex::native
