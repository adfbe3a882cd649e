// The object layouts of Graph and Node, and the
// constructors of their items, shared by the parts that make them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "build_scoring_graph/serial/graph_view.hpp"
#include "native_state.hpp"

namespace korvex::native {

struct GraphObject {
  PyObject_HEAD
  ModuleState* state;  // of the module whose Graph type made this object
  Py_buffer buffer;    // held from open to dealloc
  bool opened;         // buffer and view are live
  serial::GraphView view;  // constructed in place at open
  void* identifier;    // identify::Identifier, built on first identify() (graph_identify.cpp)
};

// A node: its graph and id; every field is read from the view on access.
struct NodeObject {
  PyObject_HEAD
  GraphObject* graph;
  std::uint32_t id;
};

// The lists of a graph, numbered as Graph._list_len and _list_item take them.
enum class ListKind : std::uint8_t { kNodes, kTransitions, kRoots, kLeafRanges, kExtRanges, kExtRangeSets };

PyObject* make_node(GraphObject* graph, std::uint32_t id);
PyObject* make_transition(const ModuleState& state, const serial::Transition& t);
PyObject* make_root(const ModuleState& state, const serial::Root& r);

// Graph.identify (graph_identify.cpp), and the release of what it built.
PyObject* graph_identify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* graph_identify_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void release_identifier(GraphObject* graph);

}  // namespace korvex::native
