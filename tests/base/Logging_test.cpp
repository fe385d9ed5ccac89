#include "base/Logging.h"

#include "base/InstrumentationBuffer.h"
#include "base/LogFile.h"
#include "base/SignalStack.h"
#include "core/cvclient.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <regex.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using TestSupport::LogWatch;
using TestSupport::readWhole;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kVariable = "CORVANE_LOGGING_FILE";
constexpr const char* kDefaultLogFile = "/tmp/cvclient.log";

// A whole-line POSIX extended regular expression.
class Pattern {
public:
    explicit Pattern(const std::string& expression)
    {
        _compiled = regcomp(&_regex, ("^" + expression + "$").c_str(), REG_EXTENDED) == 0;
        EXPECT_TRUE(_compiled) << expression;
    }
    ~Pattern()
    {
        if (_compiled) {
            regfree(&_regex);
        }
    }
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // True when `text` matches; `groups` receives the parenthesised parts.
    bool matches(const std::string& text, std::vector<std::string>* groups = nullptr) const
    {
        regmatch_t found[10];
        if (!_compiled || regexec(&_regex, text.c_str(), 10, found, 0) != 0) {
            return false;
        }
        if (groups != nullptr) {
            groups->clear();
            for (std::size_t i = 1; i <= _regex.re_nsub && i < 10; ++i) {
                groups->push_back(found[i].rm_so < 0 ? std::string()
                                                     : text.substr(found[i].rm_so, found[i].rm_eo - found[i].rm_so));
            }
        }
        return true;
    }

private:
    regex_t _regex{};
    bool _compiled = false;
};

constexpr const char* kClock = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} : ";

// Any line the library writes to its file.
bool isFileLine(const std::string& line)
{
    static const Pattern pattern(std::string(kClock) +
                                 "cvclient\\([0-9]+:[0-9]+\\) : [^ ]+ : ((ERROR|WARNING|INFO|VERBOSE) - .*|ENTER|EXIT)");
    return pattern.matches(line);
}

long threadId()
{
    return static_cast<long>(syscall(SYS_gettid));
}

// "cvclient(pid:tid) : " of the calling thread.
std::string ownPrefix()
{
    return "cvclient(" + std::to_string(getpid()) + ":" + std::to_string(threadId()) + ") : ";
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t found = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

// Tests that point the variable elsewhere put it back, and the flags.
class LoggingInit : public ::testing::Test {
protected:
    void pointLogAt(const std::optional<std::string>& value)
    {
        _env.reset();
        _env.emplace(kVariable, value);
    }

    void TearDown() override
    {
        _env.reset();
        TRACE_INIT(0);
    }

    std::optional<ScopedEnv> _env;
};

TEST(LoggingLines, StreamStatementsCarryTimePrefixLevelAndFunction)
{
    LogWatch log;
    TRACE_ERROR << "error line " << 1 << std::endl;
    TRACE_WARNING << "warning line " << 2.5 << std::endl;
    TRACE_INFO << "info line " << 'c' << std::endl;
    TRACE_VERBOSE << "verbose line" << std::endl;
    TRACE_ENTER;
    TRACE_EXIT;

    const std::string prefix = ownPrefix() + "TestBody : ";
    const std::vector<std::string> expected = {
        prefix + "ERROR - error line 1",
        prefix + "WARNING - warning line 2.5",
        prefix + "INFO - info line c",
        prefix + "VERBOSE - verbose line",
        prefix + "ENTER",
        prefix + "EXIT",
    };
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), expected.size()) << log.text();
    const Pattern clock(kClock);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_GE(lines[i].size(), 15U);
        EXPECT_TRUE(clock.matches(lines[i].substr(0, 15))) << lines[i];
        EXPECT_EQ(lines[i].substr(15), expected[i]);
    }
}

TEST(LoggingLines, TraceFunctionNamesTheLinesOfALambda)
{
    LogWatch log;
    [] {
        TRACE_FUNCTION("namedWork");
        TRACE_INFO << "inside lambda" << std::endl;
    }();
    EXPECT_THAT(log.text(), HasSubstr(ownPrefix() + "namedWork : INFO - inside lambda\n"));
}

