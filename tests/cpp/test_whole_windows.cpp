// Whole census windows at every level against their twin, on masks of any
// byte value, windows of every radius and step, and grids narrower or
// shorter than a window.
#include <gtest/gtest.h>

#include <tuple>

#include "kernels/whole_windows.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class WholeWindowsLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(WholeWindowsLevels);

using WholeWindows = void (*)(const Array2<const std::uint8_t>&, std::int32_t, std::int32_t,
                              const Array2<std::uint8_t>&);

std::vector<std::uint8_t> whole_of(WholeWindows kernel, const Buffer<std::uint8_t, 2>& valid, int r, int step) {
    const auto& e = valid.view.extent;
    Buffer<std::uint8_t, 2> whole({e[0], e[1]}, {1, 0}, 7);
    kernel(valid.cview(), r, step, whole.view);
    return whole.storage;
}

TEST_P(WholeWindowsLevels, EveryRadiusAndStepGivesTheTwinsBits) {
    Values values(11);
    for (const auto& [H, W] : {std::tuple<int64_t, int64_t>{1, 1}, {4, 9}, {9, 4}, {23, 70}, {40, 131}}) {
        for (double holes : {0.0, 0.002, 0.05}) {
            Buffer<std::uint8_t, 2> valid({H, W}, {2, 0}, 0);
            valid.fill([&] { return values.chance(holes) ? std::uint8_t(0) : std::uint8_t(1 + values.index(255)); });
            for (int r : {0, 1, 2, 3}) {
                for (int step : {1, 2, 5}) {
                    ASSERT_TRUE(same_elements(whole_of(level().whole_windows, valid, r, step),
                                              whole_of(whole_windows_reference, valid, r, step)))
                        << H << "x" << W << " holes " << holes << " r " << r << " step " << step;
                }
            }
        }
    }
}

TEST(WholeWindows, AHoleSpoilsTheWindowsThatSampleIt) {
    // 7 x 7, radius 1, step 2: the hole at (3, 3) is sampled by the windows
    // centred 0 or 2 cells from it along each axis; only (3, 3) of those is
    // not within 2 cells of an edge.  Without the hole (2..4, 2..4) are whole.
    Buffer<std::uint8_t, 2> valid({7, 7}, {0, 0}, 1);
    auto whole = whole_of(whole_windows_reference, valid, 1, 2);
    for (int64_t y = 0; y < 7; ++y)
        for (int64_t x = 0; x < 7; ++x) EXPECT_EQ(whole[y * 7 + x], y >= 2 && y <= 4 && x >= 2 && x <= 4) << y << x;
    valid({3, 3}) = 0;
    whole = whole_of(whole_windows_reference, valid, 1, 2);
    EXPECT_EQ(whole[3 * 7 + 3], 0);
    EXPECT_EQ(whole[2 * 7 + 2], 1);  // samples rows and columns 0, 2, 4
}

}  // namespace
