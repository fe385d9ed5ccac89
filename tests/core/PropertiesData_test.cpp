// SPDX-License-Identifier: Apache-2.0
#include "core/PropertiesData.h"

#include "support/Json.h"

#include <gtest/gtest.h>

TEST(PropertiesData, WritesTheWholeMessageWithItsIndex)
{
    const MessageEnvelope::Device device{"thin-01", "33221100-AABB", "IGEL"};
    const uint32_t saved = PropertiesData::sMessageIndex.exchange(4294967295U);
    const PropertiesData last(device, "updateDeviceProperties", {}, {});
    const PropertyMap updated{{"DEVICE_Q", R"(say "hi" C:\x)"}, {"A_FIRST", std::string("n\0\n\t\x01\xC3\xA9", 7)}};
    const PropertiesData message(device, "initializeDeviceProperties", updated, {"ZED", std::string("K\0", 2)});
    PropertiesData::sMessageIndex = saved;
    const std::string time = TestSupport::textOf(TestSupport::parseMessage(message)["time"]);
    EXPECT_FALSE(time.empty());
    EXPECT_EQ(std::string(message.text(), message.length()),
              R"({"id":"initializeDeviceProperties","index":0,"version":1,"time":")" + time +
                  R"(","data":{"deviceName":"thin-01","deviceId":"33221100-AABB","deviceOS":"IGEL","multihopCount":0,)"
                  R"("updated":[["A_FIRST","n\u0000\n\t\u0001)" "\xC3\xA9" R"("],["DEVICE_Q","say \"hi\" C:\\x"]],)"
                  R"("removed":["ZED","K\u0000"]}})");
    EXPECT_EQ(TestSupport::parseMessage(last)["index"].GetUint(), 4294967295U);
    EXPECT_NE(std::string(last.text()).find(R"(,"multihopCount":0,"updated":[],"removed":[]}})"), std::string::npos);
}
