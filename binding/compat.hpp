// What differs between the CPython versions the module supports, 3.9 to
// 3.13, kept in one place: every version test on PY_VERSION_HEX is here.
//
// Each helper uses the supported API of the version it is compiled for; no
// private or underscore-prefixed API is used.
#pragma once

#include <Python.h>

namespace quiltmap::binding::compat {

// Py_XNewRef arrived in 3.10.
inline PyObject* new_ref(PyObject* object) {
#if PY_VERSION_HEX >= 0x030A0000
    return Py_XNewRef(object);
#else
    Py_XINCREF(object);
    return object;
#endif
}

// The pending exception as one normalised object with its traceback, taken
// off the thread (null when none is pending).  3.12 keeps exceptions in that
// form and deprecates the type-value-traceback triple.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (a reference that this steals, or null for none) the
// pending one again, with the traceback it carries.
inline void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) return;
    PyErr_Restore(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

// Until 3.11 the code constructor adds CO_NOFREE to a code object without
// free variables; the module's code objects carry exactly the flags of a
// plain optimised function.  Code objects are opaque from 3.11 on, and the
// flag no longer exists.
inline void clear_no_free_flag(PyObject* code) {
#if PY_VERSION_HEX < 0x030B0000
    reinterpret_cast<PyCodeObject*>(code)->co_flags &= ~CO_NOFREE;
#else
    (void)code;
#endif
}

}  // namespace quiltmap::binding::compat

// 3.13 asks extension modules whether they need the interpreter lock; the
// kernels release and take it back, so they do (the free-threaded build is
// not supported).
#if PY_VERSION_HEX >= 0x030D0000
#define QUILTMAP_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define QUILTMAP_MODULE_GIL_SLOT
#endif
