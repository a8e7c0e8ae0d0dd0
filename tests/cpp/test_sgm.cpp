// The production aggregation against its literal twin; the outcomes
// themselves are checked against an independent oracle by the Python tests.
#include <gtest/gtest.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include "kernels/sgm.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

using Sgm = void (*)(const Array3<const float>&, float, float, const Array3<float>&,
                     const Array3<float>&);

class SgmLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(SgmLevels);

constexpr float kUntouched = -7.0f;

Buffer<float, 3> volume(int64_t D, int64_t H, int64_t W) { return {{D, H, W}, {1, 2, 3}, kNaN}; }

enum class Agg { zeroed, junk };

// agg after one call; the path buffer starts as junk, agg as zeros or as
// junk (a volume reused from an earlier call: NaNs and infinities among it).
template <typename Kernel>
std::vector<float> aggregate(const Kernel& kernel, const Buffer<float, 3>& cost, float P1, float P2,
                             Agg start = Agg::junk) {
    const auto& e = cost.view.extent;
    Buffer<float, 3> agg({e[0], e[1], e[2]}, {0, 0, 0}, 0.0f);
    Buffer<float, 3> path({e[0], e[1], e[2]}, {0, 0, 0}, 0.0f);
    Values junk(99);
    for (float& x : path.storage) x = junk.mixed(-1e3, 1e3, 0.3);
    if (start == Agg::junk)
        for (float& x : agg.storage) x = junk.mixed(-1e3, 1e3, 0.3);
    kernel(cost.cview(), P1, P2, agg.view, path.view);
    return agg.storage;
}

#ifdef __SSE2__
TEST(Sgm, MinPsKeepsTheCandidateOnlyWhenStrictlySmaller) {
    const float nan_a = -kNaN, nan_b = kNaN;  // told apart by the sign bit
    const float cases[][3] = {{1, 2, 1},         {2, 1, 1},         {-kInf, 1, -kInf},
                              {nan_a, 1, 1},     {1, nan_b, nan_b}, {nan_a, nan_b, nan_b},
                              {-0.0f, 0.0f, 0.0f}, {0.0f, -0.0f, -0.0f}, {-1e-41f, 0, -1e-41f}};
    for (const auto& [candidate, running, want] : cases) {
        float lanes[4];
        _mm_storeu_ps(lanes, _mm_min_ps(_mm_set1_ps(candidate), _mm_set1_ps(running)));
        for (float got : lanes) EXPECT_EQ(bits(got), bits(want)) << candidate << " " << running;
        EXPECT_EQ(bits(candidate < running ? candidate : running), bits(want));
    }
}
#endif

TEST_P(SgmLevels, EmptyAxisTouchesNothing) {
    for (const auto& e : {std::array<int64_t, 3>{0, 5, 6}, {4, 0, 6}, {4, 5, 0}}) {
        float sentinel[2] = {1, 2};
        Array3<const float> cost;  // cost and path: null data
        Array3<float> agg, path;
        for (int i = 0; i < 3; ++i) cost.extent[i] = agg.extent[i] = path.extent[i] = e[i];
        agg.data = sentinel;
        for (Sgm kernel : {sgm_aggregate_reference, level().sgm_aggregate}) kernel(cost, 1, 2, agg, path);
        EXPECT_EQ(sentinel[0], 1.0f);
        EXPECT_EQ(sentinel[1], 2.0f);
    }
}

// The twin is the production kernel where there are no levels: whatever agg
// held, it gets the sum from zero.
TEST(Sgm, TwinSumsFromZeroWhateverAggHeld) {
    Values values(5);
    for (const auto& [D, H, W] : {std::array<int64_t, 3>{1, 1, 1}, {3, 4, 5}, {6, 9, 2}}) {
        auto cost = volume(D, H, W);
        cost.fill([&] { return values.mixed(-5, 20, 0.05); });
        for (const auto& [P1, P2] : {std::array<float, 2>{1, 4}, {-1, -3}, {kInf, kInf}})
            ASSERT_TRUE(same_elements(aggregate(sgm_aggregate_reference, cost, P1, P2, Agg::junk),
                                      aggregate(sgm_aggregate_reference, cost, P1, P2, Agg::zeroed)))
                << D << "x" << H << "x" << W << ", P " << P1 << " " << P2;
    }
}

