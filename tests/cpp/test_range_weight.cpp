// The filter's vectorised range weight against the library's pow, on every
// float exponent that the filter can form (t <= 0: every float with its sign
// bit set, -0, -inf and the NaNs among them), plus +0 and a positive NaN, at
// every level.  The domain is cut into slices that ctest runs in parallel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/bilateral_weights.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

constexpr int kSlices = 16;
constexpr std::uint64_t kNegatives = std::uint64_t(1) << 31;

float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

class RangeWeight : public ::testing::TestWithParam<int> {};

TEST_P(RangeWeight, EqualsTheLibraryPowOnEveryNonPositiveFloat) {
    const std::uint64_t slice = kNegatives / kSlices;
    const std::uint64_t begin = 0x80000000u + GetParam() * slice;
    std::vector<float> t, want, got;
    std::vector<std::int64_t> slow(3, 0);
    std::int64_t nans = 0, weighed = 0;  // exponents that are NaN; that lie in [-104, 0]
    constexpr std::uint64_t kBlock = 1 << 16;
    for (std::uint64_t first = begin; first < begin + slice; first += kBlock) {
        t.resize(kBlock + (first == 0x80000000u ? 2 : 0));
        for (std::uint64_t i = 0; i < kBlock; ++i) t[i] = from_bits(std::uint32_t(first + i));
        if (t.size() > kBlock) {  // once: the two non-negative exponents worth a look
            t[kBlock] = 0.0f;
            t[kBlock + 1] = kNaN;
        }
        for (float x : t) {
            nans += std::isnan(x);
            weighed += x >= -104.0f && x <= 0.0f;
        }
        want.resize(t.size());
        for (std::size_t i = 0; i < t.size(); ++i) want[i] = float(std::pow(kWeightBase, double(t[i])));
        for (Level level : kAllLevels) {
            if (level > highest_supported_level()) continue;
            got.assign(t.size(), -1.0f);
            slow[int(level)] += kernels_at(level).range_weights(t.data(), got.data(), std::int64_t(t.size()));
            for (std::size_t i = 0; i < t.size(); ++i)
                ASSERT_TRUE(same(got[i], want[i]))
                    << level_name(level) << ": t = " << t[i] << " (bits " << std::hex << bits(t[i])
                    << std::dec << "), pow gives " << want[i] << ", the level " << got[i];
        }
    }
    // NaN always takes the library pow; of the others, only an exponent in
    // [-104, 0] whose weight lies near a rounding boundary.
    for (Level level : kAllLevels)
        if (level <= highest_supported_level())
            std::printf("%s: %lld of %lld exponents in [-104, 0] took the library pow\n", level_name(level),
                        static_cast<long long>(slow[int(level)] - nans), static_cast<long long>(weighed));
}

INSTANTIATE_TEST_SUITE_P(Slices, RangeWeight, ::testing::Range(0, kSlices));

}  // namespace
