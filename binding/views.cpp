#include "binding/views.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/layout.hpp"
#include "binding/ref.hpp"

namespace quiltmap::binding {

static_assert(std::is_same_v<Py_ssize_t, std::int64_t> || sizeof(Py_ssize_t) == sizeof(std::int64_t),
              "views store Py_ssize_t extents and strides as 64-bit integers");

ArrayView::ArrayView(ArrayView&& other) noexcept { *this = std::move(other); }

ArrayView& ArrayView::operator=(ArrayView&& other) noexcept {
    if (this != &other) {
        release();
        buffer_ = other.buffer_;
        held_ = std::exchange(other.held_, false);
        written_ = std::exchange(other.written_, false);
        aligned_copy_ = std::exchange(other.aligned_copy_, nullptr);
        axes_ = other.axes_;
        data_ = other.data_;
        for (int axis = 0; axis < kMaxAxes; ++axis) {
            extent_[axis] = other.extent_[axis];
            stride_[axis] = other.stride_[axis];
        }
    }
    return *this;
}

void ArrayView::release() {
    if (aligned_copy_ != nullptr) {
        if (written_) std::memcpy(buffer_.buf, aligned_copy_, static_cast<std::size_t>(buffer_.len));
        PyMem_RawFree(aligned_copy_);
        aligned_copy_ = nullptr;
    }
    written_ = false;
    if (held_) {
        held_ = false;
        PyBuffer_Release(&buffer_);
    }
}

// The buffer is C-contiguous (checked), so its elements are the `len` bytes
// from its address on; the copy gets the dense strides of its extents.
bool ArrayView::copy_to_aligned_storage() {
    const auto bytes = static_cast<std::size_t>(buffer_.len);
    // The system allocator aligns for every scalar type.
    aligned_copy_ = PyMem_RawMalloc(bytes > 0 ? bytes : 1);
    if (aligned_copy_ == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(aligned_copy_, buffer_.buf, bytes);
    data_ = aligned_copy_;
    std::int64_t step = buffer_.itemsize;
    for (int axis = axes_ - 1; axis >= 0; --axis) {
        stride_[axis] = step;
        step *= extent_[axis];
    }
    return true;
}

bool ArrayView::acquire(PyObject* object, const ViewRule& rule, Placement placement) {
    release();
    axes_ = rule.axes;
    data_ = nullptr;
    for (int axis = 0; axis < kMaxAxes; ++axis) extent_[axis] = stride_[axis] = 0;
    if (object == Py_None) return true;

    // The exporter refuses what it cannot give (no buffer, not C-contiguous,
    // read-only for a write request) with its own exception.
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (rule.writable) flags |= PyBUF_WRITABLE;
    Py_buffer buffer;
    if (PyObject_GetBuffer(object, &buffer, flags) != 0) return false;
    // From here on the export is ours; the guard gives it back on refusal.
    struct Export {
        Py_buffer* buffer;
        bool keep = false;
        ~Export() {
            if (!keep) PyBuffer_Release(buffer);
        }
    } export_guard{&buffer};

    if (buffer.ndim != rule.axes) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", rule.axes,
                     buffer.ndim);
        return false;
    }
    const FormatCheck format = check_format(buffer.format, *rule.element);
    if (!format.ok) {
        PyErr_SetString(PyExc_ValueError, format.message.c_str());
        return false;
    }
    const std::size_t element_size = rule.element->size;
    if (buffer.itemsize != static_cast<Py_ssize_t>(element_size)) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     buffer.itemsize, buffer.itemsize > 1 ? "s" : "", rule.element->name,
                     static_cast<Py_ssize_t>(element_size), element_size > 1 ? "s" : "");
        return false;
    }
    // Exporters fill the shape for a C-contiguous request; a one-axis buffer
    // without one is its bytes divided into items, as the protocol defines.
    Py_ssize_t inferred_shape[1] = {buffer.len / buffer.itemsize};
    const Py_ssize_t* shape = buffer.shape;
    if (shape == nullptr) {
        if (buffer.ndim != 1) {
            PyErr_SetString(PyExc_ValueError, "Buffer has no shape");
            return false;
        }
        shape = inferred_shape;
    }
    const LayoutCheck layout = check_layout(BufferLayout{
        buffer.ndim, buffer.itemsize, buffer.len, reinterpret_cast<const std::int64_t*>(shape),
        reinterpret_cast<const std::int64_t*>(buffer.strides),
        reinterpret_cast<const std::int64_t*>(buffer.suboffsets)});
    if (!layout.ok) {
        PyErr_SetString(PyExc_ValueError, layout.message.c_str());
        return false;
    }

    // Without strides the buffer is C-contiguous by definition.  The running
    // product only matters while it fits: past an overflow every later axis
    // has extent 0 or 1 (the buffer's bytes are finite) or the layout check
    // above already refused it.
    std::int64_t step = buffer.itemsize;
    for (int axis = rule.axes - 1; axis >= 0; --axis) {
        extent_[axis] = shape[axis];
        stride_[axis] = buffer.strides != nullptr ? buffer.strides[axis] : step;
        if (__builtin_mul_overflow(step, extent_[axis], &step)) step = 0;
    }
    data_ = buffer.buf;
    buffer_ = buffer;
    held_ = true;
    export_guard.keep = true;
    // Every element type here is a scalar whose alignment is its size.
    const bool misaligned = reinterpret_cast<std::uintptr_t>(buffer.buf) % element_size != 0;
    if (misaligned && buffer.len > 0 && placement == Placement::aligned_copy_if_needed) {
        if (!copy_to_aligned_storage()) {
            release();
            return false;
        }
    }
    return true;
}

