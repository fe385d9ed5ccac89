// DisplayProvider against real X servers started by the test: Xvfb with its
// single output, and Xorg with the dummy driver for several outputs in
// different states; and against no X server at all.
#include "providers/display/DisplayProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"
#include "support/XProxy.h"
#include "support/XServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::XProxy;
using TestSupport::XServer;

namespace {

PropertyMap readDisplays(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<DisplayProvider>("Display", status, filter);
}

const PropertyMap kVirtualFramebuffer{
    {"DEVICE_DISPLAY_COUNT", "1"},       {"DEVICE_DISPLAY_0_NAME", "screen"},
    {"DEVICE_DISPLAY_0_WIDTH", "1920"},  {"DEVICE_DISPLAY_0_HEIGHT", "1080"},
    {"DEVICE_DISPLAY_0_BPP", "8"},       {"DEVICE_DISPLAY_0_DPI", "100"},
};

// DUMMY0 and DUMMY2 side by side, DUMMY1 disconnected between them, DUMMY3
// connected but switched off (no CRTC).
void arrangeDummyOutputs(const XServer& server)
{
    server.run("xrandr --addmode DUMMY2 800x600");
    server.run("xrandr --addmode DUMMY3 640x480");
    server.run("xrandr --output DUMMY2 --mode 800x600 --right-of DUMMY0");
    server.run("xrandr --output DUMMY3 --mode 640x480 --right-of DUMMY2");
    server.run("xrandr --output DUMMY3 --off");
    const std::string state = server.run("xrandr --query");
    ASSERT_NE(state.find("DUMMY1 disconnected"), std::string::npos) << state;
    ASSERT_NE(state.find("DUMMY3 connected\n"), std::string::npos) << state;
}

// The screen is 768 pixels and 203 mm high.
const PropertyMap kTwoMonitors{
    {"DEVICE_DISPLAY_COUNT", "2"},       {"DEVICE_DISPLAY_0_NAME", "DUMMY0"},
    {"DEVICE_DISPLAY_0_WIDTH", "1024"},  {"DEVICE_DISPLAY_0_HEIGHT", "768"},
    {"DEVICE_DISPLAY_0_BPP", "8"},       {"DEVICE_DISPLAY_0_DPI", "96"},
    {"DEVICE_DISPLAY_1_NAME", "DUMMY2"}, {"DEVICE_DISPLAY_1_WIDTH", "800"},
    {"DEVICE_DISPLAY_1_HEIGHT", "600"},  {"DEVICE_DISPLAY_1_BPP", "8"},
    {"DEVICE_DISPLAY_1_DPI", "96"},
};

}  // namespace

TEST(DisplayProvider, DotsPerInchNeedsAPhysicalHeight)
{
    EXPECT_EQ(DisplayProvider::dotsPerInch(768, 203), "96");
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, 286), "96");
    EXPECT_EQ(DisplayProvider::dotsPerInch(2160, 340), "161");
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, 0), std::nullopt);
    EXPECT_EQ(DisplayProvider::dotsPerInch(1080, -1), std::nullopt);
}

TEST(DisplayProvider, VirtualFramebufferHasOneOutput)
{
    XServer server(XServer::Kind::VirtualFramebuffer);
    const ScopedEnv display("DISPLAY", server.display());
    LogWatch log;

    const auto started = std::chrono::steady_clock::now();
    const PropertyMap properties = readDisplays();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(properties, kVirtualFramebuffer);
    std::printf("One display reading on Xvfb took %.2f ms\n",
                std::chrono::duration<double, std::milli>(took).count());

    EXPECT_EQ(log.count("VERBOSE - Getting DISPLAY properties...\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Found screen [0] output [0] name [screen]\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Done getting DISPLAY properties.\n"), 1U) << log.text();
    EXPECT_FALSE(log.contains(" : ERROR - ")) << log.text();
    EXPECT_FALSE(log.contains(" : WARNING - ")) << log.text();
}

TEST(DisplayProvider, ReportsOnlyTheSelectedKeys)
{
    XServer server(XServer::Kind::VirtualFramebuffer);
    const ScopedEnv display("DISPLAY", server.display());

    EXPECT_EQ(readDisplays(1, 0x01 | 0x02),
              (PropertyMap{{"DEVICE_DISPLAY_COUNT", "1"}, {"DEVICE_DISPLAY_0_NAME", "screen"}}));
    EXPECT_EQ(readDisplays(1, 0x04 | 0x08),
              (PropertyMap{{"DEVICE_DISPLAY_0_WIDTH", "1920"}, {"DEVICE_DISPLAY_0_HEIGHT", "1080"}}));
    EXPECT_EQ(readDisplays(1, 0x10 | 0x20),
              (PropertyMap{{"DEVICE_DISPLAY_0_BPP", "8"}, {"DEVICE_DISPLAY_0_DPI", "100"}}));
    EXPECT_TRUE(readDisplays(1, 0x40).empty());
    EXPECT_EQ(readDisplays(1, 0x3f), kVirtualFramebuffer);
}

TEST(DisplayProvider, AScreenWithoutPhysicalHeightHasNoDotsPerInch)
{
    XServer server(XServer::Kind::VirtualFramebufferWithoutPhysicalSize);
    const ScopedEnv display("DISPLAY", server.display());
    PropertyMap expected = kVirtualFramebuffer;
    expected["DEVICE_DISPLAY_0_DPI"] = "Unavailable";
    EXPECT_EQ(readDisplays(), expected);
}

