// SPDX-License-Identifier: Apache-2.0
// The library's engine thread in a network namespace of its own while the object lives; the rest of the process
// keeps its namespace. Readings run on the engine thread, and the commands it runs, and the commands that code run
// on it starts, see only that namespace's interfaces and neighbour tables:
//
//     TestSupport::NetworkNamespace network;
//     network.command("ip link add eth0 type veth peer name eth0-peer");
//     PropertyMap properties = network.run([] { return provider.getProperties().get(); });
#pragma once
#include "support/Engine.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace TestSupport {
class NetworkNamespace {
public:
    // Moves the engine thread into a new namespace; throws when it cannot be made.
    NetworkNamespace()
        : _original(run([] {
              const int original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
              if (original >= 0 && unshare(CLONE_NEWNET) == 0) return original;
              const std::string reason = std::strerror(errno);
              if (original >= 0) close(original);
              throw std::runtime_error("cannot make a network namespace: " + reason);
          }))
    {
    }
    // Moves the engine thread back; later tests would read in the wrong namespace otherwise.
    ~NetworkNamespace()
    {
        run([this] { setns(_original, CLONE_NEWNET) == 0 ? (void)close(_original) : std::abort(); });
    }
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;
    // Runs `work` on the engine thread and waits for it; its exception comes back here.
    template <typename Work>
    auto run(Work work) -> decltype(work())
    {
        return onEngine(std::move(work));
    }
    // Runs a shell command in the namespace; throws when it does not exit with 0.
    void command(const std::string& line)
    {
        const int status = run([&line] { return std::system(line.c_str()); });
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("command failed: " + line);
    }

private:
    const int _original;  // the engine thread's namespace before
};
}  // namespace TestSupport
