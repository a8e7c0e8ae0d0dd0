// Layout rules on hand-made buffers: the strides and suboffsets that no
// well-behaved exporter produces for a C-contiguous request.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/layout.hpp"
#include "kernels/array.hpp"
#include "tests/cpp/param_names.hpp"

namespace quiltmap::binding {
namespace {

struct LayoutCase {
    const char* what;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;     // empty: none given
    std::vector<std::int64_t> suboffsets;  // empty: none given
    const char* message;                   // empty: accepted
};

class LayoutRules : public ::testing::TestWithParam<LayoutCase> {};

std::string layout_case_name(const ::testing::TestParamInfo<LayoutCase>& info) {
    return test::words_as_name(info.param.what);
}

TEST_P(LayoutRules, AcceptOrExplain) {
    const LayoutCase& c = GetParam();
    std::int64_t items = 1;
    for (std::int64_t e : c.shape) items *= e;
    const BufferLayout layout{static_cast<int>(c.shape.size()), 4, 4 * items, c.shape.data(),
                              c.strides.empty() ? nullptr : c.strides.data(),
                              c.suboffsets.empty() ? nullptr : c.suboffsets.data()};
    const LayoutCheck check = check_layout(layout);
    EXPECT_EQ(check.ok, c.message[0] == '\0') << c.what;
    EXPECT_EQ(check.message, c.message) << c.what;
}

const LayoutCase kLayoutCases[] = {
    LayoutCase{"dense", {2, 3, 5}, {60, 20, 4}, {}, ""},
    LayoutCase{"no strides given", {2, 3}, {}, {}, ""},
    LayoutCase{"extent 1 with any stride", {1, 3}, {-999, 4}, {}, ""},
    LayoutCase{"extent 0 with any stride", {2, 0, 3}, {7, 5, 3}, {}, ""},
    LayoutCase{"last axis strided", {2, 3}, {24, 8}, {}, "Buffer and memoryview are not contiguous in the same dimension."},
    LayoutCase{"outer stride below one item", {2, 3}, {2, 4}, {}, "Buffer and memoryview are not contiguous in the same dimension."},
    LayoutCase{"row padding", {2, 3}, {16, 4}, {}, "Buffer not C contiguous."},
    LayoutCase{"negative outer stride", {2, 3}, {-12, 4}, {}, "Buffer not C contiguous."},
    LayoutCase{"most negative outer stride", {2, 3}, {INT64_MIN, 4}, {}, "Buffer not C contiguous."},
    LayoutCase{"most negative last stride", {3}, {INT64_MIN}, {}, "Buffer and memoryview are not contiguous in the same dimension."},
    LayoutCase{"Fortran order", {3, 2}, {4, 12}, {}, "Buffer and memoryview are not contiguous in the same dimension."},
    LayoutCase{"suboffsets without strides", {2, 3}, {}, {-1, -1}, "Buffer exposes suboffsets but no strides"},
    LayoutCase{"indirect axis", {2, 3}, {12, 4}, {-1, 0}, "Buffer not compatible with direct access in dimension 1."},
    LayoutCase{"direct suboffsets", {2, 3}, {12, 4}, {-1, -1}, ""}};

INSTANTIATE_TEST_SUITE_P(Buffers, LayoutRules, ::testing::ValuesIn(kLayoutCases), layout_case_name);

// The array a kernel receives for the buffer of `c`, float32 with strides
// given, its leading axes of extent 1.
kernels::Array<const float, 3> as_kernel_array(const LayoutCase& c) {
    kernels::Array<const float, 3> a;
    const int pad = 3 - static_cast<int>(c.shape.size());
    for (int axis = 0; axis < 3; ++axis) {
        a.extent[axis] = axis < pad ? 1 : c.shape[axis - pad];
        a.stride[axis] = axis < pad ? 0 : c.strides[axis - pad];
    }
    return a;
}

// The kernels step most last axes by element (kernels/array.hpp): every
// layout the binding accepts must be dense along it as the kernels see it,
// and the one it refuses for a strided last axis is not.
TEST(LayoutRules, AcceptedLayoutsAreDenseAlongTheLastAxis) {
    for (const LayoutCase& c : kLayoutCases) {
        if (c.strides.empty()) continue;  // the binding makes dense strides itself
        const bool accepted = c.message[0] == '\0';
        if (accepted || c.what == std::string("last axis strided")) {
            EXPECT_EQ(kernels::last_axis_is_dense(as_kernel_array(c)), accepted) << c.what;
        }
    }
    const float storage[6] = {};
    EXPECT_TRUE(kernels::last_axis_is_dense(kernels::contiguous(storage, {2, 3})));
}

TEST(LayoutRules, EmptyBufferSkipsEveryCheck) {
    const std::int64_t shape[] = {0, 3};
    const std::int64_t strides[] = {1, 1};
    EXPECT_TRUE(check_layout(BufferLayout{2, 4, 0, shape, strides, nullptr}).ok);
}

// A shape whose byte size overflows 64 bits cannot be dense.
TEST(LayoutRules, OverflowingShapeIsNotContiguous) {
    const std::int64_t shape[] = {2, std::int64_t{1} << 62, 2};
    const std::int64_t strides[] = {8, 8, 4};
    EXPECT_EQ(check_layout(BufferLayout{3, 4, 16, shape, strides, nullptr}).message, "Buffer not C contiguous.");
}

}  // namespace
}  // namespace quiltmap::binding
