#include "kernels/census_cost.hpp"

namespace quiltmap::kernels {

using std::int64_t;

void census_cost_reference(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                           std::int64_t first, float scale, float outside, const Array3<float>& cost) {
    const int64_t D = cost.extent[0], H = cost.extent[1], W = cost.extent[2];
    for (int64_t k = 0; k < D; ++k) {
        const int64_t d = first + k;
        for (int64_t y = 0; y < H; ++y) {
            for (int64_t x = 0; x < W; ++x) {
                float& c = *at(cost.data, k * cost.stride[0] + y * cost.stride[1] + x * cost.stride[2]);
                if (x - d < 0) {
                    c = outside;
                    continue;
                }
                const std::uint64_t a = *at(left.data, y * left.stride[0] + x * left.stride[1]);
                const std::uint64_t b = *at(right.data, y * right.stride[0] + (x - d) * right.stride[1]);
                c = float(__builtin_popcountll(a ^ b)) * scale;
            }
        }
    }
}

void census_counts_reference(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                             std::int64_t first, const Array3<std::uint8_t>& counts) {
    const int64_t D = counts.extent[0], H = counts.extent[1], W = counts.extent[2];
    for (int64_t k = 0; k < D; ++k) {
        const int64_t d = first + k;
        for (int64_t y = 0; y < H; ++y) {
            for (int64_t x = 0; x < W; ++x) {
                std::uint8_t& c = *at(counts.data, k * counts.stride[0] + y * counts.stride[1] + x * counts.stride[2]);
                if (x - d < 0) {
                    c = kOutsideCount;
                    continue;
                }
                const std::uint64_t a = *at(left.data, y * left.stride[0] + x * left.stride[1]);
                const std::uint64_t b = *at(right.data, y * right.stride[0] + (x - d) * right.stride[1]);
                c = std::uint8_t(__builtin_popcountll(a ^ b));
            }
        }
    }
}

}  // namespace quiltmap::kernels