// Production against the literal recurrence, to the bit, every penalty sign
// and order: short volumes take the path buffer direction by direction,
// taller ones the three sweeps (with partial row blocks and column groups).
TEST_P(SgmLevels, ProductionMatchesReferenceBitForBit) {
    const int64_t shapes[][3] = {{0, 3, 4},   {3, 0, 4},   {3, 4, 0},   {1, 1, 1},   {1, 1, 6},
                                 {1, 6, 1},   {2, 1, 9},   {3, 9, 1},   {4, 2, 3},   {3, 3, 5},
                                 {5, 4, 4},   {6, 5, 13},  {2, 7, 6},   {9, 8, 33},  {40, 5, 7},
                                 {3, 13, 5},  {1, 11, 12}, {7, 9, 300}, {2, 300, 3}, {1, 40, 37},
                                 {2, 24, 17}, {5, 33, 70}, {3, 48, 16}, {37, 21, 45}, {4, 70, 1},
                                 {70, 20, 37}, {16, 30, 33}};
    const float penalties[][2] = {{1, 4},      {0, 0},   {-1, -3},  {5, 2},    {kInf, kInf},
                                  {-kInf, 1},  {1, -kInf}, {kNaN, 2}, {0.5f, kNaN}, {1e-3f, 1e30f}};
    Values values(3);
    for (const auto& [D, H, W] : shapes) {
        for (int mode = 0; mode < 3; ++mode) {
            auto cost = volume(D, H, W);
            cost.fill([&] {
                    return mode == 0 ? float(values.uniform(-5, 20))
                           : mode == 1 ? values.tie()
                                       : values.mixed(-5, 20, 0.05);
                }).wild_unit_strides();
            for (const auto& [P1, P2] : penalties)
                ASSERT_TRUE(same_elements(aggregate(level().sgm_aggregate, cost, P1, P2, Agg::junk),
                                          aggregate(sgm_aggregate_reference, cost, P1, P2, Agg::zeroed)))
                    << D << "x" << H << "x" << W << ", values " << mode << ", P " << P1 << " "
                    << P2;
        }
    }
}

// A level's production kernel, shared by `members` threads.
auto shared_by(const LevelKernels& level, int members) {
    return [kernel = level.sgm_aggregate_shared, members](const Array3<const float>& cost, float P1, float P2,
                                                          const Array3<float>& agg, const Array3<float>& path) {
        Barrier barrier(members);
        std::vector<std::thread> helpers;
        for (int m = 1; m < members; ++m)
            helpers.emplace_back([&, m] { kernel(cost, P1, P2, agg, path, Team{m, members, &barrier}); });
        kernel(cost, P1, P2, agg, path, Team{0, members, &barrier});
        for (auto& helper : helpers) helper.join();
    };
}

// Shared, the kernel still gives the twin's bits: a member's share of the
// columns may be one group or none, short volumes are left to member 0, and
// more members make rows along than the ring between them holds.
TEST_P(SgmLevels, SharedMatchesReferenceBitForBit) {
    const int64_t shapes[][3] = {{4, 200, 33}, {2, 300, 100}, {3, 150, 70}, {1, 400, 20},
                                 {5, 200, 17}, {3, 9, 40},    {1, 1, 1},    {2, 3, 0},
                                 {37, 60, 45}, {33, 40, 2}};
    const float penalties[][2] = {{1, 4}, {-1, -3}, {kNaN, 2}, {0.5f, kInf}};
    Values values(11);
    for (const int members : {2, 3, 7}) {
        for (const auto& [D, H, W] : shapes) {
            auto cost = volume(D, H, W);
            cost.fill([&] { return values.mixed(-5, 20, 0.05); }).wild_unit_strides();
            for (const auto& [P1, P2] : penalties)
                ASSERT_TRUE(same_elements(aggregate(shared_by(level(), members), cost, P1, P2, Agg::junk),
                                          aggregate(sgm_aggregate_reference, cost, P1, P2, Agg::zeroed)))
                    << members << " members, " << D << "x" << H << "x" << W << ", P " << P1 << " " << P2;
        }
    }
}

