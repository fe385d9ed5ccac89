#include "support/NetworkManagerService.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace TestSupport {

namespace {

constexpr const char* kRoot = "/org/freedesktop/NetworkManager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

std::string path(const VariantHandle& reply)
{
    const gchar* text = nullptr;
    g_variant_get(reply.get(), "(&s)", &text);
    return text;
}

GVariant* strings(const std::vector<std::string>& texts)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string& text : texts) {
        g_variant_builder_add(&builder, "s", text.c_str());
    }
    return g_variant_builder_end(&builder);
}

GVariant* addressData(const IpConfiguration& configuration)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("aa{sv}"));
    for (const auto& [address, prefix] : configuration.addresses) {
        GVariantBuilder entry;
        g_variant_builder_init(&entry, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&entry, "{sv}", "address", g_variant_new_string(address.c_str()));
        g_variant_builder_add(&entry, "{sv}", "prefix", g_variant_new_uint32(prefix));
        g_variant_builder_add_value(&builder, g_variant_builder_end(&entry));
    }
    return g_variant_builder_end(&builder);
}

GVariant* serverData(const std::vector<std::string>& servers)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("aa{sv}"));
    for (const std::string& server : servers) {
        GVariantBuilder entry;
        g_variant_builder_init(&entry, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&entry, "{sv}", "address", g_variant_new_string(server.c_str()));
        g_variant_builder_add_value(&builder, g_variant_builder_end(&entry));
    }
    return g_variant_builder_end(&builder);
}

// IPv4 addresses as NetworkManager's legacy properties carry them: the
// address's bytes in network order, read as one number.
GVariant* legacyIPv4(const std::vector<std::string>& addresses)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("au"));
    for (const std::string& address : addresses) {
        in_addr parsed{};
        if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
            throw std::invalid_argument("not an IPv4 address: " + address);
        }
        g_variant_builder_add(&builder, "u", parsed.s_addr);
    }
    return g_variant_builder_end(&builder);
}

GVariant* legacyIPv6(const std::vector<std::string>& addresses)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("aay"));
    for (const std::string& address : addresses) {
        in6_addr parsed{};
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
            throw std::invalid_argument("not an IPv6 address: " + address);
        }
        g_variant_builder_add_value(&builder, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, parsed.s6_addr,
                                                                        sizeof(parsed.s6_addr), 1));
    }
    return g_variant_builder_end(&builder);
}

GVariant* options(const std::map<std::string, std::string>& values)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (const auto& [name, value] : values) {
        g_variant_builder_add(&builder, "{sv}", name.c_str(), g_variant_new_string(value.c_str()));
    }
    return g_variant_builder_end(&builder);
}

}  // namespace

NetworkManagerService::NetworkManagerService()
    : _service("org.freedesktop.NetworkManager", {"-t", "networkmanager", "-p", "{\"Version\":\"1.42.4\"}"})
{
}

std::string NetworkManagerService::addEthernetDevice(const std::string& interface, unsigned int state,
                                                     const std::string& mac, unsigned int speed)
{
    const std::string device = path(_service.call(kRoot, kMock, "AddEthernetDevice",
                                                  g_variant_new("(ssi)", interface.c_str(), interface.c_str(),
                                                                static_cast<gint32>(state))));
    setProperty(device, kWiredInterface, "HwAddress", g_variant_new_string(mac.c_str()));
    setProperty(device, kWiredInterface, "Speed", g_variant_new_uint32(speed));
    put(device, kDeviceInterface, "HwAddress", g_variant_new_string(mac.c_str()));
    return device;
}

std::string NetworkManagerService::addWiFiDevice(const std::string& interface, unsigned int state,
                                                 const std::string& mac, unsigned int bitrate)
{
    const std::string device = path(_service.call(kRoot, kMock, "AddWiFiDevice",
                                                  g_variant_new("(ssi)", interface.c_str(), interface.c_str(),
                                                                static_cast<gint32>(state))));
    setProperty(device, kWirelessInterface, "HwAddress", g_variant_new_string(mac.c_str()));
    setProperty(device, kWirelessInterface, "Bitrate", g_variant_new_uint32(bitrate));
    put(device, kDeviceInterface, "HwAddress", g_variant_new_string(mac.c_str()));
    return device;
}

