#include "base/ProgramOutput.h"

#include "base/Logging.h"
#include "base/Utilities.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace Base {

namespace {

using Clock = std::chrono::steady_clock;

// An owned file descriptor.
class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : _descriptor(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return _descriptor; }
    void reset(int descriptor = -1)
    {
        if (_descriptor >= 0) {
            ::close(_descriptor);
        }
        _descriptor = descriptor;
    }

private:
    int _descriptor;
};

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

// Waits for the child to end and returns its status; -1 when something else
// in the process reaped it first.
int reap(pid_t child)
{
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(child, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result == child ? status : -1;
}

// A descriptor that becomes readable when the process ends; -1 when the
// kernel has none.
int openProcess(pid_t process)
{
    return static_cast<int>(syscall(SYS_pidfd_open, process, 0));
}

void killProcess(int process)
{
    syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits on one descriptor until it is readable or the deadline passes.
bool waitReadable(int descriptor, Clock::time_point deadline)
{
    for (;;) {
        pollfd wanted{descriptor, POLLIN, 0};
        const int ready = poll(&wanted, 1, millisecondsLeft(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

std::optional<std::string> readProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment,
                                             std::chrono::milliseconds timeLimit, std::size_t outputLimit)
{
    const Clock::time_point deadline = Clock::now() + timeLimit;

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        TRACE_ERROR << "Failed to create a pipe for [" << program << "] with error [" << std::strerror(errno) << "]"
                    << std::endl;
        return std::nullopt;
    }
    Descriptor readEnd(ends[0]);
    Descriptor writeEnd(ends[1]);

    SpawnSettings settings;
    posix_spawn_file_actions_addopen(&settings.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&settings.actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&settings.attributes, &none);
    posix_spawnattr_setsigdefault(&settings.attributes, &all);
    posix_spawnattr_setflags(&settings.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

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
    const int spawned = posix_spawn(&child, program.c_str(), &settings.actions, &settings.attributes, argv.data(),
                                    envp.data());
    if (spawned != 0) {
        TRACE_VERBOSE << "Program [" << program << "] could not be started with error [" << std::strerror(spawned)
                      << "]" << std::endl;
        return std::nullopt;
    }
    writeEnd.reset();
    // Signalled through its process descriptor, the child cannot be mistaken
    // for a later process that got its id.
    const Descriptor process(openProcess(child));

    // Read until the program closes its output, then wait for it to end,
    // all within the time limit.
    std::string output;
    bool finished = false;
    for (;;) {
        if (!waitReadable(readEnd.get(), deadline)) {
            break;
        }
        char piece[4096];
        const ssize_t got = read(readEnd.get(), piece, sizeof(piece));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            finished = true;
            break;
        }
        const std::size_t room = outputLimit - std::min(outputLimit, output.size());
        output.append(piece, std::min(room, static_cast<std::size_t>(got)));
    }
    if (finished) {
        // Without a process descriptor, wait without a limit: the program has
        // closed its output and is ending.
        finished = process.get() < 0 || waitReadable(process.get(), deadline);
    }
    if (!finished) {
        if (process.get() >= 0) {
            killProcess(process.get());
        } else {
            kill(child, SIGKILL);
        }
        reap(child);
        TRACE_WARNING << "Program [" << program << "] did not finish within [" << timeLimit.count()
                      << "] ms and was stopped" << std::endl;
        return std::nullopt;
    }
    const int status = reap(child);
    Utilities::trim(output);
    TRACE_VERBOSE << "Program [" << program << "] finished with status [" << status << "], output bytes ["
                  << output.size() << "]" << std::endl;
    return output;
}

}  // namespace Base
