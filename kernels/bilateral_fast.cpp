// The masked bilateral filter, compiled once per level (simd.hpp).
//
// A group of kFloatLanes cells of one row is filtered at once, one lane per
// cell: for every offset of the window, in window order, each lane adds its
// neighbour's weight and weighted height under the mask, so every cell keeps
// the order and the float32 roundings of its sums.  The library pow that the
// literal filter calls for every neighbour is replaced by a vectorised
// evaluation that knows when it rounds as pow does (range_weight below).
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernels/bilateral_weights.hpp"
#include "kernels/level_entry_points.hpp"

namespace quiltmap::kernels::QUILTMAP_LEVEL {

namespace {

using std::int64_t;

constexpr int64_t kLanes = kFloatLanes;

// ---------------------------------------------------------------------------
// The range weight float(pow(kWeightBase, double(t))) for t <= 0.
//
// b^t = 2^(t log2 b) = 2^n 2^r with n = round(t log2 b), |r| <= 1/2, and:
//  - log2 b = kLog2BaseHigh + kLog2BaseLow, the first with 29 significant
//    bits, so that t * kLog2BaseHigh is exact for every float t and r =
//    (t * kLog2BaseHigh - n) + t * kLog2BaseLow is within 2^-54 of the exact
//    reduced argument (its effect on 2^r: under 2^-54.5, relatively);
//  - 2^r is a polynomial of degree 9 (interpolation at the Chebyshev nodes of
//    [-1/2, 1/2], coefficients rounded to double) with a relative error under
//    2^-45.6, measured in 60-digit arithmetic at 4001 points of the interval
//    (tools/range_weight_coefficients.py); Horner's rule in double adds under
//    2^-49;
//  - 2^n is exact: n >= -151, so no double is subnormal.
// The result y is thus within 2^-45.3 of b^t, and the library's pow within
// 2^-52 of it (glibc's pow: under one ulp).  With kDoubt = 2^-43 > 2^-45.3 +
// 2^-52 + 2^-53 (the rounding of the two products below), both b^t and the
// library's result lie in [y (1 - kDoubt), y (1 + kDoubt)].  When both ends
// of that interval round to the same float, everything between them does,
// the library's result included: that float is the weight.  Otherwise (about
// 2 kDoubt 2^24 = 2^-18 of uniformly spread weights) the lane calls pow.
// Below t = -104, b^t < 2^-150, half the least subnormal float: the weight is
// 0.  NaN and t > 0 go to pow.  An exhaustive test compares every float t
// <= 0 with the library (tests/cpp/test_range_weight.cpp).
constexpr double kLog2BaseHigh = 1.442695040255785;
constexpr double kLog2BaseLow = 3.895456572586807e-10;
constexpr double kPoly[] = {1.0000000000000135,     0.6931471805599462,    0.2402265069564034,
                            0.05550410866465167,    0.009618129193934313,  0.0013333558200794592,
                            0.0001540343375125101,  1.5252672924850737e-05, 1.325964524488711e-06,
                            1.0205905413765595e-07};
constexpr double kDoubt = 0x1p-43;
constexpr float kZeroBelow = -104.0f;
constexpr double kRoundToInteger = 0x1.8p52;  // x + this - this: x rounded to an integer

// y ~ b^t for kDoubleLanes values -104 <= t <= 0.
inline Doubles power_of_base(Doubles t) {
    const Doubles x = t * splat_double(kLog2BaseHigh);
    const Doubles shifted = x + splat_double(kRoundToInteger);
    const Doubles n = shifted - splat_double(kRoundToInteger);
    const Doubles r = (x - n) + t * splat_double(kLog2BaseLow);
    Doubles p = splat_double(kPoly[9]);
    for (int k = 8; k >= 0; --k) p = p * r + splat_double(kPoly[k]);
    return p * pow2_of_rounded(shifted);
}

inline float library_weight(float t) { return float(std::pow(kWeightBase, double(t))); }

// The weights of the lanes in `active` (bits), the others unspecified;
// *slow counts the lanes that took the library pow.
inline Floats range_weight(Floats t, unsigned active, int64_t* slow) {
    const FloatMask zero = less(t, splat(kZeroBelow));
    const FloatMask in_range = both(greater_equal(t, splat(kZeroBelow)), less_equal(t, splat(0.0f)));
    const Floats safe_t = select(in_range, t, splat(0.0f));
    const Doubles lo = power_of_base(widen_low(safe_t)), hi = power_of_base(widen_high(safe_t));
    const Doubles below = splat_double(1.0 - kDoubt), above = splat_double(1.0 + kDoubt);
    const Floats w_below = narrow(lo * below, hi * below);
    const Floats w_above = narrow(lo * above, hi * above);
    const FloatMask sure = either(zero, both(in_range, equal(w_below, w_above)));
    Floats w = select(zero, splat(0.0f), w_below);
    unsigned doubtful = active & ~lane_bits(sure);
    if (doubtful == 0) return w;
    float t_lanes[kLanes], w_lanes[kLanes];
    store(t_lanes, t);
    store(w_lanes, w);
    for (; doubtful != 0; doubtful &= doubtful - 1) {
        const int lane = __builtin_ctz(doubtful);
        w_lanes[lane] = library_weight(t_lanes[lane]);
        ++*slow;
    }
    return load(w_lanes);
}

// ---------------------------------------------------------------------------
// The filter.

inline unsigned all_lanes(int64_t n) { return unsigned((uint64_t(1) << n) - 1); }

// Heights and mask flags of the neighbours (column x + dx) of a group's
// cells (columns x ... x + n - 1); lanes whose neighbour lies outside the
// row get no flag.
struct Neighbours {
    Floats z;
    FloatMask usable;
};

inline Neighbours neighbours(const float* z_row, const std::uint8_t* v_row, int64_t first, int64_t n,
                             int64_t W) {
    if (first >= 0 && first + n <= W) {
        return {n == kLanes ? load(z_row + first) : load_first(z_row + first, int(n)),
                usable(v_row + first, int(n))};
    }
    float z[kLanes] = {};
    std::uint8_t v[kLanes] = {};
    for (int64_t i = std::max<int64_t>(0, -first); i < n && first + i < W; ++i) {
        z[i] = load_one(z_row + first + i);
        v[i] = v_row[first + i];
    }
    return {load(z), usable(v)};
}

}  // namespace

std::int64_t range_weights(const float* t, float* weight, std::int64_t n) {
    int64_t slow = 0;
    for (int64_t i = 0; i < n; i += kLanes) {
        const int64_t m = std::min(kLanes, n - i);
        const Floats w = range_weight(m == kLanes ? load(t + i) : load_first(t + i, int(m)), all_lanes(m), &slow);
        if (m == kLanes) {
            store(weight + i, w);
        } else {
            store_first(weight + i, w, int(m));
        }
    }
    return slow;
}

void bilateral_filter(const Array2<const float>& Z, const Array2<const std::uint8_t>& valid,
                      std::int32_t radius, float inv_r, const Array2<const float>& sw,
                      const Array2<float>& out) {
    const int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;
    const int64_t r = radius;
    const Floats inv_r_v = splat(inv_r);
    int64_t slow = 0;

    for (int64_t y = 0; y < H; ++y) {
        const int64_t dy_lo = std::max(-r, -y), dy_hi = std::min(r, H - 1 - y);
        const float* z_row = at(Z.data, y * Z.stride[0]);
        const std::uint8_t* v_row = at(valid.data, y * valid.stride[0]);
        float* o_row = at(out.data, y * out.stride[0]);

        for (int64_t x = 0; x < W; x += kLanes) {
            const int64_t n = std::min(kLanes, W - x);
            const FloatMask centre = usable(v_row + x, int(n));
            if (!any(centre)) continue;
            const Floats z0 = n == kLanes ? load(z_row + x) : load_first(z_row + x, int(n));
            // Offsets at which some lane of the group has a neighbour.
            const int64_t dx_lo = std::max(-r, -(x + n - 1)), dx_hi = std::min(r, W - 1 - x);
            Floats wsum = splat(0.0f), asum = splat(0.0f);
            for (int64_t dy = dy_lo; dy <= dy_hi; ++dy) {
                const float* zn_row = at(Z.data, (y + dy) * Z.stride[0]);
                const std::uint8_t* vn_row = at(valid.data, (y + dy) * valid.stride[0]);
                const float* s_row = at(sw.data, (dy + r) * sw.stride[0]);
                for (int64_t dx = dx_lo; dx <= dx_hi; ++dx) {
                    const Neighbours k = neighbours(zn_row, vn_row, x + dx, n, W);
                    const FloatMask use = both(centre, k.usable);
                    const Floats dr = k.z - z0;
                    const Floats t = (-dr * dr) * inv_r_v;
                    const Floats s = splat(load_one(at(s_row, (dx + r) * sw.stride[1])));
                    const Floats w = range_weight(t, lane_bits(use), &slow) * s;
                    asum = select(use, asum + w * k.z, asum);
                    wsum = select(use, wsum + w, wsum);
                }
            }
            const FloatMask filtered = both(centre, greater(wsum, splat(0.0f)));
            float* o = o_row + x;
            const Floats kept = n == kLanes ? load(o) : load_first(o, int(n));
            const Floats result = select(filtered, asum / wsum, kept);
            if (n == kLanes) {
                store(o, result);
            } else {
                store_first(o, result, int(n));
            }
        }
    }
}

}  // namespace quiltmap::kernels::QUILTMAP_LEVEL
