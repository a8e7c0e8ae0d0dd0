// The left-right check, compiled once per level (simd.hpp).
//
// right_winner runs row by row over chunks of columns: for each disparity in
// turn, one pass over the chunk's costs (a contiguous stretch of that
// disparity's row, shifted by it) against the running lowest costs, which
// stay in the first cache level.  Each column sees the disparities in the
// twin's order with the twin's strict comparison, so the winner is the
// twin's; the plain loop is vectorised by the compiler at the level's width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/left_right.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int32_t;
using std::int64_t;

constexpr int64_t kChunk = 1024;  // columns: 8 KiB of running lowest costs and winners

void keep_lower(const float* __restrict cost, int64_t n, int32_t d, float* __restrict lowest,
                int32_t* __restrict best) {
    // Written with an integer mask, which the compiler turns into whole
    // vectors at every level (a conditional store it vectorises only from AVX2 on).
    for (int64_t x = 0; x < n; ++x) {
        const float c = cost[x], lo = lowest[x];
        const int32_t lower = -int32_t(c < lo);
        lowest[x] = c < lo ? c : lo;
        best[x] = (best[x] & ~lower) | (d & lower);
    }
}

// rint in the default rounding mode (ties to even), as a vectorisable
// expression: adding and taking away 2^52 leaves no fraction bits; from
// 2^52 on every double is whole already.  The sign of a zero may differ from
// rint's, which no comparison below sees.
inline double nearest_whole(double v) {
    constexpr double kWhole = 4503599627370496.0;  // 2^52
    const double r = v >= 0 ? (v + kWhole) - kWhole : (v - kWhole) + kWhole;
    return std::fabs(v) < kWhole ? r : v;
}

}  // namespace

void right_winner(const Array3<const float>& volume, const Array2<std::int32_t>& best) {
    const int64_t D = volume.extent[0], H = volume.extent[1], W = volume.extent[2];
    float lowest[kChunk];
    for (int64_t y = 0; y < H; ++y) {
        int32_t* winner = at(best.data, y * best.stride[0]);
        for (int64_t begin = 0; begin < W; begin += kChunk) {
            const int64_t end = std::min(begin + kChunk, W);
            std::fill(lowest, lowest + (end - begin), std::numeric_limits<float>::infinity());
            std::fill(winner + begin, winner + end, 0);
            // Column x meets disparity d while x + d < W.
            for (int64_t d = 0; d < std::min(D, W - begin); ++d) {
                const float* row = at(volume.data, d * volume.stride[0] + y * volume.stride[1]);
                keep_lower(row + begin + d, std::min(end, W - d) - begin, int32_t(d), lowest, winner + begin);
            }
        }
    }
}

void left_right_check(const Array2<const float>& left, const Array2<const std::int32_t>& right, double tolerance,
                      const Array2<std::uint8_t>& matched) {
    const int64_t H = left.extent[0], W = left.extent[1];
    for (int64_t y = 0; y < H; ++y) {
        const float* disparity = at(left.data, y * left.stride[0]);
        const int32_t* back = at(right.data, y * right.stride[0]);
        std::uint8_t* agree = at(matched.data, y * matched.stride[0]);
        for (int64_t x = 0; x < W; ++x) {
            const double target = nearest_whole(double(x) - double(disparity[x]));
            const bool inside = target >= 0 && target < double(W);
            const double found = back[inside ? int64_t(target) : 0];
            agree[x] = inside && std::fabs(double(disparity[x]) - found) <= tolerance;
        }
    }
}

QUILTMAP_LEVEL_END
