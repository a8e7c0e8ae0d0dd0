// Census codes where the window is whole, compiled once per level (simd.hpp).
//
// Only cells at least r step from every edge can have a whole window, so no
// sample is ever clamped.  A row's interior goes in chunks of kChunk cells
// held in 32-bit halves of their codes, on the stack: for each offset of the
// window, one pass over the chunk takes the running minimum of the validity
// bytes and ORs the offset's bit into its half, plain loops over contiguous
// elements that the compiler vectorises at twice the width of 64-bit codes.
// The halves are joined and masked by the flags once per chunk.
#include <algorithm>
#include <cstdint>

#include "kernels/census_whole.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;

constexpr int64_t kChunk = 128;

void keep_least(const uint8_t* __restrict__ sample, int64_t n, uint8_t* __restrict__ least) {
    for (int64_t x = 0; x < n; ++x) least[x] = std::min(least[x], sample[x]);
}

void or_bit(const float* __restrict__ sample, const float* __restrict__ centre, int64_t n, int bit,
            uint32_t* __restrict__ half) {
    for (int64_t x = 0; x < n; ++x) half[x] |= uint32_t(sample[x] < centre[x]) << bit;
}

void join(const uint32_t* low, const uint32_t* high, const uint8_t* least, int64_t n, uint64_t* __restrict__ code,
          uint8_t* __restrict__ whole) {
    for (int64_t x = 0; x < n; ++x) {
        code[x] = ((uint64_t(high[x]) << 32) | low[x]) & (uint64_t{0} - least[x]);
        whole[x] = least[x];
    }
}

}  // namespace

void census_whole(const Array2<const float>& samples, const Array2<const std::uint8_t>& valid, std::int32_t r,
                  std::int32_t step, const Array2<std::uint64_t>& codes, const Array2<std::uint8_t>& whole) {
    const int64_t H = samples.extent[0], W = samples.extent[1];
    const int64_t reach = int64_t(r) * step;
    const int64_t first = reach, end = W - reach;  // the columns that may be whole
    for (int64_t y = 0; y < H; ++y) {
        uint64_t* code = at(codes.data, y * codes.stride[0]);
        uint8_t* flag = at(whole.data, y * whole.stride[0]);
        if (y < reach || y >= H - reach || first >= end) {
            std::fill(code, code + W, uint64_t{0});
            std::fill(flag, flag + W, uint8_t{0});
            continue;
        }
        std::fill(code, code + first, uint64_t{0});
        std::fill(code + end, code + W, uint64_t{0});
        std::fill(flag, flag + first, uint8_t{0});
        std::fill(flag + end, flag + W, uint8_t{0});
        const float* centre = at(samples.data, y * samples.stride[0]);
        for (int64_t x0 = first; x0 < end; x0 += kChunk) {
            const int64_t n = std::min(kChunk, end - x0);
            uint32_t low[kChunk], high[kChunk];
            uint8_t least[kChunk];
            std::fill(low, low + n, 0u);
            std::fill(high, high + n, 0u);
            std::fill(least, least + n, uint8_t{1});
            int bit = 0;
            for (int64_t i = -reach; i <= reach; i += step) {
                const float* sample = at(samples.data, (y + i) * samples.stride[0]) + x0;
                const uint8_t* usable = at(valid.data, (y + i) * valid.stride[0]) + x0;
                for (int64_t j = -reach; j <= reach; j += step) {
                    keep_least(usable + j, n, least);
                    if (i == 0 && j == 0) continue;
                    if (bit < 32)
                        or_bit(sample + j, centre + x0, n, bit, low);
                    else
                        or_bit(sample + j, centre + x0, n, bit - 32, high);
                    ++bit;
                }
            }
            join(low, high, least, n, code + x0, flag + x0);
        }
    }
}

QUILTMAP_LEVEL_END
