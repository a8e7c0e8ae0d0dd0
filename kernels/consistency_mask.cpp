#include "kernels/consistency_mask.hpp"

#include <cmath>
#include <limits>

namespace quiltmap::kernels {

void consistency_mask_reference(const Array2<const float>& za, const Array2<const std::uint8_t>& ua,
                                const Array2<const float>& zb, const Array2<const std::uint8_t>& ub,
                                const Array2<const std::int32_t>& seen, double tolerance, std::int64_t needed,
                                const Array2<std::uint8_t>& matched, const Array2<float>& raw) {
    for (std::int64_t y = 0; y < za.extent[0]; ++y) {
        for (std::int64_t x = 0; x < za.extent[1]; ++x) {
            auto cell = [&](const auto& array) { return *at(array.data, y * array.stride[0] + x * array.stride[1]); };
            const float a = cell(za), b = cell(zb);
            const bool match = cell(ua) != 0 && cell(ub) != 0 &&
                               static_cast<double>(std::fabs(a - b)) <= tolerance && cell(seen) >= needed;
            *at(matched.data, y * matched.stride[0] + x * matched.stride[1]) = match;
            *at(raw.data, y * raw.stride[0] + x * raw.stride[1]) =
                match ? 0.5f * (a + b) : std::numeric_limits<float>::quiet_NaN();
        }
    }
}

}  // namespace quiltmap::kernels
