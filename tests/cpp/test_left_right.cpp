// The right image's winners and the left-right check at every level against
// their twins: ties, NaNs and infinities, rows wider than the winners'
// chunk, more disparities than columns, matches that round half-way or
// point outside the image.
#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "kernels/left_right.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class LeftRightLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(LeftRightLevels);

TEST_P(LeftRightLevels, RightWinnersAreTheTwins) {
    Values values(13);
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 2, 3}, {3, 0, 4}, {3, 2, 0}, {1, 1, 1},
                                  {16, 5, 40}, {4, 2, 1030}, {70, 2, 2100}}) {
        for (int kind = 0; kind < 3; ++kind) {  // ties; specials; pixels without a cost below +inf
            Buffer<float, 3> volume({D, H, W}, {1, 1, 3}, kNaN);
            volume.fill([&] {
                if (kind == 2 && values.chance(0.9)) return values.chance(0.5) ? kInf : kNaN;
                return kind == 1 && values.chance(0.3) ? values.special() : values.tie();
            });
            auto winners_of = [&](auto kernel) {
                Buffer<std::int32_t, 2> best({H, W}, {1, 2}, -5);
                kernel(volume.cview(), best.view);
                return best.storage;
            };
            ASSERT_TRUE(same_elements(winners_of(level().right_winner), winners_of(right_winner_reference)))
                << D << "x" << H << "x" << W << " kind " << kind;
        }
    }
}

TEST_P(LeftRightLevels, CheckIsTheTwins) {
    Values values(17);
    for (const auto& [H, W] : {std::tuple<int64_t, int64_t>{0, 3}, {2, 0}, {1, 1}, {7, 130}}) {
        Buffer<float, 2> left({H, W}, {1, 3}, kNaN);
        Buffer<std::int32_t, 2> right({H, W}, {2, 1}, 0);
        int64_t x = 0;  // whole and half-way disparities that point near the edges, specials, any
        left.fill([&] {
            const float whole = float(x++ % W - values.index(W + 4) + 2);
            if (values.chance(0.4)) return values.mixed(-2.0 * double(W), 2.0 * double(W), 0.3);
            return values.chance(0.5) ? whole + 0.5f : whole;
        });
        right.fill([&] { return values.chance(0.1) ? INT32_MIN : std::int32_t(values.index(W + 2)); });
        for (double tolerance : {1.0, 0.5, -1.0, double(kNaN)}) {
            auto matched_of = [&](auto kernel) {
                Buffer<std::uint8_t, 2> matched({H, W}, {2, 1}, 7);
                kernel(left.cview(), right.cview(), tolerance, matched.view);
                return matched.storage;
            };
            ASSERT_TRUE(same_elements(matched_of(level().left_right_check), matched_of(left_right_check_reference)))
                << H << "x" << W << " tolerance " << tolerance;
        }
    }
}

}  // namespace
