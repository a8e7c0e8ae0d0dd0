// Selection of the best height, compiled once per level (simd.hpp).
//
// The volume is read from memory once.  The cells go in blocks of a row
// whose costs at every label (about 128 KiB) stay in the second-level cache
// between two sweeps over its labels, and while the first sweep reads a
// block it asks for the next one's costs, so that memory and arithmetic
// overlap.  Both sweeps take a group of kGroup vectors of cells through
// every label with the group's running values in registers, labels held as
// floats (exact below 2^24).  The first keeps each cell's least cost and its
// first label; the second the least cost far from that label: a plain
// minimum over the labels far from every cell of the group, a test per cell
// only for the few near some.  The costs beside the label are read last,
// cell by cell.  argmin's first NaN changes the first sweep, so it also sums
// the costs, and a block whose sum is NaN is swept again by scalar loops
// that follow that rule; real volumes have no NaN.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/select_heights.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;

constexpr int64_t kBlockBytes = int64_t(1) << 17;
constexpr int64_t kMaxBlock = 1024;  // cells, a whole number of groups (kGroupCells) at every level
constexpr int64_t kMinBlock = 16;
constexpr float kInf = std::numeric_limits<float>::infinity();

// The block's costs: label d's at planes(d)[0 ... n).
struct Planes {
    const float* first;
    int64_t stride;  // bytes from one label to the next
    const float* operator()(int64_t d) const { return at(first, d * stride); }
};

struct Block {
    float low[kMaxBlock], label[kMaxBlock], second[kMaxBlock], below[kMaxBlock], above[kMaxBlock];
};

// Labels d with |d - best| > gap are far from best: agree's whole part,
// since |d - best| is whole; none when agree is NaN or at least D; every
// label when agree is negative.
int64_t far_gap(double agree, int64_t D) {
    if (std::isnan(agree) || agree >= double(D)) return D;
    if (agree < 0) return -1;
    return int64_t(std::floor(agree));
}

constexpr int64_t kGroup = 4;  // vectors of cells whose running state stays in registers
constexpr int64_t kGroupCells = kGroup * kFloatLanes;

// Vector g of a group of cells starting at p: every lane when the group is
// whole, else the first count[g] (0 to kFloatLanes).
template <bool kWhole>
inline Floats load_vector(const float* p, int64_t g, const int64_t (&count)[kGroup]) {
    if (kWhole) return load(p + g * kFloatLanes);
    return load_first(p + g * kFloatLanes, int(count[g]));
}

struct Group {
    int64_t count[kGroup];
    Group(int64_t i, int64_t n) {
        for (int64_t g = 0; g < kGroup; ++g) count[g] = std::clamp<int64_t>(n - i - g * kFloatLanes, 0, kFloatLanes);
    }
    bool whole() const { return count[kGroup - 1] == kFloatLanes; }
};

// The first sweep for the group of cells from i: low and label get each
// cell's least cost and its first label, unless some cost is NaN, which the
// result says.  The sum of the costs finds a NaN at the price of one
// addition a cost; it also takes inf - inf for one, which costs only time.
// Meanwhile it asks for the same cells of the next block (`ahead` bytes a
// label from next) into the cache, so that the next block's sweep finds them.
template <bool kWhole>
bool least_costs(const Planes& planes, int64_t D, int64_t i, const Group& group, Block& s, const Planes& next,
                 int64_t ahead) {
    Floats low[kGroup], best[kGroup], sum[kGroup];
    for (int64_t g = 0; g < kGroup; ++g) {
        low[g] = sum[g] = load_vector<kWhole>(planes(0) + i, g, group.count);
        best[g] = splat(0.0f);
    }
    const int64_t first_byte = i * int64_t(sizeof(float));
    const int64_t end_byte = std::min(ahead, first_byte + kGroupCells * int64_t(sizeof(float)));
    for (int64_t d = 0; d < D; ++d) {
        const char* coming = reinterpret_cast<const char*>(next(d));
        for (int64_t byte = first_byte; byte < end_byte; byte += 64) prefetch(coming + byte);
        if (d == 0) continue;
        const Floats label = splat(float(d));
        for (int64_t g = 0; g < kGroup; ++g) {
            const Floats v = load_vector<kWhole>(planes(d) + i, g, group.count);
            sum[g] = sum[g] + v;
            best[g] = select(less(v, low[g]), label, best[g]);
            low[g] = keep_smaller(v, low[g]);
        }
    }
    bool nan = false;
    const unsigned all = lane_bits(equal(splat(0.0f), splat(0.0f)));
    for (int64_t g = 0; g < kGroup; ++g) {
        store(s.low + i + g * kFloatLanes, low[g]);
        store(s.label + i + g * kFloatLanes, best[g]);
        nan |= lane_bits(equal(sum[g], sum[g])) != all;
    }
    return nan;
}

