#include "support/LoadedLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

namespace TestSupport {

namespace {

template <typename Function>
void resolve(void* handle, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (function == nullptr) {
        throw std::runtime_error(std::string("missing symbol ") + name);
    }
}

void* handle()
{
    static void* const loaded = [] {
        void* opened = dlopen(CVCLIENT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (opened == nullptr) {
            throw std::runtime_error(std::string("cannot load library: ") + dlerror());
        }
        return opened;
    }();
    return loaded;
}

EntryPoints load()
{
    void* handle = TestSupport::handle();
    EntryPoints entry;
    resolve(handle, "ClientConnected", entry.clientConnected);
    resolve(handle, "ClientDataRead", entry.clientDataRead);
    resolve(handle, "ClientDisconnected", entry.clientDisconnected);
    resolve(handle, "TRACE_INIT", entry.traceInit);
    resolve(handle, "Log", entry.log);
    entry.traceInit(0);
    return entry;
}

void captureWrite(TConnection* record, const char* data, unsigned int length)
{
    // The record is the first member of the slot, as transports embed it.
    CapturingChannel* channel = reinterpret_cast<CapturingChannel::Slot*>(record)->owner;
    std::lock_guard<std::mutex> lock(channel->mutex);
    if (channel->closed) {
        ++channel->writesAfterClose;
    }
    channel->messages.emplace_back(data, length);
    channel->written.notify_all();
}

}  // namespace

void* symbol(const char* name)
{
    void* found = dlsym(handle(), name);
    if (found == nullptr) {
        throw std::runtime_error(std::string("missing symbol ") + name);
    }
    return found;
}

const EntryPoints& library()
{
    static const EntryPoints entry = load();
    return entry;
}

CapturingChannel::CapturingChannel()
{
    slot.owner = this;
    slot.record.writeData = &captureWrite;
}

void CapturingChannel::connect()
{
    library().clientConnected(&record);
}

void CapturingChannel::send(const std::string& text)
{
    library().clientDataRead(&record, text.data(), static_cast<unsigned int>(text.size()));
}

void CapturingChannel::disconnect()
{
    library().clientDisconnected(&record);
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
}

std::size_t CapturingChannel::count() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
}

bool CapturingChannel::waitForCount(std::size_t expected, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return written.wait_for(lock, timeout, [&] { return messages.size() >= expected; });
}

std::string CapturingChannel::message(std::size_t index) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return index < messages.size() ? messages[index] : std::string();
}

}  // namespace TestSupport
