// SPDX-License-Identifier: Apache-2.0
#include "base/ProgramAnswers.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using Base::ProgramAnswers;
using TestSupport::readWhole;

// A program that tells what its input file holds runs once for as long as the file and the program stay as they
// were; a change of either, a missing input or a file changed moments ago makes it run again.
TEST(ProgramAnswers, KeptWhileTheProgramAndItsInputsStayAsTheyWere)
{
    const TestSupport::TempDir dir;
    const std::string runs = dir.file("runs");
    const auto tool = [&](const std::string& name, const std::string& status) {
        return dir.script(name, "echo run >> '" + runs + "'\ncat '" + dir.file("input") + "'\nexit " + status);
    };
    const std::string reads = tool("reads", "0"), fails = tool("fails", "1"), input = dir.write("input", "one\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // older than any file system's tick

    const auto runsAfter = [&](const std::string& program, const std::vector<std::string>& inputs,
                               std::optional<std::string> expected) {
        EXPECT_EQ(ProgramAnswers::read(program, {"--key"}, inputs), expected) << program;
        const std::string ran = readWhole(runs);
        return std::count(ran.begin(), ran.end(), '\n');
    };
    EXPECT_EQ(runsAfter(reads, {input}, "one"), 1);
    EXPECT_EQ(runsAfter(reads, {input}, "one"), 1);  // kept
    EXPECT_EQ(runsAfter(fails, {input}, std::nullopt), 2);
    EXPECT_EQ(runsAfter(fails, {input}, std::nullopt), 2);  // a failure is kept too
    EXPECT_EQ(runsAfter(reads, {input, dir.file("missing")}, "one"), 3);
    EXPECT_EQ(runsAfter(reads, {input, dir.file("missing")}, "one"), 4);  // never kept without its inputs

    dir.write("input", "two\n");  // the same size, moments ago
    EXPECT_EQ(runsAfter(reads, {input}, "two"), 5);
    EXPECT_EQ(runsAfter(reads, {input}, "two"), 6);
    tool("reads", "0");  // the program rewritten
    EXPECT_EQ(runsAfter(reads, {}, "two"), 7);
}
