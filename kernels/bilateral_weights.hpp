// Weights of the height filter, shared by the table fill and the tests.
#pragma once

#include <cmath>
#include <cstdint>

namespace quiltmap::kernels {

// The weights are powers of this double, which is close to but not Euler's
// number; results are compared to the bit, so it must stay this literal.
constexpr double kWeightBase = 2.718281828;

// Spatial factor of the window offset (dy, dx).  The squared distance is
// formed in 64 bits: with 32 bits it overflows from a radius of 32768 on.
inline float bilateral_spatial_weight(std::int64_t dy, std::int64_t dx, float inv_s) {
    const std::int64_t neg_sq = -(dx * dx + dy * dy);
    return float(std::pow(kWeightBase, double(float(neg_sq) * inv_s)));
}

}  // namespace quiltmap::kernels
