// The left-right check of a stereo match: the right image's own winners,
// read from the left image's cost volume, and the pixels whose match points
// back to them.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// best[y, x] gets the disparity d of the lowest volume[d, y, x + d] over
// 0 <= d < min(D, W - x): right pixel (y, x) is left pixel (y, x + d) at
// disparity d.  The disparities are visited in increasing order from a
// running lowest of +inf, and only a strictly smaller cost replaces it, so
// of equal costs the smaller disparity wins, a NaN never does, and a pixel
// whose costs are all +inf or NaN gets 0.  volume is (D, H, W), best (H, W); the last
// axis of both is dense.  Cannot fail; allocates nothing.
//
// This twin scans each pixel's disparities on its own; the production
// kernel, kernels::right_winner (levels.hpp), must agree with it to the bit.
void right_winner_reference(const Array3<const float>& volume, const Array2<std::int32_t>& best);

// matched[y, x] is 1 where left pixel (y, x) and its match agree, else 0:
// with t = rint(double(x) - double(left[y, x])) (ties to even), the match
// lies inside the right image, 0 <= t < W, and
// |double(left[y, x]) - double(right[y, t])| <= tolerance.  A NaN or
// infinite disparity never agrees.  left (float disparities of the left
// image), right (whole disparities of the right image) and matched share
// the extents (H, W); the last axis of all three is dense.  Cannot fail;
// allocates nothing.
//
// The production kernel, kernels::left_right_check (levels.hpp), must agree
// with this twin to the bit.
void left_right_check_reference(const Array2<const float>& left, const Array2<const std::int32_t>& right,
                                double tolerance, const Array2<std::uint8_t>& matched);

}  // namespace quiltmap::kernels
