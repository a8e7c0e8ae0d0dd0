#include "kernels/fill_holes.hpp"

#include <cmath>
#include <limits>

namespace quiltmap::kernels {

void fill_holes_reference(const Array2<float>& z, std::int64_t rings, const Array2<std::int32_t>& ring,
                          const Array2<std::int32_t>&) {
    const std::int64_t H = z.extent[0], W = z.extent[1];
    auto value = [&](std::int64_t y, std::int64_t x) -> float& { return *at(z.data, y * z.stride[0] + x * z.stride[1]); };
    // ring[y, x] = k marks a cell filled in ring k: its neighbours in the same ring still see a NaN.
    auto filled_in = [&](std::int64_t y, std::int64_t x) -> std::int32_t& {
        return *at(ring.data, y * ring.stride[0] + x * ring.stride[1]);
    };
    for (std::int64_t y = 0; y < H; ++y)
        for (std::int64_t x = 0; x < W; ++x) filled_in(y, x) = 0;
    for (std::int64_t k = 1; rings < 0 || k <= rings; ++k) {
        bool grew = false;
        for (std::int64_t y = 0; y < H; ++y) {
            for (std::int64_t x = 0; x < W; ++x) {
                if (!std::isnan(value(y, x))) continue;
                float low = std::numeric_limits<float>::infinity();
                for (std::int64_t dy = -1; dy <= 1; ++dy) {
                    for (std::int64_t dx = -1; dx <= 1; ++dx) {
                        const std::int64_t ny = y + dy, nx = x + dx;
                        float v = std::numeric_limits<float>::infinity();
                        if (ny >= 0 && ny < H && nx >= 0 && nx < W && !std::isnan(value(ny, nx)) &&
                            filled_in(ny, nx) != k)
                            v = value(ny, nx);
                        low = low < v ? low : v;  // NumPy's minimum: the later of equal values
                    }
                }
                if (std::isfinite(low)) {
                    value(y, x) = low;
                    filled_in(y, x) = std::int32_t(k);
                    grew = true;
                }
            }
        }
        if (!grew) break;
    }
}

}  // namespace quiltmap::kernels
