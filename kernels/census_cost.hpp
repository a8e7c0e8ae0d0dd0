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

// The count that stands for a match outside the right image: no count of
// the bits of one uint64 comes near it.
constexpr std::uint8_t kOutsideCount = 255;

// The same volume as counts, a quarter of its bytes: counts[k, y, x] is
//     popcount(left[y, x] ^ right[y, x - d])
// and kOutsideCount where x - d < 0, so that census_cost's element is
// float(count) * scale, or outside.  The extents and layout as census_cost's.
// Cannot fail; allocates nothing.
//
// This twin counts every element on its own; the production kernel,
// kernels::census_counts (levels.hpp), must agree with it to the bit.
void census_counts_reference(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                             std::int64_t first, const Array3<std::uint8_t>& counts);

}  // namespace quiltmap::kernels
