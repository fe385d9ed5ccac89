#include "base/ProgramOutput.h"

#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

using Base::readProgramOutput;
using TestSupport::readWhole;
using TestSupport::TempDir;
using namespace std::chrono_literals;

namespace {

// Whether the process runs: not gone and not a zombie.
bool running(const std::string& pidFile)
{
    const std::string stat = readWhole("/proc/" + std::to_string(std::stoi(readWhole(pidFile))) + "/stat");
    const std::size_t end = stat.rfind(") ");
    return end != std::string::npos && stat[end + 2] != 'Z';
}

}  // namespace

TEST(ProgramOutput, EachRunIsItsOwnAndOnlyASuccessGivesOutput)
{
    TempDir dir;
    const std::string pid = dir.file("pid");
    const std::vector<std::string> shellPath{"PATH=/usr/bin:/bin"};
    dir.script("cvclient-tool", "echo found");
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        std::optional<std::string> expected;
        std::chrono::milliseconds limit = 10s;
        std::size_t outputLimit = Base::kProgramOutputLimit;
    };
    const Case cases[] = {
        {"trimmed output", dir.script("ok", "printf '  \\n jdoe \\n\\n'"), {}, {}, "jdoe"},
        {"nothing printed", dir.script("silent", "true"), {}, {}, ""},
        {"arguments and environment as given",
         dir.script("show", "printf '%s|' \"$#\" \"$@\" \"$LC_ALL\" \"${HOME-unset}\""),
         {"a b", "$(touch " + dir.file("ran") + ")", "'; echo x"},
         {"LC_ALL=C"},
         "3|a b|$(touch " + dir.file("ran") + ")|'; echo x|C|unset|"},
        {"non-zero exit", dir.script("fails", "echo jdoe; exit 3"), {}, {}, std::nullopt},
        {"ended by a signal", dir.script("killed", "echo jdoe; kill -9 $$"), {}, {}, std::nullopt},
        {"missing", dir.file("missing"), {}, {}, std::nullopt},
        {"not executable", dir.write("plain", "echo hello\n"), {}, {}, std::nullopt},
        {"found on PATH", "cvclient-tool", {}, {"PATH=relative:/nonexistent:" + dir.path()}, "found"},
        {"not on PATH", "cvclient-absent", {}, {"PATH=" + dir.path()}, std::nullopt},
        {"no PATH", "cvclient-tool", {}, {}, std::nullopt},
        {"output beyond the limit dropped", dir.script("long", "head -c 100000 /dev/zero | tr '\\0' x"), {},
         shellPath, std::string(1000, 'x'), 10s, 1000},
        {"noisy standard error", dir.script("noisy", "head -c 200000 /dev/zero | tr '\\0' e >&2; echo out"), {},
         shellPath, "out"},
        {"standard input", dir.script("input", "exec readlink /proc/self/fd/0"), {}, shellPath, "/dev/null"},
        {"descriptors", dir.script("fds", "exec ls /proc/self/fd"), {}, shellPath, "0\n1\n2\n3"},
        {"hangs", dir.script("hangs", "echo $$ > " + pid + "1; exec sleep 600"), {}, shellPath, std::nullopt, 300ms},
        {"closes its output and lingers",
         dir.script("lingers", "echo $$ > " + pid + "2; echo out; exec sleep 600 >/dev/null 2>&1"), {}, shellPath,
         std::nullopt, 300ms},
        {"hangs waiting for its own child",
         dir.script("waits", "echo $$ > " + pid + "3; sleep 600 & echo $! > " + pid + "4; wait"), {}, shellPath,
         std::nullopt, 300ms},
        {"ends, leaving a process behind", dir.script("leaves", "sleep 600 & echo $! > " + pid + "5; echo out"), {},
         shellPath, "out"},
    };

    // Descriptors of the caller's that are not close-on-exec, one low, one high.
    const int first = ::open(dir.write("held", "x").c_str(), O_RDONLY);
    const int high = fcntl(first, F_DUPFD, 100);
    ASSERT_GE(first, 0);
    ASSERT_GE(high, 100);
    // The caller's standard error, caught in a file meanwhile.
    const int saved = dup(STDERR_FILENO);
    const int caught = ::open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(dup2(caught, STDERR_FILENO), 0);
    const TestSupport::LogWatch log;
    for (const Case& test : cases) {
        EXPECT_EQ(readProgramOutput(test.program, test.arguments, test.environment, test.limit, test.outputLimit),
                  test.expected)
            << test.name;
    }
    dup2(saved, STDERR_FILENO);
    for (const int descriptor : {saved, caught, first, high}) {
        ::close(descriptor);
    }

    EXPECT_EQ(readWhole(dir.file("stderr")).substr(0, 200), "");
    EXPECT_TRUE(log.contains("VERBOSE - Program [" + dir.file("noisy") + "] wrote to its standard error [eeee"));
    EXPECT_TRUE(log.contains("WARNING - Program [" + dir.file("hangs") + "] did not finish within [300] ms"));
    EXPECT_NE(access(dir.file("ran").c_str(), F_OK), 0);
    // Programs that overran were killed with what they started, and reaped:
    // not even a zombie is left of them.
    for (const char* file : {"pid1", "pid2", "pid3"}) {
        EXPECT_NE(kill(std::stoi(readWhole(dir.file(file))), 0), 0) << file;
    }
    EXPECT_FALSE(running(dir.file("pid4")));
    // What a program that ended left behind is its own business.
    ASSERT_TRUE(running(dir.file("pid5")));
    kill(std::stoi(readWhole(dir.file("pid5"))), SIGKILL);
}

TEST(ProgramOutput, EnvironmentHasTheCLocaleAndTheAbsoluteSearchPath)
{
    TestSupport::ScopedEnv path("PATH", "/usr/bin::bin:.:/opt/tools/bin");
    EXPECT_EQ(Base::programEnvironment(), (std::vector<std::string>{"LC_ALL=C", "PATH=/usr/bin:/opt/tools/bin"}));
    TestSupport::ScopedEnv none("PATH", std::nullopt);
    EXPECT_EQ(Base::programEnvironment(), (std::vector<std::string>{"LC_ALL=C", "PATH=/bin:/usr/bin"}));
}
