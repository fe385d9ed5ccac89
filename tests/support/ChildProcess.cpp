#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace TestSupport {

pid_t startChild(std::vector<std::string> arguments, const std::vector<std::pair<int, int>>& descriptors,
                 const std::function<bool()>& prepare)
{
    // Everything the child needs is made before fork.
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int highest = 2;
    for (const auto& [target, source] : descriptors) {
        highest = std::max(highest, target);
    }

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
            _exit(126);
        }
        if (prepare && !prepare()) {
            _exit(126);
        }
        for (const auto& [target, source] : descriptors) {
            // A descriptor already in its place keeps it, open across exec.
            const bool placed = source == target ? fcntl(target, F_SETFD, 0) == 0 : dup2(source, target) >= 0;
            if (!placed) {
                _exit(126);
            }
        }
        close_range(static_cast<unsigned>(highest) + 1, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

std::optional<std::string> readFirstLine(int fd, std::chrono::milliseconds within, bool* ended)
{
    if (ended != nullptr) {
        *ended = false;
    }
    std::string line;
    const auto giveUp = std::chrono::steady_clock::now() + within;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return std::nullopt;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled == 0) {
            return std::nullopt;
        }
        char c = 0;
        const ssize_t got = polled < 0 ? -1 : read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (ended != nullptr) {
                *ended = true;
            }
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

void stopChild(pid_t pid, std::chrono::milliseconds grace)
{
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    const auto giveUp = std::chrono::steady_clock::now() + grace;
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 || (reaped < 0 && errno == EINTR)) {
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace TestSupport
