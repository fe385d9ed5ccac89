// SPDX-License-Identifier: Apache-2.0
// The hardware address of a neighbour from the kernel's neighbour tables,
// read without any program: IPv4 from the ARP table in /proc (the one of
// the calling thread's network namespace), IPv6 from a netlink dump
// (RTM_GETNEIGH). Addresses and interface names come from outside
// (NetworkManager) and are checked first: an address that inet_pton does
// not accept, or a name the kernel would not give an interface, is refused.
//
// Each lookup gives nullopt for a refused address or interface, the empty
// text when the table knows no complete entry for the address on the
// interface, else the hardware address as the kernel writes it
// (aa:bb:cc:dd:ee:ff).
#pragma once

#include <optional>
#include <string>

class NeighbourTable {
public:
    static std::optional<std::string> ip4(const std::string& address, const std::string& interface);
    static std::optional<std::string> ip6(const std::string& address, const std::string& interface);

    // The lookup of ip4 in `table`, the text of /proc/net/arp.
    static std::optional<std::string> fromArpTable(const std::string& table, const std::string& address,
                                                   const std::string& interface);

    // A name the kernel can give an interface: 1 to 15 bytes, not "." or "..",
    // without "/", ":", blanks or NUL.
    static bool isInterfaceName(const std::string& name);
};
