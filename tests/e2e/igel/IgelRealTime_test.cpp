// The IGEL watch end to end: the built library loaded with dlopen and driven
// through its entry points, with IGEL OS's files and tools in this process's
// own mount namespace and root (run under `unshare -m --propagation private`).
// Using /usr/bin/x11vnc makes the library read again and send the change at
// once, long before its periodic check.
#include "support/IgelFakes.h"
#include "support/IgelRoot.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::CapturingChannel;
using TestSupport::waitUntil;
using TestSupport::LogWatch;
using TestSupport::ScopedOverlay;
using TestSupport::ScopedTmpfs;

namespace {

std::string initialise(const std::string& properties, int interval, const std::string& version)
{
    return R"({"id":"Initialize","data":{"propertyCheckInterval":)" + std::to_string(interval) +
           R"(,"softwareVersion":")" + version + R"(","properties":[)" + properties + "]}}";
}

std::map<std::string, std::string> updated(const std::string& text)
{
    const rapidjson::Document message = TestSupport::parseJson(text);
    std::map<std::string, std::string> pairs;
    for (const auto& pair : message["data"]["updated"].GetArray()) {
        pairs.emplace(pair[0].GetString(), pair[1].GetString());
    }
    return pairs;
}

std::string messageId(const std::string& text)
{
    return TestSupport::parseJson(text)["id"].GetString();
}

void useProgram(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

class IgelRealTime : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::makeRootDirectory("wfs"); }

    IgelRealTime()
    {
        _bin.write("x11vnc", "#!/bin/sh\n");
        _bin.write("wmconfig", "#!/bin/sh\n");
        _get.set("system.remotemanager.server0.ip", "10.0.0.1");
    }

    ScopedTmpfs _wfs{"/wfs"};
    ScopedOverlay _bin{"/usr/bin"};
    TestSupport::FakeIgelGet _get;
};

constexpr const char* kUmsServer = R"({"name":"Igel","status":1,"filter":2})";

}  // namespace

TEST_F(IgelRealTime, UsingX11vncSendsTheChangedKeyAtOnce)
{
    CapturingChannel channel;
    channel.connect();
    const LogWatch log;
    // The periodic check is ten minutes away: only the watch can send the update.
    channel.send(initialise(kUmsServer, 600000, "20.1.0.0"));
    ASSERT_TRUE(waitUntil([&] { return channel.count() == 1; }));
    EXPECT_EQ(updated(channel.message(0)),
              (std::map<std::string, std::string>{{"DEVICE_IGEL_UMS_SERVER", "10.0.0.1"}}));
    ASSERT_TRUE(waitUntil([&] { return log.contains("Watching for file events on x11vnc and wmconfig..."); }));

    _get.set("system.remotemanager.server0.ip", "10.0.0.2");
    const auto touched = std::chrono::steady_clock::now();
    useProgram("/usr/bin/x11vnc");
    ASSERT_TRUE(waitUntil([&] { return channel.count() >= 2; }));
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - touched);
    std::cout << "[ MEASURE  ] use of x11vnc to update message took " << took.count() << " us" << std::endl;
    EXPECT_EQ(messageId(channel.message(1)), "updateDeviceProperties");
    EXPECT_EQ(updated(channel.message(1)),
              (std::map<std::string, std::string>{{"DEVICE_IGEL_UMS_SERVER", "10.0.0.2"}}));
    EXPECT_TRUE(log.contains("Provider [Igel] initiated a real-time property change. Scheduling a refresh..."));
    EXPECT_EQ(log.count("Checking for property changes after timer expired"), 0U);

    // Unchanged facts: a use of the program checks again and sends nothing.
    const std::size_t checks = log.count("Received request to check for property changes...");
    useProgram("/usr/bin/x11vnc");
    ASSERT_TRUE(waitUntil([&] { return log.count("Done handling request to check for property changes.") > checks; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(channel.count(), 2U);

    const auto closing = std::chrono::steady_clock::now();
    channel.disconnect();
    const auto closeTook =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - closing);
    std::cout << "[ MEASURE  ] disconnect with the IGEL watch running took " << closeTook.count() << " us"
              << std::endl;
    EXPECT_TRUE(waitUntil([&] { return log.contains("Done shutting down inotify."); }));
}

TEST_F(IgelRealTime, OlderHostsGetCustomKeysAndNoWatch)
{
    _get.set("system.environment_variables.fixvariable0.name", "A");
    _get.set("system.environment_variables.fixvariable0.value", "1");
    CapturingChannel channel;
    channel.connect();
    const LogWatch log;
    channel.send(initialise(std::string(kUmsServer) + R"(,{"name":"Custom","status":2})", 600000, "19.9"));
    ASSERT_TRUE(waitUntil([&] { return channel.count() == 1; }));
    EXPECT_EQ(updated(channel.message(0)), (std::map<std::string, std::string>{
                                               {"DEVICE_IGEL_UMS_SERVER", "10.0.0.1"},
                                               {"DEVICE_CUSTOM_COUNT", "1"},
                                               {"DEVICE_CUSTOM_0_PATH", "system.environment_variables.fixvariable0"},
                                               {"DEVICE_CUSTOM_0_NAME", "A"},
                                               {"DEVICE_CUSTOM_0_VALUE", "1"},
                                           }));
    _get.set("system.remotemanager.server0.ip", "10.0.0.2");
    useProgram("/usr/bin/x11vnc");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(channel.count(), 1U);
    EXPECT_FALSE(log.contains("Watching for file events"));
    channel.disconnect();
}
