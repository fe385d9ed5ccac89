#include "base/Logging.h"

#include "base/InstrumentationBuffer.h"
#include "core/cvclient.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>

namespace {

constexpr const char* kDefaultLogFile = "/tmp/cvclient.log";

std::atomic<unsigned int> gFlags{0};

// The log file; replaced by every TRACE_INIT. Writers and the replacement
// take the mutex, so no thread ever writes through a closed FILE.
std::mutex gFileMutex;
FILE* gFile = nullptr;
std::string gFilePath;

// The stream buffer and its thread key are made once and kept for the life
// of the process: a thread that is still writing a line when TRACE_INIT runs
// again keeps a valid buffer.
std::once_flag gBufferOnce;
pthread_key_t gKey;
std::atomic<InstrumentationBuffer*> gBuffer{nullptr};

long threadId()
{
    return static_cast<long>(syscall(SYS_gettid));
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

void onFaultHandler(int signal, siginfo_t* info, void* context)
{
    if (signal == SIGSEGV) {
        void* address = info != nullptr ? info->si_addr : nullptr;
        void* instruction = nullptr;
#if defined(__x86_64__)
        if (context != nullptr) {
            instruction = reinterpret_cast<void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
        }
#else
        (void)context;
#endif
        TRACE_ERROR << "Fault handler called with segmentation violation at address [" << address
                  << "] called from [" << instruction << "]" << std::endl;
    } else {
        TRACE_ERROR << "Fault handler called with signal [" << signal << "]" << std::endl;
    }
    void* frames[24];
    const int count = backtrace(frames, 24);
    char** symbols = backtrace_symbols(frames, count);
    if (symbols == nullptr) {
        TRACE_ERROR << "Failed to determine backtrace" << std::endl;
    } else {
        for (int i = 0; i < count; ++i) {
            TRACE_ERROR << "Symbol (" << i << "): " << symbols[i] << std::endl;
        }
        std::free(symbols);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

void setFaultHandler()
{
    struct Handler {
        int signal;
        const char* failure;
    };
    static constexpr Handler kHandlers[] = {
        {SIGFPE, "Failed to set floating point fault handler"},
        {SIGSEGV, "Failed to set segment violation fault handler"},
        {SIGILL, "Failed to set illegal instruction fault handler"},
        {SIGBUS, "Failed to set bus error fault handler"},
    };
    for (const Handler& handler : kHandlers) {
        struct sigaction action {};
        action.sa_sigaction = &onFaultHandler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        if (sigaction(handler.signal, &action, nullptr) != 0) {
            TRACE_ERROR << handler.failure << std::endl;
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
    return stream << "cvclient(" << getpid() << ":" << threadId() << ") : " << prefix.function << " : "
                  << levelWord(prefix.level) << " - ";
}

std::ostream& operator<<(std::ostream& stream, const LogMarker& marker)
{
    return stream << "cvclient(" << getpid() << ":" << threadId() << ") : " << marker.function << " : "
                  << marker.marker;
}

void writeLogFileLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(gFileMutex);
    if (gFile == nullptr) {
        return;
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    std::time_t seconds = now.tv_sec;
    int milliseconds = static_cast<int>((now.tv_usec + 500) / 1000);
    if (milliseconds > 999) {
        milliseconds -= 1000;
        ++seconds;
    }
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char clock[16];
    std::strftime(clock, sizeof(clock), "%H:%M:%S", &parts);
    // Written with its length: a NUL inside a logged value must not cut the
    // line and glue the next one onto it.
    std::fprintf(gFile, "%s.%03d : ", clock, milliseconds);
    std::fwrite(line.data(), 1, line.size(), gFile);
    if (line.empty() || line.back() != '\n') {
        std::fputc('\n', gFile);
    }
    std::fflush(gFile);
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

std::string logFilePath()
{
    std::lock_guard<std::mutex> lock(gFileMutex);
    return gFilePath;
}

}  // namespace Base

extern "C" void TRACE_INIT(unsigned int flags)
{
    const char* configured = std::getenv("CORVANE_LOGGING_FILE");
    std::string path = (configured == nullptr || configured[0] == '\0') ? kDefaultLogFile : configured;
    const std::string started = localTime("%c");

    Dl_info module{};
    std::string modulePath;
    if (dladdr(reinterpret_cast<void*>(&TRACE_INIT), &module) != 0 && module.dli_fname != nullptr) {
        modulePath = module.dli_fname;
    }

    int openError = 0;
    {
        std::lock_guard<std::mutex> lock(gFileMutex);
        if (gFile != nullptr) {
            std::fclose(gFile);
        }
        gFile = std::fopen(path.c_str(), "w");
        openError = gFile == nullptr ? errno : 0;
        gFilePath = gFile == nullptr ? std::string() : path;
    }

    std::call_once(gBufferOnce, createBuffer);
    openlog(nullptr, LOG_PID, LOG_LOCAL0);
    InstrumentationBuffer* buffer = gBuffer.load(std::memory_order_acquire);
    if (buffer != nullptr && std::clog.rdbuf() != buffer) {
        std::clog.rdbuf(buffer);
    }

    gFlags.store(flags, std::memory_order_relaxed);
    if (openError != 0) {
        TRACE_ERROR << "Failed to open log file [" << path << "] error [" << std::strerror(openError) << "]"
                    << std::endl;
        path.clear();
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

    setFaultHandler();
}

extern "C" void Log(int level, const char* function, const char* format, ...)
{
    char prefix[256];
    std::snprintf(prefix, sizeof(prefix), "cvclient(%d:%ld) : %s : %s - ", static_cast<int>(getpid()), threadId(),
                  function != nullptr ? function : "", Base::levelWord(level));
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    message[0] = '\0';
    if (format != nullptr) {
        std::vsnprintf(message, sizeof(message), format, arguments);
    }
    va_end(arguments);

    syslog(level, "%s%s", prefix, message);
    if ((Base::logFlags() & 1U) != 0) {
        std::printf("%s%s\n", prefix, message);
    }
    Base::writeLogFileLine(std::string(prefix) + message);
}
