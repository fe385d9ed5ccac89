// SPDX-License-Identifier: Apache-2.0
#include "base/Version.h"

#include <gtest/gtest.h>

using Base::Version;

// Up to four signed parts, read until the first that fails; the text form stops before the first negative part.
TEST(Version, ParsesComparesAndPrints)
{
    for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"3.10.0.4", "3.10.0.4"}, {"  7.2", "7.2"}, {"1.2.3.4.5", "1.2.3.4"}, {"1-2-3-4", "1.2.3.4"}, {"7.", "7"},
             {"", ""}, {"abc", "0"}, {"5.x.7", "5.0"}, {"99999.1", "32767"}, {"20.-1.5.0", "20"}, {"08.09", "8.9"},
             {"-4.1", ""}}) {
        EXPECT_EQ(Version(text).ToString(), shown) << text;
    }
    EXPECT_EQ(Version("-32768.1").minor(), 1);
    for (const auto& [lower, higher] : std::vector<std::pair<Version, Version>>{
             {Version("20.1"), Version("20.1.0")}, {Version(""), Version("0")}, {Version("3.9"), Version("3.10")},
             {Version("1.9.9.9"), Version("2")}, {Version("-5"), Version("3")}, {Version("1.2.3.4"), Version("1.2.3.5")}}) {
        EXPECT_TRUE(lower.LessThan(higher) && !higher.LessThan(lower)) << lower.ToString() << " " << higher.ToString();
        EXPECT_FALSE(lower.LessThan(lower)) << lower.ToString();
    }
    EXPECT_FALSE(Version("1-2-3-4").LessThan(Version(1, 2, 3, 4)) || Version(1, 2, 3, 4).LessThan(Version("1.2.3.4")));
    for (const char* text : {"20.1", "20", "19.9.9", "20.0.5", "20.2", "", "21", "20.1.-1.7"}) {
        EXPECT_EQ(Version(text).AtLeast(20, 1), !Version(text).LessThan(Version(20, 1, -1, -1))) << text;
    }
}
