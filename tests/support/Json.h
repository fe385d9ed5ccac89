// SPDX-License-Identifier: Apache-2.0
// Reading the library's JSON messages in tests.
#pragma once
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <map>

namespace TestSupport {
inline std::string textOf(const rapidjson::Value& value) { return {value.GetString(), value.GetStringLength()}; }
// Parses a message, failing the test unless it is one JSON object (of exactly length() bytes).
inline rapidjson::Document parseJson(const std::string& text)
{
    rapidjson::Document document;
    EXPECT_TRUE(!document.Parse(text.c_str(), text.size()).HasParseError() && document.IsObject()) << text;
    return document;
}
// An answer text as it parses, an error or another type of root included.
inline rapidjson::Document parsed(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str());
    return document;
}
template <typename Message>
rapidjson::Document parseMessage(const Message& message)
{
    EXPECT_EQ(std::strlen(message.text()), message.length());
    return parseJson(std::string(message.text(), message.length()));
}
// A 20.1 host's Initialise message asking for `categories` ("{...},{...}").
inline std::string initialiseWith(const std::string& categories, int interval = 600000)
{
    return R"({"id":"Initialize","data":{"propertyCheckInterval":)" + std::to_string(interval) +
           R"(,"softwareVersion":"20.1.0.0","properties":[)" + categories + "]}}";
}
// The "updated" pairs of a message.
inline std::map<std::string, std::string> updatedPairs(const rapidjson::Value& message)
{
    std::map<std::string, std::string> pairs;
    for (const auto& pair : message["data"]["updated"].GetArray()) pairs[textOf(pair[0])] = textOf(pair[1]);
    return pairs;
}
}  // namespace TestSupport
