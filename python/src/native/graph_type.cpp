// Graph, Node, the Transition and Root records, and the primitive the
// package's sequences over a graph's lists stand on (korvex_graph/_graph.py:
// length and item of each list).
//
// A Graph holds a Py_buffer for its whole life and the GraphView checked at
// open. The buffer is the source's own when nothing in the process can
// change it (bytes, a read-only mmap: the exporter then refuses to resize
// or close it), else a private copy made at open: identification follows
// the indices the checks approved without checking them again, so the
// bytes must stay as they were checked. Everything else is made on access
// from the view: a Node is (graph, id), a Transition or Root a struct
// sequence filled from one archived record. Every index that comes from Python is checked against
// the counts the view fixed at open.

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "../py_ref.hpp"
#include "build_scoring_graph/serial/dump.hpp"
#include "build_scoring_graph/serial/graph_view.hpp"
#include "build_scoring_graph/serial/view_to_compiled.hpp"
#include "graph_objects.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::Ref;
using serial::GraphView;

namespace {

// ------------------------------------------------------------------ records

PyStructSequence_Field kTransitionFields[] = {
    {"from_", "id of the node the transition leaves"},
    {"field", "field number"},
    {"label", "0 optional, 1 required, 2 repeated"},
    {"wire_type", "protobuf wire type of the field, from the target's node type"},
    {"packed", "whether the field is packed"},
    {"to", "id of the node the transition enters"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTransitionDesc = {
    "korvex_graph.Transition",
    "Transition(from_, field, label, wire_type, packed, to): one field of a node.",
    kTransitionFields,
    6,
};

PyStructSequence_Field kRootFields[] = {
    {"fqdn", "fully-qualified name of the root message"},
    {"state", "id of its node"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kRootDesc = {
    "korvex_graph.Root",
    "Root(fqdn, state): a root message and its node.",
    kRootFields,
    2,
};

PyObject* u32(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }

// None for the 0xFFFF of a node index without target.
PyObject* optional_index(std::uint16_t v) {
  if (v == serial::kNoIndex) Py_RETURN_NONE;
  return PyLong_FromLong(v);
}

// Fills a struct sequence from new references; null if any is null.
PyObject* fill_record(PyTypeObject* type, std::initializer_list<PyObject*> items) {
  Ref record = Ref::steal(PyStructSequence_New(type));
  Py_ssize_t i = 0;
  bool ok = static_cast<bool>(record);
  for (PyObject* item : items) {
    if (item == nullptr) ok = false;
    if (ok)
      PyStructSequence_SetItem(record.get(), i++, item);
    else
      Py_XDECREF(item);
  }
  return ok ? record.release() : nullptr;
}

PyObject* make_pair(std::int64_t a, std::int64_t b) { return Py_BuildValue("(LL)", a, b); }

}  // namespace

PyObject* make_transition(const ModuleState& state, const serial::Transition& t) {
  return fill_record(state.transition_type, {u32(t.from), u32(t.field), PyLong_FromLong(t.label),
                                             PyLong_FromLong(t.wire_type), PyBool_FromLong(t.packed), u32(t.to)});
}

PyObject* make_root(const ModuleState& state, const serial::Root& r) {
  return fill_record(state.root_type, {text_to_str(r.fqdn), u32(r.state)});
}

PyObject* make_node(GraphObject* graph, std::uint32_t id) {
  auto* node = PyObject_GC_New(NodeObject, graph->state->node_type);
  if (node == nullptr) return nullptr;
  Py_INCREF(graph);
  node->graph = graph;
  node->id = id;
  PyObject_GC_Track(node);
  return reinterpret_cast<PyObject*>(node);
}

namespace {

// ------------------------------------------------------------------- Graph

GraphObject* as_graph(PyObject* self) { return reinterpret_cast<GraphObject*>(self); }

// A node id argument: an int (or __index__) below the node count.
bool node_id_argument(GraphObject* graph, PyObject* object, std::uint32_t& id) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else if (value >= 0 && static_cast<unsigned long long>(value) < graph->view.nodes().size()) {
    id = static_cast<std::uint32_t>(value);
    return true;
  }
  PyErr_Format(PyExc_IndexError, "node id %R out of range: the graph has %zu nodes", index.get(),
               graph->view.nodes().size());
  return false;
}

PyObject* graph_open(PyObject* cls, PyObject* source) { return open_archive<GraphObject, GraphView>(cls, source); }

void graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  GraphObject* graph = as_graph(self);
  if (graph->opened) release_identifier(graph);
  close_archive<GraphObject, GraphView>(graph);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* graph_node(PyObject* self, PyObject* id_object) {
  GraphObject* graph = as_graph(self);
  std::uint32_t id = 0;
  if (!node_id_argument(graph, id_object, id)) return nullptr;
  return make_node(graph, id);
}

PyObject* graph_root(PyObject* self, PyObject* name_object) {
  GraphObject* graph = as_graph(self);
  std::string_view name;
  bool absent = false;
  if (!str_argument(name_object, "root", name, absent)) return nullptr;
  if (absent) Py_RETURN_NONE;
  const auto index = graph->view.root_index(name);
  if (!index) Py_RETURN_NONE;
  return make_root(*graph->state, graph->view.roots()[*index]);
}

// A field number: any int; those outside u32 name no field.
bool field_argument(PyObject* object, std::optional<std::uint32_t>& field) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  field.reset();
  if (overflow == 0 && value >= 0 && value <= 0xFFFFFFFFLL) field = static_cast<std::uint32_t>(value);
  return true;
}

PyObject* transition_of(GraphObject* graph, std::uint32_t node, PyObject* field_object) {
  std::optional<std::uint32_t> field;
  if (!field_argument(field_object, field)) return nullptr;
  if (!field) Py_RETURN_NONE;
  const auto found = graph->view.find_transition(node, *field);
  if (!found) Py_RETURN_NONE;
  return make_transition(*graph->state, *found);
}

PyObject* graph_transition(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "transition() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  GraphObject* graph = as_graph(self);
  std::uint32_t node = 0;
  if (!node_id_argument(graph, args[0], node)) return nullptr;
  return transition_of(graph, node, args[1]);
}

PyObject* graph_to_yaml(PyObject* self, PyObject*) {
  GraphObject* graph = as_graph(self);
  std::string text;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    text = dump_compiled(serial::to_compiled(graph->view));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* graph_repr(PyObject* self) {
  const GraphView& v = as_graph(self)->view;
  return PyUnicode_FromFormat("<korvex_graph.Graph: %zu nodes, %zu transitions, %zu roots>",
                              v.nodes().size(), v.transitions().size(), v.roots().size());
}

std::size_t list_length(const GraphView& v, ListKind kind);
PyObject* list_item(GraphObject* graph, ListKind kind, std::size_t position);

// A list number, 0 to 5 in the order of ListKind.
bool list_argument(PyObject* object, ListKind& kind) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > static_cast<long>(ListKind::kExtRangeSets)) {
    PyErr_Format(PyExc_ValueError, "list number %ld is not one of 0 to 5", value);
    return false;
  }
  kind = static_cast<ListKind>(value);
  return true;
}

PyObject* graph_list_len(PyObject* self, PyObject* which) {
  ListKind kind{};
  if (!list_argument(which, kind)) return nullptr;
  return PyLong_FromSize_t(list_length(as_graph(self)->view, kind));
}

PyObject* graph_list_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "_list_item() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  GraphObject* graph = as_graph(self);
  ListKind kind{};
  if (!list_argument(args[0], kind)) return nullptr;
  const Py_ssize_t position = PyNumber_AsSsize_t(args[1], PyExc_IndexError);
  if (position == -1 && PyErr_Occurred()) return nullptr;
  if (position < 0 || static_cast<std::size_t>(position) >= list_length(graph->view, kind)) {
    PyErr_SetString(PyExc_IndexError, "index out of range");
    return nullptr;
  }
  return list_item(graph, kind, static_cast<std::size_t>(position));
}

PyObject* get_state_count(PyObject* self, void*) { return u32(as_graph(self)->view.state_count()); }
PyObject* get_merged_flag(PyObject* self, void*) { return PyBool_FromLong(as_graph(self)->view.merged_flag()); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSsize_t(as_graph(self)->buffer.len); }

PyMethodDef graph_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(graph_open), METH_O | METH_CLASS,
     "open($cls, source, /)\n--\n\n"
     "Check the graph archive in `source` (a bytes-like object) and return a view of it.\n\n"
     "bytes and read-only mmaps are read in place, held until the graph is collected; other buffers,\n"
     "which could change after the checks, are copied first.\n"
     "Raises ArchiveError, with the offset and the fault, if the bytes are not a valid graph archive."},
    {"node", reinterpret_cast<PyCFunction>(graph_node), METH_O,
     "node($self, id, /)\n--\n\nThe node with this id; IndexError when there is none."},
    {"root", reinterpret_cast<PyCFunction>(graph_root), METH_O,
     "root($self, name, /)\n--\n\nThe first root named `name`, or None."},
    {"transition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_transition)), METH_FASTCALL,
     "transition($self, node, field, /)\n--\n\n"
     "The transition of node `node` on field number `field`, or None (binary search of the node's run)."},
    {"identify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_identify)),
     METH_FASTCALL | METH_KEYWORDS,
     "identify($self, /, payload, top=5)\n--\n\n"
     "The root types a protobuf payload (any bytes-like object) parses as, best first, as Match records.\n\n"
     "top=None lists every root that parses; top=k the first k of that list (a k past the number\n"
     "of roots lists them all). Runs with the interpreter lock released. Raises PayloadError (a\n"
     "ValueError) saying where the bytes break when they are not protobuf wire format at all, or\n"
     "that identifying them takes too much work.\n\n"
     "The graph tries first the types its last answers ranked for payloads of the same shape (else\n"
     "for the last payloads): payloads whose shapes recur, as in most streams, are identified\n"
     "faster. No answer depends on the calls before it."},
    {"identify_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_identify_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "identify_many($self, /, payloads, top=5, threads=None)\n--\n\n"
     "identify() of each payload of an iterable, as one list of matches per payload, on `threads`\n"
     "native threads (default: the processors it may run on) with the interpreter lock released.\n"
     "Raises PayloadError for the first payload that fails, naming its position."},
    {"_list_len", reinterpret_cast<PyCFunction>(graph_list_len), METH_O,
     "_list_len($self, which, /)\n--\n\nThe length of list `which` (0 nodes, 1 transitions, 2 roots, 3 leaf ranges,\n"
     "4 extension ranges, 5 extension-range sets)."},
    {"_list_item", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_list_item)), METH_FASTCALL,
     "_list_item($self, which, position, /)\n--\n\nItem `position` (0 to length - 1) of list `which`."},
    {"to_yaml", reinterpret_cast<PyCFunction>(graph_to_yaml), METH_NOARGS,
     "to_yaml($self, /)\n--\n\n"
     "The graph as the YAML dump that build_graph(..., emit_yaml=True) returned beside the archive."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"state_count", get_state_count, nullptr, "The number of states, equal to the number of nodes.", nullptr},
    {"merged_flag", get_merged_flag, nullptr, "Whether every input document declared its extension ranges.",
     nullptr},
    {"nbytes", get_nbytes, nullptr, "Size of the archive in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("A baked graph archive, checked once at open and read in place.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(visit_type_only)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_getset},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "korvex_graph._native.Graph",
    sizeof(GraphObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    graph_slots,
};

