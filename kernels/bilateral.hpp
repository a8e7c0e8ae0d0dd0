// Masked, edge-preserving (bilateral) filter of a float32 height grid.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// 1 / (2 sigma^2) in double precision, rounded once to float32.
float bilateral_scale(float sigma);

// The (2 radius + 1)^2 spatial weight table: sw[dy + radius, dx + radius] =
// float32(pow(2.718281828, double(float32(-(dx^2 + dy^2)) * inv_s))), for the
// offsets with |dy| and |dx| at most `reach` (the others are left as they
// are).  A filter of an H x W grid reads no offset beyond max(H, W) - 1.
// sw must have exactly 2 radius + 1 rows and columns.
void bilateral_spatial_table(std::int32_t radius, float inv_s, std::int64_t reach,
                             const Array2<float>& sw);

// Overwrites out[y, x] for every usable cell whose weight sum is positive.
// out already holds a copy of Z; valid covers Z's H x W cells; sw is the
// table above.  Z, valid and out are dense along their last axis (checked in
// debug builds: array.hpp, last_axis_is_dense); sw may have any strides.
// Cannot fail; allocates nothing.
//
// This twin writes the per-cell steps out literally; the production filter,
// kernels::bilateral_filter (levels.hpp), must agree with it to the bit.
void bilateral_filter_reference(const Array2<const float>& Z,
                                const Array2<const std::uint8_t>& valid, std::int32_t radius,
                                float inv_r, const Array2<const float>& sw,
                                const Array2<float>& out);

// The filter's range weights weight[i] = float(pow(2.718281828, double(t[i])))
// for n exponents; returns how many took the library pow (the twin: all n).
// The production kernel, kernels::range_weights, evaluates most of them with a
// vectorised power of proven error and takes the library pow where that
// could round differently, so its weights are the same bits.
std::int64_t range_weights_reference(const float* t, float* weight, std::int64_t n);

}  // namespace quiltmap::kernels
