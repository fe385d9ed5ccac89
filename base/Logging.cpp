// SPDX-License-Identifier: Apache-2.0
#include "base/Logging.h"

#include "base/InstrumentationBuffer.h"
#include "base/LogFile.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace {

constexpr const char* kDefaultLogFile = "/tmp/cvclient.log";

std::atomic<unsigned int> gFlags{0};

// The log file, opened by the first TRACE_INIT that can open it and kept for
// the life of the process, past static destruction too: threads of the host
// may still log while the process exits. Writers take the mutex; the fault
// handler writes to its descriptor without it.
std::mutex gFileMutex;
Base::LogFile& gFile = *new Base::LogFile();

// Serialises TRACE_INIT calls of concurrent transport threads.
std::mutex gInitMutex;

// The stream buffer and its thread key are made once and kept for the life
// of the process: a thread that is still writing a line when TRACE_INIT runs
// again keeps a valid buffer.
std::once_flag gBufferOnce;
pthread_key_t gKey;
std::atomic<InstrumentationBuffer*> gBuffer{nullptr};

// The ids of a line's prefix, asked of the kernel once per thread rather than
// twice per line; a child made by fork() asks again, since its ids are new.
std::atomic<unsigned> gForks{0};
std::once_flag gForkHandlerOnce;
struct ThreadIds {
    unsigned forks = ~0U;
    // "cvclient(PROCESS:THREAD) : ", written once per thread. Plain
    // characters: a line logged while the thread's objects are destroyed
    // still finds it.
    char prefix[64] = {};
};
thread_local ThreadIds tIds;

// The calling thread's line prefix.
const char* idPrefix()
{
    std::call_once(gForkHandlerOnce,
                   [] { pthread_atfork(nullptr, nullptr, [] { gForks.fetch_add(1, std::memory_order_relaxed); }); });
    const unsigned forks = gForks.load(std::memory_order_relaxed);
    if (tIds.forks != forks) {
        tIds.forks = forks;
        std::snprintf(tIds.prefix, sizeof(tIds.prefix), "cvclient(%d:%ld) : ", static_cast<int>(getpid()),
                      static_cast<long>(syscall(SYS_gettid)));
    }
    return tIds.prefix;
}

void createBuffer()
{
    const int error = pthread_key_create(&gKey, &InstrumentationThreadState::cleanup);
    if (error != 0) {
        std::printf("Instrumentation failed to create thread local storage with error [%d]\n", error);
        return;
    }
    gBuffer.store(new InstrumentationBuffer(gKey), std::memory_order_release);
}

InstrumentationBuffer* currentBuffer(std::ostream& stream)
{
    InstrumentationBuffer* buffer = gBuffer.load(std::memory_order_acquire);
    return buffer != nullptr && stream.rdbuf() == buffer ? buffer : nullptr;
}

// "HH:MM:SS.mmm" of `seconds` and `microseconds`, local time.
void formatClock(std::time_t seconds, long microseconds, char (&clock)[16], int& milliseconds)
{
    milliseconds = static_cast<int>((microseconds + 500) / 1000);
    if (milliseconds > 999) {
        milliseconds -= 1000;
        ++seconds;
    }
    std::tm parts{};
    localtime_r(&seconds, &parts);
    std::strftime(clock, sizeof(clock), "%H:%M:%S", &parts);
}

// ---- Fault handling. Everything the handler touches is prepared by
// TRACE_INIT; the handler itself only formats into its own stack buffer and
// writes with write(2).

struct FaultSignal {
    int number;
    const char* failure;
};
constexpr FaultSignal kFaultSignals[] = {
    {SIGFPE, "Failed to set floating point fault handler"},
    {SIGSEGV, "Failed to set segment violation fault handler"},
    {SIGILL, "Failed to set illegal instruction fault handler"},
    {SIGBUS, "Failed to set bus error fault handler"},
};
constexpr int kFaultSignalCount = static_cast<int>(std::size(kFaultSignals));

// What each signal did before our handler took it over; written only while
// our handler is not installed for that signal.
struct sigaction gPrevious[kFaultSignalCount];

// Local time offset from UTC, taken at TRACE_INIT: localtime_r is not
// async-signal-safe.
std::atomic<long> gUtcOffset{0};

constexpr int kBacktraceFrames = 24;

