// The ray casters at every level against their twins, on height models with
// NaN holes, flat ground, spikes and towers, windows that start mid-grid,
// rays that graze block edges, and rays that do not descend.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

#include "kernels/raycast.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class RaycastLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(RaycastLevels);

enum class Model { flat, holes, spikes, towers };

// A grid whose corner and cell size are no binary fractions, its heights and
// the range they span widened by 1.
struct Survey {
    RayCast cast{};
    Buffer<float, 2> heights;
    Survey(Values& values, Model model, int64_t rows, int64_t columns)
        : heights({rows, columns}, {1, 0}, kNaN) {
        cast.X0 = values.uniform(-60, 60);
        cast.Y0 = values.uniform(-60, 60);
        cast.gsd = values.uniform(0.3, 1.3);
        cast.rows = rows;
        cast.columns = columns;
        const double wave = values.uniform(0.05, 0.3);
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t c = 0; c < columns; ++c) {
                float z = float(3.0 * std::sin(wave * double(r)) * std::cos(wave * double(c)));
                if (model == Model::flat) z = 2.0f;
                if (model == Model::holes && values.chance(0.15)) z = kNaN;
                if (model == Model::spikes && values.chance(0.05)) z = float(values.uniform(5, 40));
                if (model == Model::towers && (r / 7) % 3 == 1 && (c / 11) % 2 == 1) z = 12.0f + float(r / 21);
                heights({r, c}) = z;
            }
        float lo = INFINITY, hi = -INFINITY;
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t c = 0; c < columns; ++c)
                if (!std::isnan(heights({r, c}))) {
                    lo = std::min(lo, heights({r, c}));
                    hi = std::max(hi, heights({r, c}));
                }
        cast.z_lo = double(lo) - 1.0;
        cast.z_hi = double(hi) + 1.0;
    }

    // The cells from (row, column) on, to the grid's end, as the heights window.
    Array2<const float> window(int64_t row, int64_t column) const {
        Array2<const float> w = heights.cview();
        w.data = at(w.data, row * w.stride[0] + column * w.stride[1]);
        w.extent[0] -= row;
        w.extent[1] -= column;
        return w;
    }
};

using Peaks = void (*)(const Array2<const float>&, std::int32_t, const Array2<float>&);
using CastRays = void (*)(const Array2<const float>&, const Array2<const float>&, const RayCast&,
                          const Array2<const double>&, const Array1<double>&);
using Visibility = void (*)(const Array2<const float>&, const Array2<const float>&, const RayCast&, std::int64_t,
                            std::int64_t, const Array2<std::uint8_t>&);

Buffer<float, 2> peaks_of(Peaks kernel, const Array2<const float>& heights, std::int32_t block) {
    Buffer<float, 2> peaks({block_count(heights.extent[0], block), block_count(heights.extent[1], block)}, {2, 0},
                           kNaN);
    kernel(heights, block, peaks.view);
    return peaks;
}

std::vector<double> distances(CastRays kernel, const Array2<const float>& heights, const Buffer<float, 2>& peaks,
                              const RayCast& cast, const Buffer<double, 2>& dirs) {
    Buffer<double, 1> t({dirs.view.extent[0]}, {1}, -7.0);
    kernel(heights, peaks.cview(), cast, dirs.cview(), t.view);
    return t.storage;
}

std::vector<std::uint8_t> seen(Visibility kernel, const Array2<const float>& heights, const Buffer<float, 2>& peaks,
                               const RayCast& cast, int64_t row, int64_t column, int64_t rows, int64_t columns) {
    Buffer<std::uint8_t, 2> visible({rows, columns}, {1, 3}, 9);
    kernel(heights, peaks.cview(), cast, row, column, visible.view);
    return visible.storage;
}

::testing::AssertionResult same_doubles(const std::vector<double>& got, const std::vector<double>& want) {
    for (std::size_t i = 0; i < got.size(); ++i)
        if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure() << "ray " << i << ": " << got[i] << " != " << want[i];
    return ::testing::AssertionSuccess();
}

