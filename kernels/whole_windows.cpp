#include "kernels/whole_windows.hpp"

namespace quiltmap::kernels {

void whole_windows_reference(const Array2<const std::uint8_t>& valid, std::int32_t r, std::int32_t step,
                             const Array2<std::uint8_t>& whole) {
    const std::int64_t H = valid.extent[0], W = valid.extent[1];
    for (std::int64_t y = 0; y < H; ++y) {
        for (std::int64_t x = 0; x < W; ++x) {
            bool all = true;
            for (std::int64_t i = -r; i <= r; ++i) {
                for (std::int64_t j = -r; j <= r; ++j) {
                    const std::int64_t sy = y + i * step, sx = x + j * step;
                    all = all && sy >= 0 && sy < H && sx >= 0 && sx < W &&
                          *at(valid.data, sy * valid.stride[0] + sx * valid.stride[1]) != 0;
                }
            }
            *at(whole.data, y * whole.stride[0] + x * whole.stride[1]) = all ? 1 : 0;
        }
    }
}

}  // namespace quiltmap::kernels
