// The Python-level face of an array view: an object that exports the view's
// elements through the buffer protocol, for handing a caller's array to
// NumPy with a known element format and shape.
#pragma once

#include <Python.h>

#include "binding/views.hpp"

namespace quiltmap::binding {

// Readies the view object type; once per process, at module start-up.
bool ready_view_object_type();

// Whether `object` is one of this module's view objects.
bool is_view_object(PyObject* object);

// A new view object over `exporter` under `rule` (its own export, checked
// like an argument), or None for None.  Null with an exception set.
PyObject* make_view_object(PyObject* exporter, const ViewRule& rule);

}  // namespace quiltmap::binding
