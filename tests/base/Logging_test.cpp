#include "base/Logging.h"

#include "base/InstrumentationBuffer.h"
#include "core/cvclient.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
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

// Tests that point the log elsewhere put the test run's own file back.
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

TEST_F(LoggingInit, OpensTruncatesAndAnnouncesTheConfiguredFile)
{
    TempDir dir;
    const std::string path = dir.write("run.log", "stale line from an earlier run\n");
    const std::string previous = Base::logFilePath();
    pointLogAt(path);
    TRACE_INIT(2);

    EXPECT_EQ(Base::logFilePath(), path);
    EXPECT_EQ(Base::logFlags(), 2U);
    const std::string content = readWhole(path);
    EXPECT_THAT(content, Not(HasSubstr("stale line")));
    const std::vector<std::string> lines = linesOf(content);
    ASSERT_GE(lines.size(), 2U) << content;
    EXPECT_THAT(lines[0], HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Logging initialised with flags [2] file [" +
                                    path + "] version [" CVCLIENT_VERSION "] built ["));
    EXPECT_THAT(lines[0], HasSubstr("] now ["));
    EXPECT_THAT(lines[0], EndsWith("]"));
    EXPECT_THAT(lines[1], HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Module is ["));
    for (const std::string& line : lines) {
        EXPECT_TRUE(isFileLine(line)) << line;
    }

    // Later lines go to the new file only.
    const std::string previousBefore = readWhole(previous);
    TRACE_INFO << "after reopening" << std::endl;
    EXPECT_THAT(readWhole(path), HasSubstr("TestBody : INFO - after reopening\n"));
    EXPECT_EQ(readWhole(previous), previousBefore);
}

TEST_F(LoggingInit, UnsetOrEmptyVariableChoosesTheDefaultFile)
{
    // The machine's default log file is put back as it was found.
    struct stat info {};
    const bool existed = stat(kDefaultLogFile, &info) == 0;
    const std::string saved = readWhole(kDefaultLogFile);

    for (const std::optional<std::string>& value : {std::optional<std::string>(""), std::optional<std::string>()}) {
        SCOPED_TRACE(value ? "empty" : "unset");
        pointLogAt(value);
        TRACE_INIT(0);
        EXPECT_EQ(Base::logFilePath(), kDefaultLogFile);
        EXPECT_THAT(readWhole(kDefaultLogFile),
                    HasSubstr("Logging initialised with flags [0] file [" + std::string(kDefaultLogFile) + "]"));
    }

    _env.reset();
    TRACE_INIT(0);
    if (existed) {
        FILE* file = std::fopen(kDefaultLogFile, "w");
        ASSERT_NE(file, nullptr);
        std::fwrite(saved.data(), 1, saved.size(), file);
        std::fclose(file);
    } else {
        unlink(kDefaultLogFile);
    }
}

TEST_F(LoggingInit, UnopenableFileLeavesSyslogAndStdoutOnly)
{
    TempDir dir;
    const std::string path = dir.file("missing/directory/run.log");
    pointLogAt(path);
    ::testing::internal::CaptureStdout();
    TRACE_INIT(1);
    TRACE_INFO << "still logging" << std::endl;
    Log(4, "hostFunction", "still logging through %s", "Log");
    const std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(Base::logFilePath(), "");
    EXPECT_FALSE(std::ifstream(path).good());
    EXPECT_THAT(printed, HasSubstr(ownPrefix() + "TRACE_INIT : INFO - Logging initialised with flags [1] file [] "));
    EXPECT_THAT(printed, HasSubstr(ownPrefix() + "TestBody : INFO - still logging\n"));
    EXPECT_THAT(printed, HasSubstr(ownPrefix() + "hostFunction : WARNING - still logging through Log\n"));
}

TEST_F(LoggingInit, FlagBitZeroEchoesLinesToStdout)
{
    TempDir dir;
    const std::string path = dir.file("run.log");
    pointLogAt(path);
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
    EXPECT_THAT(readWhole(path), HasSubstr("TestBody : INFO - not echoed\n"));
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

TEST_F(LoggingInit, ConcurrentThreadsNeverMixInsideALine)
{
    TempDir dir;
    const std::string path = dir.file("threads.log");
    pointLogAt(path);
    TRACE_INIT(0);

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
    for (const std::string& line : linesOf(readWhole(path))) {
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

TEST_F(LoggingInit, ReinitialisingWhileThreadsLogKeepsLinesWhole)
{
    TempDir dir;
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    pointLogAt(first);
    TRACE_INIT(0);
    // Set before the threads start: they never read the environment.
    pointLogAt(second);

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

    EXPECT_EQ(Base::logFilePath(), second);
    for (const std::string& path : {first, second}) {
        SCOPED_TRACE(path);
        const std::vector<std::string> lines = linesOf(readWhole(path));
        EXPECT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            EXPECT_TRUE(isFileLine(line)) << line;
        }
    }
}

}  // namespace
