#include "providers/ShellWord.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

// Every text comes back from a real shell exactly as it went in.
TEST(ShellWord, ShellTakesTheWordLiterally)
{
    TestSupport::TempDir dir;
    const std::string mark = dir.file("ran");
    for (const std::string& text : {std::string("plain"), std::string(""), std::string("two words"),
                                   std::string("it's"), std::string("'''"), std::string("\"$HOME\""),
                                   "$(touch " + mark + ")", "`touch " + mark + "`", std::string("a;b|c&d\\e\nf*")}) {
        const std::string command = "printf '%s' " + shellWord(text) + " > " + shellWord(dir.file("out"));
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(TestSupport::readWhole(dir.file("out")), text);
    }
    EXPECT_FALSE(std::filesystem::exists(mark));
}
