#include "binding/function_object.hpp"

#include <structmember.h>

#include <cstddef>
#include <exception>
#include <new>

#include "binding/compat.hpp"
#include "binding/interpreter.hpp"
#include "binding/ref.hpp"

namespace quiltmap::binding {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* annotations;
};

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const auto* function = reinterpret_cast<FunctionObject*>(self);
    const FunctionDef& def = *function->def;
    Call call(function->globals, def.signature.first_line);
    PyObject* result = nullptr;
    // Messages are built in std::string, which can throw; no C++ exception
    // may unwind into the interpreter's C frames.  The arguments are
    // released by the unwinding itself, with the lock held.
    try {
        result = def.run(def.signature, args, nargsf, kwnames, call);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    if (result == nullptr) add_traceback(function->globals, def.qualified_name, call.line(), def.source_path);
    return result;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->code);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->dict);
    Py_XDECREF(f->annotations);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// Pickled by reference, like a Python function: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return compat::new_ref(reinterpret_cast<FunctionObject*>(self)->qualname);
}

// Bound to an instance when stored on a class, as a Python function is; this
// also makes inspect and pydoc treat the functions as routines.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return compat::new_ref(self);
    return PyMethod_New(self, instance);
}

// No argument has a default and nothing is closed over.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject type = blank_static_type();
    type.tp_name = "quiltmap._mvs.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

}  // namespace

bool ready_function_type() { return PyType_Ready(&function_type) == 0; }

PyObject* new_function(const FunctionDef& def, PyObject* code, PyObject* module_name, PyObject* globals) {
    Ref self(function_type.tp_alloc(&function_type, 0));
    if (!self) return nullptr;
    auto* f = reinterpret_cast<FunctionObject*>(self.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = compat::new_ref(f->name);
    f->module = compat::new_ref(module_name);
    f->doc = PyUnicode_FromString(def.doc);
    f->code = compat::new_ref(code);
    f->globals = compat::new_ref(globals);
    f->annotations = PyDict_New();
    if (f->name == nullptr || f->doc == nullptr || f->annotations == nullptr) return nullptr;
    return self.release();
}

PyObject* make_code_object(const FunctionDef& def) {
    const Signature& signature = def.signature;
    Ref varnames(PyTuple_New(signature.count + def.local_count));
    if (!varnames) return nullptr;
    for (int i = 0; i < signature.count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, compat::new_ref(signature.interned_names[i]));
    }
    for (int i = 0; i < def.local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(def.locals[i]);
        if (local == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), signature.count + i, local);
    }
    // The constructors' signatures differ between versions; an empty code
    // object given its parameters and locals through code.replace, public
    // on every version, describes the function the same way on all.
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(def.source_path, def.name, signature.first_line)));
    if (!empty) return nullptr;
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_arguments(PyTuple_New(0));
    Ref changes(Py_BuildValue("{s:i,s:i,s:i,s:n,s:O,s:i}", "co_argcount", signature.count, "co_posonlyargcount", 0,
                              "co_kwonlyargcount", 0, "co_nlocals", PyTuple_GET_SIZE(varnames.get()),
                              "co_varnames", varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !no_arguments || !changes) return nullptr;
    PyObject* code = PyObject_Call(replace.get(), no_arguments.get(), changes.get());
    if (code != nullptr) compat::clear_no_free_flag(code);
    return code;
}

}  // namespace quiltmap::binding