bool least_costs(const Planes& planes, int64_t D, int64_t n, Block& s, const Planes& next, int64_t ahead) {
    bool nan = false;
    for (int64_t i = 0; i < n; i += kGroupCells) {
        const Group group(i, n);
        nan |= group.whole() ? least_costs<true>(planes, D, i, group, s, next, ahead)
                             : least_costs<false>(planes, D, i, group, s, next, ahead);
    }
    return nan;
}

// The second sweep for the group of cells from i: the least cost far from
// each cell's label.  Every label outside the group's labels widened by gap
// is far for all its cells and takes a plain minimum; only those inside need
// each cell's test.
template <bool kWhole>
void far_costs(const Planes& planes, int64_t D, int64_t gap, int64_t i, int64_t n, const Group& group, Block& s) {
    Floats second[kGroup];
    for (int64_t g = 0; g < kGroup; ++g) second[g] = splat(kInf);
    if (gap < D) {
        int64_t least = D, most = 0;
        for (int64_t j = i; j < std::min(n, i + kGroupCells); ++j) {
            least = std::min(least, int64_t(s.label[j]));
            most = std::max(most, int64_t(s.label[j]));
        }
        // Labels [near_begin, near_end) are near some cell's label; none when gap < 0.
        const int64_t near_begin = gap < 0 ? D : std::max<int64_t>(0, least - gap);
        const int64_t near_end = gap < 0 ? D : std::min(D, most + gap + 1);
        auto all_far = [&](int64_t begin, int64_t end) {
            for (int64_t d = begin; d < end; ++d)
                for (int64_t g = 0; g < kGroup; ++g)
                    second[g] = keep_smaller(load_vector<kWhole>(planes(d) + i, g, group.count), second[g]);
        };
        all_far(0, near_begin);
        const Floats width = splat(float(gap));
        for (int64_t d = near_begin; d < near_end; ++d) {
            const Floats label = splat(float(d));
            for (int64_t g = 0; g < kGroup; ++g) {
                const Floats best = load(s.label + i + g * kFloatLanes);
                const FloatMask far = either(less(label, best - width), greater(label, best + width));
                const Floats v = load_vector<kWhole>(planes(d) + i, g, group.count);
                second[g] = select(far, keep_smaller(v, second[g]), second[g]);
            }
        }
        all_far(near_end, D);
    }
    for (int64_t g = 0; g < kGroup; ++g) store(s.second + i + g * kFloatLanes, second[g]);
}

void far_costs(const Planes& planes, int64_t D, int64_t gap, int64_t n, Block& s) {
    for (int64_t i = 0; i < n; i += kGroupCells) {
        const Group group(i, n);
        if (group.whole()) {
            far_costs<true>(planes, D, gap, i, n, group, s);
        } else {
            far_costs<false>(planes, D, gap, i, n, group, s);
        }
    }
}

// The first sweep by argmin's rule for NaN: the first NaN wins and stays.
void least_costs_with_nan(const Planes& planes, int64_t D, int64_t n, Block& s) {
    for (int64_t i = 0; i < n; ++i) {
        s.low[i] = planes(0)[i];
        s.label[i] = 0.0f;
    }
    for (int64_t d = 1; d < D; ++d) {
        const float* c = planes(d);
        for (int64_t i = 0; i < n; ++i) {
            const float v = c[i], low = s.low[i];
            if (!(v >= low) && low == low) {
                s.low[i] = v;
                s.label[i] = float(d);
            }
        }
    }
}

