// SPDX-License-Identifier: Apache-2.0
// cvclient-probe: plays the host against the library on this device. It loads
// the library, drives it through its exported entry points only, as a
// transport does, and shows the properties it reports.
#include "base/Policy.h"
#include "core/cvclient.h"
#include "providers/Categories.h"
#include "tools/KeyReference.h"
#include "tools/ProbeOptions.h"
#include "tools/ProbeReport.h"

#include <dlfcn.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "cvclient-probe";
constexpr guint kAnswerTimeoutSeconds = 30;  // for the initial properties
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// What the library wrote through the channel, with the moment it arrived.
// writeData runs on the library's own thread; it wakes the probe's main loop,
// which the probe iterates only for its own signals and time-out.
std::mutex gWrittenMutex;
std::deque<std::pair<std::string, Clock::time_point>> gWritten;

void captureWrite(TConnection* /*connection*/, const char* data, unsigned int length)
{
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(gWrittenMutex);
        gWritten.emplace_back(data != nullptr ? std::string(data, length) : std::string(), now);
    }
    g_main_context_wakeup(nullptr);
}

std::deque<std::pair<std::string, Clock::time_point>> takeWritten()
{
    std::lock_guard<std::mutex> lock(gWrittenMutex);
    return std::exchange(gWritten, {});
}

// The entry points a transport calls, resolved from the loaded library.
struct EntryPoints {
    bool (*clientConnected)(TConnection*) = nullptr;
    void (*clientDataRead)(TConnection*, const char*, unsigned int) = nullptr;
    void (*clientDisconnected)(TConnection*) = nullptr;
    void (*traceInit)(unsigned int) = nullptr;
    void (*log)(int, const char*, const char*, ...) = nullptr;
};

template <typename Function>
bool resolve(void* handle, const std::string& path, const char* name, Function& function)
{
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char* reason = dlerror();
        std::cerr << kProgram << ": the library " << path << " has no entry point " << name << ": "
                  << (reason != nullptr ? reason : "the symbol is null") << "\n";
        return false;
    }
    function = reinterpret_cast<Function>(symbol);
    return true;
}

// The library beside the probe when it is there (the build tree), otherwise
// the one installed with the probe, found from the probe's own directory, so
// a staged tree (DESTDIR) works as well as the installed one.
std::string defaultLibrary()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return CVCLIENT_LIBRARY_FROM_PROBE;
    }
    std::string directory(self, static_cast<std::size_t>(length));
    directory.erase(directory.find_last_of('/') + 1);
    const std::string beside = directory + CVCLIENT_LIBRARY_NAME;
    return access(beside.c_str(), F_OK) == 0 ? beside : directory + CVCLIENT_LIBRARY_FROM_PROBE;
}

struct LoopState {
    bool interrupted = false;
    bool timedOut = false;
    guint timeoutSource = 0;
};

gboolean onSignal(gpointer data)
{
    static_cast<LoopState*>(data)->interrupted = true;
    return G_SOURCE_CONTINUE;
}

gboolean onTimeout(gpointer data)
{
    auto* state = static_cast<LoopState*>(data);
    state->timedOut = true;
    state->timeoutSource = 0;
    return G_SOURCE_REMOVE;
}

// Standard output, with its first write error kept: a probe whose output
// went nowhere has failed (`cvclient-probe > /dev/full`).
class Output {
public:
    // Writes and flushes `text`; false once a write failed.
    bool write(const std::string& text)
    {
        if (_error == 0 && (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)) {
            _error = errno != 0 ? errno : EIO;
        }
        return _error == 0;
    }

    // Closes standard output; false, with the reason on stderr, when any write failed.
    bool close()
    {
        errno = 0;
        if (std::fclose(stdout) != 0 && _error == 0) {
            _error = errno != 0 ? errno : EIO;
        }
        if (_error != 0) {
            std::cerr << kProgram << ": write error on standard output: " << std::strerror(_error) << "\n";
        }
        return _error == 0;
    }

private:
    int _error = 0;
};

// The file the library is to log to cannot be written: the library then logs
// to syslog only, which the person running the probe should know.
void warnWhenUnwritable(const std::string& file)
{
    std::string checked = file;
    int mode = W_OK;
    if (access(file.c_str(), F_OK) != 0) {
        const std::size_t slash = file.find_last_of('/');
        checked = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
        mode = W_OK | X_OK;
    }
    if (access(checked.c_str(), mode) != 0) {
        std::cerr << kProgram << ": warning: --log: cannot write " << file << " (" << checked << ": "
                  << std::strerror(errno) << "); the library logs to syslog only\n";
    }
}

std::vector<std::string> requestedNames(const ProbeOptions& options)
{
    std::vector<std::string> names;
    for (const ProbeOptions::Request& request : options.requests()) {
        names.push_back(request.name);
    }
    return names;
}

// The owner's policy as the library reads it at its first connection, and
// which of the requested categories it takes away.
std::string policyLines(const std::vector<std::string>& requested)
{
    std::vector<std::string> names;
    for (const Factory::Entry& entry : Categories::table()) {
        names.emplace_back(entry.name);
    }
    const Base::Policy policy = Base::Policy::read(Base::Policy::kPath, names);
    std::string suppressed;
    for (const std::string& name : requested) {
        for (const Factory::Entry& entry : Categories::table()) {
            if (entry.name == name && !policy.allowsCategory(name, entry.makesWebRequests)) {
                suppressed += (suppressed.empty() ? "" : ", ") + name;
            }
        }
    }
    return "Policy        : " + policy.describe() + "\n" +
           (suppressed.empty() ? std::string() : "Suppressed    : " + suppressed + "\n");
}

}  // namespace