// Text built in a fixed buffer without allocation; what does not fit is cut.
class FaultText {
public:
    void add(const char* text)
    {
        while (*text != '\0' && _length < sizeof(_text)) {
            _text[_length++] = *text++;
        }
    }
    void decimal(unsigned long value, int minimumDigits = 1)
    {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 || count < minimumDigits);
        while (count > 0 && _length < sizeof(_text)) {
            _text[_length++] = digits[--count];
        }
    }
    void hexadecimal(std::uintptr_t value)
    {
        add("0x");
        char digits[2 * sizeof(value)];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        while (count > 0 && _length < sizeof(_text)) {
            _text[_length++] = digits[--count];
        }
    }
    std::size_t length() const { return _length; }
    void cut(std::size_t length) { _length = length; }
    void writeTo(int descriptor) const { Base::LogFile::writeAll(descriptor, _text, _length); }

private:
    char _text[320];
    std::size_t _length = 0;
};

std::uintptr_t instructionPointer(void* context)
{
    if (context == nullptr) {
        return 0;
    }
    const auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<std::uintptr_t>(machine->gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(machine->pc);
#else
    (void)machine;
    return 0;
#endif
}

// The fault line and the backtrace, in the log file's line format.
void writeFaultReport(int signal, const siginfo_t* info, void* context, bool sent)
{
    const int descriptor = gFile.descriptor();
    if (descriptor < 0) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long milliseconds = (now.tv_nsec / 1000 + 500) / 1000;
    long local = static_cast<long>(now.tv_sec) + gUtcOffset.load(std::memory_order_relaxed);
    if (milliseconds > 999) {
        milliseconds -= 1000;
        ++local;
    }
    const long dayPart = ((local % 86400) + 86400) % 86400;
    FaultText text;
    text.decimal(static_cast<unsigned long>(dayPart / 3600), 2);
    text.add(":");
    text.decimal(static_cast<unsigned long>(dayPart / 60 % 60), 2);
    text.add(":");
    text.decimal(static_cast<unsigned long>(dayPart % 60), 2);
    text.add(".");
    text.decimal(static_cast<unsigned long>(milliseconds), 3);
    text.add(" : cvclient(");
    text.decimal(static_cast<unsigned long>(getpid()));
    text.add(":");
    text.decimal(static_cast<unsigned long>(syscall(SYS_gettid)));
    text.add(") : onFaultHandler : ERROR - ");
    const std::size_t prefix = text.length();

    // A signal sent by a process carries no faulting address.
    if (signal == SIGSEGV && !sent) {
        text.add("Fault handler called with segmentation violation at address [");
        text.hexadecimal(reinterpret_cast<std::uintptr_t>(info->si_addr));
        text.add("] called from [");
        text.hexadecimal(instructionPointer(context));
        text.add("]\n");
    } else {
        text.add("Fault handler called with signal [");
        text.decimal(static_cast<unsigned long>(signal));
        text.add("]\n");
    }
    text.writeTo(descriptor);

    void* frames[kBacktraceFrames];
    const int count = backtrace(frames, kBacktraceFrames);
    if (count <= 0) {
        text.cut(prefix);
        text.add("Failed to determine backtrace\n");
        text.writeTo(descriptor);
        return;
    }
    for (int i = 0; i < count; ++i) {
        text.cut(prefix);
        text.add("Symbol (");
        text.decimal(static_cast<unsigned long>(i));
        text.add("): ");
        text.writeTo(descriptor);
        backtrace_symbols_fd(&frames[i], 1, descriptor);
    }
}

bool isOurHandler(const struct sigaction& action);

// Writes the report, then hands the signal to what handled it before
// TRACE_INIT (a host's crash reporter, a sanitizer, the default action):
// that action is put back and the signal delivered to it again. A fault of
// the program repeats when the faulting instruction runs again on return;
// a signal sent by a process is sent again, to this thread, and arrives when
// the handler returns. So the process ends with the original signal, unless
// the previous handler decides otherwise.
void onFaultHandler(int signal, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    int index = 0;
    while (index < kFaultSignalCount && kFaultSignals[index].number != signal) {
        ++index;
    }
    struct sigaction previous {};
    if (index < kFaultSignalCount) {
        previous = gPrevious[index];
    }
    if (isOurHandler(previous)) {
        previous = {};
    }
    const bool sent = info == nullptr || info->si_code <= 0 || (signal == SIGBUS && info->si_code == BUS_MCEERR_AO);
    const bool ignored = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN;
    if (sent && ignored) {
        // Ignored before TRACE_INIT: a sent signal stays without effect.
        errno = savedErrno;
        return;
    }
    writeFaultReport(signal, info, context, sent);
    if (ignored) {
        // A fault cannot be ignored; the system would end the process anyway.
        previous.sa_handler = SIG_DFL;
    }
    sigaction(signal, &previous, nullptr);
    if (sent) {
        // The signal is blocked until the handler returns: it stays pending.
        // Sent with its original information where the system allows it.
        if (info == nullptr || syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), signal, info) != 0) {
            raise(signal);
        }
    }
    errno = savedErrno;
}

