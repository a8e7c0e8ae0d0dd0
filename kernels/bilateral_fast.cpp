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

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;

constexpr int64_t kLanes = kFloatLanes;

// ---------------------------------------------------------------------------
// The range weight float(pow(kWeightBase, double(t))) for t <= 0.
//
// b^t = 2^(t log2 b) = 2^(k / 16) 2^r with k = round(16 t log2 b) and
// |r| <= 1/32, and:
//  - x = t * kLog2Base in double lies within 2^-45.1 of t log2 b (two
//    roundings, of log2 b and of the product, each under 2^-53 of |x| <=
//    151), which moves 2^x by under 2^-45.6, relatively; r = x - k / 16 is
//    exact (Sterbenz: k / 16 is within a factor 2 of x, or 0);
//  - 2^(k / 16) = 2^floor(k / 16) kSixteenths[k mod 16], the table rounded to
//    double (2^-53) and the power of two exact (k >= -16 * 151: no double is
//    subnormal);
//  - 2^r is a polynomial of degree 4 (interpolation at the Chebyshev nodes of
//    [-1/32, 1/32], coefficients rounded to double) with a relative error
//    under 2^-38.5, measured in 60-digit arithmetic at 2001 points of the
//    interval (tools/range_weight_coefficients.py); Horner's rule and the
//    product with the table entry add under 2^-50.
// The result y is thus within 2^-38.4 of b^t, relatively, and the library's
// pow within 2^-52 of it (glibc's pow: under one ulp).  With kDoubt = 2^-37
// > 2^-38.4 + 2^-52 + 2^-53 (the rounding of the two products below), both
// b^t and the library's result lie in [y (1 - kDoubt), y (1 + kDoubt)].  When
// both ends of that interval round to the same float, everything between
// them does, the library's result included: that float is the weight.
// Otherwise (about 2 kDoubt 2^24 = 2^-12 of uniformly spread weights) the
// lane calls pow.  Below t = -104, b^t < 2^-150, half the least subnormal
// float: the weight is 0.  NaN and t > 0 go to pow.  An exhaustive test
// compares every float t <= 0 with the library
// (tests/cpp/test_range_weight.cpp).
constexpr double kLog2Base = 1.4426950406453307;
constexpr double kSixteenths[16] = {1.0, 1.0442737824274138, 1.0905077326652577, 1.1387886347566916,
                                    1.189207115002721, 1.241857812073484, 1.2968395546510096, 1.3542555469368927,
                                    1.4142135623730951, 1.4768261459394993, 1.5422108254079407, 1.6104903319492543,
                                    1.681792830507429, 1.7562521603732995, 1.8340080864093424, 1.9152065613971474};
constexpr double kPoly[] = {1.0, 0.6931471801625687, 0.24022650691319414, 0.055505736314614036,
                            0.009618317140580765};
constexpr double kDoubt = 0x1p-37;
constexpr float kZeroBelow = -104.0f;
constexpr double kRoundToInteger = 0x1.8p52;  // x + this - this: x rounded to an integer

// y ~ b^t for kDoubleLanes values -104 <= t <= 0.
inline Doubles power_of_base(Doubles t) {
    const Doubles x = t * splat_double(kLog2Base);
    const Doubles shifted = x * splat_double(16.0) + splat_double(kRoundToInteger);
    const Doubles k = shifted - splat_double(kRoundToInteger);
    const Doubles r = x - k * splat_double(1.0 / 16.0);
    Doubles p = splat_double(kPoly[4]);
    for (int j = 3; j >= 0; --j) p = p * r + splat_double(kPoly[j]);
    return scale_by_sixteenths(p * lookup16(kSixteenths, shifted), shifted);
}

inline float library_weight(float t) { return float(std::pow(kWeightBase, double(t))); }

// The weights of the lanes in `active` (bits), the others unspecified; the
// lanes that took the library pow are added to *slow, when given (the
// filter has no use for the count).
inline Floats range_weight(Floats t, unsigned active, int64_t* slow = nullptr) {
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
        if (slow != nullptr) ++*slow;
    }
    return load(w_lanes);
}

// ---------------------------------------------------------------------------
// The filter.

inline unsigned all_lanes(int64_t n) { return unsigned((uint64_t(1) << n) - 1); }

