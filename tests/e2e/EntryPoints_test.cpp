// The library as a transport drives it: loaded with dlopen, reached only
// through its exported entry points, with the GLib default main context
// iterated by the test as a hosting client's main loop would.
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <glib.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::CapturingChannel;
using TestSupport::iterateFor;
using TestSupport::memberNames;
using TestSupport::iterateUntil;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

std::string initialise(const std::string& properties, int interval = 60000,
                       const std::string& version = "20.1.0.0")
{
    return R"({"id":"Initialize","data":{"propertyCheckInterval":)" + std::to_string(interval) +
           R"(,"softwareVersion":")" + version + R"(","properties":[)" + properties + "]}}";
}

std::map<std::string, std::string> updated(const rapidjson::Document& message)
{
    std::map<std::string, std::string> pairs;
    for (const auto& pair : message["data"]["updated"].GetArray()) {
        pairs.emplace(pair[0].GetString(), pair[1].GetString());
    }
    return pairs;
}

rapidjson::Document parse(const std::string& text)
{
    return TestSupport::parseJson(text);
}

// IGEL's `get` tool: prints the content of a file for product.version, and
// waits while a "slow" file exists, leaving a "started" mark.
class FakeGet {
public:
    FakeGet() : _path("PATH", TestSupport::pathWith(_dir.path()))
    {
        _dir.write("version", "1.0");
        _dir.script("get", "touch '" + _dir.file("started") + "'\n"
                           "while [ -e '" + _dir.file("slow") + "' ]; do sleep 0.01; done\n"
                           "[ \"$1\" = product.version ] && cat '" + _dir.file("version") + "'\n"
                           "exit 0");
        _dir.script("get_unit_id", "echo UNIT-1");
    }
    void version(const std::string& text) const { _dir.write("version", text); }
    void slow(bool on) const
    {
        if (on) {
            std::remove(_dir.file("started").c_str());
            _dir.write("slow", "");
        } else {
            std::remove(_dir.file("slow").c_str());
        }
    }
    bool started() const { return access(_dir.file("started").c_str(), F_OK) == 0; }

private:
    TempDir _dir;
    ScopedEnv _path;
};

// Plays the transport thread that closes the channel while the main context
// is inside a slow reading: the disconnect must wait for the reading, and the
// record is freed as soon as it returns.
std::thread closeDuringSlowReading(const FakeGet& get, std::unique_ptr<CapturingChannel>& channel,
                                   std::atomic<bool>& disconnected, std::size_t expectedMessages)
{
    return std::thread([&get, &channel, &disconnected, expectedMessages] {
        while (!get.started()) {
            std::this_thread::sleep_for(1ms);
        }
        auto closing = std::async(std::launch::async, [&] { channel->disconnect(); });
        EXPECT_EQ(closing.wait_for(50ms), std::future_status::timeout);
        get.slow(false);
        closing.get();
        EXPECT_EQ(channel->count(), expectedMessages);
        EXPECT_EQ(channel->writesAfterClose, 0);
        channel.reset();
        disconnected = true;
    });
}

constexpr const char* kOS = R"({"name":"OS","status":2})";
constexpr const char* kVersion = R"({"name":"Corvane","status":2})";

}  // namespace

