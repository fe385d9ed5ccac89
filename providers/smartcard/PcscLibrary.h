// SPDX-License-Identifier: Apache-2.0
// pcsc-lite's client library, loaded by file name on the first use in the
// process and kept for the rest of it: nothing is ever released, and its
// functions stay valid for the life of the process. Only the functions' types
// are compiled in.
//
// pcsc-lite's client keeps the readers it lists in one process-wide table,
// whatever the context, and writes it at every call that asks pcscd: every
// use holds the library's lock for its whole length, a Use for readings and
// a Wait for a watch's status-change wait (which may last: a Use that wants
// the lock cancels the wait, and the Wait gives the lock up until no Use
// wants it any more).
//
//     const PcscLibrary::Use pcsc;
//     if (!pcsc) { ... not loaded, logged ... }
//     pcsc->establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
#pragma once

#include "base/UniqueHandle.h"

#include <winscard.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class PcscLibrary {
public:
    using EstablishContext = decltype(&SCardEstablishContext);
    using ListReaders = decltype(&SCardListReaders);
    using ReleaseContext = decltype(&SCardReleaseContext);
    using GetStatusChange = decltype(&SCardGetStatusChange);
    using Cancel = decltype(&SCardCancel);
    using StringifyError = decltype(&pcsc_stringify_error);

    EstablishContext establishContext = nullptr;
    ListReaders listReaders = nullptr;
    ReleaseContext releaseContext = nullptr;
    // Not needed for listing: without them there is no watch, and an error is
    // shown by its code only.
    GetStatusChange getStatusChange = nullptr;
    Cancel cancel = nullptr;
    StringifyError stringifyError = nullptr;

    // The library's lock, and the library loaded on the first Use (a failure
    // is logged once and not retried).
    class Use {
    public:
        Use();
        explicit operator bool() const { return _library != nullptr; }
        const PcscLibrary* operator->() const { return _library; }
        const PcscLibrary& operator*() const { return *_library; }

    private:
        std::unique_lock<std::mutex> _lock;
        const PcscLibrary* _library = nullptr;
    };

    // The lock for one status-change wait on `context`, taken once no Use
    // wants it, or not at all when `stopping` is set first; while it is held
    // a Use cancels the wait on `context`. Another watch's wait is waited
    // for, never cancelled. Only after a Use found the library usable.
    class Wait {
    public:
        Wait(SCARDCONTEXT context, const std::atomic<bool>& stopping);
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;
        explicit operator bool() const { return _held; }

    private:
        bool _held = false;
    };

    // pcsc-lite's text for a result; the code in hexadecimal when the library
    // cannot give one.
    std::string errorText(LONG result) const;

    // The names in a reader list as SCardListReaders gives it: one after the
    // other, each ending with a NUL, an empty name ending the list; `size` is
    // the list's length (what lies beyond is never read).
    static std::vector<std::string> readerNames(const char* list, std::size_t size);

    // The readers pcscd knows on `context` (none when it has none); false
    // with `result` set when they cannot be listed. Call within a Use.
    bool listReaderNames(SCARDCONTEXT context, std::vector<std::string>& names, LONG& result) const;

private:
    void load();
    bool usable() const
    {
        return establishContext != nullptr && listReaders != nullptr && releaseContext != nullptr;
    }
};

// An established context, released through the loaded library. 0 is no context.
struct PcscContextTraits {
    static constexpr SCARDCONTEXT invalid = 0;
    static void release(SCARDCONTEXT context);
};
using PcscContext = Base::UniqueValue<SCARDCONTEXT, PcscContextTraits>;
