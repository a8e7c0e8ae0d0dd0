// Census codes, compiled once per level (simd.hpp).
//
// Bit by bit over whole rows: for each offset of the window, one pass over
// a row's cells ORs that offset's bit into their codes.  In a row's interior,
// where every offset's column lies in the image, that pass is a plain loop
// over contiguous floats that the compiler vectorises at the level's width
// (compare, widen, shift, or); the few cells near the left and right edges
// take the clamped column.  Rows beyond the image take the edge row, as the
// twin's clamped index does.
#include <algorithm>
#include <cstdint>

#include "kernels/census.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;
using std::uint64_t;

// One offset's bit for cells [begin, end) of a row: centre row c, sample row
// s read at column x + shift, no column clamped.
void or_bit(const float* c, const float* s, int64_t shift, int64_t begin, int64_t end, int bit, uint64_t* code) {
    for (int64_t x = begin; x < end; ++x) code[x] |= uint64_t(s[x + shift] < c[x]) << bit;
}

}  // namespace

void census(const Array2<const float>& image, std::int32_t rows, std::int32_t columns, std::int32_t step,
            const Array2<std::uint64_t>& codes) {
    const int64_t H = image.extent[0], W = image.extent[1];
    if (H == 0 || W == 0) return;
    assert(last_axis_is_dense(image) && last_axis_is_dense(codes));
    const int64_t reach = int64_t(columns) * step;
    // Columns whose every sample lies in the image.
    const int64_t inner_begin = std::min(reach, W), inner_end = std::max(inner_begin, W - reach);
    for (int64_t y = 0; y < H; ++y) {
        const float* c = at(image.data, y * image.stride[0]);
        uint64_t* code = at(codes.data, y * codes.stride[0]);
        std::fill(code, code + W, uint64_t{0});
        int bit = 0;
        for (int64_t dy = -rows; dy <= rows; ++dy) {
            const int64_t sy = std::clamp<int64_t>(y + dy * step, 0, H - 1);
            const float* s = at(image.data, sy * image.stride[0]);
            for (int64_t dx = -columns; dx <= columns; ++dx) {
                if (dy == 0 && dx == 0) continue;
                const int64_t shift = dx * step;
                or_bit(c, s, shift, inner_begin, inner_end, bit, code);
                for (int64_t x = 0; x < W; ++x) {
                    if (x == inner_begin) x = inner_end;
                    if (x >= W) break;
                    const int64_t sx = std::clamp<int64_t>(x + shift, 0, W - 1);
                    code[x] |= uint64_t(s[sx] < c[x]) << bit;
                }
                ++bit;
            }
        }
    }
}

QUILTMAP_LEVEL_END
