// The PCoIP client's side of the virtual channel plugin interface: the
// function table the plugin is handed, and the events the client raises. The
// client records what the plugin asks of it and serves the bytes queued for
// the plugin's read thread. The table holds plain C functions, so they reach
// the client through a global: one client at a time.
#pragma once

#include "transports/pcoip/PcoipChannel.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

class PcoipClient;
inline PcoipClient* gPcoipClient = nullptr;

class PcoipClient {
public:
    static constexpr uint32_t kChannel = 7;

    PcoipClient() { gPcoipClient = this; }
    ~PcoipClient() { gPcoipClient = nullptr; }

    PcoipClient(const PcoipClient&) = delete;
    PcoipClient& operator=(const PcoipClient&) = delete;

    template <typename Work>
    auto with(Work work) -> decltype(work())
    {
        std::lock_guard<std::mutex> lock(mutex);
        return work();
    }

    PcoipClientInterface table(uint32_t version) const
    {
        return PcoipClientInterface{version, &registerEvents, &openChannel, &channelRejected, &closeChannel, &send,
                                    &receive, &bytesAvailable, &connectionState, &probeForHost};
    }

    void connectionEvent(int event, const void* data = nullptr) { onConnection(connectionContext, 41, event, data); }
    void stateEvent(int state) { connectionEvent(PCOIP_CONNECTION_EVENT_STATE, &state); }
    void channelEvent(int event, const void* data = nullptr) { onChannel(channelContext, kChannel, event, data); }
    void receiveReady(const std::string& bytes)
    {
        with([&] { pending += bytes; });
        const auto count = static_cast<uint32_t>(bytes.size());
        channelEvent(PCOIP_CHANNEL_EVENT_RECEIVE_READY, &count);
    }

    // Waits until `done` holds (checked under the client's lock, after each
    // look of the read thread for data), iterating the GLib default main
    // context meanwhile; false after 10 s.
    template <typename Condition>
    bool waitUntil(Condition done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::unique_lock<std::mutex> lock(mutex);
        while (!checked.wait_for(lock, std::chrono::milliseconds(1), done)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            lock.unlock();
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            lock.lock();
        }
        return true;
    }

    // OPEN, then waits until the read thread looks for data: from then on a
    // RECEIVE READY wakes it.
    bool open()
    {
        const int checks = with([&] { return availableChecks; });
        connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
        return waitUntil([&] { return availableChecks > checks; });
    }

    // Queues and announces `bytes`, then waits until the read thread has
    // handled every byte and looks for more.
    bool deliver(const std::string& bytes)
    {
        const int idle = with([&] { return idleChecks; });
        receiveReady(bytes);
        return waitUntil([&] { return idleChecks > idle && pending.empty(); });
    }

    // Set by the test; the calls below come on the test's thread.
    int registerResult = 0;
    int probeResult = 1;
    int openResult = 0;
    std::string readyInsideOpen;  // announced from inside openChannel
    std::vector<std::string> calls;
    PcoipConnectionEventCallback onConnection = nullptr;
    void* connectionContext = nullptr;
    PcoipChannelEventCallback onChannel = nullptr;
    void* channelContext = nullptr;

    // Shared with the plugin's threads.
    std::atomic<int> state{1};
    std::atomic<int> sendResult{0};
    std::atomic<uint32_t> sendLimit{UINT32_MAX};
    std::atomic<int> receiveResult{0};
    std::atomic<uint32_t> piece{UINT32_MAX};  // the most bytes reported available at once
    std::mutex mutex;
    std::condition_variable checked;  // after every bytesAvailable
    std::string pending;
    int availableChecks = 0;
    int idleChecks = 0;       // checks that found nothing
    std::string lateArrival;  // announced just after the next check that finds nothing
    std::vector<std::string> sends;

private:
    static PcoipClient& client() { return *gPcoipClient; }

    static int registerEvents(const char* name, PcoipConnectionEventCallback callback, void* context, uint32_t* handle)
    {
        client().calls.push_back(std::string("register ") + name);
        client().onConnection = callback;
        client().connectionContext = context;
        *handle = 41;
        return client().registerResult;
    }
    static int probeForHost(const char* name)
    {
        client().calls.push_back(std::string("probe ") + name);
        return client().probeResult;
    }
    static int openChannel(const char* name, uint32_t flags, uint32_t priority, uint32_t reserved,
                           PcoipChannelEventCallback callback, void* context, uint32_t* channel)
    {
        client().calls.push_back(std::string("open ") + name + " " + std::to_string(flags) + " " +
                                 std::to_string(priority) + " " + std::to_string(reserved));
        if (client().openResult == 0) {
            *channel = kChannel;
            client().onChannel = callback;
            client().channelContext = context;
            if (!client().readyInsideOpen.empty()) {
                client().receiveReady(client().readyInsideOpen);
            }
        }
        return client().openResult;
    }
    static int channelRejected(const char* name, uint32_t reserved)
    {
        client().calls.push_back(std::string("rejected ") + name + " " + std::to_string(reserved));
        return 0;
    }
    static int closeChannel(uint32_t channel, uint32_t, uint32_t)
    {
        client().calls.push_back("close " + std::to_string(channel));
        return 0;
    }
    static int connectionState() { return client().state; }
    static int send(uint32_t channel, const void* buffer, uint32_t size, uint32_t* sent, uint32_t timeout)
    {
        if (client().sendResult != 0 || channel != kChannel || timeout != PCOIP_WAIT_FOREVER) {
            return client().sendResult != 0 ? client().sendResult.load() : -1;
        }
        client().with([&] { client().sends.emplace_back(static_cast<const char*>(buffer), size); });
        *sent = std::min(size, client().sendLimit.load());
        return 0;
    }
    static int bytesAvailable(uint32_t channel, uint32_t* count)
    {
        std::string late;
        const int result = client().with([&] {
            ++client().availableChecks;
            *count = std::min(static_cast<uint32_t>(client().pending.size()), client().piece.load());
            if (*count == 0) {
                ++client().idleChecks;
                late.swap(client().lateArrival);
            }
            return channel == kChannel ? 0 : -1;
        });
        client().checked.notify_all();
        if (!late.empty()) {
            // Arrives on the client's thread after this check found nothing.
            std::thread([&] { client().receiveReady(late); }).join();
        }
        return result;
    }
    static int receive(uint32_t channel, void* buffer, uint32_t size, uint32_t* received, uint32_t timeout)
    {
        if (client().receiveResult != 0 || channel != kChannel || timeout != 0) {
            return client().receiveResult != 0 ? client().receiveResult.load() : -1;
        }
        return client().with([&] {
            *received = std::min(size, static_cast<uint32_t>(client().pending.size()));
            std::memcpy(buffer, client().pending.data(), *received);
            client().pending.erase(0, *received);
            return 0;
        });
    }
};

}  // namespace TestSupport
