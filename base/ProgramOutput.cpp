// SPDX-License-Identifier: Apache-2.0
#include "base/ProgramOutput.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/Utilities.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace Base {

namespace {

using Clock = std::chrono::steady_clock;

// What of a program's standard error is kept for the log.
constexpr std::size_t kErrorLimit = 1024;

// Without a process descriptor (kernels before 5.3) the end of the program
// is looked for this often.
constexpr int kEndCheckMilliseconds = 10;

// The spawn settings, released whichever way the scope is left.
class SpawnSettings {
public:
    SpawnSettings()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings()
    {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// One of the program's output streams: the read end of its pipe and what of
// it is kept.
struct Stream {
    Descriptor descriptor;
    std::size_t limit = 0;
    std::string text;

    // Reads one piece of what is there; true when more may be waiting. The
    // end of the stream, or an error, closes it.
    bool read()
    {
        char piece[4096];
        ssize_t got = 0;
        do {
            got = ::read(descriptor.get(), piece, sizeof(piece));
        } while (got < 0 && errno == EINTR);
        if (got < 0 && errno == EAGAIN) {
            return false;
        }
        if (got <= 0) {
            descriptor.reset();
            return false;
        }
        const std::size_t room = limit - std::min(limit, text.size());
        text.append(piece, std::min(room, static_cast<std::size_t>(got)));
        return static_cast<std::size_t>(got) == sizeof(piece);
    }

    // Takes what an ended program left in the pipe; a process it left
    // behind that goes on writing is not followed for long.
    void drain()
    {
        for (int piece = 0; descriptor && piece < 256 && read(); ++piece) {
        }
    }
};

// A pipe whose ends are close-on-exec and not among the standard
// descriptors, which a host may have closed: the child's descriptors 0 to 2
// are set from them. Only the read end, the library's, does not block.
bool makePipe(Stream& readEnd, Descriptor& writeEnd)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    Descriptor read(ends[0]);
    Descriptor write(ends[1]);
    for (Descriptor* end : {&read, &write}) {
        if (end->get() <= STDERR_FILENO) {
            end->reset(fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
            if (!*end) {
                return false;
            }
        }
    }
    if (fcntl(read.get(), F_SETFL, fcntl(read.get(), F_GETFL) | O_NONBLOCK) != 0) {
        return false;
    }
    readEnd.descriptor = std::move(read);
    writeEnd = std::move(write);
    return true;
}


// The program as a command line, for the log.
std::string describe(const std::string& program, const std::vector<std::string>& arguments)
{
    std::string text = program;
    for (const std::string& argument : arguments) {
        text += ' ';
        text += argument;
    }
    return text;
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 60 * 60 * 1000)) : 0;
}

// Signalled through its process descriptor, the child cannot be mistaken
// for a later process that got its id.
int openProcess(pid_t process)
{
    return static_cast<int>(syscall(SYS_pidfd_open, process, 0));
}

// True while the child has not been reaped (it may have ended); false once
// something reaped it.
bool unreaped(pid_t child)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// True when the child has ended (or was reaped elsewhere).
bool ended(pid_t child)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;
    }
    return info.si_pid == child;
}

// Waits for the child to end and returns its status; nullopt when something
// else in the process reaped it first.
std::optional<int> reap(pid_t child)
{
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(child, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result == child ? std::optional<int>(status) : std::nullopt;
}

// Kills the child's process group, and so the child and what it started.
// The group's id cannot have passed to anybody else while the child is
// unreaped.
void killGroup(pid_t child, const Descriptor& process)
{
    const bool ours = process ? syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0) == 0
                              : unreaped(child);
    if (ours) {
        kill(-child, SIGKILL);
    }
}

}  // namespace

std::vector<std::string> programEnvironment()
{
    std::string path;
    if (const char* inherited = std::getenv("PATH"); inherited != nullptr) {
        path = inherited;
    } else {
        path.resize(confstr(_CS_PATH, nullptr, 0));
        confstr(_CS_PATH, path.data(), path.size());
        path.resize(std::strlen(path.c_str()));
    }
    std::string absolute;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        if (end > start && path[start] == '/') {
            absolute += (absolute.empty() ? "" : ":") + path.substr(start, end - start);
        }
        start = end + 1;
    }
    return {"LC_ALL=C", "PATH=" + absolute};
}

