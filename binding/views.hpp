// Array views: typed, checked windows on a caller's buffer.
//
// Ownership.  An ArrayView is acquired from an exporter through the buffer
// protocol and holds that export (a Py_buffer, which keeps its own strong
// reference to the exporter) until the view is destroyed; the exporter can
// therefore neither resize nor free the memory while a kernel runs, even
// with the interpreter lock released.  The view copies no aligned data and
// never outlives the call that acquired it: it lives in the call's argument
// slots or as a local of an entry point, and its destructor gives the buffer
// back exactly once, on the success path and on every failure path alike.
// The view bound to None is empty: no exporter, no data, every extent 0, and
// nothing to give back.
//
// Misaligned elements.  NumPy exports arrays whose data address is not a
// multiple of the element's alignment (a float32 view of a byte array at an
// odd offset); the kernels load and store whole elements, which C++ allows
// only at aligned addresses.  Such a view works on an aligned copy made at
// acquisition, and a view handed out for writing copies its elements back
// when it is released, so the kernels see the same values and the caller
// gets the same bits as with an aligned array.
//
// The buffer is released with the interpreter lock held, by the destructor;
// a view must therefore never be destroyed inside a WithoutInterpreterLock
// scope.  Kernels receive kernels::Array values, plain pointers that borrow
// the view's memory for the duration of the unlocked scope, and only from the
// typed views InView and OutView, whose C++ type fixes the element type, the
// number of axes and the access.
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "binding/format.hpp"
#include "kernels/array.hpp"

namespace quiltmap::binding {

inline constexpr int kMaxAxes = 3;

// What a parameter (or a kernel's own result array) accepts.
struct ViewRule {
    const ElementType* element;
    int axes;
    bool writable;
};

// Whether a misaligned buffer is worked on through an aligned copy (what the
// kernels need) or exported as it is (what a view object hands to NumPy).
enum class Placement { aligned_copy_if_needed, as_exported };

class ArrayView {
public:
    ArrayView() = default;  // the empty view
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ArrayView(ArrayView&& other) noexcept;
    ArrayView& operator=(ArrayView&& other) noexcept;
    ~ArrayView() { release(); }

    // Binds `object` by `rule`: None gives the empty view.  Returns false
    // with a Python exception set (the view stays empty).
    bool acquire(PyObject* object, const ViewRule& rule,
                 Placement placement = Placement::aligned_copy_if_needed);

    bool is_empty() const { return !held_; }
    int axes() const { return axes_; }
    std::int64_t extent(int axis) const { return extent_[axis]; }
    std::int64_t stride(int axis) const { return stride_[axis]; }
    // Where the kernels find the elements: the exporter's memory, or the
    // aligned copy of it.
    void* data() const { return data_; }
    // The exporter's own memory, whatever the kernels work on.
    void* exported_data() const { return held_ ? buffer_.buf : nullptr; }
    Py_ssize_t exported_bytes() const { return held_ ? buffer_.len : 0; }
    Py_ssize_t item_size() const { return held_ ? buffer_.itemsize : 0; }
    bool exporter_read_only() const { return held_ && buffer_.readonly; }

protected:
    // The elements as a kernel array of T, N axes: only the typed views
    // below, whose C++ type fixes T, N and the access, hand them out.
    template <typename T, int N>
    kernels::Array<T, N> elements() const {
        kernels::Array<T, N> a;
        a.data = static_cast<T*>(data_);
        for (int axis = 0; axis < N; ++axis) {
            a.extent[axis] = extent_[axis];
            a.stride[axis] = stride_[axis];
        }
        return a;
    }
    void mark_written() const { written_ = true; }

private:
    void release();
    bool copy_to_aligned_storage();

