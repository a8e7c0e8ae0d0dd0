#include "binding/interpreter.hpp"

#include <frameobject.h>

#include "binding/compat.hpp"

namespace quiltmap::binding {

void add_traceback(PyObject* globals, const char* function, int line, const char* file) {
    PyObject* pending = compat::take_exception();
    // An empty code object reports its first line for any instruction, and a
    // new frame starts at no instruction: the entry shows `line` on every
    // version without a line table or a write into the frame.
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    if (code == nullptr) {  // the new failure replaces the pending one
        Py_XDECREF(pending);
        return;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
    if (frame == nullptr) PyErr_Clear();
    compat::restore_exception(pending);
    if (frame == nullptr) return;
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
