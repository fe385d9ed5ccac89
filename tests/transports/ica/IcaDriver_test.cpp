// The ICA virtual driver in the built library, driven as the ICA client's
// engine drives it.
#include "support/IcaEngine.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace IcaAbi;
using TestSupport::LogWatch;

namespace {

const TestSupport::IcaDriver& driver()
{
    return TestSupport::icaDriver();
}

std::string header(uint32_t type, uint32_t length, uint32_t encoding)
{
    std::string bytes(12, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(type >> (8 * i));
        bytes[4 + i] = static_cast<char>(length >> (8 * i));
        bytes[8 + i] = static_cast<char>(encoding >> (8 * i));
    }
    return bytes;
}

std::string frame(const std::string& payload, uint32_t type = 1)
{
    return header(type, static_cast<uint32_t>(payload.size() + 12), 1) + payload;
}

// The complete packets in what the engine received, as payloads.
std::vector<std::string> unframe(const std::string& stream)
{
    std::vector<std::string> payloads;
    for (std::size_t at = 0; stream.size() - at >= 12;) {
        uint32_t fields[3];
        std::memcpy(fields, stream.data() + at, sizeof(fields));
        EXPECT_EQ(fields[0], 1U);
        EXPECT_EQ(fields[2], 1U);
        if (fields[1] < 12 || stream.size() - at < fields[1]) {
            break;
        }
        payloads.push_back(stream.substr(at + 12, fields[1] - 12));
        at += fields[1];
    }
    return payloads;
}

std::string pattern(std::size_t length, char tag = 'a')
{
    std::string text(length, tag);
    for (std::size_t i = 0; i < length; i += 7) {
        text[i] = static_cast<char>('0' + (i / 7) % 10);
    }
    return text;
}

std::string wholeLog()
{
    return TestSupport::readWhole(LogWatch::logFile());
}

class FakeEngine : public TestSupport::IcaEngine {
public:
    ~FakeEngine()
    {
        close();
        EXPECT_TRUE(protocolErrors.empty()) << protocolErrors.front();
    }
};

constexpr const char* kInitialise =
    R"({"id":"Initialize","data":{"propertyCheckInterval":60000,"properties":[{"name":"Corvane","status":2}]}})";

}  // namespace

TEST(IcaDriverGlue, LoadHandsOverTheTablesAndOpenFillsTheChannelMask)
{
    FakeEngine engine;
    uint16_t size = 0;
    ASSERT_EQ(engine.open(&size), kSuccess);
    EXPECT_EQ(engine.vdLink.procedureCount, 8);
    EXPECT_EQ(engine.vdLink.procedureTable, TestSupport::symbol("VdProcedures"));
    EXPECT_EQ(engine.vdLink.data, TestSupport::symbol("VdData"));
    EXPECT_EQ(driver().libMgr(), engine.callTable);
    EXPECT_EQ(*static_cast<void**>(TestSupport::symbol("g_pLibMgrCallTable")), engine.callTable);
    EXPECT_EQ(size, 48);
    EXPECT_EQ(engine.params.channelMask, 1U << 5);
    EXPECT_EQ(engine.vd().channelMask, 1U << 5);
    EXPECT_EQ(engine.vd().wdLink, &engine.wdLink);
    EXPECT_EQ(engine.hook.vd, &engine.vd());
    const std::string log = wholeLog();
    EXPECT_NE(log.find(" : DriverOpen : VERBOSE - Opening channel [CRVLINK]"), std::string::npos);
    EXPECT_NE(log.find("Writehook channel number [5] data [0x"), std::string::npos);
    EXPECT_NE(log.find("] connected successfully"), std::string::npos);
    EXPECT_EQ(log.find("Limiting max data size"), std::string::npos);

    // The table's own procedures answer like the exported ones.
    uint16_t pollSize = 0;
    EXPECT_EQ(engine.slot<TableProcedure>(kSlotPoll)(engine.vdLink.data, nullptr, &pollSize), kNoData);
    LibraryLink other{};
    other.procedureCount = 8;
    other.procedureTable = &other;
    other.data = &other;
    EXPECT_EQ(engine.slot<TableProcedure>(kSlotUnload)(nullptr, &other, nullptr), kSuccess);
    EXPECT_EQ(other.procedureCount, 0);
    EXPECT_EQ(other.procedureTable, nullptr);
    EXPECT_EQ(other.data, nullptr);
}