TEST(DisplayProvider, ReportsConnectedOutputsWithACrtcOnly)
{
    XServer server(XServer::Kind::DummyOutputs);
    arrangeDummyOutputs(server);
    const ScopedEnv display("DISPLAY", server.display());
    LogWatch log;

    EXPECT_EQ(readDisplays(), kTwoMonitors);

    EXPECT_EQ(log.count("VERBOSE - Found screen [0] output [0] name [DUMMY0]\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Ignoring disconnected screen [0] output [1] name [DUMMY1]\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Found screen [0] output [2] name [DUMMY2]\n"), 1U) << log.text();
    EXPECT_EQ(log.count("WARNING - Missing CRCT info for screen [0] output [3] name [DUMMY3]\n"), 1U) << log.text();
    EXPECT_EQ(log.count(" : WARNING - "), 1U) << log.text();
    EXPECT_FALSE(log.contains(" : ERROR - ")) << log.text();
}

TEST(DisplayProvider, ReadingsAtTheSameTimeEachUseTheirOwnConnection)
{
    XServer server(XServer::Kind::DummyOutputs);
    arrangeDummyOutputs(server);
    const ScopedEnv display("DISPLAY", server.display());

    constexpr int kRounds = 5;
    std::latch start(2);
    std::vector<PropertyMap> first;
    std::vector<PropertyMap> second;
    const auto read = [&start](std::vector<PropertyMap>& readings) {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            DisplayProvider provider(TestSupport::category("Display"), "20.1");
            std::future<PropertyMap> one = provider.getProperties();
            std::future<PropertyMap> two = provider.getProperties();
            readings.push_back(one.get());
            readings.push_back(two.get());
        }
    };
    std::thread one(read, std::ref(first));
    std::thread two(read, std::ref(second));
    one.join();
    two.join();
    EXPECT_EQ(first, std::vector<PropertyMap>(2 * kRounds, kTwoMonitors));
    EXPECT_EQ(second, std::vector<PropertyMap>(2 * kRounds, kTwoMonitors));
}

// RandR's minor opcodes of the requests the reading makes.
constexpr int kGetOutputInfo = 9;
constexpr int kGetScreenResourcesCurrent = 25;

TEST(DisplayProvider, AServerThatGoesAwayMidwayLeavesWhatWasRead)
{
    XServer server(XServer::Kind::DummyOutputs);
    arrangeDummyOutputs(server);
    // The connection breaks when the second output is asked for.
    XProxy proxy(server.display(), kGetOutputInfo, 2);
    const ScopedEnv display("DISPLAY", proxy.display());
    LogWatch log;

    EXPECT_EQ(readDisplays(), (PropertyMap{
                                  {"DEVICE_DISPLAY_COUNT", "1"},
                                  {"DEVICE_DISPLAY_0_NAME", "DUMMY0"},
                                  {"DEVICE_DISPLAY_0_WIDTH", "1024"},
                                  {"DEVICE_DISPLAY_0_HEIGHT", "768"},
                                  {"DEVICE_DISPLAY_0_BPP", "8"},
                                  {"DEVICE_DISPLAY_0_DPI", "96"},
                              }));
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + proxy.display() + "]\n"), 1U) << log.text();
    for (const char* output : {"1", "2", "3"}) {
        EXPECT_EQ(log.count("VERBOSE - Ignoring null screen [0] output [" + std::string(output) + "]\n"), 1U)
            << log.text();
    }
    EXPECT_EQ(log.count("WARNING - Reported [1] displays read before the X connection was lost\n"), 1U)
        << log.text();
    EXPECT_EQ(log.count("VERBOSE - Done getting DISPLAY properties.\n"), 1U) << log.text();

    // The next reading has a connection of its own.
    const ScopedEnv direct("DISPLAY", server.display());
    EXPECT_EQ(readDisplays(), kTwoMonitors);
}

TEST(DisplayProvider, AServerThatGoesAwayBeforeTheOutputsLeavesNone)
{
    XServer server(XServer::Kind::VirtualFramebuffer);
    XProxy proxy(server.display(), kGetScreenResourcesCurrent, 1);
    const ScopedEnv display("DISPLAY", proxy.display());
    LogWatch log;
    EXPECT_EQ(readDisplays(), (PropertyMap{{"DEVICE_DISPLAY_COUNT", "0"}}));
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + proxy.display() + "]\n"), 1U) << log.text();
}

TEST(DisplayProvider, WithoutAnXServerThereAreNoDisplays)
{
    const PropertyMap none{{"DEVICE_DISPLAY_COUNT", "0"}};
    {
        const ScopedEnv display("DISPLAY", std::nullopt);
        LogWatch log;
        EXPECT_EQ(readDisplays(), none);
        EXPECT_EQ(log.count("ERROR - Failed to open display\n"), 1U) << log.text();
        EXPECT_EQ(log.count("INFO - DISPLAY is not set\n"), 1U) << log.text();
        EXPECT_EQ(log.count("VERBOSE - Done getting DISPLAY properties.\n"), 1U) << log.text();
    }
    {
        // A display number that no server serves: the servers of the tests
        // running beside this one take the lowest free numbers.
        int number = 700;
        while (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0) {
            ++number;
        }
        const std::string gone = ":" + std::to_string(number);
        const ScopedEnv display("DISPLAY", gone);
        LogWatch log;
        EXPECT_EQ(readDisplays(), none);
        EXPECT_EQ(log.count("ERROR - Failed to open display\n"), 1U) << log.text();
        EXPECT_EQ(log.count("INFO - No X server answers on DISPLAY [" + gone + "]\n"), 1U) << log.text();
    }
    {
        const ScopedEnv display("DISPLAY", std::nullopt);
        EXPECT_TRUE(readDisplays(1, 0x02).empty());
    }
}
