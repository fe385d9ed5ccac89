// SPDX-License-Identifier: Apache-2.0
// Category "Network": every activated network interface as NetworkManager
// sees it (through libnm), with its addresses and subnets, DNS, gateway and
// the gateway's hardware address from the kernel's neighbour tables
// (NeighbourTable), WINS, link speed, IPv4 DHCP lease and Wi-Fi access point.
//
// A reading runs on the thread that takes it, which must be the library's
// engine thread: libnm's client is used synchronously there. A reading that
// asks NetworkManager creates its own client and releases it before
// returning. NetworkManager's answer is kept while its change watch has
// announced nothing (KeptWhileQuiet), and so are the kernel's links,
// addresses and routes, which its netlink watch announces; the gateways'
// hardware addresses and the resolver's servers are looked up at every
// reading, since nothing announces a neighbour's or a resolver's change.
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"
#include "providers/network/KernelNetwork.h"

#include <NetworkManager.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class NetworkProvider : public ProviderOf<NetworkProvider> {
public:
    // The platform library it always calls into: libsystemd (sd-bus), for its
    // watch of NetworkManager, the question whether NetworkManager runs and
    // the kernel's DNS servers from resolved. libnm (with GIO and GnuTLS) is
    // loaded by the first reading that finds NetworkManager on the system
    // bus: where it does not run, the interfaces come from the kernel and
    // libnm is never loaded; where it runs and libnm cannot be loaded, the
    // category reports its keys' failure values.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Systemd);
    // Per interface: "%d" is the interface's index, from 0.
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_NETWORK_COUNT", 0x1, "number of activated interfaces"},
        {"DEVICE_NETWORK_%d_STATUS", 0x2, "state of the interface"},
        {"DEVICE_NETWORK_%d_NAME", 0x4, "name of the interface"},
        {"DEVICE_NETWORK_%d_DESCRIPTION", 0x8, "description of the interface's hardware"},
        {"DEVICE_NETWORK_%d_TYPE", 0x10, "kind of interface, such as Ethernet or WiFi"},
        {"DEVICE_NETWORK_%d_MAC", 0x20, "hardware address", "aa-bb-cc-dd-ee-ff"},
        {"DEVICE_NETWORK_%d_IPV4", 0x2000000, "IPv4 addresses", "", "Unavailable", kFrom20_1},
        {"DEVICE_NETWORK_%d_IPV4_SUBNET", 0x8000000, "IPv4 subnets", "", "Unavailable", kFrom20_1},
        {"DEVICE_NETWORK_%d_IPV6", 0x4000000, "IPv6 addresses", "", "Unavailable", kFrom20_1},
        {"DEVICE_NETWORK_%d_IPV6_SUBNET", 0x10000000, "IPv6 subnets", "", "Unavailable", kFrom20_1},
        {"DEVICE_NETWORK_%d_IP", 0x40, "IPv4 and IPv6 addresses", "", "Unavailable", kBefore20_1},
        {"DEVICE_NETWORK_%d_IPV4_ENABLED", 0x80, "whether IPv4 is configured",
          "true/false", "Unavailable", kBefore20_1},
        {"DEVICE_NETWORK_%d_IPV6_ENABLED", 0x100, "whether IPv6 is configured",
          "true/false", "Unavailable", kBefore20_1},
        {"DEVICE_NETWORK_%d_DNS", 0x200, "DNS servers"},
        {"DEVICE_NETWORK_%d_DNS_SUFFIX", 0x400, "DNS search domains"},
        {"DEVICE_NETWORK_%d_GATEWAY", 0x800, "default gateway"},
        {"DEVICE_NETWORK_%d_GATEWAY_MAC", 0x1000, "hardware address of the gateway", "aa-bb-cc-dd-ee-ff"},
        {"DEVICE_NETWORK_%d_WINS", 0x2000, "WINS servers", "", ""},
        {"DEVICE_NETWORK_%d_SPEED", 0x4000, "link speed", "kbit/s"},
        {"DEVICE_NETWORK_%d_DHCP_ENABLED", 0x8000, "whether a DHCP server gave the IPv4 address", "true/false"},
        {"DEVICE_NETWORK_%d_DHCP_SERVER", 0x10000, "address of the DHCP server"},
        {"DEVICE_NETWORK_%d_DHCP_LEASE", 0x20000, "when the DHCP lease was obtained"},
        {"DEVICE_NETWORK_%d_DHCP_EXPIRES", 0x40000, "when the DHCP lease expires"},
        {"DEVICE_NETWORK_%d_WIFI_SSID", 0x80000, "name of the Wi-Fi network"},
        {"DEVICE_NETWORK_%d_WIFI_BSSID", 0x100000, "hardware address of the access point", "aa-bb-cc-dd-ee-ff"},
        {"DEVICE_NETWORK_%d_WIFI_STRENGTH", 0x200000, "signal strength of the access point", "percent"},
        {"DEVICE_NETWORK_%d_WIFI_SECURITY", 0x400000, "security of the Wi-Fi network"},
    };
    static constexpr const PropertyKey& kCount = kKeys[0];
    static constexpr const PropertyKey& kStatus = kKeys[1];
    static constexpr const PropertyKey& kName = kKeys[2];
    static constexpr const PropertyKey& kDescription = kKeys[3];
    static constexpr const PropertyKey& kType = kKeys[4];
    static constexpr const PropertyKey& kMac = kKeys[5];
    static constexpr const PropertyKey& kIPv4 = kKeys[6];
    static constexpr const PropertyKey& kIPv4Subnet = kKeys[7];
    static constexpr const PropertyKey& kIPv6 = kKeys[8];
    static constexpr const PropertyKey& kIPv6Subnet = kKeys[9];
    static constexpr const PropertyKey& kIp = kKeys[10];
    static constexpr const PropertyKey& kIPv4Enabled = kKeys[11];
    static constexpr const PropertyKey& kIPv6Enabled = kKeys[12];
    static constexpr const PropertyKey& kDns = kKeys[13];
    static constexpr const PropertyKey& kDnsSuffix = kKeys[14];
    static constexpr const PropertyKey& kGateway = kKeys[15];
    static constexpr const PropertyKey& kGatewayMac = kKeys[16];
    static constexpr const PropertyKey& kWins = kKeys[17];
    static constexpr const PropertyKey& kSpeed = kKeys[18];
    static constexpr const PropertyKey& kDhcpEnabled = kKeys[19];
    static constexpr const PropertyKey& kDhcpServer = kKeys[20];
    static constexpr const PropertyKey& kDhcpLease = kKeys[21];
    static constexpr const PropertyKey& kDhcpExpires = kKeys[22];
    static constexpr const PropertyKey& kWifiSsid = kKeys[23];
    static constexpr const PropertyKey& kWifiBssid = kKeys[24];
    static constexpr const PropertyKey& kWifiStrength = kKeys[25];
    static constexpr const PropertyKey& kWifiSecurity = kKeys[26];
    // The keys read from the IPv4 DHCP lease.
    static constexpr PropertyKeys kDhcpKeys{&kDhcpEnabled, &kDhcpExpires + 1};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // NetworkManager announces every change of its devices, their IP
    // configurations, connections and access points, as signals of its
    // objects: devices added and removed, states, addresses, gateways and
    // DNS, the active connection and the access point in use. Without it the
    // kernel announces links, addresses and routes changing.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.busServices = {"org.freedesktop.NetworkManager"}, .networkInterfaces = true}, callback);
    }

    // "aa:bb" as "aa-bb"; a null pointer gives the empty text.
    static std::string formatMac(const char* mac);
    static std::string formatMacAddress(const std::string& mac);

    // The security word of an access point from its privacy flags and its
    // WPA and RSN flags: "Open", "Other (W and R)", "WPA2 Personal" or
    // "WPA2 Enterprise".
    static std::string securityFromFlags(unsigned int flags, unsigned int wpaFlags, unsigned int rsnFlags);