TEST(IcaDriverGlue, OpenFailuresAreReturnedWithoutConnecting)
{
    struct Case {
        int openRc, hookRc;
        uint16_t maximumWriteSize;
        bool noTable;
        int expected;
        const char* line;
    };
    for (const Case& c : {Case{1016, 0, 1025, false, 1016, "VERBOSE - Could not open [CRVLINK] rc [1016]"},
                          Case{0, 2201, 1025, false, 2201, "VERBOSE - Could not register write hook rc [2201]"},
                          Case{0, 0, 1025, true, kNullMemoryPointer, "Could not open [CRVLINK] rc [1011]"},
                          Case{0, 0, 12, false, kOpenFailed,
                               "ERROR - Maximum write size [12] of the channel leaves no room for the 12-byte"}}) {
        SCOPED_TRACE(c.line);
        FakeEngine engine;
        engine.openRc = c.openRc;
        engine.hookRc = c.hookRc;
        engine.maximumWriteSize = c.maximumWriteSize;
        if (c.noTable) {
            engine.wdLink.procedureTable = nullptr;
        }
        EXPECT_EQ(engine.open(), c.expected);
        const std::string log = wholeLog();
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_EQ(log.find("Connecting client"), std::string::npos);
        EXPECT_EQ(engine.vd().privateData, nullptr);
        if (engine.hook.arrival != nullptr) {
            EXPECT_EQ(engine.arrive(frame("late")), kSuccess);  // the hook stays registered: no crash
        }
    }
    VirtualDriver noLink{};
    uint16_t size = 0;
    EXPECT_EQ(driver().callWd(&noLink, kWdQueryInformation, nullptr, &size), kNullMemoryPointer);
}

TEST(IcaDriverGlue, InfoReportsItsSizeThenFillsOnlyItsFields)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    DriverInfoArgument probe{nullptr, 0};
    uint16_t size = 0;
    EXPECT_EQ(driver().info(&engine.vd(), &probe, &size), kBufferTooSmall);
    EXPECT_EQ(probe.byteCount, 48);
    EXPECT_EQ(size, 16);
    EXPECT_TRUE(log.contains(" : DriverInfo : VERBOSE - Request for info with bytes [0]"));

    uint8_t buffer[64];
    std::memset(buffer, 0xAA, sizeof(buffer));
    DriverInfoArgument small{buffer, 47};
    EXPECT_EQ(driver().info(&engine.vd(), &small, &size), kBufferTooSmall);
    EXPECT_EQ(buffer[0], 0xAA);

    DriverInfoArgument full{buffer, sizeof(buffer)};
    EXPECT_EQ(driver().info(&engine.vd(), &full, &size), kSuccess);
    std::vector<uint8_t> expected(64, 0xAA);
    const uint8_t filled[][2] = {{0, 48}, {1, 0},  {3, 3},  {4, 1},  {5, 20}, {19, 'I'}, {20, 'C'}, {21, 'A'},
                                 {22, 0}, {36, 0x20}, {37, 0}, {38, 0}, {39, 0}, {40, 0},   {41, 0}};
    for (const auto& [offset, value] : filled) {
        expected[offset] = value;
    }
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 64), expected);
}