struct Filter {
    int64_t H, W, r;
    Array2<const float> Z;
    Array2<const std::uint8_t> valid;
    Array2<const float> sw;
    Floats inv_r;

    const float* heights(int64_t y) const { return at(Z.data, y * Z.stride[0]); }
    const std::uint8_t* flags(int64_t y) const { return at(valid.data, y * valid.stride[0]); }
    float spatial(int64_t dy, int64_t dx) const {
        return load_one(at(sw.data, (dy + r) * sw.stride[0] + (dx + r) * sw.stride[1]));
    }
};

// The cells of a group (n columns from x of row y, usable where `centre`,
// heights z0) with their neighbours at (dy, dx): the weight of each pair,
// the neighbour's height, and which lanes hold a pair of usable cells.
struct Pair {
    Floats w, z;
    FloatMask use;
};

inline Pair pair(const Filter& f, int64_t y, int64_t x, int64_t n, FloatMask centre, Floats z0, int64_t dy,
                 int64_t dx) {
    const int64_t first = x + dx;
    const float* z_row = f.heights(y + dy);
    const std::uint8_t* v_row = f.flags(y + dy);
    Floats z;
    FloatMask usable_neighbour;
    if (first >= 0 && first + n <= f.W) {
        z = load_n(z_row + first, n);
        usable_neighbour = usable(v_row + first, int(n));
    } else {  // the lanes whose neighbour lies outside the row get no flag
        float lanes[kLanes] = {};
        std::uint8_t flags[kLanes] = {};
        for (int64_t i = std::max<int64_t>(0, -first); i < n && first + i < f.W; ++i) {
            lanes[i] = load_one(z_row + first + i);
            flags[i] = v_row[first + i];
        }
        z = load(lanes);
        usable_neighbour = usable(flags);
    }
    const FloatMask use = both(centre, usable_neighbour);
    const Floats dr = z - z0;
    const Floats t = (-dr * dr) * f.inv_r;
    return {range_weight(t, lane_bits(use)) * splat(f.spatial(dy, dx)), z, use};
}

// The centre's own pair: dr = z0 - z0 is +0 or NaN, so the exponent is -0
// (a weight of exactly 1, times the table's centre) or NaN, which the
// library's pow returns as a NaN.  No power to evaluate.
inline Pair centre_pair(const Filter& f, FloatMask centre, Floats z0) {
    const Floats dr = z0 - z0;
    const Floats t = (-dr * dr) * f.inv_r;
    const Floats one_or_nan = select(equal(t, t), splat(1.0f), t);
    return {one_or_nan * splat(f.spatial(0, 0)), z0, centre};
}

// The literal sums' next term: asum + w z and wsum + w where the pair is usable.
inline void add(const Pair& p, Floats& asum, Floats& wsum) {
    asum = select(p.use, asum + p.w * p.z, asum);
    wsum = select(p.use, wsum + p.w, wsum);
}

// out = asum / wsum where the centre is usable and wsum > 0; the copy of Z
// elsewhere.
inline void finish(float* out, int64_t n, FloatMask centre, Floats asum, Floats wsum) {
    const FloatMask filtered = both(centre, greater(wsum, splat(0.0f)));
    store_n(out, select(filtered, asum / wsum, load_n(out, n)), n);
}

// Every cell computes its whole window: the order of a cell's sums is the
// order of the loops.
void filter_directly(const Filter& f, const Array2<float>& out) {
    for (int64_t y = 0; y < f.H; ++y) {
        const int64_t dy_lo = std::max(-f.r, -y), dy_hi = std::min(f.r, f.H - 1 - y);
        for (int64_t x = 0; x < f.W; x += kLanes) {
            const int64_t n = std::min(kLanes, f.W - x);
            const FloatMask centre = usable(f.flags(y) + x, int(n));
            if (!any(centre)) continue;
            const Floats z0 = load_n(f.heights(y) + x, n);
            // Offsets at which some lane of the group has a neighbour.
            const int64_t dx_lo = std::max(-f.r, -(x + n - 1)), dx_hi = std::min(f.r, f.W - 1 - x);
            Floats wsum = splat(0.0f), asum = splat(0.0f);
            for (int64_t dy = dy_lo; dy <= dy_hi; ++dy)
                for (int64_t dx = dx_lo; dx <= dx_hi; ++dx) add(pair(f, y, x, n, centre, z0, dy, dx), asum, wsum);
            finish(at(out.data, y * out.stride[0]) + x, n, centre, asum, wsum);
        }
    }
}

