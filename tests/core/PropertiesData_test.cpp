#include "core/PropertiesData.h"
#include "support/Json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using TestSupport::memberNames;
using TestSupport::Names;
using TestSupport::textOf;

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const MessageEnvelope::Device kDevice{"thin-01", "33221100-5544-7746-8899-AABBCCDDEEFF", "IGEL"};

TEST(PropertiesData, WritesTheEnvelopeAndBodyInOrder)
{
    const PropertyMap updated{{"DEVICE_OS_TYPE", "Client"}, {"DEVICE_NAME", "thin-01"}, {"A_FIRST", ""}};
    const std::vector<std::string> removed{"ZED", "ALPHA"};
    for (const std::string type : {"initializeDeviceProperties", "updateDeviceProperties"}) {
        SCOPED_TRACE(type);
        const PropertiesData message(kDevice, type, updated, removed);
        EXPECT_THAT(message.text(), StartsWith(R"({"id":")" + type + R"(","index":)"));
        const rapidjson::Document document = TestSupport::parseMessage(message);
        ASSERT_TRUE(document.IsObject());

        EXPECT_EQ(memberNames(document), (Names{"id", "index", "version", "time", "data"}));
        EXPECT_EQ(textOf(document["id"]), type);
        EXPECT_TRUE(document["index"].IsUint());
        ASSERT_TRUE(document["version"].IsInt());
        EXPECT_EQ(document["version"].GetInt(), 1);
        ASSERT_TRUE(document["time"].IsString());
        EXPECT_GT(document["time"].GetStringLength(), 0U);

        const rapidjson::Value& data = document["data"];
        ASSERT_TRUE(data.IsObject());
        EXPECT_EQ(memberNames(data),
                  (Names{"deviceName", "deviceId", "deviceOS", "multihopCount", "updated", "removed"}));
        ASSERT_TRUE(data["multihopCount"].IsInt());
        EXPECT_EQ(data["multihopCount"].GetInt(), 0);

        const rapidjson::Value& pairs = data["updated"];
        ASSERT_TRUE(pairs.IsArray());
        std::vector<std::pair<std::string, std::string>> read;
        for (const rapidjson::Value& pair : pairs.GetArray()) {
            ASSERT_TRUE(pair.IsArray());
            ASSERT_EQ(pair.Size(), 2U);
            ASSERT_TRUE(pair[0].IsString() && pair[1].IsString());
            read.emplace_back(textOf(pair[0]), textOf(pair[1]));
        }
        EXPECT_EQ(read, (std::vector<std::pair<std::string, std::string>>{
                            {"A_FIRST", ""}, {"DEVICE_NAME", "thin-01"}, {"DEVICE_OS_TYPE", "Client"}}));

        const rapidjson::Value& gone = data["removed"];
        ASSERT_TRUE(gone.IsArray());
        std::vector<std::string> keys;
        for (const rapidjson::Value& key : gone.GetArray()) {
            ASSERT_TRUE(key.IsString());
            keys.push_back(textOf(key));
        }
        EXPECT_EQ(keys, removed);
    }
}

TEST(PropertiesData, NamesTheDevice)
{
    const PropertiesData message(kDevice, "updateDeviceProperties", {}, {});
    EXPECT_THAT(message.text(), HasSubstr(R"("data":{"deviceName":"thin-01","deviceId":")" + kDevice.id +
                                          R"(","deviceOS":"IGEL","multihopCount":0,)"));
}

TEST(PropertiesData, EmptyChangesStillWriteBothArrays)
{
    const PropertiesData message(kDevice, "updateDeviceProperties", {}, {});
    const std::string text = message.text();
    EXPECT_THAT(text, HasSubstr(R"(,"multihopCount":0,"updated":[],"removed":[]}})"));
    const rapidjson::Document document = TestSupport::parseMessage(message);
    EXPECT_TRUE(document["data"]["updated"].IsArray());
    EXPECT_TRUE(document["data"]["updated"].Empty());
    EXPECT_TRUE(document["data"]["removed"].IsArray());
    EXPECT_TRUE(document["data"]["removed"].Empty());
}

