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
// table above.  Runs the level chosen in levels.hpp.  Cannot fail; allocates
// nothing.
void bilateral_filter(const Array2<const float>& Z, const Array2<const std::uint8_t>& valid,
                      std::int32_t radius, float inv_r, const Array2<const float>& sw,
                      const Array2<float>& out);

// The per-cell steps written out literally; the production filter above must
// agree with it to the bit.
void bilateral_filter_reference(const Array2<const float>& Z,
                                const Array2<const std::uint8_t>& valid, std::int32_t radius,
                                float inv_r, const Array2<const float>& sw,
                                const Array2<float>& out);

}  // namespace quiltmap::kernels
