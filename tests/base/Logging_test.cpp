// SPDX-License-Identifier: Apache-2.0
// Logging as an administrator sees it: the lines of the log file, the file itself (private, emptied, rotated,
// never anyone else's), long content cut in UTF-8, and the fault handler's report.
#include "base/Logging.h"

#include "base/LogFile.h"
#include "base/SignalStack.h"
#include "core/cvclient.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

namespace {

using TestSupport::LogWatch;
using TestSupport::readWhole;
using TestSupport::TempDir;

const std::string kClock = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} : ";
const std::regex kFileLine(kClock + "cvclient\\([0-9]+:[0-9]+\\) : [^ ]+ : ((ERROR|WARNING|INFO|VERBOSE) - .*|ENTER)");

std::string ownPrefix()
{
    return "cvclient(" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + ") : ";
}

// The lines of `text`, each of which must be a line of the library's (`clock`: the clock's part of it; then
// given without it).
std::vector<std::string> linesOf(const std::string& text, bool clock = true)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line); lines.push_back(clock ? line.substr(15) : line)) {
        EXPECT_TRUE(std::regex_match(clock ? line.substr(0, 15) : line, clock ? std::regex(kClock) : kFileLine))
            << line;
    }
    return lines;
}

TEST(Logging, EachStatementIsOneWholeLineWithProcessThreadFunctionAndLevel)
{
    const LogWatch log;
    const std::string me = ownPrefix(), body = me + "TestBody : ", host = me + "host : ";
    std::string other;
    TRACE_WARNING << "first piece, ";
    std::clog << "second piece " << 2.5 << std::endl;
    std::clog << LogWarning << std::flush;  // a level without text: no line
    TRACE_ENTER;
    for (const int level : {3, 4, 6, 7}) Log(level, "host", "[%d%s%x]", level, "abc", 255);
    Log(6, "host", "%s", std::string(5000, 'x').c_str());
    std::thread([&other] {
        TRACE_FUNCTION("other");
        TRACE_INFO << "other thread" << std::endl;
        other = ownPrefix();
    }).join();
    EXPECT_EQ(linesOf(log.text()),
              (std::vector<std::string>{body + "WARNING - first piece, second piece 2.5", body + "ENTER",
                                        host + "ERROR - [3abcff]", host + "WARNING - [4abcff]",
                                        host + "INFO - [6abcff]", host + "VERBOSE - [7abcff]",
                                        host + "INFO - " + std::string(511, 'x'), other + "other : INFO - other thread"}));
}

TEST(Logging, LongContentShowsTheFirstKibibyteWithoutCuttingACharacter)
{
    const std::string kib(1024, 'a');
    for (const auto& [content, shown] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {kib, kib}, {kib + std::string(16 << 20, 'b'), kib + "... (1024 of 16778240 bytes)"},
             {kib.substr(1) + "\xc3\xa9", kib.substr(1) + "... (1023 of 1025 bytes)"}}) {
        std::ostringstream line;
        line << Base::LogContent{content};
        EXPECT_EQ(line.str(), shown) << content.size();
    }
}

// The file is emptied and made private, or refused and left as it is; past the bound it becomes PATH.1 (a
// link there is replaced, never followed) and a new one starts on the same descriptor.
TEST(Logging, TheFileIsPrivateOfItsOwnAndRotated)
{
    TempDir dir;
    const std::string path = dir.file("run.log");
    const std::string kept = dir.write("kept", "kept\n");
    const std::vector<std::pair<std::function<void()>, std::string>> refusals = {
        {[&] { symlink(kept.c_str(), path.c_str()); }, "Too many levels of symbolic links"},
        {[&] { link(kept.c_str(), path.c_str()); }, "the file has 2 names"},
        {[&] { chown(dir.write("run.log", "kept\n").c_str(), 65534, 0); }, "owned by user 65534, not 0"},
        {[&] { mkfifo(path.c_str(), 0600); }, "No such device or address"},
        {[&] { mkdir(path.c_str(), 0700); }, "Is a directory"},
        {[&] { chmod(dir.write("run.log", "stale\n").c_str(), 0644); }, ""},
    };
    Base::LogFile file;
    for (const auto& [prepare, refusal] : refusals) {
        std::filesystem::remove(path);
        prepare();
        EXPECT_EQ(file.open(path), refusal);
        EXPECT_EQ(readWhole(kept), "kept\n");
        EXPECT_TRUE(!std::filesystem::is_regular_file(path) || readWhole(path) == (refusal.empty() ? "" : "kept\n"));
    }
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600));
    symlink(kept.c_str(), (path + ".1").c_str());
    const int descriptor = file.descriptor();
    const std::string line(64 * 1024 - 1, 'x');
    const std::size_t lines = Base::LogFile::kRotateBytes / (64 * 1024) + 1;
    for (std::size_t i = 0; i < lines; ++i) ASSERT_EQ(file.write((line + "\n").data(), line.size() + 1), "");
    ASSERT_EQ(file.write("after\n", 6), "");
    EXPECT_EQ(std::filesystem::file_size(path + ".1"), lines * 64 * 1024);
    EXPECT_EQ(readWhole(kept), "kept\n");
    EXPECT_EQ(readWhole(path), "after\n");
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(file.descriptor(), descriptor);
    EXPECT_NE(fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);  // no program the library starts inherits it
}

