// The power provider against UPower (python-dbusmock's upower template) on a
// private system bus.
#include "providers/power/PowerProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/SystemBus.h"
#include "support/UPowerService.h"

#include <gtest/gtest.h>

using TestSupport::LogWatch;
using TestSupport::readProvider;
using TestSupport::UPowerService;

namespace {

class PowerProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::SystemBus::instance(); }

    static PropertyMap read(int32_t status = 2, int32_t filter = 0)
    {
        return readProvider<PowerProvider>("Power", status, filter);
    }

    static PropertyMap power(const std::string& ac, const std::string& battery)
    {
        return {{"DEVICE_POWER_AC", ac}, {"DEVICE_POWER_BATTERY", battery}};
    }
};

}  // namespace

TEST_F(PowerProviderTest, MachineWithoutBatteryRunsOnMains)
{
    UPowerService upower;
    EXPECT_EQ(read(), power("Online", "None"));

    // Without a battery the machine runs on mains, whatever the AC adapter says.
    const std::string ac = upower.addLinePower("ac", false);
    EXPECT_EQ(read(), power("Online", "None"));
    upower.setDeviceProperty(ac, "Online", g_variant_new_boolean(TRUE));
    EXPECT_EQ(read(), power("Online", "None"));
}

TEST_F(PowerProviderTest, BatteryLevelsAtTheirBorders)
{
    UPowerService upower({}, true);
    const std::string battery = upower.addDischargingBattery("battery", 100.0);
    const std::pair<double, const char*> levels[] = {
        {100.0, "High"}, {66.1, "High"}, {66.0, "Medium"}, {33.0, "Medium"}, {32.9, "Low"},
        {5.0, "Low"},    {4.9, "Critical"}, {0.0, "Critical"},
    };
    for (const auto& [percentage, level] : levels) {
        upower.setDeviceProperty(battery, "Percentage", g_variant_new_double(percentage));
        EXPECT_EQ(read(), power("Offline", level)) << percentage;
    }
}

TEST_F(PowerProviderTest, LaptopOnBatteryAndPluggedIn)
{
    {
        UPowerService upower({}, true);
        upower.addDischargingBattery("battery", 50.0);
        LogWatch log;
        EXPECT_EQ(read(), power("Offline", "Medium"));
        EXPECT_TRUE(log.contains("Found device [/org/freedesktop/UPower/devices/battery] kind [battery]"));
        EXPECT_TRUE(log.contains("Battery device has percentage [50] state [discharging]"));
    }
    UPowerService upower;
    const std::string battery = upower.addChargingBattery("battery", 70.0);
    const std::string ac = upower.addLinePower("ac", true);
    LogWatch log;
    EXPECT_EQ(read(), power("Online", "High"));
    EXPECT_TRUE(log.contains("Line power device is online [1]"));

    // Charging but the adapter reports no power: the mains text decides.
    upower.setDeviceProperty(ac, "Online", g_variant_new_boolean(FALSE));
    EXPECT_EQ(read(), power("Offline", "High"));
    EXPECT_TRUE(log.contains("Line power device is online [0]"));

    // Full and plugged in.
    upower.setDeviceProperty(ac, "Online", g_variant_new_boolean(TRUE));
    upower.setDeviceProperty(battery, "State", g_variant_new_uint32(4));
    upower.setDeviceProperty(battery, "Percentage", g_variant_new_double(100.0));
    EXPECT_EQ(read(), power("Online", "High"));

    // Unplugged: the battery discharges, whatever the adapter last said.
    upower.setDeviceProperty(battery, "State", g_variant_new_uint32(2));
    EXPECT_EQ(read(), power("Offline", "High"));
}

TEST_F(PowerProviderTest, LastBatteryGivesTheLevelAndAnyDischargingOneTheMains)
{
    UPowerService upower;
    upower.addLinePower("ac", true);
    upower.addDischargingBattery("battery0", 10.0);
    upower.addChargingBattery("battery1", 90.0);
    // Other kinds of device, such as a wireless mouse with a low charge, do not count.
    upower.addDevice("mouse", 5, 3.0);
    LogWatch log;
    EXPECT_EQ(read(), power("Offline", "High"));
    EXPECT_TRUE(log.contains("Found device [/org/freedesktop/UPower/devices/mouse] kind [mouse]"));
    EXPECT_EQ(log.count("Battery device has percentage"), 2U);
}

TEST_F(PowerProviderTest, NothingKnownWithoutUPower)
{
    ASSERT_FALSE(TestSupport::SystemBus::instance().hasOwner("org.freedesktop.UPower"));
    LogWatch log;
    EXPECT_TRUE(read().empty());
    EXPECT_TRUE(log.contains("ERROR - Failed to list power devices since UPower does not answer"));
    EXPECT_TRUE(log.contains("Done getting POWER properties."));

    // UPower going away between two readings.
    UPowerService upower;
    upower.addDischargingBattery("battery", 20.0);
    EXPECT_EQ(read(), power("Offline", "Low"));
    upower.stop();
    EXPECT_TRUE(read().empty());
}

TEST_F(PowerProviderTest, FilterSelectsKeysAndUPowerIsAskedOnlyForThem)
{
    UPowerService upower;
    upower.addDischargingBattery("battery", 4.0);
    EXPECT_EQ(read(1, 0x02), (PropertyMap{{"DEVICE_POWER_BATTERY", "Critical"}}));
    EXPECT_EQ(read(1, 0x01), (PropertyMap{{"DEVICE_POWER_AC", "Offline"}}));

    LogWatch log;
    EXPECT_TRUE(read(1, 0x04).empty());
    EXPECT_TRUE(read(0, 0x03).empty());
    EXPECT_FALSE(log.contains("Found device"));
}
