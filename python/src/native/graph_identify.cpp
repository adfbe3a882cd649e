// Graph.identify: which root types a protobuf payload may be, best first,
// as Match records; PayloadError when the bytes are not wire format.
// Graph.identify_many: the same for a list of payloads, on native worker
// threads with the lock released; the list is copied and every payload's
// bytes held first (copied when their owner can change them), so the
// caller's objects may change meanwhile.
//
// The lookups identification starts from (identify::Identifier, linear in
// the roots' transitions) are built on first use, with the lock released,
// and owned by the Graph until it is collected, with a slot per node for
// the tuple of its names, made once when a match first needs it (a node
// may name thousands of roots). Two threads that both find no lookups
// build them each; the first to publish wins and the other drops its own,
// so no lock is held while building and the graph never changes under a
// reader; a names slot is filled the same way. The graph's buffer is held from open to collection and the
// payload's for the call, and the call holds the graph: nothing the matcher
// reads, with the lock released, can be freed or resized meanwhile.

#include <Python.h>
#ifdef __linux__
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "../py_args.hpp"
#include "../py_ref.hpp"
#include "graph_objects.hpp"
#include "identify/identify.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::Ref;

namespace {

PyStructSequence_Field kMatchFields[] = {
    {"score", "higher is better: minus the bits the payload costs as this type"},
    {"node", "id of the node the names share"},
    {"names", "the root types of the node, sorted by name"},
    {"exact", "every field declared or an extension, every value in range, no required field missing"},
    {"reason", "\"exact\", or what the match needs, e.g. \"2 unknown fields\""},
    {nullptr, nullptr},
};
PyStructSequence_Desc kMatchDesc = {
    "korvex_graph.Match",
    "Match(score, node, names, exact, reason): a root type a payload parses as.",
    kMatchFields,
    5,
};

constexpr char kPayloadErrorDoc[] =
    "The payload is not protobuf wire format at all.\n"
    "\n"
    "The message says what is wrong and at which byte offset, e.g. \"not protobuf wire format: truncated varint "
    "at byte offset 7\".";

// What a Graph keeps for identification: the lookups, and each node's
// names tuple once made (a reference owned here).
struct Identification {
  explicit Identification(const serial::GraphView& view)
      : identifier(view), names(std::make_unique<std::atomic<PyObject*>[]>(view.nodes().size())) {}
  ~Identification() {
    for (std::size_t i = 0; i < identifier.graph().nodes().size(); ++i) Py_XDECREF(names[i].load());
  }
  identify::Identifier identifier;
  std::unique_ptr<std::atomic<PyObject*>[]> names;
};

std::atomic_ref<void*> identifier_slot(GraphObject* graph) { return std::atomic_ref<void*>(graph->identifier); }

// The graph's identification, built now if it has none; null with
// MemoryError set when building ran out of memory.
Identification* identification_of(GraphObject* graph) {
  if (void* ready = identifier_slot(graph).load(std::memory_order_acquire)) return static_cast<Identification*>(ready);
  std::unique_ptr<Identification> built;
  Py_BEGIN_ALLOW_THREADS
  try {
    built = std::make_unique<Identification>(graph->view);
  } catch (const std::bad_alloc&) {
  }
  Py_END_ALLOW_THREADS
  if (!built) {
    PyErr_NoMemory();
    return nullptr;
  }
  void* expected = nullptr;
  if (identifier_slot(graph).compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel))
    return built.release();
  return static_cast<Identification*>(expected);  // another thread published first
}

// `top`: None, or an int of at least 0; one larger than the number of
// roots means all of them.
bool top_argument(PyObject* object, const char* function, std::optional<std::size_t>& top) {
  if (object == nullptr) {
    top = 5;
    return true;
  }
  if (object == Py_None) {
    top.reset();
    return true;
  }
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "%s() top must be None or at least 0, not %R", function, index.get());
    return false;
  }
  top = overflow > 0 ? SIZE_MAX : static_cast<std::size_t>(value);
  return true;
}

// Raises the failure of identify() as PayloadError.
void raise_payload_error(GraphObject* graph, const std::string& message) {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(graph->state->payload_error, text.get());
}

PyObject* make_list(GraphObject* graph, Identification& id, const std::vector<identify::Match>& matches);

// A new reference to the tuple of the match's names, made on the node's
// first match.
PyObject* names_of(GraphObject* graph, Identification& id, const identify::Match& m) {
  std::atomic<PyObject*>& slot = id.names[m.node];
  if (PyObject* made = slot.load(std::memory_order_acquire)) return Py_NewRef(made);
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(m.roots.size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < m.roots.size(); ++i) {
    PyObject* name = text_to_str(graph->view.roots()[m.roots[i]].fqdn);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
  }
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, names.get(), std::memory_order_acq_rel)) {
    Py_INCREF(names.get());  // one for the slot
    return names.release();
  }
  return Py_NewRef(expected);  // another thread made it first
}

PyObject* make_match(GraphObject* graph, Identification& id, const identify::Match& m) {
  Ref names = Ref::steal(names_of(graph, id, m));
  if (!names) return nullptr;
  const std::string reason = m.reason();
  Ref record = Ref::steal(PyStructSequence_New(graph->state->match_type));
  if (!record) return nullptr;
  PyObject* items[] = {PyFloat_FromDouble(m.score), PyLong_FromUnsignedLong(m.node), names.release(),
                       PyBool_FromLong(m.exact),
                       PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "strict")};
  bool ok = true;
  for (Py_ssize_t i = 0; i < 5; ++i) {
    if (items[i] == nullptr) ok = false;
    if (ok)
      PyStructSequence_SetItem(record.get(), i, items[i]);
    else
      Py_XDECREF(items[i]);
  }
  return ok ? record.release() : nullptr;
}

}  // namespace

