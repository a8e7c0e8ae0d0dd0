#include "binding/layout.hpp"

#include <cstdio>

namespace quiltmap::binding {
namespace {

LayoutCheck refuse(std::string message) { return LayoutCheck{false, std::move(message)}; }

// Unsigned, so that the most negative stride has a magnitude too.
std::uint64_t magnitude(std::int64_t v) { return v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v); }

// The stride of an axis that is walked must at least step over one item,
// and the last axis must be dense.
bool stride_steps_over_items(const BufferLayout& b, int axis) {
    const std::int64_t stride = b.strides[axis];
    if (axis == b.ndim - 1) return stride == b.itemsize;
    return magnitude(stride) >= std::uint64_t(b.itemsize);
}

}  // namespace

LayoutCheck check_layout(const BufferLayout& b) {
    if (b.length == 0) return {};
    for (int axis = 0; axis < b.ndim; ++axis) {
        if (b.shape[axis] > 1) {
            if (b.strides != nullptr) {
                if (!stride_steps_over_items(b, axis)) {
                    return refuse("Buffer and memoryview are not contiguous in the same dimension.");
                }
            } else if (b.suboffsets != nullptr) {
                return refuse("Buffer exposes suboffsets but no strides");
            }
        }
        if (b.suboffsets != nullptr && b.suboffsets[axis] >= 0) {
            char text[96];
            std::snprintf(text, sizeof text, "Buffer not compatible with direct access in dimension %d.", axis);
            return refuse(text);
        }
    }
    if (b.strides != nullptr) {
        // A shape whose byte size overflows cannot be dense, whatever its
        // strides claim.
        std::int64_t expected = b.itemsize;
        bool overflowed = false;
        for (int axis = b.ndim - 1; axis >= 0; --axis) {
            if (b.shape[axis] > 1 && (overflowed || b.strides[axis] != expected)) {
                return refuse("Buffer not C contiguous.");
            }
            overflowed = overflowed || __builtin_mul_overflow(expected, b.shape[axis], &expected);
        }
    }
    return {};
}

}  // namespace quiltmap::binding
