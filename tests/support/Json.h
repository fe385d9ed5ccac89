// SPDX-License-Identifier: Apache-2.0
// Reading the library's JSON messages in tests.
#pragma once
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>

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
}  // namespace TestSupport