bool isOurHandler(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &onFaultHandler;
}

void prepareFaultHandler()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    gUtcOffset.store(parts.tm_gmtoff, std::memory_order_relaxed);
    // The first backtrace loads the unwinder (libgcc_s), which must not
    // happen inside the handler.
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        void* frame = nullptr;
        backtrace(&frame, 1);
    });
}

void setFaultHandler()
{
    TRACE_FUNCTION("setFaultHandler");
    for (int i = 0; i < kFaultSignalCount; ++i) {
        const FaultSignal& fault = kFaultSignals[i];
        struct sigaction current {};
        if (sigaction(fault.number, nullptr, &current) != 0) {
            TRACE_ERROR << fault.failure << std::endl;
            continue;
        }
        if (isOurHandler(current)) {
            // Installed by an earlier call: what it replaced stays the previous.
            continue;
        }
        gPrevious[i] = current;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        struct sigaction action {};
        action.sa_sigaction = &onFaultHandler;
        // On the thread's alternate stack where it has one, so an overflow
        // of its own stack is still reported. A second fault inside the
        // handler ends the process with that fault.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (const FaultSignal& blocked : kFaultSignals) {
            sigaddset(&action.sa_mask, blocked.number);
        }
        if (sigaction(fault.number, &action, nullptr) != 0) {
            TRACE_ERROR << fault.failure << std::endl;
        }
    }
}

std::string localTime(const char* format)
{
    char text[100];
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    const std::size_t length = std::strftime(text, sizeof(text), format, &parts);
    return std::string(text, length);
}

}  // namespace

std::ostream& operator<<(std::ostream& stream, const _LogLevel& level)
{
    if (InstrumentationBuffer* buffer = currentBuffer(stream)) {
        if (InstrumentationThreadState* state = buffer->state()) {
            state->level = level;
        }
    }
    return stream;
}

namespace Base {

const char* levelWord(int level)
{
    switch (level) {
    case LogVerbose:
        return "VERBOSE";
    case LogInfo:
        return "INFO";
    case LogWarning:
        return "WARNING";
    default:
        return "ERROR";
    }
}

std::ostream& operator<<(std::ostream& stream, const LogPrefix& prefix)
{
    return stream << idPrefix() << prefix.function << " : " << levelWord(prefix.level) << " - ";
}

std::ostream& operator<<(std::ostream& stream, const LogMarker& marker)
{
    return stream << idPrefix() << marker.function << " : " << marker.marker;
}

void writeSyslogLine(int level, const char* text)
{
    static std::atomic<std::int64_t> nextLook{0};
    static std::atomic<bool> present{true};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const std::int64_t second = now.tv_sec;
    if (second >= nextLook.load(std::memory_order_relaxed)) {
        struct stat facts {};
        present.store(stat(_PATH_LOG, &facts) == 0 && S_ISSOCK(facts.st_mode), std::memory_order_relaxed);
        nextLook.store(second + 1, std::memory_order_relaxed);
    }
    if (present.load(std::memory_order_relaxed)) {
        syslog(level, "%s", text);
    }
}

void writeLogFileLine(const std::string& line, const timeval* time)
{
    timeval now{};
    if (time != nullptr) {
        now = *time;
    } else {
        gettimeofday(&now, nullptr);
    }
    char clock[16];
    int milliseconds = 0;
    formatClock(now.tv_sec, now.tv_usec, clock, milliseconds);
    char stamp[32];
    const int stampLength = std::snprintf(stamp, sizeof(stamp), "%s.%03d : ", clock, milliseconds);
    // One write per line, so that lines of the fault handler, which bypasses
    // the mutex, fall between whole lines. Written with its length: a NUL
    // inside a logged value must not cut the line and glue the next one on.
    std::string whole;
    whole.reserve(static_cast<std::size_t>(stampLength) + line.size() + 1);
    whole.append(stamp, static_cast<std::size_t>(stampLength));
    whole.append(line);
    if (line.empty() || line.back() != '\n') {
        whole.push_back('\n');
    }
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(gFileMutex);
        problem = gFile.write(whole.data(), whole.size());
    }
    if (!problem.empty()) {
        // Not through the calling thread's stream: it may be emitting the
        // very line just written.
        std::ostringstream report;
        report << LogPrefix{__func__, LogError} << problem << '\n';
        InstrumentationBuffer::emit(LogError, report.str());
    }
}

