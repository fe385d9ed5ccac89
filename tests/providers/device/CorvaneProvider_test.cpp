#include "providers/device/CorvaneProvider.h"

#include "support/Categories.h"

#include <gtest/gtest.h>

#include <regex>

using TestSupport::readProvider;

TEST(CorvaneProvider, ReportsTheLibraryVersionWhenSelected)
{
    const PropertyMap all = readProvider<CorvaneProvider>("Corvane", 2);
    ASSERT_EQ(all.size(), 1U);
    EXPECT_TRUE(std::regex_match(all.at("DEVICE_CORVANE_VERSION"), std::regex(R"(\d+\.\d+\.\d+\.\d+)")));
    EXPECT_EQ(all.at("DEVICE_CORVANE_VERSION"), CVCLIENT_VERSION);

    EXPECT_EQ(readProvider<CorvaneProvider>("Corvane", 1, 0x1), all);
    EXPECT_TRUE(readProvider<CorvaneProvider>("Corvane", 1, 0).empty());
    EXPECT_TRUE(readProvider<CorvaneProvider>("Corvane", 0, 0x1).empty());
}
