#include "binding/startup.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_16_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <cstring>

#include "binding/compat.hpp"
#include "binding/interpreter.hpp"
#include "binding/ref.hpp"
#include "binding/version.hpp"

namespace quiltmap::binding {
namespace {

// A type that the module relies on, and the least instance size that the
// headers it was built with give for it.  Larger is fine (newer releases
// append fields), but for the types whose layout we take as fixed a larger
// size is worth a warning.
struct ImportedType {
    const char* module;
    const char* attribute;
    Py_ssize_t expected_size;
    bool warn_if_larger;
};

const ImportedType kImportedTypes[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};

// NumPy's types are looked up in numpy, imported on the first of them; the
// others in builtins.
bool from_numpy(const ImportedType& t) { return std::strcmp(t.module, "numpy") == 0; }

bool check_imported_type(PyObject* module, const ImportedType& t) {
    Ref object(PyObject_GetAttrString(module, t.attribute));
    if (!object) return false;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", t.module, t.attribute);
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object.get());
    const Py_ssize_t basic_size = type->tp_basicsize;
    Py_ssize_t item_size = type->tp_itemsize;
    if (item_size > 0 && item_size < 8) item_size = 8;
    // The error when smaller, the warning when larger.
    constexpr const char* kSizeChanged =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
        "PyObject";
    if (basic_size + item_size < t.expected_size) {
        PyErr_Format(PyExc_ValueError, kSizeChanged, t.module, t.attribute, t.expected_size, basic_size + item_size);
        return false;
    }
    if (t.warn_if_larger && basic_size > t.expected_size) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 0, kSizeChanged, t.module, t.attribute, t.expected_size,
                                basic_size) == 0;
    }
    return true;
}

}  // namespace

bool check_imported_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    Ref numpy;
    for (const ImportedType& t : kImportedTypes) {
        PyObject* module = builtins.get();
        if (from_numpy(t)) {
            if (!numpy) numpy = Ref(PyImport_ImportModule(t.module));
            if (!numpy) return false;
            module = numpy.get();
        }
        if (!check_imported_type(module, t)) return false;
    }
    return true;
}

// NumPy's own C-API import, with its failures (of class Exception) turned
// into the ImportError that callers of NumPy extensions know, the original
// kept as its context.
bool import_numpy_c_api(PyObject* module_dict) {
    if (_import_array() == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject* cause = compat::take_exception();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject* import_error = compat::take_exception();
    PyException_SetContext(import_error, cause);  // steals cause
    compat::restore_exception(import_error);
    // NumPy's header, at the definition of its import procedure.
    add_traceback(module_dict, "numpy.import_array", 1479, "numpy/_core/include/numpy/__multiarray_api.h");
    return false;
}

bool warn_on_version_mismatch(const char* module_name) {
    const std::uint32_t runtime_version = parse_version(Py_GetVersion());
    const int major = version_major(runtime_version);
    const int minor = version_minor(runtime_version);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major,
                            minor) == 0;
}

}  // namespace quiltmap::binding
