// SPDX-License-Identifier: Apache-2.0
#include "providers/device/NameProvider.h"

#include "base/LazyLibrary.h"
#include "base/Logging.h"
#include "base/UniqueHandle.h"
#include "base/Utilities.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <systemd/sd-id128.h>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

std::string getDnsFromHostname(const std::string& host)
{
    // The web service's port as a number: naming it "http" would look it up
    // in the services database at every reading, and fail the whole lookup
    // on an endpoint whose /etc/services lacks it.
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int result = getaddrinfo(host.c_str(), "80", &hints, &raw);
    Base::UniqueHandle<addrinfo, freeaddrinfo> results(raw);
    if (result != 0) {
        TRACE_ERROR << "Failed to get address info  of host [" << host << "] with error [" << gai_strerror(result)
                  << "]" << std::endl;
        return {};
    }
    if (results && results->ai_canonname != nullptr) {
        return results->ai_canonname;
    }
    return {};
}

}  // namespace

std::future<PropertyMap> NameProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting NAME properties..." << std::endl;
        utsname system{};
        if (uname(&system) != 0) {
            TRACE_ERROR << "Failed to get name with error [-1]" << std::endl;
            properties.unavailable(kNodeKeys);
        } else {
            const std::string node = system.nodename;
            properties.add(kName, node);
            properties.add(kNameDns, [&] { return getDnsFromHostname(node); });
        }
        properties.add(kId, &NameProvider::getDeviceId);
        TRACE_VERBOSE << "Done getting NAME properties." << std::endl;
    });
}

std::string NameProvider::getDeviceName()
{
    utsname system{};
    if (uname(&system) != 0) {
        return PropertyCollector::kUnavailable;
    }
    return system.nodename;
}

std::string NameProvider::getDeviceId()
{
    std::array<uint8_t, 16> bytes{};
    if (Base::LazyLibrary::require(Base::LazyLibrary::Systemd)) {
        sd_id128_t machine{};
        if (sd_id128_get_machine(&machine) < 0) {
            return PropertyCollector::kUnavailable;
        }
        std::memcpy(bytes.data(), machine.bytes, bytes.size());
    } else {
        // Without libsystemd, its source: the machine id's file.
        const std::optional<std::array<uint8_t, 16>> parsed =
            parseMachineId(Utilities::readFile("/etc/machine-id").value_or(""));
        if (!parsed) {
            return PropertyCollector::kUnavailable;
        }
        bytes = *parsed;
    }
    return formatDeviceId(bytes);
}

std::optional<std::array<uint8_t, 16>> NameProvider::parseMachineId(const std::string& text)
{
    const std::size_t digits = text.size() == 33 && text.back() == '\n' ? 32 : text.size();
    if (digits != 32) {
        return std::nullopt;
    }
    std::array<uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[i];
        const int nibble = c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        if (nibble < 0) {
            return std::nullopt;
        }
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | nibble);
    }
    return bytes;
}

std::string NameProvider::formatDeviceId(std::array<uint8_t, 16> m)
{
    m[6] = static_cast<uint8_t>((m[6] & 0x0F) | 0x40);
    m[8] = static_cast<uint8_t>((m[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", m[3],
                  m[2], m[1], m[0], m[5], m[4], m[7], m[6], m[8], m[9], m[10], m[11], m[12], m[13], m[14], m[15]);
    return text;
}
