// SPDX-License-Identifier: Apache-2.0
#include "base/ProgramOutput.h"

#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using Base::readProgramOutput;
using TestSupport::readWhole;
using namespace std::chrono_literals;

TEST(ProgramOutput, OnlyASuccessGivesOutputAndNothingOfTheCallersLeaks)
{
    TestSupport::TempDir dir;
    const std::vector<std::string> path{"PATH=/usr/bin:/bin"};
    dir.script("cvclient-tool", "echo found");
    const std::string ran = dir.file("ran");
    const struct {
        std::string program;
        std::vector<std::string> arguments, environment;
        std::optional<std::string> expected;
        std::chrono::milliseconds limit = 10s;
        std::size_t outputLimit = Base::kProgramOutputLimit;
    } cases[] = {
        {dir.script("ok", "printf '  \\n jdoe \\n\\n'"), {}, {}, "jdoe"},
        {dir.script("show", "printf '%s|' \"$#\" \"$@\" \"$LC_ALL\" \"${HOME-unset}\""),
         {"a b", "$(touch " + ran + ")", "'; echo x"}, {"LC_ALL=C"}, "3|a b|$(touch " + ran + ")|'; echo x|C|unset|"},
        {dir.script("fails", "echo jdoe; exit 3"), {}, {}, std::nullopt},
        {dir.script("killed", "echo jdoe; kill -9 $$"), {}, {}, std::nullopt},
        {dir.write("plain", "echo hello\n"), {}, {}, std::nullopt},
        {"cvclient-tool", {}, {"PATH=relative:/nonexistent:" + dir.path()}, "found"},
        {"cvclient-tool", {}, {}, std::nullopt},
        {dir.script("long", "head -c 100000 /dev/zero | tr '\\0' x"), {}, path, std::string(1000, 'x'), 10s, 1000},
        {dir.script("noisy", "head -c 200000 /dev/zero | tr '\\0' e >&2; echo out"), {}, path, "out"},
        {dir.script("fds", "readlink /proc/self/fd/0; exec ls /proc/self/fd"), {}, path, "/dev/null\n0\n1\n2\n3"},
        {dir.script("hangs", "echo $$ > " + dir.file("pid1") + "; sleep 600 & echo $! > " + dir.file("pid2") + "; wait"),
         {}, path, std::nullopt, 2s},
        {dir.script("leaves", "sleep 600 & echo $! > " + dir.file("pid3") + "; echo out"), {}, path, "out"},
    };
    // A descriptor of the caller's that is not close-on-exec, and the
    // caller's standard error caught in a file meanwhile.
    const int held = ::open(dir.path().c_str(), O_RDONLY);
    const int high = fcntl(held, F_DUPFD, 100);
    const int saved = dup(STDERR_FILENO);
    const int caught = ::open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(caught, STDERR_FILENO);
    const TestSupport::LogWatch log;
    for (const auto& test : cases) {
        EXPECT_EQ(readProgramOutput(test.program, test.arguments, test.environment, test.limit, test.outputLimit),
                  test.expected)
            << test.program;
    }
    dup2(saved, STDERR_FILENO);
    for (const int descriptor : {held, high, saved, caught}) close(descriptor);
    EXPECT_EQ(readWhole(dir.file("stderr")).substr(0, 200), "");
    EXPECT_TRUE(log.contains("WARNING - Program [" + dir.file("hangs") + "] did not finish within [2000] ms"));
    EXPECT_NE(access(ran.c_str(), F_OK), 0);
    // A program that overran is killed with what it started and reaped; what
    // a program that ended left behind is its own business.
    EXPECT_NE(kill(std::stoi(readWhole(dir.file("pid1"))), 0), 0);
    // The kill reaches the whole group at once, but a process takes a moment to end.
    const std::string stat = "/proc/" + std::to_string(std::stoi(readWhole(dir.file("pid2")))) + "/stat";
    EXPECT_TRUE(TestSupport::waitUntil([&] {
        const std::string state = readWhole(stat);
        return state.empty() || state.substr(state.rfind(") ") + 2, 1) == "Z";
    })) << readWhole(stat);
    EXPECT_EQ(kill(std::stoi(readWhole(dir.file("pid3"))), SIGKILL), 0);

    TestSupport::ScopedEnv variable("PATH", "/usr/bin::bin:.:/opt/tools/bin");
    EXPECT_EQ(Base::programEnvironment(), (std::vector<std::string>{"LC_ALL=C", "PATH=/usr/bin:/opt/tools/bin"}));
}
