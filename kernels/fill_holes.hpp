// Holes of a height grid filled from their lowest neighbours.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// Fills the NaN cells of z in place, ring by ring: in ring k = 1, 2, ...
// every NaN cell takes the least of its 8 neighbours that held a value
// before ring k (of neighbours of equal value the last in row-major order,
// so that of +0 and -0 the later one), provided that least value is finite;
// a cell with no such neighbour, or whose least is +-inf, stays NaN for now.
// Filling stops after `rings` rings (no limit when negative) or at the first
// ring that fills nothing.  ring (H, W) and queue (2, H * W) are scratch of
// any content.  Every array has a dense last axis; H * W < 2^31.  Cannot
// fail; allocates nothing.
//
// This twin sweeps the whole grid once per ring, as NumPy did; the
// production kernel, kernels::fill_holes (levels.hpp), must agree with it to
// the bit.
void fill_holes_reference(const Array2<float>& z, std::int64_t rings, const Array2<std::int32_t>& ring,
                          const Array2<std::int32_t>& queue);

}  // namespace quiltmap::kernels
