#include "kernels/census_whole.hpp"

namespace quiltmap::kernels {

void census_whole_reference(const Array2<const float>& samples, const Array2<const std::uint8_t>& valid,
                            std::int32_t r, std::int32_t step, const Array2<std::uint64_t>& codes,
                            const Array2<std::uint8_t>& whole) {
    const std::int64_t H = samples.extent[0], W = samples.extent[1];
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
            std::uint64_t code = 0;
            if (all) {
                const float centre = *at(samples.data, y * samples.stride[0] + x * samples.stride[1]);
                int bit = 0;
                for (std::int64_t i = -r; i <= r; ++i) {
                    for (std::int64_t j = -r; j <= r; ++j) {
                        if (i == 0 && j == 0) continue;
                        const std::int64_t sy = y + i * step, sx = x + j * step;
                        if (*at(samples.data, sy * samples.stride[0] + sx * samples.stride[1]) < centre)
                            code |= std::uint64_t{1} << bit;
                        ++bit;
                    }
                }
            }
            *at(codes.data, y * codes.stride[0] + x * codes.stride[1]) = code;
            *at(whole.data, y * whole.stride[0] + x * whole.stride[1]) = all ? 1 : 0;
        }
    }
}

}  // namespace quiltmap::kernels
