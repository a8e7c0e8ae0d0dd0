// Selection at every level against its twin, on volumes with ties, NaNs
// and infinities, one and two labels, blocks of a row that end inside it,
// and every kind of `agree`; the twin's rules themselves are held to NumPy
// by the Python tests.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "kernels/select_heights.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class SelectHeightsLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(SelectHeightsLevels);

using Select = void (*)(const Array3<const float>&, double, double, double, float, const Array2<float>&,
                        const Array2<std::uint8_t>&);

struct Selection {
    std::vector<float> z;
    std::vector<std::uint8_t> unique;
};

Selection select(Select kernel, const Buffer<float, 3>& agg, double lowest, double step, double agree,
                 float uniqueness) {
    const auto& e = agg.view.extent;
    Buffer<float, 2> z({e[1], e[2]}, {1, 3}, -7.0f);
    Buffer<std::uint8_t, 2> unique({e[1], e[2]}, {2, 1}, 9);
    kernel(agg.cview(), lowest, step, agree, uniqueness, z.view, unique.view);
    return {z.storage, unique.storage};
}

TEST_P(SelectHeightsLevels, EveryVolumeAndAgreeGivesTheTwinsBits) {
    // Up to 1100 cells a row: a block of a few labels ends inside the row.
    const std::tuple<int64_t, int64_t, int64_t> shapes[] = {{1, 3, 5},  {2, 4, 9},   {3, 1, 1100}, {4, 7, 33},
                                                           {7, 5, 40}, {96, 3, 70}, {300, 2, 17}, {5, 0, 4}};
    const double agrees[] = {0.0, 0.5, 1.0, 2.0, 2.5, 4.0, 500.0, -1.0, kNaN, kInf};
    Values values(11);
    for (const auto& [D, H, W] : shapes) {
        for (int mode = 0; mode < 5; ++mode) {
            Buffer<float, 3> agg({D, H, W}, {1, 2, 5}, kNaN);
            agg.fill([&] {
                if (mode == 0) return values.tie();                      // ties everywhere, signed zeros
                if (mode == 1) return values.mixed(0, 1, 0.02);          // rare NaN and infinities
                if (mode == 2) return values.chance(0.3) ? values.tie() : values.mixed(-2, 2, 0.2);
                const float v = values.mixed(-2, 2, 0.1);                // infinities without NaN
                return std::isnan(v) ? -kInf : v;
            });
            if (mode == 4) {  // bowls whose least label drifts slowly along the row, as real costs do
                for (int64_t d = 0; d < D; ++d)
                    for (int64_t y = 0; y < H; ++y)
                        for (int64_t x = 0; x < W; ++x) {
                            const double centre = double(D) * (0.5 + 0.4 * std::sin(0.01 * double(x + 7 * y)));
                            agg({d, y, x}) = float((double(d) - centre) * (double(d) - centre) / double(D));
                        }
            }
            for (double agree : agrees) {
                for (const auto& [lowest, step, uniqueness] :
                     {std::tuple<double, double, float>{0.0, 1.0, 0.97f}, {-3.25, 0.1, 1.0f}, {12.0, -0.7, 0.0f}}) {
                    const auto got = select(level().select_heights, agg, lowest, step, agree, uniqueness);
                    const auto want = select(select_heights_reference, agg, lowest, step, agree, uniqueness);
                    ASSERT_TRUE(same_elements(got.z, want.z)) << D << "x" << H << "x" << W << " agree " << agree;
                    ASSERT_TRUE(same_elements(got.unique, want.unique)) << D << "x" << H << "x" << W << " agree "
                                                                        << agree;
                }
            }
        }
    }
}

TEST(SelectHeights, TheFirstLeastLabelWinsAndItsParabolaRefinesIt) {
    // Cell 0: labels 1 and 3 tie at 0, label 1 wins; its parabola through (2, 0, 1) has its vertex
    // at +1/6.  Cell 1: the first NaN wins and nothing is unique.
    const float costs[][2] = {{2, 1}, {0, kNaN}, {1, 0}, {0, kNaN}, {3, 4}};
    Buffer<float, 3> agg({5, 1, 2}, {0, 0, 0}, 0.0f);
    for (int64_t d = 0; d < 5; ++d)
        for (int64_t x = 0; x < 2; ++x) agg({d, 0, x}) = costs[d][x];
    const auto got = select(select_heights_reference, agg, 10.0, 0.5, 1.0, 0.97f);
    EXPECT_EQ(got.z[0], float(10.0 + (1.0 + double(0.5f * (2.0f - 1.0f) / 3.0f)) * 0.5));
    EXPECT_EQ(got.unique[0], 0);  // label 3, far from 1, costs as little
    EXPECT_EQ(got.z[1], 10.5f);
    EXPECT_EQ(got.unique[1], 0);
}

}  // namespace