// Each pair of cells once: the weight is symmetric (the same dr^2, the same
// spatial entry), so the earlier cell of a pair in row-major order computes
// it, adds its own term and pushes the other cell's term into that cell's
// sums, kept in a ring of rows until the cell's turn comes.  A cell's window
// terms then still arrive in window order: from the rows above in row order
// and, within a row, from left to right (the pushes of one group go right to
// left, the cell nearest the target last), then from the cells on its left
// in its own row, then its own, then the pairs it computes itself.  The
// pushes of a group into one row gather in a window of vectors, which holds
// the kLanes + 2 radius targets; a push of 0 where a lane holds no pair is
// exact, since a sum that starts at +0 is never -0.  The grid goes in strips
// of columns, so that the ring fits on the stack; a strip's groups also
// cover the kernel's reach on either side, whose cells push into the strip
// but are finished by their own strip.  Larger radii go cell by cell.
constexpr int64_t kMaxSymmetricRadius = 8;
constexpr int kWindow = 1 + int((2 * kMaxSymmetricRadius + kLanes - 1) / kLanes);  // vectors
constexpr int64_t kStrip = 256;
constexpr int64_t kRingWidth = kStrip + 2 * kMaxSymmetricRadius + (kWindow + 2) * kLanes;
static_assert(2 * kMaxSymmetricRadius % kLanes == 0 || 2 * kMaxSymmetricRadius < (kWindow - 1) * kLanes);

// window += c moved s lanes up, 0 <= s <= 2 kMaxSymmetricRadius.  The loop
// over the window's vectors unrolls, so the window stays in registers.
inline void add_at(Floats (&window)[kWindow], Floats c, int64_t s) {
    const int64_t q = s / kLanes;
    for (int i = 0; i + 1 < kWindow; ++i) {
        if (i == q) {
            add_shifted(window[i], window[i + 1], c, int(s % kLanes));
            return;
        }
    }
    window[kWindow - 1] = window[kWindow - 1] + c;  // s at the start of the last vector
}

// Lanes s ... s + kLanes - 1 of the window, 0 <= s <= kMaxSymmetricRadius.
inline Floats lanes_at(const Floats (&window)[kWindow], int64_t s) {
    const int64_t q = s / kLanes;
    for (int i = 0; i + 1 < kWindow; ++i)
        if (i == q) return lanes_from(window[i], window[i + 1], int(s % kLanes));
    return window[kWindow - 1];
}