TEST(IcaDriverGlue, InformationRequestsAreAnsweredAndLogged)
{
    const LogWatch log;
    WdInformation query{42, nullptr, 9, 0};
    uint16_t size = 0;
    EXPECT_EQ(driver().query(nullptr, &query, &size), kSuccess);
    EXPECT_EQ(size, 24);
    EXPECT_EQ(driver().set(nullptr, &query, &size), kSuccess);
    EXPECT_EQ(driver().lastError(nullptr, nullptr), kSuccess);
    EXPECT_TRUE(log.contains(" : DriverQueryInformation : VERBOSE - Request for info for class [42]"));
    EXPECT_TRUE(log.contains(" : DriverSetInformation : VERBOSE - Set info for class [42] data length [9]"));
    EXPECT_TRUE(log.contains(" : DriverGetLastError : VERBOSE - Request for error entered"));
}

TEST(IcaDriverSession, InitialiseIsAnsweredThroughPolledPieces)
{
    FakeEngine engine;
    engine.maximumWriteSize = 101;
    ASSERT_EQ(engine.open(), kSuccess);
    const std::string packet = frame(kInitialise);
    engine.arrive(packet.substr(0, 7));
    engine.arrive(packet.substr(7, 30));
    engine.arrive(packet.substr(37));
    ASSERT_TRUE(TestSupport::waitUntil([&] {
        engine.poll();
        return !unframe(engine.stream()).empty();
    }));
    const std::string message = unframe(engine.stream()).at(0);
    rapidjson::Document document;
    document.Parse(message.c_str(), message.size());
    ASSERT_FALSE(document.HasParseError()) << message;
    EXPECT_STREQ(document["id"].GetString(), "initializeDeviceProperties");
    bool versionFound = false;
    for (const auto& pair : document["data"]["updated"].GetArray()) {
        versionFound |= pair[0].GetString() == std::string("DEVICE_CORVANE_VERSION") &&
                        pair[1].GetString() == std::string(CVCLIENT_VERSION);
    }
    EXPECT_TRUE(versionFound) << message;
    EXPECT_GT(engine.pieces.size(), 1U);
    for (std::size_t i = 0; i < engine.pieces.size(); ++i) {
        EXPECT_LE(engine.pieces[i].size(), 100U);
        EXPECT_EQ(engine.reserved[i], engine.pieces[i].size() + 4);
        EXPECT_EQ(engine.headerSizes[i], engine.pieces[i].size());
    }
}

TEST(IcaDriverIncoming, PacketsAreReassembledFromAnyPieces)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    engine.arrive(frame("first") + frame("second!"));
    EXPECT_TRUE(log.contains("ICADataArrival : VERBOSE - Received data of length [36] current [0]"));
    EXPECT_TRUE(log.contains("Forwarding content of length [17] to client"));
    EXPECT_TRUE(log.contains("received length [5] content [first]"));
    EXPECT_TRUE(log.contains("received length [7] content [second!]"));

    for (const char byte : frame("hello")) {
        engine.arrive(std::string(1, byte));
    }
    EXPECT_EQ(log.count("VERBOSE - Incoming buffer has ["), 5U);
    EXPECT_TRUE(log.contains("Incoming buffer has [16] bytes but [17] expected"));
    EXPECT_EQ(log.count("received length [5] content [hello]"), 1U);

    engine.arrive(frame("skip", 2) + frame(std::string("n\0l", 3)));
    EXPECT_TRUE(log.contains("Unable to handle content length [16] type [2] encoding [1]. Aborting packet."));
    EXPECT_FALSE(log.contains("content [skip]"));
    EXPECT_TRUE(log.contains("Forwarding content of length [15] to client"));
    EXPECT_TRUE(log.contains("ClientDataRead : INFO - Read 3 bytes from host"));
}

