// Small pieces of interpreter machinery that the module's functions share:
// the traceback entry every failure carries, and the lookup of a module
// global at call time.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace quiltmap::binding {

// Adds one entry (file, line, function name) to the pending exception's
// traceback; `globals` is the module dictionary the entry's frame belongs
// to.  If the entry cannot be made, the failure to make it is raised with the
// pending exception as its __context__, as CPython's own _PyTraceback_Add
// does: the caller's error is never lost.
void add_traceback(PyObject* globals, const char* function, int line, const char* file);

// What `name` stands for in the module whose dictionary is `globals` at this
// moment: the dictionary, then `builtins`, else NameError.  Looked up afresh
// each time, so that rebinding or deleting the module attribute takes
// effect at the next use.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace quiltmap::binding
