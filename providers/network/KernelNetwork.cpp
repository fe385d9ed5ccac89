// SPDX-License-Identifier: Apache-2.0
#include "providers/network/KernelNetwork.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/SdBus.h"
#include "base/UniqueHandle.h"
#include "base/Utilities.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <bit>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

namespace {

using AddressList = Base::UniqueHandle<ifaddrs, freeifaddrs>;

// A table of /proc/net of this thread's namespace.
std::string procNet(const char* table)
{
    return Utilities::readFile(Utilities::procNetTable(table)).value_or("");
}

unsigned int prefixOf(const sockaddr* mask)
{
    if (mask == nullptr) {
        return 0;
    }
    const auto* bytes = mask->sa_family == AF_INET
                            ? reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr)
                            : reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr);
    const std::size_t size = mask->sa_family == AF_INET ? 4 : 16;
    unsigned int prefix = 0;
    for (std::size_t i = 0; i < size; ++i) {
        prefix += static_cast<unsigned int>(std::popcount(bytes[i]));
    }
    return prefix;
}

std::string addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = address->sa_family == AF_INET
                          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    return inet_ntop(address->sa_family, raw, text, sizeof(text)) != nullptr ? text : "";
}

// Whether the wireless extensions know the interface, asked on a socket of this thread's namespace.
// The wireless extensions' request for the protocol name (linux/wireless.h,
// whose header clashes with the C library's net/if.h).
constexpr unsigned long kGetWirelessName = 0x8B01;

bool isWireless(int socket, const std::string& name)
{
    ifreq request{};
    name.copy(request.ifr_name, sizeof(request.ifr_name) - 1);
    return socket >= 0 && ioctl(socket, kGetWirelessName, &request) == 0;
}

bool allHex(const std::string& text, std::size_t length)
{
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::vector<KernelNetwork::Interface> KernelNetwork::interfaces()
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        TRACE_ERROR << "Failed to list the network interfaces error [" << std::strerror(errno) << "]" << std::endl;
        return {};
    }
    const AddressList addresses(raw);
    const Base::Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    std::map<std::string, Interface> found;
    for (const ifaddrs* entry = addresses.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0 ||
            (entry->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) {
            continue;
        }
        Interface& interface = found[entry->ifa_name];
        if (interface.name.empty()) {
            interface.name = entry->ifa_name;
            interface.index = if_nametoindex(entry->ifa_name);
            interface.wireless = isWireless(socket.get(), interface.name);
        }
        const sockaddr* address = entry->ifa_addr;
        if (address == nullptr) {
            continue;
        }
        if (address->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(address);
            interface.ethernet = link->sll_hatype == ARPHRD_ETHER;
            std::string mac;
            for (unsigned int i = 0; i < link->sll_halen && i < sizeof(link->sll_addr); ++i) {
                char part[4];
                std::snprintf(part, sizeof(part), i == 0 ? "%02x" : ":%02x", link->sll_addr[i]);
                mac += part;
            }
            interface.mac = mac;
        } else if (address->sa_family == AF_INET) {
            interface.ipv4.emplace_back(addressText(address), prefixOf(entry->ifa_netmask));
        } else if (address->sa_family == AF_INET6) {
            interface.ipv6.emplace_back(addressText(address), prefixOf(entry->ifa_netmask));
        }
    }
    const auto gateways4 = defaultGateways4(procNet("route"));
    const auto gateways6 = defaultGateways6(procNet("ipv6_route"));
    std::vector<Interface> result;
    for (auto& [name, interface] : found) {
        if (const auto gateway = gateways4.find(name); gateway != gateways4.end()) {
            interface.gateway4 = gateway->second;
        }
        if (const auto gateway = gateways6.find(name); gateway != gateways6.end()) {
            interface.gateway6 = gateway->second;
        }
        result.push_back(std::move(interface));
    }
    std::sort(result.begin(), result.end(), [](const Interface& a, const Interface& b) { return a.index < b.index; });
    return result;
}

namespace {

constexpr const char* kResolved = "org.freedesktop.resolve1";
constexpr const char* kResolvedPath = "/org/freedesktop/resolve1";
constexpr const char* kResolvedManager = "org.freedesktop.resolve1.Manager";

// systemd-resolved's servers (DNS: a(iiay)) and domains (Domains: a(isb)),
// each with its interface index (0 for the global ones), into `resolvers`;
// false when it cannot be asked.
bool askResolved(KernelNetwork::Resolvers& resolvers)
{
    Base::SdBus bus;
    if (bus.openSystem() < 0) {
        return false;
    }
    {
        Base::SdBusError error;
        sd_bus_message* raw = nullptr;
        if (sd_bus_get_property(bus.get(), kResolved, kResolvedPath, kResolvedManager, "DNS", error.get(), &raw,
                                "a(iiay)") < 0) {
            return false;
        }
        const Base::UniqueHandle<sd_bus_message, sd_bus_message_unref> reply(raw);
        if (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "(iiay)") < 0) {
            return false;
        }
        while (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_STRUCT, "iiay") > 0) {
            int32_t link = 0, family = 0;
            const void* bytes = nullptr;
            size_t size = 0;
            if (sd_bus_message_read(reply.get(), "ii", &link, &family) < 0 ||
                sd_bus_message_read_array(reply.get(), 'y', &bytes, &size) < 0 ||
                sd_bus_message_exit_container(reply.get()) < 0) {
                return false;
            }
            char text[INET6_ADDRSTRLEN] = {};
            if (((family == AF_INET && size == 4) || (family == AF_INET6 && size == 16)) &&
                inet_ntop(family, bytes, text, sizeof(text)) != nullptr) {
                resolvers.servers.emplace_back(link, text);
            }
        }
    }
    Base::SdBusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(bus.get(), kResolved, kResolvedPath, kResolvedManager, "Domains", error.get(), &raw,
                            "a(isb)") >= 0) {
        const Base::UniqueHandle<sd_bus_message, sd_bus_message_unref> reply(raw);
        if (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "(isb)") >= 0) {
            int32_t link = 0;
            const char* domain = nullptr;
            int routeOnly = 0;
            while (sd_bus_message_read(reply.get(), "(isb)", &link, &domain, &routeOnly) > 0) {
                if (domain != nullptr && !routeOnly) {
                    resolvers.search.emplace_back(link, domain);
                }
            }
        }
    }
    return true;
}

}  // namespace

