// The RDP plugin driven the way FreeRDP's dynamic channel manager drives it.
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/RdpClient.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using TestSupport::LogWatch;

namespace {

class FakeClient : public TestSupport::RdpClient {
public:
    void open() { ASSERT_TRUE(RdpClient::open()); }
    void receive(const std::string& bytes) { EXPECT_EQ(RdpClient::receive(bytes), 0U); }
    void close() { EXPECT_TRUE(RdpClient::close()); }
};

std::string packet(const std::string& payload, uint32_t type = 1)
{
    std::string bytes(12, '\0');
    const uint32_t fields[3] = {type, static_cast<uint32_t>(payload.size() + 12), 1};
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 4; ++i) {
            bytes[4 * f + i] = static_cast<char>(fields[f] >> (8 * i));
        }
    }
    return bytes + payload;
}

uint32_t le32(const std::string& bytes, std::size_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
    }
    return value;
}

const std::string kInitialise =
    R"({"id":"Initialize","data":{"propertyCheckInterval":60000,"properties":[{"name":"Corvane","status":2}]}})";

}  // namespace

TEST(RdpPlugin, RegistersOnceAndAnswersTheHostWithHeaderThenPayload)
{
    FakeClient client;
    client.open();
    EXPECT_EQ(client.pluginName, "Corvane");
    EXPECT_EQ(client.listenerName, "Corvane");
    EXPECT_EQ(client.listenerFlags, 0U);
    // The client calls the entry point again on every reconnect.
    ASSERT_EQ(FakeClient::pluginEntry(&client.entry), 0U);
    EXPECT_EQ(client.registrations, 1);

    client.receive(packet(kInitialise));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return client.written().size() == 2; }));
    const auto writes = client.written();
    ASSERT_EQ(writes[0].size(), 12U);
    EXPECT_EQ(le32(writes[0], 0), 1U);
    EXPECT_EQ(le32(writes[0], 4), writes[1].size() + 12);
    EXPECT_EQ(le32(writes[0], 8), 1U);
    EXPECT_EQ(writes[1].rfind(R"({"id":"initializeDeviceProperties")", 0), 0U) << writes[1];
    EXPECT_NE(writes[1].find(R"(["DEVICE_CORVANE_VERSION",")"), std::string::npos);

    const LogWatch log;
    client.close();
    EXPECT_TRUE(log.contains("disconnected from the host"));
}

TEST(RdpPlugin, ReassemblesPacketsFromAnyPieces)
{
    FakeClient client;
    client.open();
    const LogWatch log;

    // Two packets in one event, both forwarded in order.
    client.receive(packet("first packet") + packet("second"));
    EXPECT_TRUE(log.contains("Read 12 bytes from host"));
    EXPECT_TRUE(log.contains("Read 6 bytes from host"));
    EXPECT_LT(log.text().find("Read 12 bytes"), log.text().find("Read 6 bytes"));

    // A 100-byte packet as 20 and 80 bytes.
    const std::string hundred = packet(std::string(88, 'x'));
    client.receive(hundred.substr(0, 20));
    EXPECT_TRUE(log.contains("INFO - Received [20] bytes with type [1] length [100] encoding [1]"));
    EXPECT_TRUE(log.contains("Incoming buffer has [20] bytes but [100] expected"));
    EXPECT_FALSE(log.contains("Read 88 bytes from host"));
    client.receive(hundred.substr(20));
    EXPECT_TRUE(log.contains("Read 88 bytes from host"));

    // An empty packet stays buffered until more bytes arrive; a type-2 packet
    // is skipped; a payload with NULs keeps its length.
    client.receive(packet(""));
    EXPECT_FALSE(log.contains("Read 0 bytes from host"));
    client.receive(packet("skipped", 2) + packet(std::string("nul\0nul", 7)));
    EXPECT_TRUE(log.contains("Read 0 bytes from host"));
    EXPECT_TRUE(log.contains("ERROR - Unable to handle content length [19] type [2] encoding [1]. Aborting packet."));
    EXPECT_TRUE(log.contains("Read 7 bytes from host"));

    // One packet byte by byte.
    const std::string slow = packet("byte by byte");
    for (char byte : slow) {
        client.receive(std::string(1, byte));
    }
    EXPECT_EQ(log.count("Read 12 bytes from host"), 2U);
    client.close();
}

TEST(RdpPlugin, ImpossibleLengthsAreDiscardedAndTheStreamRecovers)
{
    FakeClient client;
    client.open();
    const LogWatch log;
    std::string tooShort = packet("abc");
    tooShort[4] = 11;
    client.receive(tooShort);
    std::string tooLong = packet("abc");
    tooLong[4] = 1;
    tooLong[7] = 0x02;  // 32 MiB and a bit
    client.receive(tooLong);
    EXPECT_EQ(log.count("ERROR - Discarding ["), 2U);
    EXPECT_TRUE(log.contains("buffered bytes since no packet can have length [11]"));
    client.receive(packet("recovered"));
    EXPECT_TRUE(log.contains("Read 9 bytes from host"));
    client.close();
}

TEST(RdpPlugin, FailedHeaderWriteSkipsThePayload)
{
    FakeClient client;
    client.open();
    client.failWriteNumber = 1;
    const LogWatch log;
    client.receive(packet(kInitialise));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return log.contains("ERROR - Failed to write header to channel with error [5]"); }));
    EXPECT_TRUE(client.written().empty());
    client.close();
}

TEST(RdpPlugin, HostileStreamsAndChannelChurnNeverHurt)
{
    std::mt19937 random(20261206);
    for (int round = 0; round < 5; ++round) {
        FakeClient client;
        client.open();
        std::string noise;
        for (int piece = 0; piece < 200; ++piece) {
            noise.resize(random() % 64);
            for (char& byte : noise) {
                byte = static_cast<char>(random());
            }
            if (piece % 50 == 0) {
                noise += packet(kInitialise);
            }
            client.receive(noise);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        client.close();
    }
}
