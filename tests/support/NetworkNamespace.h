// SPDX-License-Identifier: Apache-2.0
// The library's engine thread in a network namespace of its own while the
// object lives; the rest of the process keeps its namespace. Readings run on
// the engine thread, and the commands it runs, and the commands that code run
// on it starts, see only that namespace's interfaces and neighbour tables:
//
//     TestSupport::NetworkNamespace network;
//     network.command("ip link add eth0 type veth peer name eth0-peer");
//     PropertyMap properties = network.run([] { return provider.getProperties().get(); });
#pragma once

#include "support/Engine.h"

#include <string>

namespace TestSupport {

class NetworkNamespace {
public:
    // Moves the engine thread into a new namespace; throws when it cannot be made.
    NetworkNamespace();
    // Moves the engine thread back into the process's namespace.
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // Runs `work` on the engine thread and waits for it; its exception comes back here.
    template <typename Work>
    auto run(Work work) -> decltype(work())
    {
        return onEngine(std::move(work));
    }

    // Runs a shell command in the namespace; throws when it does not exit with 0.
    void command(const std::string& line);

private:
    int _original = -1;  // the engine thread's namespace before
};

}  // namespace TestSupport