bool require_extents(const ArrayView& view, const char* function, const char* subject,
                     const std::int64_t* needed, bool at_least) {
    // The empty view counts as all extents 0, as the kernels see it.
    bool fits = true;
    for (int axis = 0; fits && axis < view.axes(); ++axis) {
        fits = at_least ? view.extent(axis) >= needed[axis] : view.extent(axis) == needed[axis];
    }
    if (fits) return true;
    Ref needed_text(describe_shape(needed, view.axes()));
    if (!needed_text) return false;
    const char* bound = at_least ? "at least " : "";
    if (view.is_empty()) {
        PyErr_Format(PyExc_ValueError, "%s(): %s is None but needs %s%U", function, subject, bound,
                     needed_text.get());
        return false;
    }
    Ref shape_text(describe_shape(view));
    if (!shape_text) return false;
    PyErr_Format(PyExc_ValueError, "%s(): %s has shape %U but needs %s%U", function, subject, shape_text.get(),
                 bound, needed_text.get());
    return false;
}

bool require_separate(const ArrayView& result, const ArrayView& other, const char* function,
                      const char* result_subject, const char* other_subject) {
    const auto start = reinterpret_cast<std::uintptr_t>(result.exported_data());
    const auto other_start = reinterpret_cast<std::uintptr_t>(other.exported_data());
    const auto end = start + static_cast<std::uintptr_t>(result.exported_bytes());
    const auto other_end = other_start + static_cast<std::uintptr_t>(other.exported_bytes());
    if (start == end || other_start == other_end || end <= other_start || other_end <= start) return true;
    PyErr_Format(PyExc_ValueError, "%s(): %s shares memory with %s", function, result_subject, other_subject);
    return false;
}

void advise_huge_pages(const ArrayView& view) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;
    std::uintptr_t bytes = view.is_empty() ? 0 : std::uintptr_t(view.item_size());
    for (int axis = 0; axis < view.axes(); ++axis) bytes *= std::uintptr_t(view.extent(axis));
    const auto start = reinterpret_cast<std::uintptr_t>(view.data());
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1), end = (start + bytes) & ~(kHugePage - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)view;
#endif
}

PyObject* describe_shape(const std::int64_t* extents, int axes) {
    std::string text = "(";
    for (int axis = 0; axis < axes; ++axis) {
        if (axis > 0) text += ", ";
        text += std::to_string(extents[axis]);
    }
    text += axes == 1 ? ",)" : ")";
    return PyUnicode_FromString(text.c_str());
}

PyObject* describe_shape(const ArrayView& view) {
    if (view.is_empty()) return PyUnicode_FromString("None");
    std::int64_t extents[kMaxAxes];
    for (int axis = 0; axis < view.axes(); ++axis) extents[axis] = view.extent(axis);
    return describe_shape(extents, view.axes());
}

}  // namespace quiltmap::binding
