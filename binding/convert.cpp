#include "binding/convert.hpp"

#include <climits>

#include "binding/ref.hpp"

namespace quiltmap::binding {

bool to_double(PyObject* object, double* value) {
    // Exact floats are read without a call into the interpreter.
    const double v = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *value = v;
    return true;
}

bool to_single(PyObject* object, float* value) {
    double wide;
    if (!to_double(object, &wide)) return false;
    *value = static_cast<float>(wide);
    return true;
}

namespace {

// The value of an int or of an instance of an int subclass, read from its
// digits: an overridden __int__ or __index__ of a subclass is not consulted.
bool int_value_to_int32(PyObject* integer, std::int32_t* value) {
    int overflow = 0;
    const long wide = PyLong_AsLongAndOverflow(integer, &overflow);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || wide > INT32_MAX || wide < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *value = static_cast<std::int32_t>(wide);
    return true;
}

// int(object) through its number protocol only: __int__, never __index__.
Ref call_int_method(PyObject* object) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result(number->nb_int(object));
    if (!result || PyLong_CheckExact(result.get())) return result;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                         "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) != 0) {
        return Ref();
    }
    return result;
}

}  // namespace

bool to_int32(PyObject* object, std::int32_t* value) {
    if (PyLong_Check(object)) return int_value_to_int32(object, value);
    Ref integer = call_int_method(object);
    return integer && int_value_to_int32(integer.get(), value);
}

bool to_int64(PyObject* object, std::int64_t* value) {
    Ref integer(PyNumber_Index(object));
    if (!integer) return false;
    const long long wide = PyLong_AsLongLong(integer.get());
    if (wide == -1 && PyErr_Occurred()) return false;
    *value = static_cast<std::int64_t>(wide);
    return true;
}

}  // namespace quiltmap::binding
