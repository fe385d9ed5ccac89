// SPDX-License-Identifier: Apache-2.0
#include "providers/network/NetworkProvider.h"

#include "base/Address.h"
#include "base/EngineThread.h"
#include "base/GObjectHandle.h"
#include "base/Logging.h"
#include "base/UniqueHandle.h"
#include "base/Utilities.h"
#include "properties/UnavailableProvider.h"
#include "providers/network/KernelNetwork.h"
#include "providers/network/NeighbourTable.h"
#include "providers/network/NetworkManagerBus.h"

#include <glib.h>
#include <sys/socket.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using CharHandle = Base::UniqueHandle<char, g_free>;

NMIPConfig* ipConfig(NMIPConfig* config)
{
    return config != nullptr && NM_IS_IP_CONFIG(config) ? config : nullptr;
}

std::string join(const std::vector<std::string>& parts)
{
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            text += ";";
        }
        text += parts[i];
    }
    return text;
}

std::string statusFromDevice(NMDevice* device)
{
    const unsigned int state = nm_device_get_state(device);
    switch (state) {
    case 0:
        return "Unknown";
    case 100:
        return "Up";
    case 10: case 20: case 30: case 40: case 50: case 60: case 70: case 80: case 90: case 110: case 120:
        return "Down";
    default:
        return std::to_string(state);
    }
}

std::string typeFromDevice(NMDevice* device)
{
    static const char* const kTypes[] = {"Unknown", "Ethernet", "WiFi",  "",      "",         "Bluetooth", "OLPCMesh",
                                         "WiMax",   "Modem",    "Infiniband", "Bond", "Vlan", "ADSL",      "Bridge",
                                         "Generic", "Team",     "Tun",   "Tunnel", "MacVlan",  "Vxlan",     "Veth"};
    const unsigned int type = nm_device_get_device_type(device);
    if (type < sizeof(kTypes) / sizeof(kTypes[0]) && kTypes[type][0] != '\0') {
        return kTypes[type];
    }
    return std::to_string(type);
}

// Every address of the configuration, with its prefix length.
std::vector<std::pair<std::string, unsigned int>> addressesOf(NMIPConfig* config)
{
    std::vector<std::pair<std::string, unsigned int>> result;
    if (ipConfig(config) == nullptr) {
        return result;
    }
    GPtrArray* addresses = nm_ip_config_get_addresses(config);
    for (guint i = 0; addresses != nullptr && i < addresses->len; ++i) {
        auto* address = static_cast<NMIPAddress*>(g_ptr_array_index(addresses, i));
        const char* text = nm_ip_address_get_address(address);
        result.emplace_back(text != nullptr ? text : "", nm_ip_address_get_prefix(address));
    }
    return result;
}

using Addresses = std::vector<std::pair<std::string, unsigned int>>;

std::string ips(const Addresses& addresses)
{
    std::vector<std::string> parts;
    for (const auto& [address, prefix] : addresses) {
        parts.push_back(address);
    }
    return join(parts);
}

// IPv4 addresses with their prefixes, then IPv6 addresses, as hosts before 20.1 read them.
std::string legacyIps(const Addresses& ip4, const Addresses& ip6)
{
    std::vector<std::string> parts;
    for (const auto& [address, prefix] : ip4) {
        parts.push_back(address + "/" + std::to_string(prefix));
    }
    for (const auto& [address, prefix] : ip6) {
        parts.push_back(address);
    }
    return join(parts);
}

std::string subnets(unsigned short family, const Addresses& addresses)
{
    std::vector<std::string> parts;
    for (const auto& [address, prefix] : addresses) {
        try {
            const Net::Address network = Net::Address::FromIpAndPort(family, address, 0).ApplyPrefixMask(prefix);
            parts.push_back(network.ToString(false) + "/" + std::to_string(prefix));
        } catch (const std::invalid_argument&) {
            TRACE_ERROR << "Exception thrown when parsing ip [" << address << "]" << std::endl;
        }
    }
    std::string result = join(parts);
    TRACE_VERBOSE << "Determined subnet: [" << result << "]" << std::endl;
    return result;
}

