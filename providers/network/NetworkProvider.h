// Category "Network": every activated network interface as NetworkManager
// sees it (through libnm), with its addresses and subnets, DNS, gateway and
// the gateway's hardware address from the kernel's neighbour tables
// (NeighbourTable), WINS, link speed, IPv4 DHCP lease and Wi-Fi access point.
//
// A reading runs at once on the calling thread, which must be the library's
// engine thread: libnm's client is used synchronously there. Each
// reading creates its own client and releases it before returning.
#pragma once

#include "base/Version.h"
#include "properties/Provider.h"

#include <NetworkManager.h>

#include <string>

// The key of item `index` for a template with "_X_": the X is replaced by the
// index (DEVICE_NETWORK_X_NAME, 3: DEVICE_NETWORK_3_NAME). Only the first
// "_X_" is replaced; a name without one comes back unchanged.
std::string makePropertyArrayName(std::string name, int index);

class NetworkProvider : public ProviderOf<NetworkProvider> {
public:
    static constexpr PropertyKey kCount{"DEVICE_NETWORK_COUNT", 0x1};
    static constexpr PropertyKey kStatus{"DEVICE_NETWORK_X_STATUS", 0x2};
    static constexpr PropertyKey kName{"DEVICE_NETWORK_X_NAME", 0x4};
    static constexpr PropertyKey kDescription{"DEVICE_NETWORK_X_DESCRIPTION", 0x8};
    static constexpr PropertyKey kType{"DEVICE_NETWORK_X_TYPE", 0x10};
    static constexpr PropertyKey kMac{"DEVICE_NETWORK_X_MAC", 0x20};
    static constexpr PropertyKey kIPv4{"DEVICE_NETWORK_X_IPV4", 0x2000000};
    static constexpr PropertyKey kIPv4Subnet{"DEVICE_NETWORK_X_IPV4_SUBNET", 0x8000000};
    static constexpr PropertyKey kIPv6{"DEVICE_NETWORK_X_IPV6", 0x4000000};
    static constexpr PropertyKey kIPv6Subnet{"DEVICE_NETWORK_X_IPV6_SUBNET", 0x10000000};
    static constexpr PropertyKey kIp{"DEVICE_NETWORK_X_IP", 0x40};
    static constexpr PropertyKey kIPv4Enabled{"DEVICE_NETWORK_X_IPV4_ENABLED", 0x80};
    static constexpr PropertyKey kIPv6Enabled{"DEVICE_NETWORK_X_IPV6_ENABLED", 0x100};
    static constexpr PropertyKey kDns{"DEVICE_NETWORK_X_DNS", 0x200};
    static constexpr PropertyKey kDnsSuffix{"DEVICE_NETWORK_X_DNS_SUFFIX", 0x400};
    static constexpr PropertyKey kGateway{"DEVICE_NETWORK_X_GATEWAY", 0x800};
    static constexpr PropertyKey kGatewayMac{"DEVICE_NETWORK_X_GATEWAY_MAC", 0x1000};
    static constexpr PropertyKey kWins{"DEVICE_NETWORK_X_WINS", 0x2000};
    static constexpr PropertyKey kSpeed{"DEVICE_NETWORK_X_SPEED", 0x4000};
    static constexpr PropertyKey kDhcpEnabled{"DEVICE_NETWORK_X_DHCP_ENABLED", 0x8000};
    static constexpr PropertyKey kDhcpServer{"DEVICE_NETWORK_X_DHCP_SERVER", 0x10000};
    static constexpr PropertyKey kDhcpLease{"DEVICE_NETWORK_X_DHCP_LEASE", 0x20000};
    static constexpr PropertyKey kDhcpExpires{"DEVICE_NETWORK_X_DHCP_EXPIRES", 0x40000};
    static constexpr PropertyKey kWifiSsid{"DEVICE_NETWORK_X_WIFI_SSID", 0x80000};
    static constexpr PropertyKey kWifiBssid{"DEVICE_NETWORK_X_WIFI_BSSID", 0x100000};
    static constexpr PropertyKey kWifiStrength{"DEVICE_NETWORK_X_WIFI_STRENGTH", 0x200000};
    static constexpr PropertyKey kWifiSecurity{"DEVICE_NETWORK_X_WIFI_SECURITY", 0x400000};

    NetworkProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    std::future<PropertyMap> getProperties() override;

    // "aa:bb" as "aa-bb"; a null pointer gives the empty text.
    static std::string formatMac(const char* mac);
    static std::string formatMacAddress(const std::string& mac);

    // The security word of an access point from its privacy flags and its
    // WPA and RSN flags: "Open", "Other (W and R)", "WPA2 Personal" or
    // "WPA2 Enterprise".
    static std::string securityFromFlags(unsigned int flags, unsigned int wpaFlags, unsigned int rsnFlags);

private:
    void collect(PropertyCollector& properties) const;
    // The interfaces of a client made for this reading, and their count.
    void collectInterfaces(PropertyCollector& properties) const;
    void collectDevice(PropertyCollector& properties, NMDevice* device, int index) const;

    // Hosts from this version on get the split address keys.
    Base::Version _splitAddressVersion;
};
