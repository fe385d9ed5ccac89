// DisplayProvider against real X servers started by the test: Xvfb with two
// screens, Xorg with the dummy driver for outputs in different states, and no
// X server at all.
#include "providers/display/DisplayProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/XServer.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::XServer;

namespace {

PropertyMap readDisplays(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<DisplayProvider>("Display", status, filter);
}

// Display `index` as the provider reports it.
PropertyMap monitor(int index, const char* name, const char* width, const char* height, const char* bpp,
                    const char* dpi)
{
    const std::string key = "DEVICE_DISPLAY_" + std::to_string(index) + "_";
    return {{key + "NAME", name}, {key + "WIDTH", width}, {key + "HEIGHT", height}, {key + "BPP", bpp},
            {key + "DPI", dpi}};
}

PropertyMap count(int displays)
{
    return {{"DEVICE_DISPLAY_COUNT", std::to_string(displays)}};
}

PropertyMap operator+(PropertyMap left, const PropertyMap& right)
{
    left.insert(right.begin(), right.end());
    return left;
}

}  // namespace

TEST(DisplayProvider, DotsPerInchNeedsAPhysicalHeight)
{
    EXPECT_EQ(DisplayProvider::dotsPerInch(768, 203), "96");
    EXPECT_EQ(DisplayProvider::dotsPerInch(2160, 340), "161");
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, 0), std::nullopt);
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, -1), std::nullopt);
}

TEST(DisplayProvider, EveryScreenOfXvfbInOrderAtTheSameTimeAndFiltered)
{
    const XServer server({"-screen", "0", "1920x1080x24", "-screen", "1", "1024x768x16"});
    const ScopedEnv display("DISPLAY", server.display());
    const PropertyMap first = monitor(0, "screen", "1920", "1080", "8", "100");
    const PropertyMap both = count(2) + first + monitor(1, "screen", "1024", "768", "8", "100");
    const LogWatch log;
    EXPECT_EQ(readDisplays(), both);
    EXPECT_FALSE(log.contains(" : ERROR - ") || log.contains(" : WARNING - ")) << log.text();

    // Readings at the same time, each on a connection of its own.
    std::vector<PropertyMap> readings[2];
    std::vector<std::thread> threads;
    for (std::vector<PropertyMap>& each : readings) {
        threads.emplace_back([&each] {
            for (int round = 0; round < 5; ++round) {
                DisplayProvider provider(TestSupport::category("Display"), "20.1");
                std::future<PropertyMap> one = provider.getProperties();
                std::future<PropertyMap> two = provider.getProperties();
                each.push_back(one.get());
                each.push_back(two.get());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(readings[0], std::vector<PropertyMap>(10, both));
    EXPECT_EQ(readings[1], std::vector<PropertyMap>(10, both));

    const std::pair<int32_t, PropertyMap> filters[] = {
        {0x01 | 0x02, {{"DEVICE_DISPLAY_COUNT", "2"}, {"DEVICE_DISPLAY_0_NAME", "screen"},
                       {"DEVICE_DISPLAY_1_NAME", "screen"}}},
        {0x04 | 0x08, {{"DEVICE_DISPLAY_0_WIDTH", "1920"}, {"DEVICE_DISPLAY_0_HEIGHT", "1080"},
                       {"DEVICE_DISPLAY_1_WIDTH", "1024"}, {"DEVICE_DISPLAY_1_HEIGHT", "768"}}},
        {0x10 | 0x20, {{"DEVICE_DISPLAY_0_BPP", "8"}, {"DEVICE_DISPLAY_0_DPI", "100"},
                       {"DEVICE_DISPLAY_1_BPP", "8"}, {"DEVICE_DISPLAY_1_DPI", "100"}}},
        {0x40, {}},
        {0x3f, both},
    };
    for (const auto& [filter, expected] : filters) {
        EXPECT_EQ(readDisplays(1, filter), expected) << filter;
    }
}

TEST(DisplayProvider, AScreenWithoutPhysicalHeightHasNoDotsPerInch)
{
    // So many dots per inch that the physical size rounds to nothing.
    const XServer server({"-dpi", "1000000", "-screen", "0", "1920x1080x24"});
    const ScopedEnv display("DISPLAY", server.display());
    EXPECT_EQ(readDisplays(), count(1) + monitor(0, "screen", "1920", "1080", "8", "Unavailable"));
}

TEST(DisplayProvider, OnlyConnectedOutputsWithACrtcCount)
{
    const XServer server({}, true);
    // DUMMY2 beside DUMMY0, disconnected DUMMY1 between them, DUMMY3
    // connected but switched off (no CRTC). A full query probes the outputs.
    server.run("xrandr --addmode DUMMY2 800x600 && xrandr --addmode DUMMY3 640x480 && "
               "xrandr --output DUMMY2 --mode 800x600 --right-of DUMMY0 && "
               "xrandr --output DUMMY3 --mode 640x480 --right-of DUMMY2 && xrandr --output DUMMY3 --off && xrandr >/dev/null");
    const ScopedEnv display("DISPLAY", server.display());
    const LogWatch log;
    EXPECT_EQ(readDisplays(),
              count(2) + monitor(0, "DUMMY0", "1024", "768", "8", "96") + monitor(1, "DUMMY2", "800", "600", "8", "96"));
    EXPECT_EQ(log.count("WARNING - Missing CRCT info for screen [0] output [3] name [DUMMY3]\n"), 1U) << log.text();
    EXPECT_EQ(log.count(" : WARNING - "), 1U) << log.text();
}

TEST(DisplayProvider, WithoutAnXServerThereAreNoDisplays)
{
    for (const std::optional<std::string>& name : {std::optional<std::string>(), std::optional<std::string>(":4711")}) {
        const ScopedEnv display("DISPLAY", name);
        const LogWatch log;
        EXPECT_EQ(readDisplays(), count(0));
        EXPECT_EQ(log.count("ERROR - Failed to open display\n"), 1U) << log.text();
    }
    const ScopedEnv display("DISPLAY", std::nullopt);
    EXPECT_TRUE(readDisplays(1, 0x02).empty());
}
