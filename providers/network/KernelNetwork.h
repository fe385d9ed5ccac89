// SPDX-License-Identifier: Apache-2.0
// The network interfaces as the kernel knows them, for systems without
// NetworkManager: the interfaces that are up and running (the loopback left
// out), with their hardware addresses, addresses, default gateways, and the
// resolver's servers and search domains. Read in the network namespace of
// the calling thread. The text rules are plain functions on strings.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class KernelNetwork {
public:
    struct Interface {
        std::string name;
        unsigned int index = 0;      // the kernel's interface index: the order they are reported in
        std::string mac;             // "aa:bb:cc:dd:ee:ff", or empty
        bool ethernet = false;       // an Ethernet-like link (ARPHRD_ETHER)
        bool wireless = false;
        std::vector<std::pair<std::string, unsigned int>> ipv4, ipv6;  // address, prefix length
        std::string gateway4, gateway6;
    };

    // An IPv4 lease of systemd-networkd's DHCP client.
    struct Lease {
        std::string server;
        long long obtained = 0;  // when it was written, in seconds since the epoch
        std::optional<long long> lifetime;  // seconds
    };

    struct Resolver {
        std::vector<std::string> nameservers, search;
        bool operator==(const Resolver&) const = default;
    };

    // The interfaces in index order; none when the kernel cannot be asked.
    static std::vector<Interface> interfaces();
    // What the resolver says of every interface, asked once for a reading:
    // systemd-resolved's servers and search domains, each with its interface
    // index (0 for the global ones), when it is on the system bus; else
    // /etc/resolv.conf's, for every interface. Without `systemBus` (known to
    // be missing) resolved is not asked.
    struct Resolvers {
        bool fromResolved = false;
        std::vector<std::pair<int, std::string>> servers, search;  // resolved's
        Resolver file;                                             // without resolved
        // The interface with kernel index `index`: its own, then the global ones.
        Resolver of(unsigned int index) const;
    };
    static Resolvers resolvers(bool systemBus);
    // systemd-networkd's lease of the interface with kernel index `index`
    // (/run/systemd/netif/leases/INDEX); none without one or its server.
    static std::optional<Lease> networkdLease(unsigned int index);
    // The SERVER_ADDRESS and LIFETIME of a lease file's NAME=VALUE lines.
    static std::optional<Lease> parseLease(const std::string& text, long long obtained);

    // The default route's gateway per interface in the text of
    // /proc/net/route (the first such route of an interface counts).
    static std::map<std::string, std::string> defaultGateways4(const std::string& table);
    // Likewise for /proc/net/ipv6_route.
    static std::map<std::string, std::string> defaultGateways6(const std::string& table);
    // "nameserver" and "search" (or "domain") lines of a resolv.conf text;
    // comments start with "#" or ";". A later "search" replaces an earlier one.
    static Resolver parseResolver(const std::string& text);
};