TEST(EntryPoints, MalformedThenValidInitialiseGivesTheInitialMessage)
{
    CapturingChannel channel;
    channel.connect();
    const LogWatch log;
    channel.send("this is not json");
    channel.send(R"({"id":"initialize","data":{}})");
    iterateFor(20ms);
    EXPECT_EQ(channel.count(), 0U);
    EXPECT_EQ(log.count("WARNING - Ignoring content since error detected by initialise data"), 2U);
    EXPECT_TRUE(log.contains(" : ClientDataRead : INFO - Read 16 bytes from host"));

    channel.send(initialise(std::string(kVersion) + R"(,{"name":"Name","status":1,"filter":33},{"name":"NoSuch"})"));
    ASSERT_TRUE(iterateUntil([&] { return channel.count() == 1; }));
    const rapidjson::Document message = parse(channel.message(0));
    EXPECT_EQ(memberNames(message), (std::vector<std::string>{"id", "index", "version", "time", "data"}));
    EXPECT_STREQ(message["id"].GetString(), "initializeDeviceProperties");
    EXPECT_EQ(message["version"].GetInt(), 1);
    EXPECT_EQ(memberNames(message["data"]), (std::vector<std::string>{"deviceName", "deviceId", "deviceOS",
                                                                      "multihopCount", "updated", "removed"}));
    EXPECT_STREQ(message["data"]["deviceOS"].GetString(), "IGEL");
    EXPECT_EQ(message["data"]["multihopCount"].GetInt(), 0);
    const auto pairs = updated(message);
    EXPECT_EQ(pairs.size(), 3U);
    EXPECT_EQ(pairs.at("DEVICE_CORVANE_VERSION"), CVCLIENT_VERSION);
    EXPECT_EQ(pairs.at("DEVICE_NAME"), message["data"]["deviceName"].GetString());
    EXPECT_EQ(pairs.at("DEVICE_ID"), message["data"]["deviceId"].GetString());
    EXPECT_TRUE(message["data"]["removed"].GetArray().Empty());
    EXPECT_TRUE(log.contains("INFO - Unable to find provider for category [NoSuch]"));

    // A second Initialise is logged and dropped.
    channel.send(initialise(kOS));
    iterateFor(20ms);
    EXPECT_EQ(channel.count(), 1U);
    channel.disconnect();
}

TEST(EntryPoints, InitialiseWithoutCategoriesSendsAnEmptyInitialMessage)
{
    CapturingChannel channel;
    channel.connect();
    channel.send(R"({"id":"Initialize","data":{}})");
    ASSERT_TRUE(iterateUntil([&] { return channel.count() == 1; }));
    const std::string text = channel.message(0);
    EXPECT_NE(text.find(R"("multihopCount":0,"updated":[],"removed":[]}})"), std::string::npos) << text;
    channel.disconnect();
}

TEST(EntryPoints, MessageIndexIsSharedByAllConnections)
{
    CapturingChannel first;
    CapturingChannel second;
    first.connect();
    second.connect();
    first.send(initialise(kVersion));
    ASSERT_TRUE(iterateUntil([&] { return first.count() == 1; }));
    second.send(initialise(kVersion));
    ASSERT_TRUE(iterateUntil([&] { return second.count() == 1; }));
    EXPECT_EQ(parse(second.message(0))["index"].GetUint(), parse(first.message(0))["index"].GetUint() + 1);
    first.disconnect();
    second.disconnect();
}

TEST(EntryPoints, ChangedValueIsSentAsAnUpdateAndNothingElse)
{
    FakeGet get;
    CapturingChannel channel;
    channel.connect();
    channel.send(initialise(std::string(kOS) + "," + kVersion, 20));
    ASSERT_TRUE(iterateUntil([&] { return channel.count() == 1; }));
    EXPECT_EQ(updated(parse(channel.message(0))).at("DEVICE_OS_VERSION"), "1.0");

    // Several checks that find nothing send nothing.
    const LogWatch log;
    ASSERT_TRUE(iterateUntil([&] { return log.count("Checking for property changes after timer expired") >= 3; }));
    EXPECT_EQ(channel.count(), 1U);

    get.version("quote\" backslash\\ newline\nend");
    ASSERT_TRUE(iterateUntil([&] { return channel.count() == 2; }));
    const std::string text = channel.message(1);
    const rapidjson::Document update = parse(text);
    EXPECT_STREQ(update["id"].GetString(), "updateDeviceProperties");
    EXPECT_EQ(update["index"].GetUint(), parse(channel.message(0))["index"].GetUint() + 1);
    EXPECT_EQ(updated(update), (std::map<std::string, std::string>{
                                   {"DEVICE_OS_VERSION", "quote\" backslash\\ newline\nend"}}));
    EXPECT_NE(text.find(R"(["DEVICE_OS_VERSION","quote\" backslash\\ newline\nend"])"), std::string::npos) << text;
    EXPECT_TRUE(update["data"]["removed"].GetArray().Empty());
    channel.disconnect();
}