std::string ipFromConfig(NMIPConfig* config)
{
    return ips(addressesOf(config));
}

std::string legacyIpFromConfig(NMIPConfig* ip4, NMIPConfig* ip6)
{
    return legacyIps(addressesOf(ip4), addressesOf(ip6));
}

std::string subnetFromConfig(NMIPConfig* config)
{
    if (ipConfig(config) == nullptr) {
        return "";
    }
    return subnets(static_cast<unsigned short>(nm_ip_config_get_family(config)), addressesOf(config));
}

std::string ipEnabled(NMIPConfig* config)
{
    return addressesOf(config).empty() ? "false" : "true";
}

// The texts a getter gives for the IPv4 configuration, then the IPv6 one.
std::string listFromConfigs(NMIPConfig* ip4, NMIPConfig* ip6, const char* const* (*getter)(NMIPConfig*))
{
    std::vector<std::string> parts;
    for (NMIPConfig* config : {ip4, ip6}) {
        if (ipConfig(config) == nullptr) {
            continue;
        }
        const char* const* texts = getter(config);
        for (std::size_t i = 0; texts != nullptr && texts[i] != nullptr; ++i) {
            parts.emplace_back(texts[i]);
        }
    }
    return join(parts);
}

const char* gatewayOf(NMIPConfig* config)
{
    return ipConfig(config) != nullptr ? nm_ip_config_get_gateway(config) : nullptr;
}

// The IPv4 and the IPv6 gateway, joined with ";"; an empty IPv6 one is none.
std::string gateways(const char* ip4, const char* ip6)
{
    std::string text = ip4 != nullptr ? ip4 : "";
    if (ip6 != nullptr && ip6[0] != '\0') {
        if (!text.empty()) {
            text += ";";
        }
        text += ip6;
    }
    return text;
}

std::string gatewayFromConfig(NMIPConfig* ip4, NMIPConfig* ip6)
{
    return gateways(gatewayOf(ip4), gatewayOf(ip6));
}

// The hardware addresses of the IPv4 and the IPv6 gateway, joined with ";";
// "Unavailable" when the interface or a gateway is not a valid name or address.
std::string gatewayMacs(const std::string& interface, const char* ip4, const char* ip6)
{
    std::string text;
    // An empty gateway text is no gateway.
    if (const char* gateway = ip4; gateway != nullptr && gateway[0] != '\0') {
        const std::optional<std::string> mac = NeighbourTable::ip4(gateway, interface);
        if (!mac) {
            return PropertyCollector::kUnavailable;
        }
        text = Utilities::toupper(NetworkProvider::formatMacAddress(*mac));
    }
    if (const char* gateway = ip6; gateway != nullptr && gateway[0] != '\0') {
        const std::optional<std::string> mac = NeighbourTable::ip6(gateway, interface);
        if (!mac) {
            return PropertyCollector::kUnavailable;
        }
        if (!text.empty()) {
            text += ";";
        }
        text += Utilities::toupper(NetworkProvider::formatMacAddress(*mac));
    }
    return text;
}

std::string speedFromDevice(NMDevice* device)
{
    unsigned long speed = 0;
    if (nm_device_get_device_type(device) == NM_DEVICE_TYPE_ETHERNET && NM_IS_DEVICE_ETHERNET(device)) {
        speed = static_cast<unsigned long>(nm_device_ethernet_get_speed(NM_DEVICE_ETHERNET(device))) * 1000UL;
    } else if (nm_device_get_device_type(device) == NM_DEVICE_TYPE_WIFI && NM_IS_DEVICE_WIFI(device)) {
        speed = nm_device_wifi_get_bitrate(NM_DEVICE_WIFI(device));
    }
    return std::to_string(speed);
}