// -------------------------------------------------------------------- Node

NodeObject* as_node(PyObject* self) { return reinterpret_cast<NodeObject*>(self); }
serial::Node node_record(PyObject* self) { return as_node(self)->graph->view.node(as_node(self)->id); }

void node_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_node(self)->graph);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_node(self)->graph);
  return 0;
}

PyObject* node_get_id(PyObject* self, void*) { return u32(as_node(self)->id); }
PyObject* node_get_type(PyObject* self, void*) { return PyLong_FromLong(node_record(self).type); }
PyObject* node_get_is_string(PyObject* self, void*) { return PyBool_FromLong(node_record(self).is_string); }
PyObject* node_get_range(PyObject* self, void*) { return optional_index(node_record(self).range); }
PyObject* node_get_ext_set(PyObject* self, void*) { return optional_index(node_record(self).ext_set); }
PyObject* node_get_first(PyObject* self, void*) { return u32(node_record(self).first_transition); }
PyObject* node_get_count(PyObject* self, void*) { return u32(node_record(self).transition_count); }
PyObject* node_get_graph(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(as_node(self)->graph)); }

// graph.transitions[first:first + count], the package's sequence.
PyObject* node_get_transitions(PyObject* self, void*) {
  NodeObject* node = as_node(self);
  const serial::Node n = node_record(self);
  // Clamped like the view's own runs: the count fixed at open bounds it.
  const std::size_t total = node->graph->view.transitions().size();
  const std::size_t first = std::min<std::size_t>(n.first_transition, total);
  const std::size_t count = std::min<std::size_t>(n.transition_count, total - first);
  Ref all = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(node->graph), "transitions"));
  if (!all) return nullptr;
  return PySequence_GetSlice(all.get(), static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(first + count));
}

