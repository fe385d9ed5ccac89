// SPDX-License-Identifier: Apache-2.0
// The built shared library loaded with dlopen and driven through its exported
// entry points only, and a transport record that captures what it writes.
#pragma once
#include "core/cvclient.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {
struct EntryPoints {
    bool (*clientConnected)(TConnection*);
    void (*clientDataRead)(TConnection*, const char*, unsigned int);
    void (*clientDisconnected)(TConnection*);
    void (*traceInit)(unsigned int);
    void (*log)(int, const char*, const char*, ...);
};
// Loads the library once per process (never unloaded); TRACE_INIT has run once.
const EntryPoints& library();
// Any exported symbol of the loaded library; throws when it is missing.
void* symbol(const char* name);
template <typename Function>
Function entryPoint(const char* name) { return reinterpret_cast<Function>(symbol(name)); }

// A channel as a transport keeps it: the record is embedded in the transport's
// own structure, recovered from the record's address in writeData.
struct CapturingChannel {
    CapturingChannel();
    struct Slot {
        TConnection record;
        CapturingChannel* owner;
    };
    Slot slot{};
    TConnection& record = slot.record;
    mutable std::mutex mutex;
    std::condition_variable written;
    std::vector<std::string> messages;
    bool closed = false;  // set after ClientDisconnected returned
    int writesAfterClose = 0;

    void connect() { library().clientConnected(&record); }
    void send(const std::string& text) { library().clientDataRead(&record, text.data(), text.size()); }
    void disconnect();
    std::size_t count() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    // Waits (iterating no main context) until `expected` messages were written.
    bool waitForCount(std::size_t expected, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return written.wait_for(lock, timeout, [&] { return messages.size() >= expected; });
    }
    std::string message(std::size_t index) const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return index < messages.size() ? messages[index] : std::string();
    }
};
}  // namespace TestSupport
