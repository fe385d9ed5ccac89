// SPDX-License-Identifier: Apache-2.0
#include "support/LoadedLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

namespace TestSupport {
void* symbol(const char* name)
{
    const char* const path = CVCLIENT_LIBRARY_PATH;  // nullptr: the library is linked into this program
    static void* const handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void* found = handle != nullptr ? dlsym(handle, name) : nullptr;
    if (found == nullptr) throw std::runtime_error(std::string("cannot find ") + name + " in " + (path ? path : "this program"));
    return found;
}
const EntryPoints& library()
{
    static const EntryPoints entry = [] {
        EntryPoints loaded{entryPoint<bool (*)(TConnection*)>("ClientConnected"),
                           entryPoint<void (*)(TConnection*, const char*, unsigned int)>("ClientDataRead"),
                           entryPoint<void (*)(TConnection*)>("ClientDisconnected"),
                           entryPoint<void (*)(unsigned int)>("TRACE_INIT"),
                           entryPoint<void (*)(int, const char*, const char*, ...)>("Log")};
        loaded.traceInit(0);
        return loaded;
    }();
    return entry;
}
CapturingChannel::CapturingChannel()
{
    slot.owner = this;
    // The record is the first member of the slot, as transports embed it.
    slot.record.writeData = [](TConnection* record, const char* data, unsigned int length) {
        CapturingChannel* channel = reinterpret_cast<Slot*>(record)->owner;
        const std::lock_guard<std::mutex> lock(channel->mutex);
        channel->writesAfterClose += channel->closed ? 1 : 0;
        channel->messages.emplace_back(data, length);
        channel->written.notify_all();
    };
}
void CapturingChannel::disconnect()
{
    library().clientDisconnected(&record);
    const std::lock_guard<std::mutex> lock(mutex);
    closed = true;
}
}  // namespace TestSupport
