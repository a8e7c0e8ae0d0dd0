// The census matching cost, compiled once per level (simd.hpp).
//
// Row by row: a row of each image's codes (W x 8 bytes) stays in the first
// cache level while the row of every disparity is written from it.  The
// count of differing bits is the usual sum of bit fields within each 64-bit
// word, in shifts, masks and adds only, so the compiler turns the loop over
// a row into whole vectors at every level (the population-count
// instruction is not in the baseline, and its vector form in none of the
// levels); counts are exact small integers, so the float product is the
// twin's.
#include <algorithm>
#include <cstdint>

#include "kernels/census_cost.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;
using std::uint64_t;

inline std::int32_t ones(uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    v += v >> 8;
    v += v >> 16;
    v += v >> 32;
    return std::int32_t(v & 0x7f);
}

void cost_row(const uint64_t* __restrict a, const uint64_t* __restrict b, int64_t n, float scale,
              float* __restrict out) {
    for (int64_t x = 0; x < n; ++x) out[x] = float(ones(a[x] ^ b[x])) * scale;
}

void count_row(const uint64_t* __restrict a, const uint64_t* __restrict b, int64_t n,
               std::uint8_t* __restrict out) {
    for (int64_t x = 0; x < n; ++x) out[x] = std::uint8_t(ones(a[x] ^ b[x]));
}

// Every row of every disparity: row(a + d, b, W - d, out + d) for the
// columns that have a match, `outside` before them.
template <typename T, typename Row>
void each_row(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right, int64_t first,
              T outside, const Array3<T>& volume, const Row& row) {
    const int64_t D = volume.extent[0], H = volume.extent[1], W = volume.extent[2];
    for (int64_t y = 0; y < H; ++y) {
        const uint64_t* a = at(left.data, y * left.stride[0]);
        const uint64_t* b = at(right.data, y * right.stride[0]);
        for (int64_t k = 0; k < D; ++k) {
            T* out = at(volume.data, k * volume.stride[0] + y * volume.stride[1]);
            const int64_t d = std::min(first + k, W);  // columns x < d have no match
            std::fill(out, out + d, outside);
            row(a + d, b, W - d, out + d);
        }
    }
}

}  // namespace

void census_cost(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                 std::int64_t first, float scale, float outside, const Array3<float>& cost) {
    each_row(left, right, first, outside, cost, [scale](const uint64_t* a, const uint64_t* b, int64_t n, float* out) {
        cost_row(a, b, n, scale, out);
    });
}

void census_counts(const Array2<const std::uint64_t>& left, const Array2<const std::uint64_t>& right,
                   std::int64_t first, const Array3<std::uint8_t>& counts) {
    each_row(left, right, first, kOutsideCount, counts, count_row);
}

QUILTMAP_LEVEL_END
