#include "core/IdentityData.h"

#include "core/PropertiesData.h"
#include "support/Json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using TestSupport::memberNames;
using TestSupport::Names;
using TestSupport::textOf;

using ::testing::MatchesRegex;
using ::testing::StartsWith;

const MessageEnvelope::Device kDevice{"thin-01", "33221100-5544-7746-8899-AABBCCDDEEFF", "IGEL"};

TEST(IdentityData, WritesTheEnvelopeAndTheEndpointInOrder)
{
    const IdentityData message(kDevice);
    EXPECT_THAT(message.text(), StartsWith(R"({"id":"identity","index":)"));
    const rapidjson::Document document = TestSupport::parseMessage(message);
    ASSERT_TRUE(document.IsObject());

    EXPECT_EQ(memberNames(document), (Names{"id", "index", "version", "time", "data"}));
    EXPECT_TRUE(document["index"].IsUint());
    ASSERT_TRUE(document["version"].IsInt());
    EXPECT_EQ(document["version"].GetInt(), 1);
    ASSERT_TRUE(document["time"].IsString());
    EXPECT_GT(document["time"].GetStringLength(), 0U);

    const rapidjson::Value& data = document["data"];
    ASSERT_TRUE(data.IsObject());
    EXPECT_EQ(memberNames(data), (Names{"deviceName", "deviceId", "deviceOS", "clientVersion"}));
    EXPECT_EQ(textOf(data["clientVersion"]), CVCLIENT_VERSION);
    EXPECT_THAT(textOf(data["clientVersion"]), MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+"));
    EXPECT_EQ(textOf(data["deviceName"]), kDevice.name);
    EXPECT_EQ(textOf(data["deviceId"]), kDevice.id);
    EXPECT_EQ(textOf(data["deviceOS"]), kDevice.os);
}

TEST(IdentityData, CountsItsOwnIndexesApartFromPropertyMessages)
{
    const IdentityData firstIdentity(kDevice);
    const PropertiesData firstProperties(kDevice, "updateDeviceProperties", {}, {});
    const IdentityData secondIdentity(kDevice);
    const PropertiesData secondProperties(kDevice, "updateDeviceProperties", {}, {});

    const uint32_t identityIndex = TestSupport::parseMessage(firstIdentity)["index"].GetUint();
    const uint32_t propertiesIndex = TestSupport::parseMessage(firstProperties)["index"].GetUint();
    EXPECT_EQ(TestSupport::parseMessage(secondIdentity)["index"].GetUint(), identityIndex + 1);
    EXPECT_EQ(TestSupport::parseMessage(secondProperties)["index"].GetUint(), propertiesIndex + 1);
    EXPECT_EQ(IdentityData::sMessageIndex.load(), identityIndex + 2);
}

}  // namespace
