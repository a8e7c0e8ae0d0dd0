// The census cost at every level against its twin: random and sparse codes,
// disparity ranges that start anywhere and reach past the image, awkward
// scales and outside costs, strided buffers.
#include <gtest/gtest.h>

#include <tuple>

#include "kernels/census_cost.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class CensusCostLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(CensusCostLevels);

using CensusCost = void (*)(const Array2<const std::uint64_t>&, const Array2<const std::uint64_t>&, std::int64_t,
                            float, float, const Array3<float>&);

std::vector<float> cost_of(CensusCost kernel, const Buffer<std::uint64_t, 2>& left,
                           const Buffer<std::uint64_t, 2>& right, int64_t D, int64_t first, float scale,
                           float outside) {
    const auto& e = left.view.extent;
    Buffer<float, 3> cost({D, e[0], e[1]}, {1, 2, 3}, -7.0f);  // the padding must keep its fill
    kernel(left.cview(), right.cview(), first, scale, outside, cost.view);
    return cost.storage;
}

TEST_P(CensusCostLevels, EveryRangeGivesTheTwinsBits) {
    std::mt19937_64 bits(5);
    Values values(11);
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 3, 4}, {4, 0, 5}, {3, 2, 0}, {1, 1, 1},
                                  {7, 3, 5}, {16, 4, 37}, {5, 9, 130}, {64, 3, 70}}) {
        Buffer<std::uint64_t, 2> left({H, W}, {2, 1}, 0), right({H, W}, {1, 3}, 0);
        // Full words, and sparse ones (census windows use up to 62 bits; many neighbours agree).
        auto code = [&] { return values.chance(0.5) ? bits() : bits() & bits() & bits(); };
        left.fill(code);
        right.fill(code);
        for (int64_t first : {int64_t{0}, int64_t{1}, int64_t{3}, W - 1, W + 2}) {
            if (first < 0) continue;
            for (const auto& [scale, outside] : {std::tuple<float, float>{1.0f / 62, 0.2f}, {1.0f / 48, kNaN},
                                                 {3.0f, -0.0f}, {kInf, kInf}, {kNaN, 1.0f}, {-1e-41f, 0.0f}}) {
                ASSERT_TRUE(same_elements(cost_of(level().census_cost, left, right, D, first, scale, outside),
                                          cost_of(census_cost_reference, left, right, D, first, scale, outside)))
                    << D << "x" << H << "x" << W << " first " << first << " scale " << scale;
            }
        }
    }
}

TEST(CensusCost, CountsDifferingBitsAndMarksMatchesOutsideTheRightImage) {
    // One row of three pixels; disparities 1 and 2.
    Buffer<std::uint64_t, 2> left({1, 3}, {0, 0}, 0), right({1, 3}, {0, 0}, 0);
    left({0, 0}) = 0xff;
    left({0, 1}) = 0x0f;
    left({0, 2}) = ~std::uint64_t{0};
    right({0, 0}) = 0x01;
    right({0, 1}) = 0xf0;
    const auto cost = cost_of(census_cost_reference, left, right, 2, 1, 0.5f, 9.0f);
    // Storage rows hold 3 + 3 columns (padding 3), planes 1 + 2 rows.
    EXPECT_EQ(cost[0], 9.0f);                // d = 1, x = 0: no match
    EXPECT_EQ(cost[1], 3 * 0.5f);            // 0x0f ^ 0x01
    EXPECT_EQ(cost[2], 60 * 0.5f);           // ~0 ^ 0xf0
    const std::size_t plane = 3 * 6;
    EXPECT_EQ(cost[plane + 0], 9.0f);        // d = 2
    EXPECT_EQ(cost[plane + 1], 9.0f);
    EXPECT_EQ(cost[plane + 2], 63 * 0.5f);   // ~0 ^ 0x01
}

}  // namespace
