#include "base/Utilities.h"

#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using TestSupport::LogWatch;
using TestSupport::readWhole;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using ::testing::HasSubstr;

TEST(UtilitiesTrim, RemovesWhitespaceOnTheRightSidesAndReturnsTheSameString)
{
    struct Case {
        std::string input;
        std::string trimmed;
        std::string left;
        std::string right;
    };
    const std::vector<Case> cases = {
        {"  a b \n", "a b", "a b \n", "  a b"},
        {"\t\r\v\f x \f\v\r\t", "x", "x \f\v\r\t", "\t\r\v\f x"},
        {" \n\t ", "", "", ""},
        {"", "", "", ""},
        {"inner  space", "inner  space", "inner  space", "inner  space"},
        // Bytes outside ASCII are not whitespace.
        {" \xC3\xA9t\xC3\xA9 ", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9 ", " \xC3\xA9t\xC3\xA9"},
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input [" + c.input + "]");
        std::string both = c.input;
        std::string left = c.input;
        std::string right = c.input;
        EXPECT_EQ(&Utilities::trim(both), &both);
        EXPECT_EQ(&Utilities::ltrim(left), &left);
        EXPECT_EQ(&Utilities::rtrim(right), &right);
        EXPECT_EQ(both, c.trimmed);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(right, c.right);
    }
}

TEST(UtilitiesCase, FoldsAsciiLettersIntoACopy)
{
    const std::string mixed = "MiXeD 123 _-\xC3\x89";
    EXPECT_EQ(Utilities::tolower(mixed), "mixed 123 _-\xC3\x89");
    EXPECT_EQ(Utilities::toupper(mixed), "MIXED 123 _-\xC3\x89");
    EXPECT_EQ(mixed, "MiXeD 123 _-\xC3\x89");
    EXPECT_EQ(Utilities::tolower(""), "");
}

TEST(UtilitiesDecodeHexDelimited, DecodesEscapesAndLeavesEverythingElse)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\\x41\\x42", "AB"},
        {"MY\\x20STICK", "MY STICK"},
        {"\\X41\\X6a\\x6A", "Ajj"},
        {"end\\x21", "end!"},
        {"\\x4G", "\\x4G"},
        {"abc\\x4", "abc\\x4"},
        {"a\\b\\cde", "a\\b\\cde"},
        {"trailing\\", "trailing\\"},
        {"\\y41", "\\y41"},
        {"\\x", "\\x"},
        {"\\x4", "\\x4"},
        {"abc", "abc"},
        {"", ""},
        // A decoded byte never starts an escape of its own.
        {"\\x5cx41", "\\x41"},
        {"\\x5c\\x41", "\\A"},
        {"\\x00", std::string(1, '\0')},
        {"a\\x00b", std::string("a\0b", 3)},
        {"\\xff\\xC3\\xa9", "\xFF\xC3\xA9"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE("input [" + input + "]");
        EXPECT_EQ(Utilities::decodeHexDelimited(input), expected);
    }
}

TEST(UtilitiesExistsFile, IsTrueForReadablePathsOnly)
{
    TempDir dir;
    const std::string file = dir.write("present", "x");
    EXPECT_TRUE(Utilities::existsFile(file));
    EXPECT_TRUE(Utilities::existsFile(dir.path()));
    EXPECT_FALSE(Utilities::existsFile(dir.file("absent")));
    EXPECT_FALSE(Utilities::existsFile(dir.file("absent/below")));
    EXPECT_FALSE(Utilities::existsFile(""));

    // Root reads everything, whatever the mode says.
    const std::string locked = dir.write("locked", "x");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(Utilities::existsFile(locked), geteuid() == 0);
}

TEST(UtilitiesGetEnvironmentVariable, DistinguishesEmptyFromUnset)
{
    const std::string name = "CVCLIENT_UTILITIES_TEST_VARIABLE";
    {
        ScopedEnv env(name, std::string("value with spaces "));
        EXPECT_EQ(Utilities::getEnvironmentVariable(name, "default"), "value with spaces ");
    }
    {
        ScopedEnv env(name, std::string());
        EXPECT_EQ(Utilities::getEnvironmentVariable(name, "default"), "");
    }
    {
        ScopedEnv env(name, std::nullopt);
        EXPECT_EQ(Utilities::getEnvironmentVariable(name, "default"), "default");
        EXPECT_EQ(Utilities::getEnvironmentVariable(name, ""), "");
    }
}

TEST(UtilitiesReadFile, ReadsTrimmedContent)
{
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  hello world \n\n", "hello world"},
        {"first\nsecond\n", "first\nsecond"},
        {"\n\t \n", ""},
        {"", ""},
        {"no newline", "no newline"},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE("content [" + content + "]");
        const std::string path = dir.write("file", content);
        EXPECT_EQ(Utilities::readFile(path), expected);
    }
}

TEST(UtilitiesReadFile, MissingFileReadsAsEmptyAndIsLogged)
{
    TempDir dir;
    const std::string path = dir.file("absent");
    LogWatch log;
    EXPECT_EQ(Utilities::readFile(path), "");
    EXPECT_THAT(log.text(), HasSubstr(" : readFile : VERBOSE - Read bytes [0] from [" + path + "]\n"));
}

TEST(UtilitiesParseDateFromString, ReformatsMatchingText)
{
    struct Case {
        std::string text;
        std::string inputFormat;
        std::string outputFormat;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"03/15/2019", "%m/%d/%Y", "%Y-%m-%dT%H:%M:%SZ", "2019-03-15T00:00:00Z"},
        {"2020-12-31 23:59:58", "%Y-%m-%d %H:%M:%S", "%d.%m.%Y %H:%M:%S", "31.12.2020 23:59:58"},
        {"1/2/2003", "%m/%d/%Y", "%Y%m%d", "20030102"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text [" + c.text + "]");
        EXPECT_EQ(Utilities::parseDateFromString(c.text, c.inputFormat, c.outputFormat), c.expected);
    }
}

TEST(UtilitiesParseDateFromString, ReturnsNonMatchingTextUnchangedAndLogsAnError)
{
    for (const std::string text : {"yesterday", "2019-03-15", ""}) {
        SCOPED_TRACE("text [" + text + "]");
        LogWatch log;
        EXPECT_EQ(Utilities::parseDateFromString(text, "%m/%d/%Y", "%Y-%m-%d"), text);
        EXPECT_THAT(log.text(), HasSubstr(" : parseDateFromString : ERROR - Failed to parse time from text\n"));
    }
}

}  // namespace
