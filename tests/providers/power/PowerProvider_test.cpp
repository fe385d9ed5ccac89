// SPDX-License-Identifier: Apache-2.0
// The power provider against UPower (python-dbusmock's upower template) on a private system bus, which the
// first service starts before anything reads.
#include "providers/power/PowerProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/UPowerService.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return readProvider<PowerProvider>("Power", status, filter);
}

PropertyMap power(const std::string& ac, const std::string& battery)
{
    return {{"DEVICE_POWER_AC", ac}, {"DEVICE_POWER_BATTERY", battery}};
}

}  // namespace

TEST(PowerProviderTest, MainsAndBatteryLevels)
{
    {
        // Without a battery the machine runs on mains, whatever the AC adapter says.
        UPowerService upower;
        EXPECT_EQ(read(), power("Online", "None"));
        upower.addLinePower("ac", false);
        EXPECT_EQ(read(), power("Online", "None"));
    }
    UPowerService upower({}, true);
    const std::string battery = upower.addBattery("battery", 100.0, false);
    const std::pair<double, const char*> levels[] = {{100.0, "High"}, {66.1, "High"},    {66.0, "Medium"},
                                                     {33.0, "Medium"}, {32.9, "Low"},    {5.0, "Low"},
                                                     {4.9, "Critical"}, {0.0, "Critical"}};
    for (const auto& [percentage, level] : levels) {
        upower.setDeviceProperty(battery, "Percentage", g_variant_new_double(percentage));
        EXPECT_EQ(read(), power("Offline", level)) << percentage;
    }
    EXPECT_EQ(read(1, 0x01), (PropertyMap{{"DEVICE_POWER_AC", "Offline"}}));
    EXPECT_TRUE(read(1, 0x04).empty());
    EXPECT_TRUE(read(0, 0x03).empty());
}

TEST(PowerProviderTest, AnyDischargingBatteryMeansOffline)
{
    UPowerService upower;
    const std::string battery = upower.addBattery("battery", 70.0, true);
    const std::string ac = upower.addLinePower("ac", true);
    // A wireless mouse with a low charge does not count.
    upower.addDevice("mouse", 5, 3.0);
    EXPECT_EQ(read(), power("Online", "High"));
    upower.setDeviceProperty(ac, "Online", g_variant_new_boolean(FALSE));
    EXPECT_EQ(read(), power("Offline", "High"));

    // Unplugged: the battery discharges, whatever the adapter last said.
    upower.setDeviceProperty(ac, "Online", g_variant_new_boolean(TRUE));
    upower.setDeviceProperty(battery, "State", g_variant_new_uint32(2));
    EXPECT_EQ(read(), power("Offline", "High"));

    // The last battery gives the level.
    upower.setDeviceProperty(battery, "State", g_variant_new_uint32(1));
    upower.addBattery("battery1", 10.0, false);
    EXPECT_EQ(read(), power("Offline", "Low"));

    upower.stop();
    LogWatch log;
    EXPECT_TRUE(read().empty());
    EXPECT_TRUE(log.contains("ERROR - Failed to list power devices since UPower does not answer"));
}

TEST(PowerProviderTest, UPowerThatHangsIsAShortFailure)
{
    // Waiting for a service that hangs would hold up the whole check: a call
    // gets two seconds, then the category reports that UPower does not answer.
    UPowerService upower({}, true);
    upower.addBattery("battery", 50.0, false);
    upower.listDevicesAfter(6);
    LogWatch log;
    EXPECT_TRUE(read().empty());
    EXPECT_TRUE(log.contains("ERROR - Failed to list power devices since UPower does not answer"));
}
