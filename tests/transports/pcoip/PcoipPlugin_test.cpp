// The PCoIP plugin as the PCoIP client drives it: the built library loaded
// with dlopen and handed the client's function table, its events raised by
// the test.
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/PcoipClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

using TestSupport::waitUntil;
using TestSupport::LogWatch;

namespace {

constexpr const char* kInitialise =
    R"({"id":"Initialize","data":{"propertyCheckInterval":60000,"properties":[{"name":"Corvane","status":2}]}})";

std::string le32(uint32_t value)
{
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    return std::string(bytes, 4);
}

// A packet as the host frames it; `length` overrides the header's length.
std::string packet(const std::string& payload, uint32_t type = 1, std::optional<uint32_t> length = std::nullopt)
{
    return le32(type) + le32(length.value_or(static_cast<uint32_t>(payload.size() + 12))) + le32(1) + payload;
}

using FakeClient = TestSupport::PcoipClient;

// Whether every line was logged since the plugin's last TRACE_INIT, which
// starts the log file afresh, or since `log` was made.
void expectLogged(std::initializer_list<std::string> lines, const LogWatch* log = nullptr)
{
    const std::string text = log != nullptr ? log->text() : TestSupport::readWhole(LogWatch::logFile());
    for (const std::string& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

const std::string kDisconnecting = "Disconnecting client connection [";
const std::string kDisconnectedFromHost = "] disconnected from the host";
const std::string kConnectedToHost = "] connected to the host";
const std::string kThreadExiting = "Read channel thread exiting for connection [";

class PcoipPluginTest : public ::testing::Test {
protected:
    void TearDown() override { exit(); }

    static PcoipPluginClientInit clientInit()
    {
        return TestSupport::entryPoint<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init");
    }

    void init(uint32_t version = 3, const char* args = "")
    {
        table = client.table(version);
        ASSERT_EQ(clientInit()(&table, args, &context), 1);
        ASSERT_NE(context, nullptr);
    }

    void exit()
    {
        if (context != nullptr) {
            TestSupport::entryPoint<PcoipPluginClientExit>("pcoip_vchan_plugin_client_exit")(context);
            context = nullptr;
        }
    }

    void open() { ASSERT_TRUE(client.open()); }
    void deliver(const std::string& bytes) { ASSERT_TRUE(client.deliver(bytes)); }

    // The core's answer to kInitialise: the one send, one whole packet.
    void expectInitialAnswer()
    {
        ASSERT_TRUE(waitUntil([&] { return client.with([&] { return !client.sends.empty(); }); }));
        const std::vector<std::string> sends = client.with([&] { return client.sends; });
        ASSERT_EQ(sends.size(), 1U);
        ASSERT_GT(sends[0].size(), 12U);
        const std::string payload = sends[0].substr(12);
        EXPECT_EQ(sends[0].substr(0, 12), packet(payload).substr(0, 12));
        rapidjson::Document message;
        message.Parse(payload.c_str(), payload.size());
        ASSERT_FALSE(message.HasParseError()) << payload;
        EXPECT_STREQ(message["id"].GetString(), "initializeDeviceProperties");
        const auto& updated = message["data"]["updated"].GetArray();
        ASSERT_EQ(updated.Size(), 1U) << payload;
        EXPECT_STREQ(updated[0][0].GetString(), "DEVICE_CORVANE_VERSION");
        EXPECT_STREQ(updated[0][1].GetString(), CVCLIENT_VERSION);
    }

    void write(const std::string& payload)
    {
        auto* record = static_cast<TConnection*>(context);  // the connection's first member
        record->writeData(record, payload.c_str(), static_cast<unsigned int>(payload.size()));
    }

    FakeClient client;
    PcoipClientInterface table{};
    void* context = nullptr;
};

using PcoipInit = PcoipPluginTest;
using PcoipReading = PcoipPluginTest;
using PcoipLifecycle = PcoipPluginTest;
using PcoipWriting = PcoipPluginTest;

}  // namespace

TEST_F(PcoipInit, RegistersAndProbesFromVersionThreeOnly)
{
    init(3, "mode=test");
    EXPECT_EQ(client.calls, (std::vector<std::string>{"register Corvane", "probe Corvane"}));
    EXPECT_EQ(client.connectionContext, context);
    expectLogged({"INFO - Initialising client PCoIP version [3] with args [mode=test]",
                  "VERBOSE - Successfully initialised PCoIP"});
    exit();

    client.calls.clear();
    client.probeResult = 0;
    init(4, nullptr);
    EXPECT_EQ(client.calls, (std::vector<std::string>{"register Corvane", "probe Corvane"}));
    expectLogged({"with args []", "ERROR - Failed to initiate probe for host error [0] connection [0x"});
    exit();

    // A version 2 table ends before the probe slot: nothing past its end is
    // read (AddressSanitizer reports it) or called, and the plugin keeps a copy.
    client.calls.clear();
    const PcoipClientInterface full = client.table(2);
    const std::size_t size = offsetof(PcoipClientInterface, probeForHost);
    auto older = std::make_unique<unsigned char[]>(size);
    std::memcpy(older.get(), &full, size);
    ASSERT_EQ(clientInit()(reinterpret_cast<const PcoipClientInterface*>(older.get()), "", &context), 1);
    older.reset();
    open();
    EXPECT_EQ(client.calls, (std::vector<std::string>{"register Corvane", "open Corvane 0 10 0"}));
}

TEST_F(PcoipInit, RefusalsAndTheVersion)
{
    void* out = nullptr;
    table = client.table(3);
    EXPECT_EQ(clientInit()(nullptr, "", &out), 0);
    expectLogged({"ERROR - Failed to initialise PCoIP with interface [0] context [0x"});
    EXPECT_EQ(clientInit()(&table, "", nullptr), 0);
    expectLogged({"] context [0]"});
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(client.calls.empty());

    client.registerResult = 5;
    init(3);
    expectLogged({"ERROR - Failed to initialise PCoIP\n"});
    EXPECT_EQ(client.calls, std::vector<std::string>{"register Corvane"});

    const auto serverInit = TestSupport::entryPoint<PcoipPluginServerInit>("pcoip_vchan_plugin_server_init");
    EXPECT_EQ(serverInit(2, nullptr), 0);
    EXPECT_EQ(serverInit(9, "host"), 0);
    EXPECT_EQ(TestSupport::entryPoint<PcoipPluginServerExit>("pcoip_vchan_plugin_server_exit")(), 1);
    expectLogged({"ERROR - Unexpected call to initialise server PCoIP channel version [9] with args [host]",
                  "ERROR - Unexpected call to exit server PCoIP channel"});

    char buffer[64];
    std::memset(buffer, 'z', sizeof(buffer));
    TestSupport::entryPoint<PcoipPluginGetVersion>("pcoip_vchan_plugin_get_version")(buffer);
    ASSERT_NE(std::memchr(buffer, '\0', sizeof(buffer)), nullptr);
    EXPECT_STREQ(buffer, CVCLIENT_VERSION);
    EXPECT_TRUE(std::regex_match(buffer, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << buffer;
    expectLogged({std::string("VERBOSE - Returned PCoIP version [") + CVCLIENT_VERSION + "]"});
}

TEST_F(PcoipReading, InitialiseInPiecesIsAnsweredThroughSend)
{
    init();
    const LogWatch log;
    open();
    EXPECT_EQ(client.calls.back(), "open Corvane 0 10 0");
    EXPECT_EQ(log.count(kConnectedToHost), 1U);

    const std::string whole = packet(kInitialise);
    deliver(whole.substr(0, 5));
    EXPECT_FALSE(log.contains("Insufficient data"));
    deliver(whole.substr(5, 40));
    expectLogged({"Insufficient data to process content length [115]", "Successfully read [40] bytes from connection [0x",
                  "Incoming data buffer is [45] bytes. Waiting for more data."}, &log);
    EXPECT_FALSE(log.contains("Handling UTF-8 JSON packet"));
    deliver(whole.substr(45));
    expectLogged({"Handling UTF-8 JSON packet of length [115]", "Read 103 bytes from host"}, &log);
    expectInitialAnswer();
}

TEST_F(PcoipReading, TwoPacketsInOnePieceThenOneByteByByte)
{
    init();
    open();
    const LogWatch log;
    const std::string other = R"({"id":"other"})";  // 14 bytes
    deliver(packet(kInitialise) + packet(other));
    EXPECT_EQ(log.count("Handling UTF-8 JSON packet of length ["), 2U);
    expectLogged({"Read 14 bytes from host"}, &log);
    expectInitialAnswer();

    const LogWatch bytewise;
    client.piece = 1;
    deliver(packet(other));
    EXPECT_EQ(bytewise.count("Successfully read [1] bytes"), 26U);
    EXPECT_EQ(bytewise.count("Insufficient data to process content length [26]"), 26U - 13U);
    EXPECT_EQ(bytewise.count("Read 14 bytes from host"), 1U);
}

TEST_F(PcoipReading, SkippedTypeNulBytesAndImpossibleLengths)
{
    init();
    open();
    const LogWatch log;
    // A packet of another type is skipped; NULs inside a payload reach the core.
    deliver(packet("not for us", 2) + packet(kInitialise + std::string("\0tail\0", 6)));
    expectLogged({"ERROR - Unhandled packet type [2] length [22] encoding [1]", "Read 109 bytes from host"}, &log);
    expectInitialAnswer();

    // Impossible lengths discard what is buffered; the stream goes on.
    deliver(packet(std::string(9, 'x'), 1, 11));
    deliver(packet("abcd", 1, 16U * 1024U * 1024U + 1U));
    deliver(packet(R"({"id":"after"})"));
    expectLogged({"ERROR - Invalid packet length [11]: discarding [21] bytes",
                  "ERROR - Invalid packet length [16777217]: discarding [16] bytes", "Read 14 bytes from host"},
                 &log);
}

TEST_F(PcoipReading, DataAnnouncedBeforeTheThreadRunsOrDuringAReadIsRead)
{
    init();
    const LogWatch log;
    client.readyInsideOpen = packet(kInitialise);
    open();
    expectLogged({"RECEIVE READY [115] bytes for connection [0x",
                  "Ignoring request to wake read channel thread, since the thread isn't running for"}, &log);
    expectInitialAnswer();

    // Pieces announced while the thread still reads earlier ones.
    const std::string whole = packet(R"({"id":"burst"})");
    for (std::size_t at = 0; at < whole.size(); at += 3) {
        client.receiveReady(whole.substr(at, 3));
    }
    ASSERT_TRUE(waitUntil([&] { return log.contains("Read 14 bytes from host"); }));

    // A failed receive waits for the next wake.
    client.receiveResult = -1;
    client.receiveReady(whole);
    ASSERT_TRUE(waitUntil([&] {
        return log.contains("WARNING - Read channel thread detected [26] bytes available, but receive failed or read "
                            "no bytes on connection [");
    }));
    client.receiveResult = 0;
    deliver("");
    EXPECT_EQ(log.count("Read 14 bytes from host"), 2U);

    // Bytes announced just after a check found none, before the thread waits.
    client.with([&] { client.lateArrival = packet(R"({"id":"late"})"); });
    client.receiveReady("");
    ASSERT_TRUE(waitUntil([&] { return log.contains("Read 13 bytes from host"); }));
}

TEST_F(PcoipLifecycle, ClosePendingOrErrorDisconnectsOnce)
{
    for (const int event : {PCOIP_CHANNEL_EVENT_CLOSE_PENDING, PCOIP_CHANNEL_EVENT_ERROR_DETECTED}) {
        init();
        open();
        const LogWatch log;
        client.channelEvent(event);
        expectLogged({event == PCOIP_CHANNEL_EVENT_CLOSE_PENDING
                          ? "VERBOSE - Received PCoIP channel [7] CLOSE PENDING [1] for connection [0x"
                          : "ERROR - Received PCoIP channel [7] ERROR DETECTED event for connection [0x",
                      "Aborting read channel thread since asked to shutdown on connection [0x",
                      "Finished shutting down read channel thread for connection [0x",
                      "Done disconnecting client connection [0x"},
                     &log);
        EXPECT_EQ(log.count(kDisconnectedFromHost), 1U);

        client.channelEvent(PCOIP_CHANNEL_EVENT_CLOSE_PENDING_OTHER);
        exit();
        expectLogged({"CLOSE PENDING [0] for connection [0x", "INFO - Exiting client PCoIP channel"}, &log);
        EXPECT_EQ(log.count("Ignoring request to shutdown read channel thread, since the thread isn't running"), 2U);
        EXPECT_EQ(log.count(kThreadExiting), 1U);
        EXPECT_EQ(log.count(kDisconnecting), 1U);
        EXPECT_EQ(log.count(kDisconnectedFromHost), 1U);
    }
}

TEST_F(PcoipLifecycle, OpenRejectedStopsTheReaderDisconnectsAndALaterOpenConnects)
{
    init();
    open();
    const LogWatch log;
    client.channelEvent(PCOIP_CHANNEL_EVENT_OPEN_REJECTED);
    expectLogged({"OPEN REJECTED event for connection [0x"}, &log);
    EXPECT_EQ(log.count(kDisconnectedFromHost), 1U);
    EXPECT_EQ(log.count(kThreadExiting), 1U);

    // Nobody reads the rejected channel any more.
    client.receiveReady(packet(kInitialise));
    EXPECT_TRUE(log.contains("Ignoring request to wake read channel thread, since the thread isn't running"));
    EXPECT_FALSE(log.contains("bytes from host"));

    client.with([&] {
        client.pending.clear();
        return 0;
    });
    open();
    EXPECT_EQ(log.count(kConnectedToHost), 1U);
    exit();
    EXPECT_EQ(log.count(kDisconnecting), 2U);
    EXPECT_TRUE(client.sends.empty());
}

TEST_F(PcoipLifecycle, SecondOpenIsIgnoredAndAnOpenAfterADisconnectConnectsAgain)
{
    init();
    open();
    const LogWatch log;
    client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    expectLogged({"WARNING - Ignoring PCoIP connection OPEN event since the read channel thread"}, &log);
    EXPECT_EQ(std::count(client.calls.begin(), client.calls.end(), "open Corvane 0 10 0"), 1);
    EXPECT_EQ(log.count(kConnectedToHost), 0U);

    // Half a packet of the old channel must not spoil the new one.
    deliver(packet(kInitialise).substr(0, 20));
    client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED);
    expectLogged({"Received PCoIP connection DISCONNECTED event for connection [0x"}, &log);
    EXPECT_EQ(log.count(kDisconnectedFromHost), 1U);
    open();
    EXPECT_EQ(log.count(kConnectedToHost), 1U);
    deliver(packet(kInitialise));
    expectInitialAnswer();

    // A disconnect right after an OPEN stops a thread that may not run yet.
    for (std::size_t round = 2; round <= 20; ++round) {
        client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED);
        ASSERT_EQ(log.count(kThreadExiting), round);
        ASSERT_EQ(log.count(kDisconnectedFromHost), round);
        client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    }
    exit();
    EXPECT_EQ(log.count(kDisconnecting), 21U);
    EXPECT_EQ(log.count(kConnectedToHost), 20U);
}

TEST_F(PcoipLifecycle, FailedOpenAndEventsThatOnlyLog)
{
    client.openResult = 3;
    init();
    const LogWatch log;
    client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    EXPECT_EQ(client.calls.back(), "rejected Corvane 0");
    EXPECT_FALSE(log.contains(kConnectedToHost));

    client.stateEvent(2);
    client.connectionEvent(PCOIP_CONNECTION_EVENT_PEER_LOADED);
    client.connectionEvent(PCOIP_CONNECTION_EVENT_PEER_NOT_LOADED);
    client.connectionEvent(9);
    client.openResult = 0;
    open();
    client.channelEvent(PCOIP_CHANNEL_EVENT_OPENED);
    client.channelEvent(12);
    expectLogged({"ERROR - Failed to open client channel for connection [0x",
                  "VERBOSE - Received PCoIP connection event in state [2] for connection [0x",
                  "VERBOSE - Received PCoIP connection PEER LOADED for connection [0x",
                  "VERBOSE - Received PCoIP connection PEER NOT LOADED for connection [0x",
                  "WARNING - Received PCoIP connection event [9] for connection [0x",
                  "VERBOSE - Received PCoIP channel [7] OPENED event for connection [0x",
                  "VERBOSE - Received PCoIP channel [7] event [12] for connection [0x"},
                 &log);
    EXPECT_FALSE(log.contains(kDisconnecting));
    exit();
    EXPECT_EQ(log.count(kDisconnecting), 1U);
}

TEST_F(PcoipWriting, OneBufferPerMessageAndFailuresAreLogged)
{
    init();
    open();
    const LogWatch log;
    write(R"({"id":"x"})");
    EXPECT_EQ(client.sends, std::vector<std::string>{packet(R"({"id":"x"})")});
    client.sendLimit = 5;
    write(R"({"id":"x"})");
    client.sendResult = -2;
    write(R"({"id":"x"})");
    EXPECT_EQ(client.sends.size(), 2U);
    expectLogged({"VERBOSE - Writing [10] bytes to connection [0x",
                  "VERBOSE - Successfully wrote [22] bytes to channel on connection [0x",
                  "ERROR - Attempted to write [22] bytes to channel, but only [5] bytes sent on connection [0x",
                  "ERROR - Failed to write [22] bytes to channel on connection [0x"},
                 &log);

    // A disconnected PCoIP connection sends nothing, the core's answer included.
    client.sendResult = 0;
    client.state = PCOIP_CONNECTION_STATE_DISCONNECTED;
    write("{}");
    expectLogged({"ERROR - Unable to write to disconnected channel on connection [0x"}, &log);
    deliver(packet(kInitialise));
    ASSERT_TRUE(waitUntil([&] { return log.count("Unable to write to disconnected channel") == 2; }));
    EXPECT_EQ(client.with([&] { return client.sends.size(); }), 2U);
}
