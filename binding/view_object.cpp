// A view object keeps its own export of the exporter for as long as it
// lives, independent of the call that made it: NumPy, or whatever stands
// behind `np`, may keep it longer than the call.  Its consumers' exports
// need no bookkeeping of their own: each holds a reference to the view
// object, which holds the exporter's buffer until the last one is gone.
#include "binding/view_object.hpp"

#include "binding/ref.hpp"

#include <new>

namespace quiltmap::binding {
namespace {

struct ViewObject {
    PyObject_HEAD
    ArrayView view;
    const char* format;
    Py_ssize_t shape[kMaxAxes];
    Py_ssize_t strides[kMaxAxes];
};

// The elements are C-contiguous; a request for Fortran order is honoured
// only where the two orders coincide (at most one axis longer than 1).
bool is_fortran_contiguous(const ViewObject& object) {
    int long_axes = 0;
    for (int axis = 0; axis < object.view.axes(); ++axis) long_axes += object.shape[axis] > 1;
    return long_axes <= 1;
}

int view_object_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    auto* object = reinterpret_cast<ViewObject*>(self);
    const bool read_only = object->view.exporter_read_only();
    if ((flags & PyBUF_WRITABLE) && read_only) {
        PyErr_SetString(PyExc_ValueError, "Cannot create writable memory view from read-only memoryview");
        return -1;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !is_fortran_contiguous(*object)) {
        PyErr_SetString(PyExc_BufferError, "quiltmap._mvs.view: underlying buffer is not Fortran contiguous");
        return -1;
    }
    const int axes = object->view.axes();
    Py_ssize_t itemsize = object->view.item_size();
    Py_ssize_t length = itemsize;
    for (int axis = 0; axis < axes; ++axis) length *= object->shape[axis];
    buffer->buf = object->view.data();
    buffer->obj = self;
    Py_INCREF(self);
    buffer->len = length;
    buffer->itemsize = itemsize;
    buffer->readonly = read_only;
    buffer->ndim = axes;
    buffer->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(object->format) : nullptr;
    buffer->shape = (flags & PyBUF_ND) == PyBUF_ND ? object->shape : nullptr;
    buffer->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? object->strides : nullptr;
    buffer->suboffsets = nullptr;
    buffer->internal = nullptr;
    return 0;
}

void view_object_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<ViewObject*>(self);
    object->view.~ArrayView();
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs view_object_buffer = {view_object_getbuffer, nullptr};

PyTypeObject view_object_type = [] {
    PyTypeObject type = blank_static_type();
    type.tp_name = "quiltmap._mvs.view";
    type.tp_basicsize = sizeof(ViewObject);
    type.tp_dealloc = view_object_dealloc;
    type.tp_as_buffer = &view_object_buffer;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Buffer-protocol view on an array argument of a quiltmap._mvs kernel.";
    return type;
}();

}  // namespace

bool ready_view_object_type() { return PyType_Ready(&view_object_type) == 0; }

bool is_view_object(PyObject* object) { return Py_TYPE(object) == &view_object_type; }

PyObject* make_view_object(PyObject* exporter, const ViewRule& rule) {
    ArrayView view;
    // NumPy reads misaligned elements itself; the object exports the
    // caller's memory as it is.
    if (!view.acquire(exporter, rule, Placement::as_exported)) return nullptr;
    if (view.is_empty()) Py_RETURN_NONE;
    PyObject* self = view_object_type.tp_alloc(&view_object_type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<ViewObject*>(self);
    new (&object->view) ArrayView(std::move(view));
    object->format = rule.element->format;
    for (int axis = 0; axis < object->view.axes(); ++axis) {
        object->shape[axis] = object->view.extent(axis);
        object->strides[axis] = object->view.stride(axis);
    }
    return self;
}

}  // namespace quiltmap::binding
