// Strided arrays as the numeric cores see them.
//
// The binding layer checks every array once (element type, number of axes,
// C-contiguity, access) and hands the kernels plain pointers with extents and
// byte strides.  Nothing here knows about Python; the kernels can be driven
// from C++ tests and benchmarks with ordinary std::vector storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quiltmap::kernels {

// The element `bytes` bytes after `base`.  The kernels address everything
// through byte strides, never element strides, so that views with odd
// strides on axes of extent 0 or 1 stay correct.
template <typename T>
T* at(T* base, std::int64_t bytes) {
    using Byte = std::conditional_t<std::is_const_v<T>, const unsigned char, unsigned char>;
    return reinterpret_cast<T*>(reinterpret_cast<Byte*>(base) + bytes);
}

// Element [i0, i1, ...] lies at data + i0 * stride[0] + i1 * stride[1] + ...
// bytes.  T carries the access: a `const float` array cannot be written
// through, so a kernel that mixes up its input and output does not compile.
template <typename T, int N>
struct Array {
    T* data = nullptr;
    std::int64_t extent[N] = {};
    std::int64_t stride[N] = {};  // in bytes
};

template <typename T>
using Array1 = Array<T, 1>;
template <typename T>
using Array2 = Array<T, 2>;
template <typename T>
using Array3 = Array<T, 3>;

// The same elements, for reading only.
template <typename T, int N>
Array<const T, N> read_only(const Array<T, N>& a) {
    Array<const T, N> r;
    r.data = a.data;
    for (int axis = 0; axis < N; ++axis) {
        r.extent[axis] = a.extent[axis];
        r.stride[axis] = a.stride[axis];
    }
    return r;
}

// The production kernels step the last axis of most of their arrays by
// element, not by its byte stride, so those arrays must be dense along it;
// each kernel's header says which.  The kernels cannot fail, so they have no
// way to refuse an array that is not, and in the module none can reach them:
// the binding hands out only C-contiguous views (binding/layout.cpp).  The
// kernels therefore check it only in debug builds, with an assert at their
// entry, for C++ callers (tests, benchmarks) that build views themselves; a
// check in release builds could do nothing but abort.

// Whether consecutive elements of the last axis lie sizeof(T) bytes apart.
// An array without elements, or with one element along its last axis, is
// never stepped along it and passes whatever its strides.
template <typename T, int N>
constexpr bool last_axis_is_dense(const Array<T, N>& a) {
    for (int axis = 0; axis < N; ++axis)
        if (a.extent[axis] == 0) return true;
    return a.extent[N - 1] <= 1 || a.stride[N - 1] == static_cast<std::int64_t>(sizeof(T));
}

// A C-contiguous array of `extents` over caller-owned storage; for tests,
// benchmarks and the kernels' own scratch views.
template <typename T, int N>
Array<T, N> contiguous(T* data, const std::int64_t (&extents)[N]) {
    Array<T, N> a;
    a.data = data;
    std::int64_t step = static_cast<std::int64_t>(sizeof(T));
    for (int axis = N - 1; axis >= 0; --axis) {
        a.extent[axis] = extents[axis];
        a.stride[axis] = step;
        step *= extents[axis];
    }
    return a;
}

}  // namespace quiltmap::kernels
