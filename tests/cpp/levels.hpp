// Tests of the production kernels run once per instruction-set level; a
// level that this machine lacks is skipped, and says so.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kernels/levels.hpp"

namespace quiltmap::test {

class EveryLevel : public ::testing::TestWithParam<kernels::Level> {
protected:
    void SetUp() override {
        if (GetParam() > kernels::highest_supported_level())
            GTEST_SKIP() << kernels::level_name(GetParam()) << " is not supported here";
    }
    const kernels::LevelKernels& level() const { return kernels::kernels_at(GetParam()); }
};

inline std::string level_test_name(const ::testing::TestParamInfo<kernels::Level>& info) {
    return kernels::level_name(info.param);
}

}  // namespace quiltmap::test

#define QUILTMAP_AT_EVERY_LEVEL(Suite)                                                         \
    INSTANTIATE_TEST_SUITE_P(Levels, Suite, ::testing::ValuesIn(quiltmap::kernels::kAllLevels), \
                             quiltmap::test::level_test_name)