PyObject* node_get_leaf_range(PyObject* self, void*) {
  const auto range = as_node(self)->graph->view.leaf_range_of(as_node(self)->id);
  if (!range) Py_RETURN_NONE;
  return make_pair(range->lo, range->hi);
}

PyObject* node_get_ext_ranges(PyObject* self, void*) {
  const auto ranges = as_node(self)->graph->view.ext_ranges_of(as_node(self)->id);
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const serial::ExtensionRange r : ranges) {
    PyObject* pair = make_pair(r.lo, r.hi);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, pair);
  }
  return tuple.release();
}

PyObject* node_transition(PyObject* self, PyObject* field) {
  return transition_of(as_node(self)->graph, as_node(self)->id, field);
}

PyObject* node_repr(PyObject* self) {
  const serial::Node n = node_record(self);
  Ref range = Ref::steal(optional_index(n.range));
  Ref ext_set = Ref::steal(optional_index(n.ext_set));
  if (!range || !ext_set) return nullptr;
  return PyUnicode_FromFormat(
      "korvex_graph.Node(id=%u, type=%u, is_string=%s, range=%R, ext_set=%R, first_transition=%u, "
      "transition_count=%u)",
      n.id, static_cast<unsigned>(n.type), n.is_string ? "True" : "False", range.get(), ext_set.get(),
      n.first_transition, n.transition_count);
}

