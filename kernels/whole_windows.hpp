// Cells whose whole census window is valid.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// whole[y, x] = 1 where every sample valid[y + i step, x + j step],
// -r <= i, j <= r, lies in the grid and is nonzero, else 0: the cells whose
// census codes (census with rows = columns = r) read no invalid sample and
// no stand-in for one beyond the grid.  whole has valid's extents; r >= 0,
// step >= 1; the last axis of both is dense.  Cannot fail; allocates
// nothing.
//
// This twin checks every sample of every window; the production kernel,
// kernels::whole_windows (levels.hpp), must agree with it to the bit.
void whole_windows_reference(const Array2<const std::uint8_t>& valid, std::int32_t r, std::int32_t step,
                             const Array2<std::uint8_t>& whole);

}  // namespace quiltmap::kernels