// Directions from the origin to points of the grid: cell centres, block
// edges at the height of the highest cell near them (grazing the leap's
// peaks), random points, and a few that climb, stay level or barely descend.
Buffer<double, 2> directions(Values& values, const Survey& s, std::int32_t block) {
    const int64_t n = 300;
    Buffer<double, 2> dirs({n, 3}, {0, 1}, kNaN);
    const double* o = s.cast.origin;
    for (int64_t i = 0; i < n; ++i) {
        double X = s.cast.X0 + values.uniform(0, double(s.cast.columns)) * s.cast.gsd;
        double Y = s.cast.Y0 - values.uniform(0, double(s.cast.rows)) * s.cast.gsd;
        double Z = values.uniform(s.cast.z_lo, s.cast.z_hi);
        if (i % 3 == 0) {  // a block edge, at the top of the range
            X = s.cast.X0 + double(block * values.index(s.cast.columns / block + 1)) * s.cast.gsd;
            Z = s.cast.z_hi - 1.0;
        }
        double d[3] = {X - o[0], Y - o[1], Z - o[2]};
        if (i < 12) d[2] = (i % 4 == 0) ? 0.0 : (i % 4 == 1) ? 1.0 : (i % 4 == 2) ? -1e-9 : -1.1e-9;
        const double norm = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        for (int k = 0; k < 3; ++k) dirs({i, k}) = d[k] / norm;
    }
    return dirs;
}

TEST_P(RaycastLevels, EveryModelWindowAndRayGivesTheTwinsBits) {
    Values values(11);
    for (Model model : {Model::flat, Model::holes, Model::spikes, Model::towers}) {
        for (const auto& [refine, block] : {std::tuple<int, int>{6, 16}, {8, 16}, {0, 4}, {3, 1}, {6, 5}}) {
            Survey s(values, model, 40 + values.index(30), 36 + values.index(30));
            s.cast.refine = refine;
            s.cast.block = block;
            // Seen from high above, from low and far off, and from within the range.
            const double lift[] = {values.uniform(60, 200), values.uniform(15, 30), s.cast.z_hi - 2.0};
            for (double above : lift) {
                s.cast.origin[0] = s.cast.X0 + values.uniform(-80, 120);
                s.cast.origin[1] = s.cast.Y0 + values.uniform(-120, 80);
                s.cast.origin[2] = above;
                for (int64_t start : {int64_t(0), int64_t(2 * block)}) {  // the whole grid, a window mid-grid
                    s.cast.window_row = start;
                    s.cast.window_column = start / 2 / block * block;
                    const auto window = s.window(s.cast.window_row, s.cast.window_column);
                    const auto peaks = peaks_of(block_peaks_reference, window, block);
                    const auto fast_peaks = peaks_of(level().block_peaks, window, block);
                    ASSERT_TRUE(same_elements(fast_peaks.storage, peaks.storage));

                    const auto dirs = directions(values, s, block);
                    ASSERT_TRUE(same_doubles(distances(level().cast_rays, window, peaks, s.cast, dirs),
                                             distances(cast_rays_reference, window, peaks, s.cast, dirs)))
                        << int(model) << " refine " << refine << " block " << block << " window " << start;

                    const int64_t row = s.cast.window_row + values.index(5), column = s.cast.window_column + 3;
                    const int64_t rows = window.extent[0] - (row - s.cast.window_row) - values.index(4);
                    const int64_t columns = window.extent[1] - 3;
                    const auto got = seen(level().visibility, window, peaks, s.cast, row, column, rows, columns);
                    const auto want = seen(visibility_reference, window, peaks, s.cast, row, column, rows, columns);
                    ASSERT_TRUE(same_elements(got, want))
                        << int(model) << " refine " << refine << " block " << block << " window " << start;
                }
            }
        }
    }
}

TEST(Raycast, PeaksAreTheHighestOfTheBlocksAroundIgnoringNaN) {
    // Blocks of 2 over a 5 x 5 window: 3 x 3 blocks, the last ones partial.
    Buffer<float, 2> heights({5, 5}, {0, 0}, 0.0f);
    heights.fill([] { return 1.0f; });
    heights({0, 0}) = 9.0f;   // block (0, 0): reaches (0, 0) ... (1, 1)
    heights({4, 4}) = kNaN;   // block (2, 2) holds only this cell
    heights({4, 3}) = -3.0f;  // block (2, 1)
    const auto peaks = peaks_of(block_peaks_reference, heights.cview(), 2);
    EXPECT_EQ(peaks({0, 0}), 9.0f);
    EXPECT_EQ(peaks({1, 1}), 9.0f);
    EXPECT_EQ(peaks({2, 2}), 1.0f);  // from blocks (1, 1), (1, 2), (2, 1); its own NaN block is -inf
    EXPECT_EQ(peaks({0, 2}), 1.0f);
}

}  // namespace
