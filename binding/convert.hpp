// Number arguments: one conversion per C type, each failing with a Python
// exception set and the value -1 (the interpreter's own convention).
#pragma once

#include <Python.h>

#include <cstdint>

namespace quiltmap::binding {

// False with an exception set when `object` is no number.
bool to_double(PyObject* object, double* value);
// The double rounded to the nearest float; beyond float's range it becomes
// an infinity, which is not an error.
bool to_single(PyObject* object, float* value);
// ints (and int subclasses, whose methods are never called) by value;
// anything else through its __int__, so floats truncate toward zero.
bool to_int32(PyObject* object, std::int32_t* value);
// An integer by operator.index (ints, NumPy integers; a float is a
// TypeError), within 64 bits or an OverflowError.
bool to_int64(PyObject* object, std::int64_t* value);

}  // namespace quiltmap::binding
