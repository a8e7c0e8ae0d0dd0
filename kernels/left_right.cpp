#include "kernels/left_right.hpp"

#include <cmath>
#include <limits>

namespace quiltmap::kernels {

using std::int64_t;

void right_winner_reference(const Array3<const float>& volume, const Array2<std::int32_t>& best) {
    const int64_t D = volume.extent[0], H = volume.extent[1], W = volume.extent[2];
    for (int64_t y = 0; y < H; ++y) {
        for (int64_t x = 0; x < W; ++x) {
            float lowest = std::numeric_limits<float>::infinity();
            std::int32_t winner = 0;
            for (int64_t d = 0; d < D && x + d < W; ++d) {
                const float v = *at(volume.data, d * volume.stride[0] + y * volume.stride[1] + (x + d) * 4);
                if (v < lowest) {
                    lowest = v;
                    winner = std::int32_t(d);
                }
            }
            *at(best.data, y * best.stride[0] + x * 4) = winner;
        }
    }
}

void left_right_check_reference(const Array2<const float>& left, const Array2<const std::int32_t>& right,
                                double tolerance, const Array2<std::uint8_t>& matched) {
    const int64_t H = left.extent[0], W = left.extent[1];
    for (int64_t y = 0; y < H; ++y) {
        for (int64_t x = 0; x < W; ++x) {
            const double disparity = *at(left.data, y * left.stride[0] + x * 4);
            const double target = std::nearbyint(double(x) - disparity);
            bool agree = false;
            if (target >= 0 && target < double(W)) {
                const double back = *at(right.data, y * right.stride[0] + int64_t(target) * 4);
                agree = std::fabs(disparity - back) <= tolerance;
            }
            *at(matched.data, y * matched.stride[0] + x) = agree;
        }
    }
}

}  // namespace quiltmap::kernels