std::optional<std::string> locateProgram(const std::string& program, const std::vector<std::string>& environment)
{
    if (program.find('/') != std::string::npos) {
        return program;
    }
    if (program.empty()) {
        return std::nullopt;
    }
    const auto path = std::find_if(environment.begin(), environment.end(),
                                   [](const std::string& variable) { return variable.rfind("PATH=", 0) == 0; });
    if (path == environment.end()) {
        return std::nullopt;
    }
    std::size_t start = 5;
    while (start <= path->size()) {
        const std::size_t end = std::min(path->find(':', start), path->size());
        const std::string directory = path->substr(start, end - start);
        start = end + 1;
        if (directory.empty() || directory[0] != '/') {
            continue;
        }
        const std::string candidate = directory + "/" + program;
        struct stat facts {};
        if (stat(candidate.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> readProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment,
                                             std::chrono::milliseconds timeLimit, std::size_t outputLimit)
{
    const Clock::time_point deadline = Clock::now() + timeLimit;
    const std::string command = describe(program, arguments);

    const std::optional<std::string> file = locateProgram(program, environment);
    if (!file) {
        TRACE_VERBOSE << "Program [" << command << "] could not be started with error [not found]" << std::endl;
        return std::nullopt;
    }

    Stream output;
    Stream errors;
    output.limit = outputLimit;
    errors.limit = kErrorLimit;
    Descriptor outputEnd;
    Descriptor errorEnd;
    if (!makePipe(output, outputEnd) || !makePipe(errors, errorEnd)) {
        TRACE_ERROR << "Failed to create a pipe for [" << command << "] with error [" << std::strerror(errno)
                    << "]" << std::endl;
        return std::nullopt;
    }

    SpawnSettings settings;
    posix_spawn_file_actions_addopen(&settings.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&settings.actions, outputEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&settings.actions, errorEnd.get(), STDERR_FILENO);
    // Also every descriptor the host opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&settings.attributes, &none);
    posix_spawnattr_setsigdefault(&settings.attributes, &all);
    posix_spawnattr_setpgroup(&settings.attributes, 0);
    posix_spawnattr_setflags(&settings.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                       POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);

    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, file->c_str(), &settings.actions, &settings.attributes, argv.data(), envp.data());
    if (spawned != 0) {
        TRACE_VERBOSE << "Program [" << command << "] could not be started with error [" << std::strerror(spawned)
                      << "]" << std::endl;
        return std::nullopt;
    }
    outputEnd.reset();
    errorEnd.reset();
    const Descriptor process(openProcess(child));

    // Read both streams until the program ends, within the time limit; then
    // take what is left in them.
    bool finished = false;
    while (!finished) {
        pollfd wanted[3];
        nfds_t count = 0;
        for (Stream* stream : {&output, &errors}) {
            if (stream->descriptor) {
                wanted[count++] = pollfd{stream->descriptor.get(), POLLIN, 0};
            }
        }
        if (process) {
            wanted[count++] = pollfd{process.get(), POLLIN, 0};
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0) {
            break;
        }
        const int ready = poll(wanted, count, process ? left : std::min(left, kEndCheckMilliseconds));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (wanted[i].revents == 0) {
                continue;
            }
            if (wanted[i].fd == process.get()) {
                finished = true;
            } else {
                (wanted[i].fd == output.descriptor.get() ? output : errors).read();
            }
        }
        if (!process) {
            finished = ended(child);
        }
    }
    if (!finished) {
        killGroup(child, process);
        reap(child);
        TRACE_WARNING << "Program [" << command << "] did not finish within [" << timeLimit.count()
                      << "] ms and was stopped" << std::endl;
        return std::nullopt;
    }
    output.drain();
    errors.drain();
    const std::optional<int> status = reap(child);

    Utilities::trim(errors.text);
    if (!errors.text.empty()) {
        TRACE_VERBOSE << "Program [" << command << "] wrote to its standard error [" << errors.text << "]"
                      << std::endl;
    }
    if (!status) {
        // A host that reaps every child leaves no status to look at.
        TRACE_VERBOSE << "Program [" << command << "] was reaped elsewhere, its output is taken" << std::endl;
    } else if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        if (WIFSIGNALED(*status)) {
            TRACE_VERBOSE << "Program [" << command << "] was ended by signal [" << WTERMSIG(*status) << "]"
                          << std::endl;
        } else {
            TRACE_VERBOSE << "Program [" << command << "] failed with exit code [" << WEXITSTATUS(*status) << "]"
                          << std::endl;
        }
        return std::nullopt;
    }
    Utilities::trim(output.text);
    TRACE_VERBOSE << "Program [" << command << "] finished, output bytes [" << output.text.size() << "]"
                  << std::endl;
    return std::move(output.text);
}

}  // namespace Base
