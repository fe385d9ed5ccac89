// SPDX-License-Identifier: Apache-2.0
// DisplayProvider against Xvfb with two screens, Xorg with the dummy driver's
// outputs in different states, and no X server at all.
#include "providers/display/DisplayProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/XServer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::XServer;

namespace {

PropertyMap readDisplays(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<DisplayProvider>("Display", status, filter);
}

// The reading of monitors (name, width, height, dots per inch; 8 bits per colour).
PropertyMap displays(const std::vector<std::array<const char*, 4>>& monitors)
{
    PropertyMap reading{{"DEVICE_DISPLAY_COUNT", std::to_string(monitors.size())}};
    for (std::size_t index = 0; index < monitors.size(); ++index) {
        const std::string key = "DEVICE_DISPLAY_" + std::to_string(index) + "_";
        const auto& [name, width, height, dpi] = monitors[index];
        reading.insert({{key + "NAME", name}, {key + "WIDTH", width}, {key + "HEIGHT", height}, {key + "BPP", "8"},
                        {key + "DPI", dpi}});
    }
    return reading;
}

}  // namespace

TEST(DisplayProvider, EveryScreenOfXvfbInOrder)
{
    const XServer server({"-screen", "0", "1920x1080x24", "-screen", "1", "1024x768x16"});
    const ScopedEnv display("DISPLAY", server.display());
    const PropertyMap both = displays({{"screen", "1920", "1080", "100"}, {"screen", "1024", "768", "100"}});
    const LogWatch log;
    EXPECT_EQ(readDisplays(), both);
    EXPECT_FALSE(log.contains(" : ERROR - ") || log.contains(" : WARNING - ")) << log.text();

    std::vector<PropertyMap> readings(20);  // at the same time, each on a connection of its own
    std::thread other([&readings] { for (int i = 0; i < 10; ++i) readings[i] = readDisplays(); });
    for (int i = 10; i < 20; ++i) readings[i] = readDisplays();
    other.join();
    EXPECT_EQ(readings, std::vector<PropertyMap>(20, both));
    EXPECT_EQ(readDisplays(1, 0x08), (PropertyMap{{"DEVICE_DISPLAY_0_HEIGHT", "1080"}, {"DEVICE_DISPLAY_1_HEIGHT", "768"}}));
    EXPECT_TRUE(readDisplays(1, 0x40).empty());
}

// Without an X server there are no displays; without a physical height there are no dots per inch.
TEST(DisplayProvider, NoServerMeansNoDisplaysAndDotsPerInchNeedAPhysicalHeight)
{
    for (const std::optional<std::string>& name : {std::optional<std::string>(), std::optional<std::string>(":4711")}) {
        const ScopedEnv display("DISPLAY", name);
        const LogWatch log;
        EXPECT_EQ(readDisplays(), displays({}));
        EXPECT_EQ(log.count("ERROR - Failed to open display\n"), 1U) << log.text();
    }
    EXPECT_EQ(DisplayProvider::dotsPerInch(2160, 340), "161");
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, 0), std::nullopt);
}

TEST(DisplayProvider, OnlyConnectedOutputsWithACrtcCount)
{
    const XServer server({}, true);
    // DUMMY2 beside DUMMY0, disconnected DUMMY1 between them, DUMMY3 connected
    // but switched off (no CRTC). A full query probes the outputs.
    const std::string xrandr = "xrandr -d " + server.display();
    ASSERT_EQ(std::system((xrandr + " --addmode DUMMY2 800x600 && " + xrandr + " --addmode DUMMY3 640x480 && " + xrandr +
                           " --output DUMMY2 --mode 800x600 --right-of DUMMY0 && " + xrandr + " --output DUMMY3 --mode 640x480 && " +
                           xrandr + " --output DUMMY3 --off && " + xrandr + " >/dev/null").c_str()),
              0);
    const ScopedEnv display("DISPLAY", server.display());
    const LogWatch log;
    EXPECT_EQ(readDisplays(), displays({{"DUMMY0", "1024", "768", "96"}, {"DUMMY2", "800", "600", "96"}}));
    EXPECT_EQ(log.count("WARNING - Missing CRCT info for screen [0] output [3] name [DUMMY3]\n"), 1U) << log.text();
    EXPECT_EQ(log.count(" : WARNING - "), 1U) << log.text();
}

// RandR announces an output switched on or off; the server going away is announced too and costs the watch only.
// The watched provider's own readings, which it keeps while the watch is
// quiet, follow a server that comes, changes its outputs and goes: each is
// announced and the next reading has it.
TEST(DisplayProvider, OutputsChangingAndTheServerComingAndGoingAreAnnounced)
{
    std::optional<XServer> server(std::in_place, std::vector<std::string>{}, true);
    const std::string number = server->display();
    server.reset();  // its display number, free again
    const ScopedEnv display("DISPLAY", number);
    const std::string xrandr = "xrandr -d " + number;
    std::atomic<int> changes{0};
    DisplayProvider provider(TestSupport::category("Display", 1, 0x01), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const>) { ++changes; });
    provider.awaitMonitoring();
    const auto count = [&provider] { return provider.getProperties().get().at("DEVICE_DISPLAY_COUNT"); };
    EXPECT_EQ(count(), "0");
    const struct {
        const char* what;
        std::function<void()> change;
        const char* count;
    } steps[] = {
        {"server comes", [&] { server.emplace(std::vector<std::string>{number}, true); }, "1"},
        // The dummy driver reports an output connected once a full query probed it.
        {"output on",
         [&] {
             ASSERT_EQ(std::system((xrandr + " --addmode DUMMY2 800x600 && " + xrandr +
                                    " --output DUMMY2 --mode 800x600 --right-of DUMMY0 && " + xrandr + " >/dev/null")
                                       .c_str()),
                       0);
         },
         "2"},
        {"output off", [&] { ASSERT_EQ(std::system((xrandr + " --output DUMMY2 --off").c_str()), 0); }, "1"},
        {"server gone", [&] { server->stop(); }, "0"},
    };
    for (const auto& step : steps) {
        const int before = changes;
        step.change();
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << step.what;
        // A server that was told to end may still be ending.
        EXPECT_TRUE(TestSupport::waitUntil([&] { return count() == step.count; })) << step.what;
    }
    provider.close();
}
