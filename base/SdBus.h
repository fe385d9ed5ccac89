// SPDX-License-Identifier: Apache-2.0
// Owners for sd-bus: the bus connection is flushed and closed, the error and
// returned strings released, on every way out.
//
//     Base::SdBus bus;
//     if (const int result = bus.openSystem(); result < 0) { ... }
//     Base::SdBusError error;
//     std::string value;
//     bus.getPropertyString(service, path, interface, name, error, value);
#pragma once

#include "base/UniqueHandle.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace Base {

class SdBusError {
public:
    SdBusError() = default;
    ~SdBusError() { sd_bus_error_free(&_error); }
    SdBusError(const SdBusError&) = delete;
    SdBusError& operator=(const SdBusError&) = delete;

    sd_bus_error* get() { return &_error; }
    const char* name() const { return _error.name != nullptr ? _error.name : ""; }
    const char* message() const { return _error.message != nullptr ? _error.message : ""; }

private:
    sd_bus_error _error = SD_BUS_ERROR_NULL;
};

class SdBus {
public:
    // How long a bus daemon or service may take to answer a call that holds
    // up a watch's or a reading's thread.
    static constexpr uint64_t kAnswerMicroseconds = 2'000'000;

    SdBus() = default;

    // Opens the system bus; the sd-bus result (negative errno on failure).
    // Its calls wait at most kAnswerMicroseconds for an answer, not sd-bus's
    // 25 s: a service that hangs costs its own category one short failure
    // per call, and never holds up a check of every category for long.
    int openSystem()
    {
        sd_bus* raw = nullptr;
        const int result = sd_bus_open_system(&raw);
        _bus.reset(raw);
        if (result >= 0) {
            sd_bus_set_method_call_timeout(raw, kAnswerMicroseconds);
        }
        return result;
    }

    // Opens the system bus the first time; the first result at every call.
    int openSystemOnce()
    {
        if (!_opened) {
            _opened = openSystem();
        }
        return *_opened;
    }

    sd_bus* get() const { return _bus.get(); }

    // Reads a string property of a service's object; the sd-bus result, with
    // `value` set only on success (a missing string counts as -ENODATA).
    int getPropertyString(const char* service, const char* path, const char* interface, const char* member,
                          SdBusError& error, std::string& value) const;

    // The same for a property of a basic type (`type` as sd-bus writes it:
    // 'u' into a uint32_t, 'd' into a double, 'b' into an int), and for a
    // boolean one.
    int getPropertyTrivial(const char* service, const char* path, const char* interface, const char* member,
                           SdBusError& error, char type, void* value) const
    {
        return sd_bus_get_property_trivial(_bus.get(), service, path, interface, member, error.get(), type, value);
    }
    int getPropertyBool(const char* service, const char* path, const char* interface, const char* member,
                        SdBusError& error, bool& value) const
    {
        int flag = 0;
        const int result = getPropertyTrivial(service, path, interface, member, error, 'b', &flag);
        if (result >= 0) {
            value = flag != 0;
        }
        return result;
    }

    // Whether the well-known name `name` has an owner on this bus; the sd-bus
    // result, with `owned` set only on success.
    int nameHasOwner(const char* name, SdBusError& error, bool& owned) const;

private:
    static void close(sd_bus* bus) { sd_bus_flush_close_unref(bus); }
    UniqueHandle<sd_bus, close> _bus;
    std::optional<int> _opened;
};

// A string the C library allocated with malloc.
using CString = UniqueHandle<char, std::free>;

inline int SdBus::getPropertyString(const char* service, const char* path, const char* interface, const char* member,
                                    SdBusError& error, std::string& value) const
{
    char* raw = nullptr;
    const int result = sd_bus_get_property_string(_bus.get(), service, path, interface, member, error.get(), &raw);
    const CString text(raw);
    if (result < 0) {
        return result;
    }
    if (!text) {
        return -ENODATA;
    }
    value = text.get();
    return result;
}

inline int SdBus::nameHasOwner(const char* name, SdBusError& error, bool& owned) const
{
    sd_bus_message* raw = nullptr;
    int result = sd_bus_call_method(_bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameHasOwner", error.get(), &raw, "s", name);
    const UniqueHandle<sd_bus_message, sd_bus_message_unref> reply(raw);
    if (result < 0) {
        return result;
    }
    int flag = 0;
    result = sd_bus_message_read(reply.get(), "b", &flag);
    if (result >= 0) {
        owned = flag != 0;
    }
    return result;
}

}  // namespace Base
