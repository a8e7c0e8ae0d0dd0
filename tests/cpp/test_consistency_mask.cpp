// Consistency at every level against its twin: heights with NaNs and
// infinities, flags of any byte, counts around the one needed, tolerances
// that no float equals.
#include <gtest/gtest.h>

#include <cstdint>

#include "kernels/consistency_mask.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

class ConsistencyMaskLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(ConsistencyMaskLevels);

using Consistency = void (*)(const Array2<const float>&, const Array2<const std::uint8_t>&,
                             const Array2<const float>&, const Array2<const std::uint8_t>&,
                             const Array2<const std::int32_t>&, double, std::int64_t, const Array2<std::uint8_t>&,
                             const Array2<float>&);

TEST_P(ConsistencyMaskLevels, EveryToleranceAndCountGivesTheTwinsBits) {
    Values values(5);
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{1, 1}, {3, 37}, {17, 64}, {2, 1000}, {0, 5}}) {
        Buffer<float, 2> za({H, W}, {1, 3}, kNaN), zb({H, W}, {0, 2}, kNaN);
        Buffer<std::uint8_t, 2> ua({H, W}, {2, 1}, 0), ub({H, W}, {0, 5}, 0);
        Buffer<std::int32_t, 2> seen({H, W}, {1, 1}, 0);
        za.fill([&] { return values.mixed(0, 1, 0.1); });
        zb.fill([&] { return values.chance(0.3) ? values.tie() : values.mixed(0, 1, 0.1); });
        ua.fill([&] { return std::uint8_t(values.chance(0.8) ? values.index(256) : 0); });
        ub.fill([&] { return std::uint8_t(values.chance(0.8) ? 1 : 0); });
        seen.fill([&] {
            if (values.chance(0.1)) return values.chance(0.5) ? INT32_MIN : INT32_MAX;
            return std::int32_t(values.index(7) - 1);
        });
        for (double tolerance : {0.0, 0.1, 0.3, 1.0 / 3.0, 1e300, -1.0, double(kInf), double(kNaN)}) {
            for (std::int64_t needed : {std::int64_t(3), std::int64_t(0), std::int64_t(-5), std::int64_t(INT32_MAX),
                                        std::int64_t(1) << 40, -(std::int64_t(1) << 40)}) {
                std::vector<std::uint8_t> matched[2];
                std::vector<float> raw[2];
                int k = 0;
                for (Consistency kernel : {Consistency(level().consistency_mask), consistency_mask_reference}) {
                    Buffer<std::uint8_t, 2> m({H, W}, {1, 2}, 7);
                    Buffer<float, 2> r({H, W}, {1, 2}, -7.0f);  // the padding of m: the same storage index
                    kernel(za.cview(), ua.cview(), zb.cview(), ub.cview(), seen.cview(), tolerance, needed, m.view,
                           r.view);
                    matched[k] = m.storage;
                    raw[k++] = r.storage;
                }
                ASSERT_TRUE(same_elements(matched[0], matched[1])) << tolerance << " " << needed;
                ASSERT_TRUE(same_elements(raw[0], raw[1])) << tolerance << " " << needed;
                for (std::size_t i = 0; i < raw[1].size(); ++i) {  // the unmatched NaN is NumPy's float32(nan)
                    if (matched[1][i] == 0) { ASSERT_EQ(bits(raw[1][i]), 0x7fc00000u); }
                }
            }
        }
    }
}

}  // namespace
