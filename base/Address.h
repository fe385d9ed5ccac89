// SPDX-License-Identifier: Apache-2.0
// One IPv4 or IPv6 socket address (address and port), built from text or from
// a name by resolution; it masks itself to a network prefix and prints itself.
//
//     Net::Address::FromIpAndPort(AF_INET, "192.168.17.5", 0).ApplyPrefixMask(20).ToString(false)
//         == "192.168.16.0"
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <string>

namespace Net {

class Address {
public:
    Address();
    Address(const sockaddr* address, size_t length);
    Address(const sockaddr* address, size_t length, int port);
    Address(const Address& other);
    Address& operator=(const Address& other);

    sockaddr* Get();
    const sockaddr* Get() const;
    size_t Length() const { return _length; }

    // AF_INET for a length of 16, AF_INET6 for 28, else 0.
    int Family() const;
    // The port in host byte order; 0 for the empty address.
    int Port() const;

    // Each factory logs an ERROR line and throws std::invalid_argument on failure.
    static Address FromIpAndPort(unsigned short family, const std::string& ip, int port);
    static Address FromNameAndPort(const std::string& name, int port, const std::string& service);
    static Address FromNameAndPort(const std::string& nameAndPort, const std::string& service);

    // A copy keeping the first `prefix` bits of the IP address, the rest cleared.
    Address ApplyPrefixMask(size_t prefix) const;

    // Dotted or compressed text, with ":" and the port when `withPort`.
    std::string ToString(bool withPort) const;

private:
    static constexpr size_t kStorage = 32;
    static constexpr size_t kIPv4Length = sizeof(sockaddr_in);
    static constexpr size_t kIPv6Length = sizeof(sockaddr_in6);

    alignas(sockaddr_in6) unsigned char _storage[kStorage];
    size_t _length;
};

}  // namespace Net
