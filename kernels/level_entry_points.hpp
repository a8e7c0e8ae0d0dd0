// The production kernels that the translation units of one level define, in
// the namespace of the level being compiled (simd.hpp).
#pragma once

#include <cstdint>

#include "kernels/levels.hpp"
#include "kernels/simd.hpp"

namespace quiltmap::kernels::QUILTMAP_LEVEL {

void sgm_aggregate(const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                   const Array3<float>& path);
void bilateral_filter(const Array2<const float>& Z, const Array2<const std::uint8_t>& valid,
                      std::int32_t radius, float inv_r, const Array2<const float>& sw,
                      const Array2<float>& out);
void sample_view(const Array3<const float>& img, const Camera& camera, const GroundGrid& grid,
                 const Array2<const float>& Z, const Array3<float>& out,
                 const Array2<std::uint8_t>& valid);
std::int64_t range_weights(const float* t, float* weight, std::int64_t n);

extern const LevelKernels kernels;

}  // namespace quiltmap::kernels::QUILTMAP_LEVEL
