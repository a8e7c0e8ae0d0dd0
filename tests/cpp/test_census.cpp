// Census codes at every level against their twin, on images with ties,
// NaNs and infinities, windows of every shape up to 64 bits, sparse samples
// and images narrower than the window.
#include <gtest/gtest.h>

#include <tuple>

#include "kernels/census.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class CensusLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(CensusLevels);

using Census = void (*)(const Array2<const float>&, std::int32_t, std::int32_t, std::int32_t,
                        const Array2<std::uint64_t>&);

std::vector<std::uint64_t> codes_of(Census kernel, const Buffer<float, 2>& image, int rows, int columns, int step) {
    const auto& e = image.view.extent;
    Buffer<std::uint64_t, 2> codes({e[0], e[1]}, {2, 0}, ~std::uint64_t{0});
    kernel(image.cview(), rows, columns, step, codes.view);
    return codes.storage;
}

TEST_P(CensusLevels, EveryWindowAndStepGivesTheTwinsBits) {
    Values values(7);
    for (const auto& [H, W] : {std::tuple<int64_t, int64_t>{1, 1}, {3, 2}, {9, 31}, {40, 67}, {5, 130}}) {
        Buffer<float, 2> image({H, W}, {1, 0}, 0.0f);
        image.fill([&] { return values.chance(0.5) ? values.tie() : values.mixed(-4, 4, 0.05); });
        for (const auto& [rows, columns] : {std::tuple<int, int>{0, 1}, {1, 1}, {2, 2}, {3, 3}, {3, 4}, {4, 3}, {1, 7}}) {
            for (int step : {1, 2, 5}) {
                ASSERT_TRUE(same_elements(codes_of(level().census, image, rows, columns, step),
                                          codes_of(census_reference, image, rows, columns, step)))
                    << H << "x" << W << " window " << rows << "x" << columns << " step " << step;
            }
        }
    }
}

TEST(Census, BitsCountTheWindowRowByRowAndClampAtTheEdges) {
    // A 1 x 3 image: the centre's left neighbour (bit 0) is darker, its right one (bit 1) is not;
    // beyond the edges the edge cell stands in.
    Buffer<float, 2> image({1, 3}, {0, 0}, 0.0f);
    image({0, 0}) = 1.0f;
    image({0, 1}) = 2.0f;
    image({0, 2}) = 3.0f;
    const auto codes = codes_of(census_reference, image, 0, 1, 1);
    EXPECT_EQ(codes[0], 0u);  // left: itself (not darker), right: 2
    EXPECT_EQ(codes[1], 1u);
    EXPECT_EQ(codes[2], 1u);  // left 2 is darker, right: itself
}

}  // namespace
