// The matching cost of a rectified stereo pair from its census codes.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// cost[k, y, x], for the disparity d = first + k, is
//     float(popcount(left[y, x] ^ right[y, x - d])) * scale
// (the product rounded to float), and `outside` where x - d < 0: the pixel
// that left[y, x] shows lies d columns to the left in the right image.
// left and right share the extents (H, W); cost is (D, H, W) for any D;
// 0 <= first <= INT32_MAX.  The last axis of all three is dense.  Cannot
// fail; allocates nothing.
//
// This twin computes every element on its own; the production kernel,
// kernels::census_cost (levels.hpp), must agree with it to the bit.
void census_cost_reference(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                           std::int64_t first, float scale, float outside, const Array3<float>& cost);

}  // namespace quiltmap::kernels
