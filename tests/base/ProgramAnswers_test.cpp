// SPDX-License-Identifier: Apache-2.0
#include "base/ProgramAnswers.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

// A program that tells what its input file holds runs once for as long as the file and the program stay as they
// were (a failure included); a change of either, a missing input or a file changed moments ago makes it run again,
// and once the change is old, the new answer is kept.
TEST(ProgramAnswers, KeptWhileTheProgramAndItsInputsStayAsTheyWere)
{
    const TestSupport::TempDir dir;
    const auto tool = [&](const std::string& name, const std::string& status) {
        return dir.script(name, "echo run >> '" + dir.file("runs") + "'\ncat '" + dir.file("input") + "'\nexit " + status);
    };
    const std::string reads = tool("reads", "0"), fails = tool("fails", "1"), input = dir.write("input", "one\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // older than any file system's tick
    const std::vector<std::string> missing{input, dir.file("missing")};
    std::optional<Base::ProgramAnswers::Round> round;
    const struct {
        std::function<void()> before;
        std::string program;
        std::vector<std::string> inputs;
        std::optional<std::string> expected;
        long runs;
    } steps[] = {
        {{}, reads, {input}, "one", 1}, {{}, reads, {input}, "one", 1}, {{}, fails, {input}, std::nullopt, 2},
        {{}, fails, {input}, std::nullopt, 2}, {{}, reads, missing, "one", 3}, {{}, reads, missing, "one", 4},
        {[&] { dir.write("input", "two\n"); }, reads, {input}, "two", 5}, {{}, reads, {input}, "two", 6},
        {[] { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }, reads, {input}, "two", 7},
        {{}, reads, {input}, "two", 7},
        // One round looks at each file once: a change within it is seen by the next round.
        {[&] { round.emplace(); }, reads, {input}, "two", 7},
        {[&] { dir.write("input", "three\n"); }, reads, {input}, "two", 7},
        {[&] { round.reset(); }, reads, {input}, "three", 8}, {[&] { tool("reads", "0"); }, reads, {}, "three", 9},
    };
    for (const auto& step : steps) {
        if (step.before) step.before();
        EXPECT_EQ(Base::ProgramAnswers::read(step.program, {"--key"}, step.inputs), step.expected) << step.runs;
        const std::string ran = TestSupport::readWhole(dir.file("runs"));
        EXPECT_EQ(std::count(ran.begin(), ran.end(), '\n'), step.runs);
    }
}
