// Interpreter features that only newer headers offer, isolated here:
// critical sections and the lock-free declaration of free-threaded builds,
// and the sub-interpreter declaration.
//
// The headers define each of these as a macro; where one is missing, its
// twin below compiles to a plain block or to nothing in the slot list.
#pragma once

#include <Python.h>

#if defined(Py_BEGIN_CRITICAL_SECTION)
#define KX_BEGIN_CRITICAL_SECTION(object) Py_BEGIN_CRITICAL_SECTION(object)
#define KX_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define KX_BEGIN_CRITICAL_SECTION(object) { (void)(object);
#define KX_END_CRITICAL_SECTION() }
#endif

// Module slot entry (with its trailing comma) declaring that nothing in the
// module relies on the global lock; nothing where the slot is unknown.
#if defined(Py_mod_gil)
#define KX_MOD_GIL_NOT_USED_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define KX_MOD_GIL_NOT_USED_SLOT
#endif

// The progress bridge attaches through PyGILState_Ensure, which knows only
// one interpreter per thread: a callback handed in by a sub-interpreter
// would run in the wrong one. Say so where the slot exists.
#if defined(Py_mod_multiple_interpreters)
#define KX_MOD_MULTIPLE_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KX_MOD_MULTIPLE_INTERPRETERS_SLOT
#endif
