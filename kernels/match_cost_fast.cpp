// Matching costs of one label, compiled once per level (simd.hpp).
//
// A distance is popcount / bits, so the best distances are the smallest
// popcounts, and each cell's can be chosen as bytes: a row of the reference
// view's box goes in chunks of kChunk cells, and for each other view the
// chunk's popcounts (kNone where either window is not whole, or beyond that
// view's box) are merged into the chunk's k smallest so far, kept sorted, by
// k passes of byte minimum and maximum that the compiler vectorises.  Only
// then are the kept popcounts turned into distances in double and added in
// ascending order, the order of the sorted distances.  A best_views above
// kMaxKept is met by a histogram of the popcounts instead, cell by cell.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/match_cost.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;
using std::uint64_t;
using std::uint8_t;

constexpr int64_t kChunk = 256;
constexpr int64_t kMaxKept = 8;
constexpr int64_t kMaxCount = 64;  // the largest popcount
constexpr uint8_t kNone = 255;     // no finite distance; sorts after every popcount

struct Box {
    int64_t r0, r1, c0, c1;
    bool holds_row(int64_t y) const { return y >= r0 && y < r1; }
};

Box box_of(const Array2<const std::int32_t>& boxes, int64_t v) {
    const std::int32_t* b = at(boxes.data, v * boxes.stride[0]);
    return {b[0], b[1], b[2], b[3]};
}

// The chunk's cells [lo, hi) of row y, for view v: its codes and flags.
struct Span {
    const uint64_t* code;
    const uint8_t* flag;
};

Span span_of(const Array2<const std::uint64_t>& codes, const Array2<const std::uint8_t>& whole, int64_t v,
             const Box& box, int64_t y, int64_t x) {
    const int64_t i = (y - box.r0) * (box.c1 - box.c0) + (x - box.c0);
    return {at(codes.data, v * codes.stride[0]) + i, at(whole.data, v * whole.stride[0]) + i};
}

// The popcount of each code pair, kNone (every bit of a popcount, at most
// 64, set) where either flag is clear.  Without a branch, and with the
// popcount in shifts and adds, so that the compiler vectorises the loop at
// every level (no level has a vector popcount of 64-bit lanes).
void popcounts(Span a, Span b, int64_t n, uint8_t* __restrict__ count) {
    for (int64_t x = 0; x < n; ++x) {
        uint64_t v = a.code[x] ^ b.code[x];
        v = v - ((v >> 1) & 0x5555555555555555ull);
        v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
        v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
        v = v + (v >> 8);
        v = v + (v >> 16);
        v = v + (v >> 32);
        const uint8_t broken = uint8_t((a.flag[x] == 0) | (b.flag[x] == 0));
        count[x] = uint8_t(v & 0x7f) | uint8_t(0u - broken);
    }
}

// Merges count into the k smallest kept[0] <= kept[1] <= ... (count is spent).
void keep_smallest(uint8_t* __restrict__ count, int64_t n, int64_t k, uint8_t (*kept)[kChunk], int64_t offset) {
    for (int64_t j = 0; j < k; ++j) {
        uint8_t* __restrict__ row = kept[j] + offset;
        for (int64_t x = 0; x < n; ++x) {
            const uint8_t low = std::min(row[x], count[x]), high = std::max(row[x], count[x]);
            row[x] = low;
            count[x] = high;
        }
    }
}

// The mean of each cell's kept distances, as float, 0.5 where none.  Written
// without a branch or a conditional division, so that the compiler
// vectorises every loop: a distance d (finite, at least 0) times 1.0 or 0.0
// is d or the 0.0 that stands in for an infinite one, and the 0.5 is put in
// by bits.
void means(uint8_t (*kept)[kChunk], int64_t k, int64_t n, double bits, float* __restrict__ cost) {
    double sum[kChunk];
    std::int32_t count[kChunk];
    for (int64_t x = 0; x < n; ++x) {
        const std::int32_t usable = kept[0][x] != kNone;
        sum[x] = double(std::int32_t(kept[0][x])) / bits * double(usable);
        count[x] = usable;
    }
    for (int64_t j = 1; j < k; ++j) {
        for (int64_t x = 0; x < n; ++x) {
            const std::int32_t usable = kept[j][x] != kNone;
            sum[x] = sum[x] + double(std::int32_t(kept[j][x])) / bits * double(usable);
            count[x] += usable;
        }
    }
    constexpr std::uint32_t kHalf = 0x3f000000u;  // 0.5f
    for (int64_t x = 0; x < n; ++x) {
        const float mean = float(sum[x] / double(count[x] > 0 ? count[x] : 1));
        std::uint32_t word;
        std::memcpy(&word, &mean, sizeof word);
        const std::uint32_t some = 0u - std::uint32_t(count[x] > 0);
        word = (word & some) | (kHalf & ~some);
        std::memcpy(cost + x, &word, sizeof word);
    }
}

