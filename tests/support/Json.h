// Reading the library's JSON messages in tests.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>
#include <vector>

namespace TestSupport {

using Names = std::vector<std::string>;

// The member names of an object, in document order.
inline Names memberNames(const rapidjson::Value& object)
{
    Names names;
    for (const auto& member : object.GetObject()) {
        names.emplace_back(member.name.GetString(), member.name.GetStringLength());
    }
    return names;
}

inline std::string textOf(const rapidjson::Value& value)
{
    return std::string(value.GetString(), value.GetStringLength());
}

// Parses a message text, failing the test when it is not one JSON object.
inline rapidjson::Document parseJson(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    EXPECT_TRUE(document.IsObject()) << text;
    return document;
}

// Parses a serialised message, failing the test when it is not one JSON
// object of exactly length() bytes.
template <typename Message>
rapidjson::Document parseMessage(const Message& message)
{
    EXPECT_EQ(std::strlen(message.text()), message.length());
    return parseJson(std::string(message.text(), message.length()));
}

}  // namespace TestSupport
