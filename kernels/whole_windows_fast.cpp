// Whole census windows, compiled once per level (simd.hpp).
//
// A window that reaches beyond the grid is never whole, so only the cells at
// least r step from every edge can be.  For those, the running minimum of 1
// and every sample byte of the window is 1 exactly when every sample is
// nonzero; offset by offset, one pass over the row's interior takes it with
// the shifted sample row, a plain loop over contiguous bytes that the
// compiler vectorises.
#include <algorithm>
#include <cstdint>

#include "kernels/whole_windows.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;
using std::uint8_t;

void keep_least(const uint8_t* __restrict__ sample, int64_t n, uint8_t* __restrict__ least) {
    for (int64_t x = 0; x < n; ++x) least[x] = std::min(least[x], sample[x]);
}

}  // namespace

void whole_windows(const Array2<const std::uint8_t>& valid, std::int32_t r, std::int32_t step,
                   const Array2<std::uint8_t>& whole) {
    const int64_t H = valid.extent[0], W = valid.extent[1];
    const int64_t reach = int64_t(r) * step;
    const int64_t inner = W - 2 * reach;  // cells of a row that may be whole
    for (int64_t y = 0; y < H; ++y) {
        uint8_t* row = at(whole.data, y * whole.stride[0]);
        if (y < reach || y >= H - reach || inner <= 0) {
            std::fill(row, row + W, uint8_t{0});
            continue;
        }
        std::fill(row, row + reach, uint8_t{0});
        std::fill(row + W - reach, row + W, uint8_t{0});
        uint8_t* least = row + reach;
        std::fill(least, least + inner, uint8_t{1});
        for (int64_t i = -reach; i <= reach; i += step) {
            const uint8_t* sample = at(valid.data, (y + i) * valid.stride[0]);
            for (int64_t j = 0; j <= 2 * reach; j += step) keep_least(sample + j, inner, least);
        }
    }
}

QUILTMAP_LEVEL_END