TEST(Logging, ConcurrentLinesStayWholeWhileLoggingIsInitialisedAgain)
{
    const LogWatch log;
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
        threads.emplace_back([w] {
            TRACE_FUNCTION("worker");
            for (int i = 0; i < 300; i += 2) {
                TRACE_INFO << "worker " << w << " line " << i << " end" << std::endl;
                Log(7, "worker", "worker %d line %d end", w, i + 1);
            }
        });
    }
    TempDir dir;
    const std::string own = LogWatch::logFile();
    const TestSupport::ScopedEnv variable("CORVANE_LOGGING_FILE", dir.file("other.log"));
    for (int round = 0; round < 20; ++round) TRACE_INIT(0);
    std::for_each(threads.begin(), threads.end(), [](std::thread& thread) { thread.join(); });
    EXPECT_FALSE(std::filesystem::exists(dir.file("other.log")));
    EXPECT_EQ(log.count("TRACE_INIT : WARNING - Keeping log file [" + own + "] open instead of [" +
                        dir.file("other.log") + "]\n"), 20U);
    const std::regex workerLine(kClock + "cvclient\\([0-9]+:[0-9]+\\) : worker : (INFO|VERBOSE) - (worker .*) end");
    std::set<std::string> seen;
    for (const std::string& line : linesOf(log.text(), false)) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, workerLine) ? seen.insert(match[2]).second
                                                              : line.find("worker") == std::string::npos) << line;
    }
    EXPECT_EQ(seen.size(), 1200U);
}

// ---- Faults. Each case runs in a child process (a "fast" death test forks this process, whose log file the
// child shares). The child sets what handled the signal before, initialises twice (the second call must not
// take the library's own handler for the previous one), and faults.
struct FaultWhileFormatted {};
std::ostream& operator<<(std::ostream& stream, FaultWhileFormatted)
{
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
    return stream;
}

int recurse(int depth)
{
    volatile char frame[256] = {static_cast<char>(depth)};
    return depth >= 0 ? recurse(depth + 1) + frame[0] : 0;
}

TEST(Logging, FaultsAreReportedAndEndWithTheSignalOrGoToTheHandlerBefore)
{
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    struct sigaction reporter {}, ignoring {};
    // A crash reporter: reports, puts the default action back and returns, so the fault repeats.
    reporter.sa_flags = SA_SIGINFO;
    reporter.sa_sigaction = [](int signal, siginfo_t* info, void*) {
        (void)!write(STDERR_FILENO, "reporter saw a fault with an address\n", info->si_code > 0 ? 37 : 17);
        ::signal(signal, SIG_DFL);
    };
    ignoring.sa_handler = SIG_IGN;
    const auto killed = ::testing::KilledBySignal(SIGSEGV);
    const std::string violation = "Fault handler called with segmentation violation at address [0x";
    const struct {
        struct sigaction prior;
        void (*fault)();
        std::function<bool(int)> ends;
        const char* stderrPattern;
        std::string logged;  // the fault line's message; empty: no fault line at all
    } cases[] = {
        {{}, [] { std::thread([] { TRACE_ERROR << "half a line " << FaultWhileFormatted{} << std::endl; }).join(); },
         killed, "", violation + "10] called from [0x"},
        {{},
         [] {  // the handler never waits for the lock a logging thread holds
             static std::atomic<bool> logging{false};
             std::thread logger([] { for (;; logging = true) { TRACE_INFO << "busy logging" << std::endl; } });
             for (; !logging; std::this_thread::yield()) {
             }
             pthread_kill(logger.native_handle(), SIGSEGV);
             logger.join();
         },
         killed, "", "Fault handler called with signal [11]"},
        {{}, [] { std::thread([] { const Base::SignalStack stack; recurse(0); }).join(); }, killed, "", violation},
        {reporter, [] { std::clog << FaultWhileFormatted{}; }, killed, "reporter saw a fault with an address",
         violation + "10]"},
        {ignoring, [] { kill(getpid(), SIGSEGV); }, ::testing::ExitedWithCode(0), "", ""},
    };
    for (const auto& test : cases) {
        const LogWatch log;
        EXPECT_EXIT(
            {
                alarm(120);
                sigaction(SIGSEGV, &test.prior, nullptr);
                TRACE_INIT(0);
                TRACE_INIT(0);
                test.fault();
                std::_Exit(0);
            },
            test.ends, test.stderrPattern) << test.logged;
        const std::string text = log.text();
        EXPECT_EQ(text.find("Fault handler called") != std::string::npos, !test.logged.empty()) << text;
        EXPECT_TRUE(test.logged.empty() || (text.find("onFaultHandler : ERROR - " + test.logged) != std::string::npos &&
                                            text.find("onFaultHandler : ERROR - Symbol (0): ") != std::string::npos))
            << text;
        for (const std::string& line : linesOf(text, false)) EXPECT_LT(line.size(), 1000U);
    }
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
