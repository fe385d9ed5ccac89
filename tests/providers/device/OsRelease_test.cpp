// SPDX-License-Identifier: Apache-2.0
#include "providers/device/OsRelease.h"

#include <gtest/gtest.h>

using Fields = OsRelease::Fields;

TEST(OsRelease, FieldsAsTheFilesFormatDefinesThem)
{
    const std::pair<std::string, Fields> cases[] = {
        {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n",
         {{"PRETTY_NAME", "Debian GNU/Linux 12 (bookworm)"}, {"NAME", "Debian GNU/Linux"}, {"VERSION_ID", "12"},
          {"ID", "debian"}}},
        {"# comment\n\n  NAME='Ubuntu'\nVERSION_ID=22.04 # after a blank\n", {{"NAME", "Ubuntu"}, {"VERSION_ID", "22.04"}}},
        {"NAME=\"Fedora Linux\"\r\nVERSION_ID=39\r\n", {{"NAME", "Fedora Linux"}, {"VERSION_ID", "39"}}},
        {"NAME=\"Alpine Linux\"\nID=alpine\n", {{"NAME", "Alpine Linux"}, {"ID", "alpine"}}},
        // Escapes: in double quotes only $ ` " and backslash; unquoted any; single quotes none.
        {R"(A="a\"b\$c\`d\\e\n" B=x\ y C='p\q' D=one"two"'three')",
         {{"A", R"(a"b$c`d\e\n)"}}},
        {"A=\"a\\\"b\"\nB=x\\ y\nC='p\\q'\nD=one\"two\"'three'\n",
         {{"A", "a\"b"}, {"B", "x y"}, {"C", "p\\q"}, {"D", "onetwothree"}}},
        // Hostile: shell text stays text; broken lines and bad names are left out; the last value holds.
        {"NAME=\"$(rm -rf /)\"\nVERSION_ID=`id`;echo\nPRETTY_NAME=\"open\n1NAME=x\nNA-ME=y\nnoassignment\nID=a\nID=b\n",
         {{"NAME", "$(rm -rf /)"}, {"VERSION_ID", "`id`;echo"}, {"ID", "b"}}},
        {"", {}},
    };
    for (const auto& [text, fields] : cases) EXPECT_EQ(OsRelease::parse(text), fields) << text;
    const std::string longValue(1 << 20, 'x');
    EXPECT_EQ(OsRelease::parse("NAME=" + longValue + "\nID=z").at("NAME").size(), longValue.size());
}
