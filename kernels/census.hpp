// Census codes of a float32 image or sampled grid.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// The bits of a census code: one per other sample of a window of
// (2 rows + 1) x (2 columns + 1) samples, at most 64.
constexpr int census_bits(std::int32_t rows, std::int32_t columns) { return (2 * rows + 1) * (2 * columns + 1) - 1; }

// codes[y, x] gets one bit per other sample of the window centred on (y, x),
// whose samples are `step` cells apart: bit i, counting the samples row by
// row from the top-left and skipping the centre, is set where that sample is
// darker than the centre (a NaN is darker than nothing and has nothing
// darker).  A sample beyond the image takes the nearest edge cell's value.
// codes has image's extents; rows, columns >= 0 with census_bits <= 64;
// step >= 1; the last axis of both is dense (checked in debug builds:
// array.hpp, last_axis_is_dense).  Cannot fail; allocates nothing.
//
// This twin reads every sample through the clamped index; the production
// kernel, kernels::census (levels.hpp), must agree with it to the bit.
void census_reference(const Array2<const float>& image, std::int32_t rows, std::int32_t columns, std::int32_t step,
                      const Array2<std::uint64_t>& codes);

}  // namespace quiltmap::kernels
