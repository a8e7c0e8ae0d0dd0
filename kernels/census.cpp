#include "kernels/census.hpp"

#include <algorithm>

namespace quiltmap::kernels {

void census_reference(const Array2<const float>& image, std::int32_t rows, std::int32_t columns, std::int32_t step,
                      const Array2<std::uint64_t>& codes) {
    const std::int64_t H = image.extent[0], W = image.extent[1];
    auto value = [&](std::int64_t y, std::int64_t x) {
        y = std::clamp<std::int64_t>(y, 0, H - 1);
        x = std::clamp<std::int64_t>(x, 0, W - 1);
        return *at(image.data, y * image.stride[0] + x * image.stride[1]);
    };
    for (std::int64_t y = 0; y < H; ++y) {
        for (std::int64_t x = 0; x < W; ++x) {
            const float centre = value(y, x);
            std::uint64_t code = 0;
            int bit = 0;
            for (std::int64_t dy = -rows; dy <= rows; ++dy) {
                for (std::int64_t dx = -columns; dx <= columns; ++dx) {
                    if (dy == 0 && dx == 0) continue;
                    if (value(y + dy * step, x + dx * step) < centre) code |= std::uint64_t{1} << bit;
                    ++bit;
                }
            }
            *at(codes.data, y * codes.stride[0] + x * codes.stride[1]) = code;
        }
    }
}

}  // namespace quiltmap::kernels
