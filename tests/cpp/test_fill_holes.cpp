// Hole filling at every level against its twin: grids from nearly full to
// nearly empty, values with signed zeros and infinities (which fill nothing
// and block), reaches of 0, 1, a few and none, scratch of any content.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "kernels/fill_holes.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class FillHolesLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(FillHolesLevels);

using Fill = void (*)(const Array2<float>&, std::int64_t, const Array2<std::int32_t>&, const Array2<std::int32_t>&);

std::vector<float> filled(Fill kernel, const Buffer<float, 2>& start, std::int64_t rings) {
    const auto& e = start.view.extent;
    Buffer<float, 2> z = start;
    z.view.data = z.storage.data();
    Buffer<std::int32_t, 2> ring({e[0], e[1]}, {1, 2}, -3);
    Buffer<std::int32_t, 2> queue({2, e[0] * e[1]}, {0, 3}, 12345);
    kernel(z.view, rings, ring.view, queue.view);
    return z.storage;
}

TEST_P(FillHolesLevels, EveryGridAndReachGivesTheTwinsBits) {
    Values values(13);
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{1, 1}, {1, 40}, {40, 1}, {2, 2}, {23, 31}, {64, 90}}) {
        for (double holes : {0.0, 0.3, 0.8, 0.97, 1.0}) {
            for (int mode = 0; mode < 3; ++mode) {
                Buffer<float, 2> z({H, W}, {2, 3}, -9.0f);
                z.fill([&] {
                    if (values.chance(holes)) return kNaN;
                    if (mode == 0) return values.tie();  // ties of +0 and -0
                    return mode == 1 ? float(values.uniform(-5, 5)) : values.mixed(-5, 5, 0.2);
                });
                if (mode == 2 && H * W > 100)  // one wide hole: many rings
                    for (int64_t y = H / 4; y < H; ++y)
                        for (int64_t x = 0; x < 3 * W / 4; ++x) z({y, x}) = kNaN;
                for (std::int64_t rings : {0, 1, 2, 5, -1}) {
                    ASSERT_TRUE(same_elements(filled(level().fill_holes, z, rings),
                                              filled(fill_holes_reference, z, rings)))
                        << H << "x" << W << " holes " << holes << " mode " << mode << " rings " << rings;
                }
            }
        }
    }
}

TEST(FillHoles, RingsGrowByChebyshevDistanceAndInfinitiesBlock) {
    // One known cell at (2, 2) of a 5 x 7 grid, -inf at (0, 6): ring 1 fills the 3 x 3 block
    // around (2, 2); ring 2 the rest, except the cells beside -inf, whose least neighbour is never finite.
    Buffer<float, 2> z({5, 7}, {0, 0}, kNaN);
    z({2, 2}) = 4.0f;
    z({0, 6}) = -kInf;
    const auto one = filled(fill_holes_reference, z, 1), all = filled(fill_holes_reference, z, -1);
    for (int64_t y = 0; y < 5; ++y) {
        for (int64_t x = 0; x < 7; ++x) {
            if (y == 0 && x == 6) continue;
            const bool near = std::abs(y - 2) <= 1 && std::abs(x - 2) <= 1;
            const bool blocked = y <= 1 && x >= 5;
            EXPECT_EQ(std::isnan(one[y * 7 + x]), !near) << y << " " << x;
            EXPECT_EQ(std::isnan(all[y * 7 + x]), blocked) << y << " " << x;
            if (!blocked) EXPECT_EQ(all[y * 7 + x], 4.0f);
        }
    }
}

}  // namespace
