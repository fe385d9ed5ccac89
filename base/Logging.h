// SPDX-License-Identifier: Apache-2.0
// Logging: every line goes to syslog, the log file and (flag bit 0) stdout.
//
// Stream statements write into the buffer of std::clog, which TRACE_INIT
// replaces with an InstrumentationBuffer that keeps one line per thread:
//
//     TRACE_INFO << "Read " << length << " bytes from host" << std::endl;
//
// The macros put the level and the "cvclient(pid:tid) : function : LEVEL - "
// prefix in front; TRACE_ENTER / TRACE_EXIT write the entry and exit lines.
//
// TRACE_INIT also installs the fault handler for SIGFPE, SIGSEGV, SIGILL and
// SIGBUS: it writes the fault and a backtrace to the log file (and nothing
// else, since it may interrupt any code, logging included), then hands the
// signal on to what handled it before, so the process still ends with it.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

enum _LogLevel : int {
    LogError = 3,
    LogWarning = 4,
    LogInfo = 6,
    LogVerbose = 7,
};

// The two logging functions the library exports to C callers, with the same
// declarations as in the library's public header: TRACE_INIT opens the log
// (once) and installs the fault handlers; Log writes one printf-style line at
// one of the levels above.
extern "C" {
__attribute__((visibility("default"))) void TRACE_INIT(unsigned int flags);
__attribute__((visibility("default"))) void Log(int level, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
}

// Sets the level of the calling thread's current line.
std::ostream& operator<<(std::ostream& stream, const _LogLevel& level);

namespace Base {

// "cvclient(pid:tid) : function : LEVEL - "
struct LogPrefix {
    const char* function;
    _LogLevel level;
};
std::ostream& operator<<(std::ostream& stream, const LogPrefix& prefix);

// "cvclient(pid:tid) : function : ENTER" or ": EXIT"
struct LogMarker {
    const char* function;
    const char* marker;
};
std::ostream& operator<<(std::ostream& stream, const LogMarker& marker);

const char* levelWord(int level);

// Passes one line to syslog, unless the system has no syslog socket
// (/dev/log): then syslog would drop the line anyway, after a socket and a
// failed connect of its own for every line. Whether the socket is there is
// looked at again at most once a second.
void writeSyslogLine(int level, const char* text);

// Writes one finished line (with or without its newline) to the log file,
// preceded by the wall-clock time. Does nothing when no file is open.
// Starts a new file when the file passes its bound (see LogFile). `time`,
// when given, stands instead of the wall-clock time.
void writeLogFileLine(const std::string& line, const timeval* time = nullptr);

// Inbound and outbound content in a log line: at most the first
// kLogContentBytes, followed by "... (SHOWN of LENGTH bytes)" when cut.
//
//     TRACE_VERBOSE << "received content [" << Base::LogContent{text} << "]" << std::endl;
inline constexpr std::size_t kLogContentBytes = 1024;
struct LogContent {
    std::string_view text;
};
std::ostream& operator<<(std::ostream& stream, const LogContent& content);

// The calling thread's own log stream, writing into the buffer of std::clog.
// Each thread formats with its own stream, so one thread's number or pointer
// formatting never changes how another thread's line is written.
std::ostream& logStream();

// Flags word of the last TRACE_INIT (bit 0: echo every line to stdout).
unsigned int logFlags();

}  // namespace Base

// Inside a lambda __func__ is "operator()": TRACE_FUNCTION("name") names the
// function that the lambda's lines belong to.
inline constexpr const char* cvLogFunction = nullptr;
#define TRACE_FUNCTION(name) [[maybe_unused]] constexpr const char* cvLogFunction = (name)
#define CV_LOG_NAME (cvLogFunction != nullptr ? cvLogFunction : __func__)

#define CV_LOG(level) Base::logStream() << (level) << Base::LogPrefix{CV_LOG_NAME, (level)}
#define TRACE_ERROR CV_LOG(LogError)
#define TRACE_WARNING CV_LOG(LogWarning)
#define TRACE_INFO CV_LOG(LogInfo)
#define TRACE_VERBOSE CV_LOG(LogVerbose)
#define TRACE_ENTER Base::logStream() << LogVerbose << Base::LogMarker{CV_LOG_NAME, "ENTER"} << std::endl
#define TRACE_EXIT Base::logStream() << LogVerbose << Base::LogMarker{CV_LOG_NAME, "EXIT"} << std::endl
