// Census codes where the window is whole, at every level against their twin:
// tie-rich samples with NaNs and infinities, validity with holes, every
// window up to 48 bits, grids smaller than a window.
#include <gtest/gtest.h>

#include <tuple>

#include "kernels/census_whole.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class CensusWholeLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(CensusWholeLevels);

using CensusWhole = decltype(&census_whole_reference);

struct Sampled {
    Buffer<float, 2> samples;
    Buffer<std::uint8_t, 2> valid;
    Sampled(Values& values, int64_t H, int64_t W, double holes)
        : samples({H, W}, {1, 0}, kNaN), valid({H, W}, {0, 0}, 0) {
        samples.fill([&] { return values.chance(0.5) ? values.tie() : values.mixed(-4, 4, 0.05); });
        valid.fill([&] { return values.chance(holes) ? std::uint8_t(0) : std::uint8_t(1 + values.index(255)); });
    }
    // codes then flags, each with a spare row that must keep its fill.
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint8_t>> run(CensusWhole kernel, int r, int step) const {
        const auto& e = samples.view.extent;
        Buffer<std::uint64_t, 2> codes({e[0], e[1]}, {1, 0}, 12345);
        Buffer<std::uint8_t, 2> whole({e[0], e[1]}, {1, 0}, 9);
        kernel(samples.cview(), valid.cview(), r, step, codes.view, whole.view);
        return {codes.storage, whole.storage};
    }
};

TEST_P(CensusWholeLevels, EveryWindowAndStepGivesTheTwinsBits) {
    Values values(13);
    for (const auto& [H, W] : {std::tuple<int64_t, int64_t>{1, 1}, {5, 8}, {8, 5}, {30, 200}, {41, 67}}) {
        for (double holes : {0.0, 0.01, 0.1}) {
            const Sampled sampled(values, H, W, holes);
            for (int r : {0, 1, 2, 3}) {
                for (int step : {1, 2, 3}) {
                    const auto got = sampled.run(level().census_whole, r, step);
                    const auto want = sampled.run(census_whole_reference, r, step);
                    ASSERT_TRUE(same_elements(got.first, want.first)) << H << "x" << W << " r " << r << " step " << step;
                    ASSERT_TRUE(same_elements(got.second, want.second)) << H << "x" << W << " r " << r << " step " << step;
                }
            }
        }
    }
}

}  // namespace