// A DHCP option's value as a decimal int; anything else is logged and absent.
std::optional<int> decimalOption(const char* option, const char* value)
{
    const std::string text = value != nullptr ? value : "";
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        TRACE_WARNING << "Ignoring DHCP option [" << option << "] since its value [" << text
                      << "] is not a decimal number" << std::endl;
        return std::nullopt;
    }
    return number;
}

std::string formatTime(long long seconds)
{
    const auto moment = static_cast<time_t>(seconds);
    tm parts{};
    if (gmtime_r(&moment, &parts) == nullptr) {
        return PropertyCollector::kUnavailable;
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof(text), "%FT%T.000Z", &parts);
    return length > 0 ? std::string(text, length) : std::string(PropertyCollector::kUnavailable);
}

struct DhcpLease {
    std::optional<std::string> server;
    int leaseLength = 0;
    std::optional<int> expiry;
};

// The lease of the device's DHCP4 configuration; empty without one or
// without an option table.
std::optional<DhcpLease> dhcpLeaseOf(NMDevice* device)
{
    NMDhcpConfig* config = nm_device_get_dhcp4_config(device);
    if (config == nullptr || !NM_IS_DHCP_CONFIG(config)) {
        return std::nullopt;
    }
    GHashTable* options = nm_dhcp_config_get_options(config);
    if (options == nullptr) {
        return std::nullopt;
    }
    DhcpLease lease;
    GHashTableIter iterator;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&iterator, options);
    while (g_hash_table_iter_next(&iterator, &key, &value)) {
        const std::string name = static_cast<const char*>(key);
        const auto* text = static_cast<const char*>(value);
        if (name == "dhcp_server_identifier") {
            lease.server = text != nullptr ? text : "";
        } else if (name == "dhcp_lease_time") {
            TRACE_VERBOSE << "DHCP Lease Time is [" << (text != nullptr ? text : "") << "]" << std::endl;
            lease.leaseLength = decimalOption("dhcp_lease_time", text).value_or(0);
        } else if (name == "expiry") {
            TRACE_VERBOSE << "DHCP Expiry is [" << (text != nullptr ? text : "") << "]" << std::endl;
            lease.expiry = decimalOption("expiry", text);
        }
        if (lease.server && lease.leaseLength != 0 && lease.expiry) {
            break;
        }
    }
    return lease;
}

std::string securityFromAccessPoint(NMAccessPoint* accessPoint)
{
    return NetworkProvider::securityFromFlags(nm_access_point_get_flags(accessPoint),
                                              nm_access_point_get_wpa_flags(accessPoint),
                                              nm_access_point_get_rsn_flags(accessPoint));
}

std::string ssidOf(NMAccessPoint* accessPoint)
{
    GBytes* ssid = nm_access_point_get_ssid(accessPoint);
    if (ssid == nullptr) {
        return "";
    }
    gsize size = 0;
    const auto* data = static_cast<const guint8*>(g_bytes_get_data(ssid, &size));
    const CharHandle text(nm_utils_ssid_to_utf8(data, size));
    return text ? text.get() : "";
}

}  // namespace

std::future<PropertyMap> NetworkProvider::getProperties()
{
    // The work runs on the thread that takes the reading; a failure travels in the future.
    return deferred([this](PropertyCollector& properties) { collect(properties); });
}

void NetworkProvider::collect(PropertyCollector& properties) const
{
    TRACE_FUNCTION("getProperties");
    // libnm's client belongs to the engine thread's main context.
    if (!Base::EngineThread::isCurrent()) {
        TRACE_ERROR << "NETWORK provider not invoked from main context. Will return unavailable." << std::endl;
        properties.add(kCount, PropertyCollector::kUnavailable);
        return;
    }
    TRACE_INFO << "Invoking NETWORK properties in glib main context" << std::endl;
    collectInterfaces(properties);
    TRACE_VERBOSE << "Done getting NETWORK properties." << std::endl;
}

