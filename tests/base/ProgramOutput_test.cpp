#include "base/ProgramOutput.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using Base::readProgramOutput;
using TestSupport::TempDir;
using namespace std::chrono_literals;

TEST(ProgramOutput, ArgumentsAndEnvironmentReachTheProgramUnchangedAndUnsplit)
{
    TempDir dir;
    const std::string program = dir.script("show", "printf '%s|' \"$#\" \"$@\" \"$LC_ALL\" \"${HOME-unset}\"");
    const auto output = readProgramOutput(program, {"a b", "$(touch " + dir.file("ran") + ")", "'; echo x"},
                                          {"LC_ALL=C"}, 10s);
    ASSERT_TRUE(output);
    EXPECT_EQ(*output, "3|a b|$(touch " + dir.file("ran") + ")|'; echo x|C|unset|");
    EXPECT_NE(access(dir.file("ran").c_str(), F_OK), 0);
}

TEST(ProgramOutput, OutputIsTrimmedAndKeptWhateverTheExitStatus)
{
    TempDir dir;
    const std::string program = dir.script("fails", "printf '  \\n jdoe \\n\\n'; exit 3");
    EXPECT_EQ(readProgramOutput(program, {}, {}, 10s), std::optional<std::string>("jdoe"));
    EXPECT_EQ(readProgramOutput(dir.script("silent", "true"), {}, {}, 10s), std::optional<std::string>(""));
}

TEST(ProgramOutput, ProgramThatCannotStartIsNoOutput)
{
    TempDir dir;
    EXPECT_FALSE(readProgramOutput(dir.file("missing"), {}, {}, 10s));
    EXPECT_FALSE(readProgramOutput(dir.write("plain", "echo hello\n"), {}, {}, 10s));  // not executable
}

TEST(ProgramOutput, OutputBeyondTheLimitIsDropped)
{
    TempDir dir;
    const std::string program = dir.script("long", "head -c 100000 /dev/zero | tr '\\0' x");
    const auto output = readProgramOutput(program, {}, {"PATH=/usr/bin:/bin"}, 10s, 1000);
    ASSERT_TRUE(output);
    EXPECT_EQ(*output, std::string(1000, 'x'));
}

TEST(ProgramOutput, HungProgramIsStoppedAndReaped)
{
    TempDir dir;
    // One program never closes its output, the other closes it and goes on.
    const std::string silent = dir.script("hangs", "echo $$ > '" + dir.file("pid") + "'; exec sleep 600");
    const std::string detached =
        dir.script("lingers", "echo $$ > '" + dir.file("pid2") + "'; echo out; exec sleep 600 >/dev/null");
    EXPECT_FALSE(readProgramOutput(silent, {}, {"PATH=/usr/bin:/bin"}, 300ms));
    EXPECT_FALSE(readProgramOutput(detached, {}, {"PATH=/usr/bin:/bin"}, 300ms));
    for (const char* file : {"pid", "pid2"}) {
        const pid_t child = std::stoi(TestSupport::readWhole(dir.file(file)));
        // Reaped: no such process is left, not even a zombie.
        EXPECT_NE(kill(child, 0), 0) << file;
    }
}

TEST(ProgramOutput, ProgramSeesNoDescriptorsOfTheCaller)
{
    TempDir dir;
    const int first = ::open(dir.write("held", "x").c_str(), O_RDONLY);
    ASSERT_GE(first, 0);
    const int open = fcntl(first, F_DUPFD, 100);  // not close-on-exec
    ::close(first);
    ASSERT_GE(open, 100);
    const std::string program = dir.script("fds", "ls /proc/self/fd");
    const auto output = readProgramOutput(program, {}, {"PATH=/usr/bin:/bin"}, 10s);
    ::close(open);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->find(std::to_string(open) + "\n"), std::string::npos) << *output;
}
