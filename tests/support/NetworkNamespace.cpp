// SPDX-License-Identifier: Apache-2.0
#include "support/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace TestSupport {

NetworkNamespace::NetworkNamespace()
{
    _original = run([] {
        const int original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original < 0 || unshare(CLONE_NEWNET) != 0) {
            const std::string reason = std::strerror(errno);
            if (original >= 0) {
                close(original);
            }
            throw std::runtime_error("cannot make a network namespace: " + reason);
        }
        return original;
    });
}

NetworkNamespace::~NetworkNamespace()
{
    run([this] {
        if (setns(_original, CLONE_NEWNET) != 0) {
            std::abort();  // later tests would read in the wrong namespace
        }
        close(_original);
    });
}

void NetworkNamespace::command(const std::string& line)
{
    const int status = run([&line] { return std::system(line.c_str()); });
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("command failed: " + line);
    }
}

}  // namespace TestSupport