TEST(EntryPoints, EmbeddedNulEndsTheDocumentAndTheLogShowsTheFirstKibibyte)
{
    CapturingChannel channel;
    channel.connect();
    const LogWatch log;
    std::string text = initialise(kVersion);
    text += std::string("\0garbage", 8) + std::string(2000, 'g');
    channel.send(text);
    ASSERT_TRUE(iterateUntil([&] { return channel.count() == 1; }));
    const std::string length = std::to_string(text.size());
    EXPECT_TRUE(log.contains("received length [" + length + "] content [" + text.substr(0, 1024) + "... (1024 of " +
                             length + " bytes)]\n"));
    channel.disconnect();
}

TEST(EntryPoints, DisconnectBeforeInitialiseAndOnAnUnknownRecord)
{
    CapturingChannel channel;
    channel.connect();
    EXPECT_NE(channel.record.clientConnection, nullptr);
    channel.disconnect();
    EXPECT_EQ(channel.count(), 0U);
    // The record no longer names the freed connection: a stray read is refused.
    EXPECT_EQ(channel.record.clientConnection, nullptr);
    const LogWatch log;
    channel.send(R"({"id":"Initialize","data":{}})");
    EXPECT_TRUE(log.contains("Ignoring data for a connection that is not connected"));

    TConnection never{};
    TestSupport::library().clientDisconnected(&never);
    TestSupport::library().clientDataRead(&never, "{}", 2);
}

TEST(EntryPoints, DisconnectWhileInitialiseIsQueuedSendsNothing)
{
    auto channel = std::make_unique<CapturingChannel>();
    channel->connect();
    // While this thread owns the main context, the transport thread's
    // Initialise can only be queued.
    ASSERT_TRUE(g_main_context_acquire(nullptr));
    std::thread transport([&] {
        channel->send(initialise(kVersion));
        channel->disconnect();
    });
    transport.join();
    g_main_context_release(nullptr);
    const LogWatch log;
    channel.reset();  // the transport frees its record
    iterateFor(30ms);
    EXPECT_TRUE(log.contains("disconnected before its properties were read"));
}

TEST(EntryPoints, DisconnectWhileInitialiseRunsWaitsAndWritesNothing)
{
    FakeGet get;
    get.slow(true);
    auto channel = std::make_unique<CapturingChannel>();
    channel->connect();
    std::atomic<bool> disconnected{false};
    std::thread transport = closeDuringSlowReading(get, channel, disconnected, 0);
    // Runs Initialise here, on the main context's thread.
    g_main_context_invoke(
        nullptr,
        [](gpointer data) -> gboolean {
            static_cast<CapturingChannel*>(data)->send(initialise(kOS));
            return G_SOURCE_REMOVE;
        },
        channel.get());
    ASSERT_TRUE(iterateUntil([&] { return disconnected.load(); }));
    transport.join();
    iterateFor(20ms);
}

TEST(EntryPoints, DisconnectDuringACheckWritesNothingAfterReturning)
{
    FakeGet get;
    auto channel = std::make_unique<CapturingChannel>();
    channel->connect();
    channel->send(initialise(kOS, 10));
    ASSERT_TRUE(iterateUntil([&] { return channel->count() == 1; }));

    // The next periodic check finds a change, but slowly.
    get.version("2.0");
    get.slow(true);
    std::atomic<bool> disconnected{false};
    std::thread transport = closeDuringSlowReading(get, channel, disconnected, 1);
    ASSERT_TRUE(iterateUntil([&] { return disconnected.load(); }));
    transport.join();
    iterateFor(30ms);  // nothing queued may touch the freed record
}