// Nodes are records: equal when their fields are, whichever graph they
// come from.
PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = node_record(a) == node_record(b);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t node_hash(PyObject* self) {
  const serial::Node n = node_record(self);
  std::uint64_t h = 0;
  for (const std::uint64_t word : {std::uint64_t{n.id}, std::uint64_t{n.type} | std::uint64_t{n.is_string} << 8 |
                                                             std::uint64_t{n.range} << 16 |
                                                             std::uint64_t{n.ext_set} << 32,
                                   std::uint64_t{n.first_transition} << 32 | n.transition_count})
    h = (h ^ word) * 0x9E3779B97F4A7C15 + (h >> 29);
  const auto result = static_cast<Py_hash_t>(h >> 1);
  return result == -1 ? -2 : result;
}

PyMethodDef node_methods[] = {
    {"transition", reinterpret_cast<PyCFunction>(node_transition), METH_O,
     "transition($self, field, /)\n--\n\nThis node's transition on field number `field`, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_getset[] = {
    {"id", node_get_id, nullptr, "The node's id, its position in Graph.nodes.", nullptr},
    {"type", node_get_type, nullptr,
     "Node type code: 0 varint, 1 fixed64, 2 length-delimited, 3 group, 5 fixed32, 8 uint32/sint32, 9 int32, "
     "10 message.",
     nullptr},
    {"is_string", node_get_is_string, nullptr, "True on the string leaf only.", nullptr},
    {"range", node_get_range, nullptr, "Index into Graph.leaf_ranges for a range leaf, else None.", nullptr},
    {"ext_set", node_get_ext_set, nullptr, "Index into Graph.ext_range_sets, or None.", nullptr},
    {"first_transition", node_get_first, nullptr, "Index in Graph.transitions of the node's first transition.",
     nullptr},
    {"transition_count", node_get_count, nullptr, "Number of the node's transitions.", nullptr},
    {"transitions", node_get_transitions, nullptr, "The node's transitions, sorted by field.", nullptr},
    {"leaf_range", node_get_leaf_range, nullptr, "(lo, hi) of a range leaf, else None.", nullptr},
    {"ext_ranges", node_get_ext_ranges, nullptr, "The node's extension ranges as (lo, hi) pairs.", nullptr},
    {"graph", node_get_graph, nullptr, "The graph the node belongs to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("A node of a graph: a message or group type, or a leaf.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
    {Py_tp_methods, node_methods},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "korvex_graph.Node",
    sizeof(NodeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    node_slots,
};

// ------------------------------------------------------------------- lists

std::size_t list_length(const GraphView& v, ListKind kind) {
  switch (kind) {
    case ListKind::kNodes: return v.nodes().size();
    case ListKind::kTransitions: return v.transitions().size();
    case ListKind::kRoots: return v.roots().size();
    case ListKind::kLeafRanges: return v.leaf_ranges().size();
    case ListKind::kExtRanges: return v.ext_ranges().size();
    case ListKind::kExtRangeSets: return v.ext_range_sets().size();
  }
  return 0;
}

// Item `position` of the graph's list (position below its length).
PyObject* list_item(GraphObject* graph, ListKind kind, std::size_t position) {
  const GraphView& v = graph->view;
  const auto at = static_cast<std::uint32_t>(position);
  switch (kind) {
    case ListKind::kNodes: return make_node(graph, at);
    case ListKind::kTransitions: return make_transition(*graph->state, v.transitions()[at]);
    case ListKind::kRoots: return make_root(*graph->state, v.roots()[at]);
    case ListKind::kLeafRanges: {
      const serial::LeafRange r = v.leaf_ranges()[at];
      return make_pair(r.lo, r.hi);
    }
    case ListKind::kExtRanges: {
      const serial::ExtensionRange r = v.ext_ranges()[at];
      return make_pair(r.lo, r.hi);
    }
    case ListKind::kExtRangeSets: {
      const serial::ExtensionRangeSet s = v.ext_range_sets()[at];
      return make_pair(s.start, s.count);
    }
  }
  Py_RETURN_NONE;
}

bool add_type(PyObject* module, PyType_Spec& definition, PyTypeObject*& out) {
  out = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &definition, nullptr));
  return out != nullptr && PyModule_AddType(module, out) == 0;
}

bool add_record_type(PyObject* module, PyStructSequence_Desc& desc, PyTypeObject*& out) {
  out = PyStructSequence_NewType(&desc);
  return out != nullptr && PyModule_AddType(module, out) == 0;
}

}  // namespace

bool add_graph_types(PyObject* module, ModuleState& state) {
  return add_type(module, graph_spec, state.graph_type) && add_type(module, node_spec, state.node_type) &&
         add_record_type(module, kTransitionDesc, state.transition_type) &&
         add_record_type(module, kRootDesc, state.root_type);
}

}  // namespace korvex::native
