#include "kernels/sgm.hpp"

#include <cassert>
#include <cstdint>

namespace quiltmap::kernels {

using std::int64_t;

// The last axis of the three volumes is dense (sgm.hpp).
constexpr int64_t kFloatBytes = sizeof(float);

namespace {

// The literal recurrence, C(d, y, x) giving the costs.
template <typename Cost>
void aggregate_literally(const Cost& C, int64_t D, int64_t H, int64_t W, float P1, float P2,
                         const Array3<float>& agg, const Array3<float>& path) {
    if (D == 0 || H == 0 || W == 0) return;  // nothing to aggregate, and no label 0 to read
    assert(last_axis_is_dense(agg) && last_axis_is_dense(path));
    auto L = [&](int64_t d, int64_t y, int64_t x) -> float& {
        return *at(path.data, d * path.stride[0] + y * path.stride[1] + x * kFloatBytes);
    };
    auto A = [&](int64_t d, int64_t y, int64_t x) -> float& {
        return *at(agg.data, d * agg.stride[0] + y * agg.stride[1] + x * kFloatBytes);
    };

    for (int k = 0; k < 8; ++k) {
        const int64_t dy = kDirections[k][0], dx = kDirections[k][1];
        for (int64_t yy = 0; yy < H; ++yy) {
            const int64_t y = dy < 0 ? H - 1 - yy : yy;
            for (int64_t xx = 0; xx < W; ++xx) {
                const int64_t x = dx < 0 ? W - 1 - xx : xx;
                const int64_t py = y - dy, px = x - dx;
                if (py < 0 || py >= H || px < 0 || px >= W) {
                    for (int64_t d = 0; d < D; ++d) L(d, y, x) = C(d, y, x);
                } else {
                    float best_prev = L(0, py, px);
                    for (int64_t d = 1; d < D; ++d)
                        if (L(d, py, px) < best_prev) best_prev = L(d, py, px);
                    for (int64_t d = 0; d < D; ++d) {
                        float v = L(d, py, px);
                        if (d > 0 && L(d - 1, py, px) + P1 < v) v = L(d - 1, py, px) + P1;
                        if (d < D - 1 && L(d + 1, py, px) + P1 < v) v = L(d + 1, py, px) + P1;
                        if (best_prev + P2 < v) v = best_prev + P2;
                        L(d, y, x) = (v + C(d, y, x)) - best_prev;
                    }
                }
                // The first direction's sum starts from zero: agg may hold anything (a reused volume).
                for (int64_t d = 0; d < D; ++d) A(d, y, x) = (k == 0 ? 0.0f : A(d, y, x)) + L(d, y, x);
            }
        }
    }
}

}  // namespace

void sgm_aggregate_reference(const Array3<const float>& cost, float P1, float P2,
                             const Array3<float>& agg, const Array3<float>& path) {
    assert(last_axis_is_dense(cost));
    const auto C = [&](int64_t d, int64_t y, int64_t x) -> float {
        return *at(cost.data, d * cost.stride[0] + y * cost.stride[1] + x * kFloatBytes);
    };
    aggregate_literally(C, cost.extent[0], cost.extent[1], cost.extent[2], P1, P2, agg, path);
}

void sgm_aggregate_shared_reference(const Array3<const float>& cost, float P1, float P2,
                                    const Array3<float>& agg, const Array3<float>& path, const Team& team) {
    if (team.member == 0) sgm_aggregate_reference(cost, P1, P2, agg, path);
}

void sgm_counts_shared_reference(const Array3<const std::uint8_t>& counts, float scale, float outside, float P1,
                                 float P2, const Array3<float>& agg, const Array3<float>& path, const Team& team) {
    if (team.member != 0) return;
    assert(last_axis_is_dense(counts));
    const auto C = [&](int64_t d, int64_t y, int64_t x) -> float {
        const std::uint8_t count = *at(counts.data, d * counts.stride[0] + y * counts.stride[1] + x);
        return count == kOutsideCount ? outside : float(count) * scale;
    };
    aggregate_literally(C, counts.extent[0], counts.extent[1], counts.extent[2], P1, P2, agg, path);
}

}  // namespace quiltmap::kernels
