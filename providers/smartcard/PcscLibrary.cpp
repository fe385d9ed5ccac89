// SPDX-License-Identifier: Apache-2.0
#include "providers/smartcard/PcscLibrary.h"

#include "base/Logging.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

constexpr const char* kLibraryName = "libpcsclite.so.1";

struct Loaded {
    std::mutex mutex;
    std::atomic<int> wanting{0};  // Uses waiting for the lock
    std::mutex waitMutex;         // guards `waiting`
    SCARDCONTEXT waiting = 0;     // the context of the Wait that holds the lock, if any
    bool tried = false;  // set before trying: a failure is not retried
    bool usable = false;
    PcscLibrary library;
};

Loaded& loaded()
{
    // Never destroyed: a watch may still use it while the process exits.
    static Loaded* process = new Loaded;
    return *process;
}

// How long a Use waits for a wait it cancelled, before it cancels again.
constexpr int kCancelAgainMilliseconds = 20;

// A timed lock made of tries (a timed mutex's wait is not seen by the thread
// checker): true once `mutex` is locked, false after about `milliseconds`.
bool tryLockFor(std::mutex& mutex, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; ++waited) {
        if (mutex.try_lock()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return mutex.try_lock();
}

std::string dlErrorText()
{
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

}  // namespace

PcscLibrary::Use::Use()
{
    Loaded& process = loaded();
    if (!process.mutex.try_lock()) {
        // A watch's wait may hold it: cancelled until it lets go (a cancel
        // that comes just before its wait begins is sent again).
        ++process.wanting;
        for (;;) {
            {
                const std::lock_guard<std::mutex> waiting(process.waitMutex);
                if (process.waiting != 0 && process.library.cancel != nullptr) {
                    process.library.cancel(process.waiting);
                }
            }
            if (tryLockFor(process.mutex, kCancelAgainMilliseconds)) {
                break;
            }
        }
        --process.wanting;
    }
    _lock = std::unique_lock<std::mutex>(process.mutex, std::adopt_lock);
    if (!process.tried) {
        process.tried = true;
        process.library.load();
        process.usable = process.library.usable();
    }
    if (process.usable) {
        _library = &process.library;
    } else {
        TRACE_ERROR << "Failed to load smartcard library" << std::endl;
    }
}

PcscLibrary::Wait::Wait(SCARDCONTEXT context, const std::atomic<bool>& stopping)
{
    Loaded& process = loaded();
    while (!stopping) {
        if (process.wanting > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!tryLockFor(process.mutex, kCancelAgainMilliseconds)) {
            continue;
        }
        if (process.wanting == 0) {
            _held = true;
            break;
        }
        process.mutex.unlock();
    }
    if (_held) {
        const std::lock_guard<std::mutex> waiting(process.waitMutex);
        process.waiting = context;
    }
}

PcscLibrary::Wait::~Wait()
{
    if (!_held) {
        return;
    }
    Loaded& process = loaded();
    {
        const std::lock_guard<std::mutex> waiting(process.waitMutex);
        process.waiting = 0;
    }
    process.mutex.unlock();
}

void PcscLibrary::load()
{
    TRACE_INFO << "Loading smartcard library [" << kLibraryName << "]..." << std::endl;
    void* handle = dlopen(kLibraryName, RTLD_LAZY | RTLD_GLOBAL);
    if (handle == nullptr) {
        TRACE_ERROR << "Failed to load smartcard library error [" << dlErrorText() << "]" << std::endl;
        return;
    }
    // One function of the library, or null (logged when `needed`) when it lacks it.
    const auto find = [handle](const char* name, bool needed) -> void* {
        TRACE_FUNCTION("initialisePcsc");
        dlerror();
        void* symbol = dlsym(handle, name);
        if (symbol == nullptr && needed) {
            TRACE_ERROR << "Failed to find smartcard symbol " << name << " error [" << dlErrorText() << "]"
                        << std::endl;
        }
        return symbol;
    };
    void* establish = find("SCardEstablishContext", true);
    void* list = establish != nullptr ? find("SCardListReaders", true) : nullptr;
    void* release = list != nullptr ? find("SCardReleaseContext", true) : nullptr;
    if (release == nullptr) {
        return;
    }
    establishContext = reinterpret_cast<EstablishContext>(establish);
    listReaders = reinterpret_cast<ListReaders>(list);
    releaseContext = reinterpret_cast<ReleaseContext>(release);
    getStatusChange = reinterpret_cast<GetStatusChange>(find("SCardGetStatusChange", false));
    cancel = reinterpret_cast<Cancel>(find("SCardCancel", false));
    stringifyError = reinterpret_cast<StringifyError>(find("pcsc_stringify_error", false));
}

std::string PcscLibrary::errorText(LONG result) const
{
    if (stringifyError != nullptr) {
        if (const char* text = stringifyError(result)) {
            return text;
        }
    }
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(result)));
    return code;
}

std::vector<std::string> PcscLibrary::readerNames(const char* list, std::size_t size)
{
    std::vector<std::string> names;
    for (std::size_t at = 0; at < size && list[at] != '\0';) {
        const std::size_t length = strnlen(list + at, size - at);
        names.emplace_back(list + at, length);
        at += length + 1;
    }
    return names;
}

bool PcscLibrary::listReaderNames(SCARDCONTEXT context, std::vector<std::string>& names, LONG& result) const
{
    names.clear();
    DWORD size = 0;
    result = listReaders(context, nullptr, nullptr, &size);
    if (result != SCARD_S_SUCCESS) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    std::vector<char> list(size);
    result = listReaders(context, nullptr, list.data(), &size);
    if (result != SCARD_S_SUCCESS) {
        return false;
    }
    names = readerNames(list.data(), std::min<std::size_t>(size, list.size()));
    return true;
}

void PcscContextTraits::release(SCARDCONTEXT context)
{
    // A context exists only once the library was loaded, which it stays.
    loaded().library.releaseContext(context);
}
