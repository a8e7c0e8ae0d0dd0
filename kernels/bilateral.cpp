#include "kernels/bilateral.hpp"

#include <cmath>

#include "kernels/bilateral_weights.hpp"

namespace quiltmap::kernels {

namespace {

using std::int64_t;

}  // namespace

void bilateral_filter_reference(const Array2<const float>& Z,
                                const Array2<const std::uint8_t>& valid, std::int32_t radius,
                                float inv_r, const Array2<const float>& sw,
                                const Array2<float>& out) {
    const int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;  // no cells, however long the other axis
    const int64_t r = radius;  // 64 bits: dy and dx run to +-radius inclusive
    auto z = [&](int64_t y, int64_t x) { return *at(Z.data, y * Z.stride[0] + x * Z.stride[1]); };
    auto usable = [&](int64_t y, int64_t x) {
        return *at(valid.data, y * valid.stride[0] + x * valid.stride[1]) != 0;
    };

    for (int64_t y = 0; y < H; ++y) {
        for (int64_t x = 0; x < W; ++x) {
            if (!usable(y, x)) continue;
            const float z0 = z(y, x);
            float wsum = 0.0f;
            float asum = 0.0f;
            for (int64_t dy = -r; dy <= r; ++dy) {
                const int64_t yy = y + dy;
                if (yy < 0 || yy >= H) continue;
                for (int64_t dx = -r; dx <= r; ++dx) {
                    const int64_t xx = x + dx;
                    if (xx < 0 || xx >= W || !usable(yy, xx)) continue;
                    const float zk = z(yy, xx);
                    const float dr = zk - z0;
                    const float t = (-dr * dr) * inv_r;
                    const float s = *at(sw.data, (dy + r) * sw.stride[0] + (dx + r) * sw.stride[1]);
                    const float w = float(std::pow(kWeightBase, double(t))) * s;
                    asum = asum + w * zk;
                    wsum = wsum + w;
                }
            }
            if (wsum > 0.0f) *at(out.data, y * out.stride[0] + x * out.stride[1]) = asum / wsum;
        }
    }
}

}  // namespace quiltmap::kernels

namespace quiltmap::kernels {

std::int64_t range_weights_reference(const float* t, float* weight, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) weight[i] = float(std::pow(kWeightBase, double(t[i])));
    return n;
}

}  // namespace quiltmap::kernels
