// The best height of every cell of an aggregated (D, H, W) cost volume.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// For every cell (y, x) of agg (D, H, W):
//   best      the first label of least cost (the first NaN, if any: argmin's rule);
//   c0, cm, cp  agg[best], agg[best - 1], agg[best + 1], in float;
//   curvature = (cm - 2 c0) + cp;  inner = 0 < best < D - 1 and curvature > 0;
//   offset    = inner ? 0.5 (cm - cp) / curvature : 0, clipped to [-0.5, 0.5]
//               (a NaN stays NaN), all in float;
//   z[y, x]   = float(lowest + (best + offset) * step), in double;
//   second    = the least agg[d] over the labels with double(|d - best|) > agree,
//               +inf if none, NaN if any of them is NaN;
//   unique[y, x] = 1 if c0 < uniqueness * second (the product in float), else 0.
// agg has D >= 1 labels and fewer than 2^24; z and unique have its (H, W);
// the last axis of every array is dense.  Cannot fail; allocates nothing.
//
// This twin takes each cell's labels one by one, in NumPy's order; the
// production kernel, kernels::select_heights (levels.hpp), must agree with
// it to the bit.
void select_heights_reference(const Array3<const float>& agg, double lowest, double step, double agree,
                              float uniqueness, const Array2<float>& z, const Array2<std::uint8_t>& unique);

}  // namespace quiltmap::kernels
