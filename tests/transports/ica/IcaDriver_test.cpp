// SPDX-License-Identifier: Apache-2.0
// The ICA virtual driver in the built library, driven as the ICA client's engine drives it. The core's line
// "disconnected from the host" is the trace a disconnect leaves.
#include "support/IcaEngine.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "transports/Packets.h"
#include <gtest/gtest.h>

using namespace IcaAbi;
using TestSupport::packet;

namespace {
std::string pattern(std::size_t length)
{
    std::string text;
    while (text.size() < length) { text += static_cast<char>('a' + text.size() % 26); }
    return text;
}

struct FakeEngine : TestSupport::IcaEngine {
    ~FakeEngine() { EXPECT_TRUE(protocolErrors.empty()) << protocolErrors.front(); }
};
}  // namespace

TEST(IcaDriverGlue, LoadOpenAndInfo)
{
    FakeEngine engine;
    engine.channel = 6;
    uint16_t size = 0;
    ASSERT_EQ(engine.open(&size), kSuccess);
    EXPECT_EQ(engine.vdLink.procedureCount, 8);
    EXPECT_EQ(engine.vdLink.data, TestSupport::symbol("VdData"));
    EXPECT_EQ(*static_cast<void**>(TestSupport::symbol("g_pLibMgrCallTable")), engine.callTable);
    EXPECT_EQ(size, 48);
    EXPECT_EQ(engine.params.channelMask, 1U << 6);
    EXPECT_EQ(engine.vd().channelMask, 1U << 6);
    // Info: first the size it needs, then its fields, the channel mask among them.
    uint8_t buffer[48] = {};
    DriverInfoArgument probe{nullptr, 0}, full{buffer, sizeof(buffer)};
    EXPECT_EQ(engine.slot<TableProcedure>(kSlotInfo)(&engine.vd(), &probe, &size), kBufferTooSmall);
    EXPECT_EQ(probe.byteCount, 48);
    EXPECT_EQ(engine.slot<TableProcedure>(kSlotInfo)(&engine.vd(), &full, &size), kSuccess);
    EXPECT_EQ(buffer[3], kModuleClassVirtualDriver);
    EXPECT_EQ(buffer[36], 1U << 6);
}

// An Initialise in pieces behind an impossible packet is answered in pieces of the maximum write size less the channel
// byte; closing with pieces still queued disconnects the core.
TEST(IcaDriverSession, InitialiseIsAnsweredInPiecesAndCloseDisconnects)
{
    const TestSupport::LogWatch log;
    FakeEngine engine;
    engine.maximumWriteSize = 101;
    ASSERT_EQ(engine.open(), kSuccess);
    EXPECT_EQ(engine.arrive(packet("junk", 1, 5)), kSuccess);
    EXPECT_TRUE(log.contains("ERROR - Incoming packet length [5] is impossible"));
    const std::string whole = packet(TestSupport::kInitialise);
    for (const std::string& piece : {whole.substr(0, 7), whole.substr(7, 30), whole.substr(37)}) {
        EXPECT_EQ(engine.arrive(piece), kSuccess);
    }
    // The answer is one whole packet.
    ASSERT_TRUE(TestSupport::waitUntil([&] { return engine.poll(), engine.stream().size() > 12 && engine.stream() == packet(engine.stream().substr(12)); }));
    const std::string answer = engine.stream().substr(12);
    EXPECT_EQ(answer.rfind(TestSupport::kAnswerStart, 0), 0U) << answer;
    EXPECT_NE(answer.find(TestSupport::kVersionPair), std::string::npos) << answer;
    EXPECT_GT(engine.pieces.size(), 1U);
    for (std::size_t i = 0; i < engine.pieces.size(); ++i) {
        EXPECT_LE(engine.pieces[i].size(), 100U);
        EXPECT_EQ(engine.headerSizes[i], engine.pieces[i].size());
    }
    engine.send(pattern(3000));
    EXPECT_EQ(engine.close(), kSuccess);
    EXPECT_EQ(log.count("] disconnected from the host"), 1U);
    EXPECT_EQ(engine.vd().privateData, nullptr);
    EXPECT_EQ(engine.close(), kSuccess);
    EXPECT_EQ(engine.poll(), kNoData);
    EXPECT_EQ(engine.arrive(packet("gone")), kSuccess);
}

// One poll writes every queued piece; a piece is the maximum write size less the channel byte, at most 1024 bytes;
// messages queued back to back.
TEST(IcaDriverOutgoing, PiecesOfTheMaximumSizeAllInOnePoll)
{
    struct Case {
        uint16_t maximumWriteSize;
        std::vector<std::size_t> messages;
        std::vector<unsigned> reserved;  // a piece's size and 4
    };
    for (const Case& c : {Case{2048, {3000}, {1028, 1028, 968}}, Case{1025, {1013}, {1028, 5}},
                          Case{13, {20}, {16, 16, 12}}, Case{1025, {100, 5}, {116, 21}}}) {
        SCOPED_TRACE(c.maximumWriteSize);
        FakeEngine engine;
        engine.maximumWriteSize = c.maximumWriteSize;
        ASSERT_EQ(engine.open(), kSuccess);
        std::string expected;
        for (const std::size_t length : c.messages) {
            engine.send(pattern(length));
            expected += packet(pattern(length));
        }
        EXPECT_EQ(engine.poll(), kSuccess);
        EXPECT_EQ(engine.reserved, c.reserved);
        EXPECT_EQ(engine.pieces.size(), c.reserved.size());
        EXPECT_EQ(engine.stream(), expected);
        EXPECT_EQ(engine.poll(), kNoData);
    }
}
