// SPDX-License-Identifier: Apache-2.0
#include "providers/network/NeighbourTable.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/Utilities.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

// Complete entries in the ARP table (ATF_COM).
constexpr unsigned long kArpComplete = 0x2;

// The neighbour states with a usable hardware address.
constexpr unsigned int kValidStates = NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

// How long the kernel may take to answer a dump.
constexpr timeval kAnswerTime{1, 0};

template <typename Address>
bool parse(int family, const std::string& text, Address& address)
{
    return text.find('\0') == std::string::npos && inet_pton(family, text.c_str(), &address) == 1;
}

bool refused(bool valid, const std::string& address, const std::string& interface)
{
    if (!valid) {
        TRACE_FUNCTION("gatewayMacFromConfig");
        TRACE_WARNING << "Not looking up the hardware address of [" << address << "] on interface [" << interface
                      << "]: not a valid address or interface name" << std::endl;
    }
    return !valid;
}

void logFound(const std::string& address, const std::string& interface, const std::string& found)
{
    TRACE_FUNCTION("gatewayMacFromConfig");
    TRACE_VERBOSE << "Neighbour [" << address << "] on interface [" << interface << "] has hardware address ["
                  << found << "]" << std::endl;
}

std::string hexadecimal(const unsigned char* bytes, std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof(pair), i == 0 ? "%02x" : ":%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// The hardware address of `address` on interface `index` in one netlink
// message, when it is a valid neighbour entry for them.
std::string entryOf(const nlmsghdr* header, const in6_addr& address, int index)
{
    if (header->nlmsg_type != RTM_NEWNEIGH || header->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) {
        return "";
    }
    const auto* neighbour = static_cast<const ndmsg*>(NLMSG_DATA(header));
    if (neighbour->ndm_family != AF_INET6 || neighbour->ndm_ifindex != index ||
        (neighbour->ndm_state & kValidStates) == 0) {
        return "";
    }
    bool matches = false;
    std::string hardware;
    auto length = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
    for (auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(neighbour) +
                                                           NLMSG_ALIGN(sizeof(ndmsg)));
         RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        const auto* data = static_cast<const unsigned char*>(RTA_DATA(attribute));
        if (attribute->rta_type == NDA_DST && RTA_PAYLOAD(attribute) == sizeof(in6_addr)) {
            matches = std::memcmp(data, &address, sizeof(in6_addr)) == 0;
        } else if (attribute->rta_type == NDA_LLADDR) {
            hardware = hexadecimal(data, RTA_PAYLOAD(attribute));
        }
    }
    return matches ? hardware : "";
}

}  // namespace

bool NeighbourTable::isInterfaceName(const std::string& name)
{
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") {
        return false;
    }
    for (const char character : name) {
        if (character == '\0' || character == '/' || character == ':' ||
            std::isspace(static_cast<unsigned char>(character)) != 0) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> NeighbourTable::fromArpTable(const std::string& table, const std::string& address,
                                                        const std::string& interface)
{
    in_addr wanted{};
    if (refused(parse(AF_INET, address, wanted) && isInterfaceName(interface), address, interface)) {
        return std::nullopt;
    }
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string ip;
        std::string type;
        std::string flags;
        std::string hardware;
        std::string mask;
        std::string device;
        in_addr entry{};
        if (!(fields >> ip >> type >> flags >> hardware >> mask >> device) || device != interface ||
            !parse(AF_INET, ip, entry) || entry.s_addr != wanted.s_addr) {
            continue;
        }
        char* end = nullptr;
        const unsigned long bits = std::strtoul(flags.c_str(), &end, 16);
        if (end != flags.c_str() && (bits & kArpComplete) != 0) {
            return hardware;
        }
    }
    return "";
}

std::optional<std::string> NeighbourTable::ip4(const std::string& address, const std::string& interface)
{
    const std::optional<std::string> found =
        fromArpTable(Utilities::readFile(Utilities::procNetTable("arp")).value_or(""), address, interface);
    if (found) {
        logFound(address, interface, *found);
    }
    return found;
}

namespace {

// The hardware address of `wanted` on interface `index` in the kernel's
// IPv6 neighbour table, from a netlink dump; empty when it has none.
std::string dumpedEntry(const in6_addr& wanted, int index)
{
    TRACE_FUNCTION("gatewayMacFromConfig");
    const Base::Descriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket) {
        TRACE_ERROR << "Failed to open a netlink socket with error [" << std::strerror(errno) << "]" << std::endl;
        return "";
    }
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &kAnswerTime, sizeof(kAnswerTime));
    struct {
        nlmsghdr header;
        ndmsg message;
    } request{};
    constexpr unsigned int kSequence = 1;
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = kSequence;
    request.message.ndm_family = AF_INET6;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(socket.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof(kernel)) < 0) {
        TRACE_ERROR << "Failed to ask for the IPv6 neighbours with error [" << std::strerror(errno) << "]"
                    << std::endl;
        return "";
    }
    std::string found;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        sockaddr_nl sender{};
        socklen_t senderSize = sizeof(sender);
        const ssize_t got = recvfrom(socket.get(), buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &senderSize);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            TRACE_ERROR << "Failed to read the IPv6 neighbours with error [" << std::strerror(errno) << "]"
                        << std::endl;
            return found;
        }
        if (sender.nl_pid != 0) {
            continue;  // not from the kernel
        }
        auto remaining = static_cast<unsigned int>(got);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != kSequence) {
                continue;
            }
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                return found;
            }
            if (found.empty()) {
                found = entryOf(header, wanted, index);
            }
        }
    }
}

}  // namespace

std::optional<std::string> NeighbourTable::ip6(const std::string& address, const std::string& interface)
{
    in6_addr wanted{};
    if (refused(parse(AF_INET6, address, wanted) && isInterfaceName(interface), address, interface)) {
        return std::nullopt;
    }
    const auto index = static_cast<int>(if_nametoindex(interface.c_str()));
    const std::string found = index != 0 ? dumpedEntry(wanted, index) : "";
    logFound(address, interface, found);
    return found;
}
