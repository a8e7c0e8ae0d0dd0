#include "binding/interpreter.hpp"

#include <frameobject.h>

#include "binding/compat.hpp"

namespace quiltmap::binding {

namespace {

// Makes `earlier` (a reference this steals; null for none) the context of
// the exception raised while it was set aside, as CPython chains an error
// raised while another is handled; without a new one, `earlier` is raised
// again.
void chain_to_pending(PyObject* earlier) {
    if (earlier == nullptr) return;
    PyObject* later = compat::take_exception();
    if (later == nullptr) {
        compat::restore_exception(earlier);
        return;
    }
    PyException_SetContext(later, earlier);  // steals earlier
    compat::restore_exception(later);
}

}  // namespace

void add_traceback(PyObject* globals, const char* function, int line, const char* file) {
    // Set aside while the entry is made, which may run Python code.
    PyObject* pending = compat::take_exception();
    // An empty code object reports its first line for any instruction, and a
    // new frame starts at no instruction: the entry shows `line` on every
    // version without a line table or a write into the frame.
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    if (frame == nullptr) {
        chain_to_pending(pending);
        return;
    }
    compat::restore_exception(pending);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    if (PyObject* value = PyDict_GetItemWithError(globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
        PyErr_Clear();
    }
    Ref builtin(PyObject_GetAttr(builtins, name));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

}  // namespace quiltmap::binding