int main(int argc, char** argv)
{
    ProbeOptions options;
    const std::string error = ProbeOptions::parse(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!error.empty()) {
        std::cerr << kProgram << ": " << error << "\nTry '" << kProgram << " --help' for more information.\n";
        return kExitUsage;
    }
    Output output;
    if (options.help || options.version) {
        output.write(options.help ? ProbeOptions::usage(kProgram)
                                  : std::string(kProgram) + " " + CVCLIENT_VERSION + "\n");
        return output.close() ? EXIT_SUCCESS : kExitFailure;
    }
    if (options.listKeys) {
        // The key tables are the library's own, linked in from its objects.
        const KeyReference reference(Categories::table(), *options.listKeys);
        output.write(options.format == ProbeOptions::Format::Markdown ? reference.markdown() : reference.text());
        return output.close() ? EXIT_SUCCESS : kExitFailure;
    }
    for (const std::string& warning : options.warnings) {
        std::cerr << kProgram << ": warning: " << warning << "\n";
    }

    if (options.logFile) {
        warnWhenUnwritable(*options.logFile);
        if (setenv("CORVANE_LOGGING_FILE", options.logFile->c_str(), 1) != 0) {
            std::cerr << kProgram << ": cannot set CORVANE_LOGGING_FILE: " << std::strerror(errno) << "\n";
            return kExitFailure;
        }
    }

    const std::string path = options.library.value_or(defaultLibrary());
    // The library is never unloaded (it is linked with -z nodelete), so the
    // handle is not closed either.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        std::cerr << kProgram << ": cannot load the library " << path << ": "
                  << (reason != nullptr ? reason : "unknown error") << "\n";
        return kExitFailure;
    }
    EntryPoints library;
    if (!resolve(handle, path, "ClientConnected", library.clientConnected) ||
        !resolve(handle, path, "ClientDataRead", library.clientDataRead) ||
        !resolve(handle, path, "ClientDisconnected", library.clientDisconnected) ||
        !resolve(handle, path, "TRACE_INIT", library.traceInit) || !resolve(handle, path, "Log", library.log)) {
        return kExitFailure;
    }

    library.traceInit(0);

    TConnection connection{};
    connection.writeData = &captureWrite;
    if (!library.clientConnected(&connection)) {
        std::cerr << kProgram << ": the library " << path << " refused the connection (see its log)\n";
        return kExitFailure;
    }

    LoopState state;
    const guint interruptSource = g_unix_signal_add(SIGINT, &onSignal, &state);
    const guint terminateSource = g_unix_signal_add(SIGTERM, &onSignal, &state);
    state.timeoutSource = g_timeout_add(kAnswerTimeoutSeconds * 1000, &onTimeout, &state);

    const std::vector<std::string> requested = requestedNames(options);
    if (options.format == ProbeOptions::Format::Table) {
        output.write(policyLines(requested));
    }
    const std::string initialise = options.initialiseMessage();
    const Clock::time_point sent = Clock::now();
    library.clientDataRead(&connection, initialise.c_str(), static_cast<unsigned int>(initialise.size()));

    bool answered = false;
    int exitCode = EXIT_SUCCESS;
    for (;;) {
        for (const auto& [text, arrived] : takeWritten()) {
            if (answered && !options.watch) {
                break;
            }
            const ProbeReport report(text);
            if (report.isInitial() && !answered) {
                answered = true;
                if (state.timeoutSource != 0) {
                    g_source_remove(state.timeoutSource);
                    state.timeoutSource = 0;
                }
            }
            if (options.format == ProbeOptions::Format::Json) {
                output.write(text + "\n");
            } else if (!report.valid()) {
                std::cerr << kProgram << ": the library wrote a message that is not a properties message ("
                          << report.error() << "): " << text << "\n";
            } else if (options.format == ProbeOptions::Format::Facts) {
                output.write(report.facts(std::chrono::system_clock::now() -
                                          std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                              Clock::now() - arrived)) +
                             "\n");
            } else if (report.isInitial()) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(arrived - sent);
                output.write(report.initialTable(elapsed, requested));
            } else if (report.isUpdate()) {
                output.write("\n" + report.updateTable());
            } else {
                output.write("\nMessage " + report.id() + ":\n" + text + "\n");
            }
        }
        if (!output.write({})) {
            break;  // nobody reads what the probe shows: close() says why
        }
        if (answered && !options.watch) {
            break;
        }
        if (state.interrupted) {
            if (!answered) {
                std::cerr << kProgram << ": interrupted before the library sent its initial properties\n";
                exitCode = kExitFailure;
            }
            break;
        }
        if (state.timedOut) {
            std::cerr << kProgram << ": the library at " << path << " sent no initial properties within "
                      << kAnswerTimeoutSeconds << " s (see its log)\n";
            exitCode = kExitFailure;
            break;
        }
        g_main_context_iteration(nullptr, TRUE);
    }

    g_source_remove(interruptSource);
    g_source_remove(terminateSource);
    if (state.timeoutSource != 0) {
        g_source_remove(state.timeoutSource);
    }
    library.clientDisconnected(&connection);
    return output.close() ? exitCode : kExitFailure;
}
