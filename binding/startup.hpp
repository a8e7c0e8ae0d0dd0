// The checks an extension module built against CPython's and NumPy's
// headers makes as it starts: that the types it relies on have the layout
// the headers gave, that NumPy's C interface imports, and that the running
// interpreter is the minor version the module was compiled for.
#pragma once

#include <Python.h>

namespace quiltmap::binding {

// The builtins' and NumPy's types whose sizes the headers fix: false with an
// exception set when one is smaller than compiled for (a warning when a
// type whose layout is taken as fixed is larger).
bool check_imported_types();

// NumPy's own C-API import; its failures (of class Exception) become the
// ImportError that callers of NumPy extensions know, with the original as
// its context and a traceback entry at NumPy's import procedure.
bool import_numpy_c_api(PyObject* module_dict);

// A RuntimeWarning when the running interpreter's minor version is not the
// one `module_name` was compiled for; false if the warning was raised as an
// error.
bool warn_on_version_mismatch(const char* module_name);

}  // namespace quiltmap::binding
