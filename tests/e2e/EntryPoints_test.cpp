// The library as a transport drives it: loaded with dlopen, reached only
// through its exported entry points. Nothing in this process iterates a GLib
// main loop: the library does its work, periodic checks included, on a thread
// of its own, and the entry points never wait for it.
#include "support/HttpsServer.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <unistd.h>

#include <cstdio>
#include <optional>

using TestSupport::CapturingChannel;
using TestSupport::memberNames;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestSupport::waitUntil;

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
// waits while a "slow" file exists, leaving a "started" mark when it waits.
class FakeGet {
public:
    FakeGet() : _path("PATH", TestSupport::pathWith(_dir.path()))
    {
        _dir.write("version", "1.0");
        _dir.script("get", "if [ -e '" + _dir.file("slow") + "' ]; then touch '" + _dir.file("started") + "'; fi\n"
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

// Waits until a connection's provider of `category` has been closed.
bool waitForClosing(const LogWatch& log, const std::string& category)
{
    return waitUntil([&] { return log.contains("VERBOSE - Closing provider [" + category + "]."); });
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
    // Parsed without recursion: no stack is deep enough for this otherwise.
    channel.send(std::string(1000000, '[') + std::string(1000000, ']'));
    EXPECT_EQ(channel.count(), 0U);
    EXPECT_EQ(log.count("WARNING - Ignoring content since error detected by initialise data"), 3U);
    EXPECT_TRUE(log.contains(" : ClientDataRead : INFO - Read 16 bytes from host"));

    channel.send(initialise(std::string(kVersion) + R"(,{"name":"Name","status":1,"filter":33},{"name":"NoSuch"})"));
    ASSERT_TRUE(channel.waitForCount(1));
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
    channel.disconnect();
    EXPECT_EQ(channel.count(), 1U);
}

TEST(EntryPoints, InitialiseWithoutCategoriesSendsAnEmptyInitialMessage)
{
    CapturingChannel channel;
    channel.connect();
    channel.send(R"({"id":"Initialize","data":{}})");
    ASSERT_TRUE(channel.waitForCount(1));
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
    ASSERT_TRUE(first.waitForCount(1));
    second.send(initialise(kVersion));
    ASSERT_TRUE(second.waitForCount(1));
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
    ASSERT_TRUE(channel.waitForCount(1));
    EXPECT_EQ(updated(parse(channel.message(0))).at("DEVICE_OS_VERSION"), "1.0");

    // Several checks that find nothing send nothing.
    const LogWatch log;
    ASSERT_TRUE(waitUntil([&] { return log.count("Checking for property changes after timer expired") >= 3; }));
    EXPECT_EQ(channel.count(), 1U);

    get.version("quote\" backslash\\ newline\nend");
    ASSERT_TRUE(channel.waitForCount(2));
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
    ASSERT_TRUE(channel.waitForCount(1));
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

TEST(EntryPoints, MainLoopSettingIsAcceptedAndChangesNothing)
{
    for (const std::string mode : {"thread", "fork"}) {
        const ScopedEnv setting("CORVANE_MAIN_LOOP", mode);
        const LogWatch log;
        CapturingChannel channel;
        channel.connect();
        channel.send(initialise(kVersion));
        ASSERT_TRUE(channel.waitForCount(1));
        channel.disconnect();
        EXPECT_EQ(log.contains("WARNING - Ignoring CORVANE_MAIN_LOOP [fork]; the only mode is [thread]"),
                  mode == "fork");
    }
}

// A reading that waits for a web service that never answers holds up
// neither the data nor the disconnect call, and nothing is written after the
// disconnect, even when the reading ends later.
TEST(EntryPoints, AHangingProviderBlocksNoEntryPoint)
{
    std::optional<TestSupport::HttpsServer> server(std::in_place);
    const ScopedEnv ca("CORVANE_CERTIFICATE_FILE", TestSupport::HttpsServer::caFile());
    const ScopedEnv noProxy("no_proxy", "127.0.0.1");
    TestSupport::HttpsAnswer silent;
    silent.neverAnswer = true;
    server->setAnswer("/ip", silent);
    const LogWatch log;
    CapturingChannel channel;
    channel.connect();
    channel.send(initialise(R"({"name":"Whois","status":2,"config":[["ProviderIpUrl",")" + server->url("/ip") +
                            R"("]]})"));
    // The call has returned, and the reading only now asks the service.
    ASSERT_TRUE(server->waitForRequests(1));
    channel.disconnect();
    EXPECT_EQ(channel.count(), 0U);
    EXPECT_FALSE(log.contains("Closing provider [Whois].")) << "the reading still waits for its answer";

    server.reset();  // the reading fails now
    ASSERT_TRUE(waitForClosing(log, "Whois"));
    EXPECT_EQ(channel.count(), 0U);
    EXPECT_EQ(channel.writesAfterClose, 0);
}

TEST(EntryPoints, DisconnectDuringTheInitialReadingOrWhileItIsQueuedWritesNothing)
{
    FakeGet get;
    get.slow(true);
    const LogWatch log;
    CapturingChannel reading;
    reading.connect();
    reading.send(initialise(kOS));
    ASSERT_TRUE(waitUntil([&] { return get.started(); }));
    // Queued behind the reading in progress.
    CapturingChannel queued;
    queued.connect();
    queued.send(initialise(kVersion));
    queued.disconnect();
    reading.disconnect();

    get.slow(false);
    ASSERT_TRUE(waitForClosing(log, "OS"));
    EXPECT_TRUE(log.contains("disconnected before its properties were read"));
    for (const CapturingChannel* channel : {&reading, &queued}) {
        EXPECT_EQ(channel->count(), 0U);
        EXPECT_EQ(channel->writesAfterClose, 0);
    }
}

TEST(EntryPoints, DisconnectDuringACheckWritesNothingAfterReturning)
{
    FakeGet get;
    CapturingChannel channel;
    channel.connect();
    channel.send(initialise(kOS, 10));
    ASSERT_TRUE(channel.waitForCount(1));

    // The periodic check in progress finds a change, but slowly.
    get.slow(true);
    ASSERT_TRUE(waitUntil([&] { return get.started(); }));
    get.version("2.0");
    const LogWatch log;
    channel.disconnect();
    get.slow(false);
    ASSERT_TRUE(waitForClosing(log, "OS"));
    EXPECT_EQ(channel.count(), 1U);
    EXPECT_EQ(channel.writesAfterClose, 0);
}