PyObject* graph_identify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"payload", "top"};
  PyObject* slots[2];
  if (!py::bind_arguments({"identify", kNames, 1}, args, nargs, kwnames, slots)) return nullptr;
  auto* graph = reinterpret_cast<GraphObject*>(self);
  std::optional<std::size_t> top;
  if (!top_argument(slots[1], "identify", top)) return nullptr;
  Py_buffer buffer;
  if (!acquire_stable_bytes(slots[0], "identify", buffer)) return nullptr;
  Identification* id = identification_of(graph);
  if (id == nullptr) {
    PyBuffer_Release(&buffer);
    return nullptr;
  }
  const identify::Identifier* identifier = &id->identifier;
  const std::span<const std::uint8_t> payload(static_cast<const std::uint8_t*>(buffer.buf),
                                              static_cast<std::size_t>(buffer.len));
  std::optional<Result<std::vector<identify::Match>>> found;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    found.emplace(identifier->identify(payload, top));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  PyBuffer_Release(&buffer);
  if (out_of_memory) return PyErr_NoMemory();
  if (!*found) return raise_payload_error(graph, (*found).error().message), nullptr;
  return make_list(graph, *id, **found);
}

namespace {

PyObject* make_list(GraphObject* graph, Identification& id, const std::vector<identify::Match>& matches) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    PyObject* match = make_match(graph, id, matches[i]);
    if (match == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), match);
  }
  return list.release();
}

// The processors this process may run on (a container or `taskset` gives
// it fewer than the machine has), else the machine's.
std::size_t usable_processors() {
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

// The payloads' buffers, released however the call ends.
struct Buffers {
  std::vector<Py_buffer> held;
  ~Buffers() {
    for (Py_buffer& b : held) PyBuffer_Release(&b);
  }
};

}  // namespace

PyObject* graph_identify_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"payloads", "top", "threads"};
  PyObject* slots[3];
  if (!py::bind_arguments({"identify_many", kNames, 1}, args, nargs, kwnames, slots)) return nullptr;
  auto* graph = reinterpret_cast<GraphObject*>(self);
  std::optional<std::size_t> top;
  if (!top_argument(slots[1], "identify_many", top)) return nullptr;
  std::size_t threads = usable_processors();
  if (slots[2] != nullptr && slots[2] != Py_None) {
    Ref index = Ref::steal(PyNumber_Index(slots[2]));
    if (!index) return nullptr;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && value < 1)) {
      PyErr_Format(PyExc_ValueError, "identify_many() threads must be None or at least 1, not %R", index.get());
      return nullptr;
    }
    constexpr long long kMostThreads = 1024;
    threads = static_cast<std::size_t>(overflow > 0 ? kMostThreads : std::min(value, kMostThreads));
  }
  // A private list of the payloads, so that the caller may change its own
  // meanwhile; each buffer is held until the call returns.
  Ref items = Ref::steal(PySequence_List(slots[0]));
  if (!items) return nullptr;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  Buffers buffers;
  buffers.held.reserve(static_cast<std::size_t>(count));
  std::vector<std::span<const std::uint8_t>> payloads;
  payloads.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    // Named by its place when it is no buffer, as it is when not wire format.
    Py_buffer buffer;
    if (!acquire_stable_bytes(PyList_GET_ITEM(items.get(), i), "identify_many", buffer, i)) return nullptr;
    buffers.held.push_back(buffer);
    payloads.emplace_back(static_cast<const std::uint8_t*>(buffer.buf), static_cast<std::size_t>(buffer.len));
  }
  Identification* id = identification_of(graph);
  if (id == nullptr) return nullptr;
  const identify::Identifier* identifier = &id->identifier;

  std::vector<Result<std::vector<identify::Match>>> found(payloads.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> out_of_memory{false};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < payloads.size();) {
      try {
        found[i] = identifier->identify(payloads[i], top);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
  };
  Py_BEGIN_ALLOW_THREADS
  threads = std::min(threads, payloads.size());
  std::vector<std::thread> pool;
  try {
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer threads than asked for: the ones running, and this one, do it all.
  }
  work();
  for (std::thread& t : pool) t.join();
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  Ref out = Ref::steal(PyList_New(count));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!found[i]) {
      raise_payload_error(graph, "payload " + std::to_string(i) + ": " + found[i].error().message);
      return nullptr;
    }
    PyObject* list = make_list(graph, *id, *found[i]);
    if (list == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), list);
  }
  return out.release();
}

void release_identifier(GraphObject* graph) {
  delete static_cast<Identification*>(identifier_slot(graph).exchange(nullptr, std::memory_order_acq_rel));
}

bool add_identify_types(PyObject* module, ModuleState& state) {
  state.payload_error =
      PyErr_NewExceptionWithDoc("korvex_graph.PayloadError", kPayloadErrorDoc, PyExc_ValueError, nullptr);
  if (state.payload_error == nullptr || PyModule_AddObjectRef(module, "PayloadError", state.payload_error) < 0)
    return false;
  state.match_type = PyStructSequence_NewType(&kMatchDesc);
  return state.match_type != nullptr && PyModule_AddType(module, state.match_type) == 0;
}

}  // namespace korvex::native