// The height and the flag of the block's n cells from their least cost,
// its label, the costs beside it and the least far cost.
void refine(const Block& s, int64_t n, int64_t D, double lowest, double step, float uniqueness, float* heights,
            std::uint8_t* clear) {
    const Floats zero = splat(0.0f), one = splat(1.0f), two = splat(2.0f), half = splat(0.5f), minus_half = splat(-0.5f);
    const Floats last = splat(float(D - 1)), factor = splat(uniqueness);
    const Doubles first = splat_double(lowest), spacing = splat_double(step);
    for (int64_t i = 0; i < n; i += kFloatLanes) {
        const Floats c0 = load(s.low + i), cm = load(s.below + i), cp = load(s.above + i), best = load(s.label + i);
        const Floats curvature = (cm - two * c0) + cp;
        const FloatMask inner = both(both(greater(best, zero), less(best, last)), greater(curvature, zero));
        // Divided whatever inner says, as NumPy does.
        Floats offset = select(inner, (half * (cm - cp)) / select(inner, curvature, one), zero);
        offset = select(less(offset, minus_half), minus_half, offset);
        offset = select(greater(offset, half), half, offset);
        const Floats z = narrow(first + (widen_low(best) + widen_low(offset)) * spacing,
                                first + (widen_high(best) + widen_high(offset)) * spacing);
        const unsigned flags = lane_bits(less(c0, factor * load(s.second + i)));
        if (n - i >= kFloatLanes) {
            store(heights + i, z);
            store_flags(clear + i, flags, kFloatLanes);
        } else {
            store_first(heights + i, z, int(n - i));
            store_flags(clear + i, flags, int(n - i));
        }
    }
}

}  // namespace

void select_heights(const Array3<const float>& agg, double lowest, double step, double agree, float uniqueness,
                    const Array2<float>& z, const Array2<std::uint8_t>& unique) {
    const int64_t D = agg.extent[0], H = agg.extent[1], W = agg.extent[2];
    const int64_t gap = far_gap(agree, D);
    const int64_t block = std::clamp(kBlockBytes / (D * int64_t(sizeof(float))), kMinBlock, kMaxBlock);
    Block s{};  // lanes beyond a block's cells are computed on, and never stored
    for (int64_t y = 0; y < H; ++y) {
        for (int64_t x0 = 0; x0 < W; x0 += block) {
            const int64_t n = std::min(block, W - x0);
            const Planes planes{at(agg.data, y * agg.stride[1]) + x0, agg.stride[0]};
            const bool row_end = x0 + block >= W;
            const int64_t next_y = row_end ? y + 1 : y, next_x = row_end ? 0 : x0 + block;
            const bool more = next_y < H;
            const Planes next = more ? Planes{at(agg.data, next_y * agg.stride[1]) + next_x, agg.stride[0]} : planes;
            const int64_t ahead = more ? std::min(block, W - next_x) * int64_t(sizeof(float)) : 0;
            if (least_costs(planes, D, n, s, next, ahead)) least_costs_with_nan(planes, D, n, s);
            // A cell with a NaN cost is never unique (its least cost is that NaN), so that
            // np.minimum's rule for NaN need not be followed here.
            far_costs(planes, D, gap, n, s);

            for (int64_t i = 0; i < n; ++i) {  // only an inner label's neighbours count
                const int64_t best = int64_t(s.label[i]);
                s.below[i] = best > 0 ? planes(best - 1)[i] : 0.0f;
                s.above[i] = best < D - 1 ? planes(best + 1)[i] : 0.0f;
            }
            refine(s, n, D, lowest, step, uniqueness, at(z.data, y * z.stride[0]) + x0,
                   at(unique.data, y * unique.stride[0]) + x0);
        }
    }
}

QUILTMAP_LEVEL_END
