// Agreement of the two reference views, compiled once per level (simd.hpp):
// row by row, a loop the compiler vectorises at the level's width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/consistency_mask.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

// The largest float t with t <= tolerance (NaN for NaN): for every float d,
// double(d) <= tolerance exactly when d <= t, so that the test stays in float.
float float_bound(double tolerance) {
    float t = float(tolerance);
    if (double(t) > tolerance) t = std::nextafter(t, -std::numeric_limits<float>::infinity());
    return t;
}

}  // namespace

void consistency_mask(const Array2<const float>& za, const Array2<const std::uint8_t>& ua,
                      const Array2<const float>& zb, const Array2<const std::uint8_t>& ub,
                      const Array2<const std::int32_t>& seen, double tolerance, std::int64_t needed,
                      const Array2<std::uint8_t>& matched, const Array2<float>& raw) {
    const std::int64_t H = za.extent[0], W = za.extent[1];
    const float bound = float_bound(tolerance);
    // seen is int32: a count needed beyond its range is never, or always, reached.
    const bool none = needed > INT32_MAX;
    const std::int32_t least = std::int32_t(std::clamp<std::int64_t>(needed, INT32_MIN, INT32_MAX));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::int64_t y = 0; y < H; ++y) {
        const float* a = at(za.data, y * za.stride[0]);
        const float* b = at(zb.data, y * zb.stride[0]);
        const std::uint8_t* fa = at(ua.data, y * ua.stride[0]);
        const std::uint8_t* fb = at(ub.data, y * ub.stride[0]);
        const std::int32_t* count = at(seen.data, y * seen.stride[0]);
        std::uint8_t* match = at(matched.data, y * matched.stride[0]);
        float* mean = at(raw.data, y * raw.stride[0]);
        for (std::int64_t x = 0; x < W; ++x) {
            const bool m = (fa[x] != 0) & (fb[x] != 0) & (std::fabs(a[x] - b[x]) <= bound) & (count[x] >= least) &
                           !none;
            match[x] = m;
            mean[x] = m ? 0.5f * (a[x] + b[x]) : nan;
        }
    }
}

QUILTMAP_LEVEL_END