TEST(IcaDriverIncoming, ImpossibleLengthsDiscardTheBufferAndReadingGoesOn)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    for (const uint32_t length : {5U, 16U * 1024 * 1024 + 1}) {
        const LogWatch log;
        engine.arrive(header(1, length, 1) + "junk" + frame("lost"));
        engine.arrive(frame("after"));
        EXPECT_TRUE(log.contains("ICADataArrival : ERROR - Incoming packet length [" + std::to_string(length) +
                                 "] is impossible (a packet has 12 to 16777216 bytes): discarded [32] buffered bytes"))
            << log.text();
        EXPECT_FALSE(log.contains("content [lost]"));
        EXPECT_TRUE(log.contains("received length [5] content [after]"));
    }
}

TEST(IcaDriverOutgoing, MessagesAreCutIntoPiecesOfTheMaximumSize)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    const std::string message = pattern(3000);
    engine.send(message);
    EXPECT_EQ(engine.poll(), kSuccess);
    EXPECT_EQ(engine.sizes(), (std::vector<std::size_t>{1024, 1024, 964}));
    EXPECT_EQ(engine.reserved, (std::vector<unsigned>{1028, 1028, 968}));
    EXPECT_EQ(engine.stream(), frame(message));
    EXPECT_EQ(log.count("WriteDataCallback : VERBOSE - Created outgoing packet [0x"), 1U);
    EXPECT_EQ(log.count("WriteDataCallback : VERBOSE - Appended outgoing packet [0x"), 2U);
    EXPECT_TRUE(log.contains("] length [964]"));
    EXPECT_EQ(log.count("DriverPoll : VERBOSE - Successfully wrote outgoing data [0x"), 3U);
    EXPECT_EQ(engine.poll(), kNoData);

    // Behind a queued message, the next one's first piece is appended too.
    engine.pieces.clear();
    const LogWatch second;
    engine.send(pattern(100));
    engine.send(pattern(5));
    EXPECT_EQ(second.count("Created outgoing packet [0x"), 1U);
    EXPECT_EQ(second.count("Appended outgoing packet [0x"), 1U);
    EXPECT_EQ(engine.poll(), kSuccess);
    EXPECT_EQ(engine.sizes(), (std::vector<std::size_t>{112, 17}));
    EXPECT_EQ(engine.stream(), frame(pattern(100)) + frame(pattern(5)));
}

TEST(IcaDriverOutgoing, PieceSizeFollowsTheMaximumWriteSizeUpTo1024)
{
    struct Case {
        uint16_t maximumWriteSize;
        std::size_t messageLength;
        std::vector<std::size_t> sizes;
        bool limited;
    };
    for (const Case& c : {Case{2048, 3000, {1024, 1024, 964}, true}, Case{1025, 1013, {1024, 1}, false},
                          Case{13, 20, {12, 12, 8}, false}}) {
        SCOPED_TRACE(c.maximumWriteSize);
        FakeEngine engine;
        engine.maximumWriteSize = c.maximumWriteSize;
        ASSERT_EQ(engine.open(), kSuccess);
        EXPECT_EQ(wholeLog().find("DriverOpen : VERBOSE - Limiting max data size from [" +
                                  std::to_string(c.maximumWriteSize) + "] to 1024") != std::string::npos,
                  c.limited);
        engine.send(pattern(c.messageLength));
        EXPECT_EQ(engine.poll(), kSuccess);
        EXPECT_EQ(engine.sizes(), c.sizes);
        EXPECT_EQ(engine.stream(), frame(pattern(c.messageLength)));
    }
}

