// The census cost at every level against its twin: sparse, full and empty codes,
// ranges of planes that start anywhere, awkward scales and outside costs.
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

TEST_P(CensusCostLevels, EveryRangeGivesTheTwinsBits) {
    std::mt19937_64 bits(5);
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 3, 4}, {4, 0, 5}, {3, 2, 0}, {1, 1, 1},
                                  {16, 4, 37}, {5, 9, 130}, {64, 3, 70}}) {
        Buffer<std::uint64_t, 2> left({H, W}, {2, 1}, 0), right({H, W}, {1, 3}, 0);
        auto code = [&] { return bits() % 8 == 0 ? ~std::uint64_t{0} * (bits() % 2) : bits() >> (bits() % 64); };
        left.fill(code);
        right.fill(code);
        for (int64_t first : {int64_t{0}, int64_t{3}, W + 2}) {
            for (const auto& [scale, outside] : {std::tuple<float, float>{1.0f / 62, 0.2f}, {3.0f, kNaN},
                                                 {kInf, -0.0f}, {kNaN, 1.0f}}) {
                auto cost_of = [&](auto kernel) {
                    Buffer<float, 3> cost({D, H, W}, {1, 2, 3}, -7.0f);  // the padding keeps its fill
                    kernel(left.cview(), right.cview(), first, scale, outside, cost.view);
                    return cost.storage;
                };
                ASSERT_TRUE(same_elements(cost_of(level().census_cost), cost_of(census_cost_reference)))
                    << D << "x" << H << "x" << W << " first " << first << " scale " << scale;
            }
        }
    }
}

// The counts agree with their twin, and scaled they are census_cost's volume.
TEST_P(CensusCostLevels, CountsAreTheCostsUnscaled) {
    std::mt19937_64 draw(6);
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 3, 4}, {3, 2, 0}, {1, 1, 1},
                                  {16, 4, 37}, {64, 3, 70}}) {
        Buffer<std::uint64_t, 2> left({H, W}, {2, 1}, 0), right({H, W}, {1, 3}, 0);
        auto code = [&] { return draw() % 8 == 0 ? ~std::uint64_t{0} * (draw() % 2) : draw() >> (draw() % 64); };
        left.fill(code);
        right.fill(code);
        for (int64_t first : {int64_t{0}, int64_t{3}, W + 2}) {
            auto counts_of = [&](auto kernel) {
                Buffer<std::uint8_t, 3> counts({D, H, W}, {1, 2, 3}, 77);  // the padding keeps its fill
                kernel(left.cview(), right.cview(), first, counts.view);
                return counts;
            };
            const auto counts = counts_of(level().census_counts);
            ASSERT_TRUE(counts.storage == counts_of(census_counts_reference).storage) << D << "x" << H << "x" << W;
            const float scale = 1.0f / 62, outside = 0.2f;
            Buffer<float, 3> cost({D, H, W}, {0, 0, 0}, 0.0f);
            census_cost_reference(left.cview(), right.cview(), first, scale, outside, cost.view);
            for (int64_t k = 0; k < D; ++k)
                for (int64_t y = 0; y < H; ++y)
                    for (int64_t x = 0; x < W; ++x) {
                        const std::uint8_t c = counts({k, y, x});
                        ASSERT_EQ(bits(cost({k, y, x})), bits(c == kOutsideCount ? outside : float(c) * scale))
                            << k << " " << y << " " << x;
                    }
        }
    }
}

}  // namespace
