#include "kernels/select_heights.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace quiltmap::kernels {

void select_heights_reference(const Array3<const float>& agg, double lowest, double step, double agree,
                              float uniqueness, const Array2<float>& z, const Array2<std::uint8_t>& unique) {
    const std::int64_t D = agg.extent[0], H = agg.extent[1], W = agg.extent[2];
    for (std::int64_t y = 0; y < H; ++y) {
        for (std::int64_t x = 0; x < W; ++x) {
            auto cost = [&](std::int64_t d) {
                d = d < 0 ? 0 : d > D - 1 ? D - 1 : d;
                return *at(agg.data, d * agg.stride[0] + y * agg.stride[1] + x * agg.stride[2]);
            };
            std::int64_t best = 0;
            for (std::int64_t d = 1; d < D && !std::isnan(cost(best)); ++d)
                if (cost(d) < cost(best) || std::isnan(cost(d))) best = d;
            const float c0 = cost(best), cm = cost(best - 1), cp = cost(best + 1);
            const float curvature = cm - 2.0f * c0 + cp;
            const bool inner = best > 0 && best < D - 1 && curvature > 0.0f;
            float offset = inner ? 0.5f * (cm - cp) / curvature : 0.0f;
            if (offset < -0.5f) offset = -0.5f;
            if (offset > 0.5f) offset = 0.5f;
            *at(z.data, y * z.stride[0] + x * z.stride[1]) =
                static_cast<float>(lowest + (static_cast<double>(best) + static_cast<double>(offset)) * step);

            float second = std::numeric_limits<float>::infinity();
            for (std::int64_t d = 0; d < D; ++d) {
                if (!(static_cast<double>(std::llabs(d - best)) > agree)) continue;
                const float c = cost(d);
                second = std::isnan(second) || std::isnan(c) ? std::numeric_limits<float>::quiet_NaN()
                                                             : (c < second ? c : second);
            }
            *at(unique.data, y * unique.stride[0] + x * unique.stride[1]) = c0 < uniqueness * second;
        }
    }
}

}  // namespace quiltmap::kernels
