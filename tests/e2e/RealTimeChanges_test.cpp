// SPDX-License-Identifier: Apache-2.0
// Changes the endpoint announces reach the host at once, through the library's entry points, with a periodic check
// ten minutes away: UPower, NetworkManager (python-dbusmock on a private system bus), and RandR and XKB on Xorg with
// the dummy driver. Each update holds only what changed.
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/NetworkManagerService.h"
#include "support/SystemBus.h"
#include "support/UPowerService.h"
#include "support/XServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>

using namespace TestSupport;
using Pairs = std::map<std::string, std::string>;


TEST(RealTimeChanges, EachSourceAnnouncesOnlyWhatChanged)
{
    // The authority file named, so that libXau, which keeps the name it makes
    // in one static buffer, makes none while this test and the library's
    // threads connect side by side (the server asks for no authorisation).
    const ScopedEnv authority("XAUTHORITY", "/dev/null");
    SystemBus::instance();
    UPowerService upower({true, false}, true);
    const std::string battery = upower.addBattery("battery", 80.0, false);
    NetworkManagerService manager;
    const std::string wireless = manager.addWiFiDevice("wlan0", NetworkManagerService::kActivated, "02:00:00:00:00:02", 54000);
    const std::string cafe = manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 40, {});
    const std::string office = manager.addAccessPoint(wireless, "office", "Office", "0A:00:00:00:00:02", 90, {});
    manager.setActiveAccessPoint(wireless, cafe);
    const XServer server({}, true);
    const ScopedEnv display("DISPLAY", server.display());
    const std::string xrandr = "xrandr -d " + server.display();
    ASSERT_EQ(std::system((xrandr + " --addmode DUMMY0 800x600").c_str()), 0);
    ASSERT_EQ(std::system(("setxkbmap -display " + server.display() + " -layout us").c_str()), 0);

    CapturingChannel channel;
    channel.connect();
    channel.send(initialiseWith(R"({"name":"Power","status":2},{"name":"Network","status":1,"filter":7864321},)"
                                R"({"name":"Display","status":1,"filter":13},{"name":"Region","status":1,"filter":24},)"
                                R"({"name":"Hardware","status":1,"filter":4096})"));
    ASSERT_TRUE(channel.waitForCount(1));
    const Pairs initial = updatedPairs(parseJson(channel.message(0)));
    EXPECT_EQ(initial.at("DEVICE_POWER_BATTERY"), "High");
    EXPECT_EQ(initial.at("DEVICE_HARDWARE_LID"), "Open");
    EXPECT_EQ(initial.at("DEVICE_NETWORK_0_WIFI_SSID"), "Cafe");
    EXPECT_EQ(initial.at("DEVICE_DISPLAY_0_WIDTH"), "1024");
    EXPECT_EQ(initial.at("DEVICE_REGION_KEYBOARD_LOCALE"), "en-US");

    const struct {
        const char* what;
        std::function<void()> change;
        Pairs expected;
    } steps[] = {
        {"battery", [&] { upower.setDeviceProperty(battery, "Percentage", g_variant_new_double(20.0)); },
         {{"DEVICE_POWER_BATTERY", "Low"}}},
        {"lid", [&] { upower.setLidClosed(true); }, {{"DEVICE_HARDWARE_LID", "Closed"}}},
        {"access point", [&] { manager.setActiveAccessPoint(wireless, office); },
         {{"DEVICE_NETWORK_0_WIFI_SSID", "Office"},
          {"DEVICE_NETWORK_0_WIFI_BSSID", "0A-00-00-00-00-02"},
          {"DEVICE_NETWORK_0_WIFI_STRENGTH", "90"}}},
        {"mode", [&] { ASSERT_EQ(std::system((xrandr + " --output DUMMY0 --mode 800x600").c_str()), 0); },
         {{"DEVICE_DISPLAY_0_WIDTH", "800"}, {"DEVICE_DISPLAY_0_HEIGHT", "600"}}},
        {"layout", [&] { ASSERT_EQ(std::system(("setxkbmap -display " + server.display() + " -layout de").c_str()), 0); },
         {{"DEVICE_REGION_KEYBOARD_LANGUAGE", "German"}, {"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}},
        // A second layout, then switched to: only the switch changes what the keyboard reads.
        {"group",
         [&] {
             ASSERT_EQ(std::system(("setxkbmap -display " + server.display() + " -layout de,us").c_str()), 0);
             ASSERT_TRUE(lockKeyboardGroup(1));
         },
         {{"DEVICE_REGION_KEYBOARD_LANGUAGE", "English (United States)"}, {"DEVICE_REGION_KEYBOARD_LOCALE", "en-US"}}},
    };
    for (const auto& step : steps) {
        const std::size_t before = channel.count();
        step.change();
        ASSERT_TRUE(channel.waitForCount(before + 1)) << step.what;
        const rapidjson::Document update = parseJson(channel.message(before));
        EXPECT_STREQ(update["id"].GetString(), "updateDeviceProperties") << step.what;
        EXPECT_EQ(updatedPairs(update), step.expected) << step.what;
        EXPECT_TRUE(update["data"]["removed"].GetArray().Empty()) << step.what;
    }
    channel.disconnect();
}