void filter_by_pairs(const Filter& f, const Array2<float>& out) {
    const int64_t r = f.r;
    float asum_ring[kMaxSymmetricRadius + 1][kRingWidth];
    float wsum_ring[kMaxSymmetricRadius + 1][kRingWidth];
    Pair pairs[2 * kMaxSymmetricRadius + 1];  // one row of offsets dx = -r ... r

    for (int64_t x0 = 0; x0 < f.W; x0 += kStrip) {
        const int64_t x1 = std::min(f.W, x0 + kStrip);
        const int64_t a0 = std::max<int64_t>(0, x0 - r), a1 = std::min(f.W, x1 + r);  // the groups' columns
        const int64_t origin = a0 - r;  // column of ring element 0
        const auto ring = [&](float (*rows)[kRingWidth], int64_t y, int64_t x) { return rows[y % (r + 1)] + x - origin; };
        // The other cells' terms of the pairs dx = from ... to (descending) of
        // the group at x, into their sums in row y, which are left in the
        // window (columns x - r ... x - r + kWindow kLanes - 1).
        Floats asum_window[kWindow], wsum_window[kWindow];
        const auto push = [&](int64_t y, int64_t x, int64_t from, int64_t to, Floats z0) {
            float* a = ring(asum_ring, y, x - r);
            float* w = ring(wsum_ring, y, x - r);
            for (int i = 0; i < kWindow; ++i) {
                asum_window[i] = load(a + i * kLanes);
                wsum_window[i] = load(w + i * kLanes);
            }
            for (int64_t dx = from; dx >= to; --dx) {
                const Pair& p = pairs[dx + r];
                add_at(asum_window, select(p.use, p.w * z0, splat(0.0f)), dx + r);
                add_at(wsum_window, select(p.use, p.w, splat(0.0f)), dx + r);
            }
            for (int i = 0; i < kWindow; ++i) {
                store(a + i * kLanes, asum_window[i]);
                store(w + i * kLanes, wsum_window[i]);
            }
        };
        for (int64_t i = 0; i <= r; ++i) {
            std::fill(asum_ring[i], asum_ring[i] + kRingWidth, 0.0f);
            std::fill(wsum_ring[i], wsum_ring[i] + kRingWidth, 0.0f);
        }
        for (int64_t y = 0; y < f.H; ++y) {
            if (y > 0) {  // row y - 1 is done; its ring row starts row y + r
                std::fill(ring(asum_ring, y + r, origin), ring(asum_ring, y + r, origin) + kRingWidth, 0.0f);
                std::fill(ring(wsum_ring, y + r, origin), ring(wsum_ring, y + r, origin) + kRingWidth, 0.0f);
            }
            const int64_t dy_hi = std::min(r, f.H - 1 - y);
            for (int64_t x = a0; x < a1; x += kLanes) {
                const int64_t n = std::min(kLanes, a1 - x);
                const FloatMask centre = usable(f.flags(y) + x, int(n));
                if (!any(centre)) continue;
                const Floats z0 = load_n(f.heights(y) + x, n);
                // This row, to the right: the cells reached get their terms first.
                for (int64_t dx = 1; dx <= r; ++dx) pairs[dx + r] = pair(f, y, x, n, centre, z0, 0, dx);
                push(y, x, r, 1, z0);
                Floats asum = lanes_at(asum_window, r), wsum = lanes_at(wsum_window, r);
                add(centre_pair(f, centre, z0), asum, wsum);
                for (int64_t dx = 1; dx <= r; ++dx) add(pairs[dx + r], asum, wsum);
                // The rows below.
                for (int64_t dy = 1; dy <= dy_hi; ++dy) {
                    for (int64_t dx = -r; dx <= r; ++dx) {
                        pairs[dx + r] = pair(f, y, x, n, centre, z0, dy, dx);
                        add(pairs[dx + r], asum, wsum);
                    }
                    push(y + dy, x, r, -r, z0);
                }
                // The strip's own cells are complete.
                const int64_t lo = std::max(x, x0), hi = std::min(x + n, x1);
                if (lo >= hi) continue;
                float* o = at(out.data, y * out.stride[0]) + x;
                if (lo == x && hi == x + n) {
                    finish(o, n, centre, asum, wsum);
                } else {  // a group astride the strip's edge: only its lanes in the strip
                    float a_lanes[kLanes], w_lanes[kLanes];
                    store(a_lanes, asum);
                    store(w_lanes, wsum);
                    const unsigned filtered = lane_bits(centre) & lane_bits(greater(wsum, splat(0.0f)));
                    for (int64_t i = lo - x; i < hi - x; ++i)
                        if ((filtered >> i) & 1u) store_one(o + i, a_lanes[i] / w_lanes[i]);
                }
            }
        }
    }
}

}  // namespace

std::int64_t range_weights(const float* t, float* weight, std::int64_t n) {
    int64_t slow = 0;
    for (int64_t i = 0; i < n; i += kLanes) {
        const int64_t m = std::min(kLanes, n - i);
        store_n(weight + i, range_weight(load_n(t + i, m), all_lanes(m), &slow), m);
    }
    return slow;
}

void bilateral_filter(const Array2<const float>& Z, const Array2<const std::uint8_t>& valid,
                      std::int32_t radius, float inv_r, const Array2<const float>& sw,
                      const Array2<float>& out) {
    const int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;
    assert(last_axis_is_dense(Z) && last_axis_is_dense(valid) && last_axis_is_dense(out));
    const Filter f{H, W, radius, Z, valid, sw, splat(inv_r)};
    if (radius >= 1 && radius <= kMaxSymmetricRadius) {
        filter_by_pairs(f, out);
    } else {
        filter_directly(f, out);
    }
}

QUILTMAP_LEVEL_END
