// SPDX-License-Identifier: Apache-2.0
#include "base/Utilities.h"

#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <tuple>

TEST(Utilities, TrimCaseAndHexEscapes)
{
    for (const auto& [input, trimmed] : std::vector<std::pair<std::string, std::string>>{
             {"\t\r\v\f a b \n", "a b"}, {" \n ", ""}, {" \xC3\xA9 ", "\xC3\xA9"}, {"\xA0x\xA0", "\xA0x\xA0"}}) {
        std::string both = input;
        EXPECT_TRUE(&Utilities::trim(both) == &both && both == trimmed) << input;
    }
    std::string left = " x ";
    std::string right = " x ";
    EXPECT_EQ(Utilities::ltrim(left) + "|" + Utilities::rtrim(right), "x | x");
    EXPECT_EQ(Utilities::tolower("MiXeD 1_\xC3\x89") + Utilities::toupper("MiXeD"), "mixed 1_\xC3\x89MIXED");
    for (const auto& [input, decoded] : std::vector<std::pair<std::string, std::string>>{
             {"MY\\x20STICK", "MY STICK"}, {"\\X41\\X6a\\x6A", "Ajj"}, {"end\\x21", "end!"}, {"\\x4G", "\\x4G"},
             {"abc\\x4", "abc\\x4"}, {"trailing\\", "trailing\\"}, {"\\x", "\\x"},
             {"\\x5cx41", "\\x41"},  // a decoded byte never starts an escape of its own
             {"a\\x00b", std::string("a\0b", 3)}, {"\\xff\\xC3\\xa9", "\xFF\xC3\xA9"}}) {
        EXPECT_EQ(Utilities::decodeHexDelimited(input), decoded) << input;
    }
}

TEST(Utilities, FilesEnvironmentAndDates)
{
    const TestSupport::TempDir dir;
    EXPECT_EQ(Utilities::readFile(dir.write("file", "  first\nsecond \n\n")), "first\nsecond");
    EXPECT_EQ(Utilities::readFile(dir.file("absent")), "");
    EXPECT_EQ(Utilities::readFile(dir.path()), "");  // a directory reads as empty
    // A descriptor is read to its end, but no further than one byte past the limit.
    for (const auto& [size, limit, read] : std::vector<std::tuple<std::size_t, std::size_t, std::size_t>>{
             {0, 10, 0}, {10, 10, 10}, {11, 10, 11}, {20000, 10, 11}, {20000, 8192, 8193}, {20000, 100000, 20000}}) {
        const int file = open(dir.write("sized", std::string(size, 'x')).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(Utilities::readDescriptor(file, limit).value_or("?").size(), read) << size << " " << limit;
        close(file);
    }
    EXPECT_FALSE(Utilities::readDescriptor(-1, 10));
    EXPECT_TRUE(Utilities::existsFile(dir.path()) && !Utilities::existsFile(dir.file("absent")));
    {
        const TestSupport::ScopedEnv empty("CVCLIENT_UTILITIES_TEST", std::string());
        EXPECT_EQ(Utilities::getEnvironmentVariable("CVCLIENT_UTILITIES_TEST", "default"), "");
    }
    EXPECT_EQ(Utilities::getEnvironmentVariable("CVCLIENT_UTILITIES_TEST", "default"), "default");
    EXPECT_EQ(Utilities::parseDateFromString("03/15/2019", "%m/%d/%Y", "%Y-%m-%dT%H:%M:%SZ"), "2019-03-15T00:00:00Z");
    const TestSupport::LogWatch log;
    EXPECT_EQ(Utilities::parseDateFromString("2019-03-15", "%m/%d/%Y", "%Y-%m-%d"), "2019-03-15");
    EXPECT_TRUE(log.contains(" : parseDateFromString : ERROR - Failed to parse time from text\n")) << log.text();
}
