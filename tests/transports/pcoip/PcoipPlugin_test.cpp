// SPDX-License-Identifier: Apache-2.0
// The PCoIP plugin in the built library as the PCoIP client drives it. The core's line "disconnected from the host" is
// the trace a disconnect leaves.
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/PcoipClient.h"
#include "transports/Packets.h"
#include <gtest/gtest.h>
#include <memory>

using TestSupport::kInitialise;
using TestSupport::packet;

namespace {
const std::string kDisconnected = "] disconnected from the host";
const auto clientInit = [](auto... arguments) {
    return TestSupport::entryPoint<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init")(arguments...);
};

class PcoipPluginTest : public ::testing::Test {
protected:
    void TearDown() override { exit(); }
    void init(uint32_t version = 3)
    {
        table = client.table(version);
        ASSERT_EQ(clientInit(&table, "", &context), 1);
    }
    void exit()
    {
        if (context != nullptr) {
            TestSupport::entryPoint<PcoipPluginClientExit>("pcoip_vchan_plugin_client_exit")(std::exchange(context, nullptr));
        }
    }
    void open() { ASSERT_TRUE(client.open()); }
    void deliver(const std::string& bytes) { ASSERT_TRUE(client.deliver(bytes)); }
    std::size_t sent() { return client.with([&] { return client.sends.size(); }); }
    // The core's answer to kInitialise: the `count`th send, one whole packet.
    void expectAnswer(std::size_t count)
    {
        ASSERT_TRUE(TestSupport::waitUntil([&] { return sent() >= count; }));
        const std::string answer = client.with([&] { return client.sends.at(count - 1); }), payload = answer.substr(12);
        EXPECT_EQ(answer, packet(payload));
        EXPECT_EQ(payload.rfind(TestSupport::kAnswerStart, 0), 0U) << payload;
        EXPECT_NE(payload.find(R"("updated":[)" + TestSupport::kVersionPair + "]"), std::string::npos) << payload;
    }
    void write(const std::string& payload)
    {
        auto* record = static_cast<TConnection*>(context);  // the connection's first member
        record->writeData(record, payload.c_str(), static_cast<unsigned int>(payload.size()));
    }
    const TestSupport::LogWatch log;
    TestSupport::PcoipClient client;
    PcoipClientInterface table{};
    void* context = nullptr;
};

using PcoipInit = PcoipPluginTest;
using PcoipReading = PcoipPluginTest;
using PcoipLifecycle = PcoipPluginTest;
using PcoipWriting = PcoipPluginTest;
}  // namespace

// From version 3 on the plugin probes for the host; a version 2 table ends before the probe slot, and nothing past its
// end is read (AddressSanitizer would report it) or called.
TEST_F(PcoipInit, RegistersAndProbesFromVersionThreeOnly)
{
    for (const uint32_t version : {2U, 4U}) {
        client.calls.clear();
        const PcoipClientInterface full = client.table(version);
        const std::size_t size = version == 2 ? offsetof(PcoipClientInterface, probeForHost) : sizeof(full);
        auto copy = std::make_unique<unsigned char[]>(size);  // the plugin keeps its own copy
        std::memcpy(copy.get(), &full, size);
        ASSERT_EQ(clientInit(reinterpret_cast<const PcoipClientInterface*>(copy.get()), "", &context), 1);
        copy.reset();
        open();
        const std::vector<std::string> all{"register Corvane", "probe Corvane", "open Corvane 0 10 0"};
        EXPECT_EQ(client.calls, version == 2 ? std::vector<std::string>({all[0], all[2]}) : all);
        exit();
    }
}

// An Initialise in pieces behind skipped packets, from a client that reports more received bytes than it gave, is
// answered in one send.
TEST_F(PcoipReading, InitialiseInPiecesIsAnswered)
{
    init();
    open();
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
}

// A closing, failing or rejected channel, a lost connection and the exit each disconnect the core once; the reader
// stops, a second OPEN is ignored, and a later OPEN connects again.
TEST_F(PcoipLifecycle, EveryEndDisconnectsOnceAndALaterOpenConnects)
{
    init();
    std::size_t ends = 0;
    for (const int event : std::initializer_list<int>{PCOIP_CHANNEL_EVENT_CLOSE_PENDING, PCOIP_CHANNEL_EVENT_CLOSE_PENDING_OTHER,
                                                      PCOIP_CHANNEL_EVENT_ERROR_DETECTED, PCOIP_CHANNEL_EVENT_OPEN_REJECTED, -1}) {
        open();
        deliver(packet(kInitialise).substr(0, 20));  // half a packet must not spoil the next channel
        event == -1 ? client.stateEvent(PCOIP_CONNECTION_STATE_DISCONNECTED) : client.channelEvent(event);
        client.channelEvent(PCOIP_CHANNEL_EVENT_CLOSE_PENDING);
        client.receiveReady(packet(kInitialise));  // nobody reads a closed channel
        EXPECT_EQ(log.count(kDisconnected), ++ends) << event;
        client.with([&] { client.pending.clear(); });
    }
    open();
    client.connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
    EXPECT_TRUE(log.contains("WARNING - Ignoring PCoIP connection OPEN event since the read channel thread"));
    deliver(packet(kInitialise));
    expectAnswer(1);
    exit();
    EXPECT_EQ(log.count(kDisconnected), ++ends);
    EXPECT_EQ(std::count(client.calls.begin(), client.calls.end(), "open Corvane 0 10 0"), 6);
}

// A reader that ends its own channel (an event raised inside its receive) hands the packet in hand to nobody.
TEST_F(PcoipLifecycle, APacketInHandWhenTheReaderEndsItsChannelIsDropped)
{
    init();
    open();
    client.eventInsideReceive = PCOIP_CHANNEL_EVENT_CLOSE_PENDING;
    deliver(packet(kInitialise));
    EXPECT_TRUE(log.contains("WARNING - Dropping packet of length [115] since the client is disconnected"));
    EXPECT_FALSE(log.contains("ERROR"));
    exit();
    EXPECT_EQ(log.count(kDisconnected), 1U);
    EXPECT_EQ(sent(), 0U);
}

// One send per message, the largest packet included; what cannot go out is refused.
TEST_F(PcoipWriting, OneBufferPerMessageAndEveryRefusal)
{
    init();
    open();
    const uint32_t largest = 16U * 1024U * 1024U - 12U;
    write(R"({"id":"x"})");
    write(std::string(largest + 1, 'x'));
    write(std::string(largest, 'x'));
    ASSERT_EQ(sent(), 2U);
    EXPECT_EQ(client.sends[0], packet(R"({"id":"x"})"));
    EXPECT_EQ(client.sends[1], packet(std::string(largest, 'x')));
    EXPECT_TRUE(log.contains("ERROR - Unable to write [16777205] bytes in one packet on connection [0x"));
    client.sendLimit = 5;
    write("{}");
    EXPECT_TRUE(log.contains("ERROR - Attempted to write [14] bytes to channel, but only [5] bytes sent on connection"));
    // A disconnected PCoIP connection sends nothing, the core's answer included.
    client.state = PCOIP_CONNECTION_STATE_DISCONNECTED;
    deliver(packet(kInitialise));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return log.contains("ERROR - Unable to write to disconnected channel"); }));
    EXPECT_EQ(sent(), 3U);
}
