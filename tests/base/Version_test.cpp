#include "base/Version.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using Base::Version;

std::array<int16_t, 4> partsOf(const Version& version)
{
    return {version.major(), version.minor(), version.build(), version.revision()};
}

TEST(VersionParse, ReadsUpToFourSignedPartsAndStopsAtTheFirstFailure)
{
    struct Case {
        std::string text;
        std::array<int16_t, 4> parts;
    };
    const std::vector<Case> cases = {
        {"3.10.0.4", {3, 10, 0, 4}},
        {"1.2", {1, 2, -1, -1}},
        {"7", {7, -1, -1, -1}},
        {"7.", {7, -1, -1, -1}},
        {"  7.2", {7, 2, -1, -1}},
        {"1. 2", {1, 2, -1, -1}},
        {"1.2.3.4.5", {1, 2, 3, 4}},
        {"1-2-3-4", {1, 2, 3, 4}},
        {"1 2 3 4", {1, 2, 3, 4}},
        {"1.2.3.4-beta", {1, 2, 3, 4}},
        {"", {-1, -1, -1, -1}},
        {"   ", {-1, -1, -1, -1}},
        {"abc", {0, -1, -1, -1}},
        {"5.x.7", {5, 0, -1, -1}},
        {"20..1", {20, 0, -1, -1}},
        {"99999.1", {32767, -1, -1, -1}},
        {"32767.32767", {32767, 32767, -1, -1}},
        {"99999999999999999999999", {32767, -1, -1, -1}},
        {"-99999", {-32768, -1, -1, -1}},
        {"-32768.1", {-32768, 1, -1, -1}},
        {"20.-1.5.0", {20, -1, 5, 0}},
        {"+4.2", {4, 2, -1, -1}},
        {"08.09", {8, 9, -1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text [" + c.text + "]");
        EXPECT_EQ(partsOf(Version(c.text)), c.parts);
    }
}

TEST(VersionCompare, OrdersPartByPartAsSignedNumbers)
{
    struct Case {
        Version left;
        Version right;
        bool less;  // left < right; right < left is checked as the other way round
        bool equal;
    };
    const std::vector<Case> cases = {
        {Version("20.1"), Version("20.1.0"), true, false},
        {Version(-1, -1, -1, -1), Version("0.0.0.0"), true, false},
        {Version(""), Version("0"), true, false},
        {Version("3.9"), Version("3.10"), true, false},
        {Version("2.0"), Version("10.0"), true, false},
        {Version("1.2.3.4"), Version("1.2.3.5"), true, false},
        {Version("1.9.9.9"), Version("2"), true, false},
        {Version("-5"), Version("3"), true, false},
        {Version("1.2.3.4"), Version("1.2.3.4"), false, true},
        {Version("1-2-3-4"), Version(1, 2, 3, 4), false, true},
        {Version(""), Version(-1, -1, -1, -1), false, true},
        {Version("20.1"), Version(20, 1, -1, -1), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left.ToString() + " vs " + c.right.ToString());
        EXPECT_EQ(c.left.LessThan(c.right), c.less);
        EXPECT_EQ(c.right.LessThan(c.left), !c.less && !c.equal);
        EXPECT_FALSE(c.left.LessThan(c.left));
    }
}

TEST(VersionToString, JoinsThePartsBeforeTheFirstNegativeOne)
{
    const std::vector<std::pair<Version, std::string>> cases = {
        {Version("3.10.0.4"), "3.10.0.4"},
        {Version("  7.2"), "7.2"},
        {Version("0.0"), "0.0"},
        {Version("08.009"), "8.9"},
        {Version("20.-1.5.0"), "20"},
        {Version(20, -1, 5, 0), "20"},
        {Version(1, 2, 3, 4), "1.2.3.4"},
        {Version(1, 2, -7, 4), "1.2"},
        {Version(""), ""},
        {Version(-1, -1, -1, -1), ""},
        {Version("-4.1"), ""},
        {Version("99999.1"), "32767"},
    };
    for (const auto& [version, text] : cases) {
        SCOPED_TRACE("expected [" + text + "]");
        EXPECT_EQ(version.ToString(), text);
    }
}

}  // namespace