KernelNetwork::Resolvers KernelNetwork::resolvers(bool systemBus)
{
    Resolvers resolvers;
    resolvers.fromResolved = systemBus && askResolved(resolvers);
    if (!resolvers.fromResolved) {
        resolvers = Resolvers{};
        resolvers.file = parseResolver(Utilities::readFile("/etc/resolv.conf").value_or(""));
    }
    return resolvers;
}

KernelNetwork::Resolver KernelNetwork::Resolvers::of(unsigned int index) const
{
    if (!fromResolved) {
        return file;
    }
    const auto link = static_cast<int>(index);
    Resolver resolver;
    // The interface's own, then the global ones.
    for (const int wanted : {link, 0}) {
        for (const auto& [entry, server] : servers) {
            if (entry == wanted) {
                resolver.nameservers.push_back(server);
            }
        }
        for (const auto& [entry, domain] : search) {
            if (entry == wanted) {
                resolver.search.push_back(domain);
            }
        }
        if (link == 0) {
            break;
        }
    }
    return resolver;
}

std::map<std::string, std::string> KernelNetwork::defaultGateways4(const std::string& table)
{
    std::map<std::string, std::string> gateways;
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, references, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> references >> use >> metric >> mask) ||
            !allHex(destination, 8) || !allHex(gateway, 8) || !allHex(mask, 8) || !allHex(flags, 4)) {
            continue;
        }
        if (std::stoul(destination, nullptr, 16) != 0 || std::stoul(mask, nullptr, 16) != 0 ||
            (std::stoul(flags, nullptr, 16) & 0x2) == 0 || gateways.count(name) != 0) {
            continue;
        }
        // The kernel prints the address as it holds it, in this machine's byte order.
        in_addr address{};
        address.s_addr = static_cast<uint32_t>(std::stoul(gateway, nullptr, 16));
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr) {
            gateways[name] = text;
        }
    }
    return gateways;
}

std::map<std::string, std::string> KernelNetwork::defaultGateways6(const std::string& table)
{
    std::map<std::string, std::string> gateways;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string destination, length, source, sourceLength, hop, metric, references, use, flags, name;
        if (!(fields >> destination >> length >> source >> sourceLength >> hop >> metric >> references >> use >>
              flags >> name) ||
            !allHex(destination, 32) || !allHex(hop, 32) || !allHex(length, 2)) {
            continue;
        }
        if (destination != std::string(32, '0') || length != "00" || hop == std::string(32, '0') ||
            gateways.count(name) != 0) {
            continue;
        }
        in6_addr address{};
        for (std::size_t i = 0; i < 16; ++i) {
            address.s6_addr[i] = static_cast<uint8_t>(std::stoul(hop.substr(i * 2, 2), nullptr, 16));
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, &address, text, sizeof(text)) != nullptr) {
            gateways[name] = text;
        }
    }
    return gateways;
}

std::optional<KernelNetwork::Lease> KernelNetwork::networkdLease(unsigned int index)
{
    const std::string file = "/run/systemd/netif/leases/" + std::to_string(index);
    struct stat status {};
    if (index == 0 || stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const std::optional<std::string> text = Utilities::readFile(file);
    return text ? parseLease(*text, status.st_mtime) : std::nullopt;
}

std::optional<KernelNetwork::Lease> KernelNetwork::parseLease(const std::string& text, long long obtained)
{
    Lease lease;
    lease.obtained = obtained;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        if (name == "SERVER_ADDRESS") {
            lease.server = value;
        } else if (name == "LIFETIME" && !value.empty() &&
                   std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                   value.size() < 12) {
            lease.lifetime = std::stoll(value);
        }
    }
    if (lease.server.empty()) {
        return std::nullopt;
    }
    return lease;
}

KernelNetwork::Resolver KernelNetwork::parseResolver(const std::string& text)
{
    Resolver resolver;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword) || keyword[0] == '#' || keyword[0] == ';') {
            continue;
        }
        if (keyword == "nameserver") {
            std::string server;
            if (words >> server && server[0] != '#' && server[0] != ';') {
                resolver.nameservers.push_back(server);
            }
        } else if (keyword == "search" || keyword == "domain") {
            resolver.search.clear();
            for (std::string domain; words >> domain && domain[0] != '#' && domain[0] != ';';) {
                resolver.search.push_back(domain);
            }
        }
    }
    return resolver;
}
