// SPDX-License-Identifier: Apache-2.0
// The library as a transport drives it: loaded with dlopen, reached only through its exported entry points.
// Nothing here iterates a main loop: the library works on a thread of its own.
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

using TestSupport::CapturingChannel;
using TestSupport::parseJson;
using TestSupport::initialiseWith;

namespace {
using Pairs = std::map<std::string, std::string>;
// IGEL's `get` first on PATH: prints the file "version" for product.version; while a file "slow" exists it
// waits, leaving a file "started".
struct FakeGet {
    TestSupport::TempDir dir;
    TestSupport::ScopedEnv path{"PATH", TestSupport::pathWith(dir.path())};
    FakeGet()
    {
        version("1.0");
        dir.script("get", "[ -e " + dir.file("slow") + " ] && touch " + dir.file("started") + "\nwhile [ -e " +
                              dir.file("slow") + " ]; do sleep 0.01; done\n[ \"$1\" != product.version ] || cat " +
                              dir.file("version"));
        dir.script("get_unit_id", "echo 00E0C5123456");  // with `get`: IGEL OS
    }
    void version(const std::string& text) const { dir.write("version", text); }
};
bool mapped(const std::string& soname)
{
    return TestSupport::readWhole("/proc/self/maps").find("/" + soname) != std::string::npos;
}
constexpr const char* kOS = R"({"name":"OS","status":2})";
constexpr const char* kVersion = R"({"name":"Corvane","status":2})";
}  // namespace

TEST(EntryPoints, InitialiseOnceThenUpdatesOnlyOfWhatChanged)
{
    const FakeGet get;
    CapturingChannel channel, next;
    const TestSupport::LogWatch log;
    channel.connect();
    // An open channel costs nothing more until its Initialise: no engine thread, no libsystemd.
    EXPECT_FALSE(log.contains("Started the engine thread"));
    EXPECT_FALSE(mapped("libsystemd.so.0"));
    channel.send("this is not json");
    channel.send(R"({"id":"initialize","data":{}})");
    EXPECT_EQ(log.count("WARNING - Ignoring content since error detected by initialise data"), 2U);
    channel.send(initialiseWith(std::string(kOS) + "," + kVersion + R"(,{"name":"Name","status":1,"filter":33})", 20));
    ASSERT_TRUE(channel.waitForCount(1));
    EXPECT_TRUE(log.contains("Started the engine thread"));
    EXPECT_TRUE(mapped("libsystemd.so.0"));
    const rapidjson::Document message = parseJson(channel.message(0));
    EXPECT_STREQ(message["id"].GetString(), "initializeDeviceProperties");
    EXPECT_STREQ(message["data"]["deviceOS"].GetString(), "IGEL");
    const auto pairs = TestSupport::updatedPairs(message);
    EXPECT_EQ(pairs.at("DEVICE_CORVANE_VERSION"), CVCLIENT_VERSION);
    EXPECT_EQ(pairs.at("DEVICE_OS_VERSION"), "1.0");
    EXPECT_EQ(pairs.at("DEVICE_NAME"), message["data"]["deviceName"].GetString());
    EXPECT_EQ(pairs.at("DEVICE_ID"), message["data"]["deviceId"].GetString());

    // A second Initialise is dropped: the next connection's work, queued after it, shows it did nothing.
    channel.send(initialiseWith(kVersion));
    next.connect();
    next.send(initialiseWith(kVersion));
    ASSERT_TRUE(next.waitForCount(1));
    next.disconnect();
    EXPECT_EQ(parseJson(next.message(0))["index"].GetUint(), message["index"].GetUint() + 1);
    EXPECT_EQ(channel.count(), 1U);
    get.version("quote\" backslash\\ newline\nend");
    ASSERT_TRUE(channel.waitForCount(2));
    const rapidjson::Document update = parseJson(channel.message(1));
    EXPECT_STREQ(update["id"].GetString(), "updateDeviceProperties");
    EXPECT_EQ(update["index"].GetUint(), message["index"].GetUint() + 2);
    EXPECT_EQ(TestSupport::updatedPairs(update), (Pairs{{"DEVICE_OS_VERSION", "quote\" backslash\\ newline\nend"}}));
    EXPECT_TRUE(update["data"]["removed"].GetArray().Empty());
    channel.disconnect();
    EXPECT_EQ(channel.record.clientConnection, nullptr);
    channel.send(initialiseWith(kVersion));  // a stray read on the closed record is refused
    EXPECT_TRUE(log.contains("ERROR - Ignoring data for a connection that is not connected"));
    TConnection never{};
    TestSupport::library().clientDisconnected(&never);
}

// Neither the reading in progress nor the one queued behind it writes after their disconnect.
TEST(EntryPoints, DisconnectDuringOrBeforeTheInitialReadingWritesNothing)
{
    const FakeGet get;
    get.dir.write("slow", "");
    const TestSupport::LogWatch log;
    CapturingChannel reading, queued;
    reading.connect();
    reading.send(initialiseWith(kOS));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return access(get.dir.file("started").c_str(), F_OK) == 0; }));
    queued.connect();
    queued.send(initialiseWith(kVersion));
    queued.disconnect();
    reading.disconnect();
    unlink(get.dir.file("slow").c_str());
    ASSERT_TRUE(TestSupport::waitUntil([&] { return log.contains("Closing provider [OS]."); }));
    EXPECT_TRUE(log.contains("disconnected before its properties were read"));
    EXPECT_EQ(reading.count() + queued.count(), 0U);
}
