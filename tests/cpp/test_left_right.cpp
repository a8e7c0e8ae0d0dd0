// The right image's winners and the left-right check at every level against
// their twins: ties, NaNs and infinities in the volume, rows wider than the
// production kernel's chunk, more disparities than columns, disparities
// that round half-way or point outside the image, strided buffers.
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

using RightWinner = void (*)(const Array3<const float>&, const Array2<std::int32_t>&);
using Check = void (*)(const Array2<const float>&, const Array2<const std::int32_t>&, double,
                       const Array2<std::uint8_t>&);

std::vector<std::int32_t> winners_of(RightWinner kernel, const Buffer<float, 3>& volume) {
    const auto& e = volume.view.extent;
    Buffer<std::int32_t, 2> best({e[1], e[2]}, {1, 2}, -5);
    kernel(volume.cview(), best.view);
    return best.storage;
}

std::vector<std::uint8_t> matched_of(Check kernel, const Buffer<float, 2>& left, const Buffer<std::int32_t, 2>& right,
                                     double tolerance) {
    const auto& e = left.view.extent;
    Buffer<std::uint8_t, 2> matched({e[0], e[1]}, {2, 1}, 7);
    kernel(left.cview(), right.cview(), tolerance, matched.view);
    return matched.storage;
}

template <typename T>
::testing::AssertionResult equal_elements(const std::vector<T>& got, const std::vector<T>& want) {
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i]) return ::testing::AssertionFailure() << "element " << i << ": " << +got[i] << " != " << +want[i];
    return ::testing::AssertionSuccess();
}

TEST_P(LeftRightLevels, RightWinnersAreTheTwins) {
    Values values(13);
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 2, 3}, {3, 0, 4}, {3, 2, 0}, {1, 1, 1},
                                  {9, 3, 5}, {16, 5, 40}, {4, 2, 1030}, {70, 2, 2100}}) {
        for (int kind = 0; kind < 3; ++kind) {
            Buffer<float, 3> volume({D, H, W}, {1, 1, 3}, kNaN);
            volume.fill([&] {
                if (kind == 0) return values.tie();                 // equal costs everywhere
                if (kind == 1) return values.mixed(0, 1, 0.2);      // NaN, +-inf, signed zeros
                return values.chance(0.7) ? kInf : values.mixed(0, 1, 0.3);  // rows with no finite cost
            });
            ASSERT_TRUE(equal_elements(winners_of(level().right_winner, volume),
                                       winners_of(right_winner_reference, volume)))
                << D << "x" << H << "x" << W << " kind " << kind;
        }
    }
}

TEST_P(LeftRightLevels, CheckIsTheTwins) {
    Values values(17);
    for (const auto& [H, W] : {std::tuple<int64_t, int64_t>{0, 3}, {2, 0}, {1, 1}, {4, 9}, {7, 130}}) {
        Buffer<float, 2> left({H, W}, {1, 3}, kNaN);
        Buffer<std::int32_t, 2> right({H, W}, {2, 1}, 0);
        int64_t x = 0;
        left.fill([&] {
            const int64_t column = x++ % W;
            switch (values.index(5)) {
                case 0: return float(values.index(W + 4) - 2) + 0.5f;  // half-way: ties to even
                case 1: return float(column - values.index(W + 2) + 1);  // whole, just inside or outside
                case 2: return values.special();
                case 3: return float(values.uniform(-3.0 * double(W), 3.0 * double(W)));
                default: return float(values.uniform(0, double(W)));
            }
        });
        right.fill([&] {
            static const std::int32_t kExtreme[] = {INT32_MIN, INT32_MAX, -1, 0};
            return values.chance(0.1) ? kExtreme[values.index(4)] : std::int32_t(values.index(W + 2));
        });
        for (double tolerance : {1.0, 0.0, 0.5, -1.0, 1e300, double(kNaN)}) {
            ASSERT_TRUE(equal_elements(matched_of(level().left_right_check, left, right, tolerance),
                                       matched_of(left_right_check_reference, left, right, tolerance)))
                << H << "x" << W << " tolerance " << tolerance;
        }
    }
}

TEST(LeftRight, TiesGoToTheSmallerDisparityAndHalfWayMatchesToTheEvenColumn) {
    // Right pixel 0 sees costs 2, 1, 1 at disparities 0, 1, 2; right pixel 1 only NaN and +inf.
    Buffer<float, 3> volume({3, 1, 3}, {0, 0, 0}, kNaN);
    volume({0, 0, 0}) = 2;
    volume({1, 0, 1}) = 1;
    volume({2, 0, 2}) = 1;
    volume({1, 0, 2}) = kInf;
    const auto best = winners_of(right_winner_reference, volume);
    EXPECT_EQ(best[0], 1);
    EXPECT_EQ(best[1], 0);
    EXPECT_EQ(best[2], 0);

    // Left pixels 2 and 3 at disparity 0.5 point to right columns rint(1.5) = 2 and rint(2.5) = 2,
    // which says disparity 1: both within 0.5.  Pixel 0 at 0.6 points to column -1, outside.
    Buffer<float, 2> left({1, 4}, {0, 0}, 0.5f);
    left({0, 0}) = 0.6f;
    Buffer<std::int32_t, 2> right({1, 4}, {0, 0}, 9);
    right({0, 2}) = 1;
    const auto matched = matched_of(left_right_check_reference, left, right, 0.5);  // rows padded by 1
    EXPECT_EQ(std::vector<std::uint8_t>(matched.begin(), matched.begin() + 4),
              (std::vector<std::uint8_t>{0, 0, 1, 1}));  // pixel 1 goes to column rint(0.5) = 0, which says 9
}

}  // namespace