TEST(IcaDriverOutgoing, FailedPiecesStayQueuedAndAreLoggedOncePerError)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    engine.failures[0] = {kNoOutputBuffer, kNoOutputBuffer, kBufferBusy};
    engine.send(pattern(100));
    EXPECT_EQ(engine.poll(), kErrorRetry);
    EXPECT_EQ(engine.poll(), kErrorRetry);
    EXPECT_EQ(log.count("DriverPoll : VERBOSE - Failed to reserve outgoing data [0x"), 1U);
    EXPECT_TRUE(log.contains("] length [112] error [1016]. Will retry."));
    EXPECT_EQ(engine.poll(), kErrorRetry);
    EXPECT_EQ(log.count("Failed to reserve outgoing data"), 2U);
    EXPECT_EQ(engine.poll(), kSuccess);
    EXPECT_EQ(engine.stream(), frame(pattern(100)));

    // A failure at any step keeps the piece at the head; the pieces behind it wait.
    const char* lines[] = {"Failed to reserve outgoing data [", "Failed to append header to outgoing data [",
                           "Failed to append outgoing data [", "Failed to write outgoing data ["};
    for (int stage = 0; stage < 4; ++stage) {
        SCOPED_TRACE(lines[stage]);
        const LogWatch stageLog;
        engine.pieces.clear();
        engine.send(pattern(3000));
        engine.failures[stage] = {kSuccess, kBufferBusy};  // the second piece fails once
        EXPECT_EQ(engine.poll(), kErrorRetry);
        EXPECT_EQ(engine.pieces.size(), 1U);
        EXPECT_EQ(stageLog.count(lines[stage]), 1U);
        EXPECT_EQ(engine.poll(), kSuccess);
        EXPECT_EQ(engine.stream(), frame(pattern(3000)));
    }
}

TEST(IcaDriverOutgoing, PollingWhileTheQueueIsBusyReturnsAtOnce)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    int nested = -1;
    bool once = true;
    engine.duringAppend = [&] {
        if (std::exchange(once, false)) {
            nested = engine.poll();
        }
    };
    engine.send(pattern(2000));
    EXPECT_EQ(engine.poll(), kSuccess);
    EXPECT_EQ(nested, kSuccess);
    EXPECT_TRUE(log.contains("DriverPoll : ERROR - Lock of outgoing queue failed error [16]"));
    EXPECT_EQ(engine.stream(), frame(pattern(2000)));
}

TEST(IcaDriverOutgoing, ConcurrentWritersNeverInterleaveMessages)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    constexpr int kMessages = 20;
    auto text = [](char writer, int index) {
        return std::string(1, writer) + pattern(1 + (index * 397) % 3000, writer);
    };
    std::atomic<int> running{2};
    auto writer = [&](char tag) {
        for (int i = 0; i < kMessages; ++i) {
            engine.send(text(tag, i));
        }
        --running;
    };
    std::thread first(writer, 'a');
    std::thread second(writer, 'b');
    while (running > 0) {
        engine.poll();
    }
    first.join();
    second.join();
    for (int i = 0; i < 100 && engine.poll() != kNoData; ++i) {
    }
    int next[2] = {0, 0};
    for (const std::string& payload : unframe(engine.stream())) {
        ASSERT_FALSE(payload.empty());
        const int writerIndex = payload[0] == 'a' ? 0 : 1;
        EXPECT_EQ(payload, text(payload[0], next[writerIndex]++));
    }
    EXPECT_EQ(next[0], kMessages);
    EXPECT_EQ(next[1], kMessages);
}

TEST(IcaDriverSession, CloseDisconnectsAndDeletesQueuedPieces)
{
    FakeEngine engine;
    ASSERT_EQ(engine.open(), kSuccess);
    const LogWatch log;
    engine.send(pattern(3000));
    engine.arrive(frame("half").substr(0, 10));
    EXPECT_EQ(engine.close(), kSuccess);
    EXPECT_TRUE(log.contains("DriverClose : VERBOSE - Disconnecting client [0x"));
    EXPECT_TRUE(log.contains("] disconnected from the host"));
    EXPECT_EQ(log.count("DriverClose : VERBOSE - Deleting outgoing buffer [0x"), 3U);
    EXPECT_TRUE(log.contains("] length [964]"));
    EXPECT_EQ(engine.vd().privateData, nullptr);
    EXPECT_EQ(engine.close(), kSuccess);
    EXPECT_EQ(engine.poll(), kNoData);
    EXPECT_EQ(engine.arrive(frame("gone")), kSuccess);
}
