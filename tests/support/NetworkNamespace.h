// A thread of the test process in a network namespace of its own, owning the
// GLib default main context while it lives. Commands it runs, and the
// commands that code run on it starts, see only that namespace's interfaces
// and neighbour tables:
//
//     TestSupport::NetworkNamespace network;
//     network.command("ip link add eth0 type veth peer name eth0-peer");
//     PropertyMap properties = network.run([] { return provider.getProperties().get(); });
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <queue>
#include <string>
#include <thread>

namespace TestSupport {

class NetworkNamespace {
public:
    // Starts the thread; throws when the namespace cannot be made or the main
    // context is owned elsewhere.
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // Runs `work` on the thread and waits for it; its exception comes back here.
    template <typename Work>
    auto run(Work work) -> decltype(work())
    {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }

    // Runs a shell command in the namespace; throws when it does not exit with 0.
    void command(const std::string& line);

private:
    void post(std::function<void()> job);
    void serve(std::promise<void>& started);

    std::mutex _mutex;
    std::condition_variable _wake;
    std::queue<std::function<void()>> _jobs;
    bool _stopping = false;
    std::thread _thread;
};

}  // namespace TestSupport
