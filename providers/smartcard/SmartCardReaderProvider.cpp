#include "providers/smartcard/SmartCardReaderProvider.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"

#include <winscard.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kLibraryName = "libpcsclite.so.1";

// pcsc-lite's functions as its header declares them; only their types are
// compiled in, the functions come from the library loaded at run time.
using EstablishContext = decltype(&SCardEstablishContext);
using ListReaders = decltype(&SCardListReaders);
using ReleaseContext = decltype(&SCardReleaseContext);
using StringifyError = decltype(&pcsc_stringify_error);

// Shared by every provider of the process. `initialisePcsc` fills it once and
// nothing is ever released: the library stays loaded and its functions stay
// valid for the life of the process. A read holds the mutex from loading to
// the last call into pcsc-lite: a second reader waits for the first one's
// loading, and pcsc-lite's client is used by one read at a time, since it
// lists readers through a single process-wide table whatever the context.
struct PcscLibrary {
    std::mutex mutex;
    bool initialised = false;  // set before trying: a failure is not retried
    void* handle = nullptr;    // kept for the life of the process, never closed
    EstablishContext establishContext = nullptr;
    ListReaders listReaders = nullptr;
    ReleaseContext releaseContext = nullptr;
    // Not needed for listing: without it an error is shown by its code only.
    StringifyError stringifyError = nullptr;

    bool usable() const
    {
        return handle != nullptr && establishContext != nullptr && listReaders != nullptr &&
               releaseContext != nullptr;
    }
};

PcscLibrary gPcsc;

std::string dlErrorText()
{
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

void initialisePcsc()
{
    TRACE_INFO << "Loading smartcard library [" << kLibraryName << "]..." << std::endl;
    void* handle = dlopen(kLibraryName, RTLD_LAZY | RTLD_GLOBAL);
    if (handle == nullptr) {
        TRACE_ERROR << "Failed to load smartcard library error [" << dlErrorText() << "]" << std::endl;
        return;
    }
    gPcsc.handle = handle;

    // One function of the library, or null (logged) when it lacks it.
    const auto find = [handle](const char* name) -> void* {
        TRACE_FUNCTION("initialisePcsc");
        dlerror();
        void* symbol = dlsym(handle, name);
        if (symbol == nullptr) {
            TRACE_ERROR << "Failed to find smartcard symbol " << name << " error [" << dlErrorText() << "]"
                        << std::endl;
        }
        return symbol;
    };
    void* establish = find("SCardEstablishContext");
    if (establish == nullptr) {
        return;
    }
    void* list = find("SCardListReaders");
    if (list == nullptr) {
        return;
    }
    void* release = find("SCardReleaseContext");
    if (release == nullptr) {
        return;
    }
    gPcsc.establishContext = reinterpret_cast<EstablishContext>(establish);
    gPcsc.listReaders = reinterpret_cast<ListReaders>(list);
    gPcsc.releaseContext = reinterpret_cast<ReleaseContext>(release);
    gPcsc.stringifyError = reinterpret_cast<StringifyError>(dlsym(handle, "pcsc_stringify_error"));
}

// pcsc-lite's text for a result; the code in hexadecimal when the library
// cannot give one.
std::string errorText(const PcscLibrary& pcsc, LONG result)
{
    if (pcsc.stringifyError != nullptr) {
        if (const char* text = pcsc.stringifyError(result)) {
            return text;
        }
    }
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(result)));
    return code;
}

// An established context, released through the loaded library. 0 is no
// context.
struct ContextTraits {
    static constexpr SCARDCONTEXT invalid = 0;
    static void release(SCARDCONTEXT context) { gPcsc.releaseContext(context); }
};
using Context = Base::UniqueValue<SCARDCONTEXT, ContextTraits>;

// Asks pcscd for its readers and adds a name key for each one; gives how many
// were added. Every failure is logged and gives 0.
int collectReaders(PropertyCollector& properties)
{
    TRACE_FUNCTION("getProperties");
    const std::lock_guard<std::mutex> lock(gPcsc.mutex);
    if (!gPcsc.initialised) {
        gPcsc.initialised = true;
        initialisePcsc();
    }
    const PcscLibrary& pcsc = gPcsc;
    if (!pcsc.usable()) {
        TRACE_ERROR << "Failed to load smartcard library" << std::endl;
        return 0;
    }

    SCARDCONTEXT established = 0;
    const LONG result = pcsc.establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &established);
    if (result != SCARD_S_SUCCESS) {
        TRACE_ERROR << "Failed to establish smartcard reader context error [" << result << "] message ["
                    << errorText(pcsc, result) << "]" << std::endl;
        return 0;
    }
    const Context context(established);

    const auto listFailed = [&](LONG result) {
        TRACE_FUNCTION("getProperties");
        TRACE_ERROR << "Failed to list smartcard readers error [" << result << "] message ["
                    << errorText(pcsc, result) << "]" << std::endl;
        return 0;
    };
    DWORD size = 0;
    LONG listed = pcsc.listReaders(context.get(), nullptr, nullptr, &size);
    if (listed != SCARD_S_SUCCESS) {
        // Also pcscd's answer when it has no readers at all.
        return listFailed(listed);
    }
    if (size == 0) {
        return 0;
    }
    std::vector<char> names(size);
    listed = pcsc.listReaders(context.get(), nullptr, names.data(), &size);
    if (listed != SCARD_S_SUCCESS) {
        return listFailed(listed);
    }

    // Names one after the other, each ending with a NUL; an empty name ends
    // the list.
    const std::size_t end = std::min<std::size_t>(size, names.size());
    int index = 0;
    for (std::size_t at = 0; at < end && names[at] != '\0';) {
        const std::size_t length = strnlen(names.data() + at, end - at);
        const std::string name(names.data() + at, length);
        TRACE_INFO << "Processing smartcard reader [" << name << "]" << std::endl;
        properties.addIndexed(SmartCardReaderProvider::kName, index, name);
        ++index;
        at += length + 1;
    }
    return index;
}

}  // namespace

std::future<PropertyMap> SmartCardReaderProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting SMARTCARDREADER properties..." << std::endl;
        // pcsc-lite is neither loaded nor asked when no key is wanted.
        if (properties.anySelected(kKeys)) {
            const int count = collectReaders(properties);
            properties.add(kCount, std::to_string(count));
        }
        TRACE_VERBOSE << "Done getting SMARTCARDREADER properties." << std::endl;
    });
}
