#include "support/ChildProcess.h"

#include <fcntl.h>
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
