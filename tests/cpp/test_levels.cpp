// The choice of an instruction-set level from the CPU and QUILTMAP_ISA.
#include <gtest/gtest.h>

#include <string>

#include "kernels/levels.hpp"

namespace {

using namespace quiltmap::kernels;

TEST(Levels, NamesRoundTrip) {
    for (Level level : kAllLevels) {
        Level parsed;
        ASSERT_TRUE(parse_level(level_name(level), &parsed));
        EXPECT_EQ(parsed, level);
    }
    Level parsed;
    for (const char* text : {"", "AVX2", "avx", "sse2 ", "avx512f"}) EXPECT_FALSE(parse_level(text, &parsed)) << text;
}

#ifdef QUILTMAP_X86
TEST(Levels, RequestCapsTheSupportedLevel) {
    struct Case {
        Level supported;
        const char* request;
        Level chosen;
        bool ignored;
    };
    const Case cases[] = {
        {Level::avx512, nullptr, Level::avx512, false},  {Level::avx512, "", Level::avx512, false},
        {Level::avx512, "avx2", Level::avx2, false},     {Level::avx512, "sse2", Level::sse2, false},
        {Level::avx2, "avx512", Level::avx2, false},     {Level::sse2, "avx2", Level::sse2, false},
        {Level::avx512, "fastest", Level::avx512, true}, {Level::avx2, "AVX2", Level::avx2, true},
    };
    for (const Case& c : cases) {
        const LevelChoice choice = choose_level(c.supported, c.request);
        EXPECT_EQ(choice.level, c.chosen) << (c.request ? c.request : "(unset)");
        EXPECT_EQ(choice.supported, c.supported);
        EXPECT_EQ(choice.request_ignored, c.ignored) << (c.request ? c.request : "(unset)");
        EXPECT_EQ(std::string(choice.request), c.request ? c.request : "");
    }
    // A long value is kept in part, for the warning that names it.
    const std::string long_value(100, 'x');
    EXPECT_EQ(std::string(choose_level(Level::avx2, long_value.c_str()).request), long_value.substr(0, 31));
}
#endif

TEST(Levels, TheProcessRunsTheChosenLevel) {
    const LevelChoice& choice = level_choice();
    EXPECT_EQ(choice.supported, highest_supported_level());
    EXPECT_LE(choice.level, choice.supported);
    EXPECT_EQ(kernels_at(choice.level).level, choice.level);
}

}  // namespace
