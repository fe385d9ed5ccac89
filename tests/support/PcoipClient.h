// SPDX-License-Identifier: Apache-2.0
// The PCoIP client's side of the plugin interface: the function table, the events, the bytes queued for the plugin's
// read thread. The table holds plain C functions: one client at a time.
#pragma once
#include "transports/pcoip/PcoipChannel.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
namespace TestSupport {
class PcoipClient {
public:
    static constexpr uint32_t kChannel = 7;
    static inline PcoipClient* self = nullptr;
    PcoipClient() { self = this; }
    ~PcoipClient() { self = nullptr; }
    template <typename Work>
    auto with(Work work) -> decltype(work())
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return work();
    }
    PcoipClientInterface table(uint32_t version) const
    {
        return {version, &registerEvents, &openChannel, [](const char*, uint32_t) { return 0; },
                [](uint32_t, uint32_t, uint32_t) { return 0; }, &send, &receive, &bytesAvailable,
                [] { return self->state.load(); }, [](const char* name) { return self->record("probe", name), 1; }};
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
    // OPEN, then waits until the read thread looks for data: from then on a RECEIVE READY wakes it.
    bool open()
    {
        const int checks = with([&] { return availableChecks; });
        connectionEvent(PCOIP_CONNECTION_EVENT_OPEN);
        return wait([&] { return availableChecks > checks; });
    }
    // Queues and announces `bytes`, then waits until the read thread has taken every byte and looks for more.
    bool deliver(const std::string& bytes)
    {
        const int idle = with([&] { return idleChecks; });
        receiveReady(bytes);
        return wait([&] { return idleChecks > idle && pending.empty(); });
    }
    // Waits (10 s at most) until `done` holds after a look of the read thread for data.
    template <typename Done>
    bool wait(Done done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return checked.wait_for(lock, std::chrono::seconds(10), done);
    }
    std::vector<std::string> calls;  // register, probe and open, from the test's thread
    PcoipConnectionEventCallback onConnection = nullptr;
    PcoipChannelEventCallback onChannel = nullptr;
    void *connectionContext = nullptr, *channelContext = nullptr;
    // Shared with the plugin's threads.
    std::atomic<int> state{1};
    std::atomic<uint32_t> sendLimit{UINT32_MAX};
    std::atomic<uint32_t> overReport{0};      // receive reports this many bytes more than it gave
    std::atomic<int> eventInsideReceive{-1};  // a channel event raised once from inside receive
    std::mutex mutex;
    std::condition_variable checked;  // after every bytesAvailable
    std::string pending;
    int availableChecks = 0, idleChecks = 0;  // idle: checks that found nothing
    std::vector<std::string> sends;
private:
    void record(const char* call, const std::string& arguments) { calls.push_back(call + (" " + arguments)); }
    static int registerEvents(const char* name, PcoipConnectionEventCallback callback, void* context, uint32_t* handle)
    {
        self->record("register", name);
        self->onConnection = callback;
        self->connectionContext = context;
        return *handle = 41, 0;
    }
    static int openChannel(const char* name, uint32_t flags, uint32_t priority, uint32_t reserved,
                           PcoipChannelEventCallback callback, void* context, uint32_t* channel)
    {
        self->record("open", name + (" " + std::to_string(flags) + " " + std::to_string(priority) + " " +
                                     std::to_string(reserved)));
        self->onChannel = callback;
        self->channelContext = context;
        return *channel = kChannel, 0;
    }
    static int send(uint32_t channel, const void* buffer, uint32_t size, uint32_t* sent, uint32_t timeout)
    {
        if (channel != kChannel || timeout != PCOIP_WAIT_FOREVER) { return -1; }
        self->with([&] { self->sends.emplace_back(static_cast<const char*>(buffer), size); });
        return *sent = std::min(size, self->sendLimit.load()), 0;
    }
    static int bytesAvailable(uint32_t channel, uint32_t* count)
    {
        self->with([&] {
            ++self->availableChecks;
            self->idleChecks += (*count = static_cast<uint32_t>(self->pending.size())) == 0;
        });
        self->checked.notify_all();
        return channel == kChannel ? 0 : -1;
    }
    static int receive(uint32_t channel, void* buffer, uint32_t size, uint32_t* received, uint32_t timeout)
    {
        if (const int event = self->eventInsideReceive.exchange(-1); event != -1) { self->channelEvent(event); }
        return self->with([&] {
            *received = std::min(size, static_cast<uint32_t>(self->pending.size()));
            std::memcpy(buffer, self->pending.data(), *received);
            self->pending.erase(0, *received);
            *received += self->overReport;
            return channel == kChannel && timeout == 0 ? 0 : -1;
        });
    }
};
}  // namespace TestSupport
