// SPDX-License-Identifier: Apache-2.0
#include "providers/smartcard/SmartCardChanges.h"

#include "base/Logging.h"
#include "base/SignalStack.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <system_error>

namespace {

constexpr const char* kNotification = "\\\\?PnP?\\Notification";

}  // namespace

int SmartCardChanges::connect(std::string& why)
{
    disconnect();
    {
        const PcscLibrary::Use pcsc;
        if (!pcsc) {
            why = "no smart card library";
            return -1;
        }
        if (pcsc->getStatusChange == nullptr || pcsc->cancel == nullptr) {
            why = "the smart card library cannot announce changes";
            return -1;
        }
        SCARDCONTEXT established = 0;
        const LONG result = pcsc->establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &established);
        if (result != SCARD_S_SUCCESS) {
            why = "pcscd does not answer: " + pcsc->errorText(result);
            return -1;
        }
        _pcsc = &*pcsc;
        _context.reset(established);
    }
    _announced.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!_announced) {
        why = "no event descriptor";
        _context.reset();
        return -1;
    }
    _stopping = false;
    _lost = false;
    _done = false;
    try {
        _waiter = std::thread(&SmartCardChanges::wait, this);
    } catch (const std::system_error& error) {
        why = std::string("no thread: ") + error.what();
        _announced.reset();
        _context.reset();
        return -1;
    }
    return _announced.get();
}

bool SmartCardChanges::learn(std::vector<std::string>& names, std::vector<SCARD_READERSTATE>& states)
{
    LONG result = SCARD_S_SUCCESS;
    if (!_pcsc->listReaderNames(_context.get(), names, result) &&
        result != static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
        return false;
    }
    names.insert(names.begin(), kNotification);
    states.assign(names.size(), SCARD_READERSTATE{});
    for (std::size_t index = 0; index < names.size(); ++index) {
        states[index].szReader = names[index].c_str();
        states[index].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    // Unaware of every state, the wait returns them at once.
    result = _pcsc->getStatusChange(_context.get(), 0, states.data(), static_cast<DWORD>(states.size()));
    if (result != SCARD_S_SUCCESS && result != static_cast<LONG>(SCARD_E_TIMEOUT)) {
        return false;
    }
    for (SCARD_READERSTATE& state : states) {
        state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    return true;
}

void SmartCardChanges::wait()
{
    const Base::SignalStack stack;
    bool asked = false;
    try {
        asked = watch();
    } catch (const std::exception& error) {
        TRACE_ERROR << "Smart card watch ended by [" << error.what() << "]" << std::endl;
    } catch (...) {
        TRACE_ERROR << "Smart card watch ended by an unknown exception" << std::endl;
    }
    if (!asked && !_stopping) {
        _lost = true;
        announce();
    }
    _done = true;
}

bool SmartCardChanges::watch()
{
    std::vector<std::string> names;
    std::vector<SCARD_READERSTATE> states;
    // The readers and their states when last looked at: what changed while
    // the wait was away (a reading had the library) is a change too.
    std::vector<std::pair<std::string, DWORD>> seen;
    bool announced = true;  // nothing to compare with yet
    while (!_stopping) {
        LONG result = SCARD_S_SUCCESS;
        {
            const PcscLibrary::Wait hold(_context.get(), _stopping);
            if (!hold || _stopping) {
                return true;
            }
            if (!learn(names, states)) {
                return false;
            }
            std::vector<std::pair<std::string, DWORD>> now;
            for (std::size_t index = 0; index < names.size(); ++index) {
                now.emplace_back(names[index], states[index].dwCurrentState);
            }
            if (!announced && now != seen) {
                announce();
            }
            seen = std::move(now);
            announced = false;
            result =
                _pcsc->getStatusChange(_context.get(), INFINITE, states.data(), static_cast<DWORD>(states.size()));
        }
        if (_stopping || result == static_cast<LONG>(SCARD_E_CANCELLED) ||
            result == static_cast<LONG>(SCARD_E_TIMEOUT)) {
            continue;  // stopping, or a reading wanted the library
        }
        if (result != SCARD_S_SUCCESS && result != static_cast<LONG>(SCARD_E_UNKNOWN_READER) &&
            result != static_cast<LONG>(SCARD_E_READER_UNAVAILABLE)) {
            return false;
        }
        // A reader came or went, or a reader's state changed: the readers are
        // listed again, which also learns every state now.
        announce();
        announced = true;
    }
    return true;
}

void SmartCardChanges::announce()
{
    // A full counter means an announcement is pending already.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(_announced.get(), &one, sizeof(one));
}

Base::ChangeSource::Taken SmartCardChanges::take()
{
    uint64_t count = 0;
    const bool announced = read(_announced.get(), &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
    if (_lost) {
        return Taken::lost;
    }
    return announced ? Taken::changed : Taken::nothing;
}

void SmartCardChanges::disconnect()
{
    if (_waiter.joinable()) {
        _stopping = true;
        // A cancel reaches only a wait in progress: it is sent again until
        // the thread has seen the stop.
        for (int attempt = 0; attempt < 300 && !_done; ++attempt) {
            _pcsc->cancel(_context.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(attempt < 10 ? 1 : 10));
        }
        _waiter.join();
    }
    _context.reset();
    _announced.reset();
}
