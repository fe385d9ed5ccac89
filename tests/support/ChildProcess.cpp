// SPDX-License-Identifier: Apache-2.0
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
using Clock = std::chrono::steady_clock;

pid_t startChild(std::vector<std::string> arguments, const std::vector<std::pair<int, int>>& descriptors,
                 const std::function<bool()>& prepare)
{
    // Everything the child needs is made before fork.
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    unsigned highest = 2;
    for (const auto& [target, source] : descriptors) highest = std::max(highest, static_cast<unsigned>(target));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent || (prepare && !prepare())) _exit(126);
        for (const auto& [target, source] : descriptors) {
            // A descriptor already in its place keeps it, open across exec.
            if (source == target ? fcntl(target, F_SETFD, 0) != 0 : dup2(source, target) < 0) _exit(126);
        }
        close_range(highest + 1, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
std::optional<std::string> readFirstLine(int fd, std::chrono::milliseconds within, bool* ended)
{
    const auto giveUp = Clock::now() + within;
    std::string line;
    for (char c = 0;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count();
        pollfd ready{fd, POLLIN, 0};
        const int polled = left > 0 ? poll(&ready, 1, static_cast<int>(left)) : 0;
        const ssize_t got = polled > 0 ? read(fd, &c, 1) : polled;
        if (got < 0 && errno == EINTR) continue;
        if (ended != nullptr) *ended = polled != 0 && got <= 0;
        if (got <= 0 || c == '\n') return got > 0 ? std::optional(line) : std::nullopt;
        line.push_back(c);
    }
}
void stopChild(pid_t pid, std::chrono::milliseconds grace)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const auto giveUp = Clock::now() + grace;
    for (pid_t reaped = 0; (reaped = waitpid(pid, nullptr, WNOHANG)) == 0 || (reaped < 0 && errno == EINTR);) {
        if (Clock::now() > giveUp && kill(pid, SIGKILL) == 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
}  // namespace TestSupport
