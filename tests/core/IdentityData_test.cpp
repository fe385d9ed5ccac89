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

using ::testing::AnyOf;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

TEST(IdentityData, WritesTheEnvelopeAndTheEndpointInOrder)
{
    const IdentityData message;
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
    EXPECT_EQ(textOf(data["deviceOS"]), "IGEL");
    const std::string id = textOf(data["deviceId"]);
    EXPECT_THAT(id, AnyOf("Unavailable",
                          MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
}

TEST(IdentityData, NamesTheDeviceAsPropertyMessagesDo)
{
    const IdentityData identity;
    const PropertiesData properties("updateDeviceProperties", {}, {});
    const rapidjson::Document one = TestSupport::parseMessage(identity);
    const rapidjson::Document two = TestSupport::parseMessage(properties);
    for (const char* member : {"deviceName", "deviceId", "deviceOS"}) {
        SCOPED_TRACE(member);
        EXPECT_EQ(textOf(one["data"][member]), textOf(two["data"][member]));
    }
}

TEST(IdentityData, CountsItsOwnIndexesApartFromPropertyMessages)
{
    const IdentityData firstIdentity;
    const PropertiesData firstProperties("updateDeviceProperties", {}, {});
    const IdentityData secondIdentity;
    const PropertiesData secondProperties("updateDeviceProperties", {}, {});

    const uint32_t identityIndex = TestSupport::parseMessage(firstIdentity)["index"].GetUint();
    const uint32_t propertiesIndex = TestSupport::parseMessage(firstProperties)["index"].GetUint();
    EXPECT_EQ(TestSupport::parseMessage(secondIdentity)["index"].GetUint(), identityIndex + 1);
    EXPECT_EQ(TestSupport::parseMessage(secondProperties)["index"].GetUint(), propertiesIndex + 1);
    EXPECT_EQ(IdentityData::sMessageIndex.load(), identityIndex + 2);
}

}  // namespace