    Py_buffer buffer_{};
    bool held_ = false;
    mutable bool written_ = false;  // handed out for writing: copy back on release
    void* aligned_copy_ = nullptr;  // PyMem_RawMalloc'd, when the export is misaligned
    int axes_ = 0;
    void* data_ = nullptr;
    std::int64_t extent_[kMaxAxes] = {};
    std::int64_t stride_[kMaxAxes] = {};
};

// The element type a C++ element stands for in this module's parameters;
// the const ones are read-only.  uint8_t is unsigned char, so the access
// tells the two byte types apart.
template <typename T>
struct ElementOf;
template <>
struct ElementOf<const float> {
    static constexpr const ElementType& type = kConstFloat;
};
template <>
struct ElementOf<float> {
    static constexpr const ElementType& type = kFloat;
};
template <>
struct ElementOf<const double> {
    static constexpr const ElementType& type = kConstDouble;
};
template <>
struct ElementOf<double> {
    static constexpr const ElementType& type = kDouble;
};
template <>
struct ElementOf<const std::uint8_t> {
    static constexpr const ElementType& type = kConstUnsignedChar;
};
template <>
struct ElementOf<std::uint8_t> {
    static constexpr const ElementType& type = kUint8;
};
template <>
struct ElementOf<const std::uint64_t> {
    static constexpr const ElementType& type = kConstUint64;
};
template <>
struct ElementOf<std::uint64_t> {
    static constexpr const ElementType& type = kUint64;
};
template <>
struct ElementOf<const std::int32_t> {
    static constexpr const ElementType& type = kConstInt32;
};
template <>
struct ElementOf<std::int32_t> {
    static constexpr const ElementType& type = kInt32;
};
template <>
struct ElementOf<const std::int8_t> {
    static constexpr const ElementType& type = kConstInt8;
};
template <>
struct ElementOf<std::int8_t> {
    static constexpr const ElementType& type = kInt8;
};

// A read-only view of elements T (const) with N axes: element type, number
// of axes and access are checked once at acquisition and carried in the
// type, so a body can neither read it as another type nor write through it.
template <typename T, int N>
class InView : public ArrayView {
    static_assert(std::is_const_v<T>, "a read-only view holds const elements");
    static_assert(ElementOf<T>::type.size == sizeof(T), "the kernels step elements by sizeof(T)");

public:
    static constexpr ViewRule kRule{&ElementOf<T>::type, N, false};
    bool acquire(PyObject* object, Placement placement = Placement::aligned_copy_if_needed) {
        return ArrayView::acquire(object, kRule, placement);
    }
    kernels::Array<T, N> array() const { return elements<T, N>(); }
};

// A writable view of elements T with N axes; what a kernel writes through
// array() reaches the exporter's memory by the time the view is released.
template <typename T, int N>
class OutView : public ArrayView {
    static_assert(!std::is_const_v<T>, "a writable view holds mutable elements");
    static_assert(ElementOf<T>::type.size == sizeof(T), "the kernels step elements by sizeof(T)");

public:
    static constexpr ViewRule kRule{&ElementOf<T>::type, N, true};
    bool acquire(PyObject* object) { return ArrayView::acquire(object, kRule); }
    kernels::Array<T, N> array() const {
        mark_written();
        return elements<T, N>();
    }
};

// Refuses a view whose extents fall short of `needed` (with `at_least`) or
// differ from it (without): ValueError naming the function, the array and
// both shapes, and false.  The kernels index some arrays with the extents of
// others; this is what keeps them inside every buffer.
bool require_extents(const ArrayView& view, const char* function, const char* subject,
                     const std::int64_t* needed, bool at_least);

// Refuses a result array whose memory overlaps that of `other` (an argument
// or another result): ValueError naming the function and both arrays, and
// false.  A kernel that wrote through one while reading the other would
// compute something no scalar definition gives.
bool require_separate(const ArrayView& result, const ArrayView& other, const char* function,
                      const char* result_subject, const char* other_subject);

// Asks the operating system to back the whole 2 MiB pages inside a fresh
// result buffer with huge pages.  NumPy's zeros does not ask, and a kernel
// that writes every element of a large volume otherwise takes a page fault
// per 4 KiB, which on a virtual machine costs as much as the pass itself.
// Only a hint: the contents and the results do not change, and a refusal
// (an unaligned or file-backed buffer, another system) is ignored.
void advise_huge_pages(const ArrayView& view);

// "(2, 3, 4)"-style text of a view's shape ("None" for the empty view), for
// messages that compare a shape with the one a call needs.
PyObject* describe_shape(const ArrayView& view);
PyObject* describe_shape(const std::int64_t* extents, int axes);

}  // namespace quiltmap::binding