void NetworkProvider::collectInterfaces(PropertyCollector& properties) const
{
    TRACE_FUNCTION("getProperties");
    const ManagedAnswer answer = _kept->get(quiet(), [this] { return readNetworkManager(); });
    const std::optional<ManagedReading>& reading = answer.reading;
    if (!reading) {
        collectKernelInterfaces(properties, answer.systemBus);
        return;
    }
    if (reading->withoutLibrary) {
        UnavailableProvider::addFailures(properties, kKeys);
        return;
    }
    for (const Gateways& gateway : reading->gateways) {
        properties.addIndexed(kGatewayMac, gateway.index, [&] {
            return gatewayMacs(gateway.interface, gateway.ip4.c_str(), gateway.ip6.c_str());
        });
    }
    properties.addKept(reading->properties);
}

NetworkProvider::ManagedAnswer NetworkProvider::readNetworkManager() const
{
    std::string why;
    if (const NetworkManagerBus::Presence presence = NetworkManagerBus::ask(why);
        presence != NetworkManagerBus::Presence::Running) {
        TRACE_INFO << "NetworkManager is not running: " << why << "; reading the interfaces from the kernel"
                   << std::endl;
        return {std::nullopt, presence != NetworkManagerBus::Presence::NoSystemBus};
    }
    if (!Base::LazyLibrary::requireFor(category()->name, Base::LazyLibrary::bit(Base::LazyLibrary::NetworkManager))) {
        ManagedReading unread;
        unread.withoutLibrary = true;
        return {std::move(unread)};
    }
    GError* raw = nullptr;
    const Base::GObjectHandle<NMClient> client(nm_client_new(nullptr, &raw));
    const Base::GErrorHandle error(raw);
    if (!client || !nm_client_get_nm_running(client.get())) {
        TRACE_INFO << "NetworkManager is not running" << (error ? " error [" : "") << (error ? error->message : "")
                   << (error ? "]" : "") << "; reading the interfaces from the kernel" << std::endl;
        return {};
    }
    PropertyCollector properties(*category(), hostAtLeast(20, 1));
    ManagedReading reading;
    const GPtrArray* devices = nm_client_get_devices(client.get());
    int reported = 0;
    for (guint i = 0; devices != nullptr && i < devices->len; ++i) {
        auto* device = static_cast<NMDevice*>(g_ptr_array_index(devices, i));
        const char* iface = nm_device_get_iface(device);
        const std::string name = iface != nullptr ? iface : "";
        if (name == "lo") {
            TRACE_VERBOSE << "Skipping network interface [" << name << "] since loopback" << std::endl;
            continue;
        }
        if (nm_device_get_state(device) != NM_DEVICE_STATE_ACTIVATED) {
            TRACE_VERBOSE << "Skipping network interface [" << name << "] since status is ["
                          << statusFromDevice(device) << "]" << std::endl;
            continue;
        }
        TRACE_VERBOSE << "Processing network interface [" << name << "] with status [" << statusFromDevice(device)
                      << "]" << std::endl;
        collectDevice(properties, device, reported, reading.gateways);
        ++reported;
    }
    properties.add(kCount, std::to_string(reported));
    reading.properties = properties.take();
    return {std::move(reading)};
}