std::ostream& logStream()
{
    thread_local std::ostream stream(nullptr);
    InstrumentationBuffer* buffer = gBuffer.load(std::memory_order_acquire);
    std::streambuf* target = buffer != nullptr ? buffer : std::clog.rdbuf();
    if (stream.rdbuf() != target) {
        stream.rdbuf(target);
    }
    return stream;
}

unsigned int logFlags()
{
    return gFlags.load(std::memory_order_relaxed);
}

std::ostream& operator<<(std::ostream& stream, const LogContent& content)
{
    if (content.text.size() <= kLogContentBytes) {
        return stream << content.text;
    }
    // Cut before a character that does not fit whole: a line that is not
    // valid UTF-8 is shown by some log readers as binary data only.
    std::size_t shown = kLogContentBytes;
    while (shown > 0 && (static_cast<unsigned char>(content.text[shown]) & 0xC0) == 0x80) {
        --shown;
    }
    return stream << content.text.substr(0, shown) << "... (" << shown << " of " << content.text.size()
                  << " bytes)";
}

}  // namespace Base

extern "C" void TRACE_INIT(unsigned int flags)
{
    std::lock_guard<std::mutex> serialised(gInitMutex);
    const char* configured = std::getenv("CORVANE_LOGGING_FILE");
    std::string path = (configured == nullptr || configured[0] == '\0') ? kDefaultLogFile : configured;
    const std::string started = localTime("%c");

    Dl_info module{};
    std::string modulePath;
    if (dladdr(reinterpret_cast<void*>(&TRACE_INIT), &module) != 0 && module.dli_fname != nullptr) {
        modulePath = module.dli_fname;
    }

    // The first call that can open the file empties it; later calls append
    // to it, so that a reconnect keeps the log of the earlier session.
    std::string openError;
    std::string kept;
    {
        std::lock_guard<std::mutex> lock(gFileMutex);
        if (!gFile.isOpen()) {
            openError = gFile.open(path);
        } else if (gFile.path() != path) {
            kept = gFile.path();
        }
    }

    std::call_once(gBufferOnce, createBuffer);
    openlog(nullptr, LOG_PID, LOG_LOCAL0);
    InstrumentationBuffer* buffer = gBuffer.load(std::memory_order_acquire);
    if (buffer != nullptr && std::clog.rdbuf() != buffer) {
        std::clog.rdbuf(buffer);
    }

    gFlags.store(flags, std::memory_order_relaxed);
    if (!openError.empty()) {
        TRACE_ERROR << "Failed to open log file [" << path << "] error [" << openError << "]" << std::endl;
        path.clear();
    }
    if (!kept.empty()) {
        TRACE_WARNING << "Keeping log file [" << kept << "] open instead of [" << path << "]" << std::endl;
        path = kept;
    }

    TRACE_INFO << "Logging initialised with flags [" << flags << "] file [" << path << "] version ["
             << CVCLIENT_VERSION << "] built [" << __DATE__ << " " << __TIME__ << "] now [" << started << "]"
             << std::endl;

    char resolved[PATH_MAX];
    if (!modulePath.empty() && realpath(modulePath.c_str(), resolved) != nullptr) {
        TRACE_INFO << "Module is [" << modulePath << "] resolved to path [" << resolved << "]" << std::endl;
    } else {
        TRACE_INFO << "Module is [" << modulePath << "]" << std::endl;
    }

    prepareFaultHandler();
    setFaultHandler();
}
extern "C" void Log(int level, const char* function, const char* format, ...)
{
    char prefix[256];
    std::snprintf(prefix, sizeof(prefix), "%s%s : %s - ", idPrefix(), function != nullptr ? function : "",
                  Base::levelWord(level));
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    message[0] = '\0';
    if (format != nullptr) {
        std::vsnprintf(message, sizeof(message), format, arguments);
    }
    va_end(arguments);

    Base::writeSyslogLine(level, (std::string(prefix) + message).c_str());
    if ((Base::logFlags() & 1U) != 0) {
        std::printf("%s%s\n", prefix, message);
    }
    Base::writeLogFileLine(std::string(prefix) + message);
}
