#include "providers/device/NameProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <regex>

using TestSupport::readProvider;

TEST(NameProvider, DeviceIdIsTheMachineIdAsALittleEndianGuid)
{
    EXPECT_EQ(NameProvider::formatDeviceId({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                            0xCC, 0xDD, 0xEE, 0xFF}),
              "33221100-5544-7746-8899-AABBCCDDEEFF");
    // Version and variant bits are forced whatever the machine id holds.
    EXPECT_EQ(NameProvider::formatDeviceId({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF}),
              "FFFFFFFF-FFFF-FF4F-BFFF-FFFFFFFFFFFF");
    EXPECT_EQ(NameProvider::formatDeviceId({}), "00000000-0000-0040-8000-000000000000");
}

TEST(NameProvider, ReportsNodeNameDnsNameAndId)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const PropertyMap all = readProvider<NameProvider>("Name");
    ASSERT_EQ(all.size(), 3U);
    EXPECT_EQ(all.at("DEVICE_NAME"), system.nodename);
    EXPECT_EQ(all.at("DEVICE_ID"), NameProvider::getDeviceId());
    EXPECT_TRUE(std::regex_match(all.at("DEVICE_ID"), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                                                 "[0-9A-F]{12}|Unavailable")));
    EXPECT_EQ(NameProvider::getDeviceName(), system.nodename);
}

TEST(NameProvider, FilterSelectsKeys)
{
    const PropertyMap idOnly = readProvider<NameProvider>("Name", 1, 0x20);
    EXPECT_EQ(idOnly.size(), 1U);
    EXPECT_EQ(idOnly.count("DEVICE_ID"), 1U);

    const PropertyMap names = readProvider<NameProvider>("Name", 1, 0x09);
    EXPECT_EQ(names.size(), 2U);
    EXPECT_EQ(names.count("DEVICE_NAME"), 1U);
    EXPECT_EQ(names.count("DEVICE_NAME_DNS"), 1U);

    // Bits the category does not use select nothing; status 0 looks nothing up.
    const TestSupport::LogWatch log;
    EXPECT_TRUE(readProvider<NameProvider>("Name", 1, 0x02 | 0x04 | 0x10).empty());
    EXPECT_TRUE(readProvider<NameProvider>("Name", 0, 0xFF).empty());
    EXPECT_FALSE(log.contains("getDnsFromHostname"));
}
