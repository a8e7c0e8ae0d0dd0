// The production filter against its literal twin, and the 64-bit window
// arithmetic; outcomes are checked against an oracle by the Python tests.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernels/bilateral.hpp"
#include "kernels/bilateral_weights.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

using Filter = void (*)(const Array2<const float>&, const Array2<const std::uint8_t>&,
                        std::int32_t, float, const Array2<const float>&, const Array2<float>&);
constexpr float kUntouched = -7.0f;

class BilateralLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(BilateralLevels);

Buffer<float, 2> table(std::int32_t radius, float inv_s) {
    const int64_t n = radius < 0 ? 0 : 2 * int64_t(radius) + 1;
    Buffer<float, 2> sw({n, n}, {0, 0}, kNaN);
    bilateral_spatial_table(radius, inv_s, radius, sw.view);
    return sw;
}

// out starts as a copy of Z and has two spare columns that must keep their fill.
std::vector<float> filtered(Filter kernel, const Buffer<float, 2>& Z,
                            const Buffer<std::uint8_t, 2>& valid, std::int32_t radius,
                            float inv_r, const Array2<const float>& sw) {
    const int64_t H = Z.view.extent[0], W = Z.view.extent[1];
    Buffer<float, 2> out({H, W}, {0, 2}, kUntouched);
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) out({y, x}) = Z({y, x});
    kernel(Z.cview(), valid.cview(), radius, inv_r, sw, out.view);
    return out.storage;
}

TEST(Bilateral, ScaleIsOneOverTwoSigmaSquaredInDouble) {
    const float cases[][2] = {{1, 0.5f},      {2, 0.125f}, {-2, 0.125f}, {0.5f, 2},
                              {0, kInf},      {-0.0f, kInf}, {1e-30f, kInf}, {1e30f, 0},
                              {kInf, 0},      {kNaN, kNaN},
                              {1e20f, 5e-41f}};  // 2 sigma^2 overflows in float
    for (const auto& [sigma, want] : cases)
        EXPECT_TRUE(same(bilateral_scale(sigma), want)) << sigma;
}

TEST(Bilateral, SpatialTable) {
    Buffer<float, 2> sw({7, 7}, {1, 2}, kUntouched);
    bilateral_spatial_table(3, 0.25f, 3, sw.view);
    EXPECT_EQ(sw({3, 3}), 1.0f);
    EXPECT_FLOAT_EQ(sw({4, 4}), 0.60653066f);  // 2.718281828^-0.5
    for (int64_t i = 0; i < 7; ++i)
        for (int64_t j = 0; j < 7; ++j) {  // symmetric, falling with distance
            EXPECT_EQ(bits(sw({i, j})), bits(sw({j, 6 - i})));
            EXPECT_EQ(bits(sw({i, j})), bits(sw({i, 6 - j})));
            if (j > 3) {
                EXPECT_LT(sw({i, j}), sw({i, j - 1}));
            }
        }
    EXPECT_EQ(sw.storage[7], kUntouched);  // padding after row 0

    for (float w : table(4, 0.0f).storage) EXPECT_EQ(w, 1.0f);
    const auto inf = table(2, kInf).storage;  // centre 0 * inf, elsewhere pow(b, -inf)
    for (std::size_t i = 0; i < inf.size(); ++i) EXPECT_TRUE(same(inf[i], i == 12 ? kNaN : 0)) << i;

    // Squares beyond 32 bits (from a radius of 32768 on).
    EXPECT_NEAR(bilateral_spatial_weight(40000, -40000, float(1 / 3.2e9)), std::exp(-1.0), 1e-6);
    const double big = std::numeric_limits<std::int32_t>::max();
    EXPECT_NEAR(bilateral_spatial_weight(-int64_t(big), int64_t(big), 1e-19f),
                std::exp(-2 * big * big * double(1e-19f)), 1e-6);
}