TEST(PropertiesData, EscapesTextsAndKeepsThemWhole)
{
    struct Case {
        std::string value;
        std::string raw;  // as it appears between the quotes
    };
    const std::vector<Case> cases = {
        {R"(say "hi")", R"(say \"hi\")"},
        {R"(C:\path\x)", R"(C:\\path\\x)"},
        {"one\ntwo", R"(one\ntwo)"},
        {"tab\there\r", R"(tab\there\r)"},
        {"/usr/bin/get", "/usr/bin/get"},
        {std::string("nul\0inside", 10), R"(nul\u0000inside)"},
        {std::string("\0", 1), R"(\u0000)"},
        {"\x01\x1f", R"(\u0001\u001F)"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("raw [" + c.raw + "]");
        const PropertiesData message(kDevice, "updateDeviceProperties", {{"KEY", c.value}}, {c.value});
        const std::string text(message.text(), message.length());
        EXPECT_THAT(text, HasSubstr(R"("updated":[["KEY",")" + c.raw + R"("]],"removed":[")" + c.raw + R"("]})"));
        const rapidjson::Document document = TestSupport::parseMessage(message);
        EXPECT_EQ(textOf(document["data"]["updated"][0][1]), c.value);
        EXPECT_EQ(textOf(document["data"]["removed"][0]), c.value);
    }

    const PropertiesData keyed(kDevice, "updateDeviceProperties", {{std::string("K\0\"", 3), "v"}}, {});
    EXPECT_THAT(keyed.text(), HasSubstr(R"("updated":[["K\u0000\"","v"]])"));
    EXPECT_THAT(PropertiesData(kDevice, std::string("ty\"pe"), {}, {}).text(), StartsWith(R"({"id":"ty\"pe","index":)"));
}

TEST(PropertiesData, ConsecutiveMessagesTakeConsecutiveIndexes)
{
    const uint32_t next = PropertiesData::sMessageIndex.load();
    const PropertiesData first(kDevice, "updateDeviceProperties", {}, {});
    const PropertiesData second(kDevice, "initializeDeviceProperties", {}, {});
    const uint32_t firstIndex = TestSupport::parseMessage(first)["index"].GetUint();
    const uint32_t secondIndex = TestSupport::parseMessage(second)["index"].GetUint();
    EXPECT_EQ(firstIndex, next);
    EXPECT_EQ(secondIndex, firstIndex + 1);
    EXPECT_EQ(PropertiesData::sMessageIndex.load(), next + 2);
}

TEST(PropertiesData, IndexIsUnsignedAndWrapsToZero)
{
    const uint32_t saved = PropertiesData::sMessageIndex.load();
    PropertiesData::sMessageIndex.store(4294967295U);
    const PropertiesData last(kDevice, "updateDeviceProperties", {}, {});
    const PropertiesData wrapped(kDevice, "updateDeviceProperties", {}, {});
    PropertiesData::sMessageIndex.store(saved);

    EXPECT_THAT(last.text(), HasSubstr(R"("index":4294967295,)"));
    EXPECT_THAT(wrapped.text(), HasSubstr(R"("index":0,)"));
}

TEST(PropertiesData, ConcurrentMessagesTakeDistinctIndexes)
{
    constexpr int kThreads = 4;
    constexpr int kMessages = 50;
    const uint32_t start = PropertiesData::sMessageIndex.load();
    std::vector<std::vector<uint32_t>> indexes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&indexes, t] {
            for (int i = 0; i < kMessages; ++i) {
                const PropertiesData message(kDevice, "updateDeviceProperties", {{"K", std::to_string(i)}}, {});
                rapidjson::Document document;
                document.Parse(message.text());
                indexes[t].push_back(document["index"].GetUint());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<uint32_t> all;
    for (const auto& some : indexes) {
        all.insert(all.end(), some.begin(), some.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kMessages));
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i], start + i);
    }
}

}  // namespace