void NetworkProvider::collectDevice(PropertyCollector& properties, NMDevice* device, int index,
                                    std::vector<Gateways>& gateways) const
{
    const char* iface = nm_device_get_iface(device);
    const std::string name = iface != nullptr ? iface : "";
    NMIPConfig* ip4 = nm_device_get_ip4_config(device);
    NMIPConfig* ip6 = nm_device_get_ip6_config(device);

    properties.addIndexed(kStatus, index, [&] { return statusFromDevice(device); });
    properties.addIndexed(kName, index, name);
    properties.addIndexed(kDescription, index, [&] {
        const char* description = nm_device_get_description(device);
        return std::string(description != nullptr ? description : "");
    });
    properties.addIndexed(kType, index, [&] { return typeFromDevice(device); });
    properties.addIndexed(kMac, index, [&] { return formatMac(nm_device_get_hw_address(device)); });
    if (!hostAtLeast(20, 1)) {
        properties.addIndexed(kIp, index, [&] { return legacyIpFromConfig(ip4, ip6); });
        properties.addIndexed(kIPv4Enabled, index, [&] { return ipEnabled(ip4); });
        properties.addIndexed(kIPv6Enabled, index, [&] { return ipEnabled(ip6); });
    } else {
        properties.addIndexed(kIPv4, index, [&] { return ipFromConfig(ip4); });
        properties.addIndexed(kIPv4Subnet, index, [&] { return subnetFromConfig(ip4); });
        properties.addIndexed(kIPv6, index, [&] { return ipFromConfig(ip6); });
        properties.addIndexed(kIPv6Subnet, index, [&] { return subnetFromConfig(ip6); });
    }
    properties.addIndexed(kDns, index, [&] { return listFromConfigs(ip4, ip6, &nm_ip_config_get_nameservers); });
    properties.addIndexed(kDnsSuffix, index, [&] { return listFromConfigs(ip4, ip6, &nm_ip_config_get_domains); });
    properties.addIndexed(kGateway, index, [&] { return gatewayFromConfig(ip4, ip6); });
    if (properties.selected(kGatewayMac)) {
        const char* gateway4 = gatewayOf(ip4);
        const char* gateway6 = gatewayOf(ip6);
        gateways.push_back({index, name, gateway4 != nullptr ? gateway4 : "", gateway6 != nullptr ? gateway6 : ""});
    }
    properties.addIndexed(kWins, index, [&] { return listFromConfigs(ip4, ip6, &nm_ip_config_get_wins_servers); });
    properties.addIndexed(kSpeed, index, [&] { return speedFromDevice(device); });

    if (properties.anySelected(kDhcpKeys)) {
        const std::optional<DhcpLease> lease = dhcpLeaseOf(device);
        if (!lease) {
            for (const PropertyKey& key : kDhcpKeys) {
                properties.addIndexed(key, index, PropertyCollector::kUnavailable);
            }
        } else {
            const bool served = lease->server.has_value();
            properties.addIndexed(kDhcpServer, index, lease->server.value_or(""));
            properties.addIndexed(kDhcpEnabled, index, served ? "true" : "false");
            // A server without an expiry leaves the lease times unknown.
            const auto moment = [&](long long seconds) -> std::string {
                if (!served) {
                    return "";
                }
                if (!lease->expiry) {
                    return PropertyCollector::kUnavailable;
                }
                return formatTime(seconds);
            };
            const long long expiry = lease->expiry.value_or(0);
            properties.addIndexed(kDhcpLease, index, [&] { return moment(expiry - lease->leaseLength); });
            properties.addIndexed(kDhcpExpires, index, [&] { return moment(expiry); });
        }
    }

    if (NM_IS_DEVICE_WIFI(device)) {
        NMAccessPoint* accessPoint = nm_device_wifi_get_active_access_point(NM_DEVICE_WIFI(device));
        if (accessPoint != nullptr && NM_IS_ACCESS_POINT(accessPoint)) {
            properties.addIndexed(kWifiSsid, index, [&] { return ssidOf(accessPoint); });
            properties.addIndexed(kWifiBssid, index, [&] { return formatMac(nm_access_point_get_bssid(accessPoint)); });
            properties.addIndexed(kWifiStrength, index,
                                  [&] { return std::to_string(nm_access_point_get_strength(accessPoint)); });
            properties.addIndexed(kWifiSecurity, index, [&] { return securityFromAccessPoint(accessPoint); });
        }
    }
}