// Once the window covers the grid (radius >= max(H, W) - 1), a larger radius
// only adds offsets outside it, so every such radius gives the same result;
// the clipped production window must also reach the same table entries.
TEST_P(BilateralLevels, AnyRadiusCoveringTheGridGivesTheSameResult) {
    const Filter kBoth[] = {bilateral_filter_reference, level().bilateral_filter};
    const std::int32_t covering = 5;  // a 5 x 6 grid
    Values values(5);
    Buffer<float, 2> Z({5, 6}, {0, 1}, kNaN);
    Z.fill([&] { return values.mixed(0, 4, 0.05); });
    Buffer<std::uint8_t, 2> valid({5, 6}, {0, 3}, 1);
    valid.fill([&] { return std::uint8_t(values.chance(0.8)); });
    for (float inv_s : {0.3f, 0.0f}) {
        const auto want = filtered(bilateral_filter_reference, Z, valid, covering, 0.5f,
                                   table(covering, inv_s).cview());
        for (Filter kernel : kBoth)
            for (std::int32_t radius : {covering + 1, 300})
                EXPECT_TRUE(same_elements(
                    filtered(kernel, Z, valid, radius, 0.5f, table(radius, inv_s).cview()), want))
                    << radius;
        if (inv_s != 0.0f) continue;
        // Tables too large to exist: with inv_s = 0 every entry is 1, which a
        // view with zero strides over one float represents exactly.
        const float one = 1.0f;
        for (std::int32_t radius : {40000, std::numeric_limits<std::int32_t>::max()}) {
            Array2<const float> ones;
            ones.data = &one;
            ones.extent[0] = ones.extent[1] = 2 * int64_t(radius) + 1;
            for (Filter kernel : kBoth) {  // the literal loop only at 40000: 4e9 offsets per row
                if (radius == 40000 || kernel == level().bilateral_filter) {
                    EXPECT_TRUE(
                        same_elements(filtered(kernel, Z, valid, radius, 0.5f, ones), want));
                }
            }
        }
    }
}

// Grids narrower and wider than a group of lanes, windows that reach past
// both edges of a group, grids of several strips of columns (for radii that
// go pair by pair) and radii past that (cell by cell).
TEST_P(BilateralLevels, ProductionMatchesReferenceBitForBit) {
    const int64_t shapes[][2] = {{0, 4}, {4, 0},   {1, 1},  {1, 9},  {9, 1},  {6, 7},
                                 {13, 11}, {20, 3}, {5, 37}, {3, 70}, {4, 530}};
    const float sigmas[][2] = {{1, 1},     {0.3f, 2},  {0, 1},     {1, 0},    {kNaN, 1},
                               {1e-30f, 1}, {1e30f, 1}, {2, 1e30f}, {-1.5f, 3}, {kInf, 0.5f}};
    const std::uint8_t bytes[] = {0, 1, 1, 255, 7};
    Values values(9);
    for (const auto& [H, W] : shapes) {
        for (int mode = 0; mode < 3; ++mode) {  // smooth, a step of 30, awkward values
            Buffer<float, 2> Z({H, W}, {1, 2}, kNaN);
            int64_t n = 0;
            Z.fill([&] {
                 const float z = mode == 2 ? values.mixed(0, 3, 0.1) : float(values.uniform(0, 1));
                 return mode == 1 && (n++ % W) * 2 >= W ? z + 30 : z;
             }).wild_unit_strides();
            Buffer<std::uint8_t, 2> valid({H, W}, {1, 3}, 1);
            valid.fill([&] { return bytes[values.index(5)]; }).wild_unit_strides();
            for (const auto& [sigma_r, sigma_s] : sigmas) {
                const float inv_r = bilateral_scale(sigma_r);
                for (std::int32_t radius : {0, 1, 2, 5, 8, 9}) {
                    const auto sw = table(radius, bilateral_scale(sigma_s));
                    ASSERT_TRUE(same_elements(
                        filtered(level().bilateral_filter, Z, valid, radius, inv_r, sw.cview()),
                        filtered(bilateral_filter_reference, Z, valid, radius, inv_r, sw.cview())))
                        << H << "x" << W << ", mode " << mode << ", sigmas " << sigma_r << " "
                        << sigma_s << ", radius " << radius;
                }
            }
        }
    }
}

}  // namespace
