// SPDX-License-Identifier: Apache-2.0
#include "providers/device/CorvaneProvider.h"

#include "support/Categories.h"

#include <gtest/gtest.h>

using TestSupport::readProvider;

TEST(CorvaneProvider, ReportsTheLibraryVersionWhenSelected)
{
    const PropertyMap all{{"DEVICE_CORVANE_VERSION", CVCLIENT_VERSION}};
    EXPECT_EQ(readProvider<CorvaneProvider>("Corvane", 2), all);
    EXPECT_EQ(readProvider<CorvaneProvider>("Corvane", 1, 0x1), all);
    EXPECT_TRUE(readProvider<CorvaneProvider>("Corvane", 1, 0x2).empty());
    EXPECT_TRUE(readProvider<CorvaneProvider>("Corvane", 0, 0x1).empty());
}
