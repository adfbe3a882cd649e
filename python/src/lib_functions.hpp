// Function table entries of the module's two functions, defined beside
// their implementations and added to the module by its execution slot.
#pragma once

#include <Python.h>

namespace korvex::py {

extern PyMethodDef build_graph_def;
extern PyMethodDef build_fds_index_def;

}  // namespace korvex::py
