// SPDX-License-Identifier: Apache-2.0
#include "base/Address.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <iostream>
#include <stdexcept>

namespace Net {

Address::Address() : _storage{}, _length(0) {}

Address::Address(const sockaddr* address, size_t length) : _storage{}, _length(length)
{
    std::memcpy(_storage, address, length < kStorage ? length : kStorage);
}

Address::Address(const sockaddr* address, size_t length, int port) : Address(address, length)
{
    // The port sits at the same place in sockaddr_in and sockaddr_in6.
    if (_length == kIPv4Length || _length == kIPv6Length) {
        reinterpret_cast<sockaddr_in*>(_storage)->sin_port = htons(static_cast<uint16_t>(port));
    }
}

Address::Address(const Address& other) : _storage{}, _length(other._length)
{
    std::memcpy(_storage, other._storage, sizeof(_storage));
}

Address& Address::operator=(const Address& other)
{
    if (this != &other) {
        std::memcpy(_storage, other._storage, sizeof(_storage));
        _length = other._length;
    }
    return *this;
}

sockaddr* Address::Get()
{
    return reinterpret_cast<sockaddr*>(_storage);
}

const sockaddr* Address::Get() const
{
    return reinterpret_cast<const sockaddr*>(_storage);
}

int Address::Family() const
{
    if (_length == kIPv4Length) {
        return AF_INET;
    }
    if (_length == kIPv6Length) {
        return AF_INET6;
    }
    return AF_UNSPEC;
}

int Address::Port() const
{
    if (_length != kIPv4Length && _length != kIPv6Length) {
        return 0;
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(_storage)->sin_port);
}

Address Address::FromIpAndPort(unsigned short family, const std::string& ip, int port)
{
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
            TRACE_ERROR << "IPv4 address [" << ip << "] is invalid" << std::endl;
            throw std::invalid_argument("Invalid Address");
        }
        return Address(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    }
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_flowinfo = 0;
        address.sin6_scope_id = 0;
        if (inet_pton(AF_INET6, ip.c_str(), &address.sin6_addr) != 1) {
            TRACE_ERROR << "IPv6 address [" << ip << "] is invalid" << std::endl;
            throw std::invalid_argument("Invalid Address");
        }
        return Address(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    }
    TRACE_ERROR << "Unhandled family [" << family << "] address [" << ip << "]" << std::endl;
    throw std::invalid_argument("Unhandled Address Family");
}

Address Address::FromNameAndPort(const std::string& name, int port, const std::string& service)
{
    const char* serviceName = nullptr;
    if (!service.empty()) {
        serviceName = service.c_str();
    } else if (port == 80) {
        serviceName = "http";
    } else if (port == 443) {
        serviceName = "https";
    }
    addrinfo* raw = nullptr;
    const int result = getaddrinfo(name.c_str(), serviceName, nullptr, &raw);
    const Base::UniqueHandle<addrinfo, freeaddrinfo> results(raw);
    if (result != 0 || !results || results->ai_addr == nullptr || results->ai_addrlen > kStorage) {
        TRACE_ERROR << "Failed to determine address of name [" << name << "]" << std::endl;
        throw std::invalid_argument("Unknown Address");
    }
    return Address(results->ai_addr, results->ai_addrlen, port);
}

Address Address::FromNameAndPort(const std::string& nameAndPort, const std::string& service)
{
    const std::size_t colon = nameAndPort.find(':');
    const std::string name = nameAndPort.substr(0, colon);
    const std::string portText = colon == std::string::npos ? nameAndPort : nameAndPort.substr(colon + 1);
    try {
        const unsigned long port = std::stoul(portText);
        return FromNameAndPort(name, static_cast<int>(port), service);
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to parse port [" << portText << "] from name [" << nameAndPort << "] error ["
                    << error.what() << "]" << std::endl;
        throw std::invalid_argument("Invalid Address");
    }
}

Address Address::ApplyPrefixMask(size_t prefix) const
{
    const size_t width = _length == kIPv4Length ? 32 : 128;
    if (prefix > width) {
        TRACE_ERROR << "Invalid prefix [" << prefix << "]" << std::endl;
        throw std::invalid_argument("Invalid prefix");
    }
    Address masked(*this);
    unsigned char* bytes = nullptr;
    size_t size = 0;
    if (_length == kIPv4Length) {
        bytes = reinterpret_cast<unsigned char*>(&reinterpret_cast<sockaddr_in*>(masked._storage)->sin_addr);
        size = 4;
    } else if (_length == kIPv6Length) {
        bytes = reinterpret_cast<unsigned char*>(&reinterpret_cast<sockaddr_in6*>(masked._storage)->sin6_addr);
        size = 16;
    } else {
        return masked;
    }
    const size_t hostBits = width - prefix;
    const size_t wholeBytes = hostBits / 8;
    std::memset(bytes + size - wholeBytes, 0, wholeBytes);
    if (wholeBytes < size) {
        const unsigned int partBits = hostBits % 8;
        bytes[size - wholeBytes - 1] &= static_cast<unsigned char>(0xFFU << partBits);
    }
    return masked;
}

std::string Address::ToString(bool withPort) const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (_length == kIPv4Length) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(_storage)->sin_addr, text, sizeof(text));
    } else if (_length == kIPv6Length) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(_storage)->sin6_addr, text, sizeof(text));
    } else {
        return "";
    }
    std::string result(text);
    if (withPort) {
        result += ":" + std::to_string(Port());
    }
    return result;
}

}  // namespace Net