void NetworkProvider::collectKernelInterfaces(PropertyCollector& properties, bool systemBus) const
{
    const std::vector<KernelNetwork::Interface> interfaces =
        _kernelInterfaces->get(quiet(), [] { return KernelNetwork::interfaces(); });
    // The resolver is asked once, when a selected key needs it.
    std::optional<KernelNetwork::Resolvers> resolvers;
    int index = 0;
    for (const KernelNetwork::Interface& interface : interfaces) {
        const auto dns = [&] {
            if (!resolvers) {
                resolvers = KernelNetwork::resolvers(systemBus);
            }
            return resolvers->of(interface.index);
        };
        properties.addIndexed(kStatus, index, "Up");
        properties.addIndexed(kName, index, interface.name);
        properties.addIndexed(kDescription, index, PropertyCollector::kUnavailable);
        properties.addIndexed(kType, index, interface.wireless ? "WiFi" : interface.ethernet ? "Ethernet" : "Generic");
        properties.addIndexed(kMac, index, [&] { return Utilities::toupper(formatMacAddress(interface.mac)); });
        if (!hostAtLeast(20, 1)) {
            properties.addIndexed(kIp, index, [&] { return legacyIps(interface.ipv4, interface.ipv6); });
            properties.addIndexed(kIPv4Enabled, index, interface.ipv4.empty() ? "false" : "true");
            properties.addIndexed(kIPv6Enabled, index, interface.ipv6.empty() ? "false" : "true");
        } else {
            properties.addIndexed(kIPv4, index, [&] { return ips(interface.ipv4); });
            properties.addIndexed(kIPv4Subnet, index, [&] { return subnets(AF_INET, interface.ipv4); });
            properties.addIndexed(kIPv6, index, [&] { return ips(interface.ipv6); });
            properties.addIndexed(kIPv6Subnet, index, [&] { return subnets(AF_INET6, interface.ipv6); });
        }
        properties.addIndexed(kDns, index, [&] { return join(dns().nameservers); });
        properties.addIndexed(kDnsSuffix, index, [&] { return join(dns().search); });
        properties.addIndexed(kGateway, index,
                              [&] { return gateways(interface.gateway4.c_str(), interface.gateway6.c_str()); });
        properties.addIndexed(kGatewayMac, index, [&] {
            return gatewayMacs(interface.name, interface.gateway4.c_str(), interface.gateway6.c_str());
        });
        properties.addIndexed(kWins, index, "");
        // Without NetworkManager the link's speed is not known; a DHCP lease
        // only where systemd-networkd keeps one.
        properties.addIndexed(kSpeed, index, PropertyCollector::kUnavailable);
        if (properties.anySelected(kDhcpKeys)) {
            const std::optional<KernelNetwork::Lease> lease = KernelNetwork::networkdLease(interface.index);
            properties.addIndexed(kDhcpServer, index, lease ? lease->server : PropertyCollector::kUnavailable);
            properties.addIndexed(kDhcpEnabled, index, lease ? "true" : PropertyCollector::kUnavailable);
            properties.addIndexed(kDhcpLease, index,
                                  lease ? formatTime(lease->obtained) : PropertyCollector::kUnavailable);
            properties.addIndexed(kDhcpExpires, index,
                                  lease && lease->lifetime ? formatTime(lease->obtained + *lease->lifetime)
                                                           : PropertyCollector::kUnavailable);
        }
        ++index;
    }
    properties.add(kCount, std::to_string(index));
}

std::string NetworkProvider::formatMac(const char* mac)
{
    return mac != nullptr ? formatMacAddress(mac) : std::string();
}

std::string NetworkProvider::formatMacAddress(const std::string& mac)
{
    std::string text = mac;
    for (char& character : text) {
        if (character == ':') {
            character = '-';
        }
    }
    return text;
}

std::string NetworkProvider::securityFromFlags(unsigned int flags, unsigned int wpaFlags, unsigned int rsnFlags)
{
    if ((flags & NM_802_11_AP_FLAGS_PRIVACY) == 0 && wpaFlags == 0 && rsnFlags == 0) {
        return "Open";
    }
    if (wpaFlags == 0 && rsnFlags == 0) {
        char text[64];
        std::snprintf(text, sizeof(text), "Other (%u and %u)", wpaFlags, rsnFlags);
        return text;
    }
    const unsigned int security = rsnFlags != 0 ? rsnFlags : wpaFlags;
    return (security & NM_802_11_AP_SEC_KEY_MGMT_802_1X) != 0 ? "WPA2 Enterprise" : "WPA2 Personal";
}
