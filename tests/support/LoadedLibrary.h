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
    bool (*clientConnected)(TConnection*) = nullptr;
    void (*clientDataRead)(TConnection*, const char*, unsigned int) = nullptr;
    void (*clientDisconnected)(TConnection*) = nullptr;
    void (*traceInit)(unsigned int) = nullptr;
    void (*log)(int, const char*, const char*, ...) = nullptr;
};

// Loads the library once per process (it is never unloaded) and returns its
// entry points; TRACE_INIT has run once.
const EntryPoints& library();

// Any exported symbol of the loaded library (a transport's entry points);
// fails the calling test's process with an exception when it is missing.
void* symbol(const char* name);

template <typename Function>
Function entryPoint(const char* name)
{
    return reinterpret_cast<Function>(symbol(name));
}

// A channel as a transport keeps it: the record is embedded in the
// transport's own structure, recovered from the record's address in writeData.
struct CapturingChannel {
    CapturingChannel();

    CapturingChannel(const CapturingChannel&) = delete;
    CapturingChannel& operator=(const CapturingChannel&) = delete;

    struct Slot {
        TConnection record;
        CapturingChannel* owner;
    };
    Slot slot{};
    TConnection& record = slot.record;
    mutable std::mutex mutex;
    std::condition_variable written;
    std::vector<std::string> messages;
    bool closed = false;     // set after ClientDisconnected returned
    int writesAfterClose = 0;

    void send(const std::string& text);
    void connect();
    void disconnect();

    std::size_t count() const;
    // Waits (without iterating any main context) until `expected` messages
    // were written; false when `timeout` passed first.
    bool waitForCount(std::size_t expected, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    std::string message(std::size_t index) const;
};

}  // namespace TestSupport