// From census counts, alone or shared, the kernel gives the bits of the
// float volume that the counts stand for, and so does its twin.
TEST_P(SgmLevels, CountsGiveTheirFloatVolumesBits) {
    const int64_t shapes[][3] = {{64, 40, 37}, {3, 150, 70}, {37, 60, 45}, {5, 4, 4}, {1, 1, 1}, {2, 3, 0}};
    const float costs[][2] = {{1.0f / 62, 0.2f}, {-0.25f, kNaN}, {3.0f, kInf}};  // scale, outside
    const float penalties[][2] = {{0.1f, 0.5f}, {kNaN, 2}, {0, -0.0f}};
    Values values(12);
    for (const auto& [D, H, W] : shapes) {
        Buffer<std::uint8_t, 3> counts({D, H, W}, {1, 2, 3}, 0);
        counts.fill([&] { return values.chance(0.1) ? kOutsideCount : std::uint8_t(values.index(65)); });
        for (const auto& [scale, outside] : costs) {
            auto cost = volume(D, H, W);
            cost.fill([&, flat = int64_t{0}]() mutable {
                const int64_t idx[] = {flat / (H * W), flat / W % H, flat % W};
                ++flat;
                const std::uint8_t c = counts(idx);
                return c == kOutsideCount ? outside : float(c) * scale;
            });
            const auto from_counts = [&](auto kernel, int members) {
                return [&, kernel, members](const Array3<const float>&, float P1, float P2, const Array3<float>& agg,
                                            const Array3<float>& path) {
                    Barrier barrier(members);
                    std::vector<std::thread> helpers;
                    for (int m = 1; m < members; ++m)
                        helpers.emplace_back([&, m] {
                            kernel(counts.cview(), scale, outside, P1, P2, agg, path, Team{m, members, &barrier});
                        });
                    kernel(counts.cview(), scale, outside, P1, P2, agg, path, Team{0, members, &barrier});
                    for (auto& helper : helpers) helper.join();
                };
            };
            for (const auto& [P1, P2] : penalties) {
                const auto expected = aggregate(sgm_aggregate_reference, cost, P1, P2, Agg::zeroed);
                ASSERT_TRUE(same_elements(aggregate(from_counts(sgm_counts_shared_reference, 1), cost, P1, P2),
                                          expected))
                    << "twin, " << D << "x" << H << "x" << W << ", scale " << scale << ", P " << P1 << " " << P2;
                for (const int members : {1, 2, 3, 7})
                    ASSERT_TRUE(same_elements(
                        aggregate(from_counts(level().sgm_counts_shared, members), cost, P1, P2), expected))
                        << members << " members, " << D << "x" << H << "x" << W << ", scale " << scale << ", P "
                        << P1 << " " << P2;
            }
        }
    }
}

// The three sweeps keep their rows of scratch at the start of the path
// buffer: most pages of a tall volume's path buffer are never touched, by
// one thread or by a team of many (whose scratch does not grow with it).
TEST_P(SgmLevels, TallVolumeTouchesOnlyTheStartOfThePathBuffer) {
    const int64_t D = 4, H = 400, W = 40;
    auto cost = volume(D, H, W);
    Values values(8);
    cost.fill([&] { return float(values.uniform(0, 9)); });
    for (const int members : {1, 12}) {
        Buffer<float, 3> agg({D, H, W}, {0, 0, 0}, 0.0f);
        Buffer<float, 3> path({D, H, W}, {0, 0, 0}, kUntouched);
        if (members == 1) {
            level().sgm_aggregate(cost.cview(), 1, 4, agg.view, path.view);
        } else {
            shared_by(level(), members)(cost.cview(), 1, 4, agg.view, path.view);
        }
        const auto first_touched_from_end = std::find_if(path.storage.rbegin(), path.storage.rend(),
                                                         [](float x) { return bits(x) != bits(kUntouched); });
        EXPECT_LT(path.storage.rend() - first_touched_from_end, D * H * W / 4) << members << " members";
        EXPECT_TRUE(same_elements(agg.storage, aggregate(sgm_aggregate_reference, cost, 1, 4))) << members;
    }
}

// The sweeps' scratch starts on the first whole cache line of the path
// buffer, wherever the buffer starts: with every start within a line, and
// volumes from just too short for the sweeps to just long enough at each
// level, the kernel gives the twin's bits and writes nothing past the path
// buffer's ends.
TEST_P(SgmLevels, ScratchStaysInsideAPathBufferStartingAnywhere) {
    constexpr int64_t kLineFloats = 16, kGuard = 2 * kLineFloats;
    const int64_t D = 2;
    Values values(5);
    for (const int64_t W : {20, 21}) {
        for (int64_t H = 36; H <= 180; ++H) {
            auto cost = volume(D, H, W);
            cost.fill([&] { return values.mixed(-5, 20, 0.05); });
            const auto expected = aggregate(sgm_aggregate_reference, cost, 1, 4, Agg::zeroed);
            const int64_t cells = D * H * W;
            std::vector<float> storage(std::size_t(2 * kGuard + kLineFloats + cells), kUntouched);
            float* line = storage.data() + kGuard;
            line += (kLineFloats - reinterpret_cast<std::uintptr_t>(line) / sizeof(float) % kLineFloats) % kLineFloats;
            for (int64_t start = 0; start < kLineFloats; ++start) {
                std::fill(storage.begin(), storage.end(), kUntouched);
                const int64_t extents[3] = {D, H, W};
                const auto path = contiguous(line + start, extents);
                Buffer<float, 3> agg({D, H, W}, {0, 0, 0}, 0.0f);
                level().sgm_aggregate(cost.cview(), 1, 4, agg.view, path);
                ASSERT_TRUE(same_elements(agg.storage, expected)) << H << "x" << W << ", start " << start;
                const auto outside = [&](float x) { return bits(x) != bits(kUntouched); };
                ASSERT_TRUE(std::none_of(storage.data(), line + start, outside)) << H << "x" << W << ", start " << start;
                ASSERT_TRUE(std::none_of(line + start + cells, storage.data() + storage.size(), outside))
                    << H << "x" << W << ", start " << start;
            }
        }
    }
}

}  // namespace
