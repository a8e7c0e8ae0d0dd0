#include "kernels/match_cost.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace quiltmap::kernels {

void match_cost_reference(const Array2<const std::uint64_t>& codes, const Array2<const std::uint8_t>& whole,
                          const Array2<const std::int32_t>& boxes, std::int32_t ref, std::int32_t bits,
                          std::int32_t best_views, const Array2<float>& plane) {
    const std::int64_t V = boxes.extent[0], H = plane.extent[0], W = plane.extent[1];
    auto box = [&](std::int64_t v, int side) { return std::int64_t(*at(boxes.data, v * boxes.stride[0] + side * 4)); };
    // The index of cell (y, x) in view v's box, or -1 outside it.
    auto index = [&](std::int64_t v, std::int64_t y, std::int64_t x) -> std::int64_t {
        if (y < box(v, 0) || y >= box(v, 1) || x < box(v, 2) || x >= box(v, 3)) return -1;
        return (y - box(v, 0)) * (box(v, 3) - box(v, 2)) + (x - box(v, 2));
    };
    auto code = [&](std::int64_t v, std::int64_t i) { return *at(codes.data, v * codes.stride[0] + i * 8); };
    auto flag = [&](std::int64_t v, std::int64_t i) { return *at(whole.data, v * whole.stride[0] + i) != 0; };
    std::vector<double> distances;
    for (std::int64_t y = 0; y < H; ++y) {
        for (std::int64_t x = 0; x < W; ++x) {
            float& cost = *at(plane.data, y * plane.stride[0] + x * 4);
            const std::int64_t a = index(ref, y, x);
            if (a < 0) {
                cost = 0.5f;
                continue;
            }
            distances.clear();
            for (std::int64_t b = 0; b < V; ++b) {
                if (b == ref) continue;
                const std::int64_t i = index(b, y, x);
                if (i >= 0 && flag(ref, a) && flag(b, i))
                    distances.push_back(double(__builtin_popcountll(code(ref, a) ^ code(b, i))) / double(bits));
                else
                    distances.push_back(std::numeric_limits<double>::infinity());
            }
            std::sort(distances.begin(), distances.end());
            double sum = 0.0;
            std::int64_t count = 0;
            for (std::int64_t j = 0; j < std::min<std::int64_t>(best_views, std::int64_t(distances.size())); ++j) {
                const bool usable = std::isfinite(distances[j]);
                const double term = usable ? distances[j] : 0.0;
                sum = j == 0 ? term : sum + term;
                count += usable;
            }
            const double mean = sum / double(std::max<std::int64_t>(count, 1));
            cost = float(count > 0 ? mean : 0.5);
        }
    }
}

}  // namespace quiltmap::kernels
