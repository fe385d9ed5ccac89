// The PCoIP plugin as the PCoIP client drives it: the built library loaded
// with dlopen and handed the client's function table, its events raised by
// the test. The core's line "disconnected from the host" is the trace a
// disconnect leaves, counted where no other effect shows it.
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/PcoipClient.h"
#include "transports/Packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using TestSupport::LogWatch;
using TestSupport::kInitialise;
using TestSupport::packet;

namespace {

const std::string kDisconnected = "] disconnected from the host";

template <typename Function>
Function entry(const char* name)
{
    return TestSupport::entryPoint<Function>(name);
}

class PcoipPluginTest : public ::testing::Test {
protected:
    void TearDown() override { exit(); }
    void init(uint32_t version = 3, const char* args = "")
    {
        table = client.table(version);
        ASSERT_EQ(entry<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init")(&table, args, &context), 1);
    }
    void exit()
    {
        if (context != nullptr) {
            entry<PcoipPluginClientExit>("pcoip_vchan_plugin_client_exit")(std::exchange(context, nullptr));
        }
    }
    void open() { ASSERT_TRUE(client.open()); }
    void deliver(const std::string& bytes) { ASSERT_TRUE(client.deliver(bytes)); }
    std::size_t sent() { return client.with([&] { return client.sends.size(); }); }

    // The core's answer to kInitialise: the `count`th send, one whole packet.
    void expectAnswer(std::size_t count)
    {
        ASSERT_TRUE(TestSupport::waitUntil([&] { return sent() >= count; }));
        const std::string answer = client.with([&] { return client.sends.at(count - 1); });
        const std::string payload = answer.substr(12);
        EXPECT_EQ(answer, packet(payload));
        EXPECT_EQ(payload.rfind(TestSupport::kAnswerStart, 0), 0U) << payload;
        EXPECT_NE(payload.find(R"("updated":[)" + TestSupport::kVersionPair + "]"), std::string::npos) << payload;
    }
    void write(const std::string& payload)
    {
        auto* record = static_cast<TConnection*>(context);  // the connection's first member
        record->writeData(record, payload.c_str(), static_cast<unsigned int>(payload.size()));
    }

    TestSupport::PcoipClient client;
    PcoipClientInterface table{};
    void* context = nullptr;
};

using PcoipInit = PcoipPluginTest;
using PcoipReading = PcoipPluginTest;
using PcoipLifecycle = PcoipPluginTest;
using PcoipWriting = PcoipPluginTest;

}  // namespace

TEST_F(PcoipInit, RegistersProbesFromVersionThreeAndRefusesWhatItCannotRun)
{
    const LogWatch log;
    init(3, "mode=test");
    EXPECT_EQ(client.calls, (std::vector<std::string>{"register Corvane", "probe Corvane"}));
    EXPECT_EQ(client.connectionContext, context);
    exit();
    client.probeResult = 0;
    init(4, nullptr);
    EXPECT_TRUE(log.contains("ERROR - Failed to initiate probe for host error [0] connection [0x"));
    exit();

    // A version 2 table ends before the probe slot: nothing past its end is
    // read (AddressSanitizer reports it) or called, and the plugin keeps a copy.
    client.calls.clear();
    const PcoipClientInterface full = client.table(2);
    const std::size_t size = offsetof(PcoipClientInterface, probeForHost);
    auto older = std::make_unique<unsigned char[]>(size);
    std::memcpy(older.get(), &full, size);
    const auto clientInit = entry<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init");
    ASSERT_EQ(clientInit(reinterpret_cast<const PcoipClientInterface*>(older.get()), "", &context), 1);
    older.reset();
    open();
    EXPECT_EQ(client.calls, (std::vector<std::string>{"register Corvane", "open Corvane 0 10 0"}));
    exit();

    void* out = nullptr;
    EXPECT_EQ(clientInit(nullptr, "", &out), 0);
    EXPECT_EQ(clientInit(&table, "", nullptr), 0);
    EXPECT_EQ(out, nullptr);
    client.registerResult = 5;
    init(3);
    EXPECT_TRUE(log.contains("ERROR - Failed to initialise PCoIP\n"));
    EXPECT_EQ(entry<PcoipPluginServerInit>("pcoip_vchan_plugin_server_init")(9, "host"), 0);
    EXPECT_EQ(entry<PcoipPluginServerExit>("pcoip_vchan_plugin_server_exit")(), 1);

    char buffer[64];
    std::memset(buffer, 'z', sizeof(buffer));
    entry<PcoipPluginGetVersion>("pcoip_vchan_plugin_get_version")(buffer);
    ASSERT_NE(std::memchr(buffer, '\0', sizeof(buffer)), nullptr);
    EXPECT_STREQ(buffer, CVCLIENT_VERSION);
    EXPECT_TRUE(std::regex_match(buffer, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << buffer;
}

// Each connection answers its own Initialise, however the bytes come: in
// pieces behind skipped packets, from a client that reports more received
// bytes than it gave, announced inside the open, in bursts during a read,
// after a failed receive, or just after a check found nothing.
TEST_F(PcoipReading, EveryWayOfArrivingIsRead)
{
    init();
    const LogWatch log;
    open();
    EXPECT_EQ(client.calls.back(), "open Corvane 0 10 0");
    deliver(packet(std::string(300, 'x'), 2) + packet("abc", 1, 11));
    EXPECT_TRUE(log.contains("ERROR - Unhandled packet type [2] length [312] encoding [1]"));
    EXPECT_TRUE(log.contains("ERROR - Invalid packet length [11]: discarding [15] bytes"));
    client.overReport = 5;
    const std::string whole = packet(kInitialise);
    deliver(whole.substr(0, 5));
    deliver(whole.substr(5, 40));
    EXPECT_EQ(sent(), 0U);
    deliver(whole.substr(45));
    expectAnswer(1);
    client.overReport = 0;

    auto reconnect = [&] {
        client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED);
        open();
    };
    client.readyInsideOpen = whole;
    reconnect();
    expectAnswer(2);
    client.readyInsideOpen.clear();

    reconnect();
    for (std::size_t at = 0; at < whole.size(); at += 3) {
        client.receiveReady(whole.substr(at, 3));
    }
    expectAnswer(3);

    reconnect();
    client.receiveResult = -1;
    client.receiveReady(whole);
    ASSERT_TRUE(TestSupport::waitUntil([&] {
        return log.contains("WARNING - Read channel thread detected [115] bytes available, but receive failed");
    }));
    client.receiveResult = 0;
    deliver("");
    expectAnswer(4);

    reconnect();
    client.with([&] { client.lateArrival = whole; });
    client.receiveReady("");
    expectAnswer(5);
    EXPECT_EQ(log.count(kDisconnected), 4U);
}

// A closing, failing or rejected channel, a lost connection and the exit each
// disconnect the core once; the reader stops, and a later OPEN connects again.
TEST_F(PcoipLifecycle, EveryEndDisconnectsOnceAndALaterOpenConnects)
{
    const LogWatch log;
    init();
    std::size_t ends = 0;
    for (const int event : std::initializer_list<int>{PCOIP_CHANNEL_EVENT_CLOSE_PENDING, PCOIP_CHANNEL_EVENT_CLOSE_PENDING_OTHER,
                            PCOIP_CHANNEL_EVENT_ERROR_DETECTED, PCOIP_CHANNEL_EVENT_OPEN_REJECTED, -1}) {
        SCOPED_TRACE(event);
        open();
        deliver(packet(kInitialise).substr(0, 20));  // half a packet must not spoil the next channel
        event == -1 ? client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED) : client.channelEvent(event);
        EXPECT_EQ(log.count(kDisconnected), ++ends);
        client.channelEvent(PCOIP_CHANNEL_EVENT_CLOSE_PENDING);
        client.receiveReady(packet(kInitialise));  // nobody reads a closed channel
        EXPECT_EQ(log.count(kDisconnected), ends);
        client.with([&] { client.pending.clear(); });
    }
    EXPECT_EQ(sent(), 0U);

    // A second OPEN is ignored; a disconnect right after an OPEN stops a reader
    // that may not run yet.
    open();
    client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    EXPECT_TRUE(log.contains("WARNING - Ignoring PCoIP connection OPEN event since the read channel thread"));
    for (int round = 0; round < 20; ++round) {
        client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED);
        ASSERT_EQ(log.count(kDisconnected), ++ends);
        client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    }
    deliver(packet(kInitialise));
    expectAnswer(1);
    exit();
    EXPECT_EQ(log.count(kDisconnected), ++ends);
    EXPECT_EQ(std::count(client.calls.begin(), client.calls.end(), "open Corvane 0 10 0"), 26);

