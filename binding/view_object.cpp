// A view object keeps its own export of the exporter for as long as it
// lives, independent of the call that made it: NumPy, or whatever stands
// behind `np`, may keep it longer than the call.  Its consumers' exports
// are counted atomically, since views may be taken and given back from
// several threads.
#include "binding/view_object.hpp"

#include "binding/ref.hpp"

#include <atomic>
#include <new>

namespace quiltmap::binding {
namespace {

struct ViewObject {
    PyObject_HEAD
    ArrayView view;
    const char* format;
    Py_ssize_t shape[kMaxAxes];
    Py_ssize_t strides[kMaxAxes];
    std::atomic<Py_ssize_t> consumers;
};

int view_object_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    auto* object = reinterpret_cast<ViewObject*>(self);
    const bool read_only = object->view.exporter_read_only();
    if ((flags & PyBUF_WRITABLE) && read_only) {
        PyErr_SetString(PyExc_ValueError, "Cannot create writable memory view from read-only memoryview");
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
    object->consumers.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void view_object_releasebuffer(PyObject* self, Py_buffer*) {
    reinterpret_cast<ViewObject*>(self)->consumers.fetch_sub(1, std::memory_order_relaxed);
}

void view_object_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<ViewObject*>(self);
    object->view.~ArrayView();
    object->consumers.~atomic();
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs view_object_buffer = {view_object_getbuffer, view_object_releasebuffer};

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

PyObject* make_view_object(PyObject* exporter, const ViewRule& rule) {
    ArrayView view;
    if (!view.acquire(exporter, rule)) return nullptr;
    if (view.is_empty()) Py_RETURN_NONE;
    PyObject* self = view_object_type.tp_alloc(&view_object_type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<ViewObject*>(self);
    new (&object->consumers) std::atomic<Py_ssize_t>(0);
    new (&object->view) ArrayView(std::move(view));
    object->format = rule.element->format;
    for (int axis = 0; axis < object->view.axes(); ++axis) {
        object->shape[axis] = object->view.extent(axis);
        object->strides[axis] = object->view.stride(axis);
    }
    return self;
}

}  // namespace quiltmap::binding
