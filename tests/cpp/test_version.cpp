#include <gtest/gtest.h>

#include "binding/version.hpp"

namespace quiltmap::binding {
namespace {

TEST(ParseVersion, PacksUpToFourComponents) {
    EXPECT_EQ(parse_version("3.9.18 (main, May  9 2026, 07:33:49) \n[GCC 12.2.0]"), 0x03091200u);
    EXPECT_EQ(parse_version("3.10.0"), 0x030A0000u);
    EXPECT_EQ(parse_version("3.9"), 0x03090000u);
    EXPECT_EQ(parse_version("3.9.1.7.9"), 0x03090107u);  // a fifth component is never read
    EXPECT_EQ(parse_version("3.9.0rc1"), 0x03090000u);   // stops at the first non-digit
    EXPECT_EQ(parse_version("3.13.0a4+"), 0x030D0000u);
    EXPECT_EQ(parse_version("3..9"), 0x03000900u);      // an empty component is 0
    EXPECT_EQ(parse_version(""), 0u);
    EXPECT_EQ(version_major(0x030A0200u), 3);
    EXPECT_EQ(version_minor(0x030A0200u), 10);
}

}  // namespace
}  // namespace quiltmap::binding