std::string NetworkManagerService::addAccessPoint(const std::string& device, const std::string& name,
                                                  const std::string& ssid, const std::string& bssid,
                                                  unsigned char strength, AccessPointSecurity security)
{
    // Mode 2 (infrastructure), 2412 MHz, 54 Mbit/s.
    const std::string accessPoint =
        path(_service.call(kRoot, kMock, "AddAccessPoint",
                           g_variant_new("(ssssuuuyu)", device.c_str(), name.c_str(), ssid.c_str(), bssid.c_str(), 2U,
                                         2412U, 54000U, strength, security.rsnFlags)));
    setProperty(accessPoint, kAccessPointInterface, "Flags", g_variant_new_uint32(security.flags));
    setProperty(accessPoint, kAccessPointInterface, "WpaFlags", g_variant_new_uint32(security.wpaFlags));
    setProperty(accessPoint, kAccessPointInterface, "RsnFlags", g_variant_new_uint32(security.rsnFlags));
    return accessPoint;
}

void NetworkManagerService::setActiveAccessPoint(const std::string& device, const std::string& accessPoint)
{
    put(device, kWirelessInterface, "ActiveAccessPoint",
                         g_variant_new_object_path(accessPoint.c_str()));
}

std::string NetworkManagerService::addConfigObject(const std::string& kind, const std::string& interface,
                                                   GVariant* properties)
{
    const std::string object = std::string(kRoot) + "/" + kind + "/" + std::to_string(++_objects);
    _service.call(kRoot, kMock, "AddObject",
                  g_variant_new("(ss@a{sv}a(ssss))", object.c_str(), interface.c_str(), properties, nullptr));
    return object;
}

void NetworkManagerService::setIp4Config(const std::string& device, const IpConfiguration& configuration)
{
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "AddressData", addressData(configuration));
    g_variant_builder_add(&properties, "{sv}", "Gateway", g_variant_new_string(configuration.gateway.c_str()));
    g_variant_builder_add(&properties, "{sv}", "NameserverData", serverData(configuration.nameservers));
    g_variant_builder_add(&properties, "{sv}", "Nameservers", legacyIPv4(configuration.nameservers));
    g_variant_builder_add(&properties, "{sv}", "Domains", strings(configuration.domains));
    g_variant_builder_add(&properties, "{sv}", "Searches", strings(configuration.domains));
    g_variant_builder_add(&properties, "{sv}", "WinsServerData", strings(configuration.winsServers));
    g_variant_builder_add(&properties, "{sv}", "WinsServers", legacyIPv4(configuration.winsServers));
    const std::string object = addConfigObject("IP4Config", "org.freedesktop.NetworkManager.IP4Config",
                                               g_variant_builder_end(&properties));
    put(device, kDeviceInterface, "Ip4Config", g_variant_new_object_path(object.c_str()));
}

void NetworkManagerService::setIp6Config(const std::string& device, const IpConfiguration& configuration)
{
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "AddressData", addressData(configuration));
    g_variant_builder_add(&properties, "{sv}", "Gateway", g_variant_new_string(configuration.gateway.c_str()));
    g_variant_builder_add(&properties, "{sv}", "Nameservers", legacyIPv6(configuration.nameservers));
    g_variant_builder_add(&properties, "{sv}", "Domains", strings(configuration.domains));
    g_variant_builder_add(&properties, "{sv}", "Searches", strings(configuration.domains));
    const std::string object = addConfigObject("IP6Config", "org.freedesktop.NetworkManager.IP6Config",
                                               g_variant_builder_end(&properties));
    put(device, kDeviceInterface, "Ip6Config", g_variant_new_object_path(object.c_str()));
}

void NetworkManagerService::setDhcp4Options(const std::string& device,
                                            const std::map<std::string, std::string>& values)
{
    const auto known = _dhcpConfigs.find(device);
    if (known != _dhcpConfigs.end()) {
        setProperty(known->second, "org.freedesktop.NetworkManager.DHCP4Config", "Options", options(values));
        return;
    }
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "Options", options(values));
    const std::string object = addConfigObject("DHCP4Config", "org.freedesktop.NetworkManager.DHCP4Config",
                                               g_variant_builder_end(&properties));
    _dhcpConfigs.emplace(device, object);
    put(device, kDeviceInterface, "Dhcp4Config", g_variant_new_object_path(object.c_str()));
}

void NetworkManagerService::put(const std::string& path, const std::string& interface, const std::string& name,
                                GVariant* value)
{
    if (_added.insert(path + " " + interface + " " + name).second) {
        _service.addProperty(path, interface, name, value);
    } else {
        _service.setProperty(path, interface, name, value);
    }
}

void NetworkManagerService::setProperty(const std::string& path, const std::string& interface,
                                        const std::string& name, GVariant* value)
{
    _service.setProperty(path, interface, name, value);
}

}  // namespace TestSupport