TEST(LoggingLines, PiecesOfOneLineAreJoinedAndLongLinesKeptWhole)
{
    LogWatch log;
    TRACE_INFO << "first piece, ";
    std::clog << "second piece" << std::endl;
    const std::string longText(10000, 'L');
    TRACE_INFO << longText << std::endl;

    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 2U) << log.text();
    EXPECT_THAT(lines[0], EndsWith(ownPrefix() + "TestBody : INFO - first piece, second piece"));
    EXPECT_THAT(lines[1], EndsWith(ownPrefix() + "TestBody : INFO - " + longText));
}

TEST(LoggingLines, NulInsideALoggedValueKeepsTheLineWhole)
{
    LogWatch log;
    TRACE_INFO << "value [" << std::string("a\0b", 3) << "]" << std::endl;
    TRACE_INFO << "next line" << std::endl;

    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 2U) << log.text();
    EXPECT_THAT(lines[0], EndsWith(std::string("INFO - value [a\0b]", 18)));
    EXPECT_THAT(lines[1], EndsWith("INFO - next line"));
}

TEST(LoggingLines, LevelWithoutTextEmitsNothing)
{
    LogWatch log;
    std::clog << LogWarning << std::flush;
    std::clog << LogError;
    std::clog.flush();
    TRACE_INFO << "after empty statements" << std::endl;

    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 1U) << log.text();
    EXPECT_THAT(lines[0], EndsWith("TestBody : INFO - after empty statements"));
}

TEST(LoggingLines, EachThreadBuildsItsOwnLine)
{
    LogWatch log;
    TRACE_INFO << "main begins, ";
    long otherId = 0;
    std::thread other([&otherId] {
        TRACE_FUNCTION("other");
        otherId = threadId();
        TRACE_INFO << "other thread line" << std::endl;
    });
    other.join();
    std::clog << "main ends" << std::endl;

    const std::string pid = std::to_string(getpid());
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 2U) << log.text();
    EXPECT_THAT(lines[0], EndsWith("cvclient(" + pid + ":" + std::to_string(otherId) +
                                   ") : other : INFO - other thread line"));
    EXPECT_THAT(lines[1], EndsWith(ownPrefix() + "TestBody : INFO - main begins, main ends"));
    EXPECT_NE(otherId, threadId());
}

TEST(LoggingLog, WritesOnePrintfStyleLinePerCallWithTheLevelWord)
{
    const std::vector<std::pair<int, std::string>> levels = {
        {3, "ERROR"}, {4, "WARNING"}, {5, "ERROR"}, {6, "INFO"}, {7, "VERBOSE"},
    };
    for (const auto& [level, word] : levels) {
        SCOPED_TRACE("level " + std::to_string(level));
        LogWatch log;
        Log(level, "hostFunction", "number [%d] text [%s] hex [%x]", 42, "abc", 255);
        const std::vector<std::string> lines = linesOf(log.text());
        ASSERT_EQ(lines.size(), 1U) << log.text();
        EXPECT_THAT(lines[0], EndsWith(ownPrefix() + "hostFunction : " + word +
                                       " - number [42] text [abc] hex [ff]"));
        EXPECT_TRUE(isFileLine(lines[0])) << lines[0];
    }
}

TEST(LoggingLog, LongMessageDoesNotOverrunAndStaysOneLine)
{
    LogWatch log;
    const std::string longText(5000, 'x');
    Log(6, "hostFunction", "%s", longText.c_str());
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 1U);
    const std::string start = ownPrefix() + "hostFunction : INFO - x";
    ASSERT_THAT(lines[0], HasSubstr(start));
    const std::string message = lines[0].substr(lines[0].find(start) + start.size() - 1);
    EXPECT_EQ(message.find_first_not_of('x'), std::string::npos);
}

TEST(LoggingWriteLogFileLine, AddsTheTimeAndExactlyOneNewline)
{
    LogWatch log;
    Base::writeLogFileLine("without newline");
    Base::writeLogFileLine("with newline\n");
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 2U) << log.text();
    EXPECT_TRUE(Pattern(std::string(kClock) + "without newline").matches(lines[0])) << lines[0];
    EXPECT_TRUE(Pattern(std::string(kClock) + "with newline").matches(lines[1])) << lines[1];
}

