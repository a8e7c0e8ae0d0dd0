// Matching costs at every level against their twin: views whose boxes
// overlap the reference's partly, wholly or not at all, are empty or reach
// beyond the plane; codes drawn from a small pool so that distances tie;
// best_views from 1 to more than the views, on both sides of the kernel's
// sorted bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "kernels/match_cost.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class MatchCostLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(MatchCostLevels);

using MatchCost = decltype(&match_cost_reference);

struct Label {
    int64_t H, W;
    Buffer<std::int32_t, 2> boxes;
    Buffer<std::uint64_t, 2> codes;
    Buffer<std::uint8_t, 2> whole;

    Label(Values& values, int64_t views, int64_t H, int64_t W)
        : H(H), W(W), boxes({views, 4}, {1, 0}, -1), codes({views, (H + 6) * (W + 6)}, {1, 5}, 0),
          whole({views, (H + 6) * (W + 6)}, {1, 5}, 0) {
        std::vector<std::uint64_t> pool(6);
        for (auto& code : pool) code = values.index(1 << 20) * 0x9E3779B97F4A7C15ull;
        for (int64_t v = 0; v < views; ++v) {
            // Boxes may reach beyond the plane, the whole plane and more being common.
            int64_t r0 = values.index(H + 7) - 3, r1 = values.index(H + 7) - 3, c0 = values.index(W + 7) - 3,
                    c1 = values.index(W + 7) - 3;
            if (values.chance(0.3)) r0 = -2, r1 = H + 1, c0 = -1, c1 = W + 2;
            const std::int32_t box[4] = {std::int32_t(std::min(r0, r1)), std::int32_t(std::max(r0, r1)),
                                         std::int32_t(std::min(c0, c1)), std::int32_t(std::max(c0, c1))};
            for (int side = 0; side < 4; ++side) boxes({v, side}) = box[side];
            for (int64_t i = 0; i < (H + 6) * (W + 6); ++i) {
                codes({v, i}) = pool[values.index(6)] ^ (values.chance(0.5) ? 0 : std::uint64_t(1) << values.index(64));
                whole({v, i}) = values.chance(0.15) ? 0 : std::uint8_t(1 + values.index(255));
            }
        }
    }

    std::vector<float> costs(MatchCost kernel, int ref, int bits, int best_views) const {
        Buffer<float, 2> plane({H, W}, {1, 2}, kNaN);
        kernel(codes.cview(), whole.cview(), boxes.cview(), ref, bits, best_views, plane.view);
        return plane.storage;
    }
};

TEST_P(MatchCostLevels, EveryOverlapAndBestViewsGivesTheTwinsBits) {
    Values values(5);
    for (const auto& [views, H, W] : {std::tuple<int64_t, int64_t, int64_t>{1, 3, 4}, {2, 5, 7}, {4, 9, 300},
                                      {6, 17, 40}, {13, 6, 70}}) {
        for (int draw = 0; draw < 3; ++draw) {
            const Label label(values, views, H, W);
            for (int ref = 0; ref < views; ++ref) {
                for (int best_views : {1, 2, 3, 5, 8, 9, 12, 14}) {
                    for (int bits : {8, 24, 48}) {
                        ASSERT_TRUE(same_elements(label.costs(level().match_cost, ref, bits, best_views),
                                                  label.costs(match_cost_reference, ref, bits, best_views)))
                            << views << " views " << H << "x" << W << " draw " << draw << " ref " << ref
                            << " best " << best_views << " bits " << bits;
                    }
                }
            }
        }
    }
}

}  // namespace