private:
    // NetworkManager's answer without the gateways' hardware addresses, and
    // the gateways of each reported interface to look them up.
    struct Gateways {
        int index;
        std::string interface;
        std::string ip4;
        std::string ip6;
    };
    struct ManagedReading {
        PropertyMap properties;
        std::vector<Gateways> gateways;
        // NetworkManager runs, but libnm cannot be loaded to ask it.
        bool withoutLibrary = false;
    };
    // What asking NetworkManager gave: its reading, or nullopt when it is not
    // running and the interfaces come from the kernel; and whether there is a
    // system bus at all, on which the kernel's path asks resolved. Both are
    // kept while the watch is quiet; it announces the bus coming back too.
    struct ManagedAnswer {
        std::optional<ManagedReading> reading;
        bool systemBus = true;
    };

    void collect(PropertyCollector& properties) const;
    // The interfaces, from NetworkManager's answer (kept or fresh) or from the kernel.
    void collectInterfaces(PropertyCollector& properties) const;
    // The interfaces of a client made for this reading, and their count;
    // no reading when NetworkManager is not running (on the system bus, or as
    // libnm's client finds).
    ManagedAnswer readNetworkManager() const;
    void collectDevice(PropertyCollector& properties, NMDevice* device, int index,
                       std::vector<Gateways>& gateways) const;
    // Without NetworkManager: the interfaces as the kernel knows them, and
    // their resolvers (resolved's, asked only where there is a system bus).
    void collectKernelInterfaces(PropertyCollector& properties, bool systemBus) const;

    std::shared_ptr<KeptWhileQuiet<ManagedAnswer>> _kept = std::make_shared<KeptWhileQuiet<ManagedAnswer>>();
    std::shared_ptr<KeptWhileQuiet<std::vector<KernelNetwork::Interface>>> _kernelInterfaces =
        std::make_shared<KeptWhileQuiet<std::vector<KernelNetwork::Interface>>>();
};