// The same for a k above kMaxKept: per cell, each popcount as often as it
// occurs, smallest first, until k are taken.
constexpr int64_t kHistogramChunk = 64;
void means_by_histogram(std::uint32_t (*times)[kHistogramChunk], int64_t k, int64_t n, double bits, float* cost) {
    for (int64_t x = 0; x < n; ++x) {
        double sum = 0.0;
        int64_t count = 0;
        for (int64_t p = 0; p <= kMaxCount && count < k; ++p) {
            for (int64_t t = times[p][x]; t > 0 && count < k; --t, ++count) {
                const double distance = double(p) / bits;
                sum = count == 0 ? distance : sum + distance;
            }
        }
        cost[x] = count > 0 ? float(sum / double(count)) : 0.5f;
    }
}

}  // namespace

void match_cost(const Array2<const std::uint64_t>& codes, const Array2<const std::uint8_t>& whole,
                const Array2<const std::int32_t>& boxes, std::int32_t ref, std::int32_t bits,
                std::int32_t best_views, const Array2<float>& plane) {
    const int64_t V = boxes.extent[0], H = plane.extent[0], W = plane.extent[1];
    const int64_t k = std::min<int64_t>(best_views, V - 1);
    const Box a = box_of(boxes, ref);
    const int64_t first = std::clamp<int64_t>(a.c0, 0, W), end = std::clamp<int64_t>(a.c1, 0, W);  // columns
    const double divisor = double(bits);
    const int64_t chunk = k <= kMaxKept ? kChunk : kHistogramChunk;
    uint8_t kept[kMaxKept][kChunk];
    uint8_t count[kChunk];
    std::uint32_t times[kMaxCount + 1][kHistogramChunk];

    for (int64_t y = 0; y < H; ++y) {
        float* row = at(plane.data, y * plane.stride[0]);
        if (!a.holds_row(y) || k == 0 || first >= end) {
            std::fill(row, row + W, 0.5f);
            continue;
        }
        std::fill(row, row + first, 0.5f);
        std::fill(row + end, row + W, 0.5f);
        for (int64_t x0 = first; x0 < end; x0 += chunk) {
            const int64_t x1 = std::min(end, x0 + chunk), n = x1 - x0;
            if (k <= kMaxKept) {
                for (int64_t j = 0; j < k; ++j) std::fill(kept[j], kept[j] + n, kNone);
            } else {
                for (int64_t p = 0; p <= kMaxCount; ++p) std::fill(times[p], times[p] + n, 0u);
            }
            for (int64_t v = 0; v < V; ++v) {
                const Box b = box_of(boxes, v);
                const int64_t lo = std::max(x0, b.c0), hi = std::min(x1, b.c1);
                if (v == ref || !b.holds_row(y) || lo >= hi) continue;
                popcounts(span_of(codes, whole, ref, a, y, lo), span_of(codes, whole, v, b, y, lo), hi - lo, count);
                if (k <= kMaxKept) {
                    keep_smallest(count, hi - lo, k, kept, lo - x0);
                } else {
                    for (int64_t x = 0; x < hi - lo; ++x)
                        if (count[x] != kNone) ++times[count[x]][lo - x0 + x];
                }
            }
            if (k <= kMaxKept)
                means(kept, k, n, divisor, row + x0);
            else
                means_by_histogram(times, k, n, divisor, row + x0);
        }
    }
}

QUILTMAP_LEVEL_END