    // A failed open is reported back and connects nothing.
    client.openResult = 3;
    init();
    client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    EXPECT_EQ(client.calls.back(), "rejected Corvane 0");
    exit();
    EXPECT_EQ(log.count(kDisconnected), ends);
}

// A reader that ends its own channel (an event raised inside its receive)
// hands the packet in hand to nobody.
TEST_F(PcoipLifecycle, APacketInHandWhenTheReaderEndsItsChannelIsDropped)
{
    const LogWatch log;
    init();
    open();
    client.eventInsideReceive = PCOIP_CHANNEL_EVENT_CLOSE_PENDING;
    deliver(packet(kInitialise));
    EXPECT_TRUE(log.contains("WARNING - The read channel thread cannot join itself on connection [0x"));
    EXPECT_TRUE(log.contains("WARNING - Dropping packet of length [115] since the client is disconnected"));
    EXPECT_FALSE(log.contains("ERROR"));
    exit();
    EXPECT_EQ(log.count(kDisconnected), 1U);
    EXPECT_EQ(sent(), 0U);
}

TEST_F(PcoipWriting, OneBufferPerMessageAndEveryRefusal)
{
    init();
    open();
    const LogWatch log;
    write(R"({"id":"x"})");
    EXPECT_EQ(client.sends, std::vector<std::string>{packet(R"({"id":"x"})")});
    client.sendLimit = 5;
    write(R"({"id":"x"})");
    client.sendLimit = UINT32_MAX;
    client.sendResult = -2;
    write(R"({"id":"x"})");
    client.sendResult = 0;
    EXPECT_TRUE(log.contains("ERROR - Attempted to write [22] bytes to channel, but only [5] bytes sent on connection"));
    EXPECT_TRUE(log.contains("ERROR - Failed to write [22] bytes to channel on connection [0x"));

    // The largest packet goes out whole; one byte more is refused.
    const uint32_t largest = 16U * 1024U * 1024U - 12U;
    write(std::string(largest + 1, 'x'));
    EXPECT_TRUE(log.contains("ERROR - Unable to write [16777205] bytes in one packet on connection [0x"));
    EXPECT_EQ(sent(), 2U);
    write(std::string(largest, 'x'));
    ASSERT_EQ(sent(), 3U);
    EXPECT_EQ(client.sends.back().size(), largest + 12U);

    // A disconnected PCoIP connection sends nothing, the core's answer included.
    client.state = PCOIP_CONNECTION_STATE_DISCONNECTED;
    deliver(packet(kInitialise));
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] { return log.contains("ERROR - Unable to write to disconnected channel on connection [0x"); }));
    EXPECT_EQ(sent(), 3U);
}
