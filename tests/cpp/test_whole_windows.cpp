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

using WholeWindows = decltype(&whole_windows_reference);

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

}  // namespace
