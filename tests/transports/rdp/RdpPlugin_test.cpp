// The RDP plugin driven the way FreeRDP's dynamic channel manager drives it.
// The core's line "disconnected from the host" is the trace a disconnect leaves.
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/RdpClient.h"
#include "transports/Packets.h"

#include <gtest/gtest.h>

#include <string>

using TestSupport::LogWatch;

using TestSupport::kInitialise;
using TestSupport::packet;

// Registered once however often the entry point runs; an Initialise in pieces
// behind a skipped packet is answered with the header, then the payload.
TEST(RdpPlugin, RegistersOnceAndAnswersWithHeaderThenPayload)
{
    const LogWatch log;
    TestSupport::RdpClient client;
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.pluginName, "Corvane");
    EXPECT_EQ(client.listenerName, "Corvane");
    ASSERT_EQ(TestSupport::RdpClient::pluginEntry(&client.entry), 0U);
    EXPECT_EQ(client.registrations, 1);

    const std::string whole = packet("skipped", 2) + packet(kInitialise);
    EXPECT_EQ(client.receive(whole.substr(0, 30)), 0U);
    EXPECT_TRUE(log.contains("ERROR - Unable to handle content length [19] type [2] encoding [1]. Aborting packet."));
    EXPECT_EQ(client.receive(whole.substr(30)), 0U);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return client.written().size() == 2; }));
    const auto writes = client.written();
    EXPECT_EQ(writes[0] + writes[1], packet(writes[1]));
    EXPECT_EQ(writes[1].rfind(TestSupport::kAnswerStart, 0), 0U) << writes[1];
    EXPECT_EQ(writes[1].back(), '}') << writes[1];
    EXPECT_NE(writes[1].find(TestSupport::kVersionPair), std::string::npos);
    EXPECT_TRUE(client.close());
    EXPECT_EQ(log.count("] disconnected from the host"), 1U);
}
