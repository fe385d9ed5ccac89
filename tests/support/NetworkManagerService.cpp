// SPDX-License-Identifier: Apache-2.0
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
// GLib's text form of a string, quoted.
std::string quote(const std::string& text)
{
    VariantHandle value(g_variant_ref_sink(g_variant_new_string(text.c_str())));
    gchar* printed = g_variant_print(value.get(), FALSE);
    std::string quoted = printed;
    g_free(printed);
    return quoted;
}
// The text form of an array of `type`, each item written by `write`.
template <typename Item, typename Write>
std::string list(const char* type, const std::vector<Item>& items, Write write)
{
    std::string text;
    for (const Item& item : items) text += (text.empty() ? "" : ", ") + write(item);
    return std::string("@") + type + " [" + text + "]";
}
// An IPv6 address as NetworkManager's legacy property carries it: its bytes.
std::string bytes(const std::string& address)
{
    unsigned char parsed[sizeof(in6_addr)];
    if (inet_pton(AF_INET6, address.c_str(), parsed) != 1) throw std::invalid_argument("not an IPv6 address: " + address);
    return list("ay", std::vector<int>(parsed, parsed + sizeof(parsed)), [](int byte) { return std::to_string(byte); });
}
GVariant* parse(const std::string& text)
{
    GError* error = nullptr;
    GVariant* value = g_variant_parse(G_VARIANT_TYPE_VARDICT, text.c_str(), nullptr, nullptr, &error);
    if (value == nullptr) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::invalid_argument("cannot parse " + text + ": " + message);
    }
    return value;
}
std::string options(const std::map<std::string, std::string>& values)
{
    std::string text;
    for (const auto& [name, value] : values) text += (text.empty() ? "" : ", ") + quote(name) + ": <" + quote(value) + ">";
    return "{" + text + "}";
}
}  // namespace

std::string NetworkManagerService::addDevice(const char* method, const char* typeInterface,
                                             const std::string& interface, unsigned int state,
                                             const std::string& mac, const char* rate, unsigned int value)
{
    const std::string device = path(_service.call(kRoot, kMock, method,
                                                  g_variant_new("(ssi)", interface.c_str(), interface.c_str(),
                                                                static_cast<gint32>(state))));
    setProperty(device, typeInterface, "HwAddress", g_variant_new_string(mac.c_str()));
    setProperty(device, typeInterface, rate, g_variant_new_uint32(value));
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
void NetworkManagerService::addConfigObject(const std::string& device, const std::string& kind,
                                            const char* property, const std::string& properties)
{
    const std::string object = std::string(kRoot) + "/" + kind + "/" + std::to_string(++_objects);
    _service.call(kRoot, kMock, "AddObject",
                  g_variant_new("(ss@a{sv}a(ssss))", object.c_str(), ("org.freedesktop.NetworkManager." + kind).c_str(),
                                parse(properties), nullptr));
    put(device, kDeviceInterface, property, g_variant_new_object_path(object.c_str()));
    _configs[device + " " + kind] = object;
}
void NetworkManagerService::setIpConfig(const std::string& device, int family, const IpConfiguration& configuration)
{
    const auto address = [](const std::pair<std::string, unsigned int>& entry) {
        return "{'address': <" + quote(entry.first) + ">, 'prefix': <uint32 " + std::to_string(entry.second) + ">}";
    };
    const auto server = [](const std::string& entry) { return "{'address': <" + quote(entry) + ">}"; };
    std::string properties = "{'AddressData': <" + list("aa{sv}", configuration.addresses, address) +
                             ">, 'Gateway': <" + quote(configuration.gateway) + ">, 'Domains': <" +
                             list("as", configuration.domains, quote) + ">";
    if (family == AF_INET) {
        properties += ", 'NameserverData': <" + list("aa{sv}", configuration.nameservers, server) +
                      ">, 'WinsServerData': <" + list("as", configuration.winsServers, quote) + ">";
    } else {
        properties += ", 'Nameservers': <" + list("aay", configuration.nameservers, bytes) + ">";
    }
    addConfigObject(device, family == AF_INET ? "IP4Config" : "IP6Config", family == AF_INET ? "Ip4Config" : "Ip6Config",
                    properties + "}");
}
void NetworkManagerService::setDhcp4Options(const std::string& device,
                                            const std::map<std::string, std::string>& values)
{
    const auto known = _configs.find(device + " DHCP4Config");
    if (known == _configs.end()) {
        addConfigObject(device, "DHCP4Config", "Dhcp4Config", "{'Options': <@a{sv} " + options(values) + ">}");
    } else {
        setProperty(known->second, "org.freedesktop.NetworkManager.DHCP4Config", "Options", parse(options(values)));
    }
}
void NetworkManagerService::put(const std::string& path, const std::string& interface, const std::string& name,
                                GVariant* value)
{
    _added.insert(path + " " + interface + " " + name).second ? _service.addProperty(path, interface, name, value)
                                                               : _service.setProperty(path, interface, name, value);
}
}  // namespace TestSupport
