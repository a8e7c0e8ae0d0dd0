// Census codes of the cells whose whole census window is valid.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// whole[y, x] as whole_windows gives it, and codes[y, x] the census code of
// samples at (y, x) (census with rows = columns = r) where whole[y, x] is 1,
// 0 elsewhere: what the plane sweep compares, which reads no invalid sample
// and no stand-in beyond the grid.  samples, valid, codes and whole share
// their extents; r >= 0 with census_bits(r, r) <= 64; step >= 1; the last
// axis of each is dense.  Cannot fail; allocates nothing.
//
// This twin checks and compares every sample of every window; the production
// kernel, kernels::census_whole (levels.hpp), must agree with it to the bit.
void census_whole_reference(const Array2<const float>& samples, const Array2<const std::uint8_t>& valid,
                            std::int32_t r, std::int32_t step, const Array2<std::uint64_t>& codes,
                            const Array2<std::uint8_t>& whole);

}  // namespace quiltmap::kernels
