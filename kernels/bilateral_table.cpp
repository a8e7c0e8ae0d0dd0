// The filter's scale factors and spatial weights: production code, made
// with the interpreter lock held before the pass, and shared by every level
// and by the scalar twin's callers.
#include <algorithm>
#include <cstdint>

#include "kernels/bilateral.hpp"
#include "kernels/bilateral_weights.hpp"

namespace quiltmap::kernels {

using std::int64_t;

float bilateral_scale(float sigma) {
    return float(1.0 / ((2.0 * double(sigma)) * double(sigma)));
}

void bilateral_spatial_table(std::int32_t radius, float inv_s, std::int64_t reach,
                             const Array2<float>& sw) {
    const int64_t r = radius, n = std::min(r, reach);
    for (int64_t dy = -n; dy <= n; ++dy) {
        float* row = at(sw.data, (dy + r) * sw.stride[0]);
        for (int64_t dx = -n; dx <= n; ++dx)
            *at(row, (dx + r) * sw.stride[1]) = bilateral_spatial_weight(dy, dx, inv_s);
    }
}

}  // namespace quiltmap::kernels