TEST_F(LoggingInit, LaterCallsKeepTheOpenFileAppendAndAnnounceIt)
{
    const std::string own = std::getenv(kVariable);
    ASSERT_FALSE(own.empty());
    TRACE_INFO << "line of an earlier session" << std::endl;
    const LogWatch log;
    TempDir dir;
    pointLogAt(dir.file("other.log"));
    TRACE_INIT(2);

    EXPECT_EQ(Base::logFlags(), 2U);
    EXPECT_FALSE(std::ifstream(dir.file("other.log")).good());
    EXPECT_THAT(readWhole(own), HasSubstr("TestBody : INFO - line of an earlier session\n"));
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_EQ(lines.size(), 3U) << log.text();
    EXPECT_THAT(lines[0], EndsWith(ownPrefix() + "TRACE_INIT : WARNING - Keeping log file [" + own +
                                   "] open instead of [" + dir.file("other.log") + "]"));
    EXPECT_THAT(lines[1], HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Logging initialised with flags [2] file [" +
                                    own + "] version [" CVCLIENT_VERSION "] built ["));
    EXPECT_THAT(lines[1], HasSubstr("] now ["));
    EXPECT_THAT(lines[1], EndsWith("]"));
    EXPECT_THAT(lines[2], HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Module is ["));
    for (const std::string& line : lines) {
        EXPECT_TRUE(isFileLine(line)) << line;
    }

    // No program the library starts inherits the file.
    int descriptors = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == own) {
            ++descriptors;
            EXPECT_NE(fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    EXPECT_EQ(descriptors, 1);
}

// The first TRACE_INIT of a process chooses and opens the file. Each case
// runs in a new process made from this binary (a "threadsafe" death test runs
// the binary again up to its statement), whose first TRACE_INIT, in the test
// main, opens the path the parent prepared; only the parent prepares and
// checks. The statement initialises again with stdout echo, on stderr, where
// the parent reads it.
class LoggingFirstInit : public ::testing::Test {
protected:
    void SetUp() override
    {
        _style = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { GTEST_FLAG_SET(death_test_style, _style); }

    [[noreturn]] static void initialiseAgainAndExit()
    {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        TRACE_INIT(1);
        TRACE_INFO << "line after the second TRACE_INIT" << std::endl;
        std::_Exit(0);
    }

    // Every entry of `directory`: name, type, owner, mode and content.
    static std::string listing(const std::string& directory)
    {
        std::string text;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
            struct stat info {};
            lstat(entry.path().c_str(), &info);
            text += entry.path().filename().string() + " " + std::to_string(info.st_mode) + " " +
                    std::to_string(info.st_uid) + " ";
            text += S_ISLNK(info.st_mode) ? std::filesystem::read_symlink(entry.path()).string()
                    : S_ISREG(info.st_mode) ? readWhole(entry.path())
                                            : std::string();
            text += "\n";
        }
        return text;
    }

private:
    std::string _style;
};

TEST_F(LoggingFirstInit, EmptiesAPrivateFileOfItsOwnAndRefusesEverythingElse)
{
    struct Case {
        const char* name;
        std::function<std::string(const TempDir&)> prepare;  // gives the path
        std::string error;  // empty when the file is taken
    };
    const std::vector<Case> cases = {
        {"stale file of ours, readable by all",
         [](const TempDir& dir) { return dir.write("run.log", "stale line\n"); }, ""},
        {"default file (empty variable)", [](const TempDir&) { return std::string(); }, ""},
        {"symbolic link",
         [](const TempDir& dir) {
             symlink(dir.write("target", "target text\n").c_str(), dir.file("run.log").c_str());
             return dir.file("run.log");
         },
         "Too many levels of symbolic links"},
        {"file of another user",
         [](const TempDir& dir) {
             const std::string path = dir.write("run.log", "their text\n");
             chown(path.c_str(), 65534, 65534);
             return path;
         },
         "owned by user 65534, not 0"},
        {"second name of a file",
         [](const TempDir& dir) {
             link(dir.write("target", "target text\n").c_str(), dir.file("run.log").c_str());
             return dir.file("run.log");
         },
         "the file has 2 names"},
        {"FIFO without a reader",
         [](const TempDir& dir) {
             mkfifo(dir.file("run.log").c_str(), 0600);
             return dir.file("run.log");
         },
         "No such device or address"},
        {"missing directory", [](const TempDir& dir) { return dir.file("missing/run.log"); },
         "No such file or directory"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const bool parent = !::testing::internal::InDeathTestChild();
        std::optional<TempDir> dir;
        std::optional<ScopedEnv> variable;
        std::string path;
        std::string before;
        std::optional<std::string> savedDefault;
        if (parent) {
            dir.emplace();
            path = test.prepare(*dir);
            if (path.empty()) {
                path = kDefaultLogFile;
                struct stat info {};
                if (stat(kDefaultLogFile, &info) == 0) {
                    savedDefault = readWhole(kDefaultLogFile);
                }
            }
            before = listing(dir->path());
            variable.emplace(kVariable, path == kDefaultLogFile ? std::string() : path);
        }
        const std::string expected =
            test.error.empty() ? "INFO - Logging initialised with flags \\[1\\] file \\[" + path + "\\]"
                               : "ERROR - Failed to open log file \\[" + path + "\\] error \\[" + test.error +
                                     "\\].*INFO - Logging initialised with flags \\[1\\] file \\[\\] .*"
                                     "INFO - line after the second TRACE_INIT";
        EXPECT_EXIT(initialiseAgainAndExit(), ::testing::ExitedWithCode(0), expected);
        if (!parent) {
            continue;
        }
        if (!test.error.empty()) {
            EXPECT_EQ(listing(dir->path()), before);
            continue;
        }
        const std::string text = readWhole(path);
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info), 0);
        // The machine's default log file is put back as it was found.
        if (savedDefault) {
            std::ofstream(kDefaultLogFile, std::ios::binary | std::ios::trunc) << *savedDefault;
        } else if (path == kDefaultLogFile) {
            unlink(kDefaultLogFile);
        }
        EXPECT_EQ(info.st_mode & 07777, 0600U);
        EXPECT_THAT(text, Not(HasSubstr("stale line")));
        EXPECT_EQ(occurrences(text, "INFO - Logging initialised with flags ["), 2U) << text;
        EXPECT_THAT(text, HasSubstr("TRACE_INIT : INFO - Logging initialised with flags [0] file [" + path + "]"));
        EXPECT_THAT(text, HasSubstr("INFO - line after the second TRACE_INIT\n"));
    }
}

TEST(LoggingFile, PastTheBoundTheFileBecomesDotOneAndANewOneStarts)
{
    TempDir dir;
    const std::string path = dir.file("big.log");
    // A link at the older name is replaced, never followed.
    symlink(dir.write("target", "target text\n").c_str(), (path + ".1").c_str());
    Base::LogFile file;
    ASSERT_EQ(file.open(path), "");
    const int descriptor = file.descriptor();
    const std::string line(64 * 1024 - 1, 'x');
    const std::size_t lines = Base::LogFile::kRotateBytes / (64 * 1024) + 1;
    for (std::size_t i = 0; i < lines; ++i) {
        ASSERT_EQ(file.write((line + "\n").data(), line.size() + 1), "");
    }
    ASSERT_EQ(file.write("after\n", 6), "");

    struct stat older {};
    ASSERT_EQ(lstat((path + ".1").c_str(), &older), 0);
    EXPECT_TRUE(S_ISREG(older.st_mode));
    EXPECT_EQ(static_cast<std::size_t>(older.st_size), lines * 64 * 1024);
    EXPECT_EQ(readWhole(dir.file("target")), "target text\n");
    EXPECT_EQ(readWhole(path), "after\n");
    struct stat fresh {};
    ASSERT_EQ(stat(path.c_str(), &fresh), 0);
    EXPECT_EQ(fresh.st_mode & 07777, 0600U);
    EXPECT_EQ(file.descriptor(), descriptor);
    EXPECT_NE(fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);
}

TEST(LoggingContent, ShowsTheFirstKibibyteWholeAndTheFullLength)
{
    const std::string kib(1024, 'a');
    const std::string eAcute = "\xc3\xa9";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {kib, kib},
        {kib + "b", kib + "... (1024 of 1025 bytes)"},
        {kib + std::string(16 * 1024 * 1024, 'b'), kib + "... (1024 of 16778240 bytes)"},
        // A character is never cut in two.
        {kib.substr(1) + eAcute, kib.substr(1) + "... (1023 of 1025 bytes)"},
    };
    for (const auto& [content, shown] : cases) {
        std::ostringstream line;
        line << Base::LogContent{content};
        EXPECT_EQ(line.str(), shown) << content.size();
    }
}

TEST_F(LoggingInit, FlagBitZeroEchoesLinesToStdout)
{
    const LogWatch log;
    const std::string path = std::getenv(kVariable);
    ::testing::internal::CaptureStdout();
    TRACE_INIT(1);
    TRACE_INFO << "echoed" << std::endl;
    Log(6, "hostFunction", "echoed through %s", "Log");
    const std::string echoed = ::testing::internal::GetCapturedStdout();
    TRACE_INIT(0);
    ::testing::internal::CaptureStdout();
    TRACE_INFO << "not echoed" << std::endl;
    const std::string quiet = ::testing::internal::GetCapturedStdout();

    EXPECT_THAT(echoed, HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Logging initialised with flags [1] file [" + path));
    EXPECT_THAT(echoed, EndsWith(ownPrefix() + "TestBody : INFO - echoed\n" + ownPrefix() +
                                 "hostFunction : INFO - echoed through Log\n"));
    EXPECT_EQ(quiet, "");
    EXPECT_THAT(log.text(), HasSubstr("TestBody : INFO - not echoed\n"));
}

// Each worker writes `count` lines in pieces; returns its thread id.
void writeLines(int worker, int count, long& id)
{
    TRACE_FUNCTION("worker");
    id = threadId();
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            TRACE_INFO << "worker " << worker << " line " << i << " of " << count << " end" << std::endl;
        } else {
            Log(7, "worker", "worker %d line %d of %d end", worker, i, count);
        }
    }
}

TEST(LoggingThreads, ConcurrentThreadsNeverMixInsideALine)
{
    const LogWatch log;

    constexpr int kWorkers = 4;
    constexpr int kLines = 500;
    std::vector<long> ids(kWorkers);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back(writeLines, w, kLines, std::ref(ids[w]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const Pattern workerLine(std::string(kClock) + "cvclient\\(" + std::to_string(getpid()) +
                             ":([0-9]+)\\) : worker : (INFO|VERBOSE) - worker ([0-9]+) line ([0-9]+) of " +
                             std::to_string(kLines) + " end");
    std::vector<std::vector<bool>> seen(kWorkers, std::vector<bool>(kLines, false));
    int workerLines = 0;
    for (const std::string& line : linesOf(log.text())) {
        std::vector<std::string> match;
        if (!workerLine.matches(line, &match)) {
            EXPECT_TRUE(isFileLine(line)) << line;
            EXPECT_THAT(line, Not(HasSubstr("worker"))) << line;
            continue;
        }
        const int worker = std::stoi(match[2]);
        const int index = std::stoi(match[3]);
        ASSERT_LT(worker, kWorkers);
        ASSERT_LT(index, kLines);
        EXPECT_EQ(std::stol(match[0]), ids[worker]) << line;
        EXPECT_EQ(match[1], index % 2 == 0 ? "INFO" : "VERBOSE") << line;
        EXPECT_FALSE(seen[worker][index]) << line;
        seen[worker][index] = true;
        ++workerLines;
    }
    EXPECT_EQ(workerLines, kWorkers * kLines);
}

TEST(LoggingThreads, InitialisingAgainWhileThreadsLogKeepsLinesWhole)
{
    const LogWatch log;
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([&stop, &written, w] {
            TRACE_FUNCTION("worker");
            for (int i = 0; !stop.load() || i < 200; ++i) {
                TRACE_INFO << "worker " << w << " line " << i << " end" << std::endl;
                Log(6, "worker", "worker %d logs %d end", w, i);
                written.fetch_add(1);
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        TRACE_INIT(0);
    }
    while (written.load() < 600) {
        std::this_thread::yield();
    }
    TRACE_INIT(0);
    stop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::vector<std::string> lines = linesOf(log.text());
    EXPECT_GE(lines.size(), 1200U);
    for (const std::string& line : lines) {
        EXPECT_TRUE(isFileLine(line)) << line;
    }
}

// ---- Faults. Each case runs in a child process (a death test in the "fast"
// style forks this process, whose log file the child shares). The child sets
// what handled the signal before, initialises twice (the second call must not
// take the library's own handler for the previous one), and faults. An alarm
// ends a child that hangs.

void writeStderr(const char* text)
{
    (void)!write(STDERR_FILENO, text, std::strlen(text));
}

// A crash reporter: reports, puts the default action back and returns, so
// the fault repeats and ends the process.
void reportingHandler(int signal, siginfo_t* info, void*)
{
    writeStderr(signal == SIGSEGV && info->si_code > 0 ? "reporter saw a segmentation fault\n" : "reporter saw\n");
    ::signal(signal, SIG_DFL);
}

void exitingHandler(int)
{
    writeStderr("plain handler saw the signal\n");
    _exit(3);
}

void writeToLowAddress()
{
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

struct FaultWhileFormatted {};
std::ostream& operator<<(std::ostream& stream, FaultWhileFormatted)
{
    writeToLowAddress();
    return stream;
}

int recurse(int depth)
{
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    return depth >= 0 ? recurse(depth + 1) + frame[0] : 0;
}

struct FaultCase {
    const char* name;
    int signal;
    struct sigaction prior;
    void (*fault)();
    std::function<bool(int)> ends;
    const char* stderrPattern;
    std::string logged;  // the fault line's message; empty: no fault line at all
};

struct sigaction withHandler(void (*handler)(int, siginfo_t*, void*))
{
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    return action;
}

struct sigaction withPlain(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    return action;
}

[[noreturn]] void faultInChild(const FaultCase& test)
{
    alarm(120);
    sigaction(test.signal, &test.prior, nullptr);
    TRACE_INIT(0);
    TRACE_INIT(0);
    test.fault();
    std::_Exit(0);
}

TEST(LoggingFault, ReportsTheFaultAndEndsWithTheSignalOrHandsItOn)
{
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    using ::testing::ExitedWithCode;
    using ::testing::KilledBySignal;
    const std::string violation = "Fault handler called with segmentation violation at address [";
    const std::vector<FaultCase> cases = {
        {"a fault inside a log statement on a thread", SIGSEGV, withPlain(SIG_DFL),
         [] { std::thread([] { TRACE_ERROR << "half a line " << FaultWhileFormatted{} << std::endl; }).join(); },
         KilledBySignal(SIGSEGV), "", violation + "0x10] called from [0x"},
        {"SIGSEGV sent to a thread that logs without pause", SIGSEGV, withPlain(SIG_DFL),
         [] {
             std::atomic<bool> logging{false};
             std::thread logger([&logging] {
                 for (;;) {
                     TRACE_INFO << "busy logging" << std::endl;
                     logging.store(true);
                 }
             });
             while (!logging.load()) {
                 std::this_thread::yield();
             }
             pthread_kill(logger.native_handle(), SIGSEGV);
             logger.join();
         },
         KilledBySignal(SIGSEGV), "", "Fault handler called with signal [11]"},
        {"SIGSEGV sent to the process", SIGSEGV, withPlain(SIG_DFL), [] { kill(getpid(), SIGSEGV); },
         KilledBySignal(SIGSEGV), "", "Fault handler called with signal [11]"},
        {"SIGBUS sent to the process", SIGBUS, withPlain(SIG_DFL), [] { kill(getpid(), SIGBUS); },
         KilledBySignal(SIGBUS), "", "Fault handler called with signal [7]"},
        {"stack overflow on a thread with its signal stack", SIGSEGV, withPlain(SIG_DFL),
         [] {
             std::thread([] {
                 const Base::SignalStack stack;
                 recurse(0);
             }).join();
         },
         KilledBySignal(SIGSEGV), "", violation + "0x"},
        {"a crash reporter installed before", SIGSEGV, withHandler(&reportingHandler), &writeToLowAddress,
         KilledBySignal(SIGSEGV), "reporter saw a segmentation fault", violation + "0x10]"},
        {"a plain handler installed before", SIGBUS, withPlain(&exitingHandler), [] { kill(getpid(), SIGBUS); },
         ExitedWithCode(3), "plain handler saw the signal", "Fault handler called with signal [7]"},
        {"SIGSEGV sent while ignored before", SIGSEGV, withPlain(SIG_IGN), [] { kill(getpid(), SIGSEGV); },
         ExitedWithCode(0), "", ""},
    };
    for (const FaultCase& test : cases) {
        SCOPED_TRACE(test.name);
        const LogWatch log;
        EXPECT_EXIT(faultInChild(test), test.ends, test.stderrPattern);
        const std::string text = log.text();
        if (test.logged.empty()) {
            EXPECT_THAT(text, Not(HasSubstr("Fault handler called")));
            continue;
        }
        EXPECT_THAT(text, HasSubstr("onFaultHandler : ERROR - " + test.logged));
        EXPECT_THAT(text, HasSubstr("onFaultHandler : ERROR - Symbol (0): "));
        for (const std::string& line : linesOf(text)) {
            EXPECT_TRUE(isFileLine(line)) << line;
        }
    }
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
